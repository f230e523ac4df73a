// Checking digests against a piece table without a file or a terminal: the
// places of pieces past 4 GiB.
#include "tpt_verify.h"

#include <gtest/gtest.h>

#include <vector>

#include "helper.h"
#include "tptFile.h"

namespace {

// A table for a file of uiSize bytes whose piece digests are all zeros.
std::vector<unsigned char> ZeroTable(uint64 uiSize, const Sha1Hash& oSha1) {
    uint64 uiPiece = CHelper::GetDefaultPieceSize(uiSize);
    int iPieces = static_cast<int>((uiSize + uiPiece - 1) / uiPiece);
    std::vector<unsigned char> oDigests(16 * static_cast<size_t>(iPieces), 0);
    TPTFile oTpt;
    EXPECT_TRUE(oTpt.Makeup(uiSize, iPieces, static_cast<unsigned short>(uiPiece >> 10), oDigests.data(), oSha1));
    return std::vector<unsigned char>(oTpt.GetBegPnt(), oTpt.GetBegPnt() + oTpt.GetDataLen());
}

TEST(TptVerify, PiecesPast4GiBKeepTheirPlace) {
    const uint64 kSize = 5ULL << 30;  // 640 KiB pieces, 8192 of them
    std::vector<unsigned char> oBytes = ZeroTable(kSize, Sha1Hash());
    tpt_table_t oTable;
    std::string strWhy;
    ASSERT_EQ(tpt_parse(oBytes.data(), oBytes.size(), oTable, strWhy), 0) << strWhy;
    EXPECT_EQ(oTable.Pieces, 8192u);
    EXPECT_EQ(oTable.Size, kSize);
    std::vector<unsigned char> oPieces = oTable.Digests;
    oPieces[16 * 8191] = 1;
    tpt_verdict_t oVerdict = tpt_verify(oTable, oPieces, kSize, Sha1Hash());
    ASSERT_EQ(oVerdict.Damaged.size(), 1u);
    EXPECT_EQ(oVerdict.Damaged[0].First, 8191ULL * 640 * 1024);
    EXPECT_EQ(oVerdict.Damaged[0].Last, kSize - 1);
    EXPECT_EQ(tpt_verdict_lines(oVerdict, "big").back(), "big: damaged: 1 of 8192 pieces bad, 5368709120 bytes");
}

}  // namespace
