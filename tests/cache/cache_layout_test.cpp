// The region is a stored format shared with processes built from older
// sources: tests/cache/data/region_v1.bin was written by the cache as it stood
// before its index moved to node numbers, by the sequence below. A build must
// attach that image as it is and, given the same sequence, write the same bytes
// (load and access times aside, which come from the wall clock).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cache.h"
#include "cache_test_util.h"

using cachetest::DataFor;
using cachetest::ManualClock;
using cachetest::RecordingListener;
using cachetest::Region;

namespace {

constexpr uint32 kRegionSize = 6144;
constexpr int kKeys = 30;

// Lengths from 0 to 42 characters, hex identifiers among them.
std::string FixtureKey(int i) {
    if (i % 5 == 0) {
        char buf[48];
        snprintf(buf, sizeof(buf), "%08x%08x%08x%08x%08x", i * 2654435761u, i * 7u, i + 13u, i * 97u, i * 31u);
        return buf;
    }
    return std::string(static_cast<size_t>(i * 3 % 43), static_cast<char>('a' + i % 26)) + std::to_string(i);
}

std::string FixtureKeyFitted(int i) { return FixtureKey(i).substr(0, 42); }

// 24 LRU nodes for 30 insertions: the run evicts, reads, misses and removes.
void WriteFixtureSequence(CCache& cache, char* region) {
    ASSERT_EQ(0, cache.Init(region, kRegionSize, 16, 24, 0, 42, 0, 100, 90, 80));
    for (int i = 0; i < kKeys; ++i) {
        std::string data = DataFor(FixtureKeyFitted(i), static_cast<size_t>(i * 7 % 101));
        ASSERT_NE(nullptr, cache.Insert(FixtureKeyFitted(i).c_str(), data.data(), static_cast<uint32>(data.size())));
        if (i % 4 == 3) {
            uint32 size = 0;
            cache.Get(FixtureKeyFitted(i - 2).c_str(), size);
            cache.Get("absent", size);
        }
    }
    ASSERT_EQ(0, cache.Remove(FixtureKeyFitted(27).c_str()));
    ASSERT_EQ(0, cache.Remove(FixtureKeyFitted(12).c_str()));
}

std::string ReadFixture() {
    std::ifstream in(std::string(ZQ_SOURCE_DIR) + "/tests/cache/data/region_v1.bin", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Blanks the two clock fields of every LRU node, the region's only bytes that
// depend on when the sequence ran.
std::string WithoutTimes(std::string image) {
    const CCache::CCacheHead* head = reinterpret_cast<const CCache::CCacheHead*>(image.data());
    uint32 nodes = CLruList::CalcNodeNum(head->m_iLruListMemSize);
    for (uint32 n = 0; n <= nodes; ++n) {
        size_t at = head->m_iLruListMemOffset + CLruList::HEAD_SIZE + n * CLruList::NODE_SIZE;
        image.replace(at, 8, 8, '\0');
    }
    return image;
}

}  // namespace

TEST(CacheRegionFormat, AttachesAnImageWrittenByTheEarlierIndexAndCarriesOn) {
    std::string image = ReadFixture();
    ASSERT_EQ(kRegionSize, image.size());
    Region region(kRegionSize);
    region.CopyFrom(image.data());
    RecordingListener listener;
    CCache cache(listener);
    ASSERT_EQ(0, cache.LoadFromMem(region.data(), region.size32()));

    // Resumed oldest first, as the earlier build ordered them.
    std::vector<std::string> order;
    for (CLruNode* node = cache.GetLruList().GetLruNode(); node != nullptr;
         node = cache.GetLruList().GetPrevLruNode(node)) {
        order.push_back(static_cast<const char*>(cache.GetAllocator().AddrRelToAbs(node->GetData())) + 8);
    }
    ASSERT_EQ(order.size(), listener.resumed.size());
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], listener.resumed[i].key);

    uint32 found = 0;
    for (int i = 0; i < kKeys; ++i) {
        uint32 size = 0;
        const char* data = static_cast<const char*>(cache.Get(FixtureKeyFitted(i).c_str(), size));
        if (data == nullptr) continue;
        ++found;
        EXPECT_EQ(DataFor(FixtureKeyFitted(i), static_cast<size_t>(i * 7 % 101)), std::string(data, size)) << i;
    }
    EXPECT_EQ(cache.GetNodeNum(), found);
    uint32 size = 0;
    EXPECT_EQ(nullptr, cache.Get(FixtureKeyFitted(27).c_str(), size));
    EXPECT_NE(nullptr, cache.Insert("after attach", "x", 1));
    EXPECT_EQ(0, cache.Remove(order.front().c_str()));
}

TEST(CacheRegionFormat, WritesTheSameBytesAsTheEarlierIndex) {
    std::string image = ReadFixture();
    ASSERT_EQ(kRegionSize, image.size());
    ManualClock clock;
    Region region(kRegionSize);
    RecordingListener listener;
    CCache cache(listener);
    WriteFixtureSequence(cache, region.data());
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_TRUE(WithoutTimes(image) == WithoutTimes(region.Snapshot()));
}
