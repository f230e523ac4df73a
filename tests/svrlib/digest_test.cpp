#include "md4emule.h"
#include "md5.h"
#include "sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "files.h"
#include "process.h"

namespace {

typedef std::vector<unsigned char> Bytes;

std::string Hex(const unsigned char* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0x0f];
    }
    return out;
}

Bytes Random(size_t n, unsigned int seed)
{
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) {
        b = static_cast<unsigned char>(gen());
    }
    return out;
}

// The length of the i-th piece in which a helper feeds its input; a piece may
// be empty. Null means the whole input in one call.
typedef std::function<size_t(size_t)> PieceSizes;

PieceSizes Every(size_t step)
{
    return [step](size_t) { return step; };
}

// Calls feed(offset, length) for consecutive pieces covering n bytes.
void ForEachPiece(size_t n, const PieceSizes& sizes, const std::function<void(size_t, size_t)>& feed)
{
    if (!sizes) {
        feed(0, n);
        return;
    }
    size_t off = 0;
    for (size_t i = 0; off < n; ++i) {
        size_t len = std::min(sizes(i), n - off);
        feed(off, len);
        off += len;
    }
}

// Each digest helper returns the digest of n bytes at p in lowercase hex.
std::string Md4Of(const unsigned char* p, size_t n, const PieceSizes& sizes = nullptr)
{
    MD4_CTX ctx;
    MD4Init(&ctx);
    ForEachPiece(n, sizes, [&](size_t off, size_t len) {
        MD4Update(&ctx, const_cast<unsigned char*>(p + off), static_cast<unsigned int>(len));
    });
    unsigned char digest[16];
    MD4Final(digest, &ctx);
    return Hex(digest, 16);
}

std::string Md5Of(const unsigned char* p, size_t n, const PieceSizes& sizes = nullptr)
{
    md5_t ctx;
    md5_init(&ctx);
    ForEachPiece(n, sizes,
                 [&](size_t off, size_t len) { md5_process(&ctx, p + off, static_cast<unsigned int>(len)); });
    unsigned char digest[16];
    md5_finish(&ctx, digest);
    return Hex(digest, 16);
}

std::string Sha1Of(const unsigned char* p, size_t n, const PieceSizes& sizes = nullptr)
{
    SHA_INFO ctx;
    sha_init(&ctx);
    ForEachPiece(n, sizes, [&](size_t off, size_t len) {
        sha_update(&ctx, const_cast<SHA_BYTE*>(p + off), static_cast<int>(len));
    });
    unsigned char digest[20];
    sha_final(digest, &ctx);
    return Hex(digest, 20);
}

// Runs the SHA-1 with the portable compression forced, restoring the choice.
std::string Sha1PortableOf(const unsigned char* p, size_t n, const PieceSizes& sizes = nullptr)
{
    sha_force_portable(1);
    std::string out = Sha1Of(p, n, sizes);
    sha_force_portable(0);
    return out;
}

std::string Md4Of(const std::string& s) { return Md4Of(reinterpret_cast<const unsigned char*>(s.data()), s.size()); }
std::string Md5Of(const std::string& s) { return Md5Of(reinterpret_cast<const unsigned char*>(s.data()), s.size()); }

bool CpuInfoListsShaNi()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "flags") == 0) {
            return line.find(" sha_ni") != std::string::npos;
        }
    }
    return false;
}

const char kDigitsAndLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const char kEightyDigits[] =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

}  // namespace

// ---- published test suites ----

