#include "cache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cache_test_util.h"
#include "files.h"
#include "svr_log.h"

using cachetest::DataFor;
using cachetest::ManualClock;
using cachetest::RecordingListener;
using cachetest::Region;

namespace {

std::string Key(int i) {
    char buf[16];
    snprintf(buf, sizeof(buf), "k%04d", i);
    return buf;
}

std::string Stored(CCache& cache, const std::string& key) {
    uint32 size = 0;
    void* p = cache.Get(key.c_str(), size);
    return p == nullptr ? std::string("<none>") : std::string(static_cast<char*>(p), size);
}

// A cache of 1,000 LRU nodes over ample memory: running out of nodes is what
// starts elimination.
class NodeBoundCache : public ::testing::Test {
protected:
    NodeBoundCache() : region(256 * 1024), cache(listener) {}
    void Format(uint32 begin, uint32 balance) {
        ASSERT_EQ(0, cache.Init(region.data(), region.size32(), 100, 1000, 0, 42, 0, 64, begin, balance));
    }
    void Fill(int n) {
        for (int i = 0; i < n; ++i) {
            std::string data = DataFor(Key(i), 4);
            ASSERT_NE(nullptr, cache.Insert(Key(i).c_str(), data.data(), 4)) << i;
        }
    }

    Region region;
    RecordingListener listener;
    CCache cache;
};

}  // namespace

TEST_F(NodeBoundCache, BucketCountFollowsTheLargerOfRequestAndPool) {
    Format(90, 80);
    EXPECT_EQ(1000u, cache.GetHead()->m_iHashTableBucketNum);
    EXPECT_EQ(1543u, cache.GetHashTableBucketNum());
    EXPECT_EQ(1000u, cache.GetTotalNodeNum());
    EXPECT_EQ(0u, cache.GetNodeNum());
}

TEST_F(NodeBoundCache, InitReportsBothRegionSizes) {
    testing::internal::CaptureStdout();
    Format(90, 80);
    std::string out = testing::internal::GetCapturedStdout();
    uint32 lru = CLruList::CalcNeedSize(1000);
    EXPECT_EQ("lruList.memSize:" + std::to_string(lru) +
                  ", allocator.memSize:" + std::to_string(region.size() - 64 - lru) + "\n",
              out);
    EXPECT_EQ(64u, cache.GetHead()->m_iLruListMemOffset);
    EXPECT_EQ(64u + lru, cache.GetHead()->m_iAllocatorMemOffset);
}

TEST_F(NodeBoundCache, RunningOutOfNodesEvictsTenPercentAtBeginNinetyBalanceEighty) {
    ManualClock clock;
    Format(90, 80);
    Fill(1000);
    EXPECT_FALSE(cache.IsEliminating());
    ASSERT_NE(nullptr, cache.Insert("fresh", "data", 4));
    EXPECT_EQ(900u, cache.GetEliminateThreshold());
    // The slice runs while at least 900 nodes are in use: 101 oldest go.
    ASSERT_EQ(101u, listener.asked.size());
    for (int i = 0; i <= 100; ++i) EXPECT_EQ(Key(i), listener.asked[i].key);
    EXPECT_EQ(DataFor(Key(0), 4), listener.asked[0].data);
    EXPECT_FALSE(cache.IsEliminating());
    EXPECT_EQ(900u, cache.GetNodeNum());
    EXPECT_EQ(101u, cache.GetRemoveCount());
    EXPECT_EQ(1001u, cache.GetInsertCount());
    EXPECT_EQ("<none>", Stored(cache, Key(100)));
    EXPECT_EQ(DataFor(Key(101), 4), Stored(cache, Key(101)));
    EXPECT_EQ("data", Stored(cache, "fresh"));
}

TEST_F(NodeBoundCache, BalanceAboveBeginEvictsFivePercent) {
    ManualClock clock;
    Format(90, 95);
    Fill(1000);
    ASSERT_NE(nullptr, cache.Insert("fresh", "data", 4));
    EXPECT_EQ(950u, cache.GetEliminateThreshold());
    EXPECT_EQ(51u, listener.asked.size());
    EXPECT_EQ(950u, cache.GetNodeNum());
}

