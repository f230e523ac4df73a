// The checks of the locations against real mirrors on loopback: nginx with
// the right bytes, other bytes of the same size and no file, a closed port,
// and scripted mirrors that ignore ranges, redirect (to a mirror, to file://,
// to a private address, to themselves) or crawl. Each ends in its state; a
// mended mirror turns ok and one that loses the file missing; a checker
// without an allowed network fetches nothing from loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "mirrors.h"
#include "net.h"
#include "rc_checker.h"
#include "rc_digests.h"
#include "rc_record.h"
#include "rc_record_format.h"
#include "rc_sqlite_store.h"
#include "rcenter_test_util.h"
#include "tpt_verify.h"

namespace {

using zqtest::TempDir;

const size_t kFileSize = 1500000;

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// A file served by mirrors and its record in a SQLite store, each location
// a URL given by the test; the checker runs on a handle of its own.
class MirrorChecks : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"good", "other", "empty"}) mkdir(m_dir.file(d).c_str(), 0755);
        m_data = zqtest::PatternBytes(kFileSize, 5);
        zqtest::WriteFile(m_dir.file("good/clip.avi"), m_data);
        zqtest::WriteFile(m_dir.file("other/clip.avi"), zqtest::PatternBytes(kFileSize, 6));
        ASSERT_EQ(compute_rc_digests(m_dir.file("good/clip.avi"), m_digests, rc_digest_opts(RC_DIGEST_ONE_PASS)),
                  RC_DIGESTS_OK);
        rctest::Sent s = SentFrom("http://127.0.0.1/unused");
        m_fid = s.res.FID;
        std::string why;
        ASSERT_EQ(tpt_parse(s.res.Tpt.data(), s.res.Tpt.size(), m_table, why), 0) << why;
        ASSERT_GT(m_table.Pieces, 2u);
        std::string err;
        ASSERT_EQ(m_writer.Open(m_dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
        ASSERT_EQ(m_health.Open(m_dir.file("rc.db"), RC_STORE_HEALTH, err), 0) << err;
    }
    void TearDown() override {
        if (m_checker) m_checker->Stop();
    }

    rctest::Sent SentFrom(const std::string& url) {
        RSInfo info;
        fill_rc_info(m_digests, "clip.avi", url, info);
        std::string body = rctest::BodyOf(info);
        rctest::Sent s;
        EXPECT_EQ(rc_decode_report(reinterpret_cast<const unsigned char*>(body.data()), body.size(), s.report), 0u);
        rc_resource_of(s.report, s.res, s.where);
        return s;
    }
    void AddLocation(const std::string& url) {
        rctest::Sent s = SentFrom(url);
        std::vector<rc_report_outcome_t> outcomes;
        std::string err;
        ASSERT_EQ(m_writer.Commit({{rc_store_report_t{s.res, s.where, 1}}, {}}, outcomes, err), 0) << err;
    }

    void StartChecks(const std::string& allow, uint32 timeoutMs = 1500) {
        rc_check_opts_t opts;
        opts.IntervalS = 1;
        opts.TimeoutMs = timeoutMs;
        opts.Concurrency = 8;
        std::string err;
        ASSERT_EQ(opts.Rule.Parse(allow, err), 0) << err;
        m_checker.reset(new CRcChecker(m_health, opts));
        ASSERT_EQ(m_checker->Start(err), 0) << err;
    }

    // Every location's health by URL, as the store holds it now.
    std::map<std::string, rc_health_t> Health() {
        std::vector<rc_resource_t> found;
        std::string err;
        EXPECT_EQ(m_writer.FindFid(m_fid, found, err), 0) << err;
        std::map<std::string, rc_health_t> out;
        for (const rc_resource_t& res : found)
            for (const rc_location_t& loc : res.Locations) out[loc.Url] = loc.Health;
        return out;
    }
    bool AllChecked() {
        for (const auto& h : Health())
            if (h.second.State == RC_HEALTH_UNCHECKED) return false;
        return true;
    }
    ERcHealthState StateOf(const std::string& url) { return Health()[url].State; }

    TempDir m_dir;
    std::string m_data;
    rc_digests_t m_digests;
    Sha1Hash m_fid;
    tpt_table_t m_table;
    CRcSqliteStore m_writer;
    CRcSqliteStore m_health;
    std::unique_ptr<CRcChecker> m_checker;
};

