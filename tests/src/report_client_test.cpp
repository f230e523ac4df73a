// The report client inside this process: the framing walk over received
// bytes, its reactions to the connection's events, and whole runs against a
// scripted loopback peer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "aio_recorder.h"
#include "bytes.h"
#include "config.h"
#include "datareport_svr.h"
#include "fd_context.h"
#include "files.h"
#include "log_capture.h"
#include "net.h"
#include "wire.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using zqtest::BigEndian32;
using zqtest::Packet;
using zqtest::PacketHead;
using zqtest::Response;

// A client and a context standing for its connection, without sockets.
class ClientEvents : public ::testing::Test {
protected:
    ClientEvents() : ctx(1024) {}

    void SetUp() override {
        ctx.Init(kFd, FD_TYPE_TCP_CONNECTED);
        ctx.SetRemoteAddr(CInetAddr("127.0.0.1", 4321));
        client.m_rc_conn.set_fd(kFd);
        client.m_run = true;
    }

    // Hands bytes to the walk as the operator would: all of them at once.
    sint32 Feed(std::string bytes, uint32* parsed) {
        *parsed = 0;
        return client.OnTcpRead(&ctx, &bytes[0], static_cast<uint32>(bytes.size()), *parsed);
    }

    static const int kFd = 9;
    zqtest::LogCapture log{5};
    CFdContext ctx;
    ip_svr_t client;
};

// Framing ----------------------------------------------------------------------

TEST_F(ClientEvents, WholeResponseIsDecodedAndEndsTheRun) {
    uint32 parsed = 0;
    CaptureStdout();
    EXPECT_EQ(0, Feed(Response(0, 0), &parsed));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(48u, parsed);
    EXPECT_FALSE(client.m_run);
    EXPECT_EQ(RC_ANSWERED, client.run_outcome());
    EXPECT_TRUE(log.Contains("(process_rc_info_response): rc _response: dwresult=0, dwerrno=0\n")) << log.Text();
    EXPECT_EQ("rc _response: dwresult=0, dwerrno=0\n", out);
}

TEST_F(ClientEvents, NumbersAreLoggedAsSigned) {
    uint32 parsed = 0;
    EXPECT_EQ(0, Feed(Response(4294967295u, 2147483648u), &parsed));
    EXPECT_TRUE(log.Contains("rc _response: dwresult=-1, dwerrno=-2147483648\n")) << log.Text();
}

TEST_F(ClientEvents, PartialPacketIsLeftUntilItsLastByte) {
    std::string response = Response(5, 6);
    uint32 parsed = 0;
    for (size_t n : {size_t(1), size_t(39), size_t(40), size_t(47)}) {
        EXPECT_EQ(0, Feed(response.substr(0, n), &parsed)) << n;
        EXPECT_EQ(0u, parsed) << n;
        EXPECT_TRUE(client.m_run) << n;
    }
    EXPECT_EQ(0, Feed(response, &parsed));
    EXPECT_EQ(48u, parsed);
    EXPECT_EQ(RC_ANSWERED, client.run_outcome());
    EXPECT_EQ(1u, log.Count("rc _response: dwresult=5, dwerrno=6"));
}

TEST_F(ClientEvents, BytesAfterTheResponseAreLeftUnconsumed) {
    uint32 parsed = 0;
    EXPECT_EQ(0, Feed(Response(1, 1) + Response(2, 2), &parsed));
    EXPECT_EQ(48u, parsed);
    EXPECT_EQ(1u, log.Count("rc _response:"));
}

TEST_F(ClientEvents, UnexpectedCommandIsLoggedAndTheResponseBehindItDecoded) {
    uint32 parsed = 0;
    std::string echo = Packet(0x10907, "body");
    EXPECT_EQ(-1, Feed(echo + Response(3, 4), &parsed));
    EXPECT_EQ(44u + 48u, parsed);
    EXPECT_TRUE(log.Contains("[err] datareport_svr.")) << log.Text();
    EXPECT_TRUE(log.Contains("unexpected cmd=0x10907\n")) << log.Text();
    EXPECT_TRUE(log.Contains("rc _response: dwresult=3, dwerrno=4")) << log.Text();
    EXPECT_EQ(RC_ANSWERED, client.run_outcome());
}

TEST_F(ClientEvents, UnexpectedCommandAloneAsksForTheConnectionToClose) {
    uint32 parsed = 0;
    EXPECT_EQ(-1, Feed(Packet(0x12345, ""), &parsed));
    EXPECT_EQ(40u, parsed);
    EXPECT_TRUE(client.m_run);
    EXPECT_TRUE(log.Contains("unexpected cmd=0x12345\n"));
}

