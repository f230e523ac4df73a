#include "hashval.h"

#include <gtest/gtest.h>

namespace {

const unsigned char kBytes[20] = {0x00, 0x01, 0x7f, 0x80, 0xff, 0x10, 0x20, 0x30, 0x40, 0x50,
                                  0xa0, 0xb0, 0xc0, 0xd0, 0xe0, 0xf0, 0x0a, 0x1b, 0x2c, 0x3d};

TEST(HashValConstruct, DefaultIsAllZero) {
    Sha1Hash sha;
    Md5Hash md5;
    EXPECT_TRUE(sha.IsZero());
    EXPECT_TRUE(md5.IsZero());
    EXPECT_EQ(sha.Hex(), std::string(40, '0'));
    EXPECT_EQ(md5.Hex(), std::string(32, '0'));
}

TEST(HashValConstruct, CopiesOnlyAnExactLength) {
    Sha1Hash exact(kBytes, 20);
    EXPECT_EQ(memcmp(exact.cVal, kBytes, 20), 0);
    EXPECT_FALSE(exact.IsZero());
    EXPECT_TRUE(Sha1Hash(kBytes, 16).IsZero());
    EXPECT_TRUE(Sha1Hash(kBytes, 21).IsZero());
    EXPECT_TRUE(Sha1Hash(kBytes, -20).IsZero());
    EXPECT_TRUE(Sha1Hash(nullptr, 20).IsZero());
    Md5Hash md5(kBytes, 16);
    EXPECT_EQ(memcmp(md5.cVal, kBytes, 16), 0);
    EXPECT_TRUE(Md5Hash(kBytes, 20).IsZero());
}

TEST(HashValCompare, AssignmentCopiesTheWholeValue) {
    Sha1Hash a(kBytes, 20);
    Sha1Hash b;
    EXPECT_NE(a, b);
    b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(memcmp(b.cVal, kBytes, 20), 0);
    b.cVal[19] ^= 1;
    EXPECT_NE(a, b);
    EXPECT_FALSE(a == b);
}

TEST(HashValHex, LowercaseHighNibbleFirst) {
    EXPECT_EQ(Sha1Hash(kBytes, 20).Hex(), "00017f80ff1020304050a0b0c0d0e0f00a1b2c3d");
    EXPECT_EQ(HashBytesToHex(kBytes, 3), "00017f");
    EXPECT_EQ(HashBytesToHex(kBytes, 0), "");
    EXPECT_EQ(HashBytesToHex(nullptr, 5), "");
}

TEST(HashValLayout, IsExactlyItsBytes) {
    EXPECT_EQ(sizeof(Md5Hash), 16u);
    EXPECT_EQ(sizeof(Sha1Hash), 20u);
    Sha1Hash a(kBytes, 20);
    unsigned char raw[20];
    memcpy(raw, &a, sizeof(a));
    EXPECT_EQ(memcmp(raw, kBytes, 20), 0);
}

}  // namespace
