// File digests of CHelper: piece sizes, the chunked MD4, the whole-file SHA-1,
// piece lists, FID and SID from files, and the throttle's pauses.
#include "helper.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "filehelper.h"
#include "files.h"
#include "md4emule.h"
#include "md5.h"
#include "sha1.h"

namespace {

using zqtest::PatternBytes;
using zqtest::TempDir;
using zqtest::ToHex;
using zqtest::WriteFile;

const unsigned long long KiB = 1024ULL;
const unsigned long long MiB = 1024ULL * KiB;
const unsigned long long GiB = 1024ULL * MiB;
const size_t kChunk = 9728000;

std::string Md4Of(const std::string& data) {
    MD4_CTX ctx;
    MD4Init(&ctx);
    // Fed in slices, so the reference does not share the helper's read pattern.
    for (size_t off = 0; off < data.size(); off += 65536) {
        size_t n = std::min<size_t>(65536, data.size() - off);
        MD4Update(&ctx, reinterpret_cast<unsigned char*>(const_cast<char*>(data.data() + off)),
                  static_cast<unsigned int>(n));
    }
    unsigned char out[16];
    MD4Final(out, &ctx);
    return std::string(reinterpret_cast<char*>(out), 16);
}

std::string Md5Of(const std::string& data) {
    unsigned char out[16];
    md5_buffer(data.data(), static_cast<unsigned int>(data.size()), out);
    return std::string(reinterpret_cast<char*>(out), 16);
}

std::string Sha1Of(const std::string& data) {
    SHA_INFO ctx;
    sha_init(&ctx);
    sha_update(&ctx, reinterpret_cast<SHA_BYTE*>(const_cast<char*>(data.data())), static_cast<int>(data.size()));
    unsigned char out[20];
    sha_final(out, &ctx);
    return std::string(reinterpret_cast<char*>(out), 20);
}

std::string SizeLE(unsigned long long size) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(size >> (8 * i));
    return out;
}

std::string FileMd4(const std::string& path, bool* ok = nullptr, bool sleep = false) {
    unsigned char out[16] = {0};
    bool res = CHelper::GetFileMd4(path, out, sleep);
    if (ok != nullptr) *ok = res;
    return std::string(reinterpret_cast<char*>(out), 16);
}

std::string FileSha1(const std::string& path, bool* ok = nullptr, bool sleep = false) {
    unsigned char out[20] = {0};
    bool res = CHelper::GetFileSha1(path, out, sleep);
    if (ok != nullptr) *ok = res;
    return std::string(reinterpret_cast<char*>(out), 20);
}

std::vector<std::string> Pieces(const std::string& path, bool* ok = nullptr, bool sleep = false) {
    std::vector<std::vector<unsigned char> > list;
    bool res = CHelper::GetFilePieceHashs(path, list, sleep);
    if (ok != nullptr) *ok = res;
    std::vector<std::string> out;
    for (const auto& d : list) out.emplace_back(d.begin(), d.end());
    return out;
}

// The MD5s of data cut into pieces of the given size.
std::vector<std::string> PieceMd5s(const std::string& data, size_t piece) {
    std::vector<std::string> out;
    for (size_t off = 0; off < data.size(); off += piece) out.push_back(Md5Of(data.substr(off, piece)));
    return out;
}

TEST(PieceSize, FollowsTheFileSizeAtEveryBound) {
    struct Case {
        unsigned long long size;
        unsigned int piece;
    };
    const Case cases[] = {
        {0, 32768},
        {1, 32768},
        {2 * MiB, 32768},
        {2 * MiB + 1, 65536},
        {20 * MiB, 65536},
        {20 * MiB + 1, 131072},
        {200 * MiB, 131072},
        {200 * MiB + 1, 262144},
        {1 * GiB, 262144},
        {1 * GiB + 1, 524288},
        {4 * GiB, 524288},
        {4 * GiB + 1, 525312},
        {8 * GiB, 1048576},
        {8 * GiB + 1, 1049600},
        {65535ULL * 8 * MiB, 65535 * 1024},
        {65535ULL * 8 * MiB + 1, 65536 * 1024},
    };
    for (const Case& c : cases) EXPECT_EQ(CHelper::GetDefaultPieceSize(c.size), c.piece) << c.size;
}