TEST_F(ClientEvents, LengthOutsideTheLimitsIsInvalidAndNothingAfterItIsParsed) {
    struct Case {
        uint32_t length;
        const char* text;
    };
    for (Case c : {Case{0, "len=0"}, Case{39, "len=39"}, Case{524289, "len=524289"}, Case{0xFFFFFFFFu, "len=-1"}}) {
        uint32 parsed = 0;
        std::string bytes = PacketHead(c.length, 0x10908) + BigEndian32(0) + BigEndian32(0) + Response(0, 0);
        EXPECT_EQ(-1, Feed(bytes, &parsed)) << c.length;
        EXPECT_EQ(0u, parsed) << c.length;
        EXPECT_TRUE(log.Contains(std::string("invalid packet, ") + c.text + ", cmd=0x10908\n")) << log.Text();
    }
    EXPECT_TRUE(client.m_run);
    EXPECT_EQ(0u, log.Count("rc _response"));
}

TEST_F(ClientEvents, PacketsBeforeAnInvalidOneAreConsumed) {
    uint32 parsed = 0;
    EXPECT_EQ(-1, Feed(Packet(0x10907, "") + PacketHead(39, 0x10908), &parsed));
    EXPECT_EQ(40u, parsed);
}

TEST_F(ClientEvents, LargestPacketIsAccepted) {
    uint32 parsed = 0;
    EXPECT_EQ(0, Feed(Response(7, 8, 524288), &parsed));
    EXPECT_EQ(524288u, parsed);
    EXPECT_EQ(RC_ANSWERED, client.run_outcome());
    EXPECT_TRUE(log.Contains("rc _response: dwresult=7, dwerrno=8"));
}

TEST_F(ClientEvents, ResponseWithoutBothNumbersIsDroppedAndTheWaitGoesOn) {
    for (std::string bytes : {PacketHead(44, 0x10908) + BigEndian32(0), PacketHead(40, 0x10908)}) {
        uint32 parsed = 0;
        EXPECT_EQ(0, Feed(bytes, &parsed));
        EXPECT_EQ(bytes.size(), parsed);
        EXPECT_TRUE(client.m_run);
        EXPECT_EQ(RC_OUTCOME_NONE, client.run_outcome());
    }
    EXPECT_EQ(0u, log.Count("rc _response"));
    EXPECT_TRUE(log.Contains("response too short, dropped: len=44")) << log.Text();
    // A good one afterwards is still decoded.
    uint32 parsed = 0;
    EXPECT_EQ(0, Feed(Response(0, 0), &parsed));
    EXPECT_EQ(RC_ANSWERED, client.run_outcome());
}

TEST_F(ClientEvents, OnlyAnUntaggedConnectedDescriptorIsRead) {
    uint32 parsed = 0;
    ctx.SetContType(1);
    EXPECT_EQ(0, Feed(Response(0, 0), &parsed));
    EXPECT_EQ(0u, parsed);
    ctx.SetContType(0);
    ctx.SetFdType(FD_TYPE_TCP_ACCEPTED);
    EXPECT_EQ(0, Feed(Response(0, 0), &parsed));
    EXPECT_EQ(0u, parsed);
    EXPECT_EQ(RC_OUTCOME_NONE, client.run_outcome());
    char byte = 0;
    EXPECT_EQ(-1, client.OnTcpRead(nullptr, &byte, 1, parsed));
}

TEST_F(ClientEvents, NothingIsParsedOnceTheRunHasEnded) {
    client.m_run = false;
    uint32 parsed = 0;
    EXPECT_EQ(0, Feed(Response(0, 0), &parsed));
    EXPECT_EQ(0u, parsed);
}

// Connection events -------------------------------------------------------------

TEST_F(ClientEvents, FailedConnectPrintsTheLineAndEndsTheRun) {
    CaptureStdout();
    client.OnTcpConnOut(&ctx, false);
    std::string out = GetCapturedStdout();
    EXPECT_EQ("connect to zq_server 127.0.0.1 error\n", out);
    EXPECT_TRUE(log.Contains("(OnTcpConnOut): connect to zq_server 127.0.0.1 error\n")) << log.Text();
    EXPECT_FALSE(client.m_run);
    EXPECT_EQ(RC_CONNECT_FAILED, client.run_outcome());
    // The close that follows a failed connect is not a second story.
    EXPECT_EQ(0u, log.Count("closed before a response"));
    EXPECT_EQ(-1, client.OnTcpConnOut(nullptr, true));
}

