#include "databuf.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "hashval.h"
#include "tptFile.h"

namespace {

using zqtest::ToHex;

std::string Written(const DataBuf& buf) {
    const unsigned char* p = nullptr;
    unsigned int len = buf.Pack(p);
    return ToHex(p, len);
}

// An owned region of exactly the given size (a power of two, or reached by steps).
void MakeOwned(DataBuf& buf, unsigned int resize, std::vector<unsigned int> steps = {}) {
    ASSERT_TRUE(buf.Resize(resize));
    for (unsigned int s : steps) ASSERT_TRUE(buf.Growup(s));
}

TEST(NextPow2, RoundsUpToAPowerOfTwo) {
    EXPECT_EQ(nextpow2(0), 0u);
    EXPECT_EQ(nextpow2(1), 1u);
    EXPECT_EQ(nextpow2(2), 2u);
    EXPECT_EQ(nextpow2(3), 4u);
    EXPECT_EQ(nextpow2(1000), 1024u);
    EXPECT_EQ(nextpow2(1024), 1024u);
    EXPECT_EQ(nextpow2(1025), 2048u);
    EXPECT_EQ(nextpow2(0x80000000u), 0x80000000u);
    EXPECT_EQ(nextpow2(0x80000001u), 0u);
}

TEST(ByteOrder, SixtyFourBitsMostSignificantByteFirst) {
    uint64 v = htonll(0x0102030405060708ULL);
    unsigned char bytes[8];
    memcpy(bytes, &v, 8);
    EXPECT_EQ(ToHex(bytes, 8), "0102030405060708");
    EXPECT_EQ(ntohll(v), 0x0102030405060708ULL);
    uint16 s = Host2Net<uint16>(0x0102);
    memcpy(bytes, &s, 2);
    EXPECT_EQ(ToHex(bytes, 2), "0102");
    EXPECT_EQ(Net2Host(Host2Net<int>(-5)), -5);
}

TEST(DataBufEmpty, HasNoRegionAndRefusesEverything) {
    DataBuf buf;
    EXPECT_EQ(buf.GetBegPnt(), nullptr);
    EXPECT_EQ(buf.GetDataLen(), 0u);
    EXPECT_EQ(buf.GetFreeBufLen(), 0u);
    EXPECT_FALSE(buf.SetValue<unsigned int>(1));
    EXPECT_FALSE(buf.Growup(10));
    unsigned int v = 0;
    EXPECT_FALSE(buf.GetValue(v));
    buf.Reset();
    EXPECT_EQ(buf.GetBegPnt(), nullptr);
}

TEST(DataBufWriters, IntegersBigEndian) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0));
    EXPECT_TRUE(buf.SetValue<unsigned long long>(1));
    EXPECT_TRUE(buf.SetValue<unsigned short>(0xABCD));
    EXPECT_TRUE(buf.SetValue<int>(-2));
    EXPECT_TRUE(buf.SetValue<unsigned int>(0x01020304));
    EXPECT_EQ(Written(buf), "0000000000000001abcdfffffffe01020304");
}

TEST(DataBufWriters, StringsAndDataWithLengths) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(64));
    EXPECT_TRUE(buf.SetSString(nullptr, 5));
    EXPECT_EQ(Written(buf), "0000");
    buf.Reset();
    EXPECT_TRUE(buf.SetSString("abc", 0));
    EXPECT_EQ(Written(buf), "0003616263");
    buf.Reset();
    EXPECT_TRUE(buf.SetSString("abcdef", 2));
    EXPECT_EQ(Written(buf), "00026162");
    buf.Reset();
    EXPECT_TRUE(buf.SetData(nullptr, 0));
    EXPECT_EQ(Written(buf), "00000000");
    buf.Reset();
    const unsigned char raw[3] = {9, 8, 7};
    EXPECT_TRUE(buf.SetData(raw, 3));
    EXPECT_TRUE(buf.SetSData(raw, 2));
    EXPECT_TRUE(buf.SetFixData(raw, 1));
    EXPECT_EQ(Written(buf), "00000003090807" "00020908" "09");
}

