#include "allocator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cache_test_util.h"

using cachetest::Region;

namespace {

std::string Info(const CAllocator& a) {
    char buf[512];
    uint32 len = a.GetInfo(buf, sizeof(buf));
    EXPECT_EQ(strlen(buf), len);
    return buf;
}

uint32* Word(Region& r, uint32 iOffset) { return reinterpret_cast<uint32*>(r.data() + iOffset); }

// A small region: chunks of 16 to 1,024 bytes, seven levels,
// a 100-byte head and exactly four top chunks.
class SmallRegion : public ::testing::Test {
protected:
    SmallRegion() : region(4196) {}
    void SetUp() override { ASSERT_EQ(0, alloc.Init(region.data(), 4196, 10, 1000)); }

    static constexpr uint32 kHead = 16 + 12 * 7;
    Region region;
    CAllocator alloc;
};

}  // namespace

TEST_F(SmallRegion, FormatsSevenLevelsAndFourTopChunks) {
    EXPECT_EQ(16u, alloc.GetMinChunkSize());
    EXPECT_EQ(1024u, alloc.GetMaxChunkSize());
    EXPECT_EQ(7u, alloc.GetFreeListNum());
    EXPECT_EQ(4196u, alloc.GetTotalSize());
    EXPECT_EQ(4096u, alloc.GetFreeSize());
    EXPECT_EQ(4096u * 100 / 4196, alloc.GetFreePercent());
    EXPECT_EQ("{totalSize:4196, freeSize:4096, freeChunks(16:0,32:0,64:0,128:0,256:0,512:0,1024:4)}", Info(alloc));
}

TEST_F(SmallRegion, SmallestRequestSplitsTheHighestTopChunk) {
    void* p = alloc.Alloc(12);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(kHead + 3 * 1024 + 4, alloc.AddrAbsToRel(p));
    EXPECT_EQ(region.data() + kHead + 3 * 1024 + 4, p);
    EXPECT_EQ("{totalSize:4196, freeSize:4080, freeChunks(16:1,32:1,64:1,128:1,256:1,512:1,1024:3)}", Info(alloc));
    alloc.Free(p);
    EXPECT_EQ("{totalSize:4196, freeSize:4096, freeChunks(16:0,32:0,64:0,128:0,256:0,512:0,1024:4)}", Info(alloc));
}

TEST_F(SmallRegion, ThirteenBytesNeedAThirtyTwoByteChunk) {
    EXPECT_EQ(16u, alloc.GetChunkSizeFor(12));
    EXPECT_EQ(32u, alloc.GetChunkSizeFor(13));
    void* p = alloc.Alloc(13);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(4096u - 32, alloc.GetFreeSize());
    EXPECT_EQ(0u, alloc.GetFreeChunkNum(0));
    EXPECT_EQ(1u, alloc.GetFreeChunkNum(1));
    uint32 usable = 0;
    EXPECT_TRUE(alloc.IsUsedBlock(alloc.AddrAbsToRel(p), &usable));
    EXPECT_EQ(28u, usable);
}

TEST_F(SmallRegion, RequestsBeyondTheLargestChunkFail) {
    EXPECT_EQ(1020u, alloc.GetMaxAllocSize());
    EXPECT_EQ(nullptr, alloc.Alloc(1021));
    EXPECT_EQ(nullptr, alloc.Alloc(0xFFFFFFFFu));
    EXPECT_EQ(4096u, alloc.GetFreeSize());
    EXPECT_NE(nullptr, alloc.Alloc(1020));
}

TEST_F(SmallRegion, RunsDryThenRecoversEveryTopChunk) {
    std::vector<void*> blocks;
    for (void* p = alloc.Alloc(100); p != nullptr; p = alloc.Alloc(100)) blocks.push_back(p);
    EXPECT_EQ(4096u / 128, blocks.size());
    EXPECT_EQ(0u, alloc.GetFreeSize());
    // Freeing in an order that is neither ascending nor descending still fuses
    // every pair of buddies.
    for (size_t i = 0; i < blocks.size(); i += 2) alloc.Free(blocks[i]);
    for (size_t i = 1; i < blocks.size(); i += 2) alloc.Free(blocks[i]);
    EXPECT_EQ("{totalSize:4196, freeSize:4096, freeChunks(16:0,32:0,64:0,128:0,256:0,512:0,1024:4)}", Info(alloc));
}

TEST_F(SmallRegion, FreeOfNullDoesNothing) {
    alloc.Free(nullptr);
    EXPECT_EQ(4096u, alloc.GetFreeSize());
}

