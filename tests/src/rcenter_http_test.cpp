// zq_rcenter's HTTP API through the real server on 127.0.0.1: the record and
// the piece table as the store holds them, signed removal and what it
// forgets, pipelined requests, peers that stall or never read, and the
// report port served all the while. One test runs the server in this process
// to order a report and a removal within one turn of its loop.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "deadline.h"
#include "rc_server.h"
#include "rcenter_test_util.h"
#include "req_sig.h"

namespace {

using rctest::ClosedByPeer;
using rctest::Exchange;
using rctest::MakeInfo;
using rctest::RequestOf;
using rctest::Server;
using zqtest::PlainConnect;
using zqtest::SendAll;

const char kSecretHex[] = "00112233445566778899aabbccddeeff";
const std::string kWithSecret = std::string("sig_key: ") + kSecretHex + "\n";

uint32 U(uint32 v) { return v; }

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
};

// One answer from fd, framed by its Content-Length; what is read past it
// stays in buf for the next. Status 0 when none came in time.
Reply ReadReply(int fd, std::string& buf) {
    zqtest::Deadline deadline(rctest::kIoTimeoutMs);
    Reply r;
    size_t end = 0, len = 0;
    for (;;) {
        end = buf.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t at = buf.find("Content-Length: ");
            len = at < end ? std::stoul(buf.substr(at + 16)) : 0;
            if (buf.size() >= end + 4 + len) break;
        }
        char chunk[65536];
        if (!zqtest::WaitReadable(fd, deadline.MsLeft())) return r;
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) return r;
        buf.append(chunk, static_cast<size_t>(n));
    }
    r.status = std::stoi(buf.substr(9, 3));
    r.head = buf.substr(0, end + 2);
    r.body = buf.substr(end + 4, len);
    buf.erase(0, end + 4 + len);
    return r;
}

Reply Http(unsigned short port, const std::string& request) {
    int fd = PlainConnect(port);
    std::string buf;
    Reply r;
    if (fd >= 0 && SendAll(fd, request)) r = ReadReply(fd, buf);
    if (fd >= 0) close(fd);
    return r;
}

std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n"; }

