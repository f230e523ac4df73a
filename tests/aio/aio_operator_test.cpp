#include "aio_operator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "aio_recorder.h"
#include "descriptors.h"
#include "files.h"
#include "log_capture.h"
#include "net.h"
#include "os_util.h"

using namespace zqtest;

namespace {

// Reaches the steps and watch-list operations the operator keeps protected.
class CAioProbe : public CAioOperator {
public:
    using CAioOperator::CAioOperator;
    using CAioOperator::CleanInactiveFds;
    using CAioOperator::OnTcpAccept;
    using CAioOperator::OnUdpRead;
};

const long kInterestIn = EPOLLIN | EPOLLERR | EPOLLHUP;
const long kInterestInOut = EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP;
const long kInterestOut = EPOLLOUT | EPOLLERR | EPOLLHUP;

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
    return s;
}

class AioTest : public ::testing::Test {
protected:
    RecordingHandler handler;
    CAioProbe op{handler};
    std::vector<int> plain;

    void SetUp() override {
        ASSERT_EQ(0, op.InitMaxFdNum(512, 4096));
        ASSERT_EQ(0, op.CreateEpoll());
    }

    // Closes whatever the operator still has open, without running test hooks.
    void TearDown() override {
        handler.onConnOut = nullptr;
        handler.onRead = nullptr;
        handler.onWrote = nullptr;
        handler.onClosed = nullptr;
        CloseOperatorFds(op);
        for (int fd : plain) close(fd);
    }

    static void CloseOperatorFds(CAioOperator& anOp) {
        for (uint32 i = 0; i < anOp.GetMaxFdNum(); ++i) {
            CFdContext* ctx = anOp.GetFdContext(static_cast<sint32>(i));
            if (ctx != nullptr && ctx->GetFd() >= 0) anOp.CloseSocket(ctx->GetFd());
        }
    }

    int Keep(int fd) {
        if (fd >= 0) plain.push_back(fd);
        return fd;
    }

    // An outgoing connection through the operator to a plain listener,
    // completed; returns the operator's descriptor and the plain peer.
    void ConnectedPair(unsigned short port, int listenFd, int* opFd, int* peerFd) {
        *opFd = op.Connect(Loopback(port));
        ASSERT_GE(*opFd, 0);
        *peerFd = Keep(PlainAccept(listenFd));
        ASSERT_GE(*peerFd, 0);
        int fd = *opFd;
        ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT, fd) == 1; }));
        ASSERT_TRUE(handler.events.back().success);
    }

    // A connection accepted by the operator's listener; returns the accepted
    // descriptor and the plain client.
    void AcceptedPair(int listenFd, int* acceptedFd, int* clientFd) {
        uint32 before = op.GetStatisInfo().m_iAcceptCount;
        *clientFd = Keep(PlainConnect(LocalPort(listenFd)));
        ASSERT_GE(*clientFd, 0);
        ASSERT_TRUE(RunUntil(op, [&] { return op.GetStatisInfo().m_iAcceptCount == before + 1; }));
        *acceptedFd = -1;
        unsigned short clientPort = LocalPort(*clientFd);
        for (uint32 i = 0; i < op.GetMaxFdNum(); ++i) {
            CFdContext* ctx = op.GetFdContext(static_cast<sint32>(i));
            if (ctx->GetFdType() == FD_TYPE_TCP_ACCEPTED && ctx->GetRemoteAddr()->GetPort() == clientPort)
                *acceptedFd = ctx->GetFd();
        }
        ASSERT_GE(*acceptedFd, 0);
    }
};

}  // namespace

// ---- set-up ----

TEST(AioSetup, OnRunBeforeCreateEpollFailsAndDoesNothing) {
    RecordingHandler handler;
    CAioOperator op(handler);
    EXPECT_EQ(-1, op.OnRun());
    ASSERT_EQ(0, op.InitMaxFdNum(4, 64));
    EXPECT_EQ(-1, op.OnRun());
    EXPECT_TRUE(handler.events.empty());
}

TEST(AioSetup, SecondTableIsRefusedAndFirstKept) {
    RecordingHandler handler;
    CAioOperator op(handler);
    ASSERT_EQ(0, op.InitMaxFdNum(8, 128));
    EXPECT_EQ(-1, op.InitMaxFdNum(16, 256));
    EXPECT_EQ(8u, op.GetMaxFdNum());
    ASSERT_NE(nullptr, op.GetFdContext(7));
    EXPECT_EQ(128u, op.GetFdContext(7)->GetReadBuf().GetBufSize());
    EXPECT_EQ(nullptr, op.GetFdContext(8));
}

TEST(AioSetup, ZeroSizesAreRefused) {
    RecordingHandler handler;
    CAioOperator op(handler);
    EXPECT_EQ(-1, op.InitMaxFdNum(0, 128));
    EXPECT_EQ(-1, op.InitMaxFdNum(8, 0));
    EXPECT_EQ(0u, op.GetMaxFdNum());
}

