#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "files.h"
#include "net.h"
#include "process.h"

namespace {

// Runs the built tool in a fresh working directory.
class Datareport : public ::testing::Test {
protected:
    zqtest::ProcessResult Run(const std::vector<std::string>& args) {
        zqtest::ProcessResult r = zqtest::RunProcess(program, args, dir.path(), 20000);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
    void WriteConf(const std::string& contents) { zqtest::WriteFile(dir.file("main.conf"), contents); }
    // A complete configuration whose server port has no listener.
    std::string ValidConf() const {
        return "file_path: " + dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
               std::to_string(zqtest::RefusedPort()) + "\n";
    }

    zqtest::TempDir dir;
    std::string program = zqtest::BinPath("datareport");
};

}  // namespace

TEST_F(Datareport, WithoutConfigurationItSaysSoAndCreatesNoLog) {
    zqtest::ProcessResult r = Run({});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_EQ("main config file not exist: path=./main.conf\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_FALSE(zqtest::FileExists(dir.file("log")));
}

TEST_F(Datareport, ConfigurationIsCheckedBeforeTheArguments) {
    zqtest::ProcessResult r = Run({"a.txt", "http://example.invalid/a.txt"});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_EQ("main config file not exist: path=./main.conf\n", r.out);
    r = Run({"only-one"});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_EQ("main config file not exist: path=./main.conf\n", r.out);
}

TEST_F(Datareport, ConfigurationThatIsADirectoryCountsAsMissing) {
    ASSERT_EQ(0, mkdir(dir.file("main.conf").c_str(), 0755));
    zqtest::ProcessResult r = Run({"a.txt", "u"});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_EQ("main config file not exist: path=./main.conf\n", r.out);
}

TEST_F(Datareport, WrongArgumentCountPrintsTheUsageLine) {
    WriteConf(ValidConf());
    const std::string usage = "use: " + program + " filename url\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"a.txt"}, {"a.txt", "u", "extra"}}) {
        zqtest::ProcessResult r = Run(args);
        EXPECT_EQ(255, r.exit_code) << args.size();
        EXPECT_EQ(usage, r.out) << args.size();
    }
    // The logs were set up, but no line was written, so no file was created.
    EXPECT_FALSE(zqtest::FileExists(dir.file("log")));
}

TEST_F(Datareport, MissingPortIsAFatalLineInTheErrorLog) {
    WriteConf("rc_ip: 127.0.0.1\n");
    zqtest::ProcessResult r = Run({"a.txt", "u"});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_EQ("", r.out);
    std::string log = zqtest::ReadFile(dir.file("log/errlog"));
    std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[fatal\] config\.\d+\(load_main_conf\): )"
                    R"(config not exist: name=rc_port\n)");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

TEST_F(Datareport, MissingAddressIsAFatalLineInTheConfiguredLog) {
    WriteConf("err_log_path: logs/err\nrc_port: 80\n");
    zqtest::ProcessResult r = Run({"a.txt", "u"});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_NE(std::string::npos, zqtest::ReadFile(dir.file("logs/err")).find("config not exist: name=rc_ip\n"));
}

TEST_F(Datareport, OverlongAddressIsRefused) {
    WriteConf("rc_ip: 127.0.0.1" + std::string(60, ' ') + "x\nrc_port: 80\n");
    zqtest::ProcessResult r = Run({"a.txt", "u"});
    EXPECT_EQ(255, r.exit_code);
    EXPECT_NE(std::string::npos,
              zqtest::ReadFile(dir.file("log/errlog")).find("config value too long: name=rc_ip, max=63\n"));
}

// Start-up completes; with no server to answer, the report is not answered.
TEST_F(Datareport, CompleteStartUpWithoutAServerEndsWithStatusTwo) {
    zqtest::WriteFile(dir.file("a.txt"), "hello");
    WriteConf(ValidConf());
    zqtest::ProcessResult r = Run({"a.txt", "http://example.invalid/a.txt"});
    EXPECT_EQ(2, r.exit_code);
    EXPECT_NE(std::string::npos, r.out.find("complete compute")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("connect to zq_server 127.0.0.1 error\n")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("use:"));
    EXPECT_EQ(std::string::npos, r.out.find("main config file"));
}
