// The cache's key index, in process memory and rebuilt by whoever attaches a
// region. An entry is named by its LRU node number (1 to the pool size), so
// everything is allocated once, at construction: a prime-sized array of
// buckets, each holding its chain's first node and that node's key hash, and
// one slot per node with its hash and chain links. Keys stay in the region's
// records, reached through the node; Find's caller compares them. A failed
// allocation shows as !IsValid(); misuse stops the process.
#ifndef ZQ_CACHE_INDEX_H
#define ZQ_CACHE_INDEX_H

#include <cstddef>
#include <memory>

#include "cache_check.h"
#include "common_header.h"
#include "hash_table.h"

class CCacheIndex {
public:
    // GetNextPrime(iBucketNum) chains for nodes 1 to iNodeNum.
    CCacheIndex(uint32 iBucketNum, uint32 iNodeNum);
    CCacheIndex(const CCacheIndex&) = delete;
    CCacheIndex& operator=(const CCacheIndex&) = delete;

    bool IsValid() const { return m_pBuckets != nullptr && m_pSlots != nullptr; }
    uint32 GetBucketNum() const { return m_iBucketNum; }

    // Eight bytes a step: an index lookup should cost its memory accesses,
    // not a byte-serial hash over a 40-character key.
    static uint32 HashKey(const char* pszKey, size_t iKeyLen);

    // The first node on iHash's chain for which bSame(node) holds, 0 when
    // none does. The bucket carries its first node's hash, so a hit on the
    // first node, the usual case, reads no slot.
    template <typename Same>
    uint32 Find(uint32 iHash, Same bSame) const {
        const CBucket& bucket = m_pBuckets[iHash % m_iBucketNum];
        if (bucket.iNode == 0) return 0;
        if (bucket.iHash == iHash && bSame(bucket.iNode)) return bucket.iNode;
        for (uint32 iNode = m_pSlots[bucket.iNode].iNext; iNode != 0; iNode = m_pSlots[iNode].iNext) {
            if (m_pSlots[iNode].iHash == iHash && bSame(iNode)) return iNode;
        }
        return 0;
    }

    // The node must not be indexed already; in front of its chain.
    void Insert(uint32 iHash, uint32 iNode);
    // The node must be indexed; constant time, whatever the chain.
    void Remove(uint32 iNode);
    bool Contains(uint32 iNode) const { return iNode >= 1 && iNode <= m_iNodeNum && m_pSlots[iNode].bIndexed != 0; }

private:
    struct CBucket {
        uint32 iHash;
        uint32 iNode;  // 0 for an empty chain
    };
    struct CSlot {
        uint32 iHash;
        uint32 iNext;  // 0 ends the chain
        uint32 iPrev;  // 0 for the chain's first node
        uint32 bIndexed;
    };

    uint32 m_iBucketNum;
    uint32 m_iNodeNum;
    std::unique_ptr<CBucket[]> m_pBuckets;
    std::unique_ptr<CSlot[]> m_pSlots;
};

#endif
