#include "aio_operator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
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
#include "aio_operator_fixture.h"

using namespace zqtest;
using namespace aiotest;

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

TEST_F(AioTest, ANotifyDescriptorIsReportedWhileReadableAndLeftOpen) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    Keep(fds[1]);
    ASSERT_EQ(0, op.AddNotifyFd(fds[0]));
    EXPECT_EQ(-1, op.AddNotifyFd(fds[0]));
    RunFor(op, 20);
    EXPECT_EQ(0u, handler.CountOf(AioEvent::NOTIFY));
    ASSERT_EQ(1, write(fds[1], "x", 1));
    handler.onNotify = [&](CFdContext* ctx) {
        char c;
        EXPECT_EQ(1, read(ctx->GetFd(), &c, 1));
        return 0;
    };
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::NOTIFY, fds[0]) == 1; }));
    RunFor(op, 20);
    EXPECT_EQ(1u, handler.CountOf(AioEvent::NOTIFY));
    op.RemoveNotifyFd(fds[0]);
    EXPECT_EQ(-1, op.GetFdContext(fds[0])->GetFd());
    // Still the caller's: the operator did not close it.
    EXPECT_EQ(0, fcntl(fds[0], F_GETFD) < 0 ? -1 : 0);
    close(fds[0]);
}