TEST(Md4Vectors, Rfc1320TestSuite)
{
    EXPECT_EQ("31d6cfe0d16ae931b73c59d7e0c089c0", Md4Of(""));
    EXPECT_EQ("bde52cb31de33e46245e05fbdbd6fb24", Md4Of("a"));
    EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", Md4Of("abc"));
    EXPECT_EQ("d9130a8164549fe818874806e1c7014b", Md4Of("message digest"));
    EXPECT_EQ("d79e1c308aa5bbcdeea8ed63df412da9", Md4Of("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ("043f8582f241db351ce627e153e7f0e4", Md4Of(kDigitsAndLetters));
    EXPECT_EQ("e33b4ddc9c38f2199c3e7b164fcc0536", Md4Of(kEightyDigits));
}

TEST(Md5Vectors, Rfc1321TestSuite)
{
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Md5Of(""));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", Md5Of("a"));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5Of("abc"));
    EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", Md5Of("message digest"));
    EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", Md5Of("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f", Md5Of(kDigitsAndLetters));
    EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a", Md5Of(kEightyDigits));
}

TEST(Md4Vectors, MillionLetterA)
{
    const Bytes a(1000000, 'a');
    EXPECT_EQ("bbce80cc6bb65e5c6745e30d4eeca9a4", Md4Of(a.data(), a.size()));
}

TEST(Md5Vectors, MillionLetterA)
{
    const Bytes a(1000000, 'a');
    EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", Md5Of(a.data(), a.size()));
}

// Every SHA-1 case runs once with the compression the processor gets by
// default and once with the portable code forced.
class Sha1Path : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { sha_force_portable(GetParam() ? 1 : 0); }
    void TearDown() override { sha_force_portable(0); }

    static std::string Sha1(const std::string& s)
    {
        return Sha1Of(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    }
};

TEST_P(Sha1Path, Fips180Examples)
{
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1("abc"));
    EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
              Sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1(""));
}

TEST_P(Sha1Path, MillionLetterA)
{
    const Bytes a(1000000, 'a');
    EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1Of(a.data(), a.size()));
    EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1Of(a.data(), a.size(), Every(1000)));
}

TEST_P(Sha1Path, ReportsWhichCompressionRuns)
{
    if (GetParam()) {
        EXPECT_EQ(0, sha_accelerated());
    } else {
        EXPECT_EQ(CpuInfoListsShaNi() ? 1 : 0, sha_accelerated());
    }
}

INSTANTIATE_TEST_SUITE_P(Digest, Sha1Path, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Portable" : "Default";
                         });

// ---- any split of the input gives the same digest ----

struct DigestAlgo {
    const char* name;
    std::function<std::string(const unsigned char*, size_t, const PieceSizes&)> run;
    // Digests of 'a' repeated n times around the padding bounds, from
    // independent tools.
    std::vector<std::pair<size_t, std::string>> letterA;
};

class Feeding : public ::testing::TestWithParam<DigestAlgo> {
protected:
    std::string Run(const unsigned char* p, size_t n, const PieceSizes& sizes = nullptr) const
    {
        return GetParam().run(p, n, sizes);
    }
};

TEST_P(Feeding, PiecesOfAnySizeMatchOneCall)
{
    const Bytes msg = Random(3000, 7);
    const std::string whole = Run(msg.data(), msg.size());
    for (size_t step : {1, 3, 63, 64, 65, 127, 128, 129, 512}) {
        EXPECT_EQ(whole, Run(msg.data(), msg.size(), Every(step))) << "step " << step;
    }
}

TEST_P(Feeding, IrregularPiecesMatchOneCall)
{
    const Bytes msg = Random(20000, 11);
    const std::string whole = Run(msg.data(), msg.size());
    // Piece sizes that wander across the block and buffer bounds, empty ones included.
    for (size_t salt : {1, 29, 63}) {
        EXPECT_EQ(whole, Run(msg.data(), msg.size(), [salt](size_t i) { return (i * 37 + salt) % 200; }))
            << "salt " << salt;
    }
}

TEST_P(Feeding, UnalignedInputMatchesAligned)
{
    const Bytes msg = Random(5000, 3);
    const std::string aligned = Run(msg.data(), msg.size());
    for (size_t shift = 1; shift < 16; ++shift) {
        Bytes shifted(msg.size() + shift);
        std::memcpy(shifted.data() + shift, msg.data(), msg.size());
        EXPECT_EQ(aligned, Run(shifted.data() + shift, msg.size())) << "shift " << shift;
        EXPECT_EQ(aligned, Run(shifted.data() + shift, msg.size(), Every(100))) << "shift " << shift;
    }
}