TEST(PieceSize, NoFileHasMoreThan8192Pieces) {
    for (unsigned long long size = 4 * GiB - 3; size < 40 * GiB; size += 777777777ULL) {
        unsigned long long piece = CHelper::GetDefaultPieceSize(size);
        EXPECT_EQ(piece % 1024, 0u);
        EXPECT_LE((size + piece - 1) / piece, 8192u) << size;
    }
}

TEST(DigestBuffers, MatchPublishedVectors) {
    unsigned char out[20];
    CHelper::DoSha1("abc", 3, out);
    EXPECT_EQ(ToHex(out, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    CHelper::DoMd5("abc", 3, out);
    EXPECT_EQ(ToHex(out, 16), "900150983cd24fb0d6963f7d28e17f72");
    CHelper::DoMd5("", 0, out);
    EXPECT_EQ(ToHex(out, 16), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(FileMd4, EmptyFileGivesTheMd4OfEmptyInput) {
    TempDir dir;
    WriteFile(dir.file("empty"), "");
    bool ok = false;
    std::string md4 = FileMd4(dir.file("empty"), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ToHex(md4), "31d6cfe0d16ae931b73c59d7e0c089c0");
}

TEST(FileMd4, SmallFileIsItsPlainMd4) {
    TempDir dir;
    for (size_t n : std::vector<size_t>{1, 4095, 4096, 4097, 100000}) {
        std::string data = PatternBytes(n, static_cast<uint32_t>(n));
        WriteFile(dir.file("f"), data);
        bool ok = false;
        EXPECT_EQ(FileMd4(dir.file("f"), &ok), Md4Of(data)) << n;
        EXPECT_TRUE(ok);
    }
}

TEST(FileMd4, ChunkBoundaries) {
    TempDir dir;
    std::string data = PatternBytes(2 * kChunk, 11);
    std::string path = dir.file("f");
    bool ok = false;

    WriteFile(path, data.substr(0, kChunk));
    EXPECT_EQ(FileMd4(path, &ok), Md4Of(data.substr(0, kChunk))) << "one whole chunk is the plain MD4";
    EXPECT_TRUE(ok);

    WriteFile(path, data.substr(0, kChunk + 1));
    EXPECT_EQ(FileMd4(path, &ok), Md4Of(Md4Of(data.substr(0, kChunk)) + Md4Of(data.substr(kChunk, 1))));
    EXPECT_TRUE(ok);

    WriteFile(path, data);
    EXPECT_EQ(FileMd4(path, &ok), Md4Of(Md4Of(data.substr(0, kChunk)) + Md4Of(data.substr(kChunk))))
        << "an exact multiple of the chunk has no empty trailing chunk";
    EXPECT_TRUE(ok);
}

TEST(FileMd4, UnreadableInputFails) {
    TempDir dir;
    bool ok = true;
    FileMd4(dir.file("absent"), &ok);
    EXPECT_FALSE(ok);
    // A directory opens read-only but every read fails.
    FileMd4(dir.path(), &ok);
    EXPECT_FALSE(ok);
}

TEST(FileSha1, EqualsTheSha1OfTheContentAcrossReadBoundaries) {
    TempDir dir;
    std::string data = PatternBytes(8 * MiB + 5, 3);
    for (size_t n : std::vector<size_t>{0, 3, 4 * MiB, 4 * MiB + 1, 8 * MiB, 8 * MiB + 5}) {
        WriteFile(dir.file("f"), data.substr(0, n));
        bool ok = false;
        EXPECT_EQ(FileSha1(dir.file("f"), &ok), Sha1Of(data.substr(0, n))) << n;
        EXPECT_TRUE(ok);
    }
    WriteFile(dir.file("abc"), "abc");
    EXPECT_EQ(ToHex(FileSha1(dir.file("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(FileSha1, UnreadableInputFails) {
    TempDir dir;
    bool ok = true;
    FileSha1(dir.file("absent"), &ok);
    EXPECT_FALSE(ok);
    // A read error must not pass for the end of the file.
    FileSha1(dir.path(), &ok);
    EXPECT_FALSE(ok);
}

TEST(FilePieces, OnePieceTwoPiecesAndNone) {
    TempDir dir;
    std::string data = PatternBytes(65536, 5);
    bool ok = false;

    WriteFile(dir.file("f"), data.substr(0, 32768));
    std::vector<std::string> one = Pieces(dir.file("f"), &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], Md5Of(data.substr(0, 32768)));

    WriteFile(dir.file("f"), data.substr(0, 32769));
    std::vector<std::string> two = Pieces(dir.file("f"), &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], Md5Of(data.substr(0, 32768)));
    EXPECT_EQ(two[1], Md5Of(data.substr(32768, 1)));

    WriteFile(dir.file("f"), data);
    EXPECT_EQ(Pieces(dir.file("f"), &ok), PieceMd5s(data, 32768));

    WriteFile(dir.file("f"), "");
    EXPECT_TRUE(Pieces(dir.file("f"), &ok).empty());
    EXPECT_TRUE(ok);
}

TEST(FilePieces, PieceSizeFollowsTheFileSize) {
    TempDir dir;
    std::string data = PatternBytes(2 * MiB + 70000, 9);
    WriteFile(dir.file("f"), data);
    EXPECT_EQ(Pieces(dir.file("f")), PieceMd5s(data, 65536));
}

TEST(FilePieces, ListIsReplacedOnSuccessAndKeptOnFailure) {
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    std::vector<std::vector<unsigned char> > list(3, std::vector<unsigned char>(16, 0xAA));
    EXPECT_FALSE(CHelper::GetFilePieceHashs(dir.file("absent"), list, false));
    EXPECT_EQ(list.size(), 3u);
    EXPECT_TRUE(CHelper::GetFilePieceHashs(dir.file("f"), list, false));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::string(list[0].begin(), list[0].end()), Md5Of("x"));
    EXPECT_FALSE(CHelper::GetFilePieceHashs(dir.path(), list, false)) << "read error";
}

// Answers computed outside our code (tests/support/known_answers.py), so a
// formula misread here and in the code alike still fails.
TEST(FileFid, MatchesAnswersComputedOutsideOurCode) {
    TempDir dir;
    unsigned char fid[20];
    WriteFile(dir.file("a"), "a");
    ASSERT_TRUE(CHelper::GetFileFID(dir.file("a"), fid, false));
    EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(fid), 20)), "17635f3a3ccace4c70d568624dd14805b5dae619");
    zqtest::WriteSparseFile(dir.file("z"), 2097153, {});
    ASSERT_TRUE(CHelper::GetFileFID(dir.file("z"), fid, false));
    EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(fid), 20)), "c710ca1ff5a0ee607ade029c72fa786e3b29b1e1");
    // No pieces: the SHA-1 of the size alone.
    WriteFile(dir.file("empty"), "");
    ASSERT_TRUE(CHelper::GetFileFID(dir.file("empty"), fid, false));
    EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(fid), 20)), "05fe405753166f125559e7c9ac558654f107c7e9");
    EXPECT_FALSE(CHelper::GetFileFID(dir.file("absent"), fid, false));
}

