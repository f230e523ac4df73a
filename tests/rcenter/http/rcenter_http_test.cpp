// zq_rcenter's HTTP API through the real server on 127.0.0.1: what it reads
// from the store, what a signed removal forgets, pipelining, peers that stall
// or never read while reports are served; and, with the server in this
// process, a report and a removal of one FID within one turn of its loop.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "deadline.h"
#include "rc_server.h"
#include "rc_sqlite_store.h"
#include "rcenter_test_util.h"
#include "req_sig.h"
#include "str_util.h"

namespace {

using rctest::Exchange;
using rctest::RequestOf;
using rctest::Server;
using zqtest::PlainConnect;
using zqtest::SendAll;

const char kKey[] = "00112233445566778899aabbccddeeff";

uint32 U(uint32 v) { return v; }

struct Reply {
    int status = 0;
    std::string head, body;
};

// One answer framed by its Content-Length; bytes past it stay in buf.
Reply ReadReply(int fd, std::string& buf) {
    zqtest::Deadline deadline(rctest::kIoTimeoutMs);
    size_t end, len = 0;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos ||
           buf.size() < end + 4 + (len = std::stoul(buf.substr(buf.find("Content-Length: ") + 16)))) {
        char chunk[65536];
        ssize_t n = zqtest::WaitReadable(fd, deadline.MsLeft()) ? recv(fd, chunk, sizeof(chunk), 0) : -1;
        if (n <= 0) return Reply();
        buf.append(chunk, static_cast<size_t>(n));
    }
    Reply r{std::stoi(buf.substr(9, 3)), buf.substr(0, end + 2), buf.substr(end + 4, len)};
    buf.erase(0, end + 4 + len);
    return r;
}

Reply Http(unsigned short port, const std::string& request) {
    int fd = PlainConnect(port);
    std::string buf;
    Reply r = fd >= 0 && SendAll(fd, request) ? ReadReply(fd, buf) : Reply();
    if (fd >= 0) close(fd);
    return r;
}

// Reads until the peer's end: 0 at an orderly end, -1 at an error or the
// deadline (errno says which).
int ReadToEnd(int fd, std::string& got) {
    zqtest::Deadline deadline(rctest::kIoTimeoutMs);
    for (;;) {
        char chunk[4096];
        if (!zqtest::WaitReadable(fd, deadline.MsLeft())) {
            errno = ETIMEDOUT;
            return -1;
        }
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) return static_cast<int>(n);
        got.append(chunk, static_cast<size_t>(n));
    }
}

std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\n\r\n"; }

std::string Post(const std::string& path, const std::string& body, const std::string& type = "") {
    return "POST " + path + " HTTP/1.1\r\nContent-Type: " +
           (type.empty() ? "application/x-www-form-urlencoded" : type) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The HTTP API's port, or 0 when the server did not announce it.
unsigned short StartWithHttp(Server& server, const std::string& extra) {
    std::string line;
    if (!server.Start(extra + "http_listen_port: 0\n") ||
        !server.Process().WaitForLine("http on 127.0.0.1:", &line, rctest::kStartTimeoutMs))
        return 0;
    return static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
}

// A scrape of /metrics read by a real parser of the format: each sample's
// value by its line name (name{labels}); empty when it does not parse.
std::map<std::string, double> Scrape(unsigned short http, const zqtest::TempDir& dir, std::string* contentType) {
    Reply r = Http(http, Get("/metrics"));
    EXPECT_EQ(r.status, 200);
    std::string::size_type at = r.head.find("Content-Type: ");
    if (contentType != nullptr && at != std::string::npos)
        *contentType = r.head.substr(at + 14, r.head.find("\r\n", at) - at - 14);
    zqtest::WriteFile(dir.file("scrape.txt"), r.body);
    zqtest::ProcessResult parsed = zqtest::RunProcess(
        "/bin/sh", {"-c", "/usr/bin/python3 " ZQ_SOURCE_DIR "/tests/support/parse_metrics.py < scrape.txt"},
        dir.path());
    EXPECT_EQ(parsed.exit_code, 0) << parsed.err << r.body;
    std::map<std::string, double> samples;
    for (const std::string& line : rctest::Lines(parsed.out)) {
        std::string::size_type space = line.rfind(' ');
        samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return samples;
}

// What a client that reads slowly after "Connection: close" gets: the whole
// answer, never a reset that throws away its last bytes (urllib sends that
// header on every request).
TEST(RcenterHttpClose, ThirtyLongAnswersWithConnectionCloseArriveWhole) {
    Server server;
    const unsigned short http = StartWithHttp(server, "");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo info;
    rctest::MakeInfo(info, 4294967296ULL, 7);  // 8192 pieces: a 131,127-byte table
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    const std::string request =
        "GET /v1/resources/" + info.FID.Hex() + "/tpt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    int whole = 0;
    for (int i = 0; i < 30; ++i) {
        int fd = PlainConnect(http);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, request));
        usleep(20000);  // the server has written and closed before the first read
        std::string got;
        ReadToEnd(fd, got);
        close(fd);
        const size_t body = got.find("\r\n\r\n");
        if (body != std::string::npos && got.size() - body - 4 == info.TptFile.GetDataLen()) ++whole;
    }
    EXPECT_EQ(whole, 30);
}

