// Hundreds of thousands of random operations checked step by step against a
// plain model: a map of entries and a recency list, with the same elimination
// rules. The clock moves only when the listener is asked, so every slice is
// reproducible; some evictions are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "cache.h"
#include "cache_test_util.h"

using cachetest::ManualClock;
using cachetest::Region;

namespace {

constexpr uint32 kRegionSize = 128 * 1024;
constexpr uint32 kPool = 600;
constexpr uint32 kMaxData = 1000;
constexpr uint32 kBegin = 90;
constexpr uint32 kBalance = 70;
constexpr uint64 kMicrosPerAsk = 45;
constexpr int kSteps = 200000;

uint32 Fnv(const char* p) {
    uint32 h = 2166136261u;
    for (; *p != '\0'; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
    return h;
}

struct Entry {
    std::string data;
    uint32 accessCount;
    uint32 chunkSize;
    std::list<std::string>::iterator pos;
};

// What the cache looked like each time the listener was asked.
struct Ask {
    char key[44];
    uint32 dataSize;
    uint32 freeSize;
    int topFreeLevel;  // highest level with a free chunk, -1 when none
};

class Model {
public:
    std::list<std::string> order;  // front: most recent
    std::unordered_map<std::string, Entry> entries;
    bool eliminating = false;
    uint32 threshold = 0;
    uint64 hits = 0, misses = 0, inserts = 0, removes = 0;
    uint64 usedChunkBytes = 0;
    // The listener refuses a seventh of the keys; which seventh changes with the
    // epoch, so refused entries do not pile up at the old end for ever.
    uint32 epoch = 0;

    bool Refuses(const char* key) const { return (Fnv(key) + epoch) % 7 == 0; }

    void Add(const std::string& key, const std::string& data, uint32 chunkSize) {
        order.push_front(key);
        entries[key] = Entry{data, 1, chunkSize, order.begin()};
        usedChunkBytes += chunkSize;
        ++inserts;
    }
    void Erase(const std::string& key) {
        auto it = entries.find(key);
        usedChunkBytes -= it->second.chunkSize;
        order.erase(it->second.pos);
        entries.erase(it);
        ++removes;
    }
    void EnterElimination() {
        eliminating = true;
        uint32 per = kBegin - kBalance;
        if (per > 100) per = 5;
        uint32 using_ = static_cast<uint32>(entries.size());
        threshold = using_ - static_cast<uint32>(uint64(per) * using_ / 100);
    }
    // One slice as the cache must run it, matched against what the listener
    // was asked from position *pNext on. Returns false at the first question
    // that differs (or is missing).
    bool Slice(const std::vector<Ask>& asked, size_t* pNext) {
        if (!eliminating) return true;
        bool same = true;
        uint64 elapsed = 0;
        bool has = !order.empty();
        auto node = has ? std::prev(order.end()) : order.end();
        while (has && entries.size() >= threshold && elapsed <= 1000) {
            bool hasNewer = node != order.begin();
            auto newer = hasNewer ? std::prev(node) : node;
            const std::string& key = *node;
            size_t i = (*pNext)++;
            if (i >= asked.size() || strcmp(asked[i].key, key.c_str()) != 0 ||
                asked[i].dataSize != entries[key].data.size()) {
                same = false;
            }
            if (!Refuses(key.c_str())) Erase(std::string(key));
            has = hasNewer;
            node = newer;
            elapsed += kMicrosPerAsk;
        }
        if (entries.size() <= threshold) eliminating = false;
        return same;
    }
};

class ModelListener : public CCacheListener {
public:
    bool CanEliminate(const char* pszKey, void* pData, uint32 iDataSize) override {
        int top = -1;
        for (uint32 level = 0; level < allocator->GetFreeListNum(); ++level) {
            if (allocator->GetFreeChunkNum(level) > 0) top = static_cast<int>(level);
        }
        (void)pData;
        Ask ask;
        snprintf(ask.key, sizeof(ask.key), "%s", pszKey);
        ask.dataSize = iDataSize;
        ask.freeSize = allocator->GetFreeSize();
        ask.topFreeLevel = top;
        asked.push_back(ask);
        clock->Advance(kMicrosPerAsk);
        return !model->Refuses(pszKey);
    }
    void CacheResume(const char* pszKey, void* pData, uint32 iDataSize) override {
        resumed.push_back({pszKey, std::string(static_cast<char*>(pData), iDataSize)});
    }

    const CAllocator* allocator = nullptr;
    ManualClock* clock = nullptr;
    const Model* model = nullptr;
    std::vector<Ask> asked;
    std::vector<cachetest::ListenerCall> resumed;
};

class CacheModel : public ::testing::Test {
protected:
    CacheModel() : region(std::make_unique<Region>(kRegionSize)), rng(20240305) {}

    void SetUp() override {
        listener.clock = &clock;
        listener.model = &model;
        cache = std::make_unique<CCache>(listener);
        ASSERT_EQ(0, cache->Init(region->data(), kRegionSize, 100, kPool, 0, 42, 0, kMaxData, kBegin, kBalance));
        listener.allocator = &cache->GetAllocator();
        capacity = cache->GetFreeSize();
        const char alphabet[] = "0123456789abcdefXYZ_-.\x80\xe9\xff";
        for (int i = 0; i < 1200; ++i) {
            std::string key;
            size_t len = rng() % 8 == 0 ? rng() % 5 : 5 + rng() % 38;
            for (size_t j = 0; j < len; ++j) key += alphabet[rng() % (sizeof(alphabet) - 1)];
            keys.push_back(key);
        }
    }

    std::string RandomKey() {
        if (rng() % 50 == 0) return std::string(43 + rng() % 20, 'L');
        return keys[rng() % keys.size()];
    }

    std::string RandomData() {
        uint32 r = rng() % 10;
        uint32 size = r < 6 ? rng() % 65 : r < 9 ? 65 + rng() % 336 : 401 + rng() % (kMaxData - 400);
        std::string data(size, '\0');
        for (uint32 i = 0; i < size; i += 4) {
            uint32 bits = rng();
            memcpy(&data[i], &bits, std::min<uint32>(4, size - i));
        }
        return data;
    }

    uint32 LevelOf(uint32 chunkSize) const {
        uint32 level = 0;
        for (uint32 s = cache->GetAllocator().GetMinChunkSize(); s < chunkSize; s <<= 1) ++level;
        return level;
    }

    void DoInsert(const std::string& key, const std::string& data) {
        listener.asked.clear();
        void* res = cache->Insert(key.c_str(), data.data(), static_cast<uint32>(data.size()));
        const std::vector<Ask>& asked = listener.asked;
        if (key.size() > 42 || model.entries.count(key) != 0) {
            ASSERT_EQ(nullptr, res);
            ASSERT_TRUE(asked.empty());
            return;
        }
        uint32 chunk = cache->GetAllocator().GetChunkSizeFor(static_cast<uint32>(key.size() + data.size() + 9));
        ASSERT_NE(0u, chunk);
        size_t next = 0;
        ASSERT_TRUE(model.Slice(asked, &next)) << "slice before the allocation";

        // A slice that starts with the block not yet taken follows a failed allocation.
        if (next < asked.size() && asked[next].freeSize == capacity - model.usedChunkBytes) {
            ASSERT_LT(asked[next].topFreeLevel, static_cast<int>(LevelOf(chunk))) << "allocation failed needlessly";
            ++allocFailures;
            model.EnterElimination();
            ASSERT_TRUE(model.Slice(asked, &next)) << "slice after a failed allocation";
            if (res == nullptr && next == asked.size()) {
                // The retry failed too: no chunk of the level or above is left.
                for (uint32 level = LevelOf(chunk); level < cache->GetAllocator().GetFreeListNum(); ++level) {
                    ASSERT_EQ(0u, cache->GetAllocator().GetFreeChunkNum(level));
                }
                return;
            }
        }
        bool success = true;
        if (model.entries.size() == kPool) {
            ASSERT_LT(next, asked.size()) << "a full LRU list must start a slice";
            ASSERT_EQ(capacity - model.usedChunkBytes - chunk, asked[next].freeSize);
            ++lruFailures;
            model.EnterElimination();
            ASSERT_TRUE(model.Slice(asked, &next)) << "slice after a full LRU list";
            success = model.entries.size() < kPool;
        }
        ASSERT_EQ(next, asked.size());
        ASSERT_EQ(success, res != nullptr);
        if (success) {
            ASSERT_EQ(data, std::string(static_cast<char*>(res), data.size()));
            model.Add(key, data, chunk);
        }
    }

    void DoGet(const std::string& key) {
        CCacheNodeAttr attr = {};
        uint32 size = 0;
        char* res = static_cast<char*>(cache->Get(key.c_str(), size, attr));
        auto it = model.entries.find(key);
        if (it == model.entries.end()) {
            ASSERT_EQ(nullptr, res);
            ++model.misses;
            return;
        }
        ASSERT_NE(nullptr, res);
        ASSERT_EQ(it->second.data, std::string(res, size));
        ASSERT_EQ(it->second.accessCount, attr.iAccessCount);
        if (it->second.pos != model.order.begin()) {
            model.order.splice(model.order.begin(), model.order, it->second.pos);
            ++it->second.accessCount;
        }
        ++model.hits;
    }

    void DoRemove(const std::string& key) {
        sint32 res = cache->Remove(key.c_str());
        if (model.entries.count(key) == 0) {
            ASSERT_EQ(-1, res);
            return;
        }
        ASSERT_EQ(0, res);
        model.Erase(key);
    }

    void DoEliminate() {
        listener.asked.clear();
        cache->Eliminate();
        size_t next = 0;
        ASSERT_TRUE(model.Slice(listener.asked, &next));
        ASSERT_EQ(next, listener.asked.size());
    }

    void CheckCounters() {
        ASSERT_EQ(model.hits, cache->GetHitCount());
        ASSERT_EQ(model.misses, cache->GetMissedCount());
        ASSERT_EQ(model.inserts, cache->GetInsertCount());
        ASSERT_EQ(model.removes, cache->GetRemoveCount());
        ASSERT_EQ(model.entries.size(), cache->GetNodeNum());
        ASSERT_EQ(capacity, cache->GetFreeSize() + model.usedChunkBytes);
        ASSERT_EQ(model.eliminating, cache->IsEliminating());
        if (model.eliminating) {
            ASSERT_EQ(model.threshold, cache->GetEliminateThreshold());
        }
    }

    void CheckOrder() {
        const CLruList& lru = cache->GetLruList();
        auto expected = model.order.rbegin();
        for (CLruNode* node = lru.GetLruNode(); node != nullptr; node = lru.GetPrevLruNode(node), ++expected) {
            ASSERT_NE(model.order.rend(), expected);
            auto* record = static_cast<CCache::CCacheNode*>(cache->GetAllocator().AddrRelToAbs(node->GetData()));
            ASSERT_EQ(*expected, std::string(record->GetKeyPtr()));
        }
        ASSERT_EQ(model.order.rend(), expected);
    }

    // Another process attaching: a copy of the region at another address.
    void Reattach() {
        auto moved = std::make_unique<Region>(kRegionSize);
        moved->CopyFrom(region->data());
        listener.resumed.clear();
        auto next = std::make_unique<CCache>(listener);
        ASSERT_EQ(0, next->LoadFromMem(moved->data(), kRegionSize));
        ASSERT_EQ(model.order.size(), listener.resumed.size());
        auto expected = model.order.rbegin();
        for (const auto& resumed : listener.resumed) {
            ASSERT_EQ(*expected, resumed.key);
            ASSERT_EQ(model.entries[*expected].data, resumed.data);
            ++expected;
        }
        cache = std::move(next);
        region = std::move(moved);
        listener.allocator = &cache->GetAllocator();
        model.eliminating = false;
        model.threshold = 0;
    }

    std::unique_ptr<Region> region;
    ManualClock clock;
    ModelListener listener;
    std::unique_ptr<CCache> cache;
    Model model;
    std::mt19937 rng;
    uint32 capacity = 0;
    std::vector<std::string> keys;
    uint64 allocFailures = 0;
    uint64 lruFailures = 0;
};

}  // namespace

TEST_F(CacheModel, RandomOperationsAgreeWithTheModelAtEveryStep) {
    uint64 evictions = 0, failedInserts = 0;
    for (int step = 0; step < kSteps; ++step) {
        model.epoch = static_cast<uint32>(step / 5000);
        uint32 r = rng() % 100;
        uint64 removesBefore = model.removes;
        uint64 insertsBefore = model.inserts;
        if (r < 45) {
            ASSERT_NO_FATAL_FAILURE(DoInsert(RandomKey(), RandomData())) << "step " << step;
            if (model.inserts == insertsBefore) ++failedInserts;
            evictions += model.removes - removesBefore;
        } else if (r < 80) {
            ASSERT_NO_FATAL_FAILURE(DoGet(RandomKey())) << "step " << step;
        } else if (r < 97) {
            ASSERT_NO_FATAL_FAILURE(DoRemove(RandomKey())) << "step " << step;
        } else {
            ASSERT_NO_FATAL_FAILURE(DoEliminate()) << "step " << step;
        }
        ASSERT_NO_FATAL_FAILURE(CheckCounters()) << "step " << step;
        if (step % 5000 == 0) {
            ASSERT_NO_FATAL_FAILURE(CheckOrder()) << "step " << step;
        }
        if (step % 40000 == 39999) {
            ASSERT_NO_FATAL_FAILURE(Reattach()) << "step " << step;
        }
    }
    ASSERT_NO_FATAL_FAILURE(CheckOrder());
    // The run must have exercised eviction, refusals and both kinds of exhaustion.
    EXPECT_GT(evictions, 1000u);
    EXPECT_GT(allocFailures, 100u);
    EXPECT_GT(lruFailures, 100u);
    EXPECT_GT(failedInserts, 100u);
    EXPECT_GT(model.hits, 1000u);
    EXPECT_GT(model.misses, 1000u);
}