TEST(DataBufWriters, LongStringLengthIsCutTo16Bits) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(256 * 1024));
    std::string text(65536 + 3, 'q');
    EXPECT_TRUE(buf.SetSString(text.c_str(), 0));
    EXPECT_EQ(Written(buf), "0003717171");
}

TEST(DataBufWriters, NullDataWithALengthIsRefused) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(64));
    EXPECT_FALSE(buf.SetData(nullptr, 4));
    EXPECT_FALSE(buf.SetSData(nullptr, 4));
    EXPECT_FALSE(buf.SetFixData(nullptr, 4));
    EXPECT_EQ(buf.GetDataLen(), 0u);
}

TEST(DataBufWriters, RecordsAsRawBytes) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0));
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(i + 1);
    EXPECT_TRUE(buf.SetStruct(Sha1Hash(bytes, 20)));
    EXPECT_TRUE(buf.SetStruct(Md5Hash(bytes, 16)));
    stTptHeadInfo head;
    EXPECT_TRUE(buf.SetStruct(head));
    EXPECT_EQ(buf.GetDataLen(), 20u + 16u + 35u);
    EXPECT_EQ(Written(buf).substr(0, 40), ToHex(bytes, 20));
    EXPECT_EQ(Written(buf).substr(72, 10), "5450540400");
}

TEST(DataBufPack, ReturnsTheStartAndTheDataLength) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0));
    for (unsigned int i = 0; i < 3; ++i) ASSERT_TRUE(buf.SetValue(i));
    const unsigned char* p = nullptr;
    EXPECT_EQ(buf.Pack(p), 12u);
    EXPECT_EQ(p, buf.GetBegPnt());
}

TEST(DataBufAttached, IntegerWriteNeedsOneByteToSpare) {
    unsigned char region[8] = {0};
    DataBuf buf;
    buf.Reset(region, 4);
    EXPECT_FALSE(buf.SetValue<unsigned int>(7)) << "exactly 4 free";
    EXPECT_EQ(buf.GetDataLen(), 0u);
    buf.Reset(region, 5);
    EXPECT_TRUE(buf.SetValue<unsigned int>(7)) << "5 free";
    EXPECT_EQ(ToHex(region, 5), "0000000700");
}

TEST(DataBufAttached, ReadsNeedExactlyTheirSize) {
    unsigned char region[6] = {0, 0, 1, 2, 0xAA, 0xBB};
    DataBuf buf;
    buf.Reset(region, 6);
    unsigned int v = 0;
    EXPECT_TRUE(buf.GetValue(v));
    EXPECT_EQ(v, 0x0102u);
    EXPECT_FALSE(buf.GetValue(v)) << "2 bytes left";
    EXPECT_EQ(buf.GetFreeBufLen(), 2u);
    buf.Reset(region, 4);
    EXPECT_TRUE(buf.GetValue(v)) << "exactly 4 left";
    EXPECT_EQ(buf.GetFreeBufLen(), 0u);
}