// A client that sends more after the request the center ends on (here a
// few bytes once the center has ended) must still get the whole answer: a
// close with the answer not yet delivered and bytes still arriving is a
// reset that throws the rest of the answer away. A client that never
// closes is let go of after a bound.
TEST(RcenterHttpClose, BytesAfterTheLastRequestDoNotCostItsAnswerAndTheEndIsBounded) {
    Server server;
    const unsigned short http = StartWithHttp(server, "");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo info;
    rctest::MakeInfo(info, 629145600ULL, 7);  // a 38 KiB table
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    const std::string request = "GET /v1/resources/" + info.FID.Hex() + "/tpt HTTP/1.1\r\nConnection: close\r\n\r\n";
    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) {
        // A small window keeps most of the answer in the center's buffers.
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        const int window = 4096;
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof(window)), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(http);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
        ASSERT_TRUE(SendAll(fd, request));
    }
    usleep(100000);  // every answer is with the center's kernel, its connection ended
    for (int fd : fds) ASSERT_TRUE(SendAll(fd, "more"));
    usleep(50000);
    for (int fd : fds) {
        std::string got;
        EXPECT_EQ(ReadToEnd(fd, got), 0) << strerror(errno);
        const size_t body = got.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(got.size() - body - 4, info.TptFile.GetDataLen());
    }
    // The clients keep their ends open; only the scrape's own connection stays.
    zqtest::TempDir scratch;
    zqtest::Deadline deadline(10000);
    double open = -1;
    while (!deadline.Passed() && open != 1) {
        open = Scrape(http, scratch, nullptr)["zq_rcenter_open_connections{kind=\"http\"}"];
        if (open != 1) usleep(100000);
    }
    EXPECT_EQ(open, 1);
    for (int fd : fds) close(fd);
}

TEST(RcenterHttp, ServesTheStoredRecordAndForgetsItOnlyOnAValidSignedRemoval) {
    Server server;
    unsigned short http = StartWithHttp(server, std::string("sig_key: ") + kKey + "\n");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo info;
    rctest::MakeInfo(info, 300000, 1);
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    const std::string fid = info.FID.Hex(), res = "/v1/resources/" + fid;
    auto lookup = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--db", server.File("data/rcenter.db")});
        return zqtest::RunProcess(zqtest::BinPath("zq_lookup"), args, "/").out;
    };
    Reply r = Http(http, Get(res));
    EXPECT_EQ(r.status, 200);
    // The record as zq_lookup shows it with its health, and no page after this one.
    std::string record = lookup({"--json", "--health", fid});
    ASSERT_GE(record.size(), 2u);
    EXPECT_EQ(r.body, record.substr(0, record.size() - 2) + ", \"next\": null}\n");
    r = Http(http, Get(res + "/tpt"));
    lookup({"--tpt-out", server.File("t.tpt"), fid});
    EXPECT_NE(r.head.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
    EXPECT_EQ(r.body, zqtest::ReadFile(server.File("t.tpt")));
    // The store's counts as the loop last read them: a read follows a write within seconds.
    std::string stats;
    for (zqtest::Deadline deadline(5000); stats.find("\"resources\": 1,") == std::string::npos && !deadline.Passed(); usleep(50000))
        stats = Http(http, Get("/v1/stats")).body;
    EXPECT_EQ(stats.find("{\"resources\": 1, \"locations\": 1, \"reports\": 1, "), 0u) << stats;

    zqtest::ProcessResult minted = zqtest::RunProcess(
        zqtest::BinPath("zq_sig"), {"mint", "--key", kKey, "--user", "7", "--path", res + "/remove"}, "/");
    std::string sig = minted.out.substr(0, minted.out.find('\n')), bad = sig;
    bad[20] = bad[20] == '0' ? '1' : '0';
    r = Http(http, Post(res + "/remove", "user=7&sig=" + bad));
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(r.body.find("authentication failed"), std::string::npos) << r.body;
    EXPECT_EQ(Http(http, Get(res)).status, 200);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 2)).result, U(RC_RESULT_KNOWN));

    EXPECT_EQ(Http(http, Get(res + "/download")).status, 302);  // held by the doors' cache now
    EXPECT_EQ(Http(http, Post(res + "/remove", "user=7&sig=" + sig)).status, 200);
    EXPECT_EQ(Http(http, Get(res)).status, 404);
    EXPECT_EQ(Http(http, Get(res + "/download")).status, 404);
    EXPECT_EQ(lookup({fid}), "");
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 3)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(server.Stop().exit_code, 0);
    EXPECT_EQ(server.ErrLog().find(kKey), std::string::npos);
}

