// The record's filling from digests, apart from any file: the piece table,
// the identifiers and the printable fields zq_ident and the center share.
#include "rc_record.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "rc_digests.h"
#include "wire.h"

namespace {

using zqtest::PatternBytes;
using zqtest::ToHex;

// n fake piece digests, all different.
rc_digests_t FakeDigests(uint64 size, int n) {
    rc_digests_t d;
    d.Size = size;
    std::string bytes = PatternBytes(static_cast<size_t>(n) * 16, 77);
    d.Pieces.assign(bytes.begin(), bytes.end());
    return d;
}

TEST(ExtName, TextAfterTheLastPoint) {
    EXPECT_EQ(rc_ext_name("README"), "README");
    EXPECT_EQ(rc_ext_name("a."), "");
    EXPECT_EQ(rc_ext_name("a.tar.gz"), "gz");
    EXPECT_EQ(rc_ext_name("dir.v2/file"), "v2/file");
    EXPECT_EQ(rc_ext_name(""), "");
}

TEST(FillRcInfo, LargestFileWithAPieceTable) {
    rc_digests_t d = FakeDigests(RC_TPT_MAX_FILE_SIZE, 8192);
    RSInfo info;
    EXPECT_EQ(fill_rc_info(d, "big.iso", "u", info), RC_TPT_BUILT);
    EXPECT_EQ(zqtest::SegSizeOf(info.TptFile), 65535u);
    EXPECT_EQ(zqtest::SegCntOf(info.TptFile), 8192u);
    EXPECT_EQ(zqtest::LastSegSizeOf(info.TptFile), 65535u * 1024u);
    EXPECT_EQ(info.TptFile.GetDataLen(), 55u + 8192u * 16u);
}

// One byte more and the piece size (65,536 KiB) no longer fits the table's
// 16-bit field: no table rather than one claiming pieces of 0 KiB.
TEST(FillRcInfo, FileTooLargeForAPieceTableGetsNone) {
    rc_digests_t d = FakeDigests(RC_TPT_MAX_FILE_SIZE + 1, 8192);
    RSInfo info;
    EXPECT_EQ(fill_rc_info(d, "big.iso", "u", info), RC_TPT_TOO_LARGE);
    EXPECT_EQ(info.TptFile.GetDataLen(), 0u);
    EXPECT_EQ(info.Size, RC_TPT_MAX_FILE_SIZE + 1);
    Sha1Hash fid, sid;
    CreateFid(fid, d.Size, 8192, d.Pieces.data());
    CreateSid(sid, d.Size, 8192, d.Pieces.data());
    EXPECT_EQ(info.FID, fid);
    EXPECT_EQ(info.SID, sid);
    EXPECT_EQ(info.ExtName, "iso");
}

TEST(FillRcInfo, FieldsAreFilledFromTheDigests) {
    rc_digests_t d = FakeDigests(100000, 4);
    unsigned char sha[20], md4[16];
    for (int i = 0; i < 20; ++i) sha[i] = static_cast<unsigned char>(i * 7);
    for (int i = 0; i < 16; ++i) md4[i] = static_cast<unsigned char>(i * 3 + 1);
    d.Hash = Sha1Hash(sha, 20);
    d.MD4 = Md5Hash(md4, 16);
    RSInfo info;
    EXPECT_EQ(fill_rc_info(d, "a.b", "url", info), RC_TPT_BUILT);
    EXPECT_EQ(info.Hash, d.Hash);
    EXPECT_EQ(info.MD4, d.MD4);
    EXPECT_EQ(info.TptFile.mFilehash, d.Hash);
    EXPECT_EQ(info.FileName, "a.b");
    EXPECT_EQ(info.ExtName, "b");
    EXPECT_EQ(info.Url, "url");

    std::vector<rc_field_t> fields = rc_info_fields(info);
    std::vector<std::string> keys, values;
    for (const rc_field_t& f : fields) {
        keys.push_back(f.Key);
        values.push_back(f.Value);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"size", "piece_size", "pieces", "md4", "sha1", "sid", "fid",
                                              "tpt_bytes"}));
    EXPECT_EQ(values[0], "100000");
    EXPECT_EQ(values[1], "32768");
    EXPECT_EQ(values[2], "4");
    EXPECT_EQ(values[3], ToHex(md4, 16));
    EXPECT_EQ(values[4], ToHex(sha, 20));
    EXPECT_EQ(values[5], info.SID.Hex());
    EXPECT_EQ(values[6], info.FID.Hex());
    EXPECT_EQ(values[7], "119");
    EXPECT_TRUE(fields[0].Number);
    EXPECT_FALSE(fields[3].Number);
}

}  // namespace
