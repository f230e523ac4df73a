#include "config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "files.h"
#include "svr_log.h"
#include "zq_conf.h"

namespace {

// Each case runs in a fresh working directory, so the default "./log/..."
// paths land in the temp dir, and leaves the process logs switched off.
class MainConf : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
        oldCwd = cwd;
        ASSERT_EQ(0, chdir(dir.path().c_str()));
        config = stConfig{};
    }
    void TearDown() override {
        g_ErrLog.reset();
        g_StatisLog.reset();
        g_VisitLog.reset();
        EXPECT_EQ(0, chdir(oldCwd.c_str()));
    }

    int Load(const std::string& contents) {
        zqtest::WriteFile(dir.file("main.conf"), contents);
        return config.load_main_conf("./main.conf");
    }
    // The error log buffers its lines; closing it makes them readable.
    std::string ErrLog(const std::string& name = "log/errlog") {
        g_ErrLog.reset();
        return zqtest::ReadFile(dir.file(name));
    }

    zqtest::TempDir dir;
    std::string oldCwd;
    stConfig config;
};

const char* const kServer = "rc_ip: 127.0.0.1\nrc_port: 8080\n";

}  // namespace

TEST_F(MainConf, AbsentKeysTakeTheirDefaults) {
    ASSERT_EQ(0, Load(kServer));
    EXPECT_STREQ("./log/errlog", config.err_log_path);
    EXPECT_STREQ("./log/statlog", config.stat_log_path);
    EXPECT_STREQ("./log/visitlog", config.visit_log_path);
    EXPECT_EQ(4, config.err_log_level);
    EXPECT_EQ(83886080u, config.rotate_file_size);
    EXPECT_EQ(50u, config.rotate_file_num);
    EXPECT_STREQ(".", config.file_path);
    EXPECT_EQ(3000, config.task_timeout_ms);
    EXPECT_EQ(100000, config.package_length);
    EXPECT_STREQ("127.0.0.1", config.rc_ip);
    EXPECT_EQ(8080, config.rc_port);
}

TEST_F(MainConf, EveryKeyIsRead) {
    ASSERT_EQ(0, Load("err_log_path: e/err\nerr_log_level: 2\nvisit_log_path: v/visit\n"
                      "rotate_file_size: 0x1000\nrotate_file_num: 7\nstat_log_path: s/stat\n"
                      "file_path: /data\ntask_timeout_ms: 500\npackage_length: 42\n"
                      "rc_ip: 10.0.0.1\nrc_port: 0x1F90\n"));
    EXPECT_STREQ("e/err", config.err_log_path);
    EXPECT_EQ(2, config.err_log_level);
    EXPECT_STREQ("v/visit", config.visit_log_path);
    EXPECT_EQ(4096u, config.rotate_file_size);
    EXPECT_EQ(7u, config.rotate_file_num);
    EXPECT_STREQ("s/stat", config.stat_log_path);
    EXPECT_STREQ("/data", config.file_path);
    EXPECT_EQ(500, config.task_timeout_ms);
    EXPECT_EQ(42, config.package_length);
    EXPECT_STREQ("10.0.0.1", config.rc_ip);
    EXPECT_EQ(8080, config.rc_port);
}

TEST_F(MainConf, MalformedNumbersFallBackToDefaults) {
    ASSERT_EQ(0, Load(std::string(kServer) + "err_log_level: high\nrotate_file_size: 08\ntask_timeout_ms: 0X10\n"));
    EXPECT_EQ(4, config.err_log_level);
    EXPECT_EQ(83886080u, config.rotate_file_size);
    EXPECT_EQ(3000, config.task_timeout_ms);
}

TEST_F(MainConf, DigestKeysDefaultToTheThrottledPassesOnOneThread) {
    ASSERT_EQ(0, Load(kServer));
    EXPECT_EQ(1, config.digest_throttle);
    EXPECT_EQ(1, config.digest_threads);
}

