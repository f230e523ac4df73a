// The whole job with the real programs: datareport reports a file to
// zq_rcenter, whose journal line must say exactly what zq_ident says of the
// same file; the same file again is already known, across a restart too; and
// scripts/demo.sh runs it all from one command.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "rcenter_test_util.h"

namespace {

using rctest::Fields;
using rctest::Lines;
using rctest::Server;
using zqtest::PatternBytes;
using zqtest::ProcessResult;
using zqtest::RunProcess;
using zqtest::TempDir;
using zqtest::WriteFile;

const int kRunTimeoutMs = 60000;

// datareport in a working directory of its own, aimed at a server.
class Reporter {
public:
    explicit Reporter(unsigned short port) { Aim(port); }
    void Aim(unsigned short port) {
        WriteFile(m_dir.file("main.conf"), "file_path: " + m_dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
                                               std::to_string(port) + "\ntask_timeout_ms: 20000\n");
    }
    std::string File(const std::string& name) const { return m_dir.file(name); }
    ProcessResult Report(const std::string& name, const std::string& url) {
        return RunProcess(zqtest::BinPath("datareport"), {name, url}, m_dir.path(), kRunTimeoutMs);
    }
    std::string Log() const { return zqtest::ReadFile(m_dir.file("log/errlog")); }

private:
    TempDir m_dir;
};

std::map<std::string, std::string> AsMap(const std::vector<std::pair<std::string, std::string> >& fields) {
    return std::map<std::string, std::string>(fields.begin(), fields.end());
}

// zq_ident's "key: value" lines.
std::vector<std::pair<std::string, std::string> > IdentFields(const std::string& path) {
    ProcessResult r = RunProcess(zqtest::BinPath("zq_ident"), {path}, "", kRunTimeoutMs);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::pair<std::string, std::string> > fields;
    for (const std::string& line : Lines(r.out)) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos) fields.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return fields;
}

class RcenterWithDatareport : public ::testing::TestWithParam<size_t> {};

TEST_P(RcenterWithDatareport, TheJournalLineHoldsExactlyWhatZqIdentPrints) {
    Server server;
    ASSERT_TRUE(server.Start()) << server.Process().Err();
    Reporter reporter(server.Port());
    WriteFile(reporter.File("sample.data.bin"), PatternBytes(GetParam(), 41));
    ProcessResult r = reporter.Report("sample.data.bin", "http://downloads.example.com/sample.data.bin");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("rc _response: dwresult=0, dwerrno=0"), std::string::npos) << r.out;

    std::vector<std::string> lines = Lines(server.StoredLines());
    ASSERT_EQ(lines.size(), 1u);
    auto journal = Fields(lines[0]);
    auto ident = IdentFields(reporter.File("sample.data.bin"));
    ASSERT_EQ(ident.size(), 8u);
    // time, zq_ident's fields in its order, then the texts.
    ASSERT_EQ(journal.size(), 1 + ident.size() + 4);
    EXPECT_EQ(journal[0].first, "time");
    for (size_t i = 0; i < ident.size(); ++i) EXPECT_EQ(journal[1 + i], ident[i]);
    std::map<std::string, std::string> texts = AsMap(journal);
    EXPECT_EQ(texts["file"], "sample.data.bin");
    EXPECT_EQ(texts["ext"], "bin");
    EXPECT_EQ(texts["url"], "http://downloads.example.com/sample.data.bin");
    EXPECT_EQ(texts["ref"], ZQ_RC_REFERRER_URL);
}

// Empty, one piece, several pieces, and a piece size above the first.
INSTANTIATE_TEST_SUITE_P(FileSizes, RcenterWithDatareport, ::testing::Values(0, 1000, 100000, 2200000));

