// The one-pass file digests: the same values as CHelper's three passes for
// every size around a piece, chunk or block boundary, with one to four
// threads and odd block and ring sizes; files that shrink or grow while they
// are read; what is refused; what the progress callback is told.
#include "onepass.h"

#include <pthread.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "filehelper.h"
#include "files.h"
#include "helper.h"
#include "simd_level.h"

namespace {

using zqtest::PatternBytes;
using zqtest::TempDir;
using zqtest::ToHex;
using zqtest::WriteFile;

const size_t KiB = 1024;
const size_t MiB = 1024 * KiB;
const size_t kChunk = 9728000;

// What the three passes give, as hex, pieces concatenated.
struct Digests {
    std::string md4;
    std::string sha1;
    std::string pieces;
    unsigned long long size = 0;
};

bool operator==(const Digests& a, const Digests& b) {
    return a.md4 == b.md4 && a.sha1 == b.sha1 && a.pieces == b.pieces && a.size == b.size;
}

std::ostream& operator<<(std::ostream& os, const Digests& d) {
    return os << "{size " << d.size << ", md4 " << d.md4 << ", sha1 " << d.sha1 << ", " << d.pieces.size() / 32
              << " pieces}";
}

Digests ThreePasses(const std::string& path) {
    Digests d;
    unsigned char md4[16];
    unsigned char sha1[20];
    std::vector<std::vector<unsigned char> > pieces;
    EXPECT_TRUE(CHelper::GetFileMd4(path, md4, false));
    EXPECT_TRUE(CHelper::GetFileSha1(path, sha1, false));
    EXPECT_TRUE(CHelper::GetFilePieceHashs(path, pieces, false));
    d.md4 = ToHex(md4, 16);
    d.sha1 = ToHex(sha1, 20);
    for (const std::vector<unsigned char>& p : pieces) d.pieces += ToHex(p.data(), p.size());
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    d.size = static_cast<unsigned long long>(st.st_size);
    return d;
}

int OnePass(const std::string& path, const stOnePassOpts& opts, Digests& d) {
    stFileDigests out;
    int res = GetFileDigests(path, opts, out);
    if (res == ONEPASS_OK) {
        d.md4 = ToHex(out.Md4, 16);
        d.sha1 = ToHex(out.Sha1, 20);
        d.pieces = ToHex(out.Pieces.data(), out.Pieces.size());
        d.size = out.Size;
    }
    return res;
}

stOnePassOpts Opts(unsigned int threads, unsigned int block = 0, unsigned int ring = 0) {
    stOnePassOpts o;
    o.uiThreads = threads;
    o.uiBlockSize = block;
    o.uiBlocks = ring;
    return o;
}

std::string Describe(size_t size, const stOnePassOpts& o) {
    return "size " + std::to_string(size) + ", threads " + std::to_string(o.uiThreads) + ", block " +
           std::to_string(o.uiBlockSize) + ", ring " + std::to_string(o.uiBlocks) + ", " + SimdLevelName(o.eSimd) +
           (o.eMd4Read == MD4_READ_SEQUENTIAL ? ", md4 sequential" : "");
}

// Writes each size (a prefix of one pattern) and checks every option set
// against the three passes over the same file.
void ExpectSameAsThreePasses(const std::vector<size_t>& sizes, const std::vector<stOnePassOpts>& optsList) {
    TempDir dir;
    size_t largest = 0;
    for (size_t s : sizes) largest = std::max(largest, s);
    std::string data = PatternBytes(largest, 1234);
    std::string path = dir.file("f");
    for (size_t size : sizes) {
        WriteFile(path, data.substr(0, size));
        Digests expect = ThreePasses(path);
        for (const stOnePassOpts& o : optsList) {
            Digests got;
            ASSERT_EQ(OnePass(path, o, got), ONEPASS_OK) << Describe(size, o);
            EXPECT_EQ(got, expect) << Describe(size, o);
        }
    }
}

TEST(OnePass, SmallSizesAroundPieceAndBlockBoundaries) {
    ExpectSameAsThreePasses({0, 1, 55, 56, 63, 64, 65, 4095, 4096, 4097, 32767, 32768, 32769, 65536, 65537, 100000,
                             MiB - 1, MiB, MiB + 1, 2 * MiB, 2 * MiB + 1, 3 * MiB + 17},
                            {Opts(1), Opts(2), Opts(1, 777), Opts(2, 32 * KiB + 1, 3), Opts(4, 4096, 2)});
}

// 2 MiB + 1 is the first size with 64 KiB pieces; 9,728,000 bytes is one
// whole MD4 chunk, one more byte starts a second, 19,456,000 ends the second
// exactly; 20 MiB + 1 is the first size with 128 KiB pieces.
TEST(OnePass, SizesAroundChunkAndPieceSizeBoundaries) {
    ExpectSameAsThreePasses({kChunk - 1, kChunk, kChunk + 1, 2 * kChunk, 2 * kChunk + 1, 20 * MiB, 20 * MiB + 1},
                            {Opts(1), Opts(2, 3 * MiB + 5)});
}

TEST(OnePass, EmptyFileGivesTheDigestsOfEmptyInputAndNoPieces) {
    TempDir dir;
    WriteFile(dir.file("empty"), "");
    Digests d;
    ASSERT_EQ(OnePass(dir.file("empty"), Opts(2), d), ONEPASS_OK);
    EXPECT_EQ(d.md4, "31d6cfe0d16ae931b73c59d7e0c089c0");
    EXPECT_EQ(d.sha1, "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(d.pieces, "");
    EXPECT_EQ(d.size, 0u);
}

TEST(OnePass, OneByteIsOnePieceAndOneChunk) {
    TempDir dir;
    WriteFile(dir.file("a"), "a");
    Digests d;
    ASSERT_EQ(OnePass(dir.file("a"), Opts(1), d), ONEPASS_OK);
    EXPECT_EQ(d.md4, "bde52cb31de33e46245e05fbdbd6fb24");  // RFC 1320
    EXPECT_EQ(d.sha1, "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8");
    EXPECT_EQ(d.pieces, "0cc175b9c0f1b6a831c399e269772661");  // RFC 1321
    EXPECT_EQ(d.size, 1u);
}

TEST(OnePass, ThreadCountsOutOfRangeAreBroughtIntoIt) {
    TempDir dir;
    WriteFile(dir.file("f"), PatternBytes(300000, 3));
    Digests expect = ThreePasses(dir.file("f"));
    for (unsigned int threads : {0u, 5u, 1000u}) {
        Digests d;
        ASSERT_EQ(OnePass(dir.file("f"), Opts(threads, 40000), d), ONEPASS_OK) << threads;
        EXPECT_EQ(d, expect) << threads;
    }
}

TEST(OnePass, SymbolicLinkIsReadThroughToItsTarget) {
    TempDir dir;
    WriteFile(dir.file("target"), PatternBytes(70000, 8));
    ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
    Digests d;
    ASSERT_EQ(OnePass(dir.file("link"), Opts(1), d), ONEPASS_OK);
    EXPECT_EQ(d, ThreePasses(dir.file("target")));
}

TEST(OnePassRefusal, MissingDirectoryAndPipeAreRefusedWithoutWaiting) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    for (const std::string& path : {dir.file("absent"), dir.path(), dir.file("pipe")}) {
        stFileDigests out;
        out.Size = 77;
        EXPECT_EQ(GetFileDigests(path, Opts(2), out), ONEPASS_OPEN_FAILED) << path;
        EXPECT_EQ(out.Size, 77u) << "nothing is written on failure";
        EXPECT_TRUE(out.Pieces.empty());
    }
}

TEST(OnePassRefusal, UnreadableFileIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    TempDir dir;
    WriteFile(dir.file("secret"), "x");
    ASSERT_EQ(chmod(dir.file("secret").c_str(), 0), 0);
    stFileDigests out;
    EXPECT_EQ(GetFileDigests(dir.file("secret"), Opts(1), out), ONEPASS_OPEN_FAILED);
}

// Runs an action once, on the first report of progress past a given count.
class CActionAt : public CDigestProgress {
public:
    CActionAt(unsigned long long after, std::function<void()> action) : m_after(after), m_action(std::move(action)) {}
    void OnDigestProgress(unsigned long long done, unsigned long long) override {
        if (!m_done && done >= m_after) {
            m_done = true;
            m_action();
        }
    }

private:
    unsigned long long m_after;
    std::function<void()> m_action;
    bool m_done = false;
};

void AppendTo(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

TEST(OnePassChange, FileThatShrinksWhileReadFailsAsARead) {
    TempDir dir;
    std::string path = dir.file("f");
    for (unsigned int threads : {1u, 2u}) {
        WriteFile(path, PatternBytes(200000, 4));
        CActionAt cut(1, [&] { ASSERT_EQ(truncate(path.c_str(), 50000), 0); });
        stOnePassOpts o = Opts(threads, 40000);
        o.pProgress = &cut;
        stFileDigests out;
        EXPECT_EQ(GetFileDigests(path, o, out), ONEPASS_READ_FAILED) << threads;
    }
}

TEST(OnePassChange, FileThatGrowsWhileReadFailsAsAChangedSize) {
    TempDir dir;
    std::string path = dir.file("f");
    for (unsigned int threads : {1u, 2u}) {
        WriteFile(path, PatternBytes(200000, 5));
        CActionAt grow(1, [&] { AppendTo(path, "more"); });
        stOnePassOpts o = Opts(threads, 40000);
        o.pProgress = &grow;
        stFileDigests out;
        EXPECT_EQ(GetFileDigests(path, o, out), ONEPASS_SIZE_CHANGED) << threads;
    }
}

// Cut after its last block was read: every byte came, but the file is no
// longer the size the digests describe.
TEST(OnePassChange, FileCutAfterTheLastReadFailsAsAChangedSize) {
    TempDir dir;
    std::string path = dir.file("f");
    WriteFile(path, PatternBytes(100000, 6));
    CActionAt cut(100000, [&] { ASSERT_EQ(truncate(path.c_str(), 10), 0); });
    stOnePassOpts o = Opts(1, 40000);
    o.pProgress = &cut;
    stFileDigests out;
    EXPECT_EQ(GetFileDigests(path, o, out), ONEPASS_SIZE_CHANGED);
}

class CRecorder : public CDigestProgress {
public:
    void OnDigestProgress(unsigned long long done, unsigned long long total) override {
        calls.emplace_back(done, total);
    }
    std::vector<std::pair<unsigned long long, unsigned long long> > calls;
};

TEST(OnePassProgress, ToldAfterEveryBlockUpToTheSize) {
    TempDir dir;
    const size_t size = 250000;
    const unsigned int block = 64 * 1024;
    WriteFile(dir.file("f"), PatternBytes(size, 7));
    for (unsigned int threads : {1u, 3u}) {
        CRecorder rec;
        stOnePassOpts o = Opts(threads, block);
        o.pProgress = &rec;
        stFileDigests out;
        ASSERT_EQ(GetFileDigests(dir.file("f"), o, out), ONEPASS_OK);
        std::vector<std::pair<unsigned long long, unsigned long long> > expect;
        for (size_t done = block; done < size + block; done += block) expect.emplace_back(std::min(done, size), size);
        EXPECT_EQ(rec.calls, expect) << threads;
    }
}

TEST(OnePassProgress, EmptyFileTellsNothing) {
    TempDir dir;
    WriteFile(dir.file("empty"), "");
    CRecorder rec;
    stOnePassOpts o = Opts(1);
    o.pProgress = &rec;
    stFileDigests out;
    ASSERT_EQ(GetFileDigests(dir.file("empty"), o, out), ONEPASS_OK);
    EXPECT_TRUE(rec.calls.empty());
}

// Many small blocks and a short ring make the threads hand streams to each
// other all the time; the ThreadSanitizer run of scripts/test.sh runs these.
TEST(OnePassThreads, ManyHandOversGiveTheSameDigests) {
    TempDir dir;
    std::string data = PatternBytes(3 * MiB + 333, 9);
    WriteFile(dir.file("f"), data);
    Digests expect = ThreePasses(dir.file("f"));
    for (unsigned int threads = 2; threads <= ONEPASS_MAX_THREADS; ++threads) {
        for (unsigned int ring : {1u, 2u, 5u}) {
            Digests d;
            stOnePassOpts o = Opts(threads, 4096 + 64 * threads + ring, ring);
            ASSERT_EQ(OnePass(dir.file("f"), o, d), ONEPASS_OK) << Describe(data.size(), o);
            EXPECT_EQ(d, expect) << Describe(data.size(), o);
        }
    }
}

TEST(OnePassThreads, FailureStopsEveryThread) {
    TempDir dir;
    std::string path = dir.file("f");
    WriteFile(path, PatternBytes(MiB, 10));
    for (unsigned int threads = 2; threads <= ONEPASS_MAX_THREADS; ++threads) {
        ASSERT_EQ(truncate(path.c_str(), MiB), 0);
        CActionAt cut(100000, [&] { ASSERT_EQ(truncate(path.c_str(), 300000), 0); });
        stOnePassOpts o = Opts(threads, 5000, 4);
        o.pProgress = &cut;
        stFileDigests out;
        EXPECT_EQ(GetFileDigests(path, o, out), ONEPASS_READ_FAILED) << threads;
    }
}

// Records, for every report of progress, whether the thread that made it
// is the caller's and whether it blocks SIGTERM.
class CThreadRecorder : public CDigestProgress {
public:
    explicit CThreadRecorder(std::thread::id caller) : m_caller(caller) {}
    void OnDigestProgress(unsigned long long, unsigned long long) override {
        sigset_t cur;
        pthread_sigmask(SIG_BLOCK, nullptr, &cur);
        bool helper = std::this_thread::get_id() != m_caller;
        (helper ? helperBlocked : callerBlocked).push_back(sigismember(&cur, SIGTERM) == 1);
    }
    std::vector<bool> callerBlocked;
    std::vector<bool> helperBlocked;

private:
    std::thread::id m_caller;
};

TEST(OnePassThreads, SignalsGoToTheCallersThreadOnly) {
    TempDir dir;
    WriteFile(dir.file("f"), PatternBytes(MiB, 11));
    CThreadRecorder rec(std::this_thread::get_id());
    // Reading goes to whichever thread is free, so a helper reads sooner or later.
    for (int run = 0; run < 50 && rec.helperBlocked.empty(); ++run) {
        stOnePassOpts o = Opts(4, 4096, 8);
        o.pProgress = &rec;
        stFileDigests out;
        ASSERT_EQ(GetFileDigests(dir.file("f"), o, out), ONEPASS_OK);
    }
    ASSERT_FALSE(rec.helperBlocked.empty());
    EXPECT_EQ(rec.helperBlocked, std::vector<bool>(rec.helperBlocked.size(), true));
    EXPECT_EQ(rec.callerBlocked, std::vector<bool>(rec.callerBlocked.size(), false));
    sigset_t cur;
    pthread_sigmask(SIG_BLOCK, nullptr, &cur);
    EXPECT_EQ(sigismember(&cur, SIGTERM), 0) << "the caller's mask is as it was";
}

// The same records at every vector level, forced: windows of pieces cut by
// the ring's end (odd block sizes), files with fewer pieces than lanes, and
// chunk lanes beside the sequential MD4.
class OnePassLevel : public ::testing::TestWithParam<ESimdLevel> {
protected:
    void SetUp() override {
        if (!SimdSupported(GetParam()))
            GTEST_SKIP() << "this processor lacks " << SimdLevelName(GetParam())
                         << ": its pipeline is not checked here";
    }
    stOnePassOpts At(stOnePassOpts o, EMd4Read read = MD4_READ_LANES) const {
        o.eSimd = GetParam();
        o.eMd4Read = read;
        return o;
    }
};

TEST_P(OnePassLevel, SizesAroundPiecesWindowsAndBlocks) {
    const size_t p = 32 * KiB;
    ExpectSameAsThreePasses({0, 1, 65, p, p + 1, 8 * p - 1, 8 * p + 1, 16 * p, 16 * p + 1, 17 * p + 5, MiB + 1,
                             2 * MiB, 2 * MiB + 1, 3 * MiB + 17},
                            {At(Opts(1)), At(Opts(2, 777)), At(Opts(2, 32 * KiB + 1, 3)), At(Opts(3, 4096))});
}

TEST_P(OnePassLevel, SizesAroundChunksWithChunkLanesAndSequentialMd4) {
    ExpectSameAsThreePasses({2 * kChunk - 1, 2 * kChunk + 1, 3 * kChunk + 5},
                            {At(Opts(1)), At(Opts(2, 3 * MiB + 5)), At(Opts(2), MD4_READ_SEQUENTIAL)});
}

// Files of every size around the piece and block edges, one past the size
// read whole (taken by the one pass), a missing file, a folder and a FIFO,
// in one call: each file gets what the three passes give, or the refusal
// the one pass gives, in its own place.
TEST_P(OnePassLevel, SmallFilesTogetherGiveWhatEachGivesAlone) {
    TempDir dir;
    const std::vector<size_t> sizes = {0, 1, 55, 56, 63, 64, 65, 32 * KiB - 1, 32 * KiB, 32 * KiB + 1, 100000,
                                       ONEPASS_SMALL_FILE, ONEPASS_SMALL_FILE + 1};
    const std::string data = PatternBytes(ONEPASS_SMALL_FILE + 1, 21);
    std::vector<std::string> names;
    for (size_t size : sizes) {
        names.push_back(dir.file("f" + std::to_string(size)));
        WriteFile(names.back(), data.substr(0, size));
    }
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    const std::vector<std::string> refused = {dir.file("absent"), dir.path(), dir.file("pipe")};
    names.insert(names.begin() + 3, refused.begin(), refused.end());
    std::vector<int> results;
    std::vector<stFileDigests> out;
    GetSmallFileDigests(names, GetParam(), results, out);
    ASSERT_EQ(results.size(), names.size());
    ASSERT_EQ(out.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        if (std::find(refused.begin(), refused.end(), names[i]) != refused.end()) {
            EXPECT_EQ(results[i], ONEPASS_OPEN_FAILED) << names[i];
            continue;
        }
        ASSERT_EQ(results[i], ONEPASS_OK) << names[i];
        Digests got{ToHex(out[i].Md4, 16), ToHex(out[i].Sha1, 20), ToHex(out[i].Pieces.data(), out[i].Pieces.size()),
                    out[i].Size};
        EXPECT_EQ(got, ThreePasses(names[i])) << names[i];
    }
}

// One chunk more than a group of lanes, so the chunk digests of two groups
// must come out in order. Mostly a hole, with marks that set every chunk and
// row apart; checked against the single-stream pass (itself checked against
// the three passes above), which is much quicker on 165 MB.
TEST_P(OnePassLevel, ChunksBeyondOneGroupOfLanesKeepTheirOrder) {
    const unsigned int lanes = SimdLanes(GetParam());
    if (lanes == 1) GTEST_SKIP() << "the portable level has no lanes";
    TempDir dir;
    const std::string path = dir.file("holes");
    const size_t size = (lanes + 1) * kChunk + 5;
    WriteFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
    FILE* f = fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    for (size_t off = 0; off < size; off += 65536 + 7) {
        std::string mark = std::to_string(off);
        fseeko(f, static_cast<off_t>(off), SEEK_SET);
        fwrite(mark.data(), 1, std::min(mark.size(), size - off), f);
    }
    fclose(f);
    stOnePassOpts single = Opts(1);
    single.eSimd = SIMD_PORTABLE;
    single.eMd4Read = MD4_READ_SEQUENTIAL;
    Digests expect;
    ASSERT_EQ(OnePass(path, single, expect), ONEPASS_OK);
    Digests got;
    ASSERT_EQ(OnePass(path, At(Opts(2)), got), ONEPASS_OK);
    EXPECT_EQ(got, expect) << Describe(size, At(Opts(2)));
}

INSTANTIATE_TEST_SUITE_P(Simd, OnePassLevel, ::testing::Values(SIMD_PORTABLE, SIMD_AVX2, SIMD_AVX512),
                         [](const ::testing::TestParamInfo<ESimdLevel>& info) {
                             return std::string(SimdLevelName(info.param));
                         });

// The chunk lanes and piece windows handed between threads on every row and
// block; the ThreadSanitizer run of scripts/test.sh runs this too.
TEST(OnePassThreads, ChunkLanesAndPieceWindowsGiveTheSameDigests) {
    TempDir dir;
    WriteFile(dir.file("f"), PatternBytes(2 * kChunk + 3, 12));
    Digests expect = ThreePasses(dir.file("f"));
    for (unsigned int threads : {2u, 4u}) {
        Digests d;
        stOnePassOpts o = Opts(threads, 256 * KiB);
        ASSERT_EQ(OnePass(dir.file("f"), o, d), ONEPASS_OK) << Describe(2 * kChunk + 3, o);
        EXPECT_EQ(d, expect) << Describe(2 * kChunk + 3, o);
    }
}

// The reading is held a few MiB ahead of the SHA-1, while a window of piece
// MD5s may need more than that read before it can start: the two must not
// wait for each other.
TEST(OnePassThreads, APieceWindowLongerThanTheReadLeadStillFinishes) {
    TempDir dir;
    WriteFile(dir.file("f"), PatternBytes(24 * MiB + 5, 13));
    stOnePassOpts one = Opts(1, 64 * KiB);
    one.uiPieceSize = 1 * MiB;
    Digests expect;
    ASSERT_EQ(OnePass(dir.file("f"), one, expect), ONEPASS_OK);
    for (unsigned int threads : {2u, 3u}) {
        stOnePassOpts o = Opts(threads, 64 * KiB);
        o.uiPieceSize = 1 * MiB;
        Digests d;
        ASSERT_EQ(OnePass(dir.file("f"), o, d), ONEPASS_OK) << Describe(24 * MiB + 5, o);
        EXPECT_EQ(d, expect) << Describe(24 * MiB + 5, o);
    }
}

}  // namespace

TEST(OnePass, AGivenPieceSizeCutsThePiecesThere) {
    TempDir dir;
    std::string data = PatternBytes(100000, 11);
    WriteFile(dir.file("f"), data);
    stOnePassOpts o = Opts(2, 4096);
    o.uiPieceSize = 40000;
    Digests d;
    ASSERT_EQ(OnePass(dir.file("f"), o, d), ONEPASS_OK);
    std::string expect;
    for (size_t off = 0; off < data.size(); off += 40000) {
        unsigned char md5[16];
        std::string piece = data.substr(off, 40000);
        CHelper::DoMd5(piece.data(), static_cast<unsigned int>(piece.size()), md5);
        expect += ToHex(md5, 16);
    }
    EXPECT_EQ(d.pieces, expect);
}

namespace {

// A sysfs under dir whose entry for path's device carries the given
// rotational flag, for the read-order decision to find.
std::string FakeSysRoot(const TempDir& dir, const std::string& path, const char* flag) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    const std::string sys = dir.file("sys");
    std::string d = sys;
    EXPECT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    for (const std::string& part : {std::string("/dev"), std::string("/block"),
                                    "/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)),
                                    std::string("/queue")}) {
        d += part;
        EXPECT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    }
    WriteFile(d + "/rotational", flag);
    return sys;
}

class OnePassReadOrder : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("f");
        WriteFile(path, PatternBytes(3 * kChunk + 5, 11));
        EXPECT_EQ(zqtest::ReadFile(path).size(), 3 * kChunk + 5);
    }
    EMd4Read OrderOn(const char* flag) {
        TempDir sysDir;
        const std::string sys = FakeSysRoot(sysDir, path, flag);
        int fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EMd4Read order = ChooseMd4ReadForFile(fd, sys);
        close(fd);
        return order;
    }
    // False (the test skips) where evicted pages stay, as on tmpfs.
    bool Evict() {
        EXPECT_TRUE(zqtest::DropFromPageCache(path));
        int fd = open(path.c_str(), O_RDONLY);
        int percent = CFileHelper::CachedPercent(fd);
        close(fd);
        return percent < ONEPASS_CACHED_PERCENT;
    }
    TempDir dir;
    std::string path;
};