TEST_F(NodeBoundCache, RefusingListenerWalksTheWholeListAndKeepsEverything) {
    ManualClock clock;
    Format(90, 80);
    Fill(1000);
    listener.policy = [](const std::string&) { return false; };
    uint32 freeBefore = cache.GetFreeSize();
    EXPECT_EQ(nullptr, cache.Insert("fresh", "data", 4));
    ASSERT_EQ(1000u, listener.asked.size());
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(Key(i), listener.asked[i].key);
    EXPECT_TRUE(cache.IsEliminating());
    EXPECT_EQ(1000u, cache.GetNodeNum());
    EXPECT_EQ(0u, cache.GetRemoveCount());
    EXPECT_EQ(1000u, cache.GetInsertCount());
    EXPECT_EQ(freeBefore, cache.GetFreeSize());
    EXPECT_EQ("<none>", Stored(cache, "fresh"));
}

TEST_F(NodeBoundCache, RefusedEntriesStayAndTheSliceGoesPastThem) {
    ManualClock clock;
    Format(90, 80);
    Fill(1000);
    listener.policy = [](const std::string& key) { return key.back() != '7'; };
    ASSERT_NE(nullptr, cache.Insert("fresh", "data", 4));
    // 101 removals are needed; every tenth key is refused on the way.
    EXPECT_EQ(112u, listener.asked.size());
    EXPECT_EQ(DataFor(Key(7), 4), Stored(cache, Key(7)));
    EXPECT_EQ(DataFor(Key(107), 4), Stored(cache, Key(107)));
    EXPECT_EQ("<none>", Stored(cache, Key(106)));
    EXPECT_EQ(DataFor(Key(112), 4), Stored(cache, Key(112)));
    EXPECT_EQ(900u, cache.GetNodeNum());
}

TEST_F(NodeBoundCache, SliceStopsAfterTheCallThatPassesOneMillisecond) {
    ManualClock clock;
    Format(90, 80);
    Fill(1000);
    listener.policy = [](const std::string&) { return false; };
    listener.onAsk = [&clock](const std::string&) { clock.Advance(250); };
    EXPECT_EQ(nullptr, cache.Insert("fresh", "data", 4));
    // 250, 500, 750 and 1,000 us are within the budget; the fifth call ends it.
    EXPECT_EQ(5u, listener.asked.size());
    EXPECT_TRUE(cache.IsEliminating());
    listener.asked.clear();
    cache.Eliminate();
    EXPECT_EQ(5u, listener.asked.size());
    EXPECT_EQ(Key(0), listener.asked[0].key);
}

TEST_F(NodeBoundCache, SlowListenerOnTheRealClockGetsAtMostOneCallPastTheBudget) {
    Format(90, 80);
    Fill(1000);
    listener.policy = [](const std::string&) { return false; };
    listener.onAsk = [](const std::string&) { usleep(300); };
    EXPECT_EQ(nullptr, cache.Insert("fresh", "data", 4));
    // Each call takes at least 300 us, so the fourth one passes 1,000 us.
    EXPECT_GE(listener.asked.size(), 1u);
    EXPECT_LE(listener.asked.size(), 4u);
    EXPECT_EQ(1000u, cache.GetNodeNum());
}

TEST_F(NodeBoundCache, WhileEliminatingEveryInsertRunsASliceFirst) {
    ManualClock clock;
    Format(90, 80);
    Fill(1000);
    int calls = 0;
    listener.policy = [&calls](const std::string&) { return ++calls > 1000; };
    EXPECT_EQ(nullptr, cache.Insert("first", "x", 1));
    EXPECT_TRUE(cache.IsEliminating());
    listener.asked.clear();
    // The state is on: this insertion starts with a slice that now may evict.
    ASSERT_NE(nullptr, cache.Insert("second", "y", 1));
    EXPECT_EQ(101u, listener.asked.size());
    EXPECT_FALSE(cache.IsEliminating());
    EXPECT_EQ(900u, cache.GetNodeNum());
}

TEST_F(NodeBoundCache, ListenerThatChangesTheCacheStopsTheProcess) {
    Format(90, 80);
    Fill(1000);
    listener.onAsk = [this](const std::string& key) { cache.Remove(key.c_str()); };
    EXPECT_DEATH(cache.Insert("fresh", "data", 4), "consistency check failed");
}

TEST_F(NodeBoundCache, EliminateOutsideTheStateOnlyLogs) {
    Format(90, 80);
    Fill(10);
    cache.Eliminate();
    EXPECT_TRUE(listener.asked.empty());
    EXPECT_EQ(10u, cache.GetNodeNum());
}

