// The piece table and the two identifiers built from piece digests.
#include "tptFile.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "files.h"
#include "helper.h"
#include "md5.h"
#include "sha1.h"
#include "wire.h"

namespace {

using zqtest::PatternBytes;
using zqtest::TempDir;
using zqtest::ToHex;

std::string Md5Of(const std::string& data) {
    unsigned char out[16];
    md5_buffer(data.data(), static_cast<unsigned int>(data.size()), out);
    return std::string(reinterpret_cast<char*>(out), 16);
}

Sha1Hash Sha1Of(const std::string& data) {
    SHA_INFO ctx;
    sha_init(&ctx);
    sha_update(&ctx, reinterpret_cast<SHA_BYTE*>(const_cast<char*>(data.data())), static_cast<int>(data.size()));
    unsigned char out[20];
    sha_final(out, &ctx);
    return Sha1Hash(out, 20);
}

std::string SizeLE(unsigned long long size) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(size >> (8 * i));
    return out;
}

// The piece digests of data, concatenated, with the default piece size.
std::string Digests(const std::string& data) {
    size_t piece = CHelper::GetDefaultPieceSize(data.size());
    std::string out;
    for (size_t off = 0; off < data.size(); off += piece) out += Md5Of(data.substr(off, piece));
    return out;
}

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string TableBytes(const TPTFile& tpt) {
    return std::string(reinterpret_cast<const char*>(tpt.GetBegPnt()), tpt.GetDataLen());
}

TEST(TptHeader, IsPacked35BytesWithItsDefaults) {
    stTptHeadInfo head;
    unsigned char raw[35];
    memcpy(raw, &head, 35);
    EXPECT_EQ(ToHex(raw, 35), "5450540400" + std::string(60, '0'));
}

TEST(TptMakeup, HundredThousandByteFile) {
    std::string data = PatternBytes(100000, 1);
    std::string digests = Digests(data);
    Sha1Hash sha = Sha1Of(data);
    TPTFile tpt;
    ASSERT_TRUE(tpt.Makeup(100000, 4, 32, Bytes(digests), sha));
    EXPECT_EQ(zqtest::SegCntOf(tpt), 4u);
    EXPECT_EQ(zqtest::SegSizeOf(tpt), 32u);
    EXPECT_EQ(zqtest::LastSegSizeOf(tpt), 1696u);
    std::string table = TableBytes(tpt);
    ASSERT_EQ(table.size(), 119u);
    EXPECT_EQ(ToHex(table.substr(0, 19)), "545054" "0400" "00000000" "04000000" "2000" "a0060000");
    EXPECT_EQ(table.substr(19, 16), std::string(16, '\0'));
    EXPECT_EQ(table.substr(35, 64), digests);
    EXPECT_EQ(table.substr(99, 20), std::string(reinterpret_cast<const char*>(sha.cVal), 20));
    EXPECT_EQ(tpt.mFilehash, sha);
    ASSERT_EQ(tpt.mTptPieces.GetDataLen(), 64u);
    EXPECT_EQ(tpt.mTptPieces.GetBegPnt(), tpt.GetBegPnt() + 35);
}

TEST(TptMakeup, ExactMultipleOfThePieceSize) {
    std::string digests(32, 'd');
    TPTFile tpt;
    ASSERT_TRUE(tpt.Makeup(65536, 2, 32, Bytes(digests), Sha1Hash()));
    EXPECT_EQ(zqtest::LastSegSizeOf(tpt), 32768u);
    EXPECT_EQ(tpt.GetDataLen(), 55u + 32u);
}

TEST(TptMakeup, EmptyFileHasHeaderAndHashOnly) {
    Sha1Hash sha = Sha1Of("");
    TPTFile tpt;
    ASSERT_TRUE(tpt.Makeup(0, 0, 32, nullptr, sha));
    EXPECT_EQ(zqtest::SegCntOf(tpt), 0u);
    EXPECT_EQ(zqtest::SegSizeOf(tpt), 32u);
    EXPECT_EQ(zqtest::LastSegSizeOf(tpt), 32768u);
    std::string table = TableBytes(tpt);
    ASSERT_EQ(table.size(), 55u);
    EXPECT_EQ(table.substr(35), std::string(reinterpret_cast<const char*>(sha.cVal), 20));
    EXPECT_EQ(tpt.mTptPieces.GetDataLen(), 0u);
}

