// CRcDedup: the hot set in front of the store, kept in a CCache over a
// System V shared-memory segment so that a restarted server still has it.
// A key stands for one (FID, URL) pair of one store file (KeyFor); its value
// is the time the pair was first accepted. The store is the truth: a miss
// asks it, and when the segment fills, the least recently seen keys are
// evicted. Owns its attachment; one process may use a segment at a time.
// Single-threaded.
#ifndef ZQ_RC_DEDUP_H
#define ZQ_RC_DEDUP_H

#include <string>

#include "cache.h"
#include "common_header.h"
#include "hashval.h"

class CRcDedup : public CCacheListener {
public:
    enum : uint32 {
        FID_HEX_LEN = 40,
        // Eviction starts when the allocator is this full and removes the
        // difference of the two, in percent of the entries.
        PERCENT_BEGIN_ELIMINATE = 95,
        PERCENT_BALANCE = 85,
    };

    CRcDedup();
    ~CRcDedup() override;
    CRcDedup(const CRcDedup&) = delete;
    CRcDedup& operator=(const CRcDedup&) = delete;

    // Key 0: a private segment, removed at once so it goes with the process.
    // Another key: the segment is created when missing and formatted; an
    // existing one is attached with its entries, or formatted afresh (with a
    // warning) when it holds no readable cache. 0, or an error number with
    // the reason in strError: the system's when the segment cannot be had,
    // EINVAL when it has another size than iSize, EBUSY when another process
    // has it attached, ENOSPC when no cache fits in it.
    int Open(sint32 iKey, uint32 iSize, std::string& strError);

    // The key of a FID reported from strUrl into the store whose id is
    // strStoreId: 40 lowercase hex digits of a SHA-1 over the three. A store
    // made afresh has another id, so keys of the old one never answer for it.
    static std::string KeyFor(const std::string& strStoreId, const Sha1Hash& oFid, const std::string& strUrl);

    // Whether the key is there; *pFirstSeen then gets its first acceptance.
    bool IsKnown(const std::string& strKey, uint64* pFirstSeen);
    // False when the cache cannot hold it even after evicting.
    bool Remember(const std::string& strKey, uint64 iNow);
    // Takes the key out (a resource removed from the store); false when absent.
    bool Forget(const std::string& strKey);

    // The cache's statistics line.
    // Entries the cache holds now.
    uint32 GetEntries() const { return m_cache.GetNodeNum(); }
    std::string GetStatisticInfo();
    // Entries found in an existing segment when it was attached.
    uint32 GetResumedNum() const { return m_iResumed; }
    bool IsResumed() const { return m_bResumed; }
    const CCache& GetCache() const { return m_cache; }

    // The number of entries a segment of iSize bytes is laid out for.
    static uint32 PoolSizeFor(uint32 iSize);

    bool CanEliminate(const char* pszKey, void* pData, uint32 iDataSize) override;
    void CacheResume(const char* pszKey, void* pData, uint32 iDataSize) override;

private:
    int Format(uint32 iSize, std::string& strError);

    CCache m_cache;
    char* m_pShm;
    uint32 m_iResumed;
    bool m_bResumed;
};

#endif
