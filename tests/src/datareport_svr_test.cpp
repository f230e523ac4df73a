// The client's computation of its record: what compute_rc_info fills, prints
// and logs, and the digest modes that feed it giving the same record.
#include "datareport_svr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "filehelper.h"
#include "files.h"
#include "helper.h"
#include "md4emule.h"
#include "net.h"
#include "process.h"
#include "progress_line.h"
#include "wire.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using zqtest::PatternBytes;
using zqtest::TempDir;
using zqtest::ToHex;
using zqtest::WriteFile;

std::string Md4Empty() {
    MD4_CTX ctx;
    MD4Init(&ctx);
    unsigned char out[16];
    MD4Final(out, &ctx);
    return ToHex(out, 16);
}

void ExpectUntouched(const RSInfo& info) {
    EXPECT_TRUE(info.Hash.IsZero());
    EXPECT_TRUE(info.SID.IsZero());
    EXPECT_TRUE(info.FID.IsZero());
    EXPECT_TRUE(info.MD4.IsZero());
    EXPECT_EQ(info.Size, 0u);
    EXPECT_TRUE(info.Url.empty());
    EXPECT_TRUE(info.Ref.empty());
    EXPECT_TRUE(info.FileName.empty());
    EXPECT_TRUE(info.ExtName.empty());
    EXPECT_EQ(info.TptFile.GetDataLen(), 0u);
}

TEST(ComputeRcInfo, FillsTheRecordFromTheFile) {
    TempDir dir;
    std::string data = PatternBytes(100000, 31);
    std::string path = dir.file("movie.part.mkv");
    WriteFile(path, data);

    ip_svr_t svr;
    CaptureStdout();
    int res = svr.compute_rc_info(path, "movie.part.mkv", "http://host/x?y=1");
    std::string out = GetCapturedStdout();
    ASSERT_EQ(res, 0);
    EXPECT_EQ(out, "start compute " + path + "\ncomplete compute " + path + "\n");
    EXPECT_TRUE(svr.m_compute);

    const RSInfo& info = svr.mData;
    unsigned char sha1[20], md4[16], fid[20], sid[20];
    ASSERT_TRUE(CHelper::GetFileSha1(path, sha1, false));
    ASSERT_TRUE(CHelper::GetFileMd4(path, md4, false));
    ASSERT_TRUE(CHelper::GetFileFID(path, fid, false));
    ASSERT_TRUE(CHelper::GetFileSID(path, sid));
    EXPECT_EQ(info.Hash, Sha1Hash(sha1, 20));
    EXPECT_EQ(info.MD4, Md5Hash(md4, 16));
    EXPECT_EQ(info.FID, Sha1Hash(fid, 20));
    EXPECT_EQ(info.SID, Sha1Hash(sid, 20));
    EXPECT_EQ(info.Size, 100000u);
    EXPECT_EQ(info.FileName, "movie.part.mkv");
    EXPECT_EQ(info.ExtName, "mkv");
    EXPECT_EQ(info.Url, "http://host/x?y=1");
    EXPECT_EQ(info.Ref, ZQ_RC_REFERRER_URL);
    EXPECT_EQ(info.Ref.compare(0, 7, "http://"), 0);
    EXPECT_EQ(info.TptFile.GetDataLen(), 119u);
    EXPECT_EQ(zqtest::SegCntOf(info.TptFile), 4u);
    EXPECT_EQ(zqtest::LastSegSizeOf(info.TptFile), 1696u);
    EXPECT_EQ(info.TptFile.mFilehash, info.Hash);
}

TEST(ComputeRcInfo, MissingFilePrintsTheErrorAndLeavesTheRecord) {
    TempDir dir;
    std::string path = dir.file("absent.bin");
    ip_svr_t svr;
    CaptureStdout();
    int res = svr.compute_rc_info(path, "absent.bin", "u");
    std::string out = GetCapturedStdout();
    EXPECT_EQ(res, -1);
    EXPECT_EQ(out, "start compute " + path + "\ncompute error " + path + "\n");
    EXPECT_FALSE(svr.m_compute);
    ExpectUntouched(svr.mData);
}

