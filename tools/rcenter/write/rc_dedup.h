// CRcDedup: the hot set in front of the store, kept in a CCache over a
// System V shared-memory segment so that a restarted server still has it.
// A key stands for one (FID, URL) pair of one store file (KeyFor); its value
// is the time the pair was first accepted. The store is the truth: a miss
// asks it, and when the segment fills, the least recently seen keys are
// evicted. Owns its attachment; one process may use a segment at a time.
// Single-threaded.
#ifndef ZQ_RC_DEDUP_H
#define ZQ_RC_DEDUP_H

#include <memory>
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

    // Ties the cache to one state of one store: unless the segment last saw
    // the store strStoreId at generation iSeenLast, every entry goes, since
    // they answer for a state this store may not hold (a copy put back, a
    // file of an earlier run); then iNow is recorded as the generation seen.
    // True when the entries were kept.
    bool Bind(const std::string& strStoreId, uint64 iSeenLast, uint64 iNow);
    // Empties the cache (the store changed in ways it cannot tell apart).
    void Clear();

    // Whether the key is there; *pFirstSeen then gets its first acceptance.
    bool IsKnown(const std::string& strKey, uint64* pFirstSeen);
    // False when the cache cannot hold it even after evicting.
    bool Remember(const std::string& strKey, uint64 iNow);
    // Takes the key out (a resource removed from the store); false when absent.
    bool Forget(const std::string& strKey);

    // Entries that answer for reports now (the generation entry is the
    // cache's own and not counted).
    uint32 GetEntries();
    // The cache's statistics line.
    std::string GetStatisticInfo();
    // Entries found in an existing segment when it was attached.
    uint32 GetResumedNum() const { return m_iResumed; }
    bool IsResumed() const { return m_bResumed; }
    const CCache& GetCache() const { return *m_pCache; }

    // The number of entries a segment of iSize bytes is laid out for.
    static uint32 PoolSizeFor(uint32 iSize);

    bool CanEliminate(const char* pszKey, void* pData, uint32 iDataSize) override;
    void CacheResume(const char* pszKey, void* pData, uint32 iDataSize) override;

private:
    int Format(uint32 iSize, std::string& strError);
    // The entry that records the generation seen: not a hex digest, so no
    // (FID, URL) key is ever it.
    static std::string GenerationKey(const std::string& strStoreId);

    // Made afresh to empty it: a cache attaches to its region once.
    std::unique_ptr<CCache> m_pCache;
    std::string m_strGenerationKey;  // of the store last bound
    char* m_pShm;
    uint32 m_iSize;
    uint32 m_iResumed;
    bool m_bResumed;
};

#endif
