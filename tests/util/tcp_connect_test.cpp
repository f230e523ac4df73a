#include "tcp_connect.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "aio_operator.h"
#include "aio_recorder.h"
#include "log_capture.h"
#include "net.h"
#include "os_util.h"

using namespace zqtest;

namespace {

char kLoopbackIp[] = "127.0.0.1";

// Turns the loop the way an owner does: one OnRun, then the keeper, and
// records every call whose state was not 0 with the ticks just before and
// just after it, which bracket the tick the keeper took.
struct Attempt {
    uint32 before;
    uint32 after;
    int state;
};

// The keeper's own ticks of two attempts lie within the brackets, so this is
// never more than the real spacing.
uint32 Spacing(const Attempt& earlier, const Attempt& later) { return later.after - earlier.before; }

std::vector<Attempt> DriveFor(CAioOperator* op, tcp_connect& keeper, int ms) {
    std::vector<Attempt> attempts;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms)) {
        if (op->GetEpollFd() >= 0) {
            op->OnRun();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        int state = -1;
        uint32 before = GetTickCount();
        EXPECT_EQ(0, keeper.maintain_connect(&state));
        if (state != tcp_connect::CONN_STATE_IDLE) attempts.push_back({before, GetTickCount(), state});
    }
    return attempts;
}

// A table too small for any new descriptor: every Connect fails at once.
struct TinyOperator {
    RecordingHandler handler;
    CAioOperator op{handler};
    TinyOperator() { EXPECT_EQ(0, op.InitMaxFdNum(1, 16)); }
};

}  // namespace

TEST(Keeper, StartsIdle) {
    tcp_connect keeper;
    EXPECT_EQ(-1, keeper.get_fd());
}

TEST(Keeper, FirstCallAttemptsAndImmediateFailureIsLoggedAsFatal) {
    LogCapture log;
    TinyOperator tiny;
    tcp_connect keeper;
    EXPECT_EQ(0, keeper.set_info(&tiny.op, kLoopbackIp, 4321, 2000));
    int state = -1;
    EXPECT_EQ(0, keeper.maintain_connect(&state));
    EXPECT_EQ(tcp_connect::CONN_STATE_FAILED, state);
    EXPECT_EQ(-1, keeper.get_fd());
    EXPECT_TRUE(log.Contains("[fatal] tcp_connect."));
    EXPECT_TRUE(log.Contains("fail to connect server: ip=127.0.0.1, port=4321"));
    // Within the interval nothing more is tried.
    EXPECT_EQ(0, keeper.maintain_connect(&state));
    EXPECT_EQ(tcp_connect::CONN_STATE_IDLE, state);
    EXPECT_EQ(1u, log.Count("fail to connect server"));
}

TEST(Keeper, ImmediateFailuresAreRetriedOncePerInterval) {
    const uint32 kRetry = 100;
    TinyOperator tiny;
    tcp_connect keeper;
    keeper.set_info(&tiny.op, kLoopbackIp, 4321, static_cast<int>(kRetry));
    std::vector<Attempt> attempts = DriveFor(&tiny.op, keeper, 550);
    ASSERT_GE(attempts.size(), 3u);
    EXPECT_LE(attempts.size(), 6u);
    for (size_t i = 0; i < attempts.size(); ++i) {
        EXPECT_EQ(tcp_connect::CONN_STATE_FAILED, attempts[i].state);
        if (i == 0) continue;
        EXPECT_GE(Spacing(attempts[i - 1], attempts[i]), kRetry);
        EXPECT_LT(attempts[i].before - attempts[i - 1].after, kRetry + 500);
    }
}

