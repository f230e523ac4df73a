#include "log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "net.h"
#include "svr_log.h"

namespace {

time_t s_fakeNow = 0;
time_t FakeNow() { return s_fakeNow; }

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

const char* const kStamp = "[2024-03-05 14:07:09] ";

// Logs write into a temp dir under a fixed clock; the real clock comes back after.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        s_fakeNow = LocalTime(2024, 3, 5, 14, 7, 9);
        CLog::SetTimeSource(FakeNow);
    }
    void TearDown() override {
        CLog::SetTimeSource(nullptr);
        g_ErrLog.reset();
    }
    // A writable copy of a path in the temp dir, as InitFileLog wants one.
    std::vector<char> Path(const std::string& name) const {
        std::string full = dir.file(name);
        return std::vector<char>(full.c_str(), full.c_str() + full.size() + 1);
    }
    void OpenSizeLog(CLog& log, uint32 maxSize, uint32 maxIndex, const std::string& name = "log") {
        ASSERT_EQ(0, log.InitFileLog(Path(name).data(), true, FL_FILE_SIZE_ROTATE, maxSize, maxIndex));
        ASSERT_EQ(0, log.OpenFileLog());
    }
    std::string Read(const std::string& name) const { return zqtest::ReadFile(dir.file(name)); }
    bool Exists(const std::string& name) const { return zqtest::FileExists(dir.file(name)); }

    zqtest::TempDir dir;
};

std::string Line(const std::string& text) { return kStamp + text + "\n"; }

}  // namespace

using LogLine = LogTest;

TEST_F(LogLine, GetsOneNewlineWhetherOrNotTheMessageHasOne) {
    CLog log;
    OpenSizeLog(log, 0, 3);
    log.Write("a\n");
    log.Write("b");
    log.Write("%s", "");
    EXPECT_EQ(Line("a") + Line("b") + Line(""), Read("log"));
}

TEST_F(LogLine, OverlongMessageIsCutButStillEndsTheLine) {
    CLog log;
    OpenSizeLog(log, 0, 3);
    log.Write("%s", std::string(200000, 'x').c_str());
    std::string text = Read("log");
    ASSERT_EQ(static_cast<size_t>(CLog::LOG_BUF_SIZE - 2), text.size());
    EXPECT_EQ(0u, text.find(kStamp));
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(text.size() - 1, text.find('\n'));
}

TEST_F(LogLine, PrintOutputGoesToStandardOutput) {
    CLog log;
    log.OpenPrintLog();
    testing::internal::CaptureStdout();
    log.Write("hello %d", 5);
    fflush(stdout);
    EXPECT_EQ(Line("hello 5"), testing::internal::GetCapturedStdout());
    log.ClosePrintLog();
    EXPECT_FALSE(log.IsEnable());
}

TEST_F(LogLine, MacroWritesLevelFileLineAndFunction) {
    OpenSizeLog(g_ErrLog, 0, 3);
    g_ErrLog.SetOutLevel(5);
    // clang-format off
    LOG_ERR("x=%d, s=%s", 5, "y"); const int line = __LINE__;
    // clang-format on
    g_ErrLog.reset();
    EXPECT_EQ(Line("[err] log_test." + std::to_string(line) + "(TestBody): x=5, s=y"), Read("log"));
}

TEST_F(LogLine, EveryMacroNamesItsLevel) {
    OpenSizeLog(g_ErrLog, 0, 3);
    g_ErrLog.SetOutLevel(5);
    LOG_FATAL("a");
    LOG_ERR("b");
    LOG_WARN("c");
    LOG_INFO("d");
    LOG_DEBUG("e");
    g_ErrLog.reset();
    std::regex lines(R"((\[2024-03-05 14:07:09\] \[(fatal|err|warn|info|debug)\] log_test\.\d+\(TestBody\): [a-e]\n){5})");
    std::string text = Read("log");
    EXPECT_TRUE(std::regex_match(text, lines)) << text;
    size_t pos = 0;
    for (const char* level : {"[fatal] ", "[err] ", "[warn] ", "[info] ", "[debug] "}) {
        pos = text.find(level, pos);
        EXPECT_NE(std::string::npos, pos) << level;
    }
}