TEST(TptMakeup, LargestTableFor8192Pieces) {
    std::string digests = PatternBytes(8192 * 16, 2);
    uint64_t size = 4ULL << 30;
    TPTFile tpt;
    ASSERT_TRUE(tpt.Makeup(size, 8192, 512, Bytes(digests), Sha1Hash()));
    EXPECT_EQ(tpt.GetDataLen(), 131127u);
    EXPECT_EQ(zqtest::LastSegSizeOf(tpt), 524288u);
    EXPECT_EQ(TableBytes(tpt).substr(35, digests.size()), digests);
}

TEST(TptMakeup, RefusalsKeepThePreviousTable) {
    std::string digests = PatternBytes(8193 * 16, 3);
    TPTFile tpt;
    ASSERT_TRUE(tpt.Makeup(100, 1, 32, Bytes(digests), Sha1Hash()));
    std::string before = TableBytes(tpt);

    EXPECT_FALSE(tpt.Makeup(8193ULL * 32768, 8193, 32, Bytes(digests), Sha1Hash()));
    EXPECT_EQ(zqtest::SegCntOf(tpt), 8193u) << "the header fields are set regardless";
    EXPECT_EQ(TableBytes(tpt), before);

    EXPECT_FALSE(tpt.Makeup(3 * 32768 + 1, 2, 32, Bytes(digests), Sha1Hash())) << "last piece longer than a piece";
    EXPECT_EQ(TableBytes(tpt), before);
    EXPECT_FALSE(tpt.Makeup(100, -1, 32, Bytes(digests), Sha1Hash()));
    EXPECT_FALSE(tpt.Makeup(100, 1, 32, nullptr, Sha1Hash())) << "digests missing";
    EXPECT_EQ(TableBytes(tpt), before);
}

TEST(TptResolve, GivesBackWhatMakeupBuilt) {
    std::string data = PatternBytes(100000, 4);
    std::string digests = Digests(data);
    Sha1Hash sha = Sha1Of(data);
    TPTFile built;
    ASSERT_TRUE(built.Makeup(100000, 4, 32, Bytes(digests), sha));
    std::string table = TableBytes(built);

    TPTFile read;
    ASSERT_TRUE(read.Resolve(reinterpret_cast<unsigned char*>(&table[0]), static_cast<unsigned int>(table.size())));
    EXPECT_EQ(memcmp(&read.mTptHead, &built.mTptHead, sizeof(stTptHeadInfo)), 0);
    EXPECT_EQ(read.mFilehash, sha);
    ASSERT_EQ(read.mTptPieces.GetDataLen(), 64u);
    EXPECT_EQ(read.mTptPieces.GetBegPnt(), reinterpret_cast<unsigned char*>(&table[0]) + 35) << "no copy";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(read.mTptPieces.GetBegPnt()), 64), digests);
}

TEST(TptResolve, TruncatedInputFails) {
    TPTFile built;
    std::string digests(48, 'x');
    ASSERT_TRUE(built.Makeup(70000, 3, 32, Bytes(digests), Sha1Hash()));
    std::string table = TableBytes(built);
    unsigned char* p = reinterpret_cast<unsigned char*>(&table[0]);
    TPTFile read;
    EXPECT_FALSE(read.Resolve(p, 34)) << "short header";
    EXPECT_FALSE(read.Resolve(p, 35 + 47)) << "short digests";
    EXPECT_FALSE(read.Resolve(p, static_cast<unsigned int>(table.size()) - 1)) << "short file hash";
    EXPECT_TRUE(read.Resolve(p, static_cast<unsigned int>(table.size())));
}

TEST(TptResolve, AHugePieceCountCannotWrapTheCheck) {
    std::vector<unsigned char> table(35 + 20, 0);
    unsigned int count = 0x10000001u;  // 16 x count wraps to 16 in 32 bits
    memcpy(&table[9], &count, 4);
    TPTFile read;
    EXPECT_FALSE(read.Resolve(table.data(), static_cast<unsigned int>(table.size())));
}

TEST(TptResolve, NothingToReadChangesNothing) {
    TPTFile tpt;
    EXPECT_TRUE(tpt.Resolve(nullptr, 10));
    unsigned char byte = 0;
    EXPECT_TRUE(tpt.Resolve(&byte, 0));
    EXPECT_EQ(zqtest::SegCntOf(tpt), 0u);
    EXPECT_EQ(tpt.GetDataLen(), 0u);
}