TEST(Keeper, RefusedPortIsRetriedOncePerIntervalAfterTheOwnerLetsGo) {
    const uint32 kRetry = 150;
    RecordingHandler handler;
    CAioOperator op(handler);
    ASSERT_EQ(0, op.InitMaxFdNum(512, 1024));
    ASSERT_EQ(0, op.CreateEpoll());
    tcp_connect keeper;
    static char ip[] = "127.0.0.1";
    keeper.set_info(&op, ip, RefusedPort(), static_cast<int>(kRetry));
    handler.onConnOut = [&](CFdContext*, bool ok) {
        if (!ok) keeper.set_fd(-1);
        return 0;
    };
    std::vector<Attempt> attempts = DriveFor(&op, keeper, 700);
    ASSERT_GE(attempts.size(), 3u);
    EXPECT_LE(attempts.size(), 6u);
    for (size_t i = 0; i < attempts.size(); ++i) {
        // Connect returned a descriptor each time; the refusal came later.
        EXPECT_EQ(tcp_connect::CONN_STATE_STARTED, attempts[i].state);
        if (i > 0) {
            EXPECT_GE(Spacing(attempts[i - 1], attempts[i]), kRetry);
        }
    }
    EXPECT_GE(handler.CountOf(AioEvent::CONN_OUT), attempts.size() - 1);
    for (const AioEvent& ev : handler.events) EXPECT_FALSE(ev.success);
    EXPECT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED));
    if (keeper.get_fd() >= 0) op.CloseSocket(keeper.get_fd());
}

TEST(Keeper, NothingIsTriedWhileADescriptorIsHeld) {
    RecordingHandler handler;
    CAioOperator op(handler);
    ASSERT_EQ(0, op.InitMaxFdNum(64, 1024));
    ASSERT_EQ(0, op.CreateEpoll());
    tcp_connect keeper;
    keeper.set_info(&op, kLoopbackIp, RefusedPort(), 0);
    keeper.set_fd(5);
    int state = -1;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0, keeper.maintain_connect(&state));
        EXPECT_EQ(tcp_connect::CONN_STATE_IDLE, state);
    }
    EXPECT_EQ(5, keeper.get_fd());
    EXPECT_EQ(0u, op.GetStatisInfo().m_iConnectCount);
}

TEST(Keeper, ConnectsThenReconnectsAfterSetFdOnceTheIntervalPassed) {
    LogCapture log;
    const int kRetry = 200;
    RecordingHandler handler;
    CAioOperator op(handler);
    ASSERT_EQ(0, op.InitMaxFdNum(512, 1024));
    ASSERT_EQ(0, op.CreateEpoll());
    unsigned short port;
    int listenFd = PlainListen(&port);
    ASSERT_GE(listenFd, 0);
    tcp_connect keeper;
    keeper.set_info(&op, kLoopbackIp, port, kRetry);

    int state = -1;
    ASSERT_EQ(0, keeper.maintain_connect(&state));
    EXPECT_EQ(tcp_connect::CONN_STATE_STARTED, state);
    int first = keeper.get_fd();
    ASSERT_GE(first, 0);
    EXPECT_TRUE(log.Contains("[info] tcp_connect."));
    EXPECT_TRUE(log.Contains("success to connect server: ip=127.0.0.1, port=" + std::to_string(port)));
    int peer1 = PlainAccept(listenFd);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT) == 1; }));
    EXPECT_TRUE(handler.events[0].success);

    // The owner lets go right after the attempt: the keeper waits out the interval.
    op.CloseSocket(first);
    keeper.set_fd(-1);
    uint32 letGo = GetTickCount();
    ASSERT_EQ(0, keeper.maintain_connect(&state));
    if (GetTickCount() - letGo < static_cast<uint32>(kRetry) / 2) {
        EXPECT_EQ(tcp_connect::CONN_STATE_IDLE, state);
        EXPECT_EQ(-1, keeper.get_fd());
    }
    std::vector<Attempt> attempts = DriveFor(&op, keeper, kRetry + 200);
    ASSERT_EQ(1u, attempts.size());
    EXPECT_EQ(tcp_connect::CONN_STATE_STARTED, attempts[0].state);
    EXPECT_GE(keeper.get_fd(), 0);

    // Once the interval has passed, letting go reconnects on the next call.
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetry + 20));
    op.CloseSocket(keeper.get_fd());
    keeper.set_fd(-1);
    ASSERT_EQ(0, keeper.maintain_connect(nullptr));
    EXPECT_GE(keeper.get_fd(), 0);
    EXPECT_EQ(3u, op.GetStatisInfo().m_iConnectCount);

    op.CloseSocket(keeper.get_fd());
    close(peer1);
    close(listenFd);
}

TEST(Keeper, NullStateIsAllowed) {
    TinyOperator tiny;
    tcp_connect keeper;
    keeper.set_info(&tiny.op, kLoopbackIp, 1, 1000);
    EXPECT_EQ(0, keeper.maintain_connect());
    EXPECT_EQ(0, keeper.maintain_connect(nullptr));
    EXPECT_EQ(-1, keeper.get_fd());
}