TEST_F(LogLine, MacroFormatsNothingAboveTheOutLevel) {
    OpenSizeLog(g_ErrLog, 0, 3);
    g_ErrLog.SetOutLevel(4);
    int evaluated = 0;
    LOG_DEBUG("%d", ++evaluated);
    EXPECT_EQ(0, evaluated);
    EXPECT_FALSE(Exists("log"));
    LOG_INFO("%d", ++evaluated);
    EXPECT_EQ(1, evaluated);
    EXPECT_TRUE(Exists("log"));
}

TEST(ErrLogLevel, NewErrorLogWritesEveryLevelButHasNoOutput) {
    CErrLog log;
    EXPECT_EQ(5, log.GetOutLevel());
    for (int level = 1; level <= 5; ++level) EXPECT_FALSE(log.IsEnable(level)) << level;
}

TEST(ErrLogLevel, OutLevelBoundsTheLevelsOnceAnOutputIsOn) {
    CErrLog log;
    log.SetOutLevel(4);
    for (int level = 1; level <= 5; ++level) EXPECT_FALSE(log.IsEnable(level)) << level;
    log.OpenPrintLog();
    for (int level = 1; level <= 4; ++level) EXPECT_TRUE(log.IsEnable(level)) << level;
    EXPECT_FALSE(log.IsEnable(5));
    EXPECT_TRUE(log.IsEnable(-3));
    log.ClosePrintLog();
    log.OpenRemoteLog();
    EXPECT_TRUE(log.IsEnable(4));
    EXPECT_TRUE(log.IsEnable());
}

TEST(ErrLogLevel, LevelNames) {
    EXPECT_STREQ("fatal", CErrLog::GetLevelInStr(1));
    EXPECT_STREQ("err", CErrLog::GetLevelInStr(2));
    EXPECT_STREQ("warn", CErrLog::GetLevelInStr(3));
    EXPECT_STREQ("info", CErrLog::GetLevelInStr(4));
    EXPECT_STREQ("debug", CErrLog::GetLevelInStr(5));
    EXPECT_STREQ("unknown", CErrLog::GetLevelInStr(0));
    EXPECT_STREQ("unknown", CErrLog::GetLevelInStr(6));
}

using FileLog = LogTest;

TEST_F(FileLog, SwitchingOnCreatesNothingTheFirstLineCreatesTheDirectories) {
    CLog log;
    OpenSizeLog(log, 0, 3, "a/b/c/log");
    EXPECT_FALSE(Exists("a"));
    log.Write("x");
    EXPECT_EQ(Line("x"), Read("a/b/c/log"));
}

TEST_F(FileLog, NameIsRequired) {
    CLog log;
    EXPECT_EQ(-1, log.InitFileLog(nullptr, true, FL_FILE_SIZE_ROTATE, 0, 3));
    EXPECT_EQ(-1, log.OpenFileLog());
    EXPECT_FALSE(log.IsFileLogOn());
    EXPECT_FALSE(log.IsEnable());
}

TEST_F(FileLog, LongNameIsCut) {
    CLog log;
    std::string name(400, 'n');
    EXPECT_EQ(0, log.InitFileLog(&name[0], true, FL_FILE_SIZE_ROTATE, 0, 3));
    EXPECT_EQ(std::string(CLog::FILE_NAME_BUF_SIZE - 1, 'n'), log.GetFileName());
}

TEST_F(FileLog, SwitchingOffPausesWritesToTheSameFile) {
    CLog log;
    OpenSizeLog(log, 0, 3);
    log.Write("a");
    log.CloseFileLog();
    log.Write("b");
    EXPECT_EQ(0, log.OpenFileLog());
    log.Write("c");
    EXPECT_EQ(Line("a") + Line("c"), Read("log"));
}