namespace {

class SmallCache : public ::testing::Test {
protected:
    SmallCache() : region(32 * 1024), cache(listener) {}
    void SetUp() override {
        ASSERT_EQ(0, cache.Init(region.data(), region.size32(), 10, 100, 0, 42, 0, 256, 50, 40));
    }

    Region region;
    RecordingListener listener;
    CCache cache;
};

}  // namespace

TEST_F(SmallCache, StoresACopyInsideTheRegion) {
    std::string data = "payload bytes";
    char* stored = static_cast<char*>(cache.Insert("key", data.data(), static_cast<uint32>(data.size())));
    ASSERT_NE(nullptr, stored);
    EXPECT_GE(stored, region.data());
    EXPECT_LT(stored, region.data() + region.size());
    data[0] = 'X';
    uint32 size = 0;
    EXPECT_EQ(stored, cache.Get("key", size));
    EXPECT_EQ("payload bytes", std::string(stored, size));
    EXPECT_EQ(1u, cache.GetInsertCount());
}

TEST_F(SmallCache, EmptyKeyAndEmptyDataAreEntriesLikeAnyOther) {
    ASSERT_NE(nullptr, cache.Insert("", nullptr, 0));
    uint32 size = 99;
    EXPECT_NE(nullptr, cache.Get("", size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(0, cache.Remove(""));
}

TEST_F(SmallCache, ExistingKeyIsRefusedWithoutTouchingCounters) {
    ASSERT_NE(nullptr, cache.Insert("key", "one", 3));
    uint32 freeBefore = cache.GetFreeSize();
    EXPECT_EQ(nullptr, cache.Insert("key", "two", 3));
    EXPECT_EQ(1u, cache.GetInsertCount());
    EXPECT_EQ(0u, cache.GetRemoveCount());
    EXPECT_EQ(0u, cache.GetHitCount());
    EXPECT_EQ(0u, cache.GetMissedCount());
    EXPECT_EQ(freeBefore, cache.GetFreeSize());
    EXPECT_EQ("one", Stored(cache, "key"));
}

TEST_F(SmallCache, KeysOfUpTo42CharactersOnly) {
    std::string fits(42, 'f');
    std::string tooLong(43, 'l');
    ASSERT_NE(nullptr, cache.Insert(fits.c_str(), "a", 1));
    uint32 freeBefore = cache.GetFreeSize();
    EXPECT_EQ(nullptr, cache.Insert(tooLong.c_str(), "b", 1));
    EXPECT_EQ(1u, cache.GetInsertCount());
    EXPECT_EQ(1u, cache.GetNodeNum());
    EXPECT_EQ(freeBefore, cache.GetFreeSize());
    EXPECT_EQ("a", Stored(cache, fits));
    EXPECT_EQ(-1, cache.Remove(tooLong.c_str()));
}

TEST_F(SmallCache, FortyCharacterHexKeysRoundTrip) {
    std::string fid = "0123456789abcdef0123456789abcdef01234567";
    ASSERT_NE(nullptr, cache.Insert(fid.c_str(), "r", 1));
    EXPECT_EQ("r", Stored(cache, fid));
    EXPECT_EQ(0, cache.Remove(fid.c_str()));
}

TEST_F(SmallCache, RecordLargerThanAnyBlockIsRefusedWithoutEvicting) {
    for (int i = 0; i < 100; ++i) ASSERT_NE(nullptr, cache.Insert(Key(i).c_str(), "d", 1));
    std::vector<char> big(cache.GetAllocator().GetMaxAllocSize());
    EXPECT_EQ(nullptr, cache.Insert("big", big.data(), static_cast<uint32>(big.size())));
    EXPECT_TRUE(listener.asked.empty());
    EXPECT_FALSE(cache.IsEliminating());
    EXPECT_EQ(100u, cache.GetNodeNum());
    // The largest record that fits the largest block is accepted.
    uint32 fitting = cache.GetAllocator().GetMaxAllocSize() - 9 - 3;
    EXPECT_NE(nullptr, cache.Insert("fit", big.data(), fitting));
}

TEST_F(SmallCache, GetReportsStatisticsBeforeTheAccess) {
    cache.Insert("a", "1", 1);
    cache.Insert("b", "2", 1);
    CCacheNodeAttr attr = {};
    uint32 size = 0;
    ASSERT_NE(nullptr, cache.Get("a", size, attr));
    EXPECT_EQ(1u, attr.iAccessCount);
    EXPECT_LE(attr.iLoadTime, attr.iLastAccessTime);
    // "a" is now the most recent entry: reading it again moves nothing.
    ASSERT_NE(nullptr, cache.Get("a", size, attr));
    EXPECT_EQ(2u, attr.iAccessCount);
    ASSERT_NE(nullptr, cache.Get("a", size, attr));
    EXPECT_EQ(2u, attr.iAccessCount);
    EXPECT_EQ(3u, cache.GetHitCount());
}

TEST_F(SmallCache, MissLeavesTheOutputsAlone) {
    CCacheNodeAttr attr = {7, 8, 9};
    uint32 size = 1234;
    EXPECT_EQ(nullptr, cache.Get("nothing", size, attr));
    EXPECT_EQ(1234u, size);
    EXPECT_EQ(7u, attr.iLoadTime);
    EXPECT_EQ(9u, attr.iAccessCount);
    EXPECT_EQ(1u, cache.GetMissedCount());
}

TEST_F(SmallCache, RemoveGivesBackTheBlock) {
    uint32 freeBefore = cache.GetFreeSize();
    cache.Insert("a", "1234567890", 10);
    EXPECT_LT(cache.GetFreeSize(), freeBefore);
    EXPECT_EQ(0, cache.Remove("a"));
    EXPECT_EQ(freeBefore, cache.GetFreeSize());
    EXPECT_EQ(-1, cache.Remove("a"));
    EXPECT_EQ(1u, cache.GetRemoveCount());
    EXPECT_EQ(0u, cache.GetNodeNum());
}

TEST_F(SmallCache, StatisticTextAfterOneHitAndOneMiss) {
    cache.Insert("a", "1", 1);
    uint32 size = 0;
    cache.Get("a", size);
    cache.Get("b", size);
    EXPECT_DOUBLE_EQ(50.0, cache.GetHitPercent());
    char buf[256];
    cache.GetStatisticInfo(buf, sizeof(buf));
    EXPECT_EQ("hit=50.00% hit=1 miss=1 insert=1 remove=0 using_node_num=1 total_node_num=100", std::string(buf));
    cache.Get("c", size);
    cache.GetStatisticInfo(buf, sizeof(buf));
    EXPECT_EQ(0u, std::string(buf).find("hit=33.33% hit=1 miss=2 "));
}

TEST_F(SmallCache, StatisticTextIsCutToTheBuffer) {
    std::vector<char> buf(10, 'x');
    cache.GetStatisticInfo(buf.data(), 10);
    EXPECT_EQ("hit=0.00", std::string(buf.data()));
    EXPECT_EQ('\0', buf[9]);
}

TEST_F(SmallCache, InfoTextCarriesTheAllocatorDescription) {
    cache.Insert("a", "1", 1);
    uint32 size = 0;
    cache.Get("a", size);
    char alloc[512];
    cache.GetAllocator().GetInfo(alloc, sizeof(alloc));
    char buf[1024];
    EXPECT_EQ(buf, cache.GetInfo(buf, sizeof(buf)));
    EXPECT_EQ(std::string("{ hit:100.00%, hit:1, miss:0, insert:1, remove:0, nodeNum:1, allocator ") + alloc + " }",
              std::string(buf));
    std::vector<char> tiny(30, 'x');
    cache.GetInfo(tiny.data(), 30);
    EXPECT_EQ(29u, strlen(tiny.data()));
}

TEST_F(SmallCache, NeedEliminateFollowsUsedAllocatorMemory) {
    EXPECT_FALSE(cache.NeedEliminate());
    std::string data(400, 'd');
    int i = 0;
    while (uint64(cache.GetUsingSize()) * 100 / cache.GetAllocator().GetTotalSize() < 50) {
        EXPECT_FALSE(cache.NeedEliminate());
        ASSERT_NE(nullptr, cache.Insert(Key(i++).c_str(), data.data(), 400));
    }
    EXPECT_TRUE(cache.NeedEliminate());
}

TEST_F(SmallCache, RunningOutOfMemoryEvictsTheOldestEntries) {
    ManualClock clock;
    std::string data(400, 'd');
    int i = 0;
    while (listener.asked.empty()) {
        ASSERT_NE(nullptr, cache.Insert(Key(i).c_str(), data.data(), 400)) << i;
        ++i;
    }
    ASSERT_LT(cache.GetNodeNum(), 100u);
    // Memory ran out before the nodes did; the slice started at the oldest.
    EXPECT_EQ(Key(0), listener.asked[0].key);
    EXPECT_EQ("<none>", Stored(cache, Key(0)));
    EXPECT_EQ(data, Stored(cache, Key(i - 1)));
    EXPECT_EQ(cache.GetInsertCount(), uint64(cache.GetNodeNum()) + cache.GetRemoveCount());
}

TEST(CacheInit, RefusesRegionsTooSmallForItsParts) {
    RecordingListener listener;
    CCache cache(listener);
    Region region(4096);
    memset(region.data(), 0x5A, region.size());
    uint32 tooSmall = 64 + CLruList::CalcNeedSize(100) + 27;
    EXPECT_EQ(-1, cache.Init(region.data(), tooSmall, 10, 100, 0, 42, 0, 64, 90, 80));
    EXPECT_FALSE(cache.IsAttached());
    EXPECT_EQ(-1, cache.Init(region.data(), 4096, 10, 1, 0, 42, 0, 64, 90, 80));
    EXPECT_FALSE(cache.IsAttached());
    for (size_t i = tooSmall; i < region.size(); ++i) ASSERT_EQ(0x5A, region.data()[i]) << i;
    EXPECT_EQ(-1, cache.Init(nullptr, 4096, 10, 10, 0, 42, 0, 64, 90, 80));
    EXPECT_EQ(-1, cache.Init(region.data() + 4, 4000, 10, 10, 0, 42, 0, 64, 90, 80));
    EXPECT_EQ(-1, cache.Init(region.data(), 4096, 10, 10, 0, 42, 0, 0xFFFFFFF0u, 90, 80));
    EXPECT_EQ(0, cache.Init(region.data(), 4096, 10, 10, 0, 42, 0, 64, 90, 80));
}

TEST(CacheInit, SecondInitOrAttachIsRefused) {
    RecordingListener listener;
    CCache cache(listener);
    Region region(16 * 1024);
    ASSERT_EQ(0, cache.Init(region.data(), region.size32(), 10, 10, 0, 42, 0, 64, 90, 80));
    cache.Insert("a", "1", 1);
    EXPECT_EQ(-1, cache.Init(region.data(), region.size32(), 10, 10, 0, 42, 0, 64, 90, 80));
    EXPECT_EQ(-1, cache.LoadFromMem(region.data(), region.size32()));
    EXPECT_EQ("1", Stored(cache, "a"));
}

TEST(CacheInit, UseBeforeInitStopsTheProcess) {
    RecordingListener listener;
    CCache cache(listener);
    uint32 size = 0;
    EXPECT_DEATH(cache.Insert("a", "1", 1), "consistency check failed");
    EXPECT_DEATH(cache.Get("a", size), "consistency check failed");
    EXPECT_DEATH(cache.Remove("a"), "consistency check failed");
    EXPECT_EQ(0u, cache.GetNodeNum());
    EXPECT_EQ(0.0, cache.GetHitPercent());
}

namespace {

// Twenty entries written by one cache object, then attached by another.
class AttachedCache : public ::testing::Test {
protected:
    AttachedCache() : region(64 * 1024) {}
    void SetUp() override {
        RecordingListener writerListener;
        CCache writer(writerListener);
        ASSERT_EQ(0, writer.Init(region.data(), region.size32(), 10, 100, 0, 42, 0, 256, 90, 80));
        for (int i = 0; i < 20; ++i) {
            std::string data = DataFor(Key(i), 10 + i * 7);
            ASSERT_NE(nullptr, writer.Insert(Key(i).c_str(), data.data(), static_cast<uint32>(data.size())));
        }
        uint32 size = 0;
        writer.Get(Key(3).c_str(), size);
        writer.Get(Key(50).c_str(), size);
        freeRel = RecordOf(5);
        ASSERT_EQ(0, writer.Remove(Key(5).c_str()));
        order.clear();
        for (int i = 0; i < 20; ++i) {
            if (i != 3 && i != 5) order.push_back(Key(i));
        }
        order.push_back(Key(3));
        head = *reinterpret_cast<CCache::CCacheHead*>(region.data());
    }
    uint32* NodeData(int node) { return reinterpret_cast<uint32*>(region.data() + 64 + 12 + 24 * node + 20); }
    sint32* NodeNext(int node) { return reinterpret_cast<sint32*>(region.data() + 64 + 12 + 24 * node + 16); }
    uint32 RecordOf(int node) { return *NodeData(node + 1); }
    char* Record(int node) { return region.data() + head.m_iAllocatorMemOffset + RecordOf(node); }
    uint32* HeadWord(uint32 offset) { return reinterpret_cast<uint32*>(region.data() + offset); }
    Region region;
    CCache::CCacheHead head;
    uint32 freeRel = 0;
    std::vector<std::string> order;  // least recent first
};

}  // namespace

TEST_F(AttachedCache, ResumesEveryEntryOldestFirstAtAnotherAddress) {
    Region copy(region.size());
    copy.CopyFrom(region.data());
    RecordingListener listener;
    CCache reader(listener);
    ASSERT_EQ(0, reader.LoadFromMem(copy.data(), copy.size32()));
    ASSERT_EQ(order.size(), listener.resumed.size());
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i], listener.resumed[i].key);
        EXPECT_EQ(Stored(reader, order[i]), listener.resumed[i].data);
    }
    EXPECT_EQ(20u, reader.GetInsertCount());
    EXPECT_EQ(1u + order.size(), reader.GetHitCount());
    EXPECT_EQ(1u, reader.GetMissedCount());
    EXPECT_EQ(1u, reader.GetRemoveCount());
    EXPECT_EQ(193u, reader.GetHashTableBucketNum());
    EXPECT_FALSE(reader.IsEliminating());
    ASSERT_NE(nullptr, reader.Insert(Key(5).c_str(), "again", 5));
    EXPECT_EQ("again", Stored(reader, Key(5)));
}

