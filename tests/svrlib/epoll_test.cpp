#include "epoll.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace {

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(0, pipe(fds)); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

}  // namespace

TEST(EpollWrappers, ReportReadinessOfARegisteredDescriptor) {
    int ep = zq_epoll_create(8);
    ASSERT_GE(ep, 0);
    Pipe p;
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = 0x1234567800000000ULL | static_cast<uint32>(p.fds[0]);
    ASSERT_EQ(0, zq_epoll_ctl(ep, EPOLL_CTL_ADD, p.fds[0], &ev));

    epoll_event out[4] = {};
    EXPECT_EQ(0, zq_epoll_wait(ep, out, 4, 0));
    ASSERT_EQ(1, write(p.fds[1], "x", 1));
    ASSERT_EQ(1, zq_epoll_wait(ep, out, 4, 1000));
    EXPECT_TRUE(out[0].events & EPOLLIN);
    EXPECT_EQ(ev.data.u64, out[0].data.u64);

    // Level-triggered: still ready until read.
    EXPECT_EQ(1, zq_epoll_wait(ep, out, 4, 0));
    ASSERT_EQ(0, zq_epoll_ctl(ep, EPOLL_CTL_DEL, p.fds[0], &ev));
    EXPECT_EQ(0, zq_epoll_wait(ep, out, 4, 0));
    close(ep);
}

TEST(EpollWrappers, FailuresReturnMinusOneWithErrno) {
    errno = 0;
    EXPECT_EQ(-1, zq_epoll_create(0));
    EXPECT_EQ(EINVAL, errno);

    epoll_event ev = {};
    errno = 0;
    EXPECT_EQ(-1, zq_epoll_ctl(-1, EPOLL_CTL_ADD, 0, &ev));
    EXPECT_EQ(EBADF, errno);

    int ep = zq_epoll_create(1);
    ASSERT_GE(ep, 0);
    Pipe p;
    errno = 0;
    EXPECT_EQ(-1, zq_epoll_ctl(ep, EPOLL_CTL_MOD, p.fds[0], &ev));
    EXPECT_EQ(ENOENT, errno);
    epoll_event out[1];
    errno = 0;
    EXPECT_EQ(-1, zq_epoll_wait(ep, out, 0, 0));
    EXPECT_EQ(EINVAL, errno);
    close(ep);
}