TEST_F(FileLog, ResetFlushesClosesAndKeepsTheName) {
    CLog log;
    ASSERT_EQ(0, log.InitFileLog(Path("log").data(), false, FL_DAILY_ROTATE, 5, 7));
    log.OpenFileLog();
    log.OpenPrintLog();
    log.set_thread_safe(true);
    testing::internal::CaptureStdout();
    log.Write("buffered");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, log.reset());
    EXPECT_EQ(Line("buffered"), Read("log.20240305"));
    EXPECT_EQ(dir.file("log"), log.GetFileName());
    EXPECT_FALSE(log.IsEnable());
    EXPECT_FALSE(log.IsThreadSafe());
    EXPECT_EQ(FL_FILE_SIZE_ROTATE, log.GetRotateType());
    EXPECT_EQ(0xA00000u, log.GetMaxFileSize());
    EXPECT_EQ(0xFFFFFFFFu, log.GetMaxFileIndex());
}

TEST_F(FileLog, DestructionFlushesBufferedLines) {
    {
        CLog log;
        ASSERT_EQ(0, log.InitFileLog(Path("log").data(), false, FL_FILE_SIZE_ROTATE, 0, 3));
        log.OpenFileLog();
        log.Write("last words");
    }
    EXPECT_EQ(Line("last words"), Read("log"));
}

TEST_F(FileLog, ThreadSafeLogKeepsConcurrentLinesWhole) {
    CLog log;
    OpenSizeLog(log, 0, 3);
    log.set_thread_safe(true);
    const int kThreads = 4;
    const int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) log.Write("thread %d line %04d %s", t, i, std::string(64, 'a' + t).c_str());
        });
    }
    for (std::thread& th : threads) th.join();
    std::string text = Read("log");
    std::regex line(R"(\[2024-03-05 14:07:09\] thread (\d) line \d{4} ([a-d])\2{63})");
    size_t start = 0;
    int count = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string one = text.substr(start, end - start);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        EXPECT_EQ(m[1].str()[0] - '0', m[2].str()[0] - 'a');
        ++count;
    }
    EXPECT_EQ(start, text.size());
    EXPECT_EQ(kThreads * kLines, count);
}

using SizeRotation = LogTest;

TEST_F(SizeRotation, SeriesOfIndexThreeDropsTheOldestOnTheFourthRotation) {
    CLog log;
    OpenSizeLog(log, 10, 3);
    for (int i = 1; i <= 4; ++i) log.Write("L%d", i);
    // Three rotations: each line is longer than the maximum size.
    EXPECT_EQ(Line("L4"), Read("log"));
    EXPECT_EQ(Line("L3"), Read("log.1"));
    EXPECT_EQ(Line("L2"), Read("log.2"));
    EXPECT_EQ(Line("L1"), Read("log.3"));
    EXPECT_EQ(3u, log.GetCurMaxFileIndex());
    log.Write("L5");
    EXPECT_EQ(Line("L5"), Read("log"));
    EXPECT_EQ(Line("L4"), Read("log.1"));
    EXPECT_EQ(Line("L3"), Read("log.2"));
    EXPECT_EQ(Line("L2"), Read("log.3"));
    EXPECT_FALSE(Exists("log.4"));
    EXPECT_EQ(3u, log.GetCurMaxFileIndex());
}

TEST_F(SizeRotation, AFilePassesTheMaximumByOneLineAtMost) {
    CLog log;
    OpenSizeLog(log, 50, 3);
    for (int i = 0; i < 3; ++i) log.Write("0123456789");
    // 33 bytes a line: the second line still fits under 50, the third rotates.
    EXPECT_EQ(Line("0123456789") + Line("0123456789"), Read("log.1"));
    EXPECT_EQ(Line("0123456789"), Read("log"));
}

