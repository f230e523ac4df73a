// CHelper: static helpers of the server library. Nothing here logs; every
// failure comes back as the documented result.
#ifndef ZQ_HELPER_H
#define ZQ_HELPER_H

#include <string>
#include <vector>

#include "common_header.h"

class CHelper {
public:
    // ---- file digests ----

    // ---- host and process helpers ----

};

#endif