TEST(AioSetup, CreateEpollWithoutTableFailsAndLogs) {
    LogCapture log;
    RecordingHandler handler;
    CAioOperator op(handler);
    EXPECT_EQ(-1, op.CreateEpoll());
    EXPECT_EQ(-1, op.GetEpollFd());
    EXPECT_TRUE(log.Contains("[info] aio_operator."));
    EXPECT_TRUE(log.Contains("epollfd=-1"));
}

TEST(AioSetup, SecondCreateEpollIsRefusedAndKeepsTheFirst) {
    LogCapture log;
    RecordingHandler handler;
    CAioOperator op(handler);
    ASSERT_EQ(0, op.InitMaxFdNum(8, 64));
    ASSERT_EQ(0, op.CreateEpoll());
    int first = op.GetEpollFd();
    EXPECT_TRUE(log.Contains("maxsocknum=8"));
    EXPECT_TRUE(log.Contains("epollfd=" + std::to_string(first)));
    EXPECT_EQ(-1, op.CreateEpoll());
    EXPECT_EQ(first, op.GetEpollFd());
    EXPECT_EQ(0, op.OnRun());
}

TEST(AioSetup, DestructionClosesTheEpollDescriptor) {
    RecordingHandler handler;
    int epollFd;
    {
        CAioOperator op(handler);
        ASSERT_EQ(0, op.InitMaxFdNum(4, 64));
        ASSERT_EQ(0, op.CreateEpoll());
        epollFd = op.GetEpollFd();
        ASSERT_TRUE(IsOpenFd(epollFd));
    }
    EXPECT_FALSE(IsOpenFd(epollFd));
}

TEST(AioSetup, LookupOutsideTableIsLoggedAsWarning) {
    LogCapture log;
    RecordingHandler handler;
    CAioOperator op(handler);
    ASSERT_EQ(0, op.InitMaxFdNum(4, 64));
    EXPECT_EQ(nullptr, op.GetFdContext(4));
    EXPECT_EQ(nullptr, op.GetFdContext(-1));
    EXPECT_TRUE(log.Contains("[warn] "));
    EXPECT_TRUE(log.Contains("failed to get fdcontext, fd=4"));
    EXPECT_TRUE(log.Contains("failed to get fdcontext, fd=-1"));
}

TEST(AioSetup, CountersStartAtZeroAndClear) {
    RecordingHandler handler;
    CAioOperator op(handler);
    const CAioOperator::CStatisInfo& s = op.GetStatisInfo();
    EXPECT_EQ(0u, s.m_iAcceptCount + s.m_iConnectCount + s.m_iCloseCount + s.m_iCloseTimeoutCount);
}

// ---- connections and callback order ----

TEST_F(AioTest, EchoThroughListenerAndConnectedClient) {
    int listenFd = op.AddTcpListenSock(Loopback(0));
    ASSERT_GE(listenFd, 0);
    EXPECT_EQ(FD_TYPE_TCP_LISTEN, op.GetFdContext(listenFd)->GetFdType());
    handler.onRead = [&](CFdContext* ctx, char* data, uint32 size, uint32& parsed) {
        if (ctx->GetFdType() == FD_TYPE_TCP_ACCEPTED) {
            EXPECT_EQ(0, op.TcpSend(ctx->GetFd(), data, size));
        }
        parsed = size;
        return 0;
    };
    int clientFd = op.Connect(Loopback(LocalPort(listenFd)));
    ASSERT_GE(clientFd, 0);
    EXPECT_EQ(FD_TYPE_TCP_CONNECTING, op.GetFdContext(clientFd)->GetFdType());
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT) == 1; }));
    ASSERT_EQ(0, op.TcpSend(clientFd, "hello", 5));
    ASSERT_TRUE(RunUntil(op, [&] { return handler.ReadBytes(clientFd) == "hello"; }));

    ASSERT_EQ(3u, handler.events.size());
    EXPECT_EQ(AioEvent::CONN_OUT, handler.events[0].kind);
    EXPECT_EQ(clientFd, handler.events[0].fd);
    EXPECT_TRUE(handler.events[0].success);
    EXPECT_EQ(FD_TYPE_TCP_CONNECTED, handler.events[0].fdType);
    EXPECT_EQ(AioEvent::TCP_READ, handler.events[1].kind);
    EXPECT_EQ(FD_TYPE_TCP_ACCEPTED, handler.events[1].fdType);
    EXPECT_EQ("hello", handler.events[1].data);
    EXPECT_EQ(AioEvent::TCP_READ, handler.events[2].kind);
    EXPECT_EQ(clientFd, handler.events[2].fd);
    EXPECT_EQ(1u, op.GetStatisInfo().m_iAcceptCount);
    EXPECT_EQ(1u, op.GetStatisInfo().m_iConnectCount);
    EXPECT_EQ(0u, op.GetStatisInfo().m_iCloseCount);
}

