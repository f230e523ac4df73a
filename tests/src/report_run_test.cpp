// datareport end to end: the built tool, started in a temporary working
// directory, reports to a scripted peer on 127.0.0.1; its exit status, its
// lines and the bytes it sent are checked. Every wait is bounded.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "bytes.h"
#include "datareport_svr.h"
#include "files.h"
#include "net.h"
#include "process.h"
#include "wire.h"

namespace {

using zqtest::BigEndian32;
using zqtest::Packet;
using zqtest::PacketHead;
using zqtest::ProcessResult;
using zqtest::Response;
using zqtest::ScriptedPeer;

const char* const kUrl = "http://example.invalid/files/report.txt";

class ReportRun : public ::testing::Test {
protected:
    void SetUp() override { zqtest::WriteFile(dir.file("report.txt"), zqtest::PatternBytes(70000, 21)); }

    void WriteConf(unsigned short port, int timeoutMs) {
        zqtest::WriteFile(dir.file("main.conf"), "file_path: " + dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
                                                     std::to_string(port) + "\ntask_timeout_ms: " +
                                                     std::to_string(timeoutMs) + "\n");
    }
    bool Start(const std::string& name = "report.txt") {
        zqtest::SpawnOptions options;
        options.cwd = dir.path();
        options.defaultSignals = true;
        return child.Start(zqtest::BinPath("datareport"), {name, kUrl}, options);
    }
    // Runs the tool against port and waits for it (at most 20 s).
    ProcessResult Report(unsigned short port, int timeoutMs, const std::string& name = "report.txt",
                         long* elapsedMs = nullptr) {
        WriteConf(port, timeoutMs);
        EXPECT_TRUE(Start(name));
        ProcessResult r = child.Wait(20000, elapsedMs);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
    std::string Log() const { return zqtest::ReadFile(dir.file("log/errlog")); }

    zqtest::TempDir dir;
    zqtest::ChildProcess child;
};

// A peer that reads the request, then sends reply and waits for the tool to go.
ScriptedPeer::Script Answer(const std::string& reply) {
    return [reply](ScriptedPeer& p, int fd) {
        p.ReadRequest(fd);
        zqtest::SendAll(fd, reply);
        p.WaitForClose(fd, 20000);
    };
}

ScriptedPeer::Script Silent() {
    return [](ScriptedPeer& p, int fd) {
        p.ReadRequest(fd);
        p.WaitForClose(fd, 20000);
    };
}

// Answered ---------------------------------------------------------------------

TEST_F(ReportRun, AnsweredReportExitsZeroAndTellsBothNumbers) {
    ScriptedPeer peer(Answer(Response(7, 9)));
    ProcessResult r = Report(peer.port(), 20000);
    peer.Join();
    EXPECT_EQ(0, r.exit_code) << r.out;
    std::string path = dir.path() + "/report.txt";
    EXPECT_EQ("start compute " + path + "\ncomplete compute " + path +
                  "\nstart send info to zq: report.txt\ncomplete send info to zq: report.txt\n"
                  "rc _response: dwresult=7, dwerrno=9\n",
              r.out);
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("(process_rc_info_response): rc _response: dwresult=7, dwerrno=9\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("(OnTcpConnOut): connected to 127.0.0.1\n")) << log;
    EXPECT_NE(std::string::npos, log.find("(run): server stopped\n")) << log;
}

TEST_F(ReportRun, RequestIsTheFirstOfTheProcessAndCarriesTheFilesRecord) {
    ScriptedPeer peer(Answer(Response(0, 0)));
    ProcessResult r = Report(peer.port(), 20000);
    peer.Join();
    ASSERT_EQ(0, r.exit_code) << r.out;

    // The record the tool should have sent, computed here from the same file.
    rc_digests_t digests;
    ASSERT_EQ(RC_DIGESTS_OK, compute_rc_digests(dir.file("report.txt"), digests, rc_digest_opts(RC_DIGEST_UNTHROTTLED)));
    RSInfo info;
    fill_rc_info(digests, "report.txt", kUrl, info);
    uint32_t pieces = 3;  // 70,000 bytes in 32 KiB pieces
    ASSERT_EQ(55 + 16 * pieces, info.TptFile.GetDataLen());
    uint32_t length = 144 + static_cast<uint32_t>(strlen(kUrl) + strlen(ZQ_RC_REFERRER_URL) + strlen("report.txt") +
                                                  strlen("txt")) + 55 + 16 * pieces;

    std::string request = peer.Request();
    ASSERT_EQ(length, request.size());
    // 00 00 00 64, 01 2D D6 68, sequence 1, flag 1, length, 16 zero bytes, 00 01 09 07.
    EXPECT_EQ(PacketHead(length, 0x10907, 1), request.substr(0, 40));
    DataBuf expected;
    ASSERT_TRUE(expected.Resize(4096));
    ASSERT_TRUE(info.Pack2Buf(expected));
    std::string body(reinterpret_cast<const char*>(expected.GetBegPnt()), expected.GetDataLen());
    // Everything but the time stamp.
    EXPECT_EQ(body.substr(4), request.substr(44));
}

TEST_F(ReportRun, ResponseSplitIntoHeaderAndBodyIsDecoded) {
    ScriptedPeer peer([](ScriptedPeer& p, int fd) {
        p.ReadRequest(fd);
        std::string reply = Response(11, 12);
        zqtest::SendAll(fd, reply.substr(0, 40));
        usleep(200000);
        zqtest::SendAll(fd, reply.substr(40));
        p.WaitForClose(fd, 20000);
    });
    ProcessResult r = Report(peer.port(), 20000);
    EXPECT_EQ(0, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, Log().find("rc _response: dwresult=11, dwerrno=12\n"));
}

TEST_F(ReportRun, EchoedRequestCommandIsUnexpectedButTheResponseBehindItCounts) {
    ScriptedPeer peer(Answer(Packet(0x10907, "echo") + Response(0, 5)));
    ProcessResult r = Report(peer.port(), 20000);
    EXPECT_EQ(0, r.exit_code) << r.out;
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[err] datareport_svr.")) << log;
    EXPECT_NE(std::string::npos, log.find("unexpected cmd=0x10907\n")) << log;
    EXPECT_NE(std::string::npos, log.find("rc _response: dwresult=0, dwerrno=5\n")) << log;
}

TEST_F(ReportRun, LargestResponseIsAccepted) {
    ScriptedPeer peer(Answer(Response(1, 2, 524288)));
    ProcessResult r = Report(peer.port(), 20000);
    EXPECT_EQ(0, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, Log().find("rc _response: dwresult=1, dwerrno=2\n"));
}

TEST_F(ReportRun, AllBitsSetResultIsLoggedAsMinusOne) {
    ScriptedPeer peer(Answer(Response(4294967295u, 0)));
    ProcessResult r = Report(peer.port(), 20000);
    EXPECT_EQ(0, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, Log().find("rc _response: dwresult=-1, dwerrno=0\n"));
}

// Not answered -------------------------------------------------------------------

TEST_F(ReportRun, RefusedConnectionPrintsTheErrorAndExitsTwo) {
    ProcessResult r = Report(zqtest::RefusedPort(), 20000);
    EXPECT_EQ(2, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("connect to zq_server 127.0.0.1 error\n")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("start send info")) << r.out;
    EXPECT_NE(std::string::npos, Log().find("[info] datareport_svr.")) << Log();
}

TEST_F(ReportRun, PeerThatAcceptsAndClosesEndsTheRunWithoutWaiting) {
    ScriptedPeer peer([](ScriptedPeer&, int) {});
    // A wait that would outlast the test's own bound: only the close can end it.
    ProcessResult r = Report(peer.port(), 600000);
    EXPECT_EQ(2, r.exit_code) << r.out;
    std::string line = "connection to zq_server 127.0.0.1:" + std::to_string(peer.port()) + " closed before a response\n";
    EXPECT_NE(std::string::npos, r.out.find(line)) << r.out;
    EXPECT_NE(std::string::npos, Log().find(line)) << Log();
}

TEST_F(ReportRun, SilentPeerEndsInTheTimeout) {
    ScriptedPeer peer(Silent());
    long ms = 0;
    ProcessResult r = Report(peer.port(), 500, "report.txt", &ms);
    EXPECT_EQ(2, r.exit_code) << r.out;
    EXPECT_GE(ms, 500);
    std::string line = "report to zq_server 127.0.0.1:" + std::to_string(peer.port()) + " timed out after 500 ms\n";
    EXPECT_NE(std::string::npos, r.out.find(line)) << r.out;
    EXPECT_NE(std::string::npos, Log().find(line)) << Log();
    // The peer saw the whole request, then the tool's close.
    peer.Join();
    EXPECT_EQ(0x10907u, zqtest::ReadBigEndian32(peer.Request(), 36));
}

TEST_F(ReportRun, LengthFieldsOutsideTheLimitsAreInvalid) {
    for (uint32_t length : {39u, 524289u}) {
        ScriptedPeer peer(Answer(PacketHead(length, 0x10908) + BigEndian32(0) + BigEndian32(0)));
        ProcessResult r = Report(peer.port(), 600000);
        EXPECT_EQ(2, r.exit_code) << length << r.out;
        std::string log = Log();
        EXPECT_NE(std::string::npos, log.find("invalid packet, len=" + std::to_string(length) + ", cmd=0x10908\n"))
            << log;
        EXPECT_EQ(std::string::npos, log.find("rc _response")) << log;
        EXPECT_NE(std::string::npos, r.out.find("closed before a response")) << r.out;
    }
}

TEST_F(ReportRun, ShortResponseIsDroppedAndTheWaitTimesOut) {
    ScriptedPeer peer(Answer(PacketHead(44, 0x10908) + BigEndian32(0)));
    ProcessResult r = Report(peer.port(), 500);
    EXPECT_EQ(2, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("timed out after 500 ms")) << r.out;
    EXPECT_EQ(std::string::npos, Log().find("rc _response")) << Log();
}

// Nothing to report ----------------------------------------------------------------

TEST_F(ReportRun, MissingFileStillConnectsSendsNothingAndExitsOne) {
    ScriptedPeer peer([](ScriptedPeer& p, int fd) { p.WaitForClose(fd, 20000); });
    ProcessResult r = Report(peer.port(), 20000, "missing.bin");
    peer.Join();
    EXPECT_EQ(1, r.exit_code) << r.out;
    EXPECT_TRUE(peer.Accepted());
    EXPECT_EQ("", peer.Rest());
    EXPECT_NE(std::string::npos, Log().find("(OnTcpConnOut): connected to 127.0.0.1\n")) << Log();
    EXPECT_EQ(std::string::npos, r.out.find("start send info")) << r.out;
}

TEST_F(ReportRun, MissingFileExitsOneWhateverTheConnectionDid) {
    ProcessResult r = Report(zqtest::RefusedPort(), 20000, "missing.bin");
    EXPECT_EQ(1, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("connect to zq_server 127.0.0.1 error\n")) << r.out;
}

// Signals --------------------------------------------------------------------------

TEST_F(ReportRun, TerminationSignalWhileWaitingExitsWith128PlusTheSignal) {
    for (int sig : {SIGINT, SIGTERM}) {
        ScriptedPeer peer([this, sig](ScriptedPeer& p, int fd) {
            p.ReadRequest(fd);
            child.Signal(sig);
            p.WaitForClose(fd, 20000);
        });
        ProcessResult r = Report(peer.port(), 600000);
        EXPECT_EQ(128 + sig, r.exit_code) << sig << r.out;
        std::string log = Log();
        EXPECT_NE(std::string::npos, log.find(", caught sig:" + std::to_string(sig) + ", server is stopping\n"))
            << log;
        EXPECT_EQ(std::string::npos, log.find("rc _response")) << log;
    }
}

TEST_F(ReportRun, InterruptDuringTheComputationDoesNotStopTheReport) {
    std::string path = dir.file("big.bin");
    zqtest::WriteSparseFile(path, 16u << 20, {{0, "head"}, {(16u << 20) - 4, "tail"}});
    std::string real = std::filesystem::canonical(path).string();
    ScriptedPeer peer(Answer(Response(0, 0)));
    WriteConf(peer.port(), 20000);
    ASSERT_TRUE(Start("big.bin"));
    // The file is open only while its digests are computed.
    bool reading = false;
    for (int i = 0; i < 20000 && !reading; ++i) {
        reading = child.HasOpen(real);
        if (!reading) usleep(1000);
    }
    ASSERT_TRUE(reading);
    ASSERT_TRUE(child.Signal(SIGINT));
    ProcessResult r = child.Wait(30000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(0, r.exit_code) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("complete compute")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("rc _response: dwresult=0, dwerrno=0\n")) << r.out;
    EXPECT_NE(std::string::npos, Log().find("caught sig:" + std::to_string(SIGINT) + ", server is stopping")) << Log();
}

TEST_F(ReportRun, BrokenPipeSignalNeverEndsTheTool) {
    ScriptedPeer peer([this](ScriptedPeer& p, int fd) {
        p.ReadRequest(fd);
        child.Signal(SIGPIPE);
        usleep(100000);
        zqtest::SendAll(fd, Response(0, 0));
        p.WaitForClose(fd, 20000);
    });
    ProcessResult r = Report(peer.port(), 20000);
    EXPECT_EQ(0, r.term_signal);
    EXPECT_EQ(0, r.exit_code) << r.out;
}

}  // namespace