TEST_F(MainConf, DigestThreadsAreKeptBetweenOneAndFour) {
    struct Case {
        const char* value;
        int threads;
    };
    const Case cases[] = {{"2", 2}, {"4", 4}, {"0", 1}, {"-3", 1}, {"5", 4}, {"0x10", 4}, {"many", 1}};
    for (const Case& c : cases) {
        ASSERT_EQ(0, Load(std::string(kServer) + "digest_throttle: 0\ndigest_threads: " + c.value + "\n"));
        EXPECT_EQ(0, config.digest_throttle);
        EXPECT_EQ(c.threads, config.digest_threads) << c.value;
    }
    ASSERT_EQ(0, Load(std::string(kServer) + "digest_throttle: 7\n"));
    EXPECT_EQ(7, config.digest_throttle) << "any number but 0 keeps the throttled passes";
}

TEST_F(MainConf, DigestSimdTakesALevelTheProcessorHasAndWarnsOtherwise) {
    ASSERT_EQ(0, Load(kServer));
    EXPECT_EQ(SIMD_AUTO, config.digest_simd);
    for (ESimdLevel level : {SIMD_AUTO, SIMD_PORTABLE, SIMD_AVX2, SIMD_AVX512}) {
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, Load(std::string(kServer) + "digest_simd: " + SimdLevelName(level) + "\n"));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(SimdResolve(level), SimdResolve(config.digest_simd)) << SimdLevelName(level);
        EXPECT_EQ(SimdSupported(level), out.empty()) << out;
        EXPECT_TRUE(SimdSupported(config.digest_simd));
    }
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, Load(std::string(kServer) + "digest_simd: sse4\n"));
    EXPECT_EQ(SIMD_AUTO, config.digest_simd);
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("warning: digest_simd \"sse4\""));
    EXPECT_NE(std::string::npos, ErrLog().find("unknown digest_simd: value=sse4, using auto"));
}

TEST_F(MainConf, IncludesAreNotFollowed) {
    zqtest::WriteFile(dir.file("more.conf"), "rc_port: 9\n");
    EXPECT_EQ(-1, Load("rc_ip: 127.0.0.1\n$include: \"more.conf\"\n"));
}

TEST_F(MainConf, LogsAreSetUpFromTheFileWithoutCreatingFiles) {
    ASSERT_EQ(0, Load(std::string(kServer) + "err_log_level: 3\nrotate_file_size: 1000\nrotate_file_num: 5\n"));
    EXPECT_STREQ("./log/errlog", g_ErrLog.GetFileName());
    EXPECT_EQ(FL_FILE_SIZE_ROTATE, g_ErrLog.GetRotateType());
    EXPECT_EQ(1000u, g_ErrLog.GetMaxFileSize());
    EXPECT_EQ(5u, g_ErrLog.GetMaxFileIndex());
    EXPECT_EQ(3, g_ErrLog.GetOutLevel());
    EXPECT_TRUE(g_ErrLog.IsThreadSafe());
    EXPECT_TRUE(g_ErrLog.IsFileLogOn());
    EXPECT_FALSE(g_ErrLog.IsPrintLogOn());
    EXPECT_STREQ("./log/statlog", g_StatisLog.GetFileName());
    EXPECT_EQ(FL_DAILY_ROTATE, g_StatisLog.GetRotateType());
    EXPECT_TRUE(g_StatisLog.IsFileLogOn());
    EXPECT_STREQ("./log/visitlog", g_VisitLog.GetFileName());
    EXPECT_EQ(FL_DAILY_ROTATE, g_VisitLog.GetRotateType());
    EXPECT_TRUE(g_VisitLog.IsFileLogOn());
    EXPECT_FALSE(zqtest::FileExists(dir.file("log")));
}

TEST_F(MainConf, MissingFileIsReportedOnStandardOutputOnly) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, config.load_main_conf("./main.conf"));
    EXPECT_EQ("main config file not exist: path=./main.conf\n", testing::internal::GetCapturedStdout());
    EXPECT_FALSE(g_ErrLog.IsFileLogOn());
    EXPECT_FALSE(zqtest::FileExists(dir.file("log")));
}

TEST_F(MainConf, AFullTableFollowedByAnyLineIsRefusedLikeAMissingFile) {
    std::string text;
    for (int i = 0; i < ZQ_CONF_MIN_ITEMS; ++i) text += "k" + std::to_string(i) + ": 1\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, Load(text + "# one more\n"));
    EXPECT_EQ("main config file not exist: path=./main.conf\n", testing::internal::GetCapturedStdout());
}

