// zq_sig as an operator runs it: a token it mints opens with its fields, each
// kind of bad token is named with exit status 1, bad arguments give 2.
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files.h"
#include "process.h"

namespace {

using zqtest::BinPath;
using zqtest::ProcessResult;
using zqtest::RunProcess;

const int kTimeoutMs = 30000;
const std::string kKey = "00112233445566778899AABBCCDDEEFF";
const std::string kPath = "/v1/resources/0123456789abcdef0123456789abcdef01234567/remove";

ProcessResult Sig(const std::vector<std::string>& args) { return RunProcess(BinPath("zq_sig"), args, "", kTimeoutMs); }

std::string MintToken(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"mint", "--key", kKey, "--user", "42", "--path", kPath};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult r = Sig(args);
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(105u, r.out.size()) << r.out;
    return r.out.substr(0, r.out.size() - 1);
}

ProcessResult CheckToken(const std::string& token, const std::string& user = "42", const std::string& path = kPath,
                         const std::string& key = kKey) {
    return Sig({"check", "--key", key, "--user", user, "--path", path, token});
}

}  // namespace

TEST(ZqSig, AMintedTokenChecksValidAndShowsItsFields) {
    const std::string now = std::to_string(time(nullptr));
    std::string token = MintToken({"--session", "0f0e0d0c0b0a09080706050403020100", "--time", now});
    ProcessResult r = CheckToken(token);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("session: 0f0e0d0c0b0a09080706050403020100\ntime: " + now + "\nuser: 42\nverdict: valid\n", r.out);
}

TEST(ZqSig, ABadTokenIsNamedWithStatusOneAndFieldsOnlyWhenItOpened) {
    const std::string token = MintToken({"--time", "1000"});
    ProcessResult r = CheckToken(token, "43");
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0u, r.out.find("session: ")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\ntime: 1000\nuser: 42\nverdict: invalid: wrong user\n")) << r.out;
    r = CheckToken(token.substr(0, 103) + "0", "42", kPath + "x");
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ("verdict: invalid: authentication failed\n", r.out);
}

TEST(ZqSig, BadArgumentsExitTwoWithoutOutput) {
    const std::vector<std::vector<std::string> > bad = {
        {},
        {"sign", "--key", kKey, "--user", "1", "--path", "/p"},
        {"mint", "--user", "1", "--path", "/p"},
        {"mint", "--key", kKey.substr(1), "--user", "1", "--path", "/p"},
        {"mint", "--key", kKey, "--user", "4294967296", "--path", "/p"},
        {"mint", "--key", kKey, "--user", "1", "--path", "/p", "--window", "5"},
        {"check", "--key", kKey, "--user", "1", "--path", "/p"},
    };
    for (const std::vector<std::string>& args : bad) {
        ProcessResult r = Sig(args);
        EXPECT_EQ(2, r.exit_code) << (args.empty() ? "" : args[0]) << " " << args.size();
        EXPECT_EQ("", r.out);
    }
}

TEST(ZqSigSecret, AKeyFileOthersCanReadIsRefusedAndAPrivateOneSigns) {
    zqtest::TempDir dir;
    const std::string file = dir.file("sig_key");
    zqtest::WriteFile(file, kKey + "\n");
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    ProcessResult r = Sig({"mint", "--key-file", file, "--user", "42", "--path", kPath});
    EXPECT_EQ(2, r.exit_code);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("readable by group or others")) << r.err;
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    r = Sig({"mint", "--key-file=" + file, "--user", "42", "--path", kPath});
    ASSERT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0, CheckToken(r.out.substr(0, r.out.size() - 1)).exit_code);
}

TEST(ZqSigSecret, TheEnvironmentGivesTheSecretAndOneOnTheCommandLineIsWarnedAbout) {
    ProcessResult r = RunProcess("/usr/bin/env", {"ZQ_SIG_KEY=" + kKey, BinPath("zq_sig"), "mint", "--user", "42",
                                                  "--path", kPath},
                                 "", kTimeoutMs);
    ASSERT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ("", r.err);
    ProcessResult checked = CheckToken(r.out.substr(0, r.out.size() - 1));
    EXPECT_EQ(0, checked.exit_code);
    EXPECT_NE(std::string::npos, checked.err.find("warning: --key")) << checked.err;
}
