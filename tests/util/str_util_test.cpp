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

TEST(HexDigit, ConvertsBothWays) {
    EXPECT_EQ('0', htoa(0));
    EXPECT_EQ('9', htoa(9));
    EXPECT_EQ('a', htoa(10));
    EXPECT_EQ('f', htoa(15));
    EXPECT_EQ('-', htoa(16));
    EXPECT_EQ('-', htoa(-1));
    EXPECT_EQ(0, atoh('0'));
    EXPECT_EQ(9, atoh('9'));
    EXPECT_EQ(10, atoh('a'));
    EXPECT_EQ(15, atoh('F'));
    EXPECT_EQ(0, atoh('g'));
    EXPECT_EQ(0, atoh(' '));
}

TEST(HexConversion, ToHexBufWritesNoTerminator) {
    const unsigned char bin[] = {0x00, 0xFF, 0x5A};
    char out[7];
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(6, BinBufToHexBuf(out, 6, bin, 3));
    EXPECT_EQ("00ff5a", std::string(out, 6));
    EXPECT_EQ('x', out[6]);
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(-1, BinBufToHexBuf(out, 5, bin, 3));
    EXPECT_EQ('x', out[0]);
}

TEST(HexConversion, RoundTripOfEveryByte) {
    unsigned char bin[256];
    for (int i = 0; i < 256; ++i) bin[i] = static_cast<unsigned char>(i);
    char hex[513];
    ASSERT_EQ(512, BinBufToHexStr(hex, sizeof(hex), bin, sizeof(bin)));
    unsigned char back[256] = {};
    ASSERT_EQ(256, BinBufFromHexStr(back, sizeof(back), hex));
    EXPECT_EQ(0, memcmp(bin, back, sizeof(bin)));
}

TEST(CaseConversion, ConvertsTheGivenLengthAndTerminates) {
    char out[8];
    memset(out, 'x', sizeof(out));
    StrToUpper(out, "aBc1z", 3);
    EXPECT_STREQ("ABC", out);
    StrToLower(out, "XyZ!", 4);
    EXPECT_STREQ("xyz!", out);
    StrToUpper(out, "abc", 0);
    EXPECT_STREQ("", out);
}

TEST(CaseConversion, OverlappingShiftComesOutRight) {
    char buf[16] = "abcdef";
    StrToUpper(buf + 2, buf, 6);
    EXPECT_STREQ("abABCDEF", buf);
    char same[] = "MiXeD";
    StrToLower(same, same, 5);
    EXPECT_STREQ("mixed", same);
    char left[16] = "xxabcd";
    StrToUpper(left, left + 2, 4);
    EXPECT_STREQ("ABCD", left);
}

TEST(Trim, OnlyTrailingBlanksMoveTheTerminator) {
    char a[] = "ab \t\r\n";
    trim(a);
    EXPECT_STREQ("ab", a);
    char b[] = "";
    trim(b);
    EXPECT_STREQ("", b);
    char c[] = "\t x";
    trim(c);
    EXPECT_STREQ("x", c);
}

TEST(HexDump, NoDataGivesHeaderAndNewline) {
    char out[256];
    size_t len = GetMemHexInfo(out, sizeof(out), "", 0);
    EXPECT_EQ("\n----------  0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f   ----------------\n",
              std::string(out, len));
    EXPECT_EQ(79u, len);
}

TEST(HexDump, FullRowsShowSixteenBytesAndUnprintablesAsDots) {
    unsigned char data[32];
    for (int i = 0; i < 32; ++i) data[i] = static_cast<unsigned char>(i < 16 ? i : 'a' + i - 16);
    char out[1024];
    std::string dump(out, GetMemHexInfo(out, sizeof(out), data, sizeof(data)));
    EXPECT_NE(std::string::npos, dump.find("00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f  ................\n"));
    EXPECT_NE(std::string::npos, dump.find("61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70  abcdefghijklmnop\n"));
    char row1[32];
    snprintf(row1, sizeof(row1), "\n%p  ", static_cast<void*>(data));
    EXPECT_NE(std::string::npos, dump.find(row1));
}

TEST(Decimal, AcceptsOnlyCanonicalNumbersWithinTheBound) {
    unsigned long long n = 7;
    EXPECT_EQ(0, ParseDecimal("0", 10, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(0, ParseDecimal("18446744073709551615", ~0ULL, &n));
    EXPECT_EQ(~0ULL, n);
    EXPECT_EQ(0, ParseDecimal("100", 100, &n));
    EXPECT_EQ(100u, n);
    for (const char* bad : {"", "01", "+1", "-1", " 1", "1 ", "1a", "0x1", "101", "18446744073709551616"}) {
        n = 7;
        EXPECT_EQ(-1, ParseDecimal(bad, 100, &n)) << bad;
        EXPECT_EQ(7u, n) << bad;
    }
    EXPECT_EQ(-1, ParseDecimal("99999999999999999999", ~0ULL, &n));
    EXPECT_EQ(-1, ParseDecimal("5", 0, &n));
    EXPECT_EQ(0, ParseDecimal("12x", 2, 100, &n));
    EXPECT_EQ(12u, n);
}