TEST_F(AttachedCache, AnotherTotalSizeLeavesTheCacheUnattached) {
    RecordingListener listener;
    CCache reader(listener);
    EXPECT_EQ(-1, reader.LoadFromMem(region.data(), region.size32() - 8));
    EXPECT_FALSE(reader.IsAttached());
    EXPECT_EQ(-1, reader.LoadFromMem(nullptr, region.size32()));
    ASSERT_EQ(0, reader.LoadFromMem(region.data(), region.size32()));
    EXPECT_EQ(order.size(), reader.GetNodeNum());
}

TEST_F(AttachedCache, OfTwoRecordsWithOneKeyTheOlderStays) {
    // Entry 7 takes the key of entry 6, which is older.
    Record(7)[8 + 4] = '6';
    uint32 freeBefore;
    {
        CAllocator alloc;
        ASSERT_EQ(0, alloc.LoadFromMem(region.data() + head.m_iAllocatorMemOffset, head.m_iAllocatorMemSize));
        freeBefore = alloc.GetFreeSize();
    }
    RecordingListener listener;
    CCache reader(listener);
    ASSERT_EQ(0, reader.LoadFromMem(region.data(), region.size32()));
    EXPECT_EQ(order.size() - 1, listener.resumed.size());
    EXPECT_EQ(DataFor(Key(6), 10 + 6 * 7), Stored(reader, Key(6)));
    EXPECT_EQ("<none>", Stored(reader, Key(7)));
    EXPECT_EQ(2u, reader.GetRemoveCount());
    EXPECT_EQ(order.size() - 1, reader.GetNodeNum());
    EXPECT_GT(reader.GetFreeSize(), freeBefore);
    // The region stays consistent for the next process.
    RecordingListener again;
    CCache next(again);
    ASSERT_EQ(0, next.LoadFromMem(region.data(), region.size32()));
    EXPECT_EQ(order.size() - 1, again.resumed.size());
}