TEST_F(ClientEvents, ConnectedWithNothingComputedSendsNothingAndStops) {
    client.OnTcpConnOut(&ctx, true);
    EXPECT_TRUE(log.Contains("(OnTcpConnOut): connected to 127.0.0.1\n")) << log.Text();
    EXPECT_EQ(0u, log.Count("start send info"));
    EXPECT_EQ(RC_NOTHING_TO_SEND, client.run_outcome());
    EXPECT_FALSE(client.m_run);
}

TEST_F(ClientEvents, RequestThatCannotBeQueuedEndsTheRun) {
    // No operator table: the descriptor is not one of the operator's.
    client.m_compute = true;
    client.mData.FileName = "a.bin";
    CaptureStdout();
    client.OnTcpConnOut(&ctx, true);
    std::string out = GetCapturedStdout();
    EXPECT_EQ("start send info to zq: a.bin\nsend info error a.bin\n", out);
    EXPECT_TRUE(log.Contains("(send_rc_info): send info error a.bin\n")) << log.Text();
    EXPECT_EQ(RC_SEND_FAILED, client.run_outcome());
    EXPECT_FALSE(client.m_run);
}

TEST_F(ClientEvents, ConnectionClosedBeforeTheResponseEndsTheRun) {
    CaptureStdout();
    EXPECT_EQ(0, client.OnFdClosed(&ctx));
    std::string out = GetCapturedStdout();
    EXPECT_EQ("connection to zq_server 127.0.0.1:4321 closed before a response\n", out);
    EXPECT_TRUE(log.Contains("connection to zq_server 127.0.0.1:4321 closed before a response\n")) << log.Text();
    EXPECT_EQ(RC_CLOSED, client.run_outcome());
    EXPECT_FALSE(client.m_run);
    EXPECT_EQ(-1, client.OnFdClosed(nullptr));
}

TEST_F(ClientEvents, ClosingAnotherDescriptorChangesNothing) {
    CFdContext other(1024);
    other.Init(kFd + 1, FD_TYPE_TCP_CONNECTED);
    EXPECT_EQ(0, client.OnFdClosed(&other));
    EXPECT_TRUE(client.m_run);
    EXPECT_EQ(RC_OUTCOME_NONE, client.run_outcome());
}

TEST_F(ClientEvents, CloseAfterTheResponseKeepsTheAnswer) {
    uint32 parsed = 0;
    Feed(Response(0, 0), &parsed);
    client.OnFdClosed(&ctx);
    EXPECT_EQ(RC_ANSWERED, client.run_outcome());
    EXPECT_EQ(0u, log.Count("closed before a response"));
}

TEST_F(ClientEvents, StopEndsTheRunUnlessItHadEndedAlready) {
    EXPECT_EQ(0, client.Stop());
    EXPECT_FALSE(client.m_run);
    EXPECT_EQ(RC_STOPPED, client.run_outcome());

    ip_svr_t answered;
    answered.m_run = true;
    CFdContext conn(1024);
    conn.Init(3, FD_TYPE_TCP_CONNECTED);
    std::string bytes = Response(0, 0);
    uint32 parsed = 0;
    answered.OnTcpRead(&conn, &bytes[0], static_cast<uint32>(bytes.size()), parsed);
    answered.Stop();
    EXPECT_EQ(RC_ANSWERED, answered.run_outcome());
}

TEST_F(ClientEvents, CallbacksTheClientDoesNotUseReturnZero) {
    char byte = 0;
    EXPECT_EQ(0, client.OnTcpWrote(&ctx, nullptr, &byte, 1, 1));
    EXPECT_EQ(0, client.OnUdpRead(&ctx, &byte, 1, CInetAddr("127.0.0.1", 1)));
    EXPECT_EQ(RC_OUTCOME_NONE, client.run_outcome());
}

// Whole runs ---------------------------------------------------------------------

// A client aimed at 127.0.0.1:port with a computed record of a small file.
class ClientRun : public ::testing::Test {
protected:
    void Aim(unsigned short port, int timeoutMs) {
        strcpy(g_config.rc_ip, "127.0.0.1");
        g_config.rc_port = port;
        g_config.task_timeout_ms = timeoutMs;
    }
    void Compute() {
        zqtest::WriteFile(dir.file("a.txt"), zqtest::PatternBytes(70000, 1));
        CaptureStdout();
        ASSERT_EQ(0, client.compute_rc_info(dir.file("a.txt"), "a.txt", "http://example.invalid/a.txt"));
        GetCapturedStdout();
    }
    long RunMs() {
        auto start = std::chrono::steady_clock::now();
        CaptureStdout();
        client.run();
        out = GetCapturedStdout();
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    }

    zqtest::LogCapture log{5};
    zqtest::TempDir dir;
    ip_svr_t client;
    std::string out;
};