TEST_F(SmallRegion, BlocksNeverOverlapUnderRandomUse) {
    std::mt19937 rng(7);
    std::map<char*, std::pair<uint32, char>> live;  // block -> size, fill byte
    uint64 used = 0;
    for (int step = 0; step < 20000; ++step) {
        if (live.empty() || rng() % 3 != 0) {
            uint32 size = rng() % 300;
            char* p = static_cast<char*>(alloc.Alloc(size));
            if (p == nullptr) continue;
            char fill = static_cast<char>(rng());
            memset(p, fill, size);
            live[p] = {size, fill};
            used += alloc.GetChunkSizeFor(size);
        } else {
            auto it = live.begin();
            std::advance(it, rng() % live.size());
            for (uint32 i = 0; i < it->second.first; ++i) ASSERT_EQ(it->second.second, it->first[i]);
            used -= alloc.GetChunkSizeFor(it->second.first);
            alloc.Free(it->first);
            live.erase(it);
        }
        ASSERT_EQ(4096u, alloc.GetFreeSize() + used);
    }
    for (auto& block : live) alloc.Free(block.first);
    EXPECT_EQ(4u, alloc.GetFreeChunkNum(6));
}

TEST_F(SmallRegion, InfoIsCutToTheBuffer) {
    std::vector<char> buf(20, 'x');
    uint32 len = alloc.GetInfo(buf.data(), 20);
    EXPECT_EQ(19u, len);
    EXPECT_EQ(std::string("{totalSize:4196, fr"), buf.data());
    EXPECT_EQ(0u, alloc.GetInfo(buf.data(), 0));
}

TEST(AllocatorInit, RefusesRegionsThatCannotHoldTheHead) {
    CAllocator alloc;
    Region region(128);
    EXPECT_EQ(-1, alloc.Init(nullptr, 4196, 10, 1000));
    EXPECT_EQ(-1, alloc.Init(region.data(), 15, 10, 1000));
    memset(region.data(), 0xAB, region.size());
    // Seven levels need a 100-byte head.
    EXPECT_EQ(-1, alloc.Init(region.data(), 99, 10, 1000));
    for (size_t i = 0; i < region.size(); ++i) ASSERT_EQ(static_cast<char>(0xAB), region.data()[i]) << i;
    EXPECT_FALSE(alloc.IsAttached());
    EXPECT_EQ(0, alloc.Init(region.data(), 100, 10, 1000));
    EXPECT_EQ(0u, alloc.GetFreeSize());
    EXPECT_EQ(nullptr, alloc.Alloc(1));
}

TEST(AllocatorInit, RefusesChunkSizesBeyondTwoGigabytes) {
    CAllocator alloc;
    Region region(512);
    EXPECT_EQ(-1, alloc.Init(region.data(), 512, 0, 0x80000000u - 3));
    EXPECT_EQ(-1, alloc.Init(region.data(), 512, 0xFFFFFFFFu, 0xFFFFFFFFu));
    // 28 levels, 16 bytes to 2 GiB: a 352-byte head and no whole chunk.
    EXPECT_EQ(0, alloc.Init(region.data(), 512, 0, 0x80000000u - 4));
    EXPECT_EQ(0x80000000u, alloc.GetMaxChunkSize());
    EXPECT_EQ(28u, alloc.GetFreeListNum());
    EXPECT_EQ(nullptr, alloc.Alloc(1));
}

TEST(AllocatorInit, AreaSmallerThanOneTopChunkHasNoFreeChunk) {
    CAllocator alloc;
    Region region(1000);
    ASSERT_EQ(0, alloc.Init(region.data(), 1000, 10, 1000));
    EXPECT_EQ(0u, alloc.GetFreeSize());
    EXPECT_EQ(0u, alloc.GetFreePercent());
    EXPECT_EQ(nullptr, alloc.Alloc(1));
}

TEST(AllocatorInit, UnattachedObjectReportsNothing) {
    CAllocator alloc;
    EXPECT_EQ(0u, alloc.GetFreePercent());
    EXPECT_EQ(0u, alloc.GetTotalSize());
    EXPECT_EQ(nullptr, alloc.Alloc(1));
    char buf[64];
    alloc.GetInfo(buf, sizeof(buf));
    EXPECT_STREQ("{totalSize:0, freeSize:0, freeChunks()}", buf);
}