TEST_F(SizeRotation, CountingStopsAtTheFirstGap) {
    zqtest::WriteFile(dir.file("log"), "base\n");
    zqtest::WriteFile(dir.file("log.1"), "one\n");
    zqtest::WriteFile(dir.file("log.3"), "three\n");
    CLog log;
    OpenSizeLog(log, 10, 5);
    EXPECT_EQ(2u, log.GetCurMaxFileIndex());
    log.Write("x");
    log.Write("y");
    EXPECT_EQ(3u, log.GetCurMaxFileIndex());
    EXPECT_EQ(Line("y"), Read("log"));
    EXPECT_EQ("base\n" + Line("x"), Read("log.1"));
    EXPECT_EQ("one\n", Read("log.2"));
    EXPECT_EQ("three\n", Read("log.3"));
}

TEST_F(SizeRotation, RestartContinuesAFullSeries) {
    zqtest::WriteFile(dir.file("log"), "b\n");
    zqtest::WriteFile(dir.file("log.1"), "1\n");
    zqtest::WriteFile(dir.file("log.2"), "2\n");
    CLog log;
    OpenSizeLog(log, 1, 2);
    EXPECT_EQ(3u, log.GetCurMaxFileIndex());
    log.Write("x");
    log.Write("y");
    EXPECT_EQ(Line("y"), Read("log"));
    EXPECT_EQ("b\n" + Line("x"), Read("log.1"));
    EXPECT_EQ("1\n", Read("log.2"));
    EXPECT_FALSE(Exists("log.3"));
}

TEST_F(SizeRotation, ZeroMaximumSizeNeverRotates) {
    CLog log;
    OpenSizeLog(log, 0, 3);
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        log.Write("line %d", i);
        expected += Line("line " + std::to_string(i));
    }
    EXPECT_EQ(expected, Read("log"));
    EXPECT_FALSE(Exists("log.1"));
}

TEST_F(SizeRotation, MaximumSizeBeyondTwoGigabytesDoesNotRotateEveryLine) {
    CLog log;
    OpenSizeLog(log, 0x80000000u, 3);
    log.Write("a");
    log.Write("b");
    log.Write("c");
    EXPECT_EQ(Line("a") + Line("b") + Line("c"), Read("log"));
    EXPECT_FALSE(Exists("log.1"));
}

TEST_F(SizeRotation, MaximumIndexZeroKeepsOnePreviousFile) {
    CLog log;
    OpenSizeLog(log, 10, 0);
    EXPECT_EQ(1u, log.GetMaxFileIndex());
    for (int i = 1; i <= 5; ++i) log.Write("L%d", i);
    EXPECT_EQ(Line("L5"), Read("log"));
    EXPECT_EQ(Line("L4"), Read("log.1"));
    EXPECT_FALSE(Exists("log.2"));
}

TEST_F(SizeRotation, MaximumIndexZeroOverALongerSeriesKeepsTheLiveFile) {
    zqtest::WriteFile(dir.file("log"), "live\n");
    zqtest::WriteFile(dir.file("log.1"), "1\n");
    zqtest::WriteFile(dir.file("log.2"), "2\n");
    CLog log;
    OpenSizeLog(log, 1, 0);
    log.Write("x");
    log.Write("y");
    EXPECT_EQ(Line("y"), Read("log"));
    EXPECT_EQ("live\n" + Line("x"), Read("log.1"));
    EXPECT_FALSE(Exists("log.2"));
}

using DailyRotation = LogTest;

TEST_F(DailyRotation, EachDayWritesToItsOwnFile) {
    CLog log;
    ASSERT_EQ(0, log.InitFileLog(Path("visit").data(), true, FL_DAILY_ROTATE, 1, 1));
    ASSERT_EQ(0, log.OpenFileLog());
    s_fakeNow = LocalTime(2024, 3, 5, 23, 59, 59);
    log.Write("late");
    s_fakeNow = LocalTime(2024, 3, 6, 0, 0, 1);
    log.Write("early");
    log.Write("again");
    EXPECT_EQ("[2024-03-05 23:59:59] late\n", Read("visit.20240305"));
    EXPECT_EQ("[2024-03-06 00:00:01] early\n[2024-03-06 00:00:01] again\n", Read("visit.20240306"));
    EXPECT_FALSE(Exists("visit"));
}

