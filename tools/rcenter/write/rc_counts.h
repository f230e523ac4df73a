// The center's own counts of what it answered and dropped, kept by the loop
// (the handlers add to them) and shown by the statistics line and the HTTP
// API. Loop thread only.
#ifndef ZQ_RC_COUNTS_H
#define ZQ_RC_COUNTS_H

#include "common_header.h"

struct stRcCounts {
    uint64 iAccepted = 0;
    uint64 iKnown = 0;
    uint64 iRejected = 0;
    uint64 iNotStored = 0;
    uint64 iDropped = 0;  // connections closed for invalid packets or unread answers
    uint64 iRemoved = 0;  // resources removed through the HTTP API
    uint64 iHttpRequests = 0;
};

#endif