TEST(RcenterWithDatareportTwice, TheSameFileAgainIsAlreadyKnownAndJournaledOnce) {
    Server server;
    ASSERT_TRUE(server.Start());
    Reporter reporter(server.Port());
    WriteFile(reporter.File("a.iso"), PatternBytes(70000, 42));
    ProcessResult first = reporter.Report("a.iso", "http://example.com/a.iso");
    ASSERT_EQ(first.exit_code, 0) << first.out;
    EXPECT_NE(first.out.find("rc _response: dwresult=0, dwerrno=0"), std::string::npos);
    ProcessResult second = reporter.Report("a.iso", "http://example.com/a.iso");
    EXPECT_EQ(second.exit_code, 0) << second.out;
    EXPECT_NE(second.out.find("rc _response: dwresult=1, dwerrno=0"), std::string::npos) << second.out;
    EXPECT_EQ(Lines(server.StoredLines()).size(), 1u);
}

TEST(RcenterWithDatareportTwice, AfterARestartWithTheSameKeyItIsStillKnown) {
    rctest::SegmentKey key;
    ASSERT_NE(key.Key(), 0);
    std::string keyConfig = key.Config();
    TempDir serverDir;
    TempDir reporterDir;
    ProcessResult first, second;
    {
        Server server(serverDir.path());
        ASSERT_TRUE(server.Start(keyConfig));
        Reporter reporter(server.Port());
        WriteFile(reporter.File("b.mkv"), PatternBytes(50000, 43));
        first = reporter.Report("b.mkv", "http://example.com/b.mkv");
        ASSERT_EQ(server.Stop().exit_code, 0);

        Server restarted(serverDir.path());
        ASSERT_TRUE(restarted.Start(keyConfig));
        reporter.Aim(restarted.Port());
        second = reporter.Report("b.mkv", "http://example.com/b.mkv");
        EXPECT_EQ(Lines(restarted.StoredLines()).size(), 1u);
    }
    EXPECT_NE(first.out.find("rc _response: dwresult=0, dwerrno=0"), std::string::npos) << first.out;
    EXPECT_NE(second.out.find("rc _response: dwresult=1, dwerrno=0"), std::string::npos) << second.out;
}

TEST(RcenterDemo, RunsTheWholeJobAndShowsTheStoredRecord) {
    TempDir cwd;
    std::string bin = zqtest::BinPath("zq_rcenter");
    bin = bin.substr(0, bin.rfind('/'));
    ProcessResult r = RunProcess("/usr/bin/env", {"ZQ_BIN_DIR=" + bin, "bash", std::string(ZQ_SOURCE_DIR) + "/scripts/demo.sh"},
                                 cwd.path(), kRunTimeoutMs);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("== datareport exit status: 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rc _response: dwresult=0, dwerrno=0"), std::string::npos) << r.out;

    auto ident = IdentFields(std::string(ZQ_SOURCE_DIR) + "/README.md");
    std::string journalLine;
    for (const std::string& line : Lines(r.out)) {
        if (line.rfind("time=", 0) == 0) journalLine = line;
    }
    ASSERT_FALSE(journalLine.empty()) << r.out;
    std::map<std::string, std::string> journal = AsMap(Fields(journalLine));
    for (const auto& field : ident) EXPECT_EQ(journal[field.first], field.second) << field.first;
    EXPECT_EQ(journal["file"], "README.md");
    EXPECT_NE(r.out.find("   fid: " + journal["fid"] + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   count: 1\n"), std::string::npos) << r.out;
    EXPECT_EQ(journal["url"], "http://downloads.example.com/README.md");
}

TEST(RcenterDemo, AMissingFileFailsLoudly) {
    TempDir cwd;
    std::string bin = zqtest::BinPath("zq_rcenter");
    bin = bin.substr(0, bin.rfind('/'));
    ProcessResult r = RunProcess("/usr/bin/env",
                                 {"ZQ_BIN_DIR=" + bin, "bash", std::string(ZQ_SOURCE_DIR) + "/scripts/demo.sh",
                                  cwd.file("nothing-here")},
                                 cwd.path(), kRunTimeoutMs);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no such file"), std::string::npos) << r.err;
}

}  // namespace
