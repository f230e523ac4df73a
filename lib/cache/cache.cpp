#include "cache.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "cache_check.h"
#include "os_util.h"
#include "str_util.h"
#include "svr_log.h"

static_assert(sizeof(CCache::CCacheHead) == CCache::HEAD_SIZE, "cache head layout is a stored format");
static_assert(offsetof(CCache::CCacheHead, m_lHitCount) == 32, "cache head layout is a stored format");
static_assert(sizeof(CCache::CCacheNode) == CCache::RECORD_HEAD_SIZE, "record layout is a stored format");

namespace {

CCache::MicroClock s_pfnMicroClock = nullptr;

uint64 NowMicros() {
    if (s_pfnMicroClock != nullptr) return s_pfnMicroClock();
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64>(ts.tv_sec) * 1000000 + static_cast<uint64>(ts.tv_nsec) / 1000;
}

}  // namespace

void CCache::SetMicroClock(MicroClock pfnNow) { s_pfnMicroClock = pfnNow; }

void CCache::CCacheNode::Set(const char* pszKey, const void* pData, uint32 iDataSize) {
    m_iKeyLen = static_cast<uint32>(strlen(pszKey));
    memcpy(GetKeyPtr(), pszKey, m_iKeyLen + 1);
    UpdateData(pData, iDataSize);
}

void CCache::CCacheNode::UpdateData(const void* pData, uint32 iDataSize) {
    m_iDataSize = iDataSize;
    if (iDataSize > 0) memcpy(GetDataPtr(), pData, iDataSize);
}

uint64 CCache::CCacheNode::CalcNeedSize(uint32 iKeyLen, uint32 iDataSize) {
    return static_cast<uint64>(iKeyLen) + iDataSize + RECORD_HEAD_SIZE + 1;
}

CCache::CCache(CCacheListener& listener)
    : m_listener(listener),
      m_need_eliminate(false),
      m_eli_threshold(0),
      m_pMem(nullptr),
      m_pCacheHead(nullptr),
      m_bInListener(false) {}

CCache::~CCache() {}

void CCache::Attach(void* p) {
    m_pMem = static_cast<char*>(p);
    m_pCacheHead = reinterpret_cast<CCacheHead*>(m_pMem);
}

void CCache::Detach() {
    m_pIndex.reset();
    m_lruList = CLruList();
    m_allocator = CAllocator();
    m_pMem = nullptr;
    m_pCacheHead = nullptr;
    m_need_eliminate = false;
    m_eli_threshold = 0;
}

