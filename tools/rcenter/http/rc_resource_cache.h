// CRcResourceCache: the resources the download doors read lately, kept on
// the loop, so a popular file's redirects and Metalinks are answered without
// a store read each: a flood of one FID costs one read per time to live.
// What the cache answers is never older than that, nor older than the last
// change the loop knows of (this center's writes, its checks' health): such
// a change empties it, so a removal or a new mirror shows at once; another
// center's writes to a shared store show within the time to live. Bounded
// by its bytes (emptied when full). Loop thread only.
#ifndef ZQ_RC_RESOURCE_CACHE_H
#define ZQ_RC_RESOURCE_CACHE_H

#include <memory>
#include <string>
#include <unordered_map>

#include "rc_store.h"

class CRcResourceCache {
public:
    typedef std::shared_ptr<const rc_resource_t> ResourcePtr;

    CRcResourceCache(uint64 iMaxBytes, uint32 iTtlMs) : m_iMaxBytes(iMaxBytes), m_iTtlMs(iTtlMs) {}

    // The resource as held, or null. iGeneration counts the changes the loop
    // knows of; iNowMs is the tick.
    ResourcePtr Find(const Sha1Hash& oFid, uint64 iGeneration, uint32 iNowMs);
    // Keeps what a read begun at iReadGeneration found, unless the store
    // changed meanwhile (iGeneration differs): then it may be stale already.
    void Put(const Sha1Hash& oFid, ResourcePtr pRes, uint64 iReadGeneration, uint64 iGeneration, uint32 iNowMs);
    size_t Size() const { return m_oEntries.size(); }

private:
    struct stEntry {
        ResourcePtr pRes;
        uint32 iAtMs = 0;
        uint64 iBytes = 0;
    };
    void Follow(uint64 iGeneration);

    const uint64 m_iMaxBytes;
    const uint32 m_iTtlMs;
    uint64 m_iGeneration = 0;
    uint64 m_iBytes = 0;
    std::unordered_map<std::string, stEntry> m_oEntries;  // by the FID's bytes
};

#endif