TEST_F(AioTest, NegativeReadResultClosesThenReportsDroppedRefedTasksInOrder) {
    LogCapture log;
    static const char first[] = "first";
    static const char second[] = "second";
    int h1 = 1, h2 = 2;
    int listenFd = op.AddTcpListenSock(Loopback(0));
    ASSERT_GE(listenFd, 0);
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    handler.onRead = [&](CFdContext* ctx, char*, uint32, uint32&) {
        EXPECT_EQ(0, op.TcpSend(ctx->GetFd(), &h1, first, 5));
        EXPECT_EQ(0, op.TcpSend(ctx->GetFd(), "copied", 6));
        EXPECT_EQ(0, op.TcpSend(ctx->GetFd(), &h2, second, 6));
        return -1;
    };
    ASSERT_TRUE(SendAll(clientFd, "x"));
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED) == 1; }));

    ASSERT_EQ(4u, handler.events.size());
    EXPECT_EQ(AioEvent::TCP_READ, handler.events[0].kind);
    EXPECT_EQ(AioEvent::FD_CLOSED, handler.events[1].kind);
    EXPECT_EQ(acceptedFd, handler.events[1].fd);
    EXPECT_EQ(AioEvent::TCP_WROTE, handler.events[2].kind);
    EXPECT_EQ(&h1, handler.events[2].handle);
    EXPECT_EQ(-1, handler.events[2].wroteSize);
    EXPECT_EQ(5u, handler.events[2].wantSize);
    EXPECT_EQ(AioEvent::TCP_WROTE, handler.events[3].kind);
    EXPECT_EQ(&h2, handler.events[3].handle);
    EXPECT_EQ(-1, handler.events[3].wroteSize);
    EXPECT_EQ(-1, op.GetFdContext(acceptedFd)->GetFd());
    EXPECT_EQ(1u, op.GetStatisInfo().m_iCloseCount);
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(acceptedFd) + ", evtHandler want to close it"));
    // Nothing queued was sent: the peer sees the end of the stream, not data.
    EXPECT_EQ("", RecvExactly(clientFd, 1, 2000));
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

TEST_F(AioTest, SeveralMebibytesToASlowReaderArriveInOrder) {
    const size_t kTotal = 6 * 1024 * 1024;
    const size_t kChunk = 768 * 1024;
    std::string payload = Pattern(kTotal);
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port, 4096));
    int fd, peer;
    ConnectedPair(port, listenFd, &fd, &peer);

    std::vector<int> handles(kTotal / kChunk);
    for (size_t i = 0, off = 0; off < kTotal; ++i, off += kChunk) {
        // Alternate copied and referenced tasks.
        if (i % 2 == 0) {
            ASSERT_EQ(0, op.TcpSend(fd, payload.data() + off, static_cast<uint32>(kChunk)));
        } else {
            ASSERT_EQ(0, op.TcpSend(fd, &handles[i], payload.data() + off, static_cast<uint32>(kChunk)));
        }
    }
    EXPECT_EQ(kInterestInOut, EpollInterest(op.GetEpollFd(), fd));

    std::atomic<bool> readerDone{false};
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        auto start = std::chrono::steady_clock::now();
        while (received.size() < kTotal && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
            if (!WaitReadable(peer, 100)) continue;
            ssize_t n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0) received.append(buf, static_cast<size_t>(n));
            if (n == 0) break;
            if (received.size() % (256 * 1024) < sizeof(buf)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        readerDone = true;
    });

    bool sawPartial = false;
    bool watchedWhileQueued = true;
    CWriteTaskList& queue = op.GetFdContext(fd)->GetWriteTaskList();
    bool drained = RunUntil(
        op,
        [&] {
            if (!queue.empty()) {
                CWriteTaskBase* front = queue.front();
                if (front->GetDoneSize() > 0 && front->GetLeftSize() > 0) sawPartial = true;
                if (EpollInterest(op.GetEpollFd(), fd) != kInterestInOut) watchedWhileQueued = false;
            }
            return queue.empty();
        },
        60000);
    reader.join();
    ASSERT_TRUE(drained);
    ASSERT_TRUE(readerDone);
    ASSERT_EQ(kTotal, received.size());
    EXPECT_TRUE(received == payload) << "bytes arrived out of order or corrupted";
    EXPECT_TRUE(sawPartial);
    EXPECT_TRUE(watchedWhileQueued);
    EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), fd));
    std::vector<void*> reported;
    for (const AioEvent& ev : handler.events) {
        if (ev.kind != AioEvent::TCP_WROTE) continue;
        EXPECT_EQ(static_cast<int>(kChunk), ev.wroteSize);
        reported.push_back(ev.handle);
    }
    std::vector<void*> expected;
    for (size_t i = 1; i < handles.size(); i += 2) expected.push_back(&handles[i]);
    EXPECT_EQ(expected, reported);
}

// ---- the read step ----

class AioSmallBufferTest : public AioTest {
protected:
    CAioProbe small{handler};
    int fd = -1;
    int peer = -1;

    void SetUp() override {
        AioTest::SetUp();
        ASSERT_EQ(0, small.InitMaxFdNum(512, 64));
        ASSERT_EQ(0, small.CreateEpoll());
        unsigned short port = 0;
        int listenFd = Keep(PlainListen(&port));
        fd = small.Connect(Loopback(port));
        ASSERT_GE(fd, 0);
        peer = Keep(PlainAccept(listenFd));
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(RunUntil(small, [&] { return handler.CountOf(AioEvent::CONN_OUT) == 1; }));
        handler.events.clear();
    }

