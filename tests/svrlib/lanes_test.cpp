// The multi-lane MD5 and MD4 kernels against the single-stream code, at every
// level the processor has (a level it lacks is skipped, and says so): equal
// and assorted lengths, lanes that run out early, contexts that already hold
// a partial block, byte counts that carry, and lanes that do not leak into
// each other.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "md4_lanes.h"
#include "md5_lanes.h"
#include "simd_level.h"

namespace {

using zqtest::PatternBytes;
using zqtest::ToHex;

class Lanes : public ::testing::TestWithParam<ESimdLevel> {
protected:
    void SetUp() override {
        if (!SimdSupported(GetParam()))
            GTEST_SKIP() << "this processor lacks " << SimdLevelName(GetParam())
                         << ": its kernels are not checked here";
    }
};

// Buffers cut from one pattern, so that equal lengths still differ in content.
struct Buffers {
    explicit Buffers(const std::vector<unsigned int>& lens) : len(lens) {
        for (size_t i = 0; i < lens.size(); ++i) bytes.push_back(PatternBytes(lens[i] + 1, 100 + i));
        for (const std::string& b : bytes) data.push_back(reinterpret_cast<const unsigned char*>(b.data()));
    }
    std::vector<std::string> bytes;
    std::vector<const unsigned char*> data;
    std::vector<unsigned int> len;
};

std::string Md5Lanes(const Buffers& b, ESimdLevel level) {
    std::vector<unsigned char> out(16 * b.len.size());
    md5_lanes_digest(b.data.data(), b.len.data(), static_cast<unsigned int>(b.len.size()), out.data(), level);
    return ToHex(out.data(), out.size());
}

std::string Md5Alone(const Buffers& b) {
    std::string hex;
    for (size_t i = 0; i < b.len.size(); ++i) {
        unsigned char d[16];
        md5_buffer(b.bytes[i].data(), b.len[i], d);
        hex += ToHex(d, 16);
    }
    return hex;
}

std::string Md4Lanes(const Buffers& b, ESimdLevel level, unsigned int split) {
    std::vector<MD4_CTX> ctx(b.len.size());
    std::vector<MD4_CTX*> ptr;
    for (MD4_CTX& c : ctx) {
        MD4Init(&c);
        ptr.push_back(&c);
    }
    // Two calls: the first up to `split` bytes, the second the rest.
    std::vector<unsigned int> first;
    std::vector<unsigned int> rest;
    std::vector<const unsigned char*> later;
    for (size_t i = 0; i < b.len.size(); ++i) {
        first.push_back(std::min(split, b.len[i]));
        rest.push_back(b.len[i] - first.back());
        later.push_back(b.data[i] + first.back());
    }
    unsigned int n = static_cast<unsigned int>(b.len.size());
    md4_lanes_update(ptr.data(), b.data.data(), first.data(), n, level);
    md4_lanes_update(ptr.data(), later.data(), rest.data(), n, level);
    std::string hex;
    for (MD4_CTX& c : ctx) {
        unsigned char d[16];
        MD4Final(d, &c);
        hex += ToHex(d, 16);
    }
    return hex;
}

std::string Md4Alone(const Buffers& b) {
    std::string hex;
    for (size_t i = 0; i < b.len.size(); ++i) {
        MD4_CTX c;
        MD4Init(&c);
        MD4Update(&c, const_cast<unsigned char*>(b.data[i]), b.len[i]);
        unsigned char d[16];
        MD4Final(d, &c);
        hex += ToHex(d, 16);
    }
    return hex;
}

// Whole pieces and a short last one, as a read window gives them; more
// streams than lanes; lengths around the padding bounds.
const std::vector<std::vector<unsigned int> > kShapes = {
    {},
    {0},
    {1},
    {640, 640},
    {4096, 4096, 4096, 1},
    std::vector<unsigned int>(16, 2048),
    {2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048, 700},
    {0, 1, 55, 56, 63, 64, 65, 127, 128, 129, 1000, 3000, 64 * 40 + 3, 7, 320, 5000, 64, 9, 11},
};

TEST_P(Lanes, Md5MatchesTheSingleStreamDigestForEveryShape) {
    for (const std::vector<unsigned int>& shape : kShapes) {
        Buffers b(shape);
        EXPECT_EQ(Md5Lanes(b, GetParam()), Md5Alone(b)) << shape.size() << " streams";
    }
}

TEST_P(Lanes, Md4MatchesTheSingleStreamDigestForEveryShapeAndSplit) {
    for (const std::vector<unsigned int>& shape : kShapes) {
        Buffers b(shape);
        for (unsigned int split : {0u, 64u, 100u, 1024u}) {
            EXPECT_EQ(Md4Lanes(b, GetParam(), split), Md4Alone(b)) << shape.size() << " streams, split " << split;
        }
    }
}

TEST_P(Lanes, ALastByteChangesOnlyItsOwnLane) {
    Buffers b(std::vector<unsigned int>(16, 64 * 33));
    const std::string before = Md5Lanes(b, GetParam());
    const std::string before4 = Md4Lanes(b, GetParam(), 0);
    for (size_t k = 0; k < 16; k += 5) {
        Buffers c = b;
        c.bytes[k][b.len[k] - 1] ^= 1;
        for (size_t i = 0; i < 16; ++i) c.data[i] = reinterpret_cast<const unsigned char*>(c.bytes[i].data());
        const std::string after = Md5Lanes(c, GetParam());
        const std::string after4 = Md4Lanes(c, GetParam(), 0);
        for (size_t i = 0; i < 16; ++i) {
            EXPECT_EQ(after.substr(32 * i, 32) != before.substr(32 * i, 32), i == k) << "md5 lane " << i;
            EXPECT_EQ(after4.substr(32 * i, 32) != before4.substr(32 * i, 32), i == k) << "md4 lane " << i;
        }
    }
}

// Contexts part-way through a stream: one with a partial block pending, the
// others with byte counts about to carry into the high word.
TEST_P(Lanes, ContinuesContextsWithPendingBytesAndCarryingCounts) {
    Buffers b(std::vector<unsigned int>(9, 64 * 5 + 1));
    std::vector<md5_t> m5(9), e5(9);
    std::vector<MD4_CTX> m4(9), e4(9);
    std::vector<md5_t*> p5;
    std::vector<MD4_CTX*> p4;
    for (size_t i = 0; i < 9; ++i) {
        md5_init(&m5[i]);
        MD4Init(&m4[i]);
        m5[i].md_total[0] = 0xffffffc0u;
        m4[i].count[0] = 0xfffffe00u;
        if (i == 3) {
            md5_process(&m5[i], "abc", 3);
            MD4Update(&m4[i], reinterpret_cast<unsigned char*>(const_cast<char*>("abc")), 3);
        }
        e5[i] = m5[i];
        e4[i] = m4[i];
        p5.push_back(&m5[i]);
        p4.push_back(&m4[i]);
        md5_process(&e5[i], b.data[i], b.len[i]);
        MD4Update(&e4[i], const_cast<unsigned char*>(b.data[i]), b.len[i]);
    }
    md5_lanes_process(p5.data(), b.data.data(), b.len.data(), 9, GetParam());
    md4_lanes_update(p4.data(), b.data.data(), b.len.data(), 9, GetParam());
    for (size_t i = 0; i < 9; ++i) {
        unsigned char got[16], want[16];
        md5_finish(&m5[i], got);
        md5_finish(&e5[i], want);
        EXPECT_EQ(ToHex(got, 16), ToHex(want, 16)) << "md5 lane " << i;
        MD4Final(got, &m4[i]);
        MD4Final(want, &e4[i]);
        EXPECT_EQ(ToHex(got, 16), ToHex(want, 16)) << "md4 lane " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Simd, Lanes, ::testing::Values(SIMD_PORTABLE, SIMD_AVX2, SIMD_AVX512),
                         [](const ::testing::TestParamInfo<ESimdLevel>& info) {
                             return std::string(SimdLevelName(info.param));
                         });

TEST(SimdLevel, NamesReadBackAndAnythingElseIsRefused) {
    for (ESimdLevel level : {SIMD_AUTO, SIMD_PORTABLE, SIMD_AVX2, SIMD_AVX512}) {
        ESimdLevel back = SIMD_PORTABLE;
        EXPECT_TRUE(SimdParseLevel(SimdLevelName(level), back));
        EXPECT_EQ(back, level);
    }
    ESimdLevel kept = SIMD_AVX2;
    for (const char* bad : {"", "AVX2", "avx", "avx512f", "sse"}) EXPECT_FALSE(SimdParseLevel(bad, kept)) << bad;
    EXPECT_EQ(kept, SIMD_AVX2);
}

TEST(SimdLevel, ResolvesToASupportedLevelNeverAboveTheRequest) {
    EXPECT_TRUE(SimdSupported(SimdResolve(SIMD_AUTO)));
    EXPECT_NE(SimdResolve(SIMD_AUTO), SIMD_AUTO);
    for (ESimdLevel level : {SIMD_PORTABLE, SIMD_AVX2, SIMD_AVX512}) {
        ESimdLevel got = SimdResolve(level);
        EXPECT_TRUE(SimdSupported(got)) << SimdLevelName(level);
        EXPECT_LE(got, level);
        if (SimdSupported(level)) {
            EXPECT_EQ(got, level);
        }
    }
    EXPECT_EQ(SimdLanes(SIMD_PORTABLE), 1u);
}

}  // namespace