TEST_F(AttachedCache, RefusesEachDamageAndLeavesTheRegionAsItWas) {
    const std::string pristine = region.Snapshot();
    auto keyLen = [this](int i) { return &reinterpret_cast<uint32*>(Record(i))[0]; };
    auto dataSize = [this](int i) { return &reinterpret_cast<uint32*>(Record(i))[1]; };
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"node naming a freed block", [&] { *NodeData(1) = freeRel; }},
        {"node naming an address outside the region", [&] { *NodeData(2) = 0x7FFFFFF0u; }},
        {"node naming the inside of a block", [&] { *NodeData(2) += 16; }},
        {"two nodes sharing a record", [&] { *NodeData(4) = *NodeData(9); }},
        {"key length past the block", [&] { *keyLen(8) = 200; }},
        {"data size past the block", [&] { *dataSize(8) = 0xFFFFFFF0u; }},
        {"key without terminator", [&] { Record(8)[8 + 5] = 'x'; }},
        {"key shorter than its length", [&] { Record(8)[8 + 2] = '\0'; }},
        {"regions that do not tile the segment", [&] { *HeadWord(16) += 24; }},
        {"allocator size that disagrees", [&] { *HeadWord(24) -= 8; }},
        {"damaged LRU link", [&] { *NodeNext(2) = 5000; }},
        {"damaged allocator head", [&] { *HeadWord(head.m_iAllocatorMemOffset + 4) = 48; }},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.first);
        region.CopyFrom(pristine.data());
        damage.second();
        std::string before = region.Snapshot();
        RecordingListener l;
        CCache reader(l);
        EXPECT_EQ(-1, reader.LoadFromMem(region.data(), region.size32()));
        EXPECT_FALSE(reader.IsAttached());
        EXPECT_TRUE(l.resumed.empty());
        EXPECT_EQ(before, region.Snapshot());
    }
}