TEST(DataBufAttached, GetFixDataPointsIntoTheRegion) {
    unsigned char region[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    DataBuf buf;
    EXPECT_TRUE(buf.Unpack(region, 10));
    const unsigned char* p = nullptr;
    EXPECT_TRUE(buf.GetFixData(p, 4));
    EXPECT_EQ(p, region);
    EXPECT_TRUE(buf.GetFixData(p, 6));
    EXPECT_EQ(p, region + 4);
    EXPECT_FALSE(buf.GetFixData(p, 1));
    EXPECT_EQ(p, nullptr);
    EXPECT_TRUE(buf.GetFixData(p, 0));
}

TEST(DataBufAttached, StructReadsLeaveTheCursorOnFailure) {
    unsigned char region[40];
    for (int i = 0; i < 40; ++i) region[i] = static_cast<unsigned char>(i);
    DataBuf buf;
    buf.Reset(region, 39);
    Sha1Hash h;
    EXPECT_TRUE(buf.GetStruct(h));
    EXPECT_EQ(memcmp(h.cVal, region, 20), 0);
    EXPECT_FALSE(buf.GetStruct(h)) << "19 left";
    EXPECT_EQ(buf.GetFreeBufLen(), 19u);
    buf.Reset(region, 35);
    stTptHeadInfo head;
    EXPECT_TRUE(buf.GetStruct(head));
    buf.Reset(region, 34);
    EXPECT_FALSE(buf.GetStruct(head));
}

TEST(DataBufAttached, ResetDataAttachesAsFull) {
    unsigned char region[16] = {0};
    DataBuf buf;
    buf.ResetData(region, 16);
    EXPECT_EQ(buf.GetDataLen(), 16u);
    EXPECT_EQ(buf.GetFreeBufLen(), 0u);
    buf.ResetData(nullptr, 3);
    EXPECT_EQ(buf.GetBegPnt(), region);
    EXPECT_EQ(buf.GetDataLen(), 16u);
    buf.Reset(nullptr, 99);
    EXPECT_EQ(buf.GetBegPnt(), region) << "a null region keeps the current one";
    EXPECT_EQ(buf.GetDataLen(), 0u);
    EXPECT_EQ(buf.GetFreeBufLen(), 16u);
}

TEST(DataBufAttached, NeverGrowsNorWritesPastTheRegion) {
    std::vector<unsigned char> memory(64, 0xEE);
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0)) << "an owned block does not make the attached region growable";
    buf.Reset(memory.data(), 16);
    std::vector<unsigned char> big(40, 1);
    EXPECT_FALSE(buf.SetFixData(big.data(), 40));
    EXPECT_FALSE(buf.SetFixData(big.data(), 12)) << "needs 12 + 4 and one to spare";
    EXPECT_TRUE(buf.SetFixData(big.data(), 11));
    EXPECT_FALSE(buf.Growup(100));
    EXPECT_EQ(buf.GetBegPnt(), memory.data());
    for (size_t i = 16; i < memory.size(); ++i) ASSERT_EQ(memory[i], 0xEE) << i;
}

TEST(DataBufAttached, ResetReturnsToTheOwnedBlockWithItsLength) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(2000));
    unsigned char* owned = buf.GetBegPnt();
    ASSERT_TRUE(buf.SetValue<unsigned int>(0xDEADBEEF));
    unsigned char region[8];
    buf.Reset(region, 8);
    buf.Reset();
    EXPECT_EQ(buf.GetBegPnt(), owned);
    EXPECT_EQ(buf.GetFreeBufLen(), 2048u);
    unsigned int v = 0;
    EXPECT_TRUE(buf.GetValue(v)) << "the data is kept";
    EXPECT_EQ(v, 0xDEADBEEFu);
}

TEST(DataBufResize, SizesArePowersOfTwoOfAtLeast1KiB) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0));
    EXPECT_EQ(buf.GetFreeBufLen(), 1024u);
    ASSERT_TRUE(buf.Resize(1000));
    EXPECT_EQ(buf.GetFreeBufLen(), 1024u);
    ASSERT_TRUE(buf.Resize(1025));
    EXPECT_EQ(buf.GetFreeBufLen(), 2048u);
    ASSERT_TRUE(buf.SetValue<unsigned int>(5));
    ASSERT_TRUE(buf.Resize(100));
    EXPECT_EQ(buf.GetDataLen(), 0u) << "the data is discarded";
    EXPECT_EQ(buf.GetFreeBufLen(), 1024u);
}

TEST(DataBufResize, AnImpossibleSizeFailsAndKeepsTheBuffer) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(4096));
    ASSERT_TRUE(buf.SetValue<unsigned int>(5));
    EXPECT_FALSE(buf.Resize(0x80000001u));
    EXPECT_EQ(buf.GetDataLen(), 4u);
    EXPECT_EQ(buf.GetFreeBufLen(), 4092u);
}

