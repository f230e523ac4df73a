#include "app_process.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "process.h"

namespace {

bool LimitIs(rlim_t soft, rlim_t hard) {
    struct rlimit limit;
    return getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur == soft && limit.rlim_max == hard;
}

}  // namespace

// These change the whole process, so each runs in a child.
TEST(DescriptorLimit, SetsSoftAndHardLimit) {
    zqtest::ProcessResult r = zqtest::RunInChild([] {
        if (set_limit(64) != 0) return 2;
        return LimitIs(64, 64) ? 0 : 1;
    });
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("", r.out);
}

TEST(DescriptorLimit, FailureIsPrintedAndLeavesTheLimit) {
    zqtest::ProcessResult r = zqtest::RunInChild([] {
        struct rlimit before;
        if (getrlimit(RLIMIT_NOFILE, &before) != 0) return 3;
        // Beyond the kernel's per-process ceiling even for a privileged process.
        if (set_limit(INT_MAX) != 0) return 2;
        return LimitIs(before.rlim_cur, before.rlim_max) ? 0 : 1;
    });
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("setrlimit failed!\n", r.out);
}

TEST(Detach, ParentExitsZeroAndChildCarriesOnWithoutRepeatingOutput) {
    zqtest::ProcessResult r = zqtest::RunInChild([] {
        printf("before|");  // still buffered at the fork
        pid_t parent = getpid();
        if (InitProcesses() != 0) return 2;
        printf("child:%d|", getpid() != parent ? 1 : 0);
        fflush(stdout);
        return 0;
    });
    EXPECT_EQ(0, r.exit_code);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ("before|child:1|", r.out);
}