TEST_F(AttachedCache, RefusedAttachLeavesTheObjectReusable) {
    uint32 saved = *NodeData(2);
    *NodeData(2) = 0x7FFFFFF0u;
    RecordingListener listener;
    CCache reader(listener);
    EXPECT_EQ(-1, reader.LoadFromMem(region.data(), region.size32()));
    *NodeData(2) = saved;
    ASSERT_EQ(0, reader.LoadFromMem(region.data(), region.size32()));
    EXPECT_EQ(order.size(), listener.resumed.size());
}

namespace {

// The error log written to a file, every level on, for the duration of a test.
class LoggedCache : public SmallCache {
protected:
    void SetUp() override {
        SmallCache::SetUp();
        std::string path = dir.file("errlog");
        std::vector<char> name(path.begin(), path.end());
        name.push_back('\0');
        g_ErrLog.reset();
        ASSERT_EQ(0, g_ErrLog.InitFileLog(name.data(), true, FL_FILE_SIZE_ROTATE, 0, 1));
        ASSERT_EQ(0, g_ErrLog.OpenFileLog());
        g_ErrLog.SetOutLevel(5);
    }
    void TearDown() override { g_ErrLog.reset(); }
    std::string Log() { return zqtest::ReadFile(dir.file("errlog")); }