sint32 CCache::Init(void* p, uint32 iSize, uint32 iHashTableBucketNum, uint32 iLruListPoolSize, uint32 iMinKeyLen,
                    uint32 iMaxKeyLen, uint32 iMinDataSize, uint32 iMaxDataSize, uint32 iPercentBeginEliminate,
                    uint32 iPercentBalance) {
    if (p == nullptr || m_pIndex) return -1;
    if (reinterpret_cast<uintptr_t>(p) % 8 != 0) {
        LOG_ERR("cache init refused: region %p is not 8-byte aligned", p);
        return -1;
    }
    uint64 iLruSize = static_cast<uint64>(CLruList::NODE_SIZE) * iLruListPoolSize + CLruList::HEAD_SIZE +
                      CLruList::NODE_SIZE;
    uint64 iMinRecord = CCacheNode::CalcNeedSize(iMinKeyLen, iMinDataSize);
    uint64 iMaxRecord = CCacheNode::CalcNeedSize(iMaxKeyLen, iMaxDataSize);
    // The allocator head needs at least one free-list entry.
    uint64 iLeast = HEAD_SIZE + iLruSize + CAllocator::HEAD_FIXED_SIZE + CAllocator::FREE_LIST_ENTRY_SIZE;
    if (iLeast > iSize || iMaxRecord > UINT32_MAX || iMinRecord > UINT32_MAX) {
        LOG_ERR("cache init refused: region of %u bytes cannot hold %u LRU nodes and records of %llu..%llu bytes",
                iSize, iLruListPoolSize, static_cast<unsigned long long>(iMinRecord),
                static_cast<unsigned long long>(iMaxRecord));
        return -1;
    }

    Attach(p);
    m_pCacheHead->m_iTotalSize = iSize;
    m_pCacheHead->m_iPercentBeginEliminate = iPercentBeginEliminate;
    m_pCacheHead->m_iPercentBalance = iPercentBalance;
    m_pCacheHead->m_iHashTableBucketNum = std::max(iHashTableBucketNum, iLruListPoolSize);

    m_pCacheHead->m_iLruListMemSize = static_cast<uint32>(iLruSize);
    m_pCacheHead->m_iLruListMemOffset = HEAD_SIZE;
    if (m_lruList.Init(m_pMem + HEAD_SIZE, m_pCacheHead->m_iLruListMemSize) != 0) {
        LOG_ERR("cache init refused: LRU pool of %u nodes is too small", iLruListPoolSize);
        Detach();
        return -1;
    }
    if (BuildIndex(m_pCacheHead->m_iHashTableBucketNum) != 0) {
        Detach();
        return -1;
    }
    m_pCacheHead->m_iAllocatorMemOffset = HEAD_SIZE + m_pCacheHead->m_iLruListMemSize;
    m_pCacheHead->m_iAllocatorMemSize = iSize - m_pCacheHead->m_iAllocatorMemOffset;
    if (m_allocator.Init(m_pMem + m_pCacheHead->m_iAllocatorMemOffset, m_pCacheHead->m_iAllocatorMemSize,
                         static_cast<uint32>(iMinRecord), static_cast<uint32>(iMaxRecord)) != 0) {
        LOG_ERR("cache init refused: allocator region of %u bytes cannot be formatted",
                m_pCacheHead->m_iAllocatorMemSize);
        Detach();
        return -1;
    }
    m_pCacheHead->m_lHitCount = 0;
    m_pCacheHead->m_lMissedCount = 0;
    m_pCacheHead->m_lInsertCount = 0;
    m_pCacheHead->m_lRemoveCount = 0;
    m_need_eliminate = false;
    m_eli_threshold = 0;
    printf("lruList.memSize:%d, allocator.memSize:%d\n", static_cast<int>(m_pCacheHead->m_iLruListMemSize),
           static_cast<int>(m_pCacheHead->m_iAllocatorMemSize));
    return 0;
}

sint32 CCache::LoadFromMem(void* p, uint32 iSize) {
    if (p == nullptr || m_pIndex) return -1;
    if (reinterpret_cast<uintptr_t>(p) % 8 != 0) {
        LOG_ERR("cache attach refused: region %p is not 8-byte aligned", p);
        return -1;
    }
    if (iSize < HEAD_SIZE) {
        LOG_ERR("cache attach refused: region of %u bytes cannot hold the head", iSize);
        return -1;
    }
    const CCacheHead* pHead = static_cast<const CCacheHead*>(p);
    if (pHead->m_iTotalSize != iSize) {
        LOG_ERR("cache attach refused: stored total size %u differs from %u", pHead->m_iTotalSize, iSize);
        return -1;
    }
    uint64 iLruEnd = static_cast<uint64>(HEAD_SIZE) + pHead->m_iLruListMemSize;
    if (pHead->m_iLruListMemOffset != HEAD_SIZE || iLruEnd > iSize || pHead->m_iAllocatorMemOffset != iLruEnd ||
        pHead->m_iAllocatorMemSize != iSize - iLruEnd) {
        LOG_ERR("cache attach refused: regions lru=%u+%u allocator=%u+%u do not tile %u bytes",
                pHead->m_iLruListMemOffset, pHead->m_iLruListMemSize, pHead->m_iAllocatorMemOffset,
                pHead->m_iAllocatorMemSize, iSize);
        return -1;
    }

    Attach(p);
    if (m_lruList.LoadFromMem(m_pMem + HEAD_SIZE, pHead->m_iLruListMemSize) != 0 ||
        m_allocator.LoadFromMem(m_pMem + pHead->m_iAllocatorMemOffset, pHead->m_iAllocatorMemSize) != 0 ||
        !ValidateRecords()) {
        LOG_ERR("cache attach refused: region at %p of %u bytes is inconsistent", p, iSize);
        Detach();
        return -1;
    }
    // The stored count is only a request, and a damaged one could ask for
    // gigabytes: the index never needs more buckets than the pool has nodes.
    if (BuildIndex(std::min(pHead->m_iHashTableBucketNum, m_lruList.GetTotalNum())) != 0) {
        Detach();
        return -1;
    }
    RebuildIndex();
    m_need_eliminate = false;
    m_eli_threshold = 0;
    return 0;
}