TEST_F(MainConf, MissingServerAddressIsAFatalLogLine) {
    EXPECT_EQ(-1, Load("rc_port: 80\n"));
    std::string log = ErrLog();
    std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[fatal\] config\.\d+\(load_main_conf\): )"
                    R"(config not exist: name=rc_ip\n)");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(MainConf, MissingAddressStopsBeforeThePort) {
    EXPECT_EQ(-1, Load("file_path: .\n"));
    std::string log = ErrLog();
    EXPECT_NE(std::string::npos, log.find("name=rc_ip"));
    EXPECT_EQ(std::string::npos, log.find("name=rc_port"));
}

TEST_F(MainConf, EmptyAddressCountsAsMissing) {
    EXPECT_EQ(-1, Load("rc_ip:\nrc_port: 80\n"));
    EXPECT_NE(std::string::npos, ErrLog().find("config not exist: name=rc_ip"));
}

TEST_F(MainConf, MissingOrNonNumericPortIsAFatalLogLine) {
    EXPECT_EQ(-1, Load("rc_ip: 127.0.0.1\n"));
    EXPECT_NE(std::string::npos, ErrLog().find("] [fatal] config."));
    EXPECT_EQ(-1, Load("rc_ip: 127.0.0.1\nrc_port: http\n"));
    std::string log = ErrLog();
    EXPECT_NE(std::string::npos, log.find("(load_main_conf): config not exist: name=rc_port\n"));
}

TEST_F(MainConf, PortKeepsItsLowSixteenBits) {
    ASSERT_EQ(0, Load("rc_ip: 127.0.0.1\nrc_port: 70000\n"));
    EXPECT_EQ(4464, config.rc_port);
    ASSERT_EQ(0, Load("rc_ip: 127.0.0.1\nrc_port: -1\n"));
    EXPECT_EQ(65535, config.rc_port);
}

TEST_F(MainConf, AddressOfSixtyFourCharactersIsRefusedNotCut) {
    EXPECT_EQ(-1, Load("rc_ip: " + std::string(64, '1') + "\nrc_port: 80\n"));
    std::string log = ErrLog();
    EXPECT_NE(std::string::npos, log.find("] [fatal] config."));
    EXPECT_NE(std::string::npos, log.find("config value too long: name=rc_ip, max=63\n"));
    EXPECT_STREQ("", config.rc_ip);
}

TEST_F(MainConf, AnAddressThatIsNotADottedQuadIsRefusedNamingIt) {
    for (const char* bad : {"localhost", "10.0.0", "10.0.0.256", "0x7f.0.0.1"}) {
        EXPECT_EQ(-1, Load(std::string("rc_ip: ") + bad + "\nrc_port: 80\n")) << bad;
        EXPECT_NE(std::string::npos, ErrLog().find(std::string("not an IPv4 address: name=rc_ip, value=") + bad))
            << bad;
    }
    EXPECT_EQ(0, Load("rc_ip: 192.0.2.10\nrc_port: 80\n"));
}

TEST_F(MainConf, LevelFromTheFileFiltersTheFatalLine) {
    EXPECT_EQ(-1, Load("err_log_level: 0\nrc_port: 80\n"));
    g_ErrLog.reset();
    EXPECT_FALSE(zqtest::FileExists(dir.file("log/errlog")));
    EXPECT_EQ(-1, Load("err_log_level: 1\nrc_port: 80\n"));
    EXPECT_NE(std::string::npos, ErrLog().find("name=rc_ip"));
}

TEST_F(MainConf, EmptyErrorLogPathMeansNoErrorLogFile) {
    EXPECT_EQ(-1, Load("err_log_path:\nrc_port: 80\n"));
    EXPECT_STREQ("", config.err_log_path);
    EXPECT_FALSE(g_ErrLog.IsEnable(1));
    g_ErrLog.reset();
    EXPECT_FALSE(zqtest::FileExists(dir.file("log")));
}

TEST_F(MainConf, ErrorLogGoesWhereTheFileSays) {
    EXPECT_EQ(-1, Load("err_log_path: deep/er/err.log\nrc_port: 80\n"));
    EXPECT_NE(std::string::npos, ErrLog("deep/er/err.log").find("name=rc_ip"));
    EXPECT_FALSE(zqtest::FileExists(dir.file("log")));
}