    void TearDown() override {
        handler.onRead = nullptr;
        CloseOperatorFds(small);
        AioTest::TearDown();
    }
};

TEST_F(AioSmallBufferTest, ReceiveFillingTheFreeSpaceReceivesAgainInTheSameStep) {
    ASSERT_TRUE(SendAll(peer, Pattern(74)));
    ASSERT_TRUE(WaitReadable(fd, 2000));
    // epoll may report the bytes only on a later turn, but all must come in one.
    ASSERT_TRUE(RunUntil(small, [&] { return !handler.events.empty(); }));
    ASSERT_EQ(2u, handler.events.size());
    EXPECT_EQ(64u, handler.events[0].data.size());
    EXPECT_EQ(10u, handler.events[1].data.size());
    EXPECT_EQ(Pattern(74), handler.ReadBytes(fd));
}

TEST_F(AioSmallBufferTest, ShorterReceiveEndsTheStep) {
    ASSERT_TRUE(SendAll(peer, "abc"));
    ASSERT_TRUE(RunUntil(small, [&] { return !handler.events.empty(); }));
    ASSERT_EQ(1u, handler.events.size());
    EXPECT_EQ("abc", handler.events[0].data);
}

TEST_F(AioSmallBufferTest, FullBufferIsLoggedAndConnectionStaysOpen) {
    LogCapture log;
    handler.onRead = [](CFdContext*, char*, uint32, uint32&) { return 0; };
    ASSERT_TRUE(SendAll(peer, Pattern(80)));
    std::string line = "fd=" + std::to_string(fd) + ", no free space in read buf, remote address 127.0.0.1:";
    ASSERT_TRUE(RunUntil(small, [&] { return log.Count(line) >= 2; }));
    EXPECT_TRUE(log.Contains("[err] "));
    EXPECT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED));
    EXPECT_EQ(fd, small.GetFdContext(fd)->GetFd());
    EXPECT_EQ(64u, small.GetFdContext(fd)->GetReadBuf().GetDataSize());
    ASSERT_FALSE(handler.events.empty());
    EXPECT_EQ(Pattern(64), handler.events.back().data);
}

TEST_F(AioSmallBufferTest, PartialMessageIsHandedBackWithTheNextBytes) {
    // Messages are one length digit followed by that many bytes.
    std::vector<std::string> messages;
    handler.onRead = [&](CFdContext*, char* data, uint32 size, uint32& parsed) {
        uint32 pos = 0;
        while (pos < size) {
            uint32 len = static_cast<uint32>(data[pos] - '0');
            if (pos + 1 + len > size) break;
            messages.emplace_back(data + pos + 1, len);
            pos += 1 + len;
        }
        parsed = pos;
        return 0;
    };
    ASSERT_TRUE(SendAll(peer, "5he"));
    ASSERT_TRUE(RunUntil(small, [&] { return handler.events.size() == 1; }));
    EXPECT_EQ("5he", handler.events[0].data);
    EXPECT_TRUE(messages.empty());
    ASSERT_TRUE(SendAll(peer, "llo2hi"));
    ASSERT_TRUE(RunUntil(small, [&] { return handler.events.size() == 2; }));
    EXPECT_EQ("5hello2hi", handler.events[1].data);
    EXPECT_EQ((std::vector<std::string>{"hello", "hi"}), messages);
    EXPECT_EQ(0u, small.GetFdContext(fd)->GetReadBuf().GetDataSize());
}

TEST_F(AioSmallBufferTest, ConsumedHeadIsReusedForLaterBytes) {
    // Only whole 10-byte records are consumed; the remainder waits at the
    // front and must be followed contiguously by the next bytes.
    std::string consumed;
    handler.onRead = [&](CFdContext*, char* data, uint32 size, uint32& parsed) {
        parsed = size - size % 10;
        consumed.append(data, parsed);
        return 0;
    };
    std::string all = Pattern(150);
    ASSERT_TRUE(SendAll(peer, all.substr(0, 63)));
    ASSERT_TRUE(RunUntil(small, [&] { return handler.events.size() == 1; }));
    EXPECT_EQ(3u, small.GetFdContext(fd)->GetReadBuf().GetDataSize());
    ASSERT_TRUE(SendAll(peer, all.substr(63)));
    ASSERT_TRUE(RunUntil(small, [&] { return consumed.size() == all.size(); }));
    EXPECT_EQ(all, consumed);
}

TEST_F(AioTest, HandlerClosingItsConnectionInsideReadIsSafe) {
    int listenFd = op.AddTcpListenSock(Loopback(0));
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    handler.onRead = [&](CFdContext* ctx, char*, uint32 size, uint32& parsed) {
        op.CloseSocket(ctx->GetFd());
        parsed = size;
        return 0;
    };
    ASSERT_TRUE(SendAll(clientFd, "abc"));
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::TCP_READ) == 1; }));
    RunFor(op, 20);
    EXPECT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED));
    EXPECT_EQ(-1, op.GetFdContext(acceptedFd)->GetFd());
    EXPECT_EQ(op.GetWatchHead(), op.GetWatchHead()->GetNext());
}