std::string Post(const std::string& path, const std::string& body,
                 const std::string& type = "application/x-www-form-urlencoded") {
    return "POST " + path + " HTTP/1.1\r\nHost: t\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Starts the server with the HTTP API on a free port; that port, or 0.
unsigned short StartWithHttp(Server& server, const std::string& extra) {
    if (!server.Start(extra + "http_listen_port: 0\n")) return 0;
    std::string line;
    if (!server.Process().WaitForLine("http on 127.0.0.1:", &line, rctest::kStartTimeoutMs)) return 0;
    return static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
}

std::string Lookup(const Server& server, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--db", server.File("data/rcenter.db")};
    all.insert(all.end(), args.begin(), args.end());
    return zqtest::RunProcess(zqtest::BinPath("zq_lookup"), all, "/").out;
}

TEST(RcenterHttp, LooksUpTheStoredRecordAndPieceTableAndCounts) {
    Server server;
    unsigned short http = StartWithHttp(server, "");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo info;
    MakeInfo(info, 300000, 1);
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    const std::string fid = info.FID.Hex();

    Reply r = Http(http, Get("/v1/resources/" + fid));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.head.find("Content-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(r.body, Lookup(server, {"--json", fid}));

    r = Http(http, Get("/v1/resources/" + fid + "/tpt"));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.head.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
    Lookup(server, {"--tpt-out", server.File("t.tpt"), fid});
    EXPECT_EQ(r.body, zqtest::ReadFile(server.File("t.tpt")));
    EXPECT_FALSE(r.body.empty());

    EXPECT_EQ(Http(http, Get("/v1/resources/" + std::string(40, '0'))).status, 404);
    EXPECT_EQ(Http(http, Get("/v1/resources/" + std::string(40, '0') + "/tpt")).status, 404);
    EXPECT_EQ(Http(http, Get("/v1/resources/" + fid.substr(1))).status, 400);
    r = Http(http, Get("/v1/stats"));
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("\"resources\": 1, \"locations\": 1, \"reports\": 1, \"accepted\": 1,"), std::string::npos)
        << r.body;
}

TEST(RcenterHttp, ASignedRemovalForgetsTheResourceAndABadSignatureChangesNothing) {
    Server server;
    unsigned short http = StartWithHttp(server, kWithSecret);
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo info;
    MakeInfo(info, 300000, 2);
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    const std::string path = "/v1/resources/" + info.FID.Hex() + "/remove";
    zqtest::ProcessResult minted = zqtest::RunProcess(
        zqtest::BinPath("zq_sig"), {"mint", "--key", kSecretHex, "--user", "7", "--path", path}, "/");
    ASSERT_EQ(minted.exit_code, 0) << minted.err;
    std::string sig = minted.out.substr(0, minted.out.find('\n'));

    std::string bad = sig;
    bad[20] = bad[20] == '0' ? '1' : '0';
    Reply r = Http(http, Post(path, "user=7&sig=" + bad));
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(r.body.find("authentication failed"), std::string::npos) << r.body;
    EXPECT_EQ(Http(http, Post(path, "user=8&sig=" + sig)).status, 403);
    EXPECT_EQ(Http(http, Get("/v1/resources/" + info.FID.Hex())).status, 200);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 2)).result, U(RC_RESULT_KNOWN));

    r = Http(http, Post(path, "user=7&sig=" + sig));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(Http(http, Get("/v1/resources/" + info.FID.Hex())).status, 404);
    EXPECT_EQ(Lookup(server, {info.FID.Hex()}), "");
    EXPECT_EQ(Http(http, Post(path, "user=7&sig=" + sig)).status, 404);
    // Neither the store nor the cache holds it: the same report is new again.
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 3)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_NE(Http(http, Get("/v1/stats")).body.find("\"removed\": 1"), std::string::npos);
    EXPECT_EQ(server.Stop().exit_code, 0);
    EXPECT_EQ(server.ErrLog().find(kSecretHex), std::string::npos);
}

TEST(RcenterHttp, PipelinedRequestsAreAnsweredInOrderAndTheLastClosesAfterItsAnswer) {
    Server server;
    unsigned short http = StartWithHttp(server, "");
    ASSERT_NE(http, 0) << server.Process().Err();
    const std::string res = "/v1/resources/" + std::string(40, 'a');
    int fd = PlainConnect(http);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, Get("/v1/stats") + Get(res) + Get(res.substr(0, 20)) +
                                "DELETE " + res + " HTTP/1.1\r\n\r\n" + Post(res + "/remove", "x", "text/plain") +
                                Post(res + "/remove", "user=1&sig=00") +
                                "POST " + res + "/remove HTTP/1.1\r\nContent-Length: 9000\r\n\r\n" + Get("/v1/stats")));
    std::string buf;
    std::vector<int> statuses;
    std::string forbidden;
    for (int i = 0; i < 7; ++i) {
        Reply r = ReadReply(fd, buf);
        statuses.push_back(r.status);
        if (r.status == 403) forbidden = r.body;
    }
    EXPECT_EQ(statuses, (std::vector<int>{200, 404, 400, 405, 403, 403, 413}));
    EXPECT_NE(forbidden.find("signing not configured"), std::string::npos) << forbidden;
    EXPECT_TRUE(buf.empty());
    EXPECT_TRUE(ClosedByPeer(fd, 5000));
    close(fd);
}