TEST(RcenterHttp, AUsedTokenIsRefusedAsReplayedAfterTheResourceIsBackAndAFreshOneRemovesIt) {
    Server server;
    zqtest::WriteFile(server.File("sig_key"), std::string(kKey) + "\n");
    ASSERT_EQ(chmod(server.File("sig_key").c_str(), 0600), 0);
    unsigned short http = StartWithHttp(server, "sig_key_file: sig_key\n");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo info;
    rctest::MakeInfo(info, 300000, 3);
    const std::string res = "/v1/resources/" + info.FID.Hex();
    auto mint = [&] {
        zqtest::ProcessResult r = zqtest::RunProcess(
            zqtest::BinPath("zq_sig"), {"mint", "--key-file", server.File("sig_key"), "--user", "7", "--path",
                                        res + "/remove"}, "/");
        return r.out.substr(0, r.out.find('\n'));
    };
    const std::string sig = mint();
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(Http(http, Post(res + "/remove", "user=7&sig=" + sig)).status, 200);
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 2)).result, U(RC_RESULT_ACCEPTED));
    Reply r = Http(http, Post(res + "/remove", "user=7&sig=" + sig));
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(r.body.find("replayed"), std::string::npos) << r.body;
    EXPECT_EQ(Http(http, Get(res)).status, 200);
    EXPECT_EQ(Http(http, Post(res + "/remove", "user=7&sig=" + mint())).status, 200);
    EXPECT_EQ(Http(http, Get(res)).status, 404);
}

TEST(RcenterHttp, MetricsParseAndTheirCountersMoveWithReports) {
    Server server;
    unsigned short http = StartWithHttp(server, "");
    ASSERT_NE(http, 0) << server.Process().Err();
    zqtest::TempDir dir;
    std::string type;
    std::map<std::string, double> before = Scrape(http, dir, &type);
    EXPECT_EQ(type, "text/plain; version=0.0.4; charset=utf-8");
    const std::string accepted = "zq_rcenter_reports_total{outcome=\"accepted\"}";
    const std::string rejected = "zq_rcenter_reports_total{outcome=\"rejected\"}";
    ASSERT_EQ(before.count(accepted), 1u);
    EXPECT_EQ(before[accepted], 0);

    RSInfo info;
    rctest::MakeInfo(info, 300000, 4);
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    info.Size += 1;
    ASSERT_EQ(Exchange(server.Port(), RequestOf(info, 2)).result, U(RC_RESULT_REJECTED));
    std::map<std::string, double> after = Scrape(http, dir, nullptr);
    EXPECT_EQ(after[accepted], 1);
    EXPECT_EQ(after[rejected], before[rejected] + 1);
    EXPECT_EQ(after["zq_rcenter_report_answer_seconds_count{}"], 2);
    EXPECT_EQ(after["zq_rcenter_report_answer_seconds_bucket{le=\"+Inf\"}"], 2);
    EXPECT_GE(after["zq_rcenter_commit_seconds_count{}"], 1);
    EXPECT_EQ(after["zq_rcenter_http_requests_total{status=\"200\"}"], 1) << "the first scrape";
    EXPECT_EQ(after["zq_rcenter_open_connections{kind=\"http\"}"], 1) << "this scrape's own";
    EXPECT_EQ(after["zq_rcenter_cache_entries{}"], 1) << "the accepted report's key, not the cache's own entry";
    // The store's gauges follow within a statistics interval.
    zqtest::Deadline deadline(rctest::kIoTimeoutMs);
    while (after["zq_rcenter_store_resources{}"] != 1 && deadline.MsLeft() > 0) {
        usleep(50000);
        after = Scrape(http, dir, nullptr);
    }
    EXPECT_EQ(after["zq_rcenter_store_resources{}"], 1);
    EXPECT_EQ(after["zq_rcenter_store_locations{}"], 1);
}