TEST(FileSid, MatchesAnAnswerComputedOutsideOurCode) {
    TempDir dir;
    unsigned char sid[20];
    zqtest::WriteSparseFile(dir.file("z"), 2097153, {});
    ASSERT_TRUE(CHelper::GetFileSID(dir.file("z"), sid));
    EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(sid), 20)), "16125ec750e9a8e515c98df3423b291630be9358");
}

TEST(FileSid, SamplesFirstMiddleAndLastPieces) {
    TempDir dir;
    const size_t piece = 32768;
    // Index lists per piece count: 2 -> 0,1; 3 -> 0,1,2; 4 -> 0,2,3; 5 -> 0,2,4.
    const std::vector<std::vector<int> > picks = {{0, 1}, {0, 1, 2}, {0, 2, 3}, {0, 2, 4}};
    for (int count = 2; count <= 5; ++count) {
        size_t size = piece * (count - 1) + 1000;
        std::string data = PatternBytes(size, static_cast<uint32_t>(count));
        WriteFile(dir.file("f"), data);
        std::vector<std::string> md5s = PieceMd5s(data, piece);
        std::string input;
        for (int i : picks[count - 2]) input += md5s[i];
        input += SizeLE(size);
        unsigned char sid[20];
        ASSERT_TRUE(CHelper::GetFileSID(dir.file("f"), sid));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(sid), 20), Sha1Of(input)) << count;
    }
}

