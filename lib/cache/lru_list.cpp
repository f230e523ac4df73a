#include "lru_list.h"

#include <cstddef>
#include <cstdint>

#include "cache_check.h"
#include "os_util.h"
#include "svr_log.h"

static_assert(sizeof(CLruList::CListHead) == CLruList::HEAD_SIZE, "LRU head layout is a stored format");
static_assert(sizeof(CLruNode) == CLruList::NODE_SIZE, "LRU node layout is a stored format");
static_assert(offsetof(CLruNode, m_lruListLink) == 12 && offsetof(CLruNode, m_pData) == 20,
              "LRU node layout is a stored format");

CLruNode::CLruNode() : m_iLoadTime(0), m_iAccessTime(0), m_iAccessCount(0), m_lruListLink{0, 0}, m_pData(0) {}

void CLruNode::Init(uint32 iData) {
    m_iLoadTime = GetTickCount();
    m_iAccessTime = m_iLoadTime;
    m_iAccessCount = 1;
    m_pData = iData;
}

void CLruNode::Access() { Access(GetTickCount()); }

void CLruNode::Access(uint32 iNow) {
    m_iAccessTime = iNow;
    ++m_iAccessCount;
}

void CLruNode::Reset() {
    m_iLoadTime = 0;
    m_iAccessTime = 0;
    m_iAccessCount = 0;
    m_lruListLink.iPrevOffset = -1;
    m_lruListLink.iNextOffset = -1;
    m_pData = 0;
}

CLruList::CLruList() : m_pMem(nullptr), m_pListHead(nullptr), m_pLruHead(nullptr), m_iLruHeadOffset(-1) {}

uint32 CLruList::CalcNeedSize(uint32 iNodeNum) { return NODE_SIZE * iNodeNum + HEAD_SIZE + NODE_SIZE; }

// Counts only nodes that lie wholly inside the region, whatever its size.
uint32 CLruList::CalcNodeNum(uint32 iSize) {
    return iSize < HEAD_SIZE + NODE_SIZE ? 0 : (iSize - HEAD_SIZE - NODE_SIZE) / NODE_SIZE;
}

sint32 CLruList::Init(void* p, uint32 iSize) {
    if (p == nullptr || iSize < CalcNeedSize(2)) return -1;
    if (reinterpret_cast<uintptr_t>(p) % 4 != 0) {
        LOG_ERR("lru list init refused: region %p is not 4-byte aligned", p);
        return -1;
    }
    m_pMem = static_cast<char*>(p);
    m_pListHead = reinterpret_cast<CListHead*>(m_pMem);
    m_pLruHead = reinterpret_cast<CLruNode*>(m_pMem + HEAD_SIZE);
    m_iLruHeadOffset = 0;

    m_pListHead->m_iTotalSize = iSize;
    m_pLruHead->Reset();
    m_pLruHead->m_lruListLink.iPrevOffset = 0;
    m_pLruHead->m_lruListLink.iNextOffset = 0;
    uint32 n = CalcNodeNum(iSize);
    for (uint32 i = 1; i <= n; ++i) {
        CLruNode* pNode = GetNodeByOffset(static_cast<sint32>(i));
        pNode->Reset();
        pNode->m_lruListLink.iNextOffset = i < n ? static_cast<sint32>(i + 1) : -1;
    }
    m_pListHead->m_iFreeHeadOffset = 1;
    m_pListHead->m_iFreeNum = n;
    return 0;
}