TEST(RcenterHttp, PipelinedRequestsAreAnsweredInOrderAndTheLastClosesAfterItsAnswer) {
    Server server;
    unsigned short http = StartWithHttp(server, "");
    ASSERT_NE(http, 0) << server.Process().Err();
    const std::string res = "/v1/resources/" + std::string(40, 'a');
    int fd = PlainConnect(http);
    ASSERT_TRUE(SendAll(fd, Get("/v1/stats") + Get(res) + Get(res.substr(0, 20)) + "DELETE " + res +
                                " HTTP/1.1\r\n\r\n" + Post(res + "/remove", "user=1&sig=00") +
                                "POST " + res + "/remove HTTP/1.1\r\nContent-Length: 9000\r\n\r\n" + Get("/v1/stats")));
    std::string buf;
    std::vector<int> statuses;
    for (int i = 0; i < 6; ++i) {
        Reply r = ReadReply(fd, buf);
        statuses.push_back(r.status);
        if (r.status == 403) {
            EXPECT_NE(r.body.find("signing not configured"), std::string::npos) << r.body;
        }
    }
    EXPECT_EQ(statuses, (std::vector<int>{200, 404, 400, 405, 403, 413}));
    EXPECT_TRUE(rctest::ClosedByPeer(fd, 5000));
    EXPECT_TRUE(buf.empty());
    close(fd);
}

TEST(RcenterHttp, AStalledClientTimesOutAndOneThatNeverReadsIsDroppedWhileReportsAreServed) {
    Server server;
    unsigned short http = StartWithHttp(server, "inactive_timeout_ms: 300\n");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo big;
    rctest::MakeInfo(big, 4294967296ULL, 2);  // a 128 KiB piece table
    ASSERT_EQ(Exchange(server.Port(), RequestOf(big, 1)).result, U(RC_RESULT_ACCEPTED));
    int stalled = PlainConnect(http), deaf = PlainConnect(http);
    ASSERT_TRUE(SendAll(stalled, "GET /v1/sta"));
    std::string many;
    for (int i = 0; i < 150; ++i) many += Get("/v1/resources/" + big.FID.Hex() + "/tpt");
    ASSERT_TRUE(SendAll(deaf, many));  // 19 MiB of answers: past the buffers and the bound
    RSInfo small;
    rctest::MakeInfo(small, 1000, 3);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(small, 1)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_TRUE(rctest::ClosedByPeer(stalled, 5000));
    zqtest::Deadline deadline(10000);
    std::string stats;
    while (stats.find("\"dropped_connections\": 1") == std::string::npos && !deadline.Passed())
        stats = Http(http, Get("/v1/stats")).body;
    EXPECT_NE(stats.find("\"dropped_connections\": 1"), std::string::npos) << stats;
    close(stalled);
    close(deaf);
}

