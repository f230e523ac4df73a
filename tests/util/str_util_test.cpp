#include "str_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(HexConversion, ToHexStrNeedsRoomForTerminator) {
    const unsigned char bin[] = {0x01, 0xAB};
    char out[5];
    EXPECT_EQ(4, BinBufToHexStr(out, sizeof(out), bin, 2));
    EXPECT_STREQ("01ab", out);
    EXPECT_EQ(-1, BinBufToHexStr(out, 4, bin, 2));
}

TEST(HexConversion, FromHexStrTreatsNonHexAsZeroAndIgnoresOddTail) {
    unsigned char bin[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(2, BinBufFromHexStr(bin, 3, "0aFz1"));
    EXPECT_EQ(0x0A, bin[0]);
    EXPECT_EQ(0xF0, bin[1]);
    EXPECT_EQ(0xEE, bin[2]);
    EXPECT_EQ(-1, BinBufFromHexStr(bin, 2, "0aFz1"));
}

TEST(Trim, RemovesOuterBlanksOnly) {
    char a[] = "  a b  ";
    trim(a);
    EXPECT_STREQ("a b", a);
    char b[] = "   ";
    trim(b);
    EXPECT_STREQ("", b);
    char c[] = "ab";
    trim(c);
    EXPECT_STREQ("ab", c);
    EXPECT_EQ(0, trim(nullptr));
}

TEST(HexDump, TwentyBytesMakeTwoRowsWithAlignedTextColumn) {
    unsigned char data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>('A' + i);
    char out[1024];
    size_t len = GetMemHexInfo(out, sizeof(out), data, sizeof(data));
    std::string dump(out, len);
    EXPECT_EQ(strlen(out), len);
    // Header, two rows, final newline.
    EXPECT_EQ(0u, dump.find("\n----------  0  1  2"));
    size_t second = dump.find('\n', dump.find('\n', 1) + 1);
    ASSERT_NE(std::string::npos, second);
    std::string row2 = dump.substr(second + 1);
    EXPECT_NE(std::string::npos, row2.find("51 52 53 54 " + std::string(36, ' ') + " QRST\n"));
}

TEST(HexDump, NeverWritesPastTheBuffer) {
    unsigned char data[64] = {};
    char out[100];
    memset(out, 'x', sizeof(out));
    size_t len = GetMemHexInfo(out, 90, data, sizeof(data));
    EXPECT_EQ(89u, len);
    EXPECT_EQ('\0', out[89]);
    EXPECT_EQ('x', out[90]);
}
