// A chained string-keyed hash table with the ELF hash and a node allocated per
// key; the prime bucket counts (GetNextPrime) also size the cache's own index
// (cache_index.h), which replaced this table there. Keys are stored cut to 42
// characters, so callers keep longer keys out. T must be a pointer-like type
// whose value-initialised form means "none". Allocation failures come back as
// an invalid table or -1; nothing throws.
#ifndef ZQ_HASH_TABLE_H
#define ZQ_HASH_TABLE_H

#include <cstring>
#include <new>

#include "common_header.h"

inline constexpr uint32 primeList[] = {
    53u,        97u,        193u,       389u,       769u,        1543u,       3079u,       6151u,      12289u,     24593u,
    49157u,     98317u,     196613u,    393241u,    786433u,     1572869u,    3145739u,    6291469u,   12582917u,  25165843u,
    50331653u,  100663319u, 201326611u, 402653189u, 805306457u, 1610612741u, 3221225473u, 4294967291u,
};

// The first prime of the list that is at least iValue, the last one otherwise.
inline uint32 GetNextPrime(uint32 iValue) {
    for (uint32 prime : primeList) {
        if (prime >= iValue) return prime;
    }
    return primeList[sizeof(primeList) / sizeof(primeList[0]) - 1];
}

template <typename T>
class CHashTable {
public:
    enum : uint32 { MAX_KEY_LEN = 42, KEY_BUF_SIZE = 44 };

    struct CHashTableNode {
        char m_szKey[KEY_BUF_SIZE];
        T m_data;
        CHashTableNode* m_pNext;
    };
    struct CHashTableBucket {
        CHashTableNode* m_pNext;
        uint32 m_iDepth;
    };

    explicit CHashTable(uint32 iInitBucketNum)
        : m_iBucketNum(GetNextPrime(iInitBucketNum)),
          m_pBuckets(new (std::nothrow) CHashTableBucket[m_iBucketNum]()) {}

    ~CHashTable() {
        if (m_pBuckets == nullptr) return;
        for (uint32 i = 0; i < m_iBucketNum; ++i) {
            CHashTableNode* pNode = m_pBuckets[i].m_pNext;
            while (pNode != nullptr) {
                CHashTableNode* pNext = pNode->m_pNext;
                delete pNode;
                pNode = pNext;
            }
        }
        delete[] m_pBuckets;
    }

    CHashTable(const CHashTable&) = delete;
    CHashTable& operator=(const CHashTable&) = delete;

    // False when the bucket array could not be allocated.
    bool IsValid() const { return m_pBuckets != nullptr; }
    uint32 GetBucketNum() const { return m_iBucketNum; }

    T Get(const char* pszKey) const {
        const CHashTableBucket& bucket = m_pBuckets[GetHashValue(pszKey) % m_iBucketNum];
        for (CHashTableNode* pNode = bucket.m_pNext; pNode != nullptr; pNode = pNode->m_pNext) {
            if (strcmp(pNode->m_szKey, pszKey) == 0) return pNode->m_data;
        }
        return T();
    }

    // Adds at the front of the key's chain without looking for the key; -1
    // only when the node cannot be allocated.
    sint32 Insert(const char* pszKey, T& data) {
        CHashTableNode* pNode = new (std::nothrow) CHashTableNode;
        if (pNode == nullptr) return -1;
        strncpy(pNode->m_szKey, pszKey, MAX_KEY_LEN);
        pNode->m_szKey[MAX_KEY_LEN] = '\0';
        pNode->m_szKey[KEY_BUF_SIZE - 1] = '\0';
        pNode->m_data = data;
        CHashTableBucket& bucket = m_pBuckets[GetHashValue(pszKey) % m_iBucketNum];
        pNode->m_pNext = bucket.m_pNext;
        bucket.m_pNext = pNode;
        ++bucket.m_iDepth;
        return 0;
    }

    T Remove(const char* pszKey) {
        CHashTableBucket& bucket = m_pBuckets[GetHashValue(pszKey) % m_iBucketNum];
        for (CHashTableNode** ppLink = &bucket.m_pNext; *ppLink != nullptr; ppLink = &(*ppLink)->m_pNext) {
            CHashTableNode* pNode = *ppLink;
            if (strcmp(pNode->m_szKey, pszKey) == 0) {
                T data = pNode->m_data;
                *ppLink = pNode->m_pNext;
                --bucket.m_iDepth;
                delete pNode;
                return data;
            }
        }
        return T();
    }

    // The ELF string hash over the key's bytes taken as signed values.
    uint32 GetHashValue(const char* pszKey) const {
        uint32 h = 0;
        for (const char* p = pszKey; *p != '\0'; ++p) {
            h = (h << 4) + static_cast<uint32>(static_cast<sint32>(static_cast<signed char>(*p)));
            uint32 g = h & 0xF0000000u;
            if (g != 0) {
                h ^= g >> 24;
                h &= ~g;
            }
        }
        return h & 0x7FFFFFFFu;
    }

    uint32 GetDepth(uint32 iBucket) const { return iBucket < m_iBucketNum ? m_pBuckets[iBucket].m_iDepth : 0; }

private:
    uint32 m_iBucketNum;
    CHashTableBucket* m_pBuckets;
};

#endif