    zqtest::TempDir dir;
};

}  // namespace

TEST_F(LoggedCache, TooLongKeyIsRefusedWithALogLine) {
    std::string tooLong(43, 'l');
    EXPECT_EQ(nullptr, cache.Insert(tooLong.c_str(), "b", 1));
    EXPECT_NE(std::string::npos, Log().find("[err] cache."));
    EXPECT_NE(std::string::npos, Log().find("key of 43 characters is longer than 42"));
}

TEST_F(LoggedCache, OperationsLogAtDebugLevel) {
    cache.Insert("a", "xyz", 3);
    cache.Insert("a", "xyz", 3);
    uint32 size = 0;
    cache.Get("a", size);
    cache.Remove("a");
    cache.Remove("a");
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("(Insert): insert ok, key=a, datasize=3\n"));
    EXPECT_NE(std::string::npos, log.find("(Insert): insert failed, key=a exists\n"));
    EXPECT_NE(std::string::npos, log.find("(Get): get ok, key=a, datasize=3, access count=1\n"));
    EXPECT_NE(std::string::npos, log.find("(Remove): remove ok, key=a, datasize=3, access count=1\n"));
    EXPECT_NE(std::string::npos, log.find("(Remove): remove failed, key=a doesn't exist\n"));
}

TEST_F(LoggedCache, RefusedAttachSaysWhy) {
    cache.Insert("a", "1", 1);
    RecordingListener other;
    CCache reader(other);
    *reinterpret_cast<uint32*>(region.data() + 64 + 12 + 16) = 999;
    EXPECT_EQ(-1, reader.LoadFromMem(region.data(), region.size32()));
    EXPECT_NE(std::string::npos, Log().find("lru list attach refused: recency list has bad link 999 after node 0"));
    EXPECT_NE(std::string::npos, Log().find("cache attach refused"));
}