TEST(ComputeRcInfo, DirectoriesAndPipesAreRefusedWithoutWaiting) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), dir.file("pipe")}) {
        ip_svr_t svr;
        CaptureStdout();
        int res = svr.compute_rc_info(path, "x", "u");
        std::string out = GetCapturedStdout();
        EXPECT_EQ(res, -1);
        EXPECT_NE(out.find("compute error " + path + "\n"), std::string::npos) << out;
        EXPECT_FALSE(svr.m_compute);
        ExpectUntouched(svr.mData);
    }
}

TEST(ComputeRcInfo, EmptyFileHasNoPiecesAndZeroIdentifiers) {
    TempDir dir;
    WriteFile(dir.file("empty"), "");
    ip_svr_t svr;
    CaptureStdout();
    int res = svr.compute_rc_info(dir.file("empty"), "empty", "u");
    GetCapturedStdout();
    ASSERT_EQ(res, 0);
    const RSInfo& info = svr.mData;
    EXPECT_EQ(info.Size, 0u);
    EXPECT_EQ(info.MD4.Hex(), Md4Empty());
    EXPECT_EQ(info.Hash.Hex(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_TRUE(info.SID.IsZero());
    EXPECT_TRUE(info.FID.IsZero());
    EXPECT_EQ(info.TptFile.GetDataLen(), 55u);
    EXPECT_EQ(zqtest::SegCntOf(info.TptFile), 0u);
    EXPECT_EQ(info.ExtName, "empty");
}

// The size must describe the bytes the digests were taken over, so a
// symbolic link is measured by its target.
TEST(ComputeRcInfo, SymbolicLinkIsMeasuredByItsTarget) {
    TempDir dir;
    WriteFile(dir.file("target.dat"), PatternBytes(70000, 41));
    ASSERT_EQ(symlink("target.dat", dir.file("link.dat").c_str()), 0);
    ip_svr_t direct, linked;
    CaptureStdout();
    ASSERT_EQ(direct.compute_rc_info(dir.file("target.dat"), "a.dat", "u"), 0);
    ASSERT_EQ(linked.compute_rc_info(dir.file("link.dat"), "a.dat", "u"), 0);
    GetCapturedStdout();
    EXPECT_EQ(linked.mData.Size, 70000u);
    EXPECT_EQ(linked.mData.Hash, direct.mData.Hash);
    EXPECT_EQ(linked.mData.FID, direct.mData.FID);
    EXPECT_EQ(linked.mData.SID, direct.mData.SID);
    EXPECT_EQ(linked.mData.TptFile.GetDataLen(), direct.mData.TptFile.GetDataLen());
    EXPECT_EQ(memcmp(linked.mData.TptFile.GetBegPnt(), direct.mData.TptFile.GetBegPnt(), 55 + 3 * 16), 0);
}

TEST(ComputeRcDigests, ReportsWhichPassFailed) {
    TempDir dir;
    rc_digests_t d;
    EXPECT_EQ(compute_rc_digests(dir.file("absent"), d, rc_digest_opts(RC_DIGEST_UNTHROTTLED)), RC_DIGESTS_MD4_FAILED);
    WriteFile(dir.file("f"), PatternBytes(40000, 1));
    ASSERT_EQ(compute_rc_digests(dir.file("f"), d, rc_digest_opts(RC_DIGEST_UNTHROTTLED)), RC_DIGESTS_OK);
    EXPECT_EQ(d.Size, 40000u);
    EXPECT_EQ(d.PieceCount(), 2);
    std::vector<std::vector<unsigned char> > pieces;
    ASSERT_TRUE(CHelper::GetFilePieceHashs(dir.file("f"), pieces, false));
    EXPECT_EQ(std::vector<unsigned char>(d.Pieces.begin(), d.Pieces.begin() + 16), pieces[0]);
    EXPECT_EQ(std::vector<unsigned char>(d.Pieces.begin() + 16, d.Pieces.end()), pieces[1]);
}

// The fast pass against the throttled passes: the same record to the byte.
void ExpectSameRecord(const RSInfo& a, const RSInfo& b, const std::string& what) {
    EXPECT_EQ(a.Hash, b.Hash) << what;
    EXPECT_EQ(a.MD4, b.MD4) << what;
    EXPECT_EQ(a.SID, b.SID) << what;
    EXPECT_EQ(a.FID, b.FID) << what;
    EXPECT_EQ(a.Size, b.Size) << what;
    EXPECT_EQ(a.FileName, b.FileName) << what;
    EXPECT_EQ(a.ExtName, b.ExtName) << what;
    EXPECT_EQ(a.Url, b.Url) << what;
    EXPECT_EQ(a.Ref, b.Ref) << what;
    ASSERT_EQ(a.TptFile.GetDataLen(), b.TptFile.GetDataLen()) << what;
    EXPECT_EQ(memcmp(a.TptFile.GetBegPnt(), b.TptFile.GetBegPnt(), a.TptFile.GetDataLen()), 0) << what;
}

TEST(ComputeRcFastPath, RecordIsByteIdenticalToTheThrottledOne) {
    TempDir dir;
    const size_t chunk = 9728000;
    std::string data = PatternBytes(chunk + 1, 51);
    for (size_t size : std::vector<size_t>{0, 1, 32768, 32769, 100000, 2 * 1024 * 1024 + 1, chunk + 1}) {
        std::string path = dir.file("clip.part.avi");
        WriteFile(path, data.substr(0, size));
        ip_svr_t throttled;
        CaptureStdout();
        ASSERT_EQ(throttled.compute_rc_info(path, "clip.part.avi", "http://h/c"), 0);
        GetCapturedStdout();
        for (unsigned int threads : {1u, 2u, 4u}) {
            ip_svr_t fast;
            CaptureStdout();
            int res = fast.compute_rc_info(path, "clip.part.avi", "http://h/c", rc_digest_opts(RC_DIGEST_ONE_PASS, threads));
            std::string out = GetCapturedStdout();
            std::string what = std::to_string(size) + " bytes, " + std::to_string(threads) + " threads";
            ASSERT_EQ(res, 0) << what;
            EXPECT_EQ(out, "start compute " + path + "\ncomplete compute " + path + "\n") << what;
            EXPECT_TRUE(fast.m_compute);
            ExpectSameRecord(fast.mData, throttled.mData, what);
        }
    }
}

TEST(ComputeRcFastPath, NoPausesAndUnreadableInputFailsAsTheFirstPass) {
    TempDir dir;
    WriteFile(dir.file("f"), PatternBytes(300000, 52));
    rc_digests_t d;
    uint64 before = fund::GetSleepCount();
    ASSERT_EQ(compute_rc_digests(dir.file("f"), d, rc_digest_opts(RC_DIGEST_ONE_PASS, 2)), RC_DIGESTS_OK);
    EXPECT_EQ(fund::GetSleepCount(), before);
    EXPECT_EQ(d.Size, 300000u);
    EXPECT_EQ(d.PieceCount(), 10);
    EXPECT_EQ(compute_rc_digests(dir.file("absent"), d, rc_digest_opts(RC_DIGEST_ONE_PASS, 2)), RC_DIGESTS_MD4_FAILED);
    EXPECT_EQ(compute_rc_digests(dir.path(), d, rc_digest_opts(RC_DIGEST_ONE_PASS, 1)), RC_DIGESTS_MD4_FAILED);
}

// A progress line that stays silent and changes the file the first time it
// hears of progress, in the middle of the first pass.
class CFileChanger : public CProgressLine {
public:
    CFileChanger(std::string path, bool grow)
        : CProgressLine(-1, false, nullptr), m_path(std::move(path)), m_grow(grow) {}
    void OnDigestProgress(unsigned long long, unsigned long long) override {
        if (m_done) return;
        m_done = true;
        if (m_grow) {
            FILE* f = fopen(m_path.c_str(), "ab");
            ASSERT_NE(f, nullptr);
            fputs("more", f);
            fclose(f);
        } else {
            ASSERT_EQ(truncate(m_path.c_str(), 1500000), 0);
        }
    }

private:
    std::string m_path;
    bool m_grow;
    bool m_done = false;
};

TEST(ComputeRcFastPath, ChangedFilesFailWithTheLinesOfTheThrottledPasses) {
    TempDir dir;
    std::string path = dir.file("moving.bin");
    struct Mode {
        const char* name;
        rc_digest_opts_t opts;
    };
    const Mode modes[] = {{"throttled", rc_digest_opts(RC_DIGEST_THROTTLED, 1)},
                          {"fast", rc_digest_opts(RC_DIGEST_ONE_PASS, 1)},
                          {"fast, 2 threads", rc_digest_opts(RC_DIGEST_ONE_PASS, 2)}};
    for (const Mode& mode : modes) {
        for (bool grow : {false, true}) {
            WriteFile(path, PatternBytes(3 * 1024 * 1024, 53));
            CFileChanger changer(path, grow);
            rc_digest_opts_t opts = mode.opts;
            opts.Progress = &changer;
            ip_svr_t svr;
            CaptureStdout();
            int res = svr.compute_rc_info(path, "moving.bin", "u", opts);
            std::string out = GetCapturedStdout();
            std::string what = std::string(mode.name) + (grow ? ", grown" : ", shrunk");
            EXPECT_EQ(res, -1) << what;
            // A short read is the first pass's failure; another size at the end that of the pieces.
            EXPECT_EQ(out, "start compute " + path + (grow ? "\ncompute error 2 " : "\ncompute error ") + path + "\n")
                << what;
            EXPECT_FALSE(svr.m_compute) << what;
            ExpectUntouched(svr.mData);
        }
    }
}

// Rewrites bytes in place, at the same size, the first time it hears of
// progress; the pause first lets the clock move past the start's times.
class CFileRewriter : public CProgressLine {
public:
    explicit CFileRewriter(std::string path) : CProgressLine(-1, false, nullptr), m_path(std::move(path)) {}
    void OnDigestProgress(unsigned long long, unsigned long long) override {
        if (m_done) return;
        m_done = true;
        usleep(20000);
        FILE* f = fopen(m_path.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        fseek(f, 2 * 1024 * 1024, SEEK_SET);
        fputs("rewritten", f);
        fclose(f);
    }

private:
    std::string m_path;
    bool m_done = false;
};

TEST(ComputeRcFastPath, FileRewrittenInPlaceAtTheSameSizeFailsAsAChangedFileInEveryMode) {
    TempDir dir;
    std::string path = dir.file("moving.bin");
    for (const rc_digest_opts_t& mode : {rc_digest_opts(RC_DIGEST_THROTTLED, 1), rc_digest_opts(RC_DIGEST_ONE_PASS, 1),
                                         rc_digest_opts(RC_DIGEST_ONE_PASS, 2)}) {
        WriteFile(path, PatternBytes(3 * 1024 * 1024, 54));
        CFileRewriter rewriter(path);
        rc_digest_opts_t opts = mode;
        opts.Progress = &rewriter;
        ip_svr_t svr;
        CaptureStdout();
        EXPECT_EQ(svr.compute_rc_info(path, "moving.bin", "u", opts), -1) << mode.Mode << "/" << mode.Threads;
        EXPECT_EQ(GetCapturedStdout(), "start compute " + path + "\ncompute error 2 " + path + "\n");
        EXPECT_FALSE(svr.m_compute);
    }
}

// datareport itself: its configured directory, the lines it prints and logs.
class DatareportCompute : public ::testing::Test {
protected:
    zqtest::ProcessResult Run(const std::string& name) {
        WriteFile(dir.file("main.conf"), "file_path: " + dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
                                             std::to_string(zqtest::RefusedPort()) + "\n");
        zqtest::ProcessResult r =
            zqtest::RunProcess(zqtest::BinPath("datareport"), {name, "http://example.invalid/" + name}, dir.path(), 30000);
        EXPECT_FALSE(r.timed_out);
        return r;
    }
    TempDir dir;
};

TEST_F(DatareportCompute, MissingFilePrintsStartAndErrorWithTheFullPath) {
    zqtest::ProcessResult r = Run("missing.bin");
    std::string path = dir.path() + "/missing.bin";
    EXPECT_NE(r.out.find("start compute " + path + "\ncompute error " + path + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("complete compute"), std::string::npos) << r.out;
    std::string log = zqtest::ReadFile(dir.file("log/errlog"));
    EXPECT_NE(log.find("[info] datareport_svr."), std::string::npos) << log;
    EXPECT_NE(log.find("(compute_rc_info): start compute " + path + "\n"), std::string::npos) << log;
}

TEST_F(DatareportCompute, ExistingFileIsComputedAndLogged) {
    WriteFile(dir.file("song.mp3"), PatternBytes(50000, 3));
    zqtest::ProcessResult r = Run("song.mp3");
    std::string path = dir.path() + "/song.mp3";
    EXPECT_NE(r.out.find("start compute " + path + "\ncomplete compute " + path + "\n"), std::string::npos) << r.out;
    std::string log = zqtest::ReadFile(dir.file("log/errlog"));
    EXPECT_NE(log.find("(compute_rc_info): start compute " + path + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("(compute_rc_info): complete compute " + path + "\n"), std::string::npos) << log;
}

}  // namespace
