// The LRU list stamps its nodes with the I/O framework's millisecond tick, so
// the times stored in a region compare with every other tick in the process.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cache_test_util.h"
#include "lru_list.h"
#include "os_util.h"

namespace {

// True when t lies in [from, to] on the wrapping tick.
bool Between(uint32 from, uint32 t, uint32 to) { return t - from <= to - from; }

TEST(LruNodeTimes, LoadAndAccessCarryTheSharedTick) {
    cachetest::Region region(CLruList::CalcNeedSize(4));
    CLruList list;
    ASSERT_EQ(0, list.Init(region.data(), region.size32()));
    uint32 before = GetTickCount();
    CLruNode* a = list.Insert(1);
    uint32 after = GetTickCount();
    ASSERT_NE(nullptr, a);
    EXPECT_TRUE(Between(before, a->GetLoadTime(), after)) << before << " " << a->GetLoadTime() << " " << after;
    list.Insert(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    before = GetTickCount();
    list.Access(a);
    after = GetTickCount();
    EXPECT_TRUE(Between(before, a->GetAccessTime(), after)) << before << " " << a->GetAccessTime() << " " << after;
    EXPECT_GE(a->GetAccessTime() - a->GetLoadTime(), 20u);
}

}  // namespace
