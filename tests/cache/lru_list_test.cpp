#include "lru_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cache_test_util.h"

using cachetest::Region;

namespace {

std::vector<uint32> OldestToNewest(const CLruList& list) {
    std::vector<uint32> data;
    for (CLruNode* p = list.GetLruNode(); p != nullptr; p = list.GetPrevLruNode(p)) data.push_back(p->GetData());
    return data;
}

// Three usable nodes in a region sized exactly for them.
class ThreeNodes : public ::testing::Test {
protected:
    ThreeNodes() : region(CLruList::CalcNeedSize(3)) {}
    void SetUp() override { ASSERT_EQ(0, list.Init(region.data(), region.size32())); }

    Region region;
    CLruList list;
};

}  // namespace

TEST_F(ThreeNodes, RegionOf108BytesHoldsThreeNodesChainedInOrder) {
    EXPECT_EQ(108u, region.size());
    EXPECT_EQ(3u, list.GetTotalNum());
    EXPECT_EQ(0u, list.GetUsingNum());
    EXPECT_EQ(nullptr, list.GetLruNode());
    CLruNode* a = list.Insert(10);
    CLruNode* b = list.Insert(20);
    CLruNode* c = list.Insert(30);
    EXPECT_EQ(1, list.GetNodeOffset(a));
    EXPECT_EQ(2, list.GetNodeOffset(b));
    EXPECT_EQ(3, list.GetNodeOffset(c));
}

TEST_F(ThreeNodes, NewestIsAtTheFrontAndTheWalkGoesOldestFirst) {
    CLruNode* a = list.Insert(10);
    CLruNode* b = list.Insert(20);
    CLruNode* c = list.Insert(30);
    EXPECT_EQ(c, list.GetMruNode());
    EXPECT_EQ(a, list.GetLruNode());
    EXPECT_EQ(b, list.GetPrevLruNode(a));
    EXPECT_EQ(c, list.GetPrevLruNode(b));
    EXPECT_EQ(nullptr, list.GetPrevLruNode(c));
    EXPECT_EQ(nullptr, list.GetPrevLruNode(nullptr));
    EXPECT_EQ(1u, a->GetAccessCount());
    EXPECT_EQ(a->GetLoadTime(), a->GetAccessTime());
}

TEST_F(ThreeNodes, AccessMovesToTheFrontOnceAndLeavesTheFrontAlone) {
    CLruNode* a = list.Insert(10);
    list.Insert(20);
    list.Insert(30);
    list.Access(a);
    EXPECT_EQ(a, list.GetMruNode());
    EXPECT_EQ(2u, a->GetAccessCount());
    uint32 accessed = a->GetAccessTime();
    list.Access(a);
    EXPECT_EQ(2u, a->GetAccessCount());
    EXPECT_EQ(accessed, a->GetAccessTime());
    EXPECT_EQ((std::vector<uint32>{20, 30, 10}), OldestToNewest(list));
}

TEST_F(ThreeNodes, FullListRefusesAndStaysUnchanged) {
    list.Insert(10);
    list.Insert(20);
    list.Insert(30);
    std::string before = region.Snapshot();
    EXPECT_EQ(nullptr, list.Insert(40));
    EXPECT_EQ(before, region.Snapshot());
    EXPECT_EQ(3u, list.GetUsingNum());
}

TEST_F(ThreeNodes, RemovedNodeIsTheNextOneReused) {
    list.Insert(10);
    CLruNode* b = list.Insert(20);
    list.Insert(30);
    list.Remove(b);
    EXPECT_EQ(2u, list.GetUsingNum());
    EXPECT_FALSE(b->IsLinked());
    EXPECT_EQ(0u, b->GetData());
    EXPECT_EQ((std::vector<uint32>{10, 30}), OldestToNewest(list));
    EXPECT_EQ(b, list.Insert(40));
    EXPECT_EQ((std::vector<uint32>{10, 30, 40}), OldestToNewest(list));
}

TEST_F(ThreeNodes, RemovingEverythingEmptiesTheList) {
    CLruNode* a = list.Insert(10);
    CLruNode* b = list.Insert(20);
    list.Remove(a);
    list.Remove(b);
    EXPECT_EQ(nullptr, list.GetLruNode());
    EXPECT_EQ(nullptr, list.GetMruNode());
    EXPECT_EQ(0u, list.GetUsingNum());
    EXPECT_EQ(b, list.Insert(50));
    EXPECT_EQ(a, list.Insert(60));
}

TEST(LruInit, RefusesNullAndTooSmallRegions) {
    Region region(200);
    CLruList list;
    EXPECT_EQ(-1, list.Init(nullptr, 200));
    EXPECT_EQ(-1, list.Init(region.data(), 83));
    EXPECT_EQ(0, list.Init(region.data(), 84));
    EXPECT_EQ(2u, list.GetTotalNum());
}

