// A key/value cache whose records live in one memory region (typically a
// System V segment from get_shm) so that a later process can attach it and
// carry on: a 64-byte head, an LRU list region and a buddy allocator region.
// Only the key index (cache_index.h) lives in process memory; it is built by
// Init and rebuilt by LoadFromMem. The cache does not own the region and
// takes no locks: one process uses a region at a time. When memory or LRU
// nodes run out it evicts least-recently-used entries, with the listener's
// consent, in slices of about a millisecond. Failures return -1 or null;
// misuse stops the process.
#ifndef ZQ_CACHE_H
#define ZQ_CACHE_H

#include <sys/types.h>

#include <cstddef>
#include <memory>

#include "allocator.h"
#include "cache_index.h"
#include "cache_listener.h"
#include "common_header.h"
#include "lru_list.h"

struct CCacheNodeAttr {
    uint32 iLoadTime;
    uint32 iLastAccessTime;
    uint32 iAccessCount;
};

class CCache {
public:
    struct CCacheHead {
        uint32 m_iTotalSize;
        uint32 m_iPercentBeginEliminate;
        uint32 m_iPercentBalance;
        uint32 m_iHashTableBucketNum;
        uint32 m_iLruListMemSize;
        uint32 m_iLruListMemOffset;
        uint32 m_iAllocatorMemSize;
        uint32 m_iAllocatorMemOffset;
        uint64 m_lHitCount;
        uint64 m_lMissedCount;
        uint64 m_lInsertCount;
        uint64 m_lRemoveCount;
    };

    // One record in one allocator block: key length, data size, the key with
    // its terminator, then the data.
    class CCacheNode {
    public:
        void Set(const char* pszKey, const void* pData, uint32 iDataSize);
        void UpdateData(const void* pData, uint32 iDataSize);
        uint32 GetKeyLen() const { return m_iKeyLen; }
        char* GetKeyPtr() { return reinterpret_cast<char*>(this) + RECORD_HEAD_SIZE; }
        const char* GetKeyPtr() const { return reinterpret_cast<const char*>(this) + RECORD_HEAD_SIZE; }
        uint32 GetDataSize() const { return m_iDataSize; }
        void* GetDataPtr() { return GetKeyPtr() + m_iKeyLen + 1; }
        static uint64 CalcNeedSize(uint32 iKeyLen, uint32 iDataSize);

        uint32 m_iKeyLen;
        uint32 m_iDataSize;
    };

    enum : uint32 {
        HEAD_SIZE = 64,
        RECORD_HEAD_SIZE = 8,
        // Every build stores keys of at most this length, so that a region
        // written by one is read the same way by another.
        MAX_KEY_LEN = 42,
        ELIMINATE_SLICE_US = 1000,
    };

    // Microsecond clock used to bound an elimination slice; tests may replace
    // it (null restores the monotonic clock).
    typedef uint64 (*MicroClock)();
    static void SetMicroClock(MicroClock pfnNow);

    explicit CCache(CCacheListener& listener);
    ~CCache();
    CCache(const CCache&) = delete;
    CCache& operator=(const CCache&) = delete;

    // Formats a new region. -1 for a null or misaligned (8-byte) region, a
    // cache already attached, sizes that do not fit the region, or a failed
    // allocation of the index; the cache is then left unattached.
    sint32 Init(void* p, uint32 iSize, uint32 iHashTableBucketNum, uint32 iLruListPoolSize, uint32 iMinKeyLen,
                uint32 iMaxKeyLen, uint32 iMinDataSize, uint32 iMaxDataSize, uint32 iPercentBeginEliminate,
                uint32 iPercentBalance);
    // Attaches a region formatted earlier, possibly by another process, after
    // checking every size, link and record in it without changing anything;
    // then hands each entry to CacheResume, least recent first, keeping the
    // older of two records with one key. -1 with a log line for a region that
    // fails a check; the cache is then left unattached.
    sint32 LoadFromMem(void* p, uint32 iSize);