TEST(AllocatorAttach, ContinuesAtAnotherAddress) {
    Region first(4196);
    CAllocator writer;
    ASSERT_EQ(0, writer.Init(first.data(), 4196, 10, 1000));
    void* a = writer.Alloc(40);
    void* b = writer.Alloc(300);
    memcpy(a, "forty", 6);
    uint32 relA = writer.AddrAbsToRel(a);
    uint32 relB = writer.AddrAbsToRel(b);

    Region second(4196);
    second.CopyFrom(first.data());
    CAllocator reader;
    ASSERT_EQ(0, reader.LoadFromMem(second.data(), 4196));
    EXPECT_STREQ("forty", static_cast<char*>(reader.AddrRelToAbs(relA)));
    EXPECT_EQ(writer.GetFreeSize(), reader.GetFreeSize());
    reader.Free(reader.AddrRelToAbs(relA));
    reader.Free(reader.AddrRelToAbs(relB));
    EXPECT_EQ(4096u, reader.GetFreeSize());
    EXPECT_EQ(4u, reader.GetFreeChunkNum(6));
}

TEST(AllocatorAttach, RefusesAnotherSizeOrNoRegion) {
    Region region(4196);
    CAllocator writer;
    ASSERT_EQ(0, writer.Init(region.data(), 4196, 10, 1000));
    CAllocator reader;
    EXPECT_EQ(-1, reader.LoadFromMem(region.data(), 4195));
    EXPECT_FALSE(reader.IsAttached());
    EXPECT_EQ(-1, reader.LoadFromMem(nullptr, 4196));
    EXPECT_EQ(-1, reader.LoadFromMem(region.data(), 15));
}

TEST(AllocatorAttach, RefusesEachDamageAndLeavesTheRegionAsItWas) {
    // A used region with blocks of three levels; free lists 16:1, 32:1,
    // 64:1, 128:1, 256:0, 512:1, 1024:2; top chunk 3 split, 2 in use.
    Region region(4196);
    CAllocator writer;
    ASSERT_EQ(0, writer.Init(region.data(), 4196, 10, 1000));
    writer.Alloc(12);
    writer.Alloc(200);
    writer.Alloc(1000);
    const std::string pristine = region.Snapshot();
    auto list = [](uint32 level, uint32 field) { return 16 + 12 * level + 4 * field; };  // count, prev, next
    const uint32 top3 = 100 + 3 * 1024;
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"minimum chunk not a power of two", [&] { *Word(region, 4) = 24; }},
        {"minimum chunk below 16", [&] { *Word(region, 4) = 8; }},
        {"level count disagrees with chunk sizes", [&] { *Word(region, 12) = 6; }},
        {"huge level count", [&] { *Word(region, 12) = 0x40000000; }},
        {"free-list link outside the region", [&] { *Word(region, list(4, 2)) = 900000; }},
        {"free-list link into a chunk interior", [&] { *Word(region, list(6, 2)) += 16; }},
        {"free-list back link broken", [&] { *Word(region, list(5, 1)) = list(6, 0); }},
        {"free-list count too high", [&] { *Word(region, list(2, 0)) += 1; }},
        {"chunk level out of range", [&] { *Word(region, 100) = 9; }},
        // Calling the split top chunk whole would hide the blocks inside it.
        {"chunk claims a bigger level than its place", [&] { *Word(region, top3) = 6; }},
        {"in-use bit cleared on a used chunk", [&] { *Word(region, top3) &= 0x7FFFFFFFu; }},
    };
    CAllocator reader;
    ASSERT_EQ(0, reader.LoadFromMem(region.data(), 4196));
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.first);
        region.CopyFrom(pristine.data());
        damage.second();
        std::string before = region.Snapshot();
        EXPECT_EQ(-1, reader.LoadFromMem(region.data(), 4196));
        EXPECT_FALSE(reader.IsAttached());
        EXPECT_EQ(before, region.Snapshot());
    }
}

TEST(AllocatorMisuse, DoubleFreeStopsTheProcess) {
    Region region(4196);
    CAllocator alloc;
    ASSERT_EQ(0, alloc.Init(region.data(), 4196, 10, 1000));
    void* p = alloc.Alloc(50);
    alloc.Alloc(50);
    alloc.Free(p);
    EXPECT_DEATH(alloc.Free(p), "consistency check failed");
}

TEST(AllocatorMisuse, FreeingAForeignPointerStopsTheProcess) {
    Region region(4196);
    CAllocator alloc;
    ASSERT_EQ(0, alloc.Init(region.data(), 4196, 10, 1000));
    char* p = static_cast<char*>(alloc.Alloc(500));
    EXPECT_DEATH(alloc.Free(p + 16), "consistency check failed");
    int outside = 0;
    EXPECT_DEATH(alloc.Free(&outside), "consistency check failed");
}
