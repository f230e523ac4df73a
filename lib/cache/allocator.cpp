#include "allocator.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cache_check.h"
#include "str_util.h"
#include "svr_log.h"

static_assert(sizeof(CAllocator::CAllocHead) == 16, "allocator head layout is a stored format");
static_assert(sizeof(CAllocator::CFreeList) == 12, "free-list entry layout is a stored format");
static_assert(sizeof(CAllocator::CChunk) == 12, "chunk head layout is a stored format");

namespace {

bool IsPowerOfTwo(uint64 v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

CAllocator::CAllocator() : m_pMem(nullptr), m_pAllocHead(nullptr) {}

uint64 CAllocator::GetUpperBound(uint64 iSize, uint64 iAlign) {
    uint64 v = iAlign;
    while (v < iSize) v <<= 1;
    return v;
}

sint32 CAllocator::Init(void* p, uint32 iTotalSize, uint32 iMinDataSize, uint32 iMaxDataSize) {
    if (p == nullptr || iTotalSize < HEAD_FIXED_SIZE) return -1;
    if (reinterpret_cast<uintptr_t>(p) % 4 != 0) {
        LOG_ERR("allocator init refused: region %p is not 4-byte aligned", p);
        return -1;
    }
    uint64 iMinChunk = GetUpperBound(static_cast<uint64>(iMinDataSize) + CHUNK_OVERHEAD, MIN_CHUNK_SIZE);
    uint64 iMaxChunk = GetUpperBound(static_cast<uint64>(iMaxDataSize) + CHUNK_OVERHEAD, iMinChunk);
    if (iMaxChunk > MAX_CHUNK_LIMIT) {
        LOG_ERR("allocator init refused: chunk size %llu passes 2^31 (minData=%u, maxData=%u)",
                static_cast<unsigned long long>(iMaxChunk), iMinDataSize, iMaxDataSize);
        return -1;
    }
    uint32 iLevels = 1;
    for (uint64 s = iMinChunk; s < iMaxChunk; s <<= 1) ++iLevels;
    uint64 iHeadSize = HEAD_FIXED_SIZE + static_cast<uint64>(FREE_LIST_ENTRY_SIZE) * iLevels;
    if (iHeadSize > iTotalSize) {
        LOG_ERR("allocator init refused: region of %u bytes cannot hold its %llu-byte head", iTotalSize,
                static_cast<unsigned long long>(iHeadSize));
        return -1;
    }

    m_pMem = static_cast<char*>(p);
    m_pAllocHead = reinterpret_cast<CAllocHead*>(m_pMem);
    m_pAllocHead->m_iTotalSize = iTotalSize;
    m_pAllocHead->m_iMinChunkSize = static_cast<uint32>(iMinChunk);
    m_pAllocHead->m_iMaxChunkSize = static_cast<uint32>(iMaxChunk);
    m_pAllocHead->m_iFreeListNum = iLevels;
    PrepareFreeLists();

    // Ascending addresses, each put at the front: the list ends up running
    // from the highest-addressed chunk down to the lowest.
    uint32 iTop = iLevels - 1;
    uint32 iEnd = GetChunksEndOffset();
    for (uint32 off = GetChunksBeginOffset(); off < iEnd; off += m_pAllocHead->m_iMaxChunkSize) {
        CChunk* pChunk = ChunkAt(off);
        pChunk->iLevel = iTop;
        PutIntoFreeList(pChunk);
    }
    return 0;
}

sint32 CAllocator::LoadFromMem(void* p, uint32 iTotalSize) {
    m_pMem = nullptr;
    m_pAllocHead = nullptr;
    if (p == nullptr || iTotalSize < HEAD_FIXED_SIZE) return -1;
    if (reinterpret_cast<uintptr_t>(p) % 4 != 0) {
        LOG_ERR("allocator attach refused: region %p is not 4-byte aligned", p);
        return -1;
    }
    const CAllocHead* pHead = static_cast<const CAllocHead*>(p);
    if (pHead->m_iTotalSize != iTotalSize) {
        LOG_ERR("allocator attach refused: stored total size %u differs from %u", pHead->m_iTotalSize, iTotalSize);
        return -1;
    }
    m_pMem = static_cast<char*>(p);
    m_pAllocHead = reinterpret_cast<CAllocHead*>(m_pMem);
    if (!ValidateRegion(iTotalSize)) {
        m_pMem = nullptr;
        m_pAllocHead = nullptr;
        return -1;
    }
    return 0;
}

// Reads the whole region and changes nothing: the head must describe power-of-
// two levels that fit, the chunk headers must tile every top chunk with
// aligned buddies, and each free list must be a consistent ring holding
// exactly the free chunks of its level.
bool CAllocator::ValidateRegion(uint32 iTotalSize) const {
    const CAllocHead& head = *m_pAllocHead;
    uint32 iLevels = head.m_iFreeListNum;
    uint64 iMin = head.m_iMinChunkSize;
    if (iMin < MIN_CHUNK_SIZE || !IsPowerOfTwo(iMin) || iMin > MAX_CHUNK_LIMIT) {
        LOG_ERR("allocator attach refused: minimum chunk size %u is not a power of two from 16",
                head.m_iMinChunkSize);
        return false;
    }
    if (iLevels == 0 || iLevels > 32 || (iMin << (iLevels - 1)) != head.m_iMaxChunkSize ||
        head.m_iMaxChunkSize > MAX_CHUNK_LIMIT) {
        LOG_ERR("allocator attach refused: chunk sizes %u..%u disagree with %u levels", head.m_iMinChunkSize,
                head.m_iMaxChunkSize, iLevels);
        return false;
    }
    uint64 iBegin = HEAD_FIXED_SIZE + static_cast<uint64>(FREE_LIST_ENTRY_SIZE) * iLevels;
    if (iBegin > iTotalSize) {
        LOG_ERR("allocator attach refused: head of %llu bytes passes the region of %u bytes",
                static_cast<unsigned long long>(iBegin), iTotalSize);
        return false;
    }

    uint32 iBeginOff = GetChunksBeginOffset();
    uint32 iEndOff = GetChunksEndOffset();
    uint32 iMax = head.m_iMaxChunkSize;
    // One bit per possible chunk start: set while a free chunk is known there
    // and not yet met on its list.
    std::vector<uint64> freeStarts(((iEndOff - iBeginOff) / iMin + 63) / 64, 0);
    std::vector<uint64> freeCount(iLevels, 0);
    for (uint32 top = iBeginOff; top < iEndOff; top += iMax) {
        uint32 off = top;
        while (off < top + iMax) {
            const CChunk* pChunk = ChunkAt(off);
            uint32 iLevel = pChunk->GetLevel();
            if (iLevel >= iLevels) {
                LOG_ERR("allocator attach refused: chunk at %u has level %u of %u", off, iLevel, iLevels);
                return false;
            }
            uint32 iSize = GetChunkSize(iLevel);
            if ((off - iBeginOff) % iSize != 0) {
                LOG_ERR("allocator attach refused: chunk at %u of %u bytes is not aligned to its size", off, iSize);
                return false;
            }
            if (!pChunk->InUse()) {
                uint64 bit = (off - iBeginOff) / iMin;
                freeStarts[bit / 64] |= uint64(1) << (bit % 64);
                ++freeCount[iLevel];
            }
            off += iSize;
        }
    }

    for (uint32 iLevel = 0; iLevel < iLevels; ++iLevel) {
        const CFreeList* pList = GetFreeList(iLevel);
        uint32 iSentinel = GetFreeListOffset(iLevel);
        if (pList->m_iNodeNum != freeCount[iLevel]) {
            LOG_ERR("allocator attach refused: free list %u counts %u chunks, the region has %llu", iLevel,
                    pList->m_iNodeNum, static_cast<unsigned long long>(freeCount[iLevel]));
            return false;
        }
        uint32 iCur = iSentinel;
        for (uint32 k = 0; k < pList->m_iNodeNum; ++k) {
            uint32 iNext = LinkAt(iCur)->pNext;
            bool bInside = iNext >= iBeginOff && iNext < iEndOff && (iNext - iBeginOff) % iMin == 0;
            uint64 bit = bInside ? (iNext - iBeginOff) / iMin : 0;
            if (!bInside || (freeStarts[bit / 64] & (uint64(1) << (bit % 64))) == 0 ||
                ChunkAt(iNext)->GetLevel() != iLevel || LinkAt(iNext)->pPrev != iCur) {
                LOG_ERR("allocator attach refused: free list %u has a bad link %u after %u", iLevel, iNext, iCur);
                return false;
            }
            freeStarts[bit / 64] &= ~(uint64(1) << (bit % 64));
            iCur = iNext;
        }
        if (LinkAt(iCur)->pNext != iSentinel || LinkAt(iSentinel)->pPrev != iCur) {
            LOG_ERR("allocator attach refused: free list %u does not close its ring", iLevel);
            return false;
        }
    }
    return true;
}

void* CAllocator::Alloc(uint32 iSize) {
    if (m_pMem == nullptr) return nullptr;
    if (static_cast<uint64>(iSize) + CHUNK_OVERHEAD > m_pAllocHead->m_iMaxChunkSize) return nullptr;
    uint32 iWant = GetFreeListIndex(iSize + CHUNK_OVERHEAD);
    for (uint32 iLevel = iWant; iLevel < m_pAllocHead->m_iFreeListNum; ++iLevel) {
        CChunk* pChunk = PopFromFreeList(iLevel);
        if (pChunk == nullptr) continue;
        if (iLevel != iWant) {
            FissionChunk(pChunk, iWant);
            pChunk = PopFromFreeList(iWant);
        }
        pChunk->SetInUse(true);
        return pChunk->GetUsrDataPtr();
    }
    return nullptr;
}

void CAllocator::Free(void* p) {
    if (p == nullptr) return;
    ZQ_CACHE_CHECK(m_pMem != nullptr);
    char* pc = static_cast<char*>(p);
    ZQ_CACHE_CHECK(pc >= m_pMem + GetChunksBeginOffset() + CHUNK_OVERHEAD && pc < m_pMem + GetChunksEndOffset());
    uint32 iRel = static_cast<uint32>(pc - m_pMem) - CHUNK_OVERHEAD;
    ZQ_CACHE_CHECK(IsChunkStart(iRel));
    CChunk* pChunk = ChunkAt(iRel);
    ZQ_CACHE_CHECK(pChunk->InUse());
    ZQ_CACHE_CHECK(pChunk->GetLevel() < m_pAllocHead->m_iFreeListNum);
    pChunk->SetInUse(false);
    PutIntoFreeList(FusionChunk(pChunk));
}

uint32 CAllocator::AddrAbsToRel(const void* p) const {
    ZQ_CACHE_CHECK(m_pMem != nullptr);
    return static_cast<uint32>(static_cast<const char*>(p) - m_pMem);
}

void* CAllocator::AddrRelToAbs(uint32 iRel) const {
    ZQ_CACHE_CHECK(m_pMem != nullptr);
    return m_pMem + iRel;
}

uint32 CAllocator::GetTotalSize() const { return m_pAllocHead ? m_pAllocHead->m_iTotalSize : 0; }

uint32 CAllocator::GetFreeSize() const {
    if (m_pAllocHead == nullptr) return 0;
    uint64 iFree = 0;
    for (uint32 i = 0; i < m_pAllocHead->m_iFreeListNum; ++i) {
        iFree += static_cast<uint64>(GetFreeList(i)->m_iNodeNum) * GetChunkSize(i);
    }
    return static_cast<uint32>(iFree);
}

uint32 CAllocator::GetFreePercent() const {
    if (m_pAllocHead == nullptr || m_pAllocHead->m_iTotalSize == 0) return 0;
    return static_cast<uint32>(static_cast<uint64>(GetFreeSize()) * 100 / m_pAllocHead->m_iTotalSize);
}

uint32 CAllocator::GetInfo(char* pszInfoBuf, uint32 iInfoBufSize) const {
    if (pszInfoBuf == nullptr || iInfoBufSize == 0) return 0;
    pszInfoBuf[0] = '\0';
    uint32 iLen = AppendPiece(pszInfoBuf, iInfoBufSize, 0, "{totalSize:%u, freeSize:%u, freeChunks(", GetTotalSize(),
                              GetFreeSize());
    uint32 iLevels = m_pAllocHead ? m_pAllocHead->m_iFreeListNum : 0;
    bool bAny = false;
    for (uint32 i = 0; i < iLevels; ++i) {
        uint32 iBefore = iLen;
        iLen = AppendPiece(pszInfoBuf, iInfoBufSize, iLen, "%u:%u,", GetChunkSize(i), GetFreeList(i)->m_iNodeNum);
        bAny = bAny || iLen != iBefore;
    }
    if (bAny && iLen > 0 && pszInfoBuf[iLen - 1] == ',') pszInfoBuf[--iLen] = '\0';
    return AppendPiece(pszInfoBuf, iInfoBufSize, iLen, ")}");
}

uint32 CAllocator::GetMinChunkSize() const { return m_pAllocHead ? m_pAllocHead->m_iMinChunkSize : 0; }
uint32 CAllocator::GetMaxChunkSize() const { return m_pAllocHead ? m_pAllocHead->m_iMaxChunkSize : 0; }
uint32 CAllocator::GetFreeListNum() const { return m_pAllocHead ? m_pAllocHead->m_iFreeListNum : 0; }

uint32 CAllocator::GetFreeChunkNum(uint32 iLevel) const {
    if (m_pAllocHead == nullptr || iLevel >= m_pAllocHead->m_iFreeListNum) return 0;
    return GetFreeList(iLevel)->m_iNodeNum;
}

uint32 CAllocator::GetMaxAllocSize() const {
    return m_pAllocHead ? m_pAllocHead->m_iMaxChunkSize - CHUNK_OVERHEAD : 0;
}

uint32 CAllocator::GetChunkSizeFor(uint32 iSize) const {
    if (m_pAllocHead == nullptr || static_cast<uint64>(iSize) + CHUNK_OVERHEAD > m_pAllocHead->m_iMaxChunkSize) {
        return 0;
    }
    return GetChunkSize(GetFreeListIndex(iSize + CHUNK_OVERHEAD));
}

bool CAllocator::IsUsedBlock(uint32 iRel, uint32* pUsrSize) const {
    if (m_pAllocHead == nullptr || iRel < CHUNK_OVERHEAD) return false;
    uint32 iChunk = iRel - CHUNK_OVERHEAD;
    if (!IsChunkStart(iChunk) || !ChunkAt(iChunk)->InUse()) return false;
    if (pUsrSize != nullptr) *pUsrSize = GetChunkSize(ChunkAt(iChunk)->GetLevel()) - CHUNK_OVERHEAD;
    return true;
}

// Descends the buddy tree of the top chunk holding iRel: a chunk of level L
// at an aligned offset is either whole (its header says L) or made of two
// halves of level L-1. Costs at most one step per level.
bool CAllocator::IsChunkStart(uint32 iRel) const {
    uint32 iBegin = GetChunksBeginOffset();
    uint32 iEnd = GetChunksEndOffset();
    uint32 iMin = m_pAllocHead->m_iMinChunkSize;
    if (iRel < iBegin || iRel >= iEnd || (iRel - iBegin) % iMin != 0) return false;
    uint32 iPos = iBegin + (iRel - iBegin) / m_pAllocHead->m_iMaxChunkSize * m_pAllocHead->m_iMaxChunkSize;
    uint32 iLevel = m_pAllocHead->m_iFreeListNum - 1;
    for (;;) {
        uint32 iStored = ChunkAt(iPos)->GetLevel();
        if (iStored > iLevel) return false;
        if (iStored == iLevel) return iPos == iRel;
        --iLevel;
        uint32 iHalf = GetChunkSize(iLevel);
        if (iRel >= iPos + iHalf) iPos += iHalf;
    }
}

uint32 CAllocator::GetFreeListIndex(uint32 iWantSize) const {
    uint32 iLevel = 0;
    uint64 iSize = m_pAllocHead->m_iMinChunkSize;
    while (iSize < iWantSize) {
        iSize <<= 1;
        ++iLevel;
    }
    return iLevel;
}

void CAllocator::PrepareFreeLists() {
    for (uint32 i = 0; i < m_pAllocHead->m_iFreeListNum; ++i) {
        CFreeList* pList = GetFreeList(i);
        uint32 iSelf = GetFreeListOffset(i);
        pList->m_iNodeNum = 0;
        pList->freeListLink.pPrev = iSelf;
        pList->freeListLink.pNext = iSelf;
    }
}

void CAllocator::PutIntoFreeList(CChunk* pChunk) {
    ZQ_CACHE_CHECK(!pChunk->InUse());
    uint32 iLevel = pChunk->GetLevel();
    ZQ_CACHE_CHECK(iLevel < m_pAllocHead->m_iFreeListNum);
    CFreeList* pList = GetFreeList(iLevel);
    uint32 iList = GetFreeListOffset(iLevel);
    uint32 iChunk = AddrAbsToRel(pChunk);
    uint32 iFirst = pList->freeListLink.pNext;
    pChunk->freeListLink.pNext = iFirst;
    pChunk->freeListLink.pPrev = iList;
    LinkAt(iFirst)->pPrev = iChunk;
    pList->freeListLink.pNext = iChunk;
    ++pList->m_iNodeNum;
}

CAllocator::CChunk* CAllocator::PopFromFreeList(uint32 iLevel) {
    CFreeList* pList = GetFreeList(iLevel);
    if (pList->m_iNodeNum == 0) return nullptr;
    CChunk* pChunk = ChunkAt(pList->freeListLink.pNext);
    RemoveFromFreeList(pChunk);
    return pChunk;
}

void CAllocator::RemoveFromFreeList(CChunk* pChunk) {
    ZQ_CACHE_CHECK(!pChunk->InUse());
    uint32 iLevel = pChunk->GetLevel();
    ZQ_CACHE_CHECK(iLevel < m_pAllocHead->m_iFreeListNum);
    CFreeList* pList = GetFreeList(iLevel);
    if (pList->m_iNodeNum == 0) return;
    uint32 iPrev = pChunk->freeListLink.pPrev;
    uint32 iNext = pChunk->freeListLink.pNext;
    LinkAt(iPrev)->pNext = iNext;
    LinkAt(iNext)->pPrev = iPrev;
    --pList->m_iNodeNum;
}

CAllocator::CChunk* CAllocator::SplitChunk(CChunk* pChunk) {
    ZQ_CACHE_CHECK(!pChunk->InUse());
    uint32 iLevel = pChunk->GetLevel();
    if (iLevel == 0) return nullptr;
    pChunk->SetLevel(iLevel - 1);
    CChunk* pHigh = reinterpret_cast<CChunk*>(reinterpret_cast<char*>(pChunk) + GetChunkSize(iLevel - 1));
    pHigh->iLevel = iLevel - 1;
    return pHigh;
}

CAllocator::CChunk* CAllocator::MergeChunk(CChunk* pChunk, CChunk* pBuddy) {
    ZQ_CACHE_CHECK(!pChunk->InUse() && !pBuddy->InUse());
    ZQ_CACHE_CHECK(pChunk->GetLevel() == pBuddy->GetLevel());
    CChunk* pLow = pChunk < pBuddy ? pChunk : pBuddy;
    pLow->SetLevel(pChunk->GetLevel() + 1);
    return pLow;
}

void CAllocator::FissionChunk(CChunk* pChunk, uint32 iWantLevel) {
    while (pChunk->GetLevel() > iWantLevel) {
        CChunk* pHigh = SplitChunk(pChunk);
        if (pHigh == nullptr) break;
        PutIntoFreeList(pHigh);
    }
    PutIntoFreeList(pChunk);
}

CAllocator::CChunk* CAllocator::FusionChunk(CChunk* pChunk) {
    while (pChunk->GetLevel() + 1 < m_pAllocHead->m_iFreeListNum) {
        CChunk* pBuddy = GetBuddyChunk(pChunk);
        if (pBuddy == nullptr || pBuddy->InUse()) break;
        RemoveFromFreeList(pBuddy);
        pChunk = MergeChunk(pChunk, pBuddy);
    }
    return pChunk;
}

CAllocator::CChunk* CAllocator::GetBuddyChunk(CChunk* pChunk) const {
    uint32 iLevel = pChunk->GetLevel();
    uint32 iSize = GetChunkSize(iLevel);
    uint32 iRel = AddrAbsToRel(pChunk);
    uint32 iIndex = (iRel - GetChunksBeginOffset()) / iSize;
    uint32 iBuddy = (iIndex % 2 != 0) ? iRel - iSize : iRel + iSize;
    CChunk* pBuddy = ChunkAt(iBuddy);
    return pBuddy->GetLevel() == iLevel ? pBuddy : nullptr;
}

char* CAllocator::GetChunksBeginPtr() const { return m_pMem + GetChunksBeginOffset(); }

uint32 CAllocator::GetChunksBeginOffset() const {
    return HEAD_FIXED_SIZE + FREE_LIST_ENTRY_SIZE * m_pAllocHead->m_iFreeListNum;
}

// The end of the last whole top chunk; the remainder belongs to no chunk.
uint32 CAllocator::GetChunksEndOffset() const {
    uint32 iBegin = GetChunksBeginOffset();
    uint32 iMax = m_pAllocHead->m_iMaxChunkSize;
    return iBegin + (m_pAllocHead->m_iTotalSize - iBegin) / iMax * iMax;
}

uint32 CAllocator::GetChunkSize(uint32 iLevel) const { return m_pAllocHead->m_iMinChunkSize << iLevel; }

CAllocator::CFreeList* CAllocator::GetFreeList(uint32 iLevel) const {
    return reinterpret_cast<CFreeList*>(m_pMem + GetFreeListOffset(iLevel));
}

uint32 CAllocator::GetFreeListOffset(uint32 iLevel) const { return HEAD_FIXED_SIZE + FREE_LIST_ENTRY_SIZE * iLevel; }

CAllocator::CDbListLink* CAllocator::LinkAt(uint32 iRel) const {
    return reinterpret_cast<CDbListLink*>(m_pMem + iRel + CHUNK_OVERHEAD);
}

CAllocator::CChunk* CAllocator::ChunkAt(uint32 iRel) const { return reinterpret_cast<CChunk*>(m_pMem + iRel); }