TEST(LruInit, OddSizedRegionKeepsEveryNodeInside) {
    // 100 bytes: room for two whole nodes after the head and node 0.
    std::vector<char> raw(100 + 8, 0x5A);
    char* base = raw.data();
    while (reinterpret_cast<uintptr_t>(base) % 4 != 0) ++base;
    std::string guard(base + 100, base + 104);
    CLruList list;
    ASSERT_EQ(0, list.Init(base, 100));
    EXPECT_EQ(2u, list.GetTotalNum());
    EXPECT_NE(nullptr, list.Insert(1));
    EXPECT_NE(nullptr, list.Insert(2));
    EXPECT_EQ(nullptr, list.Insert(3));
    EXPECT_EQ(guard, std::string(base + 100, base + 104));
}

TEST(LruAttach, KeepsTheOrderAtAnotherAddress) {
    Region first(CLruList::CalcNeedSize(5));
    CLruList writer;
    ASSERT_EQ(0, writer.Init(first.data(), first.size32()));
    CLruNode* a = writer.Insert(1);
    writer.Insert(2);
    writer.Insert(3);
    writer.Access(a);

    Region second(first.size());
    second.CopyFrom(first.data());
    CLruList reader;
    ASSERT_EQ(0, reader.LoadFromMem(second.data(), second.size32()));
    EXPECT_EQ((std::vector<uint32>{2, 3, 1}), OldestToNewest(reader));
    EXPECT_EQ(2u, reader.GetMruNode()->GetAccessCount());
    reader.Insert(4);
    reader.Insert(5);
    EXPECT_EQ(nullptr, reader.Insert(6));
    EXPECT_EQ((std::vector<uint32>{2, 3, 1, 4, 5}), OldestToNewest(reader));
}

TEST(LruAttach, RefusesAnotherSize) {
    Region region(CLruList::CalcNeedSize(5));
    CLruList writer;
    ASSERT_EQ(0, writer.Init(region.data(), region.size32()));
    CLruList reader;
    EXPECT_EQ(-1, reader.LoadFromMem(region.data(), region.size32() - 24));
    EXPECT_FALSE(reader.IsAttached());
    EXPECT_EQ(-1, reader.LoadFromMem(nullptr, region.size32()));
    EXPECT_EQ(-1, reader.LoadFromMem(region.data(), 83));
}

TEST(LruAttach, RefusesEachDamageAndLeavesTheRegionAsItWas) {
    // Five nodes: 1 to 3 on the recency list (3 newest), 4 and 5 free.
    Region region(CLruList::CalcNeedSize(5));
    CLruList writer;
    ASSERT_EQ(0, writer.Init(region.data(), region.size32()));
    writer.Insert(100);
    writer.Insert(200);
    writer.Insert(300);
    const std::string pristine = region.Snapshot();
    auto field = [&](uint32 offset) { return reinterpret_cast<sint32*>(region.data() + offset); };
    auto prev = [&](int node) { return field(12 + 24 * node + 12); };
    auto next = [&](int node) { return field(12 + 24 * node + 16); };
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"free count larger than the pool", [&] { *field(4) = 6; }},
        {"free count disagrees with the chain", [&] { *field(4) = 1; }},
        {"free head outside the pool", [&] { *field(8) = 9; }},
        {"free chain runs into a listed node", [&] { *next(4) = 2; }},
        {"front link outside the pool", [&] { *next(0) = 77; }},
        {"negative link", [&] { *next(3) = -5; }},
        {"back link disagrees", [&] { *prev(1) = 3; }},
        {"list loops before reaching the head", [&] { *next(1) = 3; *prev(3) = 1; }},
        {"head back link wrong", [&] { *prev(0) = 2; }},
    };
    CLruList reader;
    ASSERT_EQ(0, reader.LoadFromMem(region.data(), region.size32()));
    EXPECT_EQ(3u, reader.GetUsingNum());
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.first);
        region.CopyFrom(pristine.data());
        damage.second();
        std::string before = region.Snapshot();
        EXPECT_EQ(-1, reader.LoadFromMem(region.data(), region.size32()));
        EXPECT_FALSE(reader.IsAttached());
        EXPECT_EQ(before, region.Snapshot());
    }
}

TEST(LruMisuse, RemovingAnUnlinkedNodeStopsTheProcess) {
    Region region(CLruList::CalcNeedSize(3));
    CLruList list;
    ASSERT_EQ(0, list.Init(region.data(), region.size32()));
    CLruNode* a = list.Insert(1);
    list.Remove(a);
    EXPECT_DEATH(list.Remove(a), "consistency check failed");
    EXPECT_DEATH(list.GetPrevLruNode(a), "consistency check failed");
}

TEST(LruMisuse, InsertBeforeInitStopsTheProcess) {
    CLruList list;
    EXPECT_DEATH(list.Insert(1), "consistency check failed");
}