sint32 CLruList::LoadFromMem(void* p, uint32 iSize) {
    *this = CLruList();
    if (p == nullptr || iSize < CalcNeedSize(2)) return -1;
    if (reinterpret_cast<uintptr_t>(p) % 4 != 0) {
        LOG_ERR("lru list attach refused: region %p is not 4-byte aligned", p);
        return -1;
    }
    const CListHead* pHead = static_cast<const CListHead*>(p);
    if (pHead->m_iTotalSize != iSize) {
        LOG_ERR("lru list attach refused: stored size %u differs from %u", pHead->m_iTotalSize, iSize);
        return -1;
    }
    m_pMem = static_cast<char*>(p);
    m_pListHead = reinterpret_cast<CListHead*>(m_pMem);
    m_pLruHead = reinterpret_cast<CLruNode*>(m_pMem + HEAD_SIZE);
    m_iLruHeadOffset = 0;
    if (!ValidateRegion()) {
        *this = CLruList();
        return -1;
    }
    return 0;
}

// The free chain must end after exactly m_iFreeNum unlinked nodes, and the
// recency ring must come back to the head after the remaining nodes with every
// back link agreeing. A node met twice would break one of the two counts.
bool CLruList::ValidateRegion() const {
    sint32 n = static_cast<sint32>(GetTotalNum());
    if (m_pListHead->m_iFreeNum > static_cast<uint32>(n)) {
        LOG_ERR("lru list attach refused: %u free nodes in a pool of %d", m_pListHead->m_iFreeNum, n);
        return false;
    }
    sint32 iCur = m_pListHead->m_iFreeHeadOffset;
    for (uint32 k = 0; k < m_pListHead->m_iFreeNum; ++k) {
        if (iCur < 1 || iCur > n || GetNodeByOffset(iCur)->m_lruListLink.iPrevOffset != -1) {
            LOG_ERR("lru list attach refused: free chain holds bad node %d at step %u", iCur, k);
            return false;
        }
        iCur = GetNodeByOffset(iCur)->m_lruListLink.iNextOffset;
    }
    if (iCur != -1) {
        LOG_ERR("lru list attach refused: free chain does not end after %u nodes", m_pListHead->m_iFreeNum);
        return false;
    }

    uint32 iUsing = static_cast<uint32>(n) - m_pListHead->m_iFreeNum;
    iCur = 0;
    for (uint32 k = 0; k < iUsing; ++k) {
        sint32 iNext = GetNodeByOffset(iCur)->m_lruListLink.iNextOffset;
        if (iNext < 1 || iNext > n || GetNodeByOffset(iNext)->m_lruListLink.iPrevOffset != iCur) {
            LOG_ERR("lru list attach refused: recency list has bad link %d after node %d", iNext, iCur);
            return false;
        }
        iCur = iNext;
    }
    if (GetNodeByOffset(iCur)->m_lruListLink.iNextOffset != 0 || m_pLruHead->m_lruListLink.iPrevOffset != iCur) {
        LOG_ERR("lru list attach refused: recency list does not close after %u nodes", iUsing);
        return false;
    }
    return true;
}

CLruNode* CLruList::Insert(uint32 iData) {
    ZQ_CACHE_CHECK(m_pMem != nullptr);
    CLruNode* pNode = Alloc();
    if (pNode == nullptr) return nullptr;
    pNode->Init(iData);
    LinkAtFront(pNode);
    return pNode;
}

void CLruList::Access(CLruNode* pNode) {
    if (!IsFront(pNode)) Access(pNode, GetTickCount());
}

void CLruList::Access(CLruNode* pNode, uint32 iNow) {
    if (IsFront(pNode)) return;
    Unlink(pNode);
    LinkAtFront(pNode);
    pNode->Access(iNow);
}

bool CLruList::IsFront(const CLruNode* pNode) const {
    ZQ_CACHE_CHECK(pNode != nullptr && pNode->IsLinked() && GetNodeOffset(pNode) >= 1);
    return m_pLruHead->m_lruListLink.iNextOffset == GetNodeOffset(pNode);
}

void CLruList::Remove(CLruNode* pNode) {
    ZQ_CACHE_CHECK(pNode != nullptr && pNode->IsLinked() && GetNodeOffset(pNode) >= 1);
    Unlink(pNode);
    pNode->Reset();
    Free(pNode);
}

