// The checks in a running center: a reported mirror is checked, shown by
// /metrics, the resource's JSON and zq_lookup --health, and its health is
// kept across a restart; two centers on one PostgreSQL database check each
// location once per interval between them.
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
