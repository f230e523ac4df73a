// A binary buddy allocator living entirely inside one caller-supplied region:
// head, free lists and chunks are stored in the region and linked by byte
// offsets from its start, so another process can attach it at any address.
// The object only points at the region; it owns, frees and locks nothing, and
// the caller serialises every change. Failures come back as -1 or null; misuse
// (a double free, a foreign pointer) stops the process with a diagnostic.
#ifndef ZQ_ALLOCATOR_H
#define ZQ_ALLOCATOR_H

#include "common_header.h"

class CAllocator {
public:
    // Relative addresses are 32-bit offsets from the region's start.
    struct CDbListLink {
        uint32 pPrev;
        uint32 pNext;
    };
    // One entry per level; addressed like a chunk, so its links sit at +4/+8.
    struct CFreeList {
        uint32 m_iNodeNum;
        CDbListLink freeListLink;
    };
    // The fixed part of the head; the N free-list entries follow it.
    struct CAllocHead {
        uint32 m_iTotalSize;
        uint32 m_iMinChunkSize;
        uint32 m_iMaxChunkSize;
        uint32 m_iFreeListNum;
    };
    struct CChunk {
        uint32 iLevel;  // bit 31: in use
        CDbListLink freeListLink;

        void SetLevel(uint32 iLevelValue) { iLevel = (iLevel & IN_USE_BIT) | (iLevelValue & ~IN_USE_BIT); }
        uint32 GetLevel() const { return iLevel & ~IN_USE_BIT; }
        void SetInUse(bool bInUse) { iLevel = bInUse ? (iLevel | IN_USE_BIT) : (iLevel & ~IN_USE_BIT); }
        bool InUse() const { return (iLevel & IN_USE_BIT) != 0; }
        void* GetUsrDataPtr() { return reinterpret_cast<char*>(this) + CHUNK_OVERHEAD; }
    };

    enum : uint32 {
        IN_USE_BIT = 0x80000000u,
        CHUNK_OVERHEAD = 4,
        MIN_CHUNK_SIZE = 16,
        HEAD_FIXED_SIZE = 16,
        FREE_LIST_ENTRY_SIZE = 12,
        MAX_CHUNK_LIMIT = 0x80000000u,  // chunk sizes stop at 2^31
    };

    CAllocator();

    // Formats a new region. -1 for a null region, one under 16 bytes, one that
    // cannot hold its head (nothing is written then), a misaligned one, or
    // data sizes whose chunks would pass 2^31 bytes.
    sint32 Init(void* p, uint32 iTotalSize, uint32 iMinDataSize, uint32 iMaxDataSize);
    // Attaches a region formatted earlier, possibly by another process. The
    // region is only read: its size must match and its head, chunk tiling and
    // free lists must be consistent, otherwise -1 with a log line and the
    // object stays unattached.
    sint32 LoadFromMem(void* p, uint32 iTotalSize);

    void* Alloc(uint32 iSize);
    void Free(void* p);

    // A relative address is a 32-bit offset from the region's start, not a
    // pointer-sized number: the region is shared between processes that map
    // it at different addresses, and its stored links stay 32 bits wide on
    // 64-bit builds. AddrAbsToRel takes a pointer into the region.
    uint32 AddrAbsToRel(const void* p) const;
    void* AddrRelToAbs(uint32 iRel) const;

    bool IsAttached() const { return m_pMem != nullptr; }
    uint32 GetTotalSize() const;
    uint32 GetFreeSize() const;
    uint32 GetFreePercent() const;
    uint32 GetInfo(char* pszInfoBuf, uint32 iInfoBufSize) const;

    // Views used by the cache and by tests.
    uint32 GetMinChunkSize() const;
    uint32 GetMaxChunkSize() const;
    uint32 GetFreeListNum() const;
    uint32 GetFreeChunkNum(uint32 iLevel) const;
    // The largest request Alloc can ever satisfy (0 when unattached).
    uint32 GetMaxAllocSize() const;
    // The chunk size Alloc(iSize) would use, 0 when no level fits.
    uint32 GetChunkSizeFor(uint32 iSize) const;
    // True when iRel is the relative address Alloc returned for a block still
    // in use; *pUsrSize then receives the block's usable size.
    bool IsUsedBlock(uint32 iRel, uint32* pUsrSize) const;

    static uint64 GetUpperBound(uint64 iSize, uint64 iAlign);

private:
    uint32 GetFreeListIndex(uint32 iWantSize) const;
    void PrepareFreeLists();
    void PutIntoFreeList(CChunk* pChunk);
    CChunk* PopFromFreeList(uint32 iLevel);
    void RemoveFromFreeList(CChunk* pChunk);
    CChunk* SplitChunk(CChunk* pChunk);
    CChunk* MergeChunk(CChunk* pChunk, CChunk* pBuddy);
    void FissionChunk(CChunk* pChunk, uint32 iWantLevel);
    CChunk* FusionChunk(CChunk* pChunk);
    CChunk* GetBuddyChunk(CChunk* pChunk) const;
    char* GetChunksBeginPtr() const;
    uint32 GetChunksBeginOffset() const;
    uint32 GetChunkSize(uint32 iLevel) const;
    uint32 GetChunksEndOffset() const;

    CFreeList* GetFreeList(uint32 iLevel) const;
    uint32 GetFreeListOffset(uint32 iLevel) const;
    CDbListLink* LinkAt(uint32 iRel) const;
    CChunk* ChunkAt(uint32 iRel) const;
    bool IsChunkStart(uint32 iRel) const;
    bool ValidateRegion(uint32 iTotalSize) const;

    char* m_pMem;
    CAllocHead* m_pAllocHead;
};

#endif
