// The shared-memory cache's attach validation over arbitrary region bytes.
// The first input byte picks the layer (buddy allocator, LRU list, whole
// cache), the second how the region is made: from the remaining bytes as they
// are, or formatted by Init with sizes from the input, filled by a few
// operations and then damaged by (offset, byte) patches taken from the rest.
// The region is an exact-size heap block, so a read past it is caught.
// LoadFromMem must refuse without writing, or accept a region on which every
// operation then works: a consistency abort after an accepted attach, or a
// region whose accounting does not add up, is a finding.
#ifndef ZQ_CACHE_FUZZ_H
#define ZQ_CACHE_FUZZ_H

#include <map>
#include <memory>
#include <set>

#include "allocator.h"
#include "cache.h"
#include "fuzz_harness.h"
#include "lru_list.h"

namespace zqfuzz {

namespace cachedetail {

enum ELayer { LAYER_ALLOCATOR, LAYER_LRU, LAYER_CACHE, LAYER_COUNT };

// A small deterministic generator for the operations after an attach, seeded
// from the input so that a kept input replays the same way.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_state(seed * 6364136223846793005ULL + 1442695040888963407ULL) {}
    uint32_t Next() {
        m_state = m_state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(m_state >> 33);
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }

private:
    uint64_t m_state;
};

inline uint64_t Fnv1a(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ULL;
    return h;
}

// Agrees to every eviction; remembers every entry handed over on attach.
class ResumeListener : public CCacheListener {
public:
    bool CanEliminate(const char*, void*, uint32) override { return true; }
    void CacheResume(const char* pszKey, void* pData, uint32 iDataSize) override {
        resumed.push_back(std::make_pair(std::string(pszKey), std::string(static_cast<const char*>(pData), iDataSize)));
    }
    std::vector<std::pair<std::string, std::string>> resumed;
};

// The region: an exact-size heap block (operator new[] aligns it for any
// type, which the cache's 8-byte check needs).
struct Region {
    explicit Region(size_t n) : size(n), bytes(new unsigned char[n == 0 ? 1 : n]()) {}
    unsigned char* data() { return bytes.get(); }
    size_t size;
    std::unique_ptr<unsigned char[]> bytes;
};

// The chunk area of an attached allocator, as its getters describe it.
inline void ChunkArea(const CAllocator& alloc, uint64_t* begin, uint64_t* end) {
    *begin = CAllocator::HEAD_FIXED_SIZE + static_cast<uint64_t>(CAllocator::FREE_LIST_ENTRY_SIZE) *
                                               alloc.GetFreeListNum();
    uint64_t max = alloc.GetMaxChunkSize();
    *end = *begin + (alloc.GetTotalSize() - *begin) / max * max;
}

// An attached allocator: the blocks in use and the free chunks must tile the
// chunk area; freeing every block must merge the area back into top chunks;
// allocating then hands out blocks inside the area that do not overlap.
inline int ExerciseAllocator(CAllocator& alloc, Rng& rng) {
    uint64_t begin = 0, end = 0;
    ChunkArea(alloc, &begin, &end);
    const uint32_t minChunk = alloc.GetMinChunkSize();
    std::vector<uint32_t> used;
    uint64_t usedBytes = 0;
    for (uint64_t off = begin; off < end; off += minChunk) {
        uint32_t usr = 0;
        if (alloc.IsUsedBlock(static_cast<uint32_t>(off + CAllocator::CHUNK_OVERHEAD), &usr)) {
            used.push_back(static_cast<uint32_t>(off + CAllocator::CHUNK_OVERHEAD));
            usedBytes += usr + CAllocator::CHUNK_OVERHEAD;
        }
    }
    ZQ_FUZZ_CHECK(usedBytes + alloc.GetFreeSize() == end - begin);

    for (size_t i = used.size(); i > 1; --i) std::swap(used[i - 1], used[rng.Below(static_cast<uint32_t>(i))]);
    for (uint32_t rel : used) alloc.Free(alloc.AddrRelToAbs(rel));
    ZQ_FUZZ_CHECK(alloc.GetFreeSize() == end - begin);
    const uint32_t top = alloc.GetFreeListNum() - 1;
    ZQ_FUZZ_CHECK(alloc.GetFreeChunkNum(top) == (end - begin) / alloc.GetMaxChunkSize());

    std::map<uint64_t, uint64_t> blocks;  // start -> end of each block handed out
    for (int k = 0; k < 64; ++k) {
        uint32_t want = rng.Below(alloc.GetMaxAllocSize() + 1);
        if (k % 4 == 0) want = rng.Below(64);
        char* p = static_cast<char*>(alloc.Alloc(want));
        if (p == nullptr) continue;
        uint64_t at = alloc.AddrAbsToRel(p);
        uint64_t len = alloc.GetChunkSizeFor(want) - CAllocator::CHUNK_OVERHEAD;
        ZQ_FUZZ_CHECK(len >= want && at >= begin + CAllocator::CHUNK_OVERHEAD && at + len <= end);
        auto next = blocks.lower_bound(at);
        ZQ_FUZZ_CHECK(next == blocks.end() || next->first >= at + len);
        if (next != blocks.begin()) ZQ_FUZZ_CHECK(std::prev(next)->second <= at);
        blocks[at] = at + len;
        if (want > 0) memset(p, 0xA5, want);
    }
    for (const auto& block : blocks) alloc.Free(alloc.AddrRelToAbs(static_cast<uint32_t>(block.first)));
    ZQ_FUZZ_CHECK(alloc.GetFreeSize() == end - begin);
    return 0;
}

// An attached LRU list: the recency order holds every node in use once;
// removing them all and filling the pool again works node for node.
inline int ExerciseLru(CLruList& lru, Rng& rng) {
    const uint32_t total = lru.GetTotalNum();
    const uint32_t using_ = lru.GetUsingNum();
    ZQ_FUZZ_CHECK(using_ <= total);
    std::vector<CLruNode*> nodes;
    std::set<CLruNode*> seen;
    for (CLruNode* p = lru.GetLruNode(); p != nullptr; p = lru.GetPrevLruNode(p)) {
        ZQ_FUZZ_CHECK(nodes.size() < using_);
        ZQ_FUZZ_CHECK(p->IsLinked() && seen.insert(p).second);
        nodes.push_back(p);
    }
    ZQ_FUZZ_CHECK(nodes.size() == using_);
    ZQ_FUZZ_CHECK(using_ == 0 ? lru.GetMruNode() == nullptr : lru.GetMruNode() == nodes.back());

    for (size_t i = 0; i < nodes.size(); ++i) {
        if (rng.Below(3) == 0) lru.Access(nodes[rng.Below(static_cast<uint32_t>(nodes.size()))]);
    }
    for (size_t i = nodes.size(); i > 1; --i) std::swap(nodes[i - 1], nodes[rng.Below(static_cast<uint32_t>(i))]);
    for (CLruNode* p : nodes) lru.Remove(p);
    ZQ_FUZZ_CHECK(lru.GetUsingNum() == 0 && lru.GetLruNode() == nullptr);

    std::vector<CLruNode*> filled;
    for (uint32_t i = 0; i < total; ++i) {
        CLruNode* p = lru.Insert(i);
        ZQ_FUZZ_CHECK(p != nullptr && p->GetData() == i);
        filled.push_back(p);
    }
    ZQ_FUZZ_CHECK(lru.Insert(total) == nullptr);
    ZQ_FUZZ_CHECK(lru.GetUsingNum() == total);
    // The least recent is the first inserted, unless an access moved it.
    if (total > 1) {
        lru.Access(filled[0]);
        ZQ_FUZZ_CHECK(lru.GetLruNode() == filled[1] && lru.GetMruNode() == filled[0]);
    }
    return 0;
}

// An attached cache: each entry handed over on attach answers with its data,
// keys are unique, and inserting, reading and removing go on working, with
// evictions, until the cache is empty again.
inline int ExerciseCache(CCache& cache, const ResumeListener& listener, Rng& rng) {
    // The index is sized by the pool it indexes, whatever the head asks for.
    ZQ_FUZZ_CHECK(cache.GetHashTableBucketNum() <= GetNextPrime(cache.GetTotalNodeNum()));
    ZQ_FUZZ_CHECK(listener.resumed.size() == cache.GetNodeNum());
    std::map<std::string, std::string> entries;
    for (const auto& entry : listener.resumed) {
        ZQ_FUZZ_CHECK(entries.insert(entry).second);
    }
    for (const auto& entry : entries) {
        uint32 size = 0;
        void* data = cache.Get(entry.first.c_str(), size);
        ZQ_FUZZ_CHECK(data != nullptr && size == entry.second.size());
        ZQ_FUZZ_CHECK(size == 0 || memcmp(data, entry.second.data(), size) == 0);
    }
    char info[256];
    cache.GetInfo(info, sizeof(info));
    cache.GetStatisticInfo(info, sizeof(info));

    const uint32_t maxRecord = cache.GetAllocator().GetMaxAllocSize();
    for (int k = 0; k < 96; ++k) {
        std::string key = "n" + std::to_string(rng.Below(40));
        uint32_t op = rng.Below(4);
        if (op <= 1) {
            uint32_t cap = maxRecord > 64 ? maxRecord - 52 : 16;
            uint32_t len = rng.Below(cap < 8192 ? cap : 8192);
            std::string data(len, static_cast<char>('a' + k % 26));
            void* stored = cache.Insert(key.c_str(), data.data(), len);
            if (stored != nullptr) ZQ_FUZZ_CHECK(len == 0 || memcmp(stored, data.data(), len) == 0);
        } else if (op == 2) {
            uint32 size = 0;
            cache.Get(key.c_str(), size);
        } else {
            cache.Remove(key.c_str());
        }
        ZQ_FUZZ_CHECK(cache.GetNodeNum() <= cache.GetTotalNodeNum());
    }
    // Empty it through its own order, least recent first.
    while (cache.GetNodeNum() > 0) {
        const CLruNode* lru = cache.GetLruList().GetLruNode();
        ZQ_FUZZ_CHECK(lru != nullptr);
        const CCache::CCacheNode* record =
            static_cast<const CCache::CCacheNode*>(cache.GetAllocator().AddrRelToAbs(lru->GetData()));
        std::string key(const_cast<CCache::CCacheNode*>(record)->GetKeyPtr());
        uint32_t before = cache.GetNodeNum();
        ZQ_FUZZ_CHECK(cache.Remove(key.c_str()) == 0);
        ZQ_FUZZ_CHECK(cache.GetNodeNum() == before - 1);
    }
    uint64_t begin = 0, end = 0;
    ChunkArea(cache.GetAllocator(), &begin, &end);
    ZQ_FUZZ_CHECK(cache.GetFreeSize() == end - begin);
    return 0;
}

// Formats the region with sizes from the input and fills it a little.
inline void Format(ELayer layer, ByteReader& in, Region& region, ResumeListener& listener) {
    unsigned char* p = region.data();
    const uint32_t size = static_cast<uint32_t>(region.size);
    switch (layer) {
        case LAYER_ALLOCATOR: {
            CAllocator alloc;
            uint32_t minData = in.Byte();
            uint32_t maxData = minData + in.U16() % 8192;
            if (alloc.Init(p, size, minData, maxData) != 0) return;
            std::vector<void*> blocks;
            for (int n = in.Byte() % 48; n > 0; --n) {
                uint8_t op = in.Byte();
                if (op % 3 == 0 && !blocks.empty()) {
                    size_t i = op % blocks.size();
                    alloc.Free(blocks[i]);
                    blocks.erase(blocks.begin() + static_cast<long>(i));
                } else if (void* b = alloc.Alloc(in.U16() % (alloc.GetMaxAllocSize() + 1))) {
                    blocks.push_back(b);
                }
            }
            return;
        }
        case LAYER_LRU: {
            CLruList lru;
            if (lru.Init(p, size) != 0) return;
            std::vector<CLruNode*> nodes;
            for (int n = in.Byte() % 48; n > 0; --n) {
                uint8_t op = in.Byte();
                if (op % 3 == 0 && !nodes.empty()) {
                    size_t i = op % nodes.size();
                    lru.Remove(nodes[i]);
                    nodes.erase(nodes.begin() + static_cast<long>(i));
                } else if (op % 3 == 1 && !nodes.empty()) {
                    lru.Access(nodes[op % nodes.size()]);
                } else if (CLruNode* node = lru.Insert(op)) {
                    nodes.push_back(node);
                }
            }
            return;
        }
        default: {
            CCache cache(listener);
            uint32_t buckets = in.Byte();
            uint32_t pool = in.Byte() % 64 + 2;
            uint32_t minData = in.Byte() % 32;
            uint32_t maxData = minData + in.U16() % 4096;
            uint32_t begin = in.Byte() % 101;
            uint32_t balance = in.Byte() % 101;
            if (cache.Init(p, size, buckets, pool, 1, 42, minData, maxData, begin, balance) != 0) return;
            for (int n = in.Byte() % 48; n > 0; --n) {
                uint8_t op = in.Byte();
                std::string key = std::string(op % 7 == 0 ? 42 : 1, 'k') + std::to_string(op % 29);
                if (op % 4 == 0) {
                    cache.Remove(key.c_str());
                } else if (op % 4 == 1) {
                    uint32 len = 0;
                    cache.Get(key.c_str(), len);
                } else {
                    std::string data = in.Bytes(in.Byte());
                    cache.Insert(key.c_str(), data.data(), static_cast<uint32>(data.size()));
                }
            }
            return;
        }
    }
}

}  // namespace cachedetail