TEST_F(MirrorChecks, EachMirrorEndsInTheStateItsAnswerDeservesAndNoCheckReadsMoreThanAPiece) {
    zqtest::NginxMirrors nginx;
    nginx.Add(m_dir.file("good"));
    nginx.Add(m_dir.file("other"));
    nginx.Add(m_dir.file("empty"));
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    zqtest::ScriptedMirror norange, toFile, toPrivate, toGood, loop, slow;
    const std::string file = m_dir.file("good/clip.avi");
    ASSERT_TRUE(norange.Start(file, "norange"));
    ASSERT_TRUE(toFile.Start(file, "redirect-file"));
    ASSERT_TRUE(toPrivate.Start(file, "redirect", 0, 0, "http://10.0.0.1/clip.avi"));
    ASSERT_TRUE(toGood.Start(file, "redirect", 0, 0, nginx.Url(0, "clip.avi")));
    ASSERT_TRUE(loop.Start(file, "redirect-loop"));
    ASSERT_TRUE(slow.Start(file, "slow"));
    const std::string closed = "http://127.0.0.1:" + std::to_string(zqtest::RefusedPort()) + "/clip.avi";
    const std::map<std::string, ERcHealthState> want = {
        {nginx.Url(0, "clip.avi"), RC_HEALTH_OK},
        {nginx.Url(1, "clip.avi"), RC_HEALTH_WRONG_CONTENT},
        {nginx.Url(2, "clip.avi"), RC_HEALTH_MISSING},
        {closed, RC_HEALTH_UNREACHABLE},
        {norange.Url("clip.avi"), RC_HEALTH_OK},
        {toFile.Url("clip.avi"), RC_HEALTH_UNREACHABLE},
        {toPrivate.Url("clip.avi"), RC_HEALTH_NOT_ALLOWED},
        {toGood.Url("clip.avi"), RC_HEALTH_OK},
        {loop.Url("clip.avi"), RC_HEALTH_UNREACHABLE},
        {slow.Url("clip.avi"), RC_HEALTH_UNREACHABLE},
        {"ftp://127.0.0.1/clip.avi", RC_HEALTH_NOT_ALLOWED},
    };
    for (const auto& w : want) AddLocation(w.first);
    StartChecks("127.0.0.0/8");
    ASSERT_TRUE(WaitUntil([&] { return AllChecked(); }, 30000));
    m_checker->Stop();

    std::map<std::string, rc_health_t> health = Health();
    for (const auto& w : want)
        EXPECT_EQ(rc_health_state_name(health[w.first].State), std::string(rc_health_state_name(w.second))) << w.first;
    EXPECT_EQ(health[norange.Url("clip.avi")].Ranges, RC_RANGES_NO);
    EXPECT_EQ(health[nginx.Url(0, "clip.avi")].Ranges, RC_RANGES_YES);
    EXPECT_GT(health[nginx.Url(0, "clip.avi")].OkAt, 0);
    EXPECT_EQ(health[nginx.Url(1, "clip.avi")].OkAt, 0);
    EXPECT_GE(health[nginx.Url(1, "clip.avi")].Failures, 1u);

    // The body bytes every check received, whatever its mirror sent.
    rc_check_figures_t figures = m_checker->Figures();
    uint64 checks = 0;
    for (uint64 n : figures.Checks) checks += n;
    ASSERT_GT(checks, 0u);
    EXPECT_LE(figures.Bytes, checks * m_table.PieceSize);
    EXPECT_EQ(figures.Seconds.Count, checks);
    EXPECT_LE(nginx.BodyBytesSent(0), nginx.Requests(0) * m_table.PieceSize);
}