TEST(RcenterHttp, AStalledClientIsClosedAndOneThatNeverReadsIsDroppedWhileReportsAreServed) {
    Server server;
    unsigned short http = StartWithHttp(server, "inactive_timeout_ms: 300\n");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo big;
    MakeInfo(big, 4294967296ULL, 3);
    ASSERT_EQ(Exchange(server.Port(), RequestOf(big, 1)).result, U(RC_RESULT_ACCEPTED));

    int stalled = PlainConnect(http);
    int deaf = PlainConnect(http);
    ASSERT_GE(stalled, 0);
    ASSERT_GE(deaf, 0);
    ASSERT_TRUE(SendAll(stalled, "GET /v1/sta"));
    // About 19 MiB of piece tables, more than the socket buffers and the
    // server's bound together.
    std::string many;
    for (int i = 0; i < 150; ++i) many += Get("/v1/resources/" + big.FID.Hex() + "/tpt");
    ASSERT_TRUE(SendAll(deaf, many));
    RSInfo info;
    MakeInfo(info, 1000, 4);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_TRUE(ClosedByPeer(stalled, 5000));
    zqtest::Deadline deadline(10000);
    std::string stats;
    while (!deadline.Passed() && stats.find("\"dropped_connections\": 1") == std::string::npos) {
        stats = Http(http, Get("/v1/stats")).body;
        usleep(20000);
    }
    EXPECT_NE(stats.find("\"dropped_connections\": 1"), std::string::npos) << stats;
    EXPECT_NE(server.ErrLog().find("bytes of answers unread"), std::string::npos);
    close(stalled);
    close(deaf);
}

// The loop's turn, run here so a report and a removal of the same FID land
// in one turn, the report first.
void Turns(CRcenterServer& server, int n) {
    for (int i = 0; i < n; ++i) server.RunOnce();
}

TEST(RcenterHttpTurn, ARemovalAfterAReportOfTheSameFidInOneTurnRemovesIt) {
    zqtest::TempDir dir;
    stRcConfig config;
    config.db_path = dir.file("rc.db");
    config.max_fd_num = 64;
    config.http_enabled = true;
    config.sig_key_set = true;
    ASSERT_EQ(SigFromHex(kSecretHex, 32, config.sig_key, sizeof(config.sig_key)), 0);
    std::string err;
    CRcStore store;
    ASSERT_EQ(store.Open(config.db_path, RC_STORE_WRITE, err), 0) << err;
    CRcDedup dedup;
    ASSERT_EQ(dedup.Open(0, 1048576, err), 0) << err;
    CRcenterServer server(config, store, dedup);
    ASSERT_EQ(server.Start(err), 0) << err;
    int report = PlainConnect(server.GetListenAddr().GetPort());
    int http = PlainConnect(server.GetHttpListenAddr().GetPort());
    ASSERT_GE(report, 0);
    ASSERT_GE(http, 0);
    Turns(server, 20);

    RSInfo info;
    MakeInfo(info, 300000, 5);
    const std::string path = "/v1/resources/" + info.FID.Hex() + "/remove";
    stSigFields fields = {};
    fields.Time = static_cast<uint32>(time(nullptr));
    fields.User = 7;
    std::string sig;
    ASSERT_EQ(SigMint(config.sig_key, fields, path, sig), 0);
    ASSERT_TRUE(SendAll(report, RequestOf(info, 1)));
    ASSERT_TRUE(SendAll(http, Post(path, "user=7&sig=" + sig)));
    server.RunOnce();
    Turns(server, 50);
    EXPECT_EQ(rctest::ReadAnswer(report, 1000).result, U(RC_RESULT_ACCEPTED));
    std::string buf;
    EXPECT_EQ(ReadReply(http, buf).status, 200);
    std::vector<rc_resource_t> found;
    ASSERT_EQ(store.FindFid(info.FID, found, err), 0);
    EXPECT_TRUE(found.empty());

    ASSERT_TRUE(SendAll(report, RequestOf(info, 2)));
    Turns(server, 50);
    EXPECT_EQ(rctest::ReadAnswer(report, 1000).result, U(RC_RESULT_ACCEPTED));
    close(report);
    close(http);
}

}  // namespace
