// The command-line conventions every program but datareport shares, run on
// the built programs: --help, --version, unknown options and missing values,
// --opt=value, and zq_rcenter's named configuration file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.h"
#include "process.h"

namespace {

using zqtest::BinPath;
using zqtest::ProcessResult;
using zqtest::RunProcess;
using zqtest::TempDir;

const std::vector<std::string> kPrograms = {"zq_ident", "zq_lookup", "zq_sig", "zq_rcenter", "zq_fetch"};

ProcessResult Tool(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "/") {
    return RunProcess(BinPath(program), args, cwd, 30000);
}

size_t LineCount(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

TEST(ToolCli, HelpPrintsTheUsageOnStandardOutputWithStatusZero) {
    for (const std::string& program : kPrograms) {
        ProcessResult r = Tool(program, {"--help"});
        EXPECT_EQ(r.exit_code, 0) << program;
        EXPECT_EQ(r.out.rfind("usage: " + program, 0), 0u) << program << ": " << r.out;
        EXPECT_EQ(r.err, "") << program;
    }
}

TEST(ToolCli, VersionIsTheProgramAndTheProjectVersionOnOneLine) {
    for (const std::string& program : kPrograms) {
        ProcessResult r = Tool(program, {"--version"});
        EXPECT_EQ(r.exit_code, 0) << program;
        EXPECT_EQ(r.out.rfind(program + " " ZQ_PROJECT_VERSION, 0), 0u) << r.out;
        EXPECT_EQ(LineCount(r.out), 1u) << r.out;
    }
}

TEST(ToolCli, AnUnknownOptionOrAMissingValueIsOneLineAndTheUsageWithStatusTwo) {
    const std::vector<std::pair<std::string, std::vector<std::string> > > cases = {
        {"zq_ident", {"--bogus", "a"}},  {"zq_lookup", {"--frobnicate"}}, {"zq_sig", {"mint", "--bogus"}},
        {"zq_rcenter", {"--bogus"}},     {"zq_ident", {"a", "--simd"}},   {"zq_lookup", {"--db"}},
        {"zq_sig", {"check", "--user"}},
    };
    for (const auto& c : cases) {
        ProcessResult r = Tool(c.first, c.second);
        EXPECT_EQ(r.exit_code, 2) << c.first << " " << c.second.back();
        EXPECT_EQ(r.out, "") << c.first;
        std::string::size_type usage = r.err.find("usage: " + c.first);
        ASSERT_NE(usage, std::string::npos) << r.err;
        EXPECT_EQ(LineCount(r.err.substr(0, usage)), 1u) << r.err;
        EXPECT_NE(r.err.find(c.second.back()), std::string::npos) << "the line names the option: " << r.err;
    }
}

TEST(ToolCli, AValueAfterAnEqualsSignIsTheSameAsTheNextWord) {
    TempDir dir;
    zqtest::WriteFile(dir.file("a"), "abc");
    ProcessResult spaced = Tool("zq_ident", {"--threads", "2", "--simd", "portable", "a"}, dir.path());
    ProcessResult joined = Tool("zq_ident", {"--threads=2", "--simd=portable", "a"}, dir.path());
    EXPECT_EQ(spaced.exit_code, 0) << spaced.err;
    EXPECT_EQ(joined.exit_code, 0) << joined.err;
    EXPECT_EQ(joined.out, spaced.out);
    // After "--" a name that looks like an option is a file.
    zqtest::WriteFile(dir.file("--json"), "abc");
    ProcessResult dashed = Tool("zq_ident", {"--", "--json"}, dir.path());
    EXPECT_EQ(dashed.exit_code, 0) << dashed.err;
    EXPECT_EQ(dashed.out, spaced.out);
}

TEST(ToolCli, ANamedConfigurationThatIsMissingStopsTheCenterWithStatusOneCreatingNothing) {
    TempDir dir;
    ProcessResult r = Tool("zq_rcenter", {"rcenter.cnf"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("rcenter.cnf"), std::string::npos) << r.err;
    EXPECT_FALSE(zqtest::FileExists(dir.file("data")));
    EXPECT_FALSE(zqtest::FileExists(dir.file("log")));
}
