// The resource center's memory of accepted FIDs: private and keyed segments,
// re-attachment by a later owner, refusals that protect a segment, and
// eviction of the least recently seen FIDs when it fills.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "files.h"
#include "rc_dedup.h"
#include "rcenter_test_util.h"

namespace {

using rctest::SegmentKey;
using zqtest::TempDir;

std::string Fid(int i) {
    char buf[48];
    uint32 x = static_cast<uint32>(i) * 2654435761u;
    snprintf(buf, sizeof(buf), "%08x%08x%08x%08x%08x", x, x ^ 0x9e3779b9u, x * 5u, x + 17u, static_cast<uint32>(i));
    return buf;
}


const uint32 kSmall = 65536;

TEST(RcDedupPrivate, RemembersWhatWasAcceptedWithItsTime) {
    CRcDedup dedup;
    std::string error;
    ASSERT_EQ(dedup.Open(0, kSmall, error), 0) << error;
    EXPECT_FALSE(dedup.IsResumed());
    uint64 seen = 1;
    EXPECT_FALSE(dedup.IsKnown(Fid(1), &seen));
    ASSERT_TRUE(dedup.Remember(Fid(1), 1234567));
    EXPECT_TRUE(dedup.IsKnown(Fid(1), &seen));
    EXPECT_EQ(seen, 1234567u);
    EXPECT_FALSE(dedup.IsKnown(Fid(2), nullptr));
    EXPECT_EQ(dedup.GetStatisticInfo().rfind("hit=33.33% hit=1 miss=2 insert=1 remove=0 using_node_num=1", 0), 0u)
        << dedup.GetStatisticInfo();
}

// Segments this process created, from the kernel's table: counting every
// segment on the machine would also count those other tests make meanwhile.
int OwnSegments() {
    FILE* f = fopen("/proc/sysvipc/shm", "r");
    if (f == nullptr) return -1;
    char line[512];
    int iCpidColumn = -1;
    int iCount = 0;
    if (fgets(line, sizeof(line), f) != nullptr) {
        int iColumn = 0;
        for (char* tok = strtok(line, " \n"); tok != nullptr; tok = strtok(nullptr, " \n"), ++iColumn)
            if (strcmp(tok, "cpid") == 0) iCpidColumn = iColumn;
    }
    while (iCpidColumn >= 0 && fgets(line, sizeof(line), f) != nullptr) {
        int iColumn = 0;
        for (char* tok = strtok(line, " \n"); tok != nullptr; tok = strtok(nullptr, " \n"), ++iColumn) {
            if (iColumn == iCpidColumn && atoi(tok) == getpid()) ++iCount;
        }
    }
    fclose(f);
    return iCpidColumn >= 0 ? iCount : -1;
}

TEST(RcDedupPrivate, APrivateSegmentIsGoneOnceDetached) {
    int before = 0;
    {
        CRcDedup dedup;
        std::string error;
        ASSERT_EQ(dedup.Open(0, kSmall, error), 0) << error;
        before = OwnSegments();
    }
    int after = OwnSegments();
    ASSERT_GE(after, 0) << "no /proc/sysvipc/shm";
    EXPECT_LT(after, before);
}

TEST(RcDedupEviction, AFullCacheEvictsTheLeastRecentlySeen) {
    CRcDedup dedup;
    std::string error;
    ASSERT_EQ(dedup.Open(0, kSmall, error), 0) << error;
    const int capacity = static_cast<int>(CRcDedup::PoolSizeFor(kSmall));
    ASSERT_GT(capacity, 100);
    const int total = capacity * 3;
    for (int i = 0; i < total; ++i) ASSERT_TRUE(dedup.Remember(Fid(i), static_cast<uint64>(i))) << i;
    EXPECT_LE(dedup.GetCache().GetNodeNum(), static_cast<uint32>(capacity));
    EXPECT_GT(dedup.GetCache().GetRemoveCount(), 0u);
    // The latest arrivals are all still there, the first ones gone.
    for (int i = total - 50; i < total; ++i) EXPECT_TRUE(dedup.IsKnown(Fid(i), nullptr)) << i;
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(dedup.IsKnown(Fid(i), nullptr)) << i;
}

TEST(RcDedupEviction, ARecentlySeenFidOutlivesOlderOnes) {
    CRcDedup dedup;
    std::string error;
    ASSERT_EQ(dedup.Open(0, kSmall, error), 0) << error;
    const int capacity = static_cast<int>(CRcDedup::PoolSizeFor(kSmall));
    ASSERT_TRUE(dedup.Remember(Fid(0), 0));
    for (int i = 1; i < capacity * 2; ++i) {
        ASSERT_TRUE(dedup.Remember(Fid(i), static_cast<uint64>(i)));
        // Seen again now and then, as a file reported over and over would be.
        if (i % 50 == 0) {
            ASSERT_TRUE(dedup.IsKnown(Fid(0), nullptr)) << i;
        }
    }
    EXPECT_TRUE(dedup.IsKnown(Fid(0), nullptr));
    EXPECT_FALSE(dedup.IsKnown(Fid(1), nullptr));
}

TEST(RcDedupKeyed, ALaterOwnerAttachesAndStillKnowsEveryFid) {
    SegmentKey key;
    ASSERT_NE(key.Key(), 0);
    std::string error;
    {
        CRcDedup first;
        ASSERT_EQ(first.Open(key.Key(), kSmall, error), 0) << error;
        EXPECT_FALSE(first.IsResumed());
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(first.Remember(Fid(i), 100 + i));
    }
    CRcDedup second;
    ASSERT_EQ(second.Open(key.Key(), kSmall, error), 0) << error;
    EXPECT_TRUE(second.IsResumed());
    EXPECT_EQ(second.GetResumedNum(), 10u);
    uint64 seen = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(second.IsKnown(Fid(i), &seen)) << i;
        EXPECT_EQ(seen, static_cast<uint64>(100 + i));
    }
    EXPECT_FALSE(second.IsKnown(Fid(10), nullptr));
}

