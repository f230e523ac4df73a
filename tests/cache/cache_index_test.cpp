#include "cache_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

uint32 FindNode(const CCacheIndex& index, uint32 iHash, uint32 iWanted) {
    return index.Find(iHash, [&](uint32 iNode) { return iNode == iWanted; });
}

// Nodes 1-3 share one hash, node 4 only the bucket: whichever goes first, the
// bucket's cached first hash and the links must keep the others reachable.
TEST(CacheIndex, ChainSurvivesRemovalAtEveryPosition) {
    for (uint32 first = 1; first <= 4; ++first) {
        CCacheIndex index(53, 8);
        ASSERT_TRUE(index.IsValid());
        const uint32 h = 7;
        const uint32 other = h + index.GetBucketNum();
        for (uint32 n = 1; n <= 3; ++n) index.Insert(h, n);
        index.Insert(other, 4);
        index.Remove(first);
        for (uint32 n = 1; n <= 4; ++n) {
            uint32 hash = n == 4 ? other : h;
            EXPECT_EQ(n == first ? 0u : n, FindNode(index, hash, n)) << "removed " << first << ", looked for " << n;
        }
        EXPECT_EQ(0u, FindNode(index, other, 1)) << "a hash that only shares the bucket is no candidate";
        index.Insert(h, first);
        EXPECT_EQ(first, FindNode(index, h, first));
    }
}

// Identifiers differing in a few hex digits must spread over the buckets as
// a good hash would: a weak mix shows as long chains.
TEST(CacheIndex, HexIdentifiersSpreadEvenly) {
    const uint32 kKeys = 100000;
    CCacheIndex index(kKeys, kKeys);
    std::vector<uint32> depth(index.GetBucketNum(), 0);
    char key[48];
    for (uint32 i = 0; i < kKeys; ++i) {
        snprintf(key, sizeof(key), "%032x%08x", 0, i);
        ++depth[CCacheIndex::HashKey(key, 40) % index.GetBucketNum()];
    }
    EXPECT_LE(*std::max_element(depth.begin(), depth.end()), 9u);
}

TEST(CacheIndexDeathTest, IndexingANodeTwiceStopsTheProcess) {
    CCacheIndex index(53, 4);
    index.Insert(1, 2);
    EXPECT_DEATH(index.Insert(9, 2), "consistency check failed");
}

}  // namespace