    // Keys are 0 to 42 characters. Returns the stored data inside the region,
    // or null (key present, key too long, record larger than any block, or no
    // room even after one elimination slice). pData must not point into this
    // cache's own region: the slice run first may free what it points at.
    void* Insert(const char* pszKey, const void* pData, uint32 iDataSize);
    // The stored data (not a copy), or null; attr receives the statistics as
    // they were before this access. The pointer stays valid until the next
    // Insert, Remove or Eliminate, any of which may evict the entry.
    void* Get(const char* pszKey, uint32& iDataSize, CCacheNodeAttr& attr);
    void* Get(const char* pszKey, uint32& iDataSize);
    sint32 Remove(const char* pszKey);

    void Eliminate();
    bool NeedEliminate() const;

    bool IsAttached() const { return m_pCacheHead != nullptr; }
    bool IsEliminating() const { return m_need_eliminate; }
    uint32 GetEliminateThreshold() const { return m_eli_threshold; }
    uint32 GetNodeNum() const { return m_lruList.GetUsingNum(); }
    uint32 GetTotalNodeNum() const { return m_lruList.GetTotalNum(); }
    uint32 GetUsingSize() const { return m_allocator.GetTotalSize() - m_allocator.GetFreeSize(); }
    uint32 GetFreeSize() const { return m_allocator.GetFreeSize(); }
    uint64 GetHitCount() const { return m_pCacheHead ? m_pCacheHead->m_lHitCount : 0; }
    uint64 GetMissedCount() const { return m_pCacheHead ? m_pCacheHead->m_lMissedCount : 0; }
    uint64 GetInsertCount() const { return m_pCacheHead ? m_pCacheHead->m_lInsertCount : 0; }
    uint64 GetRemoveCount() const { return m_pCacheHead ? m_pCacheHead->m_lRemoveCount : 0; }
    double GetHitPercent() const;
    uint32 GetHashTableBucketNum() const { return m_pIndex ? m_pIndex->GetBucketNum() : 0; }
    const CAllocator& GetAllocator() const { return m_allocator; }
    const CLruList& GetLruList() const { return m_lruList; }
    const CCacheHead* GetHead() const { return m_pCacheHead; }

    char* GetInfo(char* pszInfoBuf, uint32 iInfoBufSize);
    char* GetStatisticInfo(char* pszInfoBuf, uint32 iInfoBufSize);

private:
    uint32 cal_eliminate_threshold();
    void change_to_eliminate_status();
    void change_to_not_eliminate_status();
    void IncHitCount() { ++m_pCacheHead->m_lHitCount; }
    void IncMissedCount() { ++m_pCacheHead->m_lMissedCount; }
    void IncInsertCount() { ++m_pCacheHead->m_lInsertCount; }
    void IncRemoveCount() { ++m_pCacheHead->m_lRemoveCount; }

    void Attach(void* p);
    void Detach();
    CCacheNode* GetRecord(uint32 iRel) const;
    uint32 FindNode(const char* pszKey, size_t iKeyLen, uint32 iHash, CCacheNode** ppRecord,
                    uint32* piNow = nullptr) const;
    uint32 UnlinkEntry(uint32 iNode);
    bool ValidateRecords() const;
    sint32 BuildIndex(uint32 iBucketNum);
    void RebuildIndex();

    std::unique_ptr<CCacheIndex> m_pIndex;
    CLruList m_lruList;
    CAllocator m_allocator;
    CCacheListener& m_listener;
    bool m_need_eliminate;
    uint32 m_eli_threshold;
    char* m_pMem;
    CCacheHead* m_pCacheHead;
    bool m_bInListener;
};

// Gets a System V segment (shmget with the three arguments) and attaches it
// anywhere; null when either call fails. The caller detaches it (shmdt).
char* get_shm(key_t key, size_t size, int shm_flag);

#endif