TEST(RcDedupKeyed, ASegmentOfAnotherSizeIsLeftAlone) {
    SegmentKey key;
    std::string error;
    {
        CRcDedup first;
        ASSERT_EQ(first.Open(key.Key(), kSmall, error), 0) << error;
        ASSERT_TRUE(first.Remember(Fid(1), 1));
    }
    CRcDedup other;
    EXPECT_EQ(other.Open(key.Key(), kSmall * 2, error), EINVAL);
    EXPECT_NE(error.find("65536"), std::string::npos) << error;
    CRcDedup again;
    ASSERT_EQ(again.Open(key.Key(), kSmall, error), 0) << error;
    EXPECT_TRUE(again.IsKnown(Fid(1), nullptr));
}

TEST(RcDedupKeyed, ASegmentInUseIsNotShared) {
    SegmentKey key;
    std::string error;
    CRcDedup first;
    ASSERT_EQ(first.Open(key.Key(), kSmall, error), 0) << error;
    CRcDedup second;
    EXPECT_EQ(second.Open(key.Key(), kSmall, error), EBUSY);
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    ASSERT_TRUE(first.Remember(Fid(3), 3));
    EXPECT_TRUE(first.IsKnown(Fid(3), nullptr));
}

TEST(RcDedupKeyed, AnUnreadableSegmentIsFormattedAfresh) {
    SegmentKey key;
    int id = shmget(key.Key(), kSmall, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    void* p = shmat(id, nullptr, 0);
    ASSERT_NE(p, reinterpret_cast<void*>(-1));
    memset(p, 0xA5, kSmall);
    shmdt(p);
    CRcDedup dedup;
    std::string error;
    ASSERT_EQ(dedup.Open(key.Key(), kSmall, error), 0) << error;
    EXPECT_FALSE(dedup.IsResumed());
    EXPECT_FALSE(dedup.IsKnown(Fid(1), nullptr));
    EXPECT_TRUE(dedup.Remember(Fid(1), 1));
}

}  // namespace
