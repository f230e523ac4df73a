// Least-recently-used order of the cache's entries, laid into one caller-
// supplied region: a fixed pool of nodes, a free chain and a circular
// recency list through node 0, all linked by node numbers so the region can
// be shared memory attached elsewhere later. The object owns nothing and
// locks nothing; every operation is constant time except attaching, which
// validates the whole region. Misuse stops the process with a diagnostic.
#ifndef ZQ_LRU_LIST_H
#define ZQ_LRU_LIST_H

#include "common_header.h"

class CLruNode {
public:
    struct CLruListLink {
        sint32 iPrevOffset;  // next more recent node, 0 for the head, -1 when unlinked
        sint32 iNextOffset;  // next less recent node; on the free chain the next free node
    };

    CLruNode();
    // The data word is 32 bits, not a pointer: nodes live in shared memory
    // and must read the same in every process and on 64-bit builds, so the
    // cache stores a relative offset into its allocator region here.
    void Init(uint32 iData);
    void Access();
    void Reset();
    uint32 GetData() const { return m_pData; }
    uint32 GetAccessCount() const { return m_iAccessCount; }
    uint32 GetLoadTime() const { return m_iLoadTime; }
    uint32 GetAccessTime() const { return m_iAccessTime; }
    bool IsLinked() const { return m_lruListLink.iPrevOffset != -1; }

    uint32 m_iLoadTime;
    uint32 m_iAccessTime;
    uint32 m_iAccessCount;
    CLruListLink m_lruListLink;
    // The user's 32-bit word; the cache keeps a record's relative address here.
    uint32 m_pData;
};

class CLruList {
public:
    struct CListHead {
        uint32 m_iTotalSize;
        uint32 m_iFreeNum;
        sint32 m_iFreeHeadOffset;
    };

    enum : uint32 {
        HEAD_SIZE = 12,
        NODE_SIZE = 24,
    };

    CLruList();

    // Formats a new region; -1 for a null region or one under CalcNeedSize(2).
    sint32 Init(void* p, uint32 iSize);
    // Attaches a region formatted earlier. Only reads it: the stored size must
    // match, and the free chain and the recency list must be well-formed chains
    // of node numbers inside the pool that together hold every node once;
    // otherwise -1 with a log line and the object stays unattached.
    sint32 LoadFromMem(void* p, uint32 iSize);

    // Null when every node is in use. iData is a 32-bit word (the cache's
    // relative offset of the entry), not a pointer, for the node's reason.
    CLruNode* Insert(uint32 iData);
    // Moves a node to the front; the front node itself is left untouched.
    void Access(CLruNode* pNode);
    void Remove(CLruNode* pNode);
    CLruNode* GetLruNode() const;
    CLruNode* GetPrevLruNode(CLruNode* pNode) const;
    // The most recently used node, null when none is in use.
    CLruNode* GetMruNode() const;

    bool IsAttached() const { return m_pMem != nullptr; }
    uint32 GetTotalNum() const;
    uint32 GetUsingNum() const;
    static uint32 CalcNeedSize(uint32 iNodeNum);
    static uint32 CalcNodeNum(uint32 iSize);

    sint32 GetNodeOffset(const CLruNode* pNode) const;
    CLruNode* GetNodeByOffset(sint32 iOffset) const;

private:
    CLruNode* Alloc();
    void Free(CLruNode* pNode);
    void LinkAtFront(CLruNode* pNode);
    void Unlink(CLruNode* pNode);
    bool ValidateRegion() const;

    char* m_pMem;
    CListHead* m_pListHead;
    CLruNode* m_pLruHead;
    sint32 m_iLruHeadOffset;
};

#endif
