// zq_fetch as a user runs it, against real mirrors on loopback: nginx for
// the good ones, a scripted mirror for each way a mirror goes wrong.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "mirrors.h"
#include "net.h"
#include "process.h"

namespace {

using zqtest::BinPath;
using zqtest::FileExists;
using zqtest::NginxMirrors;
using zqtest::ProcessResult;
using zqtest::ReadFile;
using zqtest::RunProcess;
using zqtest::ScriptedMirror;
using zqtest::WriteFile;

const int kTimeoutMs = 60000;
// 1,500,000 bytes: 45 pieces of 32 KiB and a last one of 25,440 bytes.
const size_t kSize = 1500000;
const unsigned long kPiece = 32768;
const unsigned kPieces = 46;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A published file "f.bin" in www/, its table, and an empty download directory.
class Fetch : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir.file("www").c_str(), 0755);
        mkdir(dir.file("get").c_str(), 0755);
        data = zqtest::PatternBytes(kSize, 5);
        WriteFile(dir.file("www/f.bin"), data);
        ProcessResult r = RunProcess(BinPath("zq_ident"), {"--tpt-out", dir.file("f.tpt"), dir.file("www/f.bin")},
                                     dir.path(), kTimeoutMs);
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    std::string Out() const { return dir.file("get/f.bin"); }
    ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--tpt", dir.file("f.tpt")});
        return RunProcess(BinPath("zq_fetch"), args, dir.file("get"), kTimeoutMs);
    }
    ProcessResult Verify(const std::string& file) {
        return RunProcess(BinPath("zq_ident"), {"--verify", dir.file("f.tpt"), file}, dir.path(), kTimeoutMs);
    }
    bool StartNginx(NginxMirrors& mirrors, unsigned count, unsigned long rate = 0) {
        for (unsigned i = 0; i < count; ++i) mirrors.Add(dir.file("www"), rate);
        return mirrors.Start();
    }

    zqtest::TempDir dir;
    std::string data;
};

