// The checks in a running center: a reported mirror is checked, shown by
// /metrics, the resource's JSON and zq_lookup --health, and its health is
// kept across a restart; two centers on one PostgreSQL database check each
// location once per interval between them; curl follows the download
// redirect and aria2c downloads from the Metalink, both from good mirrors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "mirrors.h"
#include "pg_server.h"
#include "rc_digests.h"
#include "rc_record.h"
#include "rcenter_test_util.h"

namespace {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

std::string Curl(const std::string& url) {
    return zqtest::RunProcess("/usr/bin/curl", {"-s", "--max-time", "10", url}, "/", 15000).out;
}

unsigned short HttpPort(rctest::Server& server) {
    std::string line;
    if (!server.Process().WaitForLine("http on 127.0.0.1:", &line, rctest::kStartTimeoutMs)) return 0;
    return static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
}

class CenterChecks : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(m_dir.file("www").c_str(), 0755);
        zqtest::WriteFile(m_dir.file("www/clip.avi"), zqtest::PatternBytes(900000, 3));
        m_nginx.Add(m_dir.file("www"));
        ASSERT_TRUE(m_nginx.Start()) << m_nginx.Error();
        ASSERT_EQ(compute_rc_digests(m_dir.file("www/clip.avi"), m_digests, rc_digest_opts(RC_DIGEST_ONE_PASS)),
                  RC_DIGESTS_OK);
    }
    // The report of the file from url.
    std::string Packet(const std::string& url, uint32 seq, Sha1Hash* fid = nullptr) {
        RSInfo info;
        fill_rc_info(m_digests, "clip.avi", url, info);
        if (fid != nullptr) *fid = info.FID;
        return rctest::RequestOf(info, seq);
    }

    zqtest::TempDir m_dir;
    zqtest::NginxMirrors m_nginx;
    rc_digests_t m_digests;
};

TEST_F(CenterChecks, AReportedMirrorIsCheckedShownEverywhereAndItsHealthKeptAcrossARestart) {
    zqtest::TempDir home;
    Sha1Hash fid;
    const std::string url = m_nginx.Url(0, "clip.avi");
    std::string lookup;
    auto health = [&] {
        lookup = zqtest::RunProcess(zqtest::BinPath("zq_lookup"), {"--health", fid.Hex()}, home.path()).out;
        return lookup;
    };
    {
        rctest::Server server(home.path());
        ASSERT_TRUE(server.Start("check_interval_s: 1\ncheck_allow_nets: 127.0.0.0/8\nhttp_listen_port: 0\n"));
        unsigned short http = HttpPort(server);
        ASSERT_NE(http, 0);
        ASSERT_EQ(rctest::Exchange(server.Port(), Packet(url, 1, &fid)).result, static_cast<uint32>(RC_RESULT_ACCEPTED));
        ASSERT_TRUE(WaitUntil([&] { return health().find("health: ok checked_at=20") != std::string::npos; }, 20000))
            << lookup << server.ErrLog();
        EXPECT_NE(lookup.find("ranges=yes"), std::string::npos) << lookup;
        const std::string base = "http://127.0.0.1:" + std::to_string(http);
        EXPECT_NE(Curl(base + "/v1/resources/" + fid.Hex()).find("\"health\": {\"state\": \"ok\", \"checked_at\": \"20"),
                  std::string::npos);
        std::string metrics;
        ASSERT_TRUE(WaitUntil(
            [&] {
                metrics = Curl(base + "/metrics");
                return metrics.find("zq_rcenter_locations{state=\"ok\"} 1\n") != std::string::npos;
            },
            15000))
            << metrics;
        EXPECT_EQ(metrics.find("zq_rcenter_checks_total{outcome=\"ok\"} 0\n"), std::string::npos) << metrics;
        EXPECT_NE(metrics.find("zq_rcenter_check_seconds_count "), std::string::npos) << metrics;
        EXPECT_EQ(server.Stop().exit_code, 0);
    }
    const std::string before = health();
    rctest::Server again(home.path());
    ASSERT_TRUE(again.Start());
    EXPECT_EQ(health(), before);
    EXPECT_NE(before.find("health: ok"), std::string::npos);
}

TEST_F(CenterChecks, TwoCentersOnOneDatabaseCheckEachLocationOncePerInterval) {
    zqtest::PgServer pg;
    ASSERT_TRUE(pg.Start()) << pg.Error();
    const std::string config = "db_url: " + pg.ConnString() +
                               "\ncheck_interval_s: 2\ncheck_allow_nets: 127.0.0.0/8\ncheck_concurrency: 4\n";
    rctest::Server one, two;
    ASSERT_TRUE(one.Start(config)) << one.ErrLog();
    ASSERT_TRUE(two.Start(config)) << two.ErrLog();
    const int locations = 12;
    for (int i = 0; i < locations; ++i) {
        rctest::Server& via = i % 2 == 0 ? one : two;
        ASSERT_EQ(rctest::Exchange(via.Port(), Packet(m_nginx.Url(0, "clip.avi?n=" + std::to_string(i)), i + 1)).result,
                  static_cast<uint32>(RC_RESULT_ACCEPTED));
    }
    std::this_thread::sleep_for(std::chrono::seconds(9));
    one.Stop();
    two.Stop();
    for (int i = 0; i < locations; ++i) {
        std::vector<double> times = m_nginx.RequestTimes("/clip.avi?n=" + std::to_string(i));
        ASSERT_GE(times.size(), 2u) << "location " << i;
        std::sort(times.begin(), times.end());
        for (size_t k = 1; k < times.size(); ++k)
            EXPECT_GE(times[k] - times[k - 1], 1.5) << "location " << i << " checked twice in one interval";
    }
}

}  // namespace