inline int CacheFuzz(const uint8_t* data, size_t size) {
    using namespace cachedetail;
    ByteReader in(data, size);
    const ELayer layer = static_cast<ELayer>(in.Byte() % LAYER_COUNT);
    const bool formatted = (in.Byte() & 1) != 0;
    Rng rng(Fnv1a(data, size));
    ResumeListener listener;

    std::unique_ptr<Region> region;
    if (formatted) {
        static const uint32_t base[LAYER_COUNT] = {16, 84, 200};
        region.reset(new Region(base[layer] + in.U16() % 32768));
        Format(layer, in, *region, listener);
        // The rest: (offset, byte) patches.
        while (in.Left() >= 3) {
            uint32_t at = in.U16() % region->size;
            region->data()[at] = in.Byte();
        }
    } else {
        std::string bytes = in.Rest();
        region.reset(new Region(bytes.size()));
        if (!bytes.empty()) memcpy(region->data(), bytes.data(), bytes.size());
    }
    const std::string before(reinterpret_cast<const char*>(region->data()), region->size);
    const uint32_t len = static_cast<uint32_t>(region->size);
    listener.resumed.clear();

    switch (layer) {
        case LAYER_ALLOCATOR: {
            CAllocator alloc;
            bool ok = alloc.LoadFromMem(region->data(), len) == 0;
            ZQ_FUZZ_CHECK(ok == alloc.IsAttached());
            ZQ_FUZZ_CHECK(memcmp(region->data(), before.data(), len) == 0);
            if (ok) return ExerciseAllocator(alloc, rng);
            return 0;
        }
        case LAYER_LRU: {
            CLruList lru;
            bool ok = lru.LoadFromMem(region->data(), len) == 0;
            ZQ_FUZZ_CHECK(ok == lru.IsAttached());
            ZQ_FUZZ_CHECK(memcmp(region->data(), before.data(), len) == 0);
            if (ok) return ExerciseLru(lru, rng);
            return 0;
        }
        default: {
            CCache cache(listener);
            bool ok = cache.LoadFromMem(region->data(), len) == 0;
            ZQ_FUZZ_CHECK(ok == cache.IsAttached());
            // Only dropping a duplicate key may write, and only to an accepted region.
            if (!ok) ZQ_FUZZ_CHECK(memcmp(region->data(), before.data(), len) == 0);
            if (ok) return ExerciseCache(cache, listener, rng);
            return 0;
        }
    }
}

}  // namespace zqfuzz

#endif