TEST_F(OnePassReadOrder, CachedFileTakesTheLanesEvenOnARotationalDisk) {
    EXPECT_EQ(OrderOn("1\n"), MD4_READ_LANES);
}

TEST_F(OnePassReadOrder, UncachedFileOnARotationalDiskIsReadFrontToBack) {
    if (!Evict()) GTEST_SKIP() << "this file system keeps evicted pages";
    EXPECT_EQ(OrderOn("1\n"), MD4_READ_SEQUENTIAL);
}

TEST_F(OnePassReadOrder, UncachedFileOnANonRotationalDiskTakesTheLanes) {
    if (!Evict()) GTEST_SKIP() << "this file system keeps evicted pages";
    EXPECT_EQ(OrderOn("0\n"), MD4_READ_LANES);
}

// A few pages missing already cost a spinning disk more seeks than the lanes
// save, and a residency nobody could tell is no evidence of the cache.
TEST(OnePassReadOrderChoice, OnlyANearlyWholeCacheOverridesACostlySeek) {
    EXPECT_EQ(ChooseMd4Read(ONEPASS_CACHED_PERCENT, true), MD4_READ_LANES);
    EXPECT_EQ(ChooseMd4Read(ONEPASS_CACHED_PERCENT - 1, true), MD4_READ_SEQUENTIAL);
    EXPECT_EQ(ChooseMd4Read(-1, true), MD4_READ_SEQUENTIAL);
    EXPECT_EQ(ChooseMd4Read(-1, false), MD4_READ_LANES);
}

}  // namespace
