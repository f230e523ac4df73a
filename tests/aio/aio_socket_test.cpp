#include "aio_operator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "aio_recorder.h"
#include "descriptors.h"
#include "files.h"
#include "log_capture.h"
#include "net.h"
#include "aio_operator_fixture.h"

using namespace zqtest;
using namespace aiotest;

TEST_F(AioTest, BindFailureIsLogged) {
    LogCapture log;
    unsigned short port = 0;
    int busy = Keep(PlainListen(&port));
    ASSERT_GE(busy, 0);
    // Address reuse does not let a second socket bind beside a live listener.
    EXPECT_EQ(-1, op.AddTcpListenSock(Loopback(port)));
    EXPECT_TRUE(log.Contains("failed to bind on 127.0.0.1:" + std::to_string(port)));
}

TEST_F(AioTest, RefusedConnectGivesFailedConnOutAndNoFdClosed) {
    LogCapture log;
    unsigned short port = RefusedPort();
    int fd = op.Connect(Loopback(port));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1u, op.GetStatisInfo().m_iConnectCount);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT) == 1; }));
    RunFor(op, 20);
    ASSERT_EQ(1u, handler.events.size());
    EXPECT_FALSE(handler.events[0].success);
    EXPECT_EQ(fd, handler.events[0].fd);
    EXPECT_EQ(FD_TYPE_TCP_CONNECTING, handler.events[0].fdType);
    EXPECT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED));
    EXPECT_EQ(-1, op.GetFdContext(fd)->GetFd());
    EXPECT_EQ(1u, op.GetStatisInfo().m_iCloseCount);
    EXPECT_TRUE(log.Contains("connect to 127.0.0.1:" + std::to_string(port) + " wouldblock"));
    EXPECT_TRUE(log.Contains("connect failed, fd=" + std::to_string(fd) + ", type=TCP_CONNECTING, remote addr 127.0.0.1:" +
                             std::to_string(port)));
}

TEST_F(AioTest, DataQueuedWhileConnectingIsWrittenInTheCompletionStep) {
    static const char refed[] = "-refed";
    int handle = 7;
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    int fd = op.Connect(Loopback(port));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(FD_TYPE_TCP_CONNECTING, op.GetFdContext(fd)->GetFdType());
    ASSERT_EQ(0, op.TcpSend(fd, "early", 5));
    ASSERT_EQ(0, op.TcpSend(fd, &handle, refed, 6));
    // Still waiting for the connect only.
    EXPECT_EQ(kInterestOut, EpollInterest(op.GetEpollFd(), fd));
    int peer = Keep(PlainAccept(listenFd));
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT) == 1; }));
    // No further turn: the bytes must be out already.
    EXPECT_EQ("early-refed", RecvExactly(peer, 11, 2000));
    ASSERT_EQ(2u, handler.events.size());
    EXPECT_TRUE(handler.events[0].success);
    EXPECT_EQ(AioEvent::TCP_WROTE, handler.events[1].kind);
    EXPECT_EQ(&handle, handler.events[1].handle);
    EXPECT_EQ(6, handler.events[1].wroteSize);
    EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), fd));
}

TEST_F(AioTest, DataQueuedInsideConnOutIsWrittenInTheSameStep) {
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    handler.onConnOut = [&](CFdContext* ctx, bool ok) {
        if (ok) {
            EXPECT_EQ(0, op.TcpSend(ctx->GetFd(), "request", 7));
        }
        return 0;
    };
    int fd = op.Connect(Loopback(port));
    ASSERT_GE(fd, 0);
    int peer = Keep(PlainAccept(listenFd));
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT) == 1; }));
    EXPECT_EQ("request", RecvExactly(peer, 7, 2000));
}

TEST_F(AioTest, AcceptTakesEveryPendingConnectionInOneCall) {
    int listenFd = op.AddTcpListenSock(Loopback(0));
    ASSERT_GE(listenFd, 0);
    std::vector<unsigned short> clientPorts;
    for (int i = 0; i < 5; ++i) {
        int c = Keep(PlainConnect(LocalPort(listenFd)));
        ASSERT_GE(c, 0);
        clientPorts.push_back(LocalPort(c));
    }
    ASSERT_TRUE(WaitReadable(listenFd, 2000));
    EXPECT_EQ(5, op.OnTcpAccept(op.GetFdContext(listenFd)));
    EXPECT_EQ(0, op.OnTcpAccept(op.GetFdContext(listenFd)));
    EXPECT_EQ(5u, op.GetStatisInfo().m_iAcceptCount);
    EXPECT_TRUE(handler.events.empty());
    size_t matched = 0;
    for (uint32 i = 0; i < op.GetMaxFdNum(); ++i) {
        CFdContext* ctx = op.GetFdContext(static_cast<sint32>(i));
        if (ctx->GetFdType() != FD_TYPE_TCP_ACCEPTED) continue;
        for (unsigned short p : clientPorts)
            if (ctx->GetRemoteAddr()->GetPort() == p) ++matched;
        EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), ctx->GetFd()));
    }
    EXPECT_EQ(5u, matched);
}

TEST(AioTable, ConnectBeyondTheTableClosesTheDescriptorAtOnce) {
    RecordingHandler handler;
    CAioOperator op(handler);
    int probe = open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    close(probe);
    // Every descriptor opened from here on lies outside the table.
    ASSERT_EQ(0, op.InitMaxFdNum(static_cast<uint32>(probe), 64));
    ASSERT_EQ(0, op.CreateEpoll());
    int next = open("/dev/null", O_RDONLY);
    close(next);
    EXPECT_EQ(-1, op.Connect(Loopback(RefusedPort())));
    int after = open("/dev/null", O_RDONLY);
    EXPECT_EQ(next, after) << "the refused descriptor was left open";
    close(after);
    EXPECT_EQ(0u, op.GetStatisInfo().m_iConnectCount);
    EXPECT_EQ(-1, op.AddTcpListenSock(Loopback(0)));
    EXPECT_EQ(-1, op.AddUdpSock(nullptr));
    int again = open("/dev/null", O_RDONLY);
    EXPECT_EQ(next, again);
    close(again);
}