// Every LRU node must name the start of a block still in use, each block at
// most once, holding a record whose key (no longer than the index keeps, with
// its terminator and no earlier zero byte) and data lie inside the block.
bool CCache::ValidateRecords() const {
    std::vector<uint32> blocks;
    blocks.reserve(m_lruList.GetUsingNum());
    for (CLruNode* pNode = m_lruList.GetLruNode(); pNode != nullptr; pNode = m_lruList.GetPrevLruNode(pNode)) {
        uint32 iRel = pNode->GetData();
        uint32 iBlockSize = 0;
        if (!m_allocator.IsUsedBlock(iRel, &iBlockSize) || iBlockSize < RECORD_HEAD_SIZE + 1) {
            LOG_ERR("cache attach refused: LRU node %d names no block in use (relative address %u)",
                    m_lruList.GetNodeOffset(pNode), iRel);
            return false;
        }
        CCacheNode* pRecord = static_cast<CCacheNode*>(m_allocator.AddrRelToAbs(iRel));
        uint32 iKeyLen = pRecord->GetKeyLen();
        if (iKeyLen > MAX_KEY_LEN || CCacheNode::CalcNeedSize(iKeyLen, pRecord->GetDataSize()) > iBlockSize) {
            LOG_ERR("cache attach refused: record at %u (key %u, data %u bytes) does not fit its %u-byte block", iRel,
                    iKeyLen, pRecord->GetDataSize(), iBlockSize);
            return false;
        }
        const char* pszKey = pRecord->GetKeyPtr();
        if (pszKey[iKeyLen] != '\0' || memchr(pszKey, '\0', iKeyLen) != nullptr) {
            LOG_ERR("cache attach refused: record at %u has a key that is not %u characters", iRel, iKeyLen);
            return false;
        }
        blocks.push_back(iRel);
    }
    std::sort(blocks.begin(), blocks.end());
    if (std::adjacent_find(blocks.begin(), blocks.end()) != blocks.end()) {
        LOG_ERR("cache attach refused: two LRU nodes share one record");
        return false;
    }
    return true;
}

sint32 CCache::BuildIndex(uint32 iBucketNum) {
    m_pIndex.reset(new (std::nothrow) CCacheIndex(iBucketNum, m_lruList.GetTotalNum()));
    if (!m_pIndex || !m_pIndex->IsValid()) {
        LOG_ERR("cache index failed: no memory for %u hash buckets and %u nodes", GetNextPrime(iBucketNum),
                m_lruList.GetTotalNum());
        m_pIndex.reset();
        return -1;
    }
    return 0;
}

void CCache::RebuildIndex() {
    CLruNode* pNode = m_lruList.GetLruNode();
    while (pNode != nullptr) {
        CLruNode* pNewer = m_lruList.GetPrevLruNode(pNode);
        uint32 iNode = static_cast<uint32>(m_lruList.GetNodeOffset(pNode));
        CCacheNode* pRecord = GetRecord(pNode->GetData());
        const char* pszKey = pRecord->GetKeyPtr();
        uint32 iHash = CCacheIndex::HashKey(pszKey, pRecord->GetKeyLen());
        if (FindNode(pszKey, pRecord->GetKeyLen(), iHash, nullptr) != 0) {
            LOG_DEBUG("duplicate key=%s dropped while attaching, the older record stays", pszKey);
            m_lruList.Remove(pNode);
            IncRemoveCount();
            m_allocator.Free(pRecord);
        } else {
            m_bInListener = true;
            m_listener.CacheResume(pszKey, pRecord->GetDataPtr(), pRecord->GetDataSize());
            m_bInListener = false;
            m_pIndex->Insert(iHash, iNode);
        }
        pNode = pNewer;
    }
}

CCache::CCacheNode* CCache::GetRecord(uint32 iRel) const {
    ZQ_CACHE_CHECK(iRel >= CAllocator::CHUNK_OVERHEAD &&
                   static_cast<uint64>(iRel) + RECORD_HEAD_SIZE <= m_allocator.GetTotalSize());
    return static_cast<CCacheNode*>(m_allocator.AddrRelToAbs(iRel));
}