TEST_P(Feeding, LengthsAroundThePaddingBounds)
{
    for (const auto& item : GetParam().letterA) {
        const Bytes a(item.first, 'a');
        EXPECT_EQ(item.second, Run(a.data(), a.size())) << item.first << " bytes";
        EXPECT_EQ(item.second, Run(a.data(), a.size(), Every(1))) << item.first << " bytes, one at a time";
    }
}

// Both SHA-1 compressions must give these.
const std::vector<std::pair<size_t, std::string>> kSha1LetterA = {
    {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},  {56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
    {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},  {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
    {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"}, {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
    {127, "89d95fa32ed44a7c610b7ee38517ddf57e0bb975"}, {128, "ad5b3fdbcb526778c2839d2f151ea753995e26a0"}};

INSTANTIATE_TEST_SUITE_P(
    Digest, Feeding,
    ::testing::Values(
        DigestAlgo{"Md4",
                   [](const unsigned char* p, size_t n, const PieceSizes& s) { return Md4Of(p, n, s); },
                   {{55, "c889c81dd86c4d2e025778944ea02881"},
                    {56, "d5f9a9e9257077a5f08b0b92f348b0ad"},
                    {63, "7ea3da77432d44c323671097d1348fc8"},
                    {64, "52f5076fabd22680234a3fa9f9dc5732"},
                    {119, "e65dd227ccef97fa1d34d70189120f76"},
                    {120, "b03ddbd470b47c013e0c7ab2ddd763db"},
                    {127, "9733b046ad770b4e093b35de4e09e828"},
                    {128, "cb4a20a561558e29460190c91dced59f"}}},
        DigestAlgo{"Md5",
                   [](const unsigned char* p, size_t n, const PieceSizes& s) { return Md5Of(p, n, s); },
                   {{55, "ef1772b6dff9a122358552954ad0df65"},
                    {56, "3b0c8ac703f828b04c6c197006d17218"},
                    {63, "b06521f39153d618550606be297466d5"},
                    {64, "014842d480b571495a4a0363793f7367"},
                    {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
                    {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
                    {127, "020406e1d05cdc2aa287641f7ae2cc39"},
                    {128, "e510683b3f5ffe4093d021808bc6ff70"}}},
        DigestAlgo{"Sha1",
                   [](const unsigned char* p, size_t n, const PieceSizes& s) { return Sha1Of(p, n, s); },
                   kSha1LetterA},
        DigestAlgo{"Sha1Portable",
                   [](const unsigned char* p, size_t n, const PieceSizes& s) { return Sha1PortableOf(p, n, s); },
                   kSha1LetterA}),
    [](const ::testing::TestParamInfo<DigestAlgo>& info) { return std::string(info.param.name); });

// ---- SHA-1: the two compressions agree ----

TEST(Sha1Paths, PortableAndAcceleratedAgreeOnRandomData)
{
    if (!CpuInfoListsShaNi()) {
        GTEST_SKIP() << "processor without SHA instructions: only the portable code runs here";
    }
    const Bytes data = Random(1 << 20, 99);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 1100; ++n) {
        lengths.push_back(n);
    }
    for (size_t n : {4095, 4096, 4097, 65536 + 13, 1 << 20}) {
        lengths.push_back(n);
    }
    for (size_t n : lengths) {
        // Start at a length-dependent offset so that the input addresses vary too.
        const unsigned char* p = data.data() + (n % 13);
        if (n + (n % 13) > data.size()) {
            p = data.data();
        }
        ASSERT_EQ(Sha1PortableOf(p, n), Sha1Of(p, n)) << n << " bytes";
    }
}

// ---- agreement with independent tools on random files ----

namespace {

// Runs `tool` over files of many lengths and checks each line against ours.
void CompareWithTool(const std::string& tool, const std::function<std::string(const Bytes&)>& ours)
{
    if (access(tool.c_str(), X_OK) != 0) {
        GTEST_SKIP() << tool << " is not installed";
    }
    zqtest::TempDir dir;
    std::vector<std::string> names;
    std::vector<std::string> expected;
    unsigned int seed = 1;
    for (size_t n : {0, 1, 55, 56, 63, 64, 65, 127, 128, 129, 1000, 8191, 8192, 8193, 65537, 300000}) {
        Bytes data = Random(n, seed++);
        std::string name = "f" + std::to_string(n);
        zqtest::WriteFile(dir.file(name), std::string(data.begin(), data.end()));
        names.push_back(name);
        expected.push_back(ours(data));
    }
    zqtest::ProcessResult r = zqtest::RunProcess(tool, names, dir.path(), 30000);
    ASSERT_EQ(0, r.exit_code) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(static_cast<bool>(std::getline(lines, line))) << "missing line for " << names[i];
        EXPECT_EQ(expected[i] + "  " + names[i], line);
    }
}

}  // namespace

TEST(IndependentTools, Md5MatchesMd5sum)
{
    CompareWithTool("/usr/bin/md5sum", [](const Bytes& b) { return Md5Of(b.data(), b.size()); });
}

TEST(IndependentTools, Sha1MatchesSha1sumOnBothPaths)
{
    CompareWithTool("/usr/bin/sha1sum", [](const Bytes& b) { return Sha1Of(b.data(), b.size()); });
    CompareWithTool("/usr/bin/sha1sum", [](const Bytes& b) { return Sha1PortableOf(b.data(), b.size()); });
}

// ---- 64-bit length counts ----
// Instead of hashing 4 GiB, the counters are preset just below a 32-bit wrap.
// The expected digest comes from compressing a hand-padded final block whose
// length field holds the full 64-bit count.

namespace {

// 100 message bytes padded as the last 128 bytes of a message of `bits` bits:
// 0x80, zeros to 120, then the count in the given byte order.
Bytes HandPadded(const Bytes& tail, uint64_t bits, bool bigEndian)
{
    Bytes block(tail);
    block.push_back(0x80);
    block.resize(120, 0);
    for (int i = 0; i < 8; ++i) {
        int shift = bigEndian ? 8 * (7 - i) : 8 * i;
        block.push_back(static_cast<unsigned char>(bits >> shift));
    }
    return block;
}

}  // namespace

TEST(LengthCounts, Md4CountCarriesIntoHighWord)
{
    const Bytes tail = Random(100, 5);
    MD4_CTX ctx;
    MD4Init(&ctx);
    ctx.count[0] = 0xFFFFFE00u;  // a whole number of blocks, 0x1FFFFFC0 bytes
    ctx.count[1] = 0;
    MD4Update(&ctx, const_cast<unsigned char*>(tail.data()), static_cast<unsigned int>(tail.size()));
    EXPECT_EQ(0x120u, ctx.count[0]);
    EXPECT_EQ(1u, ctx.count[1]);
    unsigned char digest[16];
    MD4Final(digest, &ctx);

    const uint64_t bits = 0xFFFFFE00ull + 800;
    Bytes padded = HandPadded(tail, bits, false);
    MD4_CTX ref;
    MD4Init(&ref);
    MD4Update(&ref, padded.data(), static_cast<unsigned int>(padded.size()));
    unsigned char expect[16];
    for (int w = 0; w < 4; ++w) {
        for (int i = 0; i < 4; ++i) {
            expect[4 * w + i] = static_cast<unsigned char>(ref.state[w] >> (8 * i));
        }
    }
    EXPECT_EQ(Hex(expect, 16), Hex(digest, 16));
}

TEST(LengthCounts, Md5ByteCountBecomesA64BitBitCount)
{
    // Byte counts whose bit count crosses 32 bits only through the low
    // word's top bits, and one whose high word wraps as the bytes arrive.
    struct Preset {
        md5_uint32 low, high;
    };
    for (const Preset& preset : {Preset{0xE0000000u, 0}, Preset{0xFFFFFFC0u, 1}, Preset{0x20000040u, 0x1fffffffu}}) {
        const Bytes tail = Random(100, 6);
        md5_t ctx;
        md5_init(&ctx);
        ctx.md_total[0] = preset.low;
        ctx.md_total[1] = preset.high;
        md5_process(&ctx, tail.data(), static_cast<unsigned int>(tail.size()));
        const uint64_t before = (uint64_t(preset.high) << 32) + preset.low;
        const uint64_t afterBlock = before + 64;
        EXPECT_EQ(static_cast<md5_uint32>(afterBlock), ctx.md_total[0]);
        EXPECT_EQ(static_cast<md5_uint32>(afterBlock >> 32), ctx.md_total[1]);
        EXPECT_EQ(36u, ctx.md_buf_len);
        unsigned char digest[16];
        md5_finish(&ctx, digest);

        Bytes padded = HandPadded(tail, (before + 100) * 8, false);
        md5_t ref;
        md5_init(&ref);
        md5_process(&ref, padded.data(), static_cast<unsigned int>(padded.size()));
        ASSERT_EQ(0u, ref.md_buf_len);
        unsigned char expect[16];
        md5_get_result(&ref, expect);
        EXPECT_EQ(Hex(expect, 16), Hex(digest, 16)) << std::hex << preset.high << ":" << preset.low;
    }
}

TEST_P(Sha1Path, CountCarriesIntoHighWord)
{
    const Bytes tail = Random(100, 8);
    SHA_INFO ctx;
    sha_init(&ctx);
    ctx.count_lo = 0xFFFFFE00u;
    ctx.count_hi = 7;
    sha_update(&ctx, const_cast<SHA_BYTE*>(tail.data()), static_cast<int>(tail.size()));
    EXPECT_EQ(0x120u, ctx.count_lo);
    EXPECT_EQ(8u, ctx.count_hi);
    unsigned char digest[20];
    sha_final(digest, &ctx);

    const uint64_t bits = (7ull << 32) + 0xFFFFFE00ull + 800;
    Bytes padded = HandPadded(tail, bits, true);
    SHA_INFO ref;
    sha_init(&ref);
    for (int block = 0; block < 2; ++block) {
        std::memcpy(ref.data, padded.data() + 64 * block, 64);
        sha_transform(&ref);
    }
    unsigned char expect[20];
    for (int w = 0; w < 5; ++w) {
        for (int i = 0; i < 4; ++i) {
            expect[4 * w + i] = static_cast<unsigned char>(ref.digest[w] >> (8 * (3 - i)));
        }
    }
    EXPECT_EQ(Hex(expect, 20), Hex(digest, 20));
}

// ---- MD4 context ----

TEST(Md4Context, FinalZeroesTheWholeContext)
{
    const Bytes msg = Random(77, 2);
    MD4_CTX ctx;
    MD4Init(&ctx);
    MD4Update(&ctx, const_cast<unsigned char*>(msg.data()), static_cast<unsigned int>(msg.size()));
    unsigned char digest[16];
    MD4Final(digest, &ctx);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&ctx);
    EXPECT_EQ(std::string(sizeof(ctx), '\0'), std::string(raw, raw + sizeof(ctx)));
    EXPECT_EQ(Md4Of(msg.data(), msg.size()), Hex(digest, 16));
}

TEST(Md4Context, EmptyUpdatesChangeNothing)
{
    const Bytes msg = Random(200, 4);
    MD4_CTX ctx;
    MD4Init(&ctx);
    MD4Update(&ctx, const_cast<unsigned char*>(msg.data()), 0);
    MD4Update(&ctx, const_cast<unsigned char*>(msg.data()), 70);
    MD4Update(&ctx, const_cast<unsigned char*>(msg.data() + 70), 0);
    MD4Update(&ctx, const_cast<unsigned char*>(msg.data() + 70), 130);
    unsigned char digest[16];
    MD4Final(digest, &ctx);
    EXPECT_EQ(Md4Of(msg.data(), msg.size()), Hex(digest, 16));
}

// ---- MD5 context and helpers ----

TEST(Md5Context, KeepsAWholeBlockPendingUntilMoreArrives)
{
    const Bytes msg = Random(130, 9);
    md5_t ctx;
    md5_init(&ctx);
    md5_process(&ctx, msg.data(), 64);
    EXPECT_EQ(64u, ctx.md_buf_len);
    EXPECT_EQ(0u, ctx.md_total[0]);
    EXPECT_EQ(0x67452301u, ctx.md_A);
    md5_process(&ctx, msg.data() + 64, 1);
    EXPECT_EQ(1u, ctx.md_buf_len);
    EXPECT_EQ(64u, ctx.md_total[0]);
    // Topping up the pending bytes to exactly one block still waits.
    md5_process(&ctx, msg.data() + 65, 63);
    EXPECT_EQ(64u, ctx.md_buf_len);
    EXPECT_EQ(64u, ctx.md_total[0]);
    md5_process(&ctx, msg.data() + 128, 2);
    EXPECT_EQ(2u, ctx.md_buf_len);
    EXPECT_EQ(128u, ctx.md_total[0]);
    unsigned char digest[16];
    md5_finish(&ctx, digest);
    EXPECT_EQ(Md5Of(msg.data(), msg.size()), Hex(digest, 16));
}

TEST(Md5Context, GetResultAfterFinishRepeatsTheSignature)
{
    const Bytes msg = Random(1000, 10);
    md5_t ctx;
    md5_init(&ctx);
    md5_process(&ctx, msg.data(), static_cast<unsigned int>(msg.size()));
    unsigned char signature[16];
    md5_finish(&ctx, signature);
    unsigned char again[16];
    md5_get_result(&ctx, again);
    EXPECT_EQ(Hex(signature, 16), Hex(again, 16));
}

TEST(Md5Context, BufferCallEqualsInitProcessFinish)
{
    const Bytes msg = Random(4321, 12);
    unsigned char signature[16];
    md5_buffer(reinterpret_cast<const char*>(msg.data()), static_cast<unsigned int>(msg.size()), signature);
    EXPECT_EQ(Md5Of(msg.data(), msg.size(), Every(100)), Hex(signature, 16));
}

namespace {

const unsigned char kAbcDigest[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                      0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};

// md5_sig_to_string of the "abc" digest into a '#'-filled 40-character area.
std::string SigToString(int room)
{
    char area[40];
    std::memset(area, '#', sizeof(area));
    md5_sig_to_string(const_cast<unsigned char*>(kAbcDigest), area, room);
    return std::string(area, sizeof(area));
}

}  // namespace

TEST(Md5Hex, RoomFor33GivesDigitsAndNul)
{
    std::string got = SigToString(33);
    EXPECT_EQ(std::string("900150983cd24fb0d6963f7d28e17f72") + '\0' + std::string(7, '#'), got);
}

TEST(Md5Hex, RoomFor32GivesDigitsWithoutNul)
{
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72" + std::string(8, '#'), SigToString(32));
}

TEST(Md5Hex, RoomFor31GivesThirtyDigitsAndNul)
{
    EXPECT_EQ(std::string("900150983cd24fb0d6963f7d28e17f") + '\0' + std::string(9, '#'), SigToString(31));
}

TEST(Md5Hex, TinyOrNegativeRoomWritesAtMostTheNul)
{
    EXPECT_EQ(std::string(1, '\0') + std::string(39, '#'), SigToString(1));
    EXPECT_EQ(std::string(40, '#'), SigToString(0));
    EXPECT_EQ(std::string(40, '#'), SigToString(-5));
}

TEST(Md5Hex, FromStringReadsBackWhatToStringWrote)
{
    const Bytes msg = Random(50, 13);
    unsigned char sig[16];
    md5_buffer(reinterpret_cast<const char*>(msg.data()), 50, sig);
    char text[MD5_STRING_SIZE];
    md5_sig_to_string(sig, text, sizeof(text));
    unsigned char back[16];
    md5_sig_from_string(back, text);
    EXPECT_EQ(Hex(sig, 16), Hex(back, 16));
}

TEST(Md5Hex, FromStringAcceptsUpperCaseAndReadsOtherCharactersAsZero)
{
    unsigned char back[16];
    md5_sig_from_string(back, "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Hex(kAbcDigest, 16), Hex(back, 16));
    md5_sig_from_string(back, "zz0150983cd24fb0d6963f7d28e17fx2");
    EXPECT_EQ("000150983cd24fb0d6963f7d28e17f02", Hex(back, 16));
}

TEST(Md5Hex, FromStringStopsAtAnEarlyEnd)
{
    // Exactly sized heap copies, so a read past the terminator is caught by
    // the address sanitizer.
    for (const std::string text : {"9001509", "90015098", ""}) {
        std::unique_ptr<char[]> exact(new char[text.size() + 1]);
        std::memcpy(exact.get(), text.c_str(), text.size() + 1);
        unsigned char back[16];
        std::memset(back, 0xee, sizeof(back));
        md5_sig_from_string(back, exact.get());
        std::string expect = text;
        if (expect.size() % 2 == 1) {
            expect += '0';
        }
        expect.resize(32, '0');
        EXPECT_EQ(expect, Hex(back, 16)) << '"' << text << '"';
    }
}

// ---- SHA-1 interface ----

TEST_P(Sha1Path, UpdateWithNoBytesOrANegativeCountAddsNothing)
{
    const Bytes msg = Random(150, 14);
    SHA_INFO ctx;
    sha_init(&ctx);
    sha_update(&ctx, const_cast<SHA_BYTE*>(msg.data()), 70);
    sha_update(&ctx, const_cast<SHA_BYTE*>(msg.data() + 70), 0);
    sha_update(&ctx, const_cast<SHA_BYTE*>(msg.data() + 70), -1);
    EXPECT_EQ(70u * 8, ctx.count_lo);
    EXPECT_EQ(6, ctx.local);
    sha_update(&ctx, const_cast<SHA_BYTE*>(msg.data() + 70), 80);
    unsigned char digest[20];
    sha_final(digest, &ctx);
    EXPECT_EQ(Sha1Of(msg.data(), msg.size()), Hex(digest, 20));
}

TEST_P(Sha1Path, StreamDigestsTheWholeFileFromAFreshStart)
{
    const Bytes data = Random(3 * 8192 + 100, 15);
    zqtest::TempDir dir;
    zqtest::WriteFile(dir.file("in"), std::string(data.begin(), data.end()));
    FILE* fin = std::fopen(dir.file("in").c_str(), "rb");
    ASSERT_NE(nullptr, fin);
    SHA_INFO ctx;
    sha_init(&ctx);
    sha_update(&ctx, const_cast<SHA_BYTE*>(data.data()), 33);  // stale state must not leak in
    unsigned char digest[20];
    sha_stream(digest, &ctx, fin);
    std::fclose(fin);
    EXPECT_EQ(Sha1Of(data.data(), data.size()), Hex(digest, 20));
}

TEST(Sha1Interface, PrintWritesFiveGroupsOfEightDigits)
{
    const std::string abc = "abc";
    SHA_INFO ctx;
    sha_init(&ctx);
    sha_update(&ctx, reinterpret_cast<SHA_BYTE*>(const_cast<char*>(abc.data())), 3);
    unsigned char digest[20];
    sha_final(digest, &ctx);
    ::testing::internal::CaptureStdout();
    sha_print(digest);
    std::fflush(stdout);
    EXPECT_EQ("a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d\n", ::testing::internal::GetCapturedStdout());
}

TEST(Sha1Interface, VersionNamesTheAlgorithm)
{
    EXPECT_STREQ("SHA-1", sha_version());
}