TEST_F(DailyRotation, ADayWithoutLinesHasNoFile) {
    CLog log;
    ASSERT_EQ(0, log.InitFileLog(Path("visit").data(), true, FL_DAILY_ROTATE, 1, 1));
    ASSERT_EQ(0, log.OpenFileLog());
    log.Write("a");
    s_fakeNow = LocalTime(2024, 3, 6, 12, 0, 0);
    s_fakeNow = LocalTime(2024, 3, 7, 12, 0, 0);
    log.Write("b");
    EXPECT_TRUE(Exists("visit.20240305"));
    EXPECT_FALSE(Exists("visit.20240306"));
    EXPECT_EQ("[2024-03-07 12:00:00] b\n", Read("visit.20240307"));
}

TEST_F(DailyRotation, AppendsToTodaysExistingFile) {
    zqtest::WriteFile(dir.file("visit.20240305"), "earlier\n");
    CLog log;
    ASSERT_EQ(0, log.InitFileLog(Path("visit").data(), true, FL_DAILY_ROTATE, 1, 1));
    ASSERT_EQ(0, log.OpenFileLog());
    log.Write("now");
    EXPECT_EQ("earlier\n" + Line("now"), Read("visit.20240305"));
}

using RemoteLog = LogTest;

TEST_F(RemoteLog, SendsEachLineWithoutItsNewlineToTheReceiver) {
    zqtest::UdpReceiver receiver;
    CLog log;
    char ip[] = "127.0.0.1";
    ASSERT_EQ(0, log.InitRemoteLog(ip, receiver.port()));
    log.OpenRemoteLog();
    EXPECT_TRUE(log.IsEnable());
    log.Write("hello %d", 7);
    log.Write("second\n");
    std::string datagram;
    ASSERT_TRUE(receiver.Receive(&datagram));
    EXPECT_EQ(std::string(kStamp) + "hello 7", datagram);
    ASSERT_TRUE(receiver.Receive(&datagram));
    EXPECT_EQ(std::string(kStamp) + "second", datagram);
}

TEST_F(RemoteLog, SwitchedOffSendsNothing) {
    zqtest::UdpReceiver receiver;
    CLog log;
    char ip[] = "127.0.0.1";
    ASSERT_EQ(0, log.InitRemoteLog(ip, receiver.port()));
    log.OpenRemoteLog();
    log.CloseRemoteLog();
    log.OpenPrintLog();
    testing::internal::CaptureStdout();
    log.Write("quiet");
    testing::internal::GetCapturedStdout();
    std::string datagram;
    EXPECT_FALSE(receiver.Receive(&datagram, 200));
}

TEST_F(RemoteLog, UnreadableAddressIsRefused) {
    CLog log;
    char bad[] = "not-an-address";
    EXPECT_EQ(-1, log.InitRemoteLog(bad, 9));
    EXPECT_EQ(-1, log.InitRemoteLog(nullptr, 9));
}

TEST_F(RemoteLog, OnWithoutASocketLeavesTheOtherOutputsWorking) {
    CLog log;
    OpenSizeLog(log, 0, 3);
    log.OpenRemoteLog();
    log.Write("still here");
    EXPECT_EQ(Line("still here"), Read("log"));
}

TEST(HexDumpOfLog, WrapsTheDumpInTheSharedBuffer) {
    const char data[] = "ABC";
    std::string dump = CLog::GetMemHexInfo(data, 3);
    EXPECT_EQ(0u, dump.find("\n----------  0  1  2  3"));
    EXPECT_NE(std::string::npos, dump.find("41 42 43 "));
    EXPECT_NE(std::string::npos, dump.find(" ABC\n"));
    EXPECT_EQ('\n', dump.back());
}

TEST(MakePath, CreatesEveryDirectoryOfAFileButNotTheFile) {
    zqtest::TempDir dir;
    MKPATH_FOR_FILE(dir.file("x/y/z.log").c_str());
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("x/y").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(zqtest::FileExists(dir.file("x/y/z.log")));
    MKPATH_FOR_FILE(dir.file("x/y/z.log").c_str());
    MKPATH_FOR_FILE(nullptr);
}