// The node holding pszKey, 0 when none does. Records' key lengths are checked
// when they are attached and set when they are written, so a length and a
// byte comparison decide equality. With piNow, the clock is read at the first
// candidate: reading it stalls the pipeline until every earlier load is in, so
// the candidate's LRU node is requested first and arrives while it runs, and a
// lookup that finds no candidate never pays for it.
uint32 CCache::FindNode(const char* pszKey, size_t iKeyLen, uint32 iHash, CCacheNode** ppRecord,
                        uint32* piNow) const {
    return m_pIndex->Find(iHash, [&](uint32 iNode) {
        const CLruNode* pNode = m_lruList.GetNodeByOffset(static_cast<sint32>(iNode));
        if (piNow != nullptr) {
            __builtin_prefetch(pNode, 1);
            *piNow = GetTickCount();
            piNow = nullptr;
        }
        CCacheNode* pRecord = GetRecord(pNode->GetData());
        if (pRecord->GetKeyLen() != iKeyLen || memcmp(pRecord->GetKeyPtr(), pszKey, iKeyLen) != 0) return false;
        if (ppRecord != nullptr) *ppRecord = pRecord;
        return true;
    });
}

void* CCache::Insert(const char* pszKey, const void* pData, uint32 iDataSize) {
    ZQ_CACHE_CHECK(m_pIndex != nullptr);
    ZQ_CACHE_CHECK(!m_bInListener);
    if (pszKey == nullptr || (pData == nullptr && iDataSize > 0)) {
        LOG_ERR("insert failed, null key or data");
        return nullptr;
    }
    size_t iKeyLen = strlen(pszKey);
    if (iKeyLen > MAX_KEY_LEN) {
        LOG_ERR("insert failed, key of %zu characters is longer than %u: key=%.*s...", iKeyLen,
                static_cast<uint32>(MAX_KEY_LEN), static_cast<int>(MAX_KEY_LEN), pszKey);
        return nullptr;
    }
    uint32 iHash = CCacheIndex::HashKey(pszKey, iKeyLen);
    if (FindNode(pszKey, iKeyLen, iHash, nullptr) != 0) {
        LOG_DEBUG("insert failed, key=%s exists", pszKey);
        return nullptr;
    }
    uint64 iNeed = CCacheNode::CalcNeedSize(static_cast<uint32>(iKeyLen), iDataSize);
    // Evicting could never make room for a record larger than the largest block.
    if (iNeed > m_allocator.GetMaxAllocSize()) {
        LOG_ERR("insert failed, record of %llu bytes is larger than the largest block of %u: key=%s",
                static_cast<unsigned long long>(iNeed), m_allocator.GetMaxAllocSize(), pszKey);
        return nullptr;
    }
    if (m_need_eliminate) Eliminate();

    void* pBlock = m_allocator.Alloc(static_cast<uint32>(iNeed));
    if (pBlock == nullptr) {
        LOG_INFO("allocator alloc failed, allocaotr.freeSize:%u, begin to eliminate", m_allocator.GetFreeSize());
        change_to_eliminate_status();
        Eliminate();
        pBlock = m_allocator.Alloc(static_cast<uint32>(iNeed));
        if (pBlock == nullptr) {
            LOG_FATAL("after eliminated, allocator alloc failed");
            return nullptr;
        }
    }
    CCacheNode* pRecord = static_cast<CCacheNode*>(pBlock);
    pRecord->Set(pszKey, pData, iDataSize);

    uint32 iRel = m_allocator.AddrAbsToRel(pBlock);
    CLruNode* pNode = m_lruList.Insert(iRel);
    if (pNode == nullptr) {
        LOG_INFO("lruList.insert failed, begin to eliminate");
        change_to_eliminate_status();
        Eliminate();
        pNode = m_lruList.Insert(iRel);
        if (pNode == nullptr) {
            LOG_FATAL("after eliminated, lruList.insert failed");
            m_allocator.Free(pBlock);
            return nullptr;
        }
    }
    m_pIndex->Insert(iHash, static_cast<uint32>(m_lruList.GetNodeOffset(pNode)));
    IncInsertCount();
    LOG_DEBUG("insert ok, key=%s, datasize=%d", pszKey, static_cast<int>(iDataSize));
    return pRecord->GetDataPtr();
}

