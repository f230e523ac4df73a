// The center's own counts of what it answered and dropped, kept by the loop
// (the handlers add to them) and shown by the statistics line and the HTTP
// API. Loop thread only.
#ifndef ZQ_RC_COUNTS_H
#define ZQ_RC_COUNTS_H

#include "common_header.h"

struct rc_counts_t {
    uint64 Accepted = 0;
    uint64 Known = 0;
    uint64 Rejected = 0;
    uint64 NotStored = 0;
    uint64 Dropped = 0;  // connections closed for invalid packets or unread answers
    uint64 Removed = 0;  // resources removed through the HTTP API
    uint64 HttpRequests = 0;
};

#endif
