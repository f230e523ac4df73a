// zq_ident --tpt-out and --verify as a user runs them: a table written for a
// file, then the file checked against it after damage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "process.h"

namespace {

using zqtest::BinPath;
using zqtest::PatternBytes;
using zqtest::ProcessResult;
using zqtest::ReadFile;
using zqtest::RunProcess;
using zqtest::TempDir;
using zqtest::WriteFile;

const int kTimeoutMs = 60000;
// 300,000 bytes: nine 32 KiB pieces and a last one of 5,088 bytes.
const size_t kSize = 300000;

ProcessResult Ident(const std::vector<std::string>& args, const std::string& cwd) {
    return RunProcess(BinPath("zq_ident"), args, cwd, kTimeoutMs);
}

// A directory holding "f" and "f.tpt", the table zq_ident wrote for it.
class VerifiedFile : public ::testing::Test {
protected:
    void SetUp() override {
        data = PatternBytes(kSize, 21);
        WriteFile(dir.file("f"), data);
        ProcessResult r = Ident({"--tpt-out", "f.tpt", "--tpt", "f"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        ASSERT_NE(r.out.find("tpt: " + zqtest::ToHex(ReadFile(dir.file("f.tpt")))), std::string::npos)
            << "the table written is the record's";
    }
    ProcessResult Verify(const std::string& table = "f.tpt") { return Ident({"--verify", table, "f"}, dir.path()); }

    TempDir dir;
    std::string data;
};

TEST_F(VerifiedFile, IntactFileIsOneSummaryLineAndExitZero) {
    ProcessResult r = Verify();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "f: intact: 10 pieces, 300000 bytes\n");
}

TEST_F(VerifiedFile, OneFlippedByteNamesExactlyItsPiece) {
    for (size_t at : {size_t(0), size_t(3 * 32768 + 7), kSize - 1}) {
        std::string damaged = data;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
        WriteFile(dir.file("f"), damaged);
        ProcessResult r = Verify();
        EXPECT_EQ(r.exit_code, 1) << at;
        size_t piece = at / 32768;
        std::string range = std::to_string(piece * 32768) + "-" + std::to_string(std::min(kSize, piece * 32768 + 32768) - 1);
        std::string expect = "piece " + std::to_string(piece) + ": bytes " + range + ": expected ";
        EXPECT_EQ(r.out.compare(0, expect.size(), expect), 0) << r.out;
        EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "f: damaged: 1 of 10 pieces bad, 300000 bytes\n") << r.out;
    }
}

TEST_F(VerifiedFile, TruncatedFileNamesTheCutPieceTheMissingOnesAndTheSize) {
    WriteFile(dir.file("f"), data.substr(0, 100000));
    ProcessResult r = Verify();
    EXPECT_EQ(r.exit_code, 1);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(r.out.substr(at, end - at));
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 31), "piece 3: bytes 98304-131071: ex");
    EXPECT_EQ(lines[1], "pieces 4-9: bytes 131072-299999: missing, past the end of the file");
    EXPECT_EQ(lines[2], "size: 100000 bytes, the table says 300000");
    EXPECT_EQ(lines[3], "f: damaged: 7 of 10 pieces bad, 100000 bytes where the table has 300000");
}

TEST_F(VerifiedFile, UnreadableOrGarbledTableIsExitTwo) {
    std::string table = ReadFile(dir.file("f.tpt"));
    WriteFile(dir.file("short.tpt"), table.substr(0, table.size() - 1));
    WriteFile(dir.file("mark.tpt"), "X" + table.substr(1));
    std::string sized = table;
    sized[13] = 64;  // 64 KiB pieces for a 300,000-byte file
    WriteFile(dir.file("sized.tpt"), sized);
    for (const char* bad : {"absent.tpt", "short.tpt", "mark.tpt", "sized.tpt", "."}) {
        ProcessResult r = Verify(bad);
        EXPECT_EQ(r.exit_code, 2) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_NE(r.err.find(std::string("cannot use the piece table ") + bad), std::string::npos) << r.err;
    }
}

}  // namespace