void* CCache::Get(const char* pszKey, uint32& iDataSize, CCacheNodeAttr& attr) {
    ZQ_CACHE_CHECK(m_pIndex != nullptr);
    ZQ_CACHE_CHECK(!m_bInListener);
    if (pszKey == nullptr) return nullptr;
    size_t iKeyLen = strlen(pszKey);
    CCacheNode* pRecord = nullptr;
    uint32 iNow = 0;
    uint32 iNode = iKeyLen > MAX_KEY_LEN
                       ? 0
                       : FindNode(pszKey, iKeyLen, CCacheIndex::HashKey(pszKey, iKeyLen), &pRecord, &iNow);
    if (iNode == 0) {
        IncMissedCount();
        return nullptr;
    }
    CLruNode* pNode = m_lruList.GetNodeByOffset(static_cast<sint32>(iNode));
    attr.iLoadTime = pNode->GetLoadTime();
    attr.iLastAccessTime = pNode->GetAccessTime();
    attr.iAccessCount = pNode->GetAccessCount();
    m_lruList.Access(pNode, iNow);
    IncHitCount();
    iDataSize = pRecord->GetDataSize();
    LOG_DEBUG("get ok, key=%s, datasize=%d, access count=%u", pszKey, static_cast<int>(iDataSize),
              pNode->GetAccessCount());
    return pRecord->GetDataPtr();
}

void* CCache::Get(const char* pszKey, uint32& iDataSize) {
    CCacheNodeAttr attr;
    return Get(pszKey, iDataSize, attr);
}

sint32 CCache::Remove(const char* pszKey) {
    ZQ_CACHE_CHECK(m_pIndex != nullptr);
    ZQ_CACHE_CHECK(!m_bInListener);
    if (pszKey == nullptr) return -1;
    size_t iKeyLen = strlen(pszKey);
    CCacheNode* pRecord = nullptr;
    uint32 iNode =
        iKeyLen > MAX_KEY_LEN ? 0 : FindNode(pszKey, iKeyLen, CCacheIndex::HashKey(pszKey, iKeyLen), &pRecord);
    if (iNode == 0) {
        LOG_DEBUG("remove failed, key=%s doesn't exist", pszKey);
        return -1;
    }
    uint32 iAccessCount = UnlinkEntry(iNode);
    LOG_DEBUG("remove ok, key=%s, datasize=%d, access count=%u", pszKey, static_cast<int>(pRecord->GetDataSize()),
              iAccessCount);
    // Last: pszKey may be the record's own key.
    m_allocator.Free(pRecord);
    return 0;
}

// Takes a node out of the index and the LRU list and returns its access
// count; the record's block is the caller's to free after its last use.
uint32 CCache::UnlinkEntry(uint32 iNode) {
    CLruNode* pNode = m_lruList.GetNodeByOffset(static_cast<sint32>(iNode));
    uint32 iAccessCount = pNode->GetAccessCount();
    m_pIndex->Remove(iNode);
    m_lruList.Remove(pNode);
    IncRemoveCount();
    return iAccessCount;
}

// Walks from the least recently used entry and asks the listener before each
// removal. The budget is checked before every node, so a slow listener can
// stretch a slice by one call beyond the millisecond, never more.
void CCache::Eliminate() {
    ZQ_CACHE_CHECK(m_pIndex != nullptr);
    ZQ_CACHE_CHECK(!m_bInListener);
    uint64 iStart = NowMicros();
    uint32 iEliminated = 0;
    uint64 iElapsed = 0;
    if (m_need_eliminate) {
        CLruNode* pNode = m_lruList.GetLruNode();
        while (pNode != nullptr && m_lruList.GetUsingNum() >= m_eli_threshold && iElapsed <= ELIMINATE_SLICE_US) {
            CLruNode* pNewer = m_lruList.GetPrevLruNode(pNode);
            CCacheNode* pRecord = GetRecord(pNode->GetData());
            m_bInListener = true;
            bool bAgreed = m_listener.CanEliminate(pRecord->GetKeyPtr(), pRecord->GetDataPtr(), pRecord->GetDataSize());
            m_bInListener = false;
            if (bAgreed) {
                uint32 iAccessCount = UnlinkEntry(static_cast<uint32>(m_lruList.GetNodeOffset(pNode)));
                LOG_DEBUG("remove ok, key=%s, datasize=%d, access count=%u", pRecord->GetKeyPtr(),
                          static_cast<int>(pRecord->GetDataSize()), iAccessCount);
                m_allocator.Free(pRecord);
                ++iEliminated;
            }
            pNode = pNewer;
            iElapsed = NowMicros() - iStart;
        }
        if (m_lruList.GetUsingNum() <= m_eli_threshold) change_to_not_eliminate_status();
    }
    LOG_INFO("eliminated nodes: time=%lluus, eli_num=%u, using=%d, thres=%u",
             static_cast<unsigned long long>(NowMicros() - iStart), iEliminated,
             static_cast<int>(m_lruList.GetUsingNum()), m_eli_threshold);
}