TEST(TptSetData, CopiesTablesBelowTheLimit) {
    std::string table = PatternBytes(133120, 6);
    TPTFile tpt;
    tpt.SetTptData(&table[0], static_cast<unsigned int>(table.size()));
    ASSERT_EQ(tpt.GetDataLen(), 133120u);
    EXPECT_NE(tpt.GetBegPnt(), reinterpret_cast<unsigned char*>(&table[0]));
    std::string copy = TableBytes(tpt);
    table[0] ^= 1;
    EXPECT_EQ(TableBytes(tpt), copy);
    EXPECT_EQ(zqtest::SegCntOf(tpt), 0u) << "the header is not parsed";

    std::string longer = PatternBytes(133121, 7);
    tpt.SetTptData(&longer[0], static_cast<unsigned int>(longer.size()));
    EXPECT_EQ(TableBytes(tpt), copy);
}

TEST(TptSetData, DropsTheOldPieceView) {
    std::string digests(32, 'z');
    TPTFile tpt;
    ASSERT_TRUE(tpt.Makeup(40000, 2, 32, Bytes(digests), Sha1Hash()));
    std::string table = PatternBytes(200000 % 133120, 8);
    tpt.SetTptData(&table[0], static_cast<unsigned int>(table.size()));
    EXPECT_EQ(tpt.mTptPieces.GetDataLen(), 0u);
    EXPECT_EQ(TableBytes(tpt), table);
}

TEST(Identifiers, FidIsTheSha1OfSizeThenEveryDigest) {
    std::string digests = PatternBytes(5 * 16, 9);
    Sha1Hash fid;
    CreateFid(fid, 150000, 5, Bytes(digests));
    EXPECT_EQ(fid, Sha1Of(SizeLE(150000) + digests));
}

TEST(Identifiers, SidSamplesOneToFivePieces) {
    std::string digests = PatternBytes(5 * 16, 10);
    auto d = [&](int i) { return digests.substr(i * 16, 16); };
    const std::vector<std::vector<int> > picks = {{0}, {0, 1}, {0, 1, 2}, {0, 2, 3}, {0, 2, 4}};
    for (int count = 1; count <= 5; ++count) {
        std::string input;
        for (int i : picks[count - 1]) input += d(i);
        input += SizeLE(1234567);
        Sha1Hash sid;
        CreateSid(sid, 1234567, count, Bytes(digests));
        EXPECT_EQ(sid, Sha1Of(input)) << count;
    }
}

TEST(Identifiers, LimitsLeaveTheIdentifiersUnchanged) {
    std::string digests = PatternBytes(8193 * 16, 11);
    Sha1Hash fid, sid;
    CreateFid(fid, 1, 8192, Bytes(digests));
    CreateSid(sid, 1, 8192, Bytes(digests));
    EXPECT_FALSE(fid.IsZero());
    EXPECT_FALSE(sid.IsZero());
    Sha1Hash before = fid;
    CreateFid(fid, 1, 8193, Bytes(digests));
    CreateSid(sid, 1, 8193, Bytes(digests));
    EXPECT_EQ(fid, before);
    EXPECT_EQ(sid, Sha1Of(digests.substr(0, 16) + digests.substr(4096 * 16, 16) + digests.substr(8191 * 16, 16) +
                          SizeLE(1)));
    Sha1Hash zero;
    CreateFid(zero, 0, 0, Bytes(digests));
    CreateSid(zero, 0, 3, nullptr);
    CreateSid(zero, 0, -1, Bytes(digests));
    EXPECT_TRUE(zero.IsZero());
}

// The identifiers computed from a file by the helpers equal those computed
// from its piece list, for every piece count the SID samples differently.
TEST(Identifiers, AgreeWithTheFileHelpers) {
    TempDir dir;
    for (size_t size : std::vector<size_t>{1000, 32768, 32769, 70000, 100000, 140000, 300001}) {
        std::string data = PatternBytes(size, static_cast<uint32_t>(size));
        zqtest::WriteFile(dir.file("f"), data);
        std::string digests = Digests(data);
        int count = static_cast<int>(digests.size() / 16);
        Sha1Hash fid, sid;
        CreateFid(fid, size, count, Bytes(digests));
        CreateSid(sid, size, count, Bytes(digests));
        unsigned char fileFid[20], fileSid[20];
        ASSERT_TRUE(CHelper::GetFileFID(dir.file("f"), fileFid, false));
        ASSERT_TRUE(CHelper::GetFileSID(dir.file("f"), fileSid));
        EXPECT_EQ(fid, Sha1Hash(fileFid, 20)) << size;
        if (count >= 2) {
            EXPECT_EQ(sid, Sha1Hash(fileSid, 20)) << size;
        } else {
            EXPECT_NE(sid, Sha1Hash(fileSid, 20)) << "one piece: the helper hashes the raw padded piece";
        }
    }
}

}  // namespace
