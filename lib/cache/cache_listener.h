// The cache user's say in eviction and attachment. The cache calls these while
// it is in the middle of a change, so a listener must not call back into the
// cache that called it (the cache stops the process if it does).
#ifndef ZQ_CACHE_LISTENER_H
#define ZQ_CACHE_LISTENER_H

#include "common_header.h"

class CCacheListener {
public:
    virtual ~CCacheListener() {}
    // May this least-recently-used entry be evicted now?
    virtual bool CanEliminate(const char* pszKey, void* pData, uint32 iDataSize) = 0;
    // One entry found in the region while attaching, least recent first.
    virtual void CacheResume(const char* pszKey, void* pData, uint32 iDataSize) = 0;
};

#endif