TEST(RcenterHttpTurn, ARemovalAfterAReportOfTheSameFidInOneTurnRemovesIt) {
    zqtest::TempDir dir;
    rc_config_t config;
    config.db_path = dir.file("rc.db");
    config.http_enabled = config.sig_key_set = true;
    ASSERT_EQ(BinBufFromHexExact(config.sig_key, sizeof(config.sig_key), kKey, 32), 0);
    std::string err;
    CRcSqliteStore store;
    CRcDedup dedup;
    ASSERT_EQ(store.Open(config.db_path, RC_STORE_WRITE, err), 0) << err;
    ASSERT_EQ(dedup.Open(0, 1048576, err), 0) << err;
    CRcenterServer server(config, store, dedup);
    ASSERT_EQ(server.Start(err), 0) << err;
    auto turns = [&server](int n) { while (n-- > 0) server.RunOnce(); };
    // The store answers from its own thread: turn until a reply can be read.
    auto turnUntilReadable = [&server](int fd) {
        for (int i = 0; i < 5000 && !zqtest::WaitReadable(fd, 0); ++i) server.RunOnce();
    };
    int report = PlainConnect(server.GetListenAddr().GetPort());
    int http = PlainConnect(server.GetHttpListenAddr().GetPort());
    turns(20);

    RSInfo info;
    rctest::MakeInfo(info, 300000, 4);
    const std::string path = "/v1/resources/" + info.FID.Hex() + "/remove";
    stSigFields fields = {{0}, static_cast<uint32>(time(nullptr)), 7};
    std::string sig;
    ASSERT_EQ(SigMint(config.sig_key, fields, path, sig), 0);
    // Loopback delivers at once, so both are ready in the same turn, the report first.
    ASSERT_TRUE(SendAll(report, RequestOf(info, 1)));
    ASSERT_TRUE(SendAll(http, Post(path, "user=7&sig=" + sig)));
    turnUntilReadable(report);
    turnUntilReadable(http);
    EXPECT_EQ(rctest::ReadAnswer(report, 1000).result, U(RC_RESULT_ACCEPTED));
    std::string buf;
    EXPECT_EQ(ReadReply(http, buf).status, 200);
    // The server's handle is its store thread's: read through one of our own.
    CRcSqliteStore reader;
    ASSERT_EQ(reader.Open(config.db_path, RC_STORE_READ, err), 0) << err;
    std::vector<rc_resource_t> found;
    ASSERT_EQ(reader.FindFid(info.FID, found, err), 0) << err;
    EXPECT_TRUE(found.empty());
    ASSERT_TRUE(SendAll(report, RequestOf(info, 2)));
    turnUntilReadable(report);
    EXPECT_EQ(rctest::ReadAnswer(report, 1000).result, U(RC_RESULT_ACCEPTED));
    close(report);
    close(http);
}

}  // namespace

namespace {

// Another process's write transaction on the store, held until Release.
class ForeignWriteLock {
public:
    explicit ForeignWriteLock(const std::string& db) {
        // The server's own commits hold the lock for moments too.
        if (sqlite3_open(db.c_str(), &m_db) == SQLITE_OK && sqlite3_busy_timeout(m_db, 5000) == SQLITE_OK)
            m_held = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~ForeignWriteLock() {
        Release();
        sqlite3_close(m_db);
    }
    bool Held() const { return m_held; }
    void Release() {
        if (m_held) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_held = false;
    }

private:
    sqlite3* m_db = nullptr;
    bool m_held = false;
};

}  // namespace

TEST(RcenterHttp, ALookupIsAnsweredAtOnceWhileAReportWaitsForALockAnotherProcessHolds) {
    Server server;
    const unsigned short http = StartWithHttp(server, "inactive_timeout_ms: 500\n");
    ASSERT_NE(http, 0) << server.Process().Err();
    RSInfo known, waiting;
    rctest::MakeInfo(known, 300000, 1);
    rctest::MakeInfo(waiting, 300000, 2);
    ASSERT_EQ(Exchange(server.Port(), RequestOf(known, 1)).result, U(RC_RESULT_ACCEPTED));

    ForeignWriteLock lock(server.File("data/rcenter.db"));
    ASSERT_TRUE(lock.Held());
    int report = PlainConnect(server.Port());
    ASSERT_TRUE(SendAll(report, RequestOf(waiting, 2)));
    usleep(50 * 1000);
    const auto start = std::chrono::steady_clock::now();
    Reply r = Http(http, Get("/v1/resources/" + known.FID.Hex()));
    const long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 200);
    // The store waits up to 2 s for the lock; a loop that waited with it
    // would answer about then, not in a fraction of it (the margin is for
    // sanitizers on a busy machine).
    EXPECT_LT(ms, 1500);
    usleep(2900 * 1000);
    lock.Release();
    // Waiting past the inactivity timeout did not cost the report its answer.
    rctest::Answer a = rctest::ReadAnswer(report);
    ASSERT_TRUE(a.received);
    EXPECT_TRUE(a.result == U(RC_RESULT_ACCEPTED) || (a.result == U(RC_RESULT_NOT_STORED) && a.err == U(EBUSY)))
        << a.result << "/" << a.err;
    close(report);
}
