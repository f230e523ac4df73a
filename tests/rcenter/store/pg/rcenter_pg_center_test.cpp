// Centers sharing one PostgreSQL database, as built programs over loopback:
// the same reports through two centers at once, a database stopped under
// load and started again, and a store copied from SQLite to PostgreSQL and
// back with zq_lookup.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deadline.h"
#include "pg_server.h"
#include "rc_record_format.h"
#include "rc_sqlite_store.h"
#include "rcenter_test_util.h"
#include "report_wire.h"

namespace {

using rctest::Answer;
using rctest::MakeInfo;

// Files 1..files, each reported from urls URLs, as request packets.
std::vector<std::string> Requests(int files, int urls) {
    std::vector<std::string> out;
    for (int f = 1; f <= files; ++f)
        for (int u = 0; u < urls; ++u) {
            RSInfo info;
            MakeInfo(info, 50000 + f * 100, f);
            info.Url = "http://m" + std::to_string(u) + ".example/f" + std::to_string(f);
            out.push_back(rctest::RequestOf(info, static_cast<uint32>(out.size() + 1)));
        }
    return out;
}

// Sends each packet in turn on one connection and reads its answer.
std::vector<Answer> SendAll(unsigned short port, const std::vector<std::string>& packets,
                            const std::vector<size_t>& order) {
    std::vector<Answer> answers(packets.size());
    int fd = zqtest::PlainConnect(port);
    if (fd < 0) return answers;
    for (size_t i : order) {
        if (!zqtest::SendAll(fd, packets[i])) break;
        answers[i] = rctest::ReadAnswer(fd);
        if (!answers[i].received) break;
    }
    close(fd);
    return answers;
}

std::string CenterConfig(const std::string& url) { return "db_url: " + url + "\ndb_timeout_ms: 2000\n"; }

zqtest::ProcessResult Lookup(const std::vector<std::string>& args, int timeoutMs = 120000) {
    return zqtest::RunProcess(zqtest::BinPath("zq_lookup"), args, "/", timeoutMs);
}

class RcPgCenters : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_pg.Start()) << m_pg.Error(); }
    zqtest::PgServer m_pg;
};

TEST_F(RcPgCenters, SameReportsThroughTwoCentersAtOnceAreAcceptedOncePerFidAndUrl) {
    rctest::Server one, two;
    // Trusted connections ignore the password; the log must not show it.
    std::string uri = m_pg.Uri();
    uri.replace(uri.find("postgres@"), 9, "postgres:s3cret@");
    ASSERT_TRUE(one.Start(CenterConfig(uri))) << one.ErrLog();
    ASSERT_TRUE(two.Start(CenterConfig(m_pg.ConnString()))) << two.ErrLog();
    const std::vector<std::string> packets = Requests(100, 3);
    const int kClients = 8;
    std::vector<std::vector<Answer> > answers(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c]() {
            std::vector<size_t> order(packets.size());
            for (size_t i = 0; i < order.size(); ++i) order[i] = (c % 2 == 0) ? i : order.size() - 1 - i;
            answers[c] = SendAll(c < kClients / 2 ? one.Port() : two.Port(), packets, order);
        });
    for (auto& t : clients) t.join();

    std::vector<int> accepted(packets.size(), 0);
    for (const auto& client : answers)
        for (size_t i = 0; i < packets.size(); ++i) {
            ASSERT_TRUE(client[i].received) << i;
            ASSERT_TRUE(client[i].result == RC_RESULT_ACCEPTED || client[i].result == RC_RESULT_KNOWN)
                << client[i].result << "/" << client[i].err;
            if (client[i].result == RC_RESULT_ACCEPTED) ++accepted[i];
        }
    for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(accepted[i], 1) << "report " << i;

    zqtest::ProcessResult r = Lookup({"--db", m_pg.ConnString(), "--export-tsv"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(rctest::Lines(r.out).size(), packets.size());
    EXPECT_EQ(one.ErrLog().find("s3cret"), std::string::npos) << one.ErrLog();
    EXPECT_NE(one.ErrLog().find("postgres:***@"), std::string::npos) << one.ErrLog();
    EXPECT_EQ(one.Stop().exit_code, 0);
    EXPECT_EQ(two.Stop().exit_code, 0);
}

// The status of one HTTP request on a connection of its own; 0 for none.
int HttpStatus(unsigned short port, const std::string& request) {
    int fd = zqtest::PlainConnect(port);
    if (fd < 0) return 0;
    std::string head;
    zqtest::Deadline deadline(rctest::kIoTimeoutMs);
    if (zqtest::SendAll(fd, request)) {
        while (head.find("\r\n") == std::string::npos && zqtest::WaitReadable(fd, deadline.MsLeft())) {
            char chunk[512];
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0) break;
            head.append(chunk, static_cast<size_t>(n));
        }
    }
    close(fd);
    return head.size() > 12 ? std::stoi(head.substr(9, 3)) : 0;
}