TEST(FileSid, OnePieceContributesTheZeroPaddedPiece) {
    TempDir dir;
    std::string data = PatternBytes(1000, 4);
    WriteFile(dir.file("f"), data);
    std::string padded = data + std::string(32768 - 1000, '\0');
    unsigned char sid[20];
    ASSERT_TRUE(CHelper::GetFileSID(dir.file("f"), sid));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sid), 20), Sha1Of(padded + SizeLE(1000)));
}

TEST(FileSid, EmptyMissingAndUnreadableFilesFail) {
    TempDir dir;
    WriteFile(dir.file("empty"), "");
    unsigned char sid[20];
    EXPECT_FALSE(CHelper::GetFileSID(dir.file("empty"), sid));
    EXPECT_FALSE(CHelper::GetFileSID(dir.file("absent"), sid));
    EXPECT_FALSE(CHelper::GetFileSID(dir.path(), sid));
}

// Sparse files: only the three sampled pieces are read, so the SID proves
// that pieces far beyond 4 GiB are read from the right offsets.
TEST(FileSid, PiecesBeyond4And8GiBComeFromTheRightPlace) {
    TempDir dir;
    for (uint64_t size : {4 * GiB + 1000000, 8 * GiB + 12345}) {
        uint64_t piece = CHelper::GetDefaultPieceSize(size);
        uint64_t count = (size + piece - 1) / piece;
        uint64_t mid = count / 2;
        uint64_t lastLen = size - (count - 1) * piece;
        std::string head = PatternBytes(500, 1);
        std::string midBytes = PatternBytes(700, 2);
        std::string tail = PatternBytes(300, 3);
        uint64_t midOff = mid * piece + 100;
        std::string path = dir.file("sparse");
        zqtest::WriteSparseFile(path, size, {{0, head}, {midOff, midBytes}, {size - tail.size(), tail}});

        std::string piece0(piece, '\0');
        piece0.replace(0, head.size(), head);
        std::string pieceMid(piece, '\0');
        pieceMid.replace(100, midBytes.size(), midBytes);
        std::string pieceLast(lastLen, '\0');
        pieceLast.replace(lastLen - tail.size(), tail.size(), tail);
        std::string expect = Sha1Of(Md5Of(piece0) + Md5Of(pieceMid) + Md5Of(pieceLast) + SizeLE(size));

        unsigned char sid[20];
        ASSERT_TRUE(CHelper::GetFileSID(path, sid)) << size;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(sid), 20), expect) << size;
    }
}

TEST(Throttle, Md4PausesAfterEveryFifthReadAndEveryChunk) {
    TempDir dir;
    struct Case {
        size_t size;
        uint64 pauses;
    };
    // 100,000 bytes: 25 reads of up to 4 KiB, one chunk. 20,480: 5 reads.
    const Case cases[] = {{100000, 5 + 1}, {20480, 1 + 1}, {4096, 0 + 1}, {0, 0}};
    for (const Case& c : cases) {
        WriteFile(dir.file("f"), PatternBytes(c.size, 1));
        uint64 before = fund::GetSleepCount();
        bool ok = false;
        FileMd4(dir.file("f"), &ok, true);
        EXPECT_TRUE(ok);
        EXPECT_EQ(fund::GetSleepCount() - before, c.pauses) << c.size;
        before = fund::GetSleepCount();
        FileMd4(dir.file("f"), &ok, false);
        EXPECT_EQ(fund::GetSleepCount(), before);
    }
}

TEST(Throttle, Md4ReadCountRunsAcrossChunks) {
    TempDir dir;
    // 2,375 reads fill the first chunk, one more reads the byte of the
    // second: 475 pauses for reads plus one per chunk.
    WriteFile(dir.file("f"), PatternBytes(kChunk + 1, 2));
    uint64 before = fund::GetSleepCount();
    bool ok = false;
    FileMd4(dir.file("f"), &ok, true);
    EXPECT_TRUE(ok);
    EXPECT_EQ(fund::GetSleepCount() - before, 477u);
}

