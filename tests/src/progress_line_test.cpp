// The progress line: its text, when it is drawn and cleared, silence when
// not on a terminal, and both programs drawing it on a real terminal.
#include "progress_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "files.h"
#include "net.h"
#include "process.h"

namespace {

using zqtest::PatternBytes;
using zqtest::ProcessResult;
using zqtest::TempDir;
using zqtest::WriteFile;

const uint64 kStep = CProgressLine::INTERVAL_US;

uint64 g_nowUs = 0;
uint64 FakeClock() { return g_nowUs; }

// A pipe standing in for the terminal; Take() returns what was written since
// the last call.
class Screen {
public:
    Screen() {
        if (pipe2(m_fds, O_NONBLOCK | O_CLOEXEC) != 0) m_fds[0] = m_fds[1] = -1;
    }
    ~Screen() {
        close(m_fds[0]);
        close(m_fds[1]);
    }
    int fd() const { return m_fds[1]; }
    std::string Take() {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(m_fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }

private:
    int m_fds[2];
};

class ProgressLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(screen.fd(), 0);
        g_nowUs = 1000000;
    }
    Screen screen;
};

TEST(ProgressLineText, PassPercentAndRate) {
    EXPECT_EQ(CProgressLine::Format(2, 3, "sha1", 42, 100, 1), "digests: pass 2/3 (sha1)  42%  42.0 MB/s");
    // 500 MB in 2 s.
    EXPECT_EQ(CProgressLine::Format(1, 1, "md4+sha1+md5", 500000000, 1000000000, 2000000),
              "digests: pass 1/1 (md4+sha1+md5)  50%  250.0 MB/s");
}

TEST(ProgressLineText, PercentIsRoundedDownAndOnlyWholeIsHundred) {
    EXPECT_EQ(CProgressLine::Format(1, 3, "md4", 999, 1000, 1000), "digests: pass 1/3 (md4)  99%  1.0 MB/s");
    EXPECT_EQ(CProgressLine::Format(1, 3, "md4", 1000, 1000, 1000), "digests: pass 1/3 (md4) 100%  1.0 MB/s");
    EXPECT_EQ(CProgressLine::Format(1, 3, "md4", 0, 1000, 1000), "digests: pass 1/3 (md4)   0%  0.0 MB/s");
    EXPECT_EQ(CProgressLine::Format(1, 3, "md4", 0, 0, 1000), "digests: pass 1/3 (md4) 100%  0.0 MB/s");
}

TEST(ProgressLineText, HugeSizesDoNotOverflowThePercent) {
    const unsigned long long big = 1ULL << 62;
    EXPECT_EQ(CProgressLine::Format(3, 3, "md5 pieces", big / 4, big, 0),
              "digests: pass 3/3 (md5 pieces)  25%  -- MB/s");
}

TEST_F(ProgressLine, NotOnATerminalNothingIsEverWritten) {
    {
        CProgressLine line(screen.fd());  // a pipe is no terminal
        EXPECT_FALSE(line.IsEnabled());
        line.StartPass(1, 3, "md4");
        for (int i = 1; i <= 10; ++i) line.OnDigestProgress(i * 1000ULL, 10000);
        line.StartPass(2, 3, "sha1");
        line.OnDigestProgress(10000, 10000);
        line.Finish();
    }
    EXPECT_EQ(screen.Take(), "");
}

TEST_F(ProgressLine, FirstDrawingWaitsAQuarterSecondAndLaterOnesComeNoFaster) {
    CProgressLine line(screen.fd(), true, FakeClock);
    line.StartPass(1, 1, "all");
    g_nowUs += kStep - 1;
    line.OnDigestProgress(10, 100);
    EXPECT_EQ(screen.Take(), "") << "quick work shows nothing";

    g_nowUs += 1;
    line.OnDigestProgress(25, 100);
    EXPECT_EQ(screen.Take(), "\r" + CProgressLine::Format(1, 1, "all", 25, 100, kStep));

    g_nowUs += kStep / 2;
    line.OnDigestProgress(30, 100);
    EXPECT_EQ(screen.Take(), "");

    g_nowUs += kStep / 2;
    line.OnDigestProgress(50, 100);
    EXPECT_EQ(screen.Take(), "\r" + CProgressLine::Format(1, 1, "all", 50, 100, 2 * kStep));
}

TEST_F(ProgressLine, FinishClearsWhatIsShownAndOnlyThat) {
    CProgressLine line(screen.fd(), true, FakeClock);
    line.StartPass(1, 1, "all");
    line.Finish();
    EXPECT_EQ(screen.Take(), "") << "nothing shown, nothing to clear";

    g_nowUs += kStep;
    line.OnDigestProgress(1, 2);
    std::string shown = CProgressLine::Format(1, 1, "all", 1, 2, kStep);
    EXPECT_EQ(screen.Take(), "\r" + shown);
    line.Finish();
    EXPECT_EQ(screen.Take(), "\r" + std::string(shown.size(), ' ') + "\r");
    line.Finish();
    EXPECT_EQ(screen.Take(), "");
}