CLruNode* CLruList::GetLruNode() const {
    if (m_pLruHead == nullptr || m_pLruHead->m_lruListLink.iPrevOffset == 0) return nullptr;
    return GetNodeByOffset(m_pLruHead->m_lruListLink.iPrevOffset);
}

CLruNode* CLruList::GetMruNode() const {
    if (m_pLruHead == nullptr || m_pLruHead->m_lruListLink.iNextOffset == 0) return nullptr;
    return GetNodeByOffset(m_pLruHead->m_lruListLink.iNextOffset);
}

CLruNode* CLruList::GetPrevLruNode(CLruNode* pNode) const {
    if (pNode == nullptr) return nullptr;
    ZQ_CACHE_CHECK(pNode->IsLinked());
    sint32 iPrev = pNode->m_lruListLink.iPrevOffset;
    return iPrev == 0 ? nullptr : GetNodeByOffset(iPrev);
}

uint32 CLruList::GetTotalNum() const { return m_pListHead ? CalcNodeNum(m_pListHead->m_iTotalSize) : 0; }

uint32 CLruList::GetUsingNum() const { return m_pListHead ? GetTotalNum() - m_pListHead->m_iFreeNum : 0; }

sint32 CLruList::GetNodeOffset(const CLruNode* pNode) const {
    ptrdiff_t iDiff = reinterpret_cast<const char*>(pNode) - reinterpret_cast<const char*>(m_pLruHead);
    ZQ_CACHE_CHECK(iDiff >= 0 && iDiff % NODE_SIZE == 0 && iDiff / NODE_SIZE <= static_cast<ptrdiff_t>(GetTotalNum()));
    return static_cast<sint32>(iDiff / NODE_SIZE);
}

CLruNode* CLruList::GetNodeByOffset(sint32 iOffset) const {
    ZQ_CACHE_CHECK(iOffset >= 0 && static_cast<uint32>(iOffset) <= GetTotalNum());
    return m_pLruHead + iOffset;
}

CLruNode* CLruList::Alloc() {
    if (m_pListHead->m_iFreeNum == 0 || m_pListHead->m_iFreeHeadOffset == -1) return nullptr;
    CLruNode* pNode = GetNodeByOffset(m_pListHead->m_iFreeHeadOffset);
    m_pListHead->m_iFreeHeadOffset = pNode->m_lruListLink.iNextOffset;
    --m_pListHead->m_iFreeNum;
    pNode->m_lruListLink.iNextOffset = -1;
    return pNode;
}

void CLruList::Free(CLruNode* pNode) {
    sint32 iOffset = GetNodeOffset(pNode);
    ZQ_CACHE_CHECK(iOffset >= 1 && static_cast<uint32>(iOffset) <= GetTotalNum());
    pNode->m_lruListLink.iNextOffset = m_pListHead->m_iFreeHeadOffset;
    m_pListHead->m_iFreeHeadOffset = iOffset;
    ++m_pListHead->m_iFreeNum;
}

void CLruList::LinkAtFront(CLruNode* pNode) {
    sint32 iNode = GetNodeOffset(pNode);
    sint32 iFirst = m_pLruHead->m_lruListLink.iNextOffset;
    pNode->m_lruListLink.iNextOffset = iFirst;
    GetNodeByOffset(iFirst)->m_lruListLink.iPrevOffset = iNode;
    m_pLruHead->m_lruListLink.iNextOffset = iNode;
    pNode->m_lruListLink.iPrevOffset = 0;
}

void CLruList::Unlink(CLruNode* pNode) {
    sint32 iPrev = pNode->m_lruListLink.iPrevOffset;
    sint32 iNext = pNode->m_lruListLink.iNextOffset;
    GetNodeByOffset(iPrev)->m_lruListLink.iNextOffset = iNext;
    GetNodeByOffset(iNext)->m_lruListLink.iPrevOffset = iPrev;
}