// ---- queueing ----

TEST_F(AioTest, SendAfterCloseIsRefusedWithItsLine) {
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    int fd, peer;
    ConnectedPair(port, listenFd, &fd, &peer);
    ASSERT_EQ(0, op.CloseSocket(fd));
    LogCapture log;
    EXPECT_EQ(-1, op.TcpSend(fd, "x", 1));
    EXPECT_TRUE(log.Contains("[err] "));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", has been closed when tcp send is called"));
    int handle = 0;
    EXPECT_EQ(-1, op.TcpSend(fd, &handle, "x", 1));
    EXPECT_EQ(-1, op.TcpSend(100000, "x", 1));
    EXPECT_TRUE(log.Contains("fd=100000, has been closed when tcp send is called"));
    EXPECT_TRUE(op.GetFdContext(fd)->GetWriteTaskList().empty());
}

TEST_F(AioTest, EmptySendIsRefusedAndQueuesNothing) {
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    int fd, peer;
    ConnectedPair(port, listenFd, &fd, &peer);
    int handle = 0;
    EXPECT_EQ(-1, op.TcpSend(fd, "x", 0));
    EXPECT_EQ(-1, op.TcpSend(fd, nullptr, 4));
    EXPECT_EQ(-1, op.TcpSend(fd, &handle, "x", 0));
    EXPECT_EQ(-1, op.TcpSend(fd, &handle, nullptr, 4));
    EXPECT_TRUE(op.GetFdContext(fd)->GetWriteTaskList().empty());
    EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), fd));
    // The queue still works afterwards.
    ASSERT_EQ(0, op.TcpSend(fd, "ok", 2));
    RunFor(op, 5);
    EXPECT_EQ("ok", RecvExactly(peer, 2, 2000));
}

TEST_F(AioTest, SendOnListeningOrDatagramSocketIsRefused) {
    int listenFd = op.AddTcpListenSock(Loopback(0));
    int udpFd = op.AddUdpSock(nullptr);
    ASSERT_GE(listenFd, 0);
    ASSERT_GE(udpFd, 0);
    EXPECT_EQ(-1, op.TcpSend(listenFd, "x", 1));
    EXPECT_EQ(-1, op.TcpSend(udpFd, "x", 1));
    EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), listenFd));
    EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), udpFd));
}

TEST_F(AioTest, WritabilityIsWatchedOnlyWhileQueued) {
    LogCapture log;
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    int fd, peer;
    ConnectedPair(port, listenFd, &fd, &peer);
    EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), fd));
    ASSERT_EQ(0, op.TcpSend(fd, "abc", 3));
    EXPECT_EQ(kInterestInOut, EpollInterest(op.GetEpollFd(), fd));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", add writable watch"));
    ASSERT_TRUE(RunUntil(op, [&] { return op.GetFdContext(fd)->GetWriteTaskList().empty(); }));
    op.OnRun();
    EXPECT_EQ(kInterestIn, EpollInterest(op.GetEpollFd(), fd));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", sent=3"));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", no send task, remove writable watch"));
    EXPECT_EQ("abc", RecvExactly(peer, 3, 2000));
}

TEST_F(AioTest, WrittenRefedTaskWhoseReportAsksToCloseIsReportedOnce) {
    static const char mem[] = "bye";
    int handle = 3;
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    int fd, peer;
    ConnectedPair(port, listenFd, &fd, &peer);
    handler.events.clear();
    handler.onWrote = [](CFdContext*, void*, sint32 wrote) { return wrote >= 0 ? -1 : 0; };
    ASSERT_EQ(0, op.TcpSend(fd, &handle, mem, 3));
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED) == 1; }));
    RunFor(op, 10);
    ASSERT_EQ(2u, handler.events.size());
    EXPECT_EQ(AioEvent::TCP_WROTE, handler.events[0].kind);
    EXPECT_EQ(3, handler.events[0].wroteSize);
    EXPECT_EQ(AioEvent::FD_CLOSED, handler.events[1].kind);
    EXPECT_EQ("bye", RecvExactly(peer, 3, 2000));
}

// ---- closing ----

TEST_F(AioTest, CloseSocketReportsOnlyDroppedRefedTasks) {
    static const char a[] = "aaaa";
    static const char b[] = "bbbb";
    int ha = 1, hb = 2;
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    int fd = op.Connect(Loopback(port));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, op.TcpSend(fd, &ha, a, 4));
    ASSERT_EQ(0, op.TcpSend(fd, "copy", 4));
    ASSERT_EQ(0, op.TcpSend(fd, &hb, b, 4));
    EXPECT_EQ(0, op.CloseSocket(fd));
    ASSERT_EQ(2u, handler.events.size());
    EXPECT_EQ(&ha, handler.events[0].handle);
    EXPECT_EQ(-1, handler.events[0].wroteSize);
    EXPECT_EQ(fd, handler.events[0].fd);
    EXPECT_EQ(&hb, handler.events[1].handle);
    EXPECT_EQ(-1, op.GetFdContext(fd)->GetFd());
    EXPECT_EQ(0u, op.GetStatisInfo().m_iCloseCount);
    EXPECT_EQ(-1, EpollInterest(op.GetEpollFd(), fd));
    (void)listenFd;
}