bool CCache::NeedEliminate() const {
    uint64 iTotal = m_allocator.GetTotalSize();
    if (iTotal == 0 || m_pCacheHead == nullptr) return false;
    uint64 iUsed = iTotal - m_allocator.GetFreeSize();
    return iUsed * 100 / iTotal >= m_pCacheHead->m_iPercentBeginEliminate;
}

double CCache::GetHitPercent() const {
    uint64 iHit = GetHitCount();
    uint64 iMiss = GetMissedCount();
    if (iHit + iMiss == 0) return 0;
    return static_cast<double>(iHit) * 100.0 / static_cast<double>(iHit + iMiss);
}

char* CCache::GetInfo(char* pszInfoBuf, uint32 iInfoBufSize) {
    if (pszInfoBuf == nullptr || iInfoBufSize == 0) return pszInfoBuf;
    pszInfoBuf[0] = '\0';
    uint32 iLen = AppendPiece(pszInfoBuf, iInfoBufSize, 0,
                              "{ hit:%.2f%s, hit:%lld, miss:%lld, insert:%lld, remove:%lld, nodeNum:%d, allocator ",
                              GetHitPercent(), "%", static_cast<long long>(GetHitCount()),
                              static_cast<long long>(GetMissedCount()), static_cast<long long>(GetInsertCount()),
                              static_cast<long long>(GetRemoveCount()), static_cast<int>(GetNodeNum()));
    if (iLen + 1 < iInfoBufSize) iLen += m_allocator.GetInfo(pszInfoBuf + iLen, iInfoBufSize - iLen - 1);
    AppendPiece(pszInfoBuf, iInfoBufSize, iLen, " }");
    return pszInfoBuf;
}

char* CCache::GetStatisticInfo(char* pszInfoBuf, uint32 iInfoBufSize) {
    if (pszInfoBuf == nullptr || iInfoBufSize == 0) return pszInfoBuf;
    snprintf(pszInfoBuf, iInfoBufSize - 1,
             "hit=%.2f%s hit=%lld miss=%lld insert=%lld remove=%lld using_node_num=%d total_node_num=%d",
             GetHitPercent(), "%", static_cast<long long>(GetHitCount()), static_cast<long long>(GetMissedCount()),
             static_cast<long long>(GetInsertCount()), static_cast<long long>(GetRemoveCount()),
             static_cast<int>(GetNodeNum()), static_cast<int>(GetTotalNodeNum()));
    pszInfoBuf[iInfoBufSize - 1] = '\0';
    return pszInfoBuf;
}

uint32 CCache::cal_eliminate_threshold() {
    uint32 iPer = m_pCacheHead->m_iPercentBeginEliminate - m_pCacheHead->m_iPercentBalance;
    if (iPer > 100) iPer = 5;
    uint32 iUsing = m_lruList.GetUsingNum();
    uint32 iThreshold = iUsing - static_cast<uint32>(static_cast<uint64>(iPer) * iUsing / 100);
    LOG_WARN("calculate eliminate threshold: thres=%u, using=%u, begin_per=%u, balance_per=%u", iThreshold, iUsing,
             m_pCacheHead->m_iPercentBeginEliminate, m_pCacheHead->m_iPercentBalance);
    return iThreshold;
}

void CCache::change_to_eliminate_status() {
    m_need_eliminate = true;
    m_eli_threshold = cal_eliminate_threshold();
}

void CCache::change_to_not_eliminate_status() { m_need_eliminate = false; }

char* get_shm(key_t key, size_t size, int shm_flag) {
    int iShmId = shmget(key, size, shm_flag);
    if (iShmId < 0) {
        LOG_ERR("shmget failed: key=%d, size=%zu, flag=0%o: %s", static_cast<int>(key), size, shm_flag,
                strerror(errno));
        return nullptr;
    }
    void* p = shmat(iShmId, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        LOG_ERR("shmat failed: id=%d: %s", iShmId, strerror(errno));
        return nullptr;
    }
    return static_cast<char*>(p);
}
