#include "cache_index.h"

#include <cstring>
#include <new>

// Value-initialised: an empty bucket and an unindexed slot are zeros.
CCacheIndex::CCacheIndex(uint32 iBucketNum, uint32 iNodeNum)
    : m_iBucketNum(GetNextPrime(iBucketNum)),
      m_iNodeNum(iNodeNum),
      m_pBuckets(new (std::nothrow) CBucket[m_iBucketNum]()),
      m_pSlots(new (std::nothrow) CSlot[static_cast<size_t>(iNodeNum) + 1]()) {}

uint32 CCacheIndex::HashKey(const char* pszKey, size_t iKeyLen) {
    const uint64 kMul = 0xff51afd7ed558ccdull;
    uint64 h = 0x9E3779B97F4A7C15ull ^ iKeyLen;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pszKey);
    for (; iKeyLen >= 8; iKeyLen -= 8, p += 8) {
        uint64 w;
        memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 32;
    }
    if (iKeyLen > 0) {
        uint64 w = 0;
        for (size_t i = 0; i < iKeyLen; ++i) w |= static_cast<uint64>(p[i]) << (8 * i);
        h = (h ^ w) * kMul;
        h ^= h >> 32;
    }
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 29;
    return static_cast<uint32>(h);
}

void CCacheIndex::Insert(uint32 iHash, uint32 iNode) {
    ZQ_CACHE_CHECK(iNode >= 1 && iNode <= m_iNodeNum && !Contains(iNode));
    CBucket& bucket = m_pBuckets[iHash % m_iBucketNum];
    m_pSlots[iNode] = CSlot{iHash, bucket.iNode, 0, 1};
    if (bucket.iNode != 0) m_pSlots[bucket.iNode].iPrev = iNode;
    bucket = CBucket{iHash, iNode};
}

void CCacheIndex::Remove(uint32 iNode) {
    ZQ_CACHE_CHECK(Contains(iNode));
    CSlot& slot = m_pSlots[iNode];
    if (slot.iPrev != 0) {
        m_pSlots[slot.iPrev].iNext = slot.iNext;
    } else {
        CBucket& bucket = m_pBuckets[slot.iHash % m_iBucketNum];
        bucket = CBucket{slot.iNext != 0 ? m_pSlots[slot.iNext].iHash : 0, slot.iNext};
    }
    if (slot.iNext != 0) m_pSlots[slot.iNext].iPrev = slot.iPrev;
    slot = CSlot{0, 0, 0, 0};
}