namespace {

TEST_F(CenterChecks, CurlAria2AndZqFetchDownloadOnlyFromTheMirrorsFoundGood) {
    mkdir(m_dir.file("other").c_str(), 0755);
    mkdir(m_dir.file("empty").c_str(), 0755);
    mkdir(m_dir.file("get").c_str(), 0755);
    zqtest::WriteFile(m_dir.file("other/clip.avi"), zqtest::PatternBytes(900000, 4));
    zqtest::NginxMirrors more;
    more.Add(m_dir.file("other"));
    more.Add(m_dir.file("empty"));
    ASSERT_TRUE(more.Start()) << more.Error();
    rctest::Server server;
    ASSERT_TRUE(server.Start("check_interval_s: 1\ncheck_allow_nets: 127.0.0.0/8\nhttp_listen_port: 0\n"));
    unsigned short http = HttpPort(server);
    ASSERT_NE(http, 0);
    Sha1Hash fid;
    const std::vector<std::string> urls = {m_nginx.Url(0, "clip.avi"), more.Url(0, "clip.avi"),
                                           more.Url(1, "clip.avi")};
    for (size_t i = 0; i < urls.size(); ++i)
        ASSERT_EQ(rctest::Exchange(server.Port(), Packet(urls[i], static_cast<uint32>(i + 1), &fid)).result,
                  static_cast<uint32>(RC_RESULT_ACCEPTED));
    const std::string base = "http://127.0.0.1:" + std::to_string(http) + "/v1/resources/" + fid.Hex();
    std::string record;
    ASSERT_TRUE(WaitUntil(
        [&] {
            record = Curl(base);
            return record.find("\"health\"") != std::string::npos &&
                   record.find("\"state\": \"unchecked\"") == std::string::npos;
        },
        20000))
        << record;
    const std::string data = zqtest::ReadFile(m_dir.file("www/clip.avi"));
    for (int i = 0; i < 5; ++i) {
        zqtest::ProcessResult r = zqtest::RunProcess(
            "/usr/bin/curl", {"-sSfL", "--max-time", "20", "-o", m_dir.file("get/curl.bin"), base + "/download"}, "/",
            30000);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(zqtest::ReadFile(m_dir.file("get/curl.bin")), data);
    }
    zqtest::ProcessResult head =
        zqtest::RunProcess("/usr/bin/curl", {"-sS", "-o", "/dev/null", "-D", "-", base + "/download"}, "/", 30000);
    EXPECT_NE(head.out.find("HTTP/1.1 302"), std::string::npos) << head.out;
    EXPECT_NE(head.out.find("Location: " + urls[0] + "\r\n"), std::string::npos) << head.out;
    EXPECT_NE(head.out.find("rel=describedby; type=\"application/metalink4+xml\""), std::string::npos) << head.out;

    zqtest::ProcessResult aria = zqtest::RunProcess(
        "/usr/bin/aria2c", {"-q", "--no-conf", "--allow-overwrite=true", "--auto-file-renaming=false",
                            "--realtime-chunk-checksum=true", "--check-integrity=true", "--dir", m_dir.file("get"),
                            base + "/metalink"},
        "/", 60000);
    EXPECT_EQ(aria.exit_code, 0) << aria.out << aria.err;
    EXPECT_EQ(zqtest::ReadFile(m_dir.file("get/clip.avi")), data);

    // zq_fetch leaves out what the checks found bad.
    mkdir(m_dir.file("fetch").c_str(), 0755);
    zqtest::ProcessResult fetched =
        zqtest::RunProcess(zqtest::BinPath("zq_fetch"), {"--center", "http://127.0.0.1:" + std::to_string(http), fid.Hex()},
                           m_dir.file("fetch"), 60000);
    EXPECT_EQ(fetched.exit_code, 0) << fetched.err;
    EXPECT_NE(fetched.err.find("2 of the 3 mirrors left out"), std::string::npos) << fetched.err;
    EXPECT_EQ(zqtest::ReadFile(m_dir.file("fetch/clip.avi")), data);
    EXPECT_EQ(zqtest::RunProcess("/usr/bin/curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}",
                                                   "http://127.0.0.1:" + std::to_string(http) + "/v1/resources/" +
                                                       std::string(40, 'a') + "/download"},
                                 "/", 30000)
                  .out,
              "404");
}

}  // namespace