TEST_F(Fetch, ArrivesWholeFromGoodMirrorsBesideOnesThatMisbehaveAndDropsThoseWithAReason) {
    NginxMirrors nginx;
    ASSERT_TRUE(StartNginx(nginx, 2, 4000000)) << nginx.Error();
    const std::string file = dir.file("www/f.bin");
    ScriptedMirror corrupt, norange, wrong, stall, cut;
    ASSERT_TRUE(corrupt.Start(file, "corrupt", kPiece, 0));
    ASSERT_TRUE(norange.Start(file, "norange"));
    ASSERT_TRUE(wrong.Start(file, "wronglength"));
    ASSERT_TRUE(stall.Start(file, "stall"));
    ASSERT_TRUE(cut.Start(file, "cut", kPiece, 1));
    ProcessResult r = Run({"-o", "f.bin", "--connections", "7", "--per-mirror", "1", "--stall-timeout", "2",
                           corrupt.Url("f.bin"), norange.Url("f.bin"), wrong.Url("f.bin"), stall.Url("f.bin"),
                           cut.Url("f.bin"), nginx.Url(0, "f.bin"), nginx.Url(1, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(Out()), data);
    EXPECT_FALSE(FileExists(Out() + ".part"));
    EXPECT_TRUE(Contains(r.err, "dropping mirror " + corrupt.Url("f.bin") + ": sent 3 bad pieces")) << r.err;
    EXPECT_TRUE(Contains(r.err, "dropping mirror " + norange.Url("f.bin") + ": ignores Range")) << r.err;
    EXPECT_TRUE(Contains(r.err, "dropping mirror " + wrong.Url("f.bin") + ": sent bytes")) << r.err;
    EXPECT_FALSE(Contains(r.err, "dropping mirror " + nginx.Url(0, "f.bin"))) << r.err;
    EXPECT_TRUE(Contains(r.out, "f.bin: complete: 46 pieces, 1500000 bytes")) << r.out;
}

// Two mirrors, one a hundred times slower: once the work is handed out,
// the fast one takes over the pieces the slow one has not reached.
TEST_F(Fetch, FasterMirrorTakesOverWhatASlowOneHasNotReached) {
    NginxMirrors nginx;
    nginx.Add(dir.file("www"));
    nginx.Add(dir.file("www"), 20000);
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    ProcessResult r = Run({"-o", "f.bin", "--connections", "2", "--per-mirror", "1", nginx.Url(0, "f.bin"),
                           nginx.Url(1, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(Out()), data);
    EXPECT_LT(nginx.BodyBytesSent(1), 4 * kPiece) << "the slow mirror kept its whole first range";
}

TEST_F(Fetch, OnlyACorruptingMirrorExitsOneNamingTheBadPiecesAndWritesNoOutput) {
    ScriptedMirror corrupt;
    ASSERT_TRUE(corrupt.Start(dir.file("www/f.bin"), "corrupt", kPiece, 44));
    ProcessResult r = Run({"-o", "f.bin", corrupt.Url("f.bin")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Contains(r.err, "f.bin: 2 pieces no mirror delivered intact: 44, 45; f.bin.part kept")) << r.err;
    EXPECT_FALSE(FileExists(Out()));
    EXPECT_TRUE(FileExists(Out() + ".part"));
}

TEST_F(Fetch, MirrorThatSendsNothingIsDroppedOnceTheStallTimeoutPasses) {
    ScriptedMirror stall;
    ASSERT_TRUE(stall.Start(dir.file("www/f.bin"), "stall"));
    ProcessResult r = Run({"-o", "f.bin", "--stall-timeout", "1", stall.Url("f.bin")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Contains(r.err, "dropping mirror " + stall.Url("f.bin") + ": sent nothing for 1 s")) << r.err;
    EXPECT_FALSE(FileExists(Out()));
}

TEST_F(Fetch, RedirectToAFileUrlIsRefused) {
    ScriptedMirror redirect;
    ASSERT_TRUE(redirect.Start(dir.file("www/f.bin"), "redirect-file"));
    ProcessResult r = Run({"-o", "f.bin", redirect.Url("f.bin")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Contains(r.err, "dropping mirror " + redirect.Url("f.bin") + ": not http or https")) << r.err;
    EXPECT_TRUE(Contains(r.err, "46 pieces no mirror delivered intact")) << r.err;
    EXPECT_FALSE(FileExists(Out()));
}

TEST_F(Fetch, PartLeftByAKilledRunResumesAndFetchesOnlyWhatIsMissing) {
    NginxMirrors slow;
    ASSERT_TRUE(StartNginx(slow, 1, 300000)) << slow.Error();
    zqtest::ChildProcess first;
    ASSERT_TRUE(first.Start(BinPath("zq_fetch"),
                            {"--tpt", dir.file("f.tpt"), "-o", "f.bin", "--connections", "1", slow.Url(0, "f.bin")},
                            dir.file("get")));
    usleep(2000000);
    first.Signal(SIGKILL);
    first.Wait(kTimeoutMs);
    ASSERT_TRUE(FileExists(Out() + ".part"));
    ASSERT_FALSE(FileExists(Out()));

    NginxMirrors fast;
    ASSERT_TRUE(StartNginx(fast, 1)) << fast.Error();
    ProcessResult r = Run({"-o", "f.bin", fast.Url(0, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(Out()), data);
    EXPECT_GT(fast.BodyBytesSent(), 0u);
    EXPECT_LT(fast.BodyBytesSent(), kSize - 300000) << "the pieces the killed run wrote are not fetched again";
}

TEST_F(Fetch, ProgressIsDrawnOnATerminalAndOnlyTheResultLineGoesToAPipe) {
    NginxMirrors nginx;
    ASSERT_TRUE(StartNginx(nginx, 1, 300000)) << nginx.Error();
    ProcessResult term = zqtest::RunOnTerminal(
        BinPath("zq_fetch"), {"--tpt", dir.file("f.tpt"), "-o", "t.bin", nginx.Url(0, "f.bin")}, dir.file("get"),
        kTimeoutMs);
    EXPECT_EQ(term.exit_code, 0) << term.out;
    EXPECT_TRUE(Contains(term.out, "fetch: ") && Contains(term.out, "MB/s  1 mirrors  0 bad pieces")) << term.out;
    ProcessResult pipe = Run({"-o", "f.bin", nginx.Url(0, "f.bin")});
    EXPECT_EQ(pipe.exit_code, 0) << pipe.err;
    EXPECT_EQ(pipe.err, "");
    EXPECT_EQ(pipe.out, "f.bin: complete: 46 pieces, 1500000 bytes, 46 fetched (1500000 bytes), 0 bad pieces on the way\n");
}

TEST_F(Fetch, ExistingOutputIsNotOverwrittenWithoutForce) {
    WriteFile(Out(), "mine");
    ProcessResult r = Run({"-o", "f.bin", "http://127.0.0.1:1/f.bin"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(ReadFile(Out()), "mine");
    EXPECT_TRUE(Contains(r.err, "--force")) << r.err;
}

// Anyone who can write the directory could plant FILE.part -> a file of the
// user's; it is refused, never written through, and FILE itself being a
// link is replaced, not its target.
TEST_F(Fetch, APartFileThatIsALinkIsNeverWrittenThroughAndTheFinalLinkIsReplaced) {
    NginxMirrors mirrors;
    ASSERT_TRUE(StartNginx(mirrors, 1)) << mirrors.Error();
    WriteFile(dir.file("precious"), "keep me");
    ASSERT_EQ(symlink(dir.file("precious").c_str(), dir.file("get/f.bin.part").c_str()), 0);
    ProcessResult r = Run({"-o", "f.bin", mirrors.Url(0, "f.bin")});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_TRUE(Contains(r.err, "symbolic link")) << r.err;
    EXPECT_EQ(ReadFile(dir.file("precious")), "keep me");

    ASSERT_EQ(unlink(dir.file("get/f.bin.part").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("precious").c_str(), Out().c_str()), 0);
    r = Run({"-o", "f.bin", "--force", mirrors.Url(0, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.file("precious")), "keep me");
    struct stat st;
    ASSERT_EQ(lstat(Out().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(Out()), data);
}

TEST_F(Fetch, FullDiskStopsWithAClearMessageBeforeAnythingIsFetched) {
    zqtest::TestMount disk;
    if (!disk.Tmpfs(dir.file("get"), 1024 * 1024)) GTEST_SKIP() << "no size-limited tmpfs here: " << disk.Error();
    NginxMirrors nginx;
    ASSERT_TRUE(StartNginx(nginx, 1)) << nginx.Error();
    ProcessResult r = Run({"-o", "f.bin", nginx.Url(0, "f.bin")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Contains(r.err, "no room for 1500000 bytes")) << r.err;
    EXPECT_FALSE(FileExists(Out()));
    EXPECT_EQ(nginx.BodyBytesSent(), 0u);
}

// A mirror whose certificate no trusted authority signed is refused; the
// same mirror with its authority given is used.
TEST_F(Fetch, TlsMirrorsAreVerified) {
    const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    ProcessResult gen = RunProcess("/usr/bin/openssl",
                                   {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                                    "/CN=127.0.0.2", "-addext", "subjectAltName=IP:127.0.0.2", "-keyout", key, "-out", cert},
                                   dir.path(), kTimeoutMs);
    ASSERT_EQ(gen.exit_code, 0) << gen.err;
    NginxMirrors nginx;
    nginx.AddTls(dir.file("www"), cert, key);
    ASSERT_TRUE(nginx.Start()) << nginx.Error();
    ProcessResult r = Run({"-o", "f.bin", nginx.Url(0, "f.bin")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(Contains(r.err, "dropping mirror " + nginx.Url(0, "f.bin"))) << r.err;
    r = Run({"-o", "f.bin", "--ca-file", cert, nginx.Url(0, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(Out()), data);
}

TEST_F(Fetch, RepairOfThreeFlippedBytesFetchesThreePiecesAndTheCopyThenVerifies) {
    NginxMirrors nginx;
    ASSERT_TRUE(StartNginx(nginx, 2)) << nginx.Error();
    std::string damaged = data;
    for (size_t at : {size_t(10), size_t(20 * kPiece + 5), kSize - 1}) damaged[at] = static_cast<char>(damaged[at] ^ 1);
    WriteFile(Out(), damaged);
    ProcessResult r = Run({"--repair", "f.bin", nginx.Url(0, "f.bin"), nginx.Url(1, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Verify(Out()).exit_code, 0);
    unsigned long long last = kSize - (kPieces - 1) * kPiece;
    EXPECT_EQ(nginx.BodyBytesSent(), 2 * kPiece + last);
    EXPECT_TRUE(Contains(r.out, "f.bin: repaired: 3 of 46 pieces fetched")) << r.out;
}

TEST_F(Fetch, RepairLeavesAnIntactCopyUntouchedAndMendsAShortOne) {
    NginxMirrors nginx;
    ASSERT_TRUE(StartNginx(nginx, 1)) << nginx.Error();
    WriteFile(Out(), data);
    struct stat before, after;
    ASSERT_EQ(stat(Out().c_str(), &before), 0);
    usleep(20000);
    ProcessResult r = Run({"--repair", "f.bin", nginx.Url(0, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "f.bin: intact: 46 pieces, 1500000 bytes\n");
    ASSERT_EQ(stat(Out().c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(nginx.BodyBytesSent(), 0u);

    WriteFile(Out(), data.substr(0, 10 * kPiece + 100));
    r = Run({"--repair", "f.bin", nginx.Url(0, "f.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(Out()), data);
    EXPECT_EQ(nginx.BodyBytesSent(), kSize - 10 * kPiece);
}

// A center whose record comes in two pages: the first page's mirror refuses
// connections, so the file can only arrive from the one on the second.
TEST_F(Fetch, CenterRecordIsFollowedOverEveryPageOfItsLocations) {
    NginxMirrors nginx;
    ASSERT_TRUE(StartNginx(nginx, 1)) << nginx.Error();
    ProcessResult id = RunProcess(BinPath("zq_ident"), {dir.file("www/f.bin")}, dir.path(), kTimeoutMs);
    size_t at = id.out.find("fid: ");
    ASSERT_NE(at, std::string::npos) << id.out;
    const std::string fid = id.out.substr(at + 5, 40);
    ScriptedMirror center;
    ASSERT_TRUE(center.StartScript("paged_center.py",
                                   {fid, std::to_string(kSize), dir.file("f.tpt"),
                                    "http://127.0.0.1:" + std::to_string(zqtest::RefusedPort()) + "/f.bin",
                                    nginx.Url(0, "f.bin")}));
    std::string base = center.Url("");
    ProcessResult r = RunProcess(BinPath("zq_fetch"), {"--center", base.substr(0, base.size() - 1), fid},
                                 dir.file("get"), kTimeoutMs);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.file("get/paged.bin")), data);
}

// A center that names page after page: reading stops at the bound, says so,
// and the download goes on with what was read.
TEST_F(Fetch, ACenterThatNeverStopsNamingPagesIsReadUpToTheBound) {
    NginxMirrors nginx;
    ASSERT_TRUE(StartNginx(nginx, 1)) << nginx.Error();
    ProcessResult id = RunProcess(BinPath("zq_ident"), {dir.file("www/f.bin")}, dir.path(), kTimeoutMs);
    size_t at = id.out.find("fid: ");
    ASSERT_NE(at, std::string::npos) << id.out;
    const std::string fid = id.out.substr(at + 5, 40);
    ScriptedMirror center;
    ASSERT_TRUE(center.StartScript("paged_center.py", {fid, std::to_string(kSize), dir.file("f.tpt"), "unused",
                                                       nginx.Url(0, "f.bin"), "endless"}));
    std::string base = center.Url("");
    ProcessResult r = RunProcess(BinPath("zq_fetch"), {"--center", base.substr(0, base.size() - 1), fid},
                                 dir.file("get"), kTimeoutMs);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "the first 10000 are used")) << r.err;
    EXPECT_EQ(ReadFile(dir.file("get/paged.bin")), data);
}

TEST(FetchOptions, BadOptionsNameTheOptionOnOneLineThenTheUsageAndExitTwo) {
    zqtest::TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus=1"}, {"--center"}, {"--connections=0", "--tpt", "t", "-o", "f", "u"}}) {
        ProcessResult r = RunProcess(BinPath("zq_fetch"), args, dir.path(), kTimeoutMs);
        EXPECT_EQ(r.exit_code, 2) << args[0];
        std::string first = r.err.substr(0, r.err.find('\n'));
        EXPECT_NE(first.find(args[0].substr(0, args[0].find('='))), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\nusage: zq_fetch"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    ProcessResult help = RunProcess(BinPath("zq_fetch"), {"--help"}, dir.path(), kTimeoutMs);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("usage: zq_fetch", 0), 0u) << help.out;
}

}  // namespace
