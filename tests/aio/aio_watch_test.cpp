#include "aio_operator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "aio_recorder.h"
#include "descriptors.h"
#include "files.h"
#include "log_capture.h"
#include "net.h"
#include "aio_operator_fixture.h"
#include "os_util.h"

using namespace zqtest;
using namespace aiotest;

class AioWatchTest : public AioTest {
protected:
    int listenFd = -1;
    void SetUp() override {
        AioTest::SetUp();
        listenFd = op.AddTcpListenSock(Loopback(0));
        ASSERT_GE(listenFd, 0);
    }
    size_t Listed() const {
        size_t n = 0;
        for (const CFdContext* c = op.GetWatchHead()->GetNext(); c != op.GetWatchHead(); c = c->GetNext()) ++n;
        return n;
    }
};

TEST_F(AioWatchTest, TimeoutZeroListsNothing) {
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    EXPECT_FALSE(op.GetFdContext(acceptedFd)->IsWatched());
    EXPECT_EQ(0u, Listed());
    op.GetFdContext(acceptedFd)->SetLastAccessTime(1);
    op.CleanInactiveFds();
    EXPECT_EQ(0u, op.GetLastCleanTime());
    EXPECT_EQ(acceptedFd, op.GetFdContext(acceptedFd)->GetFd());
}

TEST_F(AioWatchTest, OnlyAcceptedConnectionsAreListedMostRecentFirst) {
    op.SetInactiveFdTimeout(60000);
    int a, ca, b, cb;
    AcceptedPair(listenFd, &a, &ca);
    AcceptedPair(listenFd, &b, &cb);
    unsigned short port = 0;
    int plainListen = Keep(PlainListen(&port));
    int out, outPeer;
    ConnectedPair(port, plainListen, &out, &outPeer);
    EXPECT_EQ(2u, Listed());
    EXPECT_FALSE(op.GetFdContext(out)->IsWatched());
    EXPECT_FALSE(op.GetFdContext(listenFd)->IsWatched());
    EXPECT_EQ(op.GetFdContext(b), op.GetWatchHead()->GetNext());
    EXPECT_EQ(op.GetFdContext(a), op.GetWatchHead()->GetPrev());
    // Activity on the older one moves it to the front.
    ASSERT_TRUE(SendAll(ca, "x"));
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::TCP_READ, a) == 1; }));
    EXPECT_EQ(op.GetFdContext(a), op.GetWatchHead()->GetNext());
    EXPECT_EQ(op.GetFdContext(b), op.GetWatchHead()->GetPrev());
    // Closing unlinks.
    op.CloseSocket(a);
    EXPECT_EQ(1u, Listed());
    EXPECT_EQ(op.GetFdContext(b), op.GetWatchHead()->GetNext());
}

TEST_F(AioWatchTest, IdleConnectionClosesBetweenOneAndTwoTimeouts) {
    const uint32 kTimeout = 200;
    op.SetInactiveFdTimeout(kTimeout);
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    uint32 lastActive = op.GetFdContext(acceptedFd)->GetLastAccessTime();
    uint32 closedAt = 0;
    handler.onClosed = [&](CFdContext*) {
        closedAt = GetTickCount();
        return 0;
    };
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED, acceptedFd) == 1; }, 5000));
    EXPECT_GT(closedAt - lastActive, kTimeout);
    EXPECT_LE(closedAt - lastActive, 2 * kTimeout + 1000);
    EXPECT_EQ(1u, op.GetStatisInfo().m_iCloseTimeoutCount);
    EXPECT_EQ(1u, op.GetStatisInfo().m_iCloseCount);
    EXPECT_EQ(0u, Listed());
    EXPECT_EQ("", RecvExactly(clientFd, 1, 2000));
}

TEST_F(AioWatchTest, BusyConnectionIsKept) {
    op.SetInactiveFdTimeout(300);
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(SendAll(clientFd, "b"));
        RunFor(op, 50);
    }
    EXPECT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED));
    EXPECT_EQ(20u, handler.ReadBytes(acceptedFd).size());
    EXPECT_EQ(acceptedFd, op.GetFdContext(acceptedFd)->GetFd());
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED, acceptedFd) == 1; }, 5000));
}

TEST_F(AioWatchTest, FirstPassOnlyRecordsTheTime) {
    const uint32 kTimeout = 100;
    op.SetInactiveFdTimeout(kTimeout);
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    EXPECT_EQ(0u, op.GetLastCleanTime());
    op.GetFdContext(acceptedFd)->SetLastAccessTime(static_cast<sint32>(GetTickCount() - 10 * kTimeout));
    op.CleanInactiveFds();
    EXPECT_NE(0u, op.GetLastCleanTime());
    op.CleanInactiveFds();
    EXPECT_EQ(acceptedFd, op.GetFdContext(acceptedFd)->GetFd());
    std::this_thread::sleep_for(std::chrono::milliseconds(kTimeout + 20));
    op.CleanInactiveFds();
    EXPECT_EQ(-1, op.GetFdContext(acceptedFd)->GetFd());
    EXPECT_EQ(1u, handler.CountOf(AioEvent::FD_CLOSED, acceptedFd));
    EXPECT_EQ(1u, op.GetStatisInfo().m_iCloseTimeoutCount);
}

TEST_F(AioWatchTest, AccessTimeInTheFutureIsRefreshedNotClosed) {
    const uint32 kTimeout = 100;
    op.SetInactiveFdTimeout(kTimeout);
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    CFdContext* ctx = op.GetFdContext(acceptedFd);
    ctx->SetLastAccessTime(static_cast<sint32>(GetTickCount() + 1000000));
    op.CleanInactiveFds();  // records the first pass time
    std::this_thread::sleep_for(std::chrono::milliseconds(kTimeout + 20));
    op.CleanInactiveFds();
    EXPECT_EQ(acceptedFd, ctx->GetFd());
    EXPECT_LE(ctx->GetLastAccessTime(), GetTickCount());
    EXPECT_TRUE(ctx->IsWatched());
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED, acceptedFd) == 1; }, 5000));
}

TEST_F(AioWatchTest, TurningTheTimeoutOffStillUnlinksOnClose) {
    op.SetInactiveFdTimeout(60000);
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    ASSERT_EQ(1u, Listed());
    op.SetInactiveFdTimeout(0);
    op.CloseSocket(acceptedFd);
    EXPECT_EQ(0u, Listed());
    EXPECT_EQ(op.GetWatchHead(), op.GetWatchHead()->GetPrev());
}

TEST_F(AioWatchTest, AConnectionKeptActiveByItsOwnerOutlivesTheTimeout) {
    op.SetInactiveFdTimeout(200);
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    for (int i = 0; i < 12; ++i) {
        op.KeepActive(acceptedFd);
        RunFor(op, 50);
    }
    EXPECT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED));
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED, acceptedFd) == 1; }, 5000));
}