TEST_F(ProgressLine, ShorterTextCoversTheRestOfTheLongerOne) {
    CProgressLine line(screen.fd(), true, FakeClock);
    line.StartPass(1, 3, "md5 pieces");
    g_nowUs += kStep;
    line.OnDigestProgress(5000000000ULL, 10000000000ULL);
    std::string longer = screen.Take().substr(1);
    line.StartPass(2, 3, "md4");
    std::string shorter = CProgressLine::Format(2, 3, "md4", 0, 1, 0);
    ASSERT_LT(shorter.size(), longer.size());
    EXPECT_EQ(screen.Take(), "\r" + shorter + std::string(longer.size() - shorter.size(), ' ') + "\r" + shorter)
        << "a line on show moves to the new pass at once";
}

TEST_F(ProgressLine, NewPassShowsNothingUntilALineIsDueAndRestartsTheRate) {
    CProgressLine line(screen.fd(), true, FakeClock);
    line.StartPass(1, 3, "md4");
    g_nowUs += kStep / 2;
    line.StartPass(2, 3, "sha1");
    EXPECT_EQ(screen.Take(), "");
    g_nowUs += kStep;
    line.OnDigestProgress(400, 1000);
    EXPECT_EQ(screen.Take(), "\r" + CProgressLine::Format(2, 3, "sha1", 400, 1000, kStep));
}

TEST_F(ProgressLine, DestructionClearsTheLine) {
    std::string shown;
    {
        CProgressLine line(screen.fd(), true, FakeClock);
        g_nowUs += kStep;
        line.OnDigestProgress(7, 9);
        shown = screen.Take();
        ASSERT_FALSE(shown.empty());
    }
    EXPECT_EQ(screen.Take(), "\r" + std::string(shown.size() - 1, ' ') + "\r");
}

// A throttled run of an 8 MiB file pauses at least 410 times in its first
// pass (one pause per five 4 KiB reads), so the line is due at least once.
const size_t kSlowFileSize = 8 * 1024 * 1024;

// The last progress text before the marker has been cleared by then.
void ExpectDrawnAndClearedBefore(const std::string& out, const std::string& marker) {
    size_t drawn = out.find("digests: pass 1/3 (md4)");
    ASSERT_NE(drawn, std::string::npos) << out;
    size_t end = out.find(marker);
    ASSERT_NE(end, std::string::npos) << out;
    size_t last = out.rfind("digests: pass", end);
    ASSERT_NE(last, std::string::npos);
    size_t lineEnd = out.find_first_of("\r", last);
    std::string text = out.substr(last, lineEnd - last);
    std::string clear = "\r" + std::string(text.size(), ' ') + "\r";
    size_t cleared = out.find(clear, last);
    EXPECT_NE(cleared, std::string::npos) << out;
    EXPECT_LT(cleared, end) << out;
}

TEST(ProgressOnTerminal, ZqIdentDrawsTheLineAndClearsItBeforeItsOutput) {
    TempDir dir;
    WriteFile(dir.file("big.bin"), PatternBytes(kSlowFileSize, 3));
    ProcessResult r = zqtest::RunOnTerminal(zqtest::BinPath("zq_ident"), {"--throttle", "big.bin"}, dir.path(), 60000);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    ExpectDrawnAndClearedBefore(r.out, "size: 8388608\r\n");
}

TEST(ProgressOnTerminal, ZqIdentWritesNoProgressWhenStandardErrorIsNotATerminal) {
    TempDir dir;
    WriteFile(dir.file("big.bin"), PatternBytes(kSlowFileSize, 3));
    ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_ident"), {"--throttle", "big.bin"}, dir.path(), 60000);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("digests:"), std::string::npos);
}

TEST(ProgressOnTerminal, DatareportDrawsTheLineBetweenItsComputeLines) {
    TempDir dir;
    WriteFile(dir.file("big.bin"), PatternBytes(kSlowFileSize, 4));
    WriteFile(dir.file("main.conf"), "file_path: " + dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
                                         std::to_string(zqtest::RefusedPort()) + "\n");
    ProcessResult r =
        zqtest::RunOnTerminal(zqtest::BinPath("datareport"), {"big.bin", "http://x/big.bin"}, dir.path(), 60000);
    ASSERT_FALSE(r.timed_out) << r.out;
    size_t start = r.out.find("start compute ");
    ASSERT_NE(start, std::string::npos) << r.out;
    EXPECT_LT(start, r.out.find("digests: pass")) << r.out;
    ExpectDrawnAndClearedBefore(r.out, "complete compute ");
}

TEST(ProgressOnTerminal, DatareportWritesNoProgressWhenStandardErrorIsNotATerminal) {
    TempDir dir;
    WriteFile(dir.file("big.bin"), PatternBytes(kSlowFileSize, 4));
    WriteFile(dir.file("main.conf"), "file_path: " + dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
                                         std::to_string(zqtest::RefusedPort()) + "\n");
    ProcessResult r =
        zqtest::RunProcess(zqtest::BinPath("datareport"), {"big.bin", "http://x/big.bin"}, dir.path(), 60000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_NE(r.out.find("complete compute "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

}  // namespace
