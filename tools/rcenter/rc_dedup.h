// CRcDedup: the identifiers of every accepted report, kept in a CCache over
// a System V shared-memory segment so that a restarted server still knows
// them. Keys are FIDs in lowercase hex; each value is the time the FID was
// first accepted. When the segment fills, the least recently seen FIDs are
// evicted (the journal keeps them on disk). Owns its attachment; one process
// may use a segment at a time. Single-threaded.
#ifndef ZQ_RC_DEDUP_H
#define ZQ_RC_DEDUP_H

#include <string>

#include "cache.h"
#include "common_header.h"

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

    // Whether the FID is known; *pFirstSeen then gets its first acceptance.
    bool IsKnown(const std::string& strFidHex, uint64* pFirstSeen);
    // False when the cache cannot hold it even after evicting.
    bool Remember(const std::string& strFidHex, uint64 iNow);

    // The cache's statistics line.
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
