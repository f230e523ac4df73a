#include "app_signal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "files.h"
#include "svr_log.h"

namespace {

// Installs the tool's dispositions with the error log writing to a temp file,
// and puts the defaults back afterwards.
class StopSignal : public ::testing::Test {
protected:
    void SetUp() override {
        app_report_stop();
        app_clear_stop();
        g_ErrLog.reset();
        std::string base = dir.file("errlog");
        g_ErrLog.InitFileLog(&base[0], true, FL_FILE_SIZE_ROTATE, 0, 5);
        g_ErrLog.SetOutLevel(5);
        g_ErrLog.OpenFileLog();
        install_sig_action();
    }
    void TearDown() override {
        for (int sig : {SIGQUIT, SIGABRT, SIGINT, SIGTERM, SIGPIPE}) signal(sig, SIG_DFL);
        app_report_stop();
        app_clear_stop();
        g_ErrLog.reset();
    }
    std::string Log() { return zqtest::ReadFile(dir.file("errlog")); }

    zqtest::TempDir dir;
};

}  // namespace

TEST_F(StopSignal, HandlerOnlyRaisesTheFlag) {
    EXPECT_FALSE(app_stop_requested());
    ASSERT_EQ(0, raise(SIGTERM));
    EXPECT_TRUE(app_stop_requested());
    // Nothing was logged from inside the handler: the log file is not even created.
    EXPECT_FALSE(zqtest::FileExists(dir.file("errlog")));
}

TEST_F(StopSignal, MainThreadWritesTheStopLineOnce) {
    ASSERT_EQ(0, raise(SIGINT));
    EXPECT_TRUE(app_report_stop());
    EXPECT_TRUE(app_report_stop());
    std::string expected = "] [info] app_signal.";
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(expected)) << log;
    std::string text = "pid:" + std::to_string(getpid()) + ", caught sig:" + std::to_string(SIGINT) +
                       ", server is stopping\n";
    ASSERT_GE(log.size(), text.size());
    EXPECT_EQ(text, log.substr(log.size() - text.size()));
    EXPECT_EQ(log.find('\n'), log.size() - 1) << "exactly one line";
}

TEST_F(StopSignal, EveryTerminationSignalStops) {
    for (int sig : {SIGQUIT, SIGABRT, SIGINT, SIGTERM}) {
        app_clear_stop();
        ASSERT_EQ(0, raise(sig));
        EXPECT_TRUE(app_stop_requested()) << sig;
        EXPECT_TRUE(app_report_stop());
        EXPECT_NE(std::string::npos, Log().find("caught sig:" + std::to_string(sig) + ",")) << sig;
    }
}

TEST_F(StopSignal, StopLineRespectsTheLogLevel) {
    g_ErrLog.SetOutLevel(3);
    ASSERT_EQ(0, raise(SIGTERM));
    EXPECT_TRUE(app_report_stop());
    EXPECT_FALSE(zqtest::FileExists(dir.file("errlog")));
}

TEST_F(StopSignal, ClearingForgetsTheRequest) {
    ASSERT_EQ(0, raise(SIGTERM));
    app_clear_stop();
    EXPECT_FALSE(app_stop_requested());
    // The caught signal is still reported, but no longer asks for a stop.
    EXPECT_FALSE(app_report_stop());
    EXPECT_NE(std::string::npos, Log().find("server is stopping"));
}

TEST_F(StopSignal, BrokenPipeIsIgnored) {
    struct sigaction current;
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &current));
    EXPECT_EQ(SIG_IGN, current.sa_handler);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    EXPECT_EQ(-1, write(fds[1], "x", 1));
    EXPECT_EQ(EPIPE, errno);
    close(fds[1]);
    EXPECT_FALSE(app_stop_requested());
}
