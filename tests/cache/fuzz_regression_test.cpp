// The cache's attach fuzz harness over its committed inputs: regions made by
// Init, damaged ones and raw ones are attached or refused, and an attached
// one keeps working, in the normal builds too.
#include <gtest/gtest.h>

#include "cache_fuzz.h"
#include "cache_test_util.h"
#include "fuzz_replay.h"

TEST(CacheFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("cache", zqtest::FUZZ_SEEDS, zqfuzz::CacheFuzz), 0u);
}

// Regions the fuzzer once broke the attach with. The fuzzer's head asked for
// 687,865,876 hash buckets, and the attach tried to zero 12 GiB for them; the
// kept region asks for five million, enough to fail the harness's bound on
// the index (a pool of 8 nodes) without taking a machine down.
TEST(CacheFuzzInputs, KeptFindingsAttachOrRefuseCleanly) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("cache", zqtest::FUZZ_REGRESSIONS, zqfuzz::CacheFuzz), 0u);
}

TEST(CacheAttach, SizesItsIndexByThePoolWhateverTheHeadAsks) {
    cachetest::Region region(8192);
    cachetest::RecordingListener listener;
    {
        CCache writer(listener);
        ASSERT_EQ(0, writer.Init(region.data(), region.size32(), 10, 20, 0, 42, 0, 64, 90, 80));
        ASSERT_NE(nullptr, writer.Insert("kept", "value", 5));
    }
    reinterpret_cast<CCache::CCacheHead*>(region.data())->m_iHashTableBucketNum = 5000000;

    CCache reader(listener);
    ASSERT_EQ(0, reader.LoadFromMem(region.data(), region.size32()));
    EXPECT_EQ(GetNextPrime(20), reader.GetHashTableBucketNum());
    uint32 size = 0;
    void* data = reader.Get("kept", size);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(std::string("value"), std::string(static_cast<const char*>(data), size));
}
