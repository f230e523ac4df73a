// zq_fetch --center against a real zq_rcenter: a file reported with a
// mirror's URL is downloaded by its FID alone, under the record's file name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "bytes.h"
#include "mirrors.h"
#include "rc_digests.h"
#include "rc_record.h"
#include "rcenter_test_util.h"

namespace {

TEST(RcenterFetch, DownloadsAReportedFileByItsFidUnderTheRecordsFileName) {
    zqtest::TempDir dir;
    mkdir(dir.file("www").c_str(), 0755);
    mkdir(dir.file("get").c_str(), 0755);
    const std::string data = zqtest::PatternBytes(700000, 9);
    zqtest::WriteFile(dir.file("www/clip.avi"), data);
    zqtest::NginxMirrors nginx;
    nginx.Add(dir.file("www"));
    ASSERT_TRUE(nginx.Start()) << nginx.Error();

    rc_digests_t digests;
    ASSERT_EQ(compute_rc_digests(dir.file("www/clip.avi"), digests, rc_digest_opts(RC_DIGEST_ONE_PASS)), RC_DIGESTS_OK);
    RSInfo info;
    fill_rc_info(digests, "clip.avi", nginx.Url(0, "clip.avi"), info);
    rctest::Server server;
    std::string line;
    ASSERT_TRUE(server.Start("http_listen_port: 0\n") &&
                server.Process().WaitForLine("http on 127.0.0.1:", &line, rctest::kStartTimeoutMs))
        << server.Process().Err();
    const std::string center = "http://127.0.0.1:" + line.substr(line.rfind(':') + 1);
    ASSERT_EQ(rctest::Exchange(server.Port(), rctest::RequestOf(info, 1)).result, static_cast<uint32>(RC_RESULT_ACCEPTED));

    zqtest::ProcessResult r =
        zqtest::RunProcess(zqtest::BinPath("zq_fetch"), {"--center", center, info.FID.Hex()}, dir.file("get"), 60000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(zqtest::ReadFile(dir.file("get/clip.avi")), data);
    // A FID the center does not know is an unusable record, not a failed download.
    r = zqtest::RunProcess(zqtest::BinPath("zq_fetch"), {"--center", center, std::string(40, '0')}, dir.file("get"),
                           60000);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("HTTP 404"), std::string::npos) << r.err;
}

// A name reported with bytes that are not UTF-8 reads the same in the list
// and the record (U+FFFD for each such byte), and zq_fetch, which cannot
// know the reported bytes from it, refuses it rather than write another name.
TEST(RcenterFetch, ANameTheCenterCannotWriteExactlyIsShownOneWayAndNeverUsed) {
    zqtest::TempDir dir;
    mkdir(dir.file("www").c_str(), 0755);
    mkdir(dir.file("get").c_str(), 0755);
    const std::string data = zqtest::PatternBytes(70000, 3);
    zqtest::WriteFile(dir.file("www/clip.avi"), data);
    zqtest::NginxMirrors nginx;
    nginx.Add(dir.file("www"));
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    rc_digests_t digests;
    ASSERT_EQ(compute_rc_digests(dir.file("www/clip.avi"), digests, rc_digest_opts(RC_DIGEST_ONE_PASS)), RC_DIGESTS_OK);
    rctest::Server server;
    std::string line;
    ASSERT_TRUE(server.Start("http_listen_port: 0\n") &&
                server.Process().WaitForLine("http on 127.0.0.1:", &line, rctest::kStartTimeoutMs))
        << server.Process().Err();
    const std::string center = "http://127.0.0.1:" + line.substr(line.rfind(':') + 1);
    auto curl = [&](const std::string& path) {
        return zqtest::RunProcess("/usr/bin/curl", {"-s", center + path}, dir.file("get"), 10000).out;
    };
    struct Case {
        std::string name;
        std::string shown;  // how the list and the record write it
    };
    const Case cases[] = {{"caf\xe9.avi", "caf\xef\xbf\xbd.avi"},
                          {"\x1b]0;pwned\x07.avi", "\\u001b]0;pwned\\u0007.avi"},
                          {"-rf", "-rf"},
                          {".bashrc", ".bashrc"}};
    uint32 seq = 1;
    std::string fid;
    for (const Case& c : cases) {
        RSInfo info;
        fill_rc_info(digests, c.name, nginx.Url(0, "clip.avi") + "?" + std::to_string(seq), info);
        fid = info.FID.Hex();
        ASSERT_EQ(rctest::Exchange(server.Port(), rctest::RequestOf(info, seq++)).result,
                  static_cast<uint32>(RC_RESULT_ACCEPTED));
    }
    const std::string record = curl("/v1/resources/" + fid);
    const std::string list = curl("/v1/resources");
    for (const Case& c : cases) {
        EXPECT_NE(record.find("\"file\": \"" + c.shown + "\""), std::string::npos) << c.shown << "\n" << record;
    }
    EXPECT_NE(list.find("\"file\": \"caf\xef\xbf\xbd.avi\""), std::string::npos) << list;

    // The first location, the name with a byte that is not UTF-8, names the default.
    zqtest::ProcessResult refused =
        zqtest::RunProcess(zqtest::BinPath("zq_fetch"), {"--center", center, fid}, dir.file("get"), 60000);
    EXPECT_EQ(refused.exit_code, 2) << refused.err;
    EXPECT_NE(refused.err.find("give -o FILE"), std::string::npos) << refused.err;
    EXPECT_FALSE(zqtest::FileExists(dir.file("get/caf\xef\xbf\xbd.avi")));
    EXPECT_FALSE(zqtest::FileExists(dir.file("get/caf\xc3\xa9.avi")));
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_fetch"), {"--center", center, fid, "-o", "mine"},
                                                 dir.file("get"), 60000);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(zqtest::ReadFile(dir.file("get/mine")), data);
}

}  // namespace