TEST(DataBufGrowup, KeepsTheDataAndAddsAStep) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0));
    ASSERT_TRUE(buf.SetValue<unsigned int>(0x11223344));
    ASSERT_TRUE(buf.Growup(1));
    EXPECT_EQ(buf.GetDataLen() + buf.GetFreeBufLen(), 2048u) << "step raised to 1 KiB";
    ASSERT_TRUE(buf.Growup(3000));
    EXPECT_EQ(buf.GetDataLen() + buf.GetFreeBufLen(), 2048u + 4096u);
    ASSERT_TRUE(buf.Growup(5000000));
    EXPECT_EQ(buf.GetDataLen() + buf.GetFreeBufLen(), 2048u + 4096u + 1048576u) << "step lowered to 1 MiB";
    EXPECT_EQ(Written(buf), "11223344");
}

TEST(DataBufGrowup, NeverPastTenMiBAndTheStepIsNotCut) {
    DataBuf full;
    MakeOwned(full, 8388608, {1048576, 1048576});
    ASSERT_EQ(full.GetFreeBufLen(), 10485760u);
    EXPECT_FALSE(full.Growup(1));

    DataBuf near;
    MakeOwned(near, 8388608, {1048576, 524288});
    ASSERT_EQ(near.GetFreeBufLen(), 9961472u);
    EXPECT_FALSE(near.Growup(600000)) << "a 1 MiB step would pass the limit";
    EXPECT_EQ(near.GetFreeBufLen(), 9961472u);
    EXPECT_TRUE(near.Growup(500000));
    EXPECT_EQ(near.GetFreeBufLen(), 10485760u);
}

TEST(DataBufGrowup, AWriteFillingTheLastByteGrowsFirst) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(1024));
    std::vector<unsigned char> data(1019, 7);
    ASSERT_TRUE(buf.SetFixData(data.data(), 1019));
    EXPECT_EQ(buf.GetFreeBufLen(), 5u);
    EXPECT_TRUE(buf.SetValue<unsigned int>(1));
    EXPECT_EQ(buf.GetFreeBufLen(), 1u);
    EXPECT_TRUE(buf.SetFixData(data.data(), 1)) << "grows rather than leave no byte free";
    EXPECT_GT(buf.GetFreeBufLen(), 1u);
    EXPECT_EQ(buf.GetDataLen(), 1024u);
}

// One growth step is at most 1 MiB; a larger write must still get all the
// room it needs, or fail without writing.
TEST(DataBufGrowup, AWriteLargerThanOneStepGrowsEnough) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0));
    ASSERT_TRUE(buf.SetValue<unsigned int>(0xCAFEF00D));
    std::string big = zqtest::PatternBytes(3 * 1048576 + 77, 5);
    ASSERT_TRUE(buf.SetData(reinterpret_cast<const unsigned char*>(big.data()), static_cast<unsigned int>(big.size())));
    ASSERT_EQ(buf.GetDataLen(), 4u + 4u + big.size());
    EXPECT_GE(buf.GetFreeBufLen(), 1u);
    const unsigned char* p = buf.GetBegPnt();
    EXPECT_EQ(ToHex(p, 8), "cafef00d0030004d");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 8), big.size()), big);
}

TEST(DataBufGrowup, AWriteBeyondTheLimitFailsWithoutWriting) {
    DataBuf buf;
    ASSERT_TRUE(buf.Resize(0));
    ASSERT_TRUE(buf.SetValue<unsigned short>(0x0102));
    std::vector<unsigned char> huge(10485760, 3);
    EXPECT_FALSE(buf.SetFixData(huge.data(), static_cast<unsigned int>(huge.size())));
    EXPECT_EQ(Written(buf), "0102");
    EXPECT_FALSE(buf.SetData(huge.data(), 0xFFFFFFFFu)) << "a length near 4 GiB cannot wrap the room check";
    EXPECT_EQ(Written(buf), "0102");
    EXPECT_LE(buf.GetDataLen() + buf.GetFreeBufLen(), 10485760u);
}

}  // namespace