TEST_F(AioTest, CloseSocketOnUnusedNumberStillClosesIt) {
    LogCapture log;
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_LT(fd, 512);
    EXPECT_EQ(0, op.CloseSocket(fd));
    EXPECT_FALSE(IsOpenFd(fd));
    EXPECT_TRUE(log.Contains("[debug] "));
    EXPECT_TRUE(log.Contains("close fd=" + std::to_string(fd) + "\n"));
}

TEST_F(AioTest, PeerShutdownRunsTheCloseStepOnce) {
    LogCapture log;
    int listenFd = op.AddTcpListenSock(Loopback(0));
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    close(clientFd);
    plain.pop_back();
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED) == 1; }));
    RunFor(op, 10);
    EXPECT_EQ(1u, handler.CountOf(AioEvent::FD_CLOSED));
    EXPECT_EQ(acceptedFd, handler.events.back().fd);
    EXPECT_EQ(1u, op.GetStatisInfo().m_iCloseCount);
    EXPECT_EQ(-1, op.GetFdContext(acceptedFd)->GetFd());
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(acceptedFd) + ", closed by remote address 127.0.0.1:"));
}

TEST_F(AioTest, ErrorWithPendingInputRunsOnlyTheCloseStep) {
    LogCapture log;
    int listenFd = op.AddTcpListenSock(Loopback(0));
    int acceptedFd, clientFd;
    AcceptedPair(listenFd, &acceptedFd, &clientFd);
    ASSERT_TRUE(SendAll(clientFd, "unread"));
    CloseWithReset(clientFd);
    plain.pop_back();
    // Both the bytes and the reset must be pending before the next turn.
    pollfd p = {acceptedFd, POLLIN, 0};
    for (int i = 0; i < 200 && !(p.revents & POLLERR); ++i) poll(&p, 1, 10);
    ASSERT_TRUE(p.revents & POLLERR);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::FD_CLOSED) == 1; }));
    EXPECT_EQ(0u, handler.CountOf(AioEvent::TCP_READ));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(acceptedFd) + ", EPOLLERR"));
}

TEST_F(AioTest, ClosingListenerLogsAndUnregisters) {
    LogCapture log;
    int listenFd = op.AddTcpListenSock(Loopback(0));
    ASSERT_GE(listenFd, 0);
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(listenFd) + ", listening on 127.0.0.1:0"));
    EXPECT_EQ(0, op.CloseSocket(listenFd));
    EXPECT_TRUE(log.Contains("[info] "));
    EXPECT_TRUE(log.Contains("close fd=" + std::to_string(listenFd) + ", type=TCP_LISTEN"));
    EXPECT_FALSE(IsOpenFd(listenFd));
}

TEST_F(AioTest, BindFailureIsLogged) {
    LogCapture log;
    unsigned short port = 0;
    int busy = Keep(PlainListen(&port));
    ASSERT_GE(busy, 0);
    // Address reuse does not let a second socket bind beside a live listener.
    EXPECT_EQ(-1, op.AddTcpListenSock(Loopback(port)));
    EXPECT_TRUE(log.Contains("failed to bind on 127.0.0.1:" + std::to_string(port)));
}

// ---- the descriptor table ----

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

// An event that one epoll_wait reported for a descriptor that a callback
// closed earlier in the same turn must not reach a new descriptor that took
// the same number.
TEST_F(AioTest, EventOfADescriptorClosedEarlierInTheTurnIsDropped) {
    unsigned short port = 0;
    int listenFd = Keep(PlainListen(&port));
    int first, firstPeer, victim, victimPeer;
    ConnectedPair(port, listenFd, &first, &firstPeer);
    ConnectedPair(port, listenFd, &victim, &victimPeer);
    // Idle turns let epoll drop the descriptors it re-queued after reporting
    // them, so the next readiness is reported in the order it happens.
    RunFor(op, 5);
    handler.events.clear();

    std::vector<int> fillers;
    int reopened = -1;
    handler.onRead = [&](CFdContext* ctx, char*, uint32 size, uint32& parsed) {
        parsed = size;
        if (ctx->GetFd() == first && reopened == -1) {
            op.CloseSocket(victim);
            fillers = FillDescriptorHolesBelow(victim);
            reopened = op.Connect(Loopback(port));
        }
        return 0;
    };
    ASSERT_TRUE(SendAll(firstPeer, "ping"));
    CloseWithReset(victimPeer);
    plain.erase(std::find(plain.begin(), plain.end(), victimPeer));
    pollfd both[2] = {{first, POLLIN, 0}, {victim, POLLIN, 0}};
    auto ready = [&] { return (both[0].revents & POLLIN) && (both[1].revents & POLLERR); };
    for (int i = 0; i < 200 && !ready(); ++i) poll(both, 2, 10);
    ASSERT_TRUE(ready());

    ASSERT_TRUE(RunUntil(op, [&] { return reopened != -1; }));
    CloseAll(fillers);
    ASSERT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED, victim)) << "the victim's error came first; nothing to test";
    ASSERT_EQ(victim, reopened) << "the number was not reused";
    RunFor(op, 5);
    EXPECT_EQ(0u, handler.CountOf(AioEvent::FD_CLOSED, victim));
    EXPECT_EQ(victim, op.GetFdContext(victim)->GetFd());
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT, victim) == 1; }));
    EXPECT_TRUE(handler.events.back().success);
    Keep(PlainAccept(listenFd));
}

