// The consistency check of the cache modules. A failed check means the caller
// misused a region (a double free, a foreign pointer, a call before Init):
// going on would corrupt memory another process may share, so the process
// stops with the failed condition in the error log and on standard error.
#ifndef ZQ_CACHE_CHECK_H
#define ZQ_CACHE_CHECK_H

#include <cstdio>
#include <cstdlib>

#include "svr_log.h"

#define ZQ_CACHE_CHECK(cond)                                                                                      \
    do {                                                                                                          \
        if (!(cond)) {                                                                                            \
            LOG_FATAL("consistency check failed: %s", #cond);                                                     \
            fprintf(stderr, "%s:%d(%s): consistency check failed: %s\n", __FILE__, __LINE__, __FUNCTION__, #cond); \
            abort();                                                                                              \
        }                                                                                                         \
    } while (0)

#endif