TEST(Throttle, Sha1PausesEveryFifthRead) {
    TempDir dir;
    struct Case {
        size_t size;
        uint64 pauses;
    };
    // 16 MiB: four full reads and a fifth that finds the end.
    const Case cases[] = {{16 * MiB, 1}, {16 * MiB - 1, 0}, {100, 0}};
    for (const Case& c : cases) {
        WriteFile(dir.file("f"), std::string(c.size, 'a'));
        uint64 before = fund::GetSleepCount();
        bool ok = false;
        FileSha1(dir.file("f"), &ok, true);
        EXPECT_TRUE(ok);
        EXPECT_EQ(fund::GetSleepCount() - before, c.pauses) << c.size;
    }
}

TEST(Throttle, PiecesPauseEveryFifthRead) {
    TempDir dir;
    struct Case {
        size_t size;
        uint64 pauses;
    };
    // Five whole pieces take six reads; 131,073 bytes take five.
    const Case cases[] = {{5 * 32768, 1}, {4 * 32768 + 1, 1}, {100000, 0}, {10 * 32768, 2}};
    for (const Case& c : cases) {
        WriteFile(dir.file("f"), PatternBytes(c.size, 8));
        uint64 before = fund::GetSleepCount();
        bool ok = false;
        Pieces(dir.file("f"), &ok, true);
        EXPECT_TRUE(ok);
        EXPECT_EQ(fund::GetSleepCount() - before, c.pauses) << c.size;
        before = fund::GetSleepCount();
        Pieces(dir.file("f"), &ok, false);
        EXPECT_EQ(fund::GetSleepCount(), before);
    }
}

TEST(FileDigests, SymbolicLinkDigestsTheWholeTarget) {
    TempDir dir;
    std::string data = PatternBytes(100000, 6);
    WriteFile(dir.file("target"), data);
    ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
    EXPECT_EQ(FileMd4(dir.file("link")), Md4Of(data));
    EXPECT_EQ(FileSha1(dir.file("link")), Sha1Of(data));
    EXPECT_EQ(Pieces(dir.file("link")), PieceMd5s(data, 32768));
}

class CProgressRecorder : public CDigestProgress {
public:
    void OnDigestProgress(unsigned long long done, unsigned long long total) override {
        calls.emplace_back(done, total);
    }
    std::vector<std::pair<unsigned long long, unsigned long long> > calls;
};

// The bytes read so far after every read, the last one the whole file.
std::vector<std::pair<unsigned long long, unsigned long long> > ReadSteps(unsigned long long size,
                                                                          unsigned long long step) {
    std::vector<std::pair<unsigned long long, unsigned long long> > steps;
    for (unsigned long long done = step; done < size + step; done += step)
        steps.emplace_back(std::min(done, size), size);
    return steps;
}

TEST(PassProgress, EveryPassTellsTheBytesReadAfterEachRead) {
    TempDir dir;
    const unsigned long long size = 4 * MiB + 100000;
    std::string data = PatternBytes(size, 12);
    WriteFile(dir.file("f"), data);

    CProgressRecorder md4;
    unsigned char out[20];
    ASSERT_TRUE(CHelper::GetFileMd4(dir.file("f"), out, false, &md4));
    EXPECT_EQ(md4.calls, ReadSteps(size, 4096));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 16), Md4Of(data));

    CProgressRecorder sha1;
    ASSERT_TRUE(CHelper::GetFileSha1(dir.file("f"), out, false, &sha1));
    EXPECT_EQ(sha1.calls, ReadSteps(size, 4 * MiB));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 20), Sha1Of(data));

    // Pieces of 128 KiB above 20 MiB, 64 KiB here; the last read finds the end.
    CProgressRecorder pieces;
    std::vector<std::vector<unsigned char> > list;
    ASSERT_TRUE(CHelper::GetFilePieceHashs(dir.file("f"), list, false, &pieces));
    EXPECT_EQ(pieces.calls, ReadSteps(size, 64 * KiB));
    EXPECT_EQ(list.size(), pieces.calls.size());
}

}  // namespace