// ---- the inactivity watch list ----

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

// ---- UDP ----

class AioUdpTest : public AioTest {
protected:
    int PlainUdp(unsigned short* port) {
        *port = 0;
        int fd = Keep(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        CInetAddr addr = Loopback(0);
        if (bind(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0) return -1;
        *port = LocalPort(fd);
        return fd;
    }
    static void SendTo(int fd, const std::string& data, unsigned short port) {
        CInetAddr to = Loopback(port);
        ASSERT_EQ(static_cast<ssize_t>(data.size()),
                  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(to.GetSockAddr()),
                         sizeof(sockaddr_in)));
    }
    static std::string RecvFrom(int fd, unsigned short* fromPort) {
        char buf[2048];
        sockaddr_in from;
        socklen_t len = sizeof(from);
        if (!WaitReadable(fd, 2000)) return "<timeout>";
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return "<error>";
        *fromPort = ntohs(from.sin_port);
        return std::string(buf, static_cast<size_t>(n));
    }
};

TEST_F(AioUdpTest, UnboundSocketSendsAndReceivesTheReply) {
    LogCapture log;
    unsigned short peerPort = 0;
    int peer = PlainUdp(&peerPort);
    int fd = op.AddUdpSock(nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd, op.GetUdpSockFd());
    EXPECT_EQ(FD_TYPE_UDP, op.GetFdContext(fd)->GetFdType());
    EXPECT_TRUE(log.Contains("udp fd=" + std::to_string(fd)));
    EXPECT_FALSE(log.Contains("bind on"));
    EXPECT_EQ(5, op.UdpSend(fd, "query", 5, Loopback(peerPort)));
    unsigned short opPort = 0;
    EXPECT_EQ("query", RecvFrom(peer, &opPort));
    ASSERT_NE(0, opPort);
    SendTo(peer, "answer", opPort);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::UDP_READ) == 1; }));
    EXPECT_EQ("answer", handler.events[0].data);
    EXPECT_TRUE(handler.events[0].addr == Loopback(peerPort));
    EXPECT_TRUE(*op.GetFdContext(fd)->GetRemoteAddr() == Loopback(peerPort));
}

TEST_F(AioUdpTest, EveryWaitingDatagramIsDeliveredInOneStepWithItsSender) {
    unsigned short p1 = 0, p2 = 0;
    int peer1 = PlainUdp(&p1);
    int peer2 = PlainUdp(&p2);
    int fd = op.AddUdpSock(nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, op.UdpSend(fd, "!", 1, Loopback(p1)));
    unsigned short opPort = 0;
    ASSERT_EQ("!", RecvFrom(peer1, &opPort));
    SendTo(peer1, "one-a", opPort);
    SendTo(peer2, "two-a", opPort);
    SendTo(peer1, "one-b", opPort);
    EXPECT_EQ(0, op.OnUdpRead(op.GetFdContext(fd)));
    ASSERT_EQ(3u, handler.events.size());
    EXPECT_EQ("one-a", handler.events[0].data);
    EXPECT_EQ(p1, handler.events[0].addr.GetPort());
    EXPECT_EQ("two-a", handler.events[1].data);
    EXPECT_EQ(p2, handler.events[1].addr.GetPort());
    EXPECT_EQ("one-b", handler.events[2].data);
    EXPECT_EQ(p1, handler.events[2].addr.GetPort());
}

TEST_F(AioUdpTest, EmptyDatagramEndsTheStep) {
    unsigned short peerPort = 0;
    int peer = PlainUdp(&peerPort);
    int fd = op.AddUdpSock(nullptr);
    ASSERT_EQ(1, op.UdpSend(fd, "!", 1, Loopback(peerPort)));
    unsigned short opPort = 0;
    ASSERT_EQ("!", RecvFrom(peer, &opPort));
    SendTo(peer, "before", opPort);
    SendTo(peer, "", opPort);
    SendTo(peer, "after", opPort);
    EXPECT_EQ(0, op.OnUdpRead(op.GetFdContext(fd)));
    ASSERT_EQ(1u, handler.events.size());
    EXPECT_EQ("before", handler.events[0].data);
    EXPECT_EQ(0, op.OnUdpRead(op.GetFdContext(fd)));
    ASSERT_EQ(2u, handler.events.size());
    EXPECT_EQ("after", handler.events[1].data);
    EXPECT_EQ(-1, op.OnUdpRead(nullptr));
}