TEST(AioTable, AcceptedBeyondTheTableIsClosedAtOnce) {
    RecordingHandler handler;
    CAioProbe op(handler);
    int probe = open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    close(probe);
    std::vector<int> fillers = FillDescriptorHolesBelow(probe);
    // The epoll descriptor takes `probe`, the listener the next number; the
    // table ends right after the listener.
    ASSERT_EQ(0, op.InitMaxFdNum(static_cast<uint32>(probe + 2), 64));
    ASSERT_EQ(0, op.CreateEpoll());
    ASSERT_EQ(probe, op.GetEpollFd());
    int listenFd = op.AddTcpListenSock(Loopback(0));
    ASSERT_EQ(probe + 1, listenFd);
    int client = PlainConnect(LocalPort(listenFd));
    ASSERT_GE(client, 0);
    ASSERT_TRUE(WaitReadable(listenFd, 2000));
    EXPECT_EQ(0, op.OnTcpAccept(op.GetFdContext(listenFd)));
    EXPECT_EQ(0u, op.GetStatisInfo().m_iAcceptCount);
    ASSERT_TRUE(WaitReadable(client, 2000));
    char c;
    EXPECT_LE(recv(client, &c, 1, 0), 0);
    close(client);
    op.CloseSocket(listenFd);
    CloseAll(fillers);
}

namespace {

// Lowers this process's soft descriptor limit for one scope.
class ScopedFileLimit {
public:
    explicit ScopedFileLimit(rlim_t soft) {
        m_saved = getrlimit(RLIMIT_NOFILE, &m_old) == 0;
        rlimit lowered = m_old;
        lowered.rlim_cur = soft;
        m_ok = m_saved && soft <= m_old.rlim_max && setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~ScopedFileLimit() {
        if (m_saved) setrlimit(RLIMIT_NOFILE, &m_old);
    }
    bool ok() const { return m_ok; }

private:
    rlimit m_old;
    bool m_saved = false;
    bool m_ok = false;
};

// The peer's side saw its connection end: an orderly close or a reset.
bool PeerEnded(int fd) {
    pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 0) != 1) return false;
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace

// With the process's descriptors used up, accept fails and the listener stays
// ready; the waiting peer must be turned away rather than left in the backlog
// while every turn comes straight back to it.
TEST(AioTable, OutOfDescriptorsTheWaitingPeerIsTurnedAwayAndServingGoesOn) {
    RecordingHandler handler;
    CAioProbe op(handler);
    ASSERT_EQ(0, op.InitMaxFdNum(1024, 4096));
    ASSERT_EQ(0, op.CreateEpoll());
    int probe = open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    close(probe);
    // Room for the listener, its spare, four client sockets, the warm-up's
    // accepted end and a few for the sanitizers.
    ScopedFileLimit limit(static_cast<rlim_t>(probe) + 12);
    if (!limit.ok()) GTEST_SKIP() << "cannot lower the descriptor limit here";
    std::vector<int> fillers;
    int listenFd = op.AddTcpListenSock(Loopback(0));
    ASSERT_GE(listenFd, 0);
    const unsigned short port = LocalPort(listenFd);
    int a = socket(AF_INET, SOCK_STREAM, 0);
    int b = socket(AF_INET, SOCK_STREAM, 0);
    int c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const sockaddr* addr = reinterpret_cast<const sockaddr*>(&to);

    // One whole exchange while descriptors remain: the sanitizer builds check
    // each polymorphic call's type once, and that first check needs a pipe.
    int warm = PlainConnect(port);
    ASSERT_GE(warm, 0);
    ASSERT_TRUE(SendAll(warm, "warm"));
    EXPECT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::TCP_READ) == 1; }, 3000));
    close(warm);
    EXPECT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED) == 1; }, 3000));
    ASSERT_EQ(1u, op.GetStatisInfo().m_iAcceptCount);

    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
    ASSERT_EQ(EMFILE, errno);
    // One number left, for the first connection.
    close(fillers.back());
    fillers.pop_back();

    ASSERT_EQ(0, connect(a, addr, sizeof(to)));
    EXPECT_TRUE(RunUntil(op, [&] { return op.GetStatisInfo().m_iAcceptCount == 2; }, 3000));

    ASSERT_EQ(0, connect(b, addr, sizeof(to)));
    EXPECT_TRUE(RunUntil(op, [&] { return PeerEnded(b); }, 3000)) << "the peer was left in the backlog";
    EXPECT_EQ(2u, op.GetStatisInfo().m_iAcceptCount);

    // The connection already in is still served.
    ASSERT_TRUE(SendAll(a, "ping"));
    EXPECT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::TCP_READ) == 2; }, 3000));
    ASSERT_EQ(2u, handler.CountOf(AioEvent::TCP_READ));
    EXPECT_EQ("ping", handler.events.back().data);

    // Once it has gone, its number serves the next peer normally.
    close(a);
    EXPECT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED) == 2; }, 3000));
    ASSERT_EQ(0, connect(c, addr, sizeof(to)));
    EXPECT_TRUE(RunUntil(op, [&] { return op.GetStatisInfo().m_iAcceptCount == 3; }, 3000));
    EXPECT_FALSE(PeerEnded(c));

    close(b);
    close(c);
    op.CloseSocket(listenFd);
    CloseAll(fillers);
}
