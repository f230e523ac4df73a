#include "os_util.h"

#include <sys/time.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

TEST(TickCount, FollowsTheWallClockInMilliseconds) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint32 expected = static_cast<uint32>(static_cast<uint64>(tv.tv_sec) * 1000 + tv.tv_usec / 1000);
    uint32 tick = GetTickCount();
    // Unsigned difference, so a wrap between the two readings is harmless.
    EXPECT_LE(tick - expected, 50u);
}

TEST(TickCount, AdvancesWithTime) {
    uint32 before = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    uint32 elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 29u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(LastError, ReportsErrnoAndItsText) {
    errno = ENOENT;
    EXPECT_EQ(ENOENT, GetLastError());
    EXPECT_STREQ(strerror(ENOENT), GetLastErrorMsg());
    errno = EAGAIN;
    EXPECT_EQ(EAGAIN, GetLastError());
}