TEST_F(AioUdpTest, BoundSocketReceivesOnItsPortAndClosesWithItsLine) {
    LogCapture log;
    unsigned short port = 0;
    {
        // Find a free datagram port, then bind the operator's socket to it.
        int probe = socket(AF_INET, SOCK_DGRAM, 0);
        CInetAddr any = Loopback(0);
        bind(probe, reinterpret_cast<sockaddr*>(any.GetSockAddr()), sizeof(sockaddr_in));
        port = LocalPort(probe);
        close(probe);
    }
    CInetAddr bindAddr = Loopback(port);
    int fd = op.AddUdpSock(&bindAddr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(port, LocalPort(fd));
    EXPECT_TRUE(log.Contains("udp fd=" + std::to_string(fd) + ", bind on 127.0.0.1:" + std::to_string(port)));
    unsigned short peerPort = 0;
    int peer = PlainUdp(&peerPort);
    SendTo(peer, "hi", port);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::UDP_READ) == 1; }));
    EXPECT_EQ(0, op.CloseSocket(fd));
    EXPECT_TRUE(log.Contains("close fd=" + std::to_string(fd) + ", type=UDP"));
    EXPECT_FALSE(IsOpenFd(fd));
    EXPECT_EQ(fd, op.GetUdpSockFd());
}

TEST_F(AioUdpTest, BindingABusyPortFails) {
    unsigned short port = 0;
    ASSERT_GE(PlainUdp(&port), 0);
    CInetAddr bindAddr = Loopback(port);
    EXPECT_EQ(-1, op.CreateUdpSock(&bindAddr));
    EXPECT_EQ(-1, op.AddUdpSock(&bindAddr));
    EXPECT_EQ(-1, op.GetUdpSockFd());
}

// ---- files ----

class AioFileTest : public AioTest {
protected:
    TempDir dir;
};

TEST_F(AioFileTest, CreateWritesAndReadsBack) {
    LogCapture log;
    std::string path = dir.file("data.bin");
    mode_t old = umask(022);
    int fd = op.CreateFile(path.c_str());
    umask(old);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", create file " + path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    EXPECT_EQ(10, op.WriteFile(fd, "0123456789", 10));
    EXPECT_EQ(10, op.GetFileSize(fd));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", file size=10"));
    op.CloseFile(fd);
    EXPECT_FALSE(IsOpenFd(fd));

    int rfd = op.OpenFile(path.c_str());
    ASSERT_GE(rfd, 0);
    EXPECT_TRUE(log.Contains("succeeded to open file " + path + ", fd=" + std::to_string(rfd)));
    char buf[32];
    // A short read comes back as it is.
    EXPECT_EQ(10, op.ReadFile(rfd, buf, sizeof(buf)));
    EXPECT_EQ("0123456789", std::string(buf, 10));
    EXPECT_EQ(0, op.ReadFile(rfd, buf, sizeof(buf)));
    EXPECT_TRUE(log.Contains("[err] "));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(rfd) + ", file read eof"));
    // Writing to a read-only descriptor fails and is logged.
    EXPECT_EQ(-1, op.WriteFile(rfd, "x", 1));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(rfd) + ", file write error"));
    op.CloseFile(rfd);
}

TEST_F(AioFileTest, CreateTruncatesAnExistingFile) {
    std::string path = dir.file("old.txt");
    WriteFile(path, "previous contents");
    int fd = op.CreateFile(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, op.GetFileSize(fd));
    op.CloseFile(fd);
    EXPECT_EQ("", ReadFile(path));
}

TEST_F(AioFileTest, FailuresAreReportedAndLogged) {
    LogCapture log;
    std::string missing = dir.file("missing");
    EXPECT_EQ(-1, op.OpenFile(missing.c_str()));
    EXPECT_TRUE(log.Contains("failed to open file " + missing + ", errno=2, errmsg="));
    std::string noDir = dir.file("no/such/dir");
    EXPECT_EQ(-1, op.CreateFile(noDir.c_str()));
    EXPECT_TRUE(log.Contains("failed to create file " + noDir + ", errno=2"));
    EXPECT_EQ(-1, op.GetFileSize(-1));
    char buf[4];
    EXPECT_EQ(-1, op.ReadFile(-1, buf, sizeof(buf)));
    EXPECT_TRUE(log.Contains("fd=-1, file read error"));
}

TEST_F(AioFileTest, SizeBeyondTheResultRangeIsRefused) {
    std::string path = dir.file("sparse");
    int fd = op.CreateFile(path.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(3) << 30));
    EXPECT_EQ(-1, op.GetFileSize(fd));
    ASSERT_EQ(0, ftruncate(fd, 0x7FFFFFFF));
    EXPECT_EQ(0x7FFFFFFF, op.GetFileSize(fd));
    op.CloseFile(fd);
}