TEST_F(ClientRun, ReportIsSentAndTheAnswerEndsTheRun) {
    zqtest::ScriptedPeer peer([](zqtest::ScriptedPeer& p, int fd) {
        p.ReadRequest(fd);
        zqtest::SendAll(fd, Response(0, 0));
        p.WaitForClose(fd, 10000);
    });
    Aim(peer.port(), 20000);
    Compute();
    ASSERT_EQ(0, client.init());
    uint32_t seqBefore = mSeq;
    client.run();
    peer.Join();
    EXPECT_EQ(RC_ANSWERED, client.run_outcome());
    std::string request = peer.Request();
    ASSERT_GE(request.size(), 40u);
    EXPECT_EQ(seqBefore + 1, zqtest::ReadBigEndian32(request, 8));
    EXPECT_EQ(request.size(), zqtest::ReadBigEndian32(request, 16));
    EXPECT_EQ(0x10907u, zqtest::ReadBigEndian32(request, 36));
    // The client closed its end once the run was over.
    EXPECT_EQ("", peer.Rest());
    EXPECT_TRUE(log.Contains("(run): server started\n"));
    EXPECT_TRUE(log.Contains("(run): server stopped\n"));
}

TEST_F(ClientRun, TimeoutThatIsNotPositiveFallsBackToTheDefault) {
    zqtest::ScriptedPeer peer([](zqtest::ScriptedPeer& p, int fd) {
        p.ReadRequest(fd);
        p.WaitForClose(fd, 10000);
    });
    Aim(peer.port(), -5);
    Compute();
    ASSERT_EQ(0, client.init());
    long ms = RunMs();
    EXPECT_EQ(RC_TIMED_OUT, client.run_outcome());
    EXPECT_GE(ms, 3000);
    EXPECT_TRUE(log.Contains("task_timeout_ms=-5 is not positive, using 3000")) << log.Text();
    EXPECT_NE(std::string::npos, out.find("timed out after 3000 ms")) << out;
}

TEST_F(ClientRun, ConnectThatCompletedInsideConnectStillSends) {
    unsigned short port = 0;
    int listenFd = zqtest::PlainListen(&port);
    ASSERT_GE(listenFd, 0);
    Aim(port, 20000);
    Compute();
    ASSERT_EQ(0, client.init());
    client.m_run = true;
    int fd = client.m_AioOperator.Connect(zqtest::Loopback(port));
    ASSERT_GE(fd, 0);
    int peerFd = zqtest::PlainAccept(listenFd, 5000);
    ASSERT_GE(peerFd, 0);
    // What Connect leaves behind when connect() succeeds at once.
    CFdContext* ctx = client.m_AioOperator.GetFdContext(fd);
    ctx->SetFdType(FD_TYPE_TCP_CONNECTED);
    client.m_rc_conn.set_fd(fd);

    client.on_connect_started();
    EXPECT_EQ(2u, ctx->GetWriteTaskList().size());
    // The operator's own report, should one come as well, sends nothing more.
    client.OnTcpConnOut(ctx, true);
    EXPECT_EQ(2u, ctx->GetWriteTaskList().size());

    zqtest::RunFor(client.m_AioOperator, 100);
    std::string head = zqtest::RecvExactly(peerFd, 40, 5000);
    ASSERT_EQ(40u, head.size());
    EXPECT_EQ(0x10907u, zqtest::ReadBigEndian32(head, 36));
    std::string body = zqtest::RecvExactly(peerFd, zqtest::ReadBigEndian32(head, 16) - 40, 5000);
    EXPECT_EQ(zqtest::ReadBigEndian32(head, 16) - 40, body.size());
    close(peerFd);
    close(listenFd);
}

TEST_F(ClientRun, PendingConnectIsLeftToTheOperator) {
    unsigned short port = 0;
    int listenFd = zqtest::PlainListen(&port);
    ASSERT_GE(listenFd, 0);
    Aim(port, 20000);
    Compute();
    ASSERT_EQ(0, client.init());
    client.m_run = true;
    int fd = client.m_AioOperator.Connect(zqtest::Loopback(port));
    ASSERT_GE(fd, 0);
    CFdContext* ctx = client.m_AioOperator.GetFdContext(fd);
    if (ctx->GetFdType() != FD_TYPE_TCP_CONNECTING) GTEST_SKIP() << "connect completed at once";
    client.m_rc_conn.set_fd(fd);
    client.on_connect_started();
    EXPECT_TRUE(ctx->GetWriteTaskList().empty());
    EXPECT_EQ(0u, log.Count("connected to"));
    close(listenFd);
}

}  // namespace