TEST_F(MirrorChecks, AMendedMirrorTurnsOkAndOneThatLosesTheFileTurnsMissing) {
    zqtest::NginxMirrors nginx;
    nginx.Add(m_dir.file("empty"));
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    const std::string url = nginx.Url(0, "clip.avi");
    AddLocation(url);
    StartChecks("127.0.0.0/8");
    ASSERT_TRUE(WaitUntil([&] { return StateOf(url) == RC_HEALTH_MISSING; }, 15000)) << rc_health_state_name(StateOf(url));
    zqtest::WriteFile(m_dir.file("empty/clip.avi"), m_data);
    ASSERT_TRUE(WaitUntil([&] { return StateOf(url) == RC_HEALTH_OK; }, 20000)) << rc_health_state_name(StateOf(url));
    EXPECT_EQ(Health()[url].Failures, 0u);
    ASSERT_EQ(unlink(m_dir.file("empty/clip.avi").c_str()), 0);
    ASSERT_TRUE(WaitUntil([&] { return StateOf(url) == RC_HEALTH_MISSING; }, 15000)) << rc_health_state_name(StateOf(url));
    EXPECT_GT(Health()[url].OkAt, 0);
}

TEST_F(MirrorChecks, WithoutAnAllowedNetworkNothingIsFetchedFromLoopback) {
    zqtest::NginxMirrors nginx;
    nginx.Add(m_dir.file("good"));
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    AddLocation(nginx.Url(0, "clip.avi"));
    AddLocation("http://localhost:" + std::to_string(zqtest::RefusedPort()) + "/clip.avi");
    AddLocation("http://[::1]:" + std::to_string(zqtest::RefusedPort()) + "/clip.avi");
    AddLocation("http://[::ffff:127.0.0.1]:" + std::to_string(zqtest::RefusedPort()) + "/clip.avi");
    StartChecks("");
    ASSERT_TRUE(WaitUntil([&] { return AllChecked(); }, 15000));
    for (const auto& h : Health()) EXPECT_EQ(h.second.State, RC_HEALTH_NOT_ALLOWED) << h.first;
    EXPECT_EQ(nginx.Requests(), 0u);
}

}  // namespace

TEST(RcNetRule, RefusesEveryPrivateBlockUnlessAllowedAndReadsOnlyCidrBlocks) {
    CRcNetRule rule;
    std::string err;
    ASSERT_EQ(rule.Parse("", err), 0);
    for (const char* a : {"127.0.0.1", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.1", "169.254.1.1",
                          "100.64.0.1", "100.127.255.255", "224.0.0.1", "0.0.0.0", "255.255.255.255", "::1", "::",
                          "fc00::1", "fd12::1", "fe80::1", "ff02::1", "::ffff:10.0.0.1", "64:ff9b::7f00:1"})
        EXPECT_FALSE(rule.AllowsText(a)) << a;
    for (const char* a : {"8.8.8.8", "172.32.0.1", "100.128.0.1", "192.169.0.1", "2001:db8::1", "::ffff:8.8.8.8"})
        EXPECT_TRUE(rule.AllowsText(a)) << a;
    ASSERT_EQ(rule.Parse("127.0.0.0/8, fd00::/8 10.1.0.0/16", err), 0) << err;
    EXPECT_TRUE(rule.AllowsText("127.0.0.2"));
    EXPECT_TRUE(rule.AllowsText("fd00::5"));
    EXPECT_TRUE(rule.AllowsText("10.1.200.1"));
    EXPECT_FALSE(rule.AllowsText("10.2.0.1"));
    EXPECT_FALSE(rule.AllowsText("fe80::1"));
    for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0/8", "10.0.0.0/", "10.0.0.0/08", "example.org"})
        EXPECT_NE(rule.Parse(bad, err), 0) << bad;
}