TEST_F(RcPgCenters, ARemovalThroughOneCenterIsForgottenByTheOtherWhichAcceptsTheReportAnew) {
    const std::string key = "00112233445566778899aabbccddeeff";
    rctest::Server one, two;
    ASSERT_TRUE(one.Start(CenterConfig(m_pg.ConnString()) + "sig_key: " + key + "\nhttp_listen_port: 0\n"));
    std::string line;
    ASSERT_TRUE(one.Process().WaitForLine("http on 127.0.0.1:", &line, rctest::kStartTimeoutMs));
    unsigned short http = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
    ASSERT_TRUE(two.Start(CenterConfig(m_pg.ConnString()))) << two.ErrLog();

    RSInfo info;
    MakeInfo(info, 300000, 1);
    // The second answer comes from the other center's cache.
    ASSERT_EQ(rctest::Exchange(two.Port(), rctest::RequestOf(info, 1)).result, static_cast<uint32>(RC_RESULT_ACCEPTED));
    ASSERT_EQ(rctest::Exchange(two.Port(), rctest::RequestOf(info, 2)).result, static_cast<uint32>(RC_RESULT_KNOWN));

    const std::string path = "/v1/resources/" + info.FID.Hex() + "/remove";
    zqtest::ProcessResult minted =
        zqtest::RunProcess(zqtest::BinPath("zq_sig"), {"mint", "--key", key, "--user", "7", "--path", path}, "/");
    std::string body = "user=7&sig=" + minted.out.substr(0, minted.out.find('\n'));
    ASSERT_EQ(HttpStatus(http, "POST " + path + " HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body),
              200);
    // The notice travels through the database to the other center's store
    // thread and on to its loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(zqtest::UnderSanitizers() ? 1500 : 500));
    EXPECT_EQ(rctest::Exchange(two.Port(), rctest::RequestOf(info, 3)).result, static_cast<uint32>(RC_RESULT_ACCEPTED));
}

TEST_F(RcPgCenters, ADatabaseStoppedUnderLoadFailsReportsWithinTheBoundAndLosesNoneAccepted) {
    rctest::Server center;
    ASSERT_TRUE(center.Start(CenterConfig(m_pg.ConnString()) + "http_listen_port: 0\n")) << center.ErrLog();
    std::string line;
    ASSERT_TRUE(center.Process().WaitForLine("http on 127.0.0.1:", &line, rctest::kStartTimeoutMs));
    unsigned short http = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
    const std::vector<std::string> packets = Requests(800, 1);
    const int kClients = 4;
    std::atomic<int> unanswered{0}, refused{0}, slow{0}, wrong{0};
    std::atomic<bool> restarted{false};
    std::atomic<int> acceptedAfterRestart{0};
    zqtest::Deadline deadline(60000);
    // Each client sends its share, one at a time, and sends a report that
    // was not stored again until it is, as a client would.
    auto client = [&](int c) {
        int fd = zqtest::PlainConnect(center.Port());
        if (fd < 0) {
            ++unanswered;
            return;
        }
        for (size_t i = c; i < packets.size() && !deadline.Passed(); i += kClients) {
            for (;;) {
                auto t0 = std::chrono::steady_clock::now();
                Answer a;
                if (zqtest::SendAll(fd, packets[i])) a = rctest::ReadAnswer(fd);
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
                if (!a.received) {
                    ++unanswered;
                    close(fd);
                    return;
                }
                if (ms.count() > 2000 + 1500) ++slow;
                if (a.result == RC_RESULT_NOT_STORED && a.err != 0 && !deadline.Passed()) {
                    ++refused;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    continue;
                }
                if (a.result != RC_RESULT_ACCEPTED && a.result != RC_RESULT_KNOWN) ++wrong;
                if (a.result == RC_RESULT_ACCEPTED && restarted) ++acceptedAfterRestart;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(fd);
    };
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) clients.emplace_back(client, c);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(m_pg.Stop(true)) << m_pg.Error();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpStatus(http, "GET /v1/resources/" + std::string(40, 'a') + " HTTP/1.1\r\n\r\n"), 503);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count(),
              2000 + 1500);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(m_pg.Start()) << m_pg.Error();
    restarted = true;
    for (auto& t : clients) t.join();

    EXPECT_FALSE(deadline.Passed());
    EXPECT_EQ(unanswered.load(), 0);
    EXPECT_EQ(slow.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(refused.load(), 0);
    EXPECT_GT(acceptedAfterRestart.load(), 0);
    // Every report was answered accepted or already known in the end: every
    // one is stored, once.
    zqtest::ProcessResult r = Lookup({"--db", m_pg.ConnString(), "--export-tsv"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::set<std::string> stored;
    for (const std::string& line : rctest::Lines(r.out))
        for (const auto& f : rctest::Fields(line))
            if (f.first == "url") {
                EXPECT_TRUE(stored.insert(f.second).second) << f.second;
            }
    EXPECT_EQ(stored.size(), packets.size());
    std::string log = center.ErrLog();
    EXPECT_NE(log.find("unreachable"), std::string::npos) << log;
    EXPECT_NE(log.find("reachable again"), std::string::npos) << log;
}

TEST_F(RcPgCenters, AStoreCopiedToPostgresqlAndBackReadsTheSameAndACopyAgainAddsNothing) {
    zqtest::TempDir dir;
    const std::string from = dir.file("from.db"), back = dir.file("back.db");
    {
        CRcSqliteStore store(from);
        std::string err;
        ASSERT_EQ(store.Open(RC_STORE_WRITE, err), 0) << err;
        rc_store_batch_t batch;
        for (uint32 f = 1; f <= 10000; ++f) {
            RSInfo info;
            MakeInfo(info, 50000 + f, f, "f" + std::to_string(f) + ".bin");
            rc_report_t report;
            std::string body = rctest::BodyOf(info);
            ASSERT_EQ(rc_decode_report(reinterpret_cast<const unsigned char*>(body.data()), body.size(), report), 0u);
            rc_store_report_t r;
            rc_resource_of(report, r.Resource, r.Where);
            r.Now = 1000 + f;
            batch.Reports.push_back(r);
            if (f % 7 == 0) {
                r.Where.Url += "?mirror";
                r.Now += 5;
                batch.Reports.push_back(r);
                batch.Tallies.push_back(rc_store_tally_t{r.Resource.FID, 3, 99999});
            }
            if (batch.Reports.size() >= 1000 || f == 10000) {
                std::vector<rc_report_outcome_t> outcomes;
                ASSERT_EQ(store.Commit(batch, outcomes, err), 0) << err;
                batch = rc_store_batch_t();
            }
        }
    }
    zqtest::ProcessResult r = Lookup({"--db", from, "--copy-to", m_pg.Uri()});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("copied 11428 locations"), std::string::npos) << r.out;
    r = Lookup({"--db", from, "--copy-to", m_pg.Uri()});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("copied 0 locations, 0 counts raised"), std::string::npos) << r.out;
    r = Lookup({"--db", m_pg.Uri(), "--copy-to", back});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

    for (const std::vector<std::string>& query :
         {std::vector<std::string>{"--export-tsv"}, std::vector<std::string>{"--json", "--recent", "20"}}) {
        std::vector<std::string> outs;
        for (const std::string& db : {from, m_pg.Uri(), back}) {
            std::vector<std::string> args = {"--db", db};
            args.insert(args.end(), query.begin(), query.end());
            zqtest::ProcessResult q = Lookup(args);
            ASSERT_EQ(q.exit_code, 0) << q.err;
            outs.push_back(q.out);
        }
        EXPECT_EQ(outs[0], outs[1]);
        EXPECT_EQ(outs[0], outs[2]);
    }
}

}  // namespace
