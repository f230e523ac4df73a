#include "read_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Data(CReadBuffer& buf) {
    char* p = buf.GetDataPtr();
    return p ? std::string(p, buf.GetDataSize()) : std::string();
}

}  // namespace

TEST(ReadBufferEmpty, CapacityZeroHasNoArrayAndRefusesData) {
    CReadBuffer buf(0);
    EXPECT_EQ(0u, buf.GetBufSize());
    EXPECT_EQ(nullptr, buf.GetFreeSpacePtr());
    EXPECT_EQ(nullptr, buf.GetDataPtr());
    EXPECT_EQ(0u, buf.GetFreeSpaceSize());
    EXPECT_EQ(-1, buf.AddData("x", 1));
    EXPECT_EQ(-1, buf.IncDataSize(1));
    EXPECT_EQ(0, buf.AddData("x", 0));
}

TEST(ReadBufferEmpty, FreshBufferOffersWholeCapacity) {
    CReadBuffer buf(16);
    EXPECT_EQ(16u, buf.GetFreeSpaceSize());
    EXPECT_NE(nullptr, buf.GetFreeSpacePtr());
    EXPECT_EQ(nullptr, buf.GetDataPtr());
    EXPECT_EQ(0u, buf.GetDataSize());
}

TEST(ReadBufferAppend, IncDataSizeRecordsBytesWrittenAtFreeSpace) {
    CReadBuffer buf(8);
    memcpy(buf.GetFreeSpacePtr(), "abcde", 5);
    EXPECT_EQ(0, buf.IncDataSize(5));
    EXPECT_EQ("abcde", Data(buf));
    EXPECT_EQ(3u, buf.GetFreeSpaceSize());
    EXPECT_EQ(-1, buf.IncDataSize(4));
    EXPECT_EQ("abcde", Data(buf));
}

TEST(ReadBufferAppend, AddDataRefusesMoreThanFreeSpaceAndKeepsContents) {
    CReadBuffer buf(6);
    ASSERT_EQ(0, buf.AddData("abcd", 4));
    EXPECT_EQ(-1, buf.AddData("xyz", 3));
    EXPECT_EQ("abcd", Data(buf));
    EXPECT_EQ(0, buf.AddData("ef", 2));
    EXPECT_EQ("abcdef", Data(buf));
}

TEST(ReadBufferFull, FullBufferHasNoFreeSpacePointer) {
    CReadBuffer buf(4);
    ASSERT_EQ(0, buf.AddData("abcd", 4));
    EXPECT_EQ(0u, buf.GetFreeSpaceSize());
    EXPECT_EQ(nullptr, buf.GetFreeSpacePtr());
    EXPECT_EQ("abcd", Data(buf));
}

TEST(ReadBufferConsume, FreeSpaceCountsConsumedHeadAndPointerCompacts) {
    CReadBuffer buf(10);
    ASSERT_EQ(0, buf.AddData("0123456789", 10));
    ASSERT_EQ(0, buf.RemoveData(4));
    EXPECT_EQ(4u, buf.GetFreeSpaceSize());
    EXPECT_EQ("456789", Data(buf));
    char* freeSpace = buf.GetFreeSpacePtr();
    ASSERT_NE(nullptr, freeSpace);
    // The remaining bytes moved to the start; exactly the free size follows them.
    EXPECT_EQ(buf.GetDataPtr(), freeSpace - 6);
    EXPECT_EQ("456789", Data(buf));
    memcpy(freeSpace, "abcd", 4);
    EXPECT_EQ(0, buf.IncDataSize(4));
    EXPECT_EQ("456789abcd", Data(buf));
}

TEST(ReadBufferConsume, AddDataAfterConsumingUsesTheHeadGap) {
    CReadBuffer buf(6);
    ASSERT_EQ(0, buf.AddData("abcdef", 6));
    ASSERT_EQ(0, buf.RemoveData(2));
    EXPECT_EQ(0, buf.AddData("gh", 2));
    EXPECT_EQ("cdefgh", Data(buf));
}

TEST(ReadBufferConsume, RemovingEverythingRewindsWithoutMoving) {
    CReadBuffer buf(8);
    ASSERT_EQ(0, buf.AddData("abcdef", 6));
    char* start = buf.GetDataPtr();
    ASSERT_EQ(0, buf.RemoveData(6));
    EXPECT_EQ(0u, buf.GetDataSize());
    EXPECT_EQ(8u, buf.GetFreeSpaceSize());
    EXPECT_EQ(start, buf.GetFreeSpacePtr());
}

TEST(ReadBufferConsume, RemovingMoreThanStoredIsRefused) {
    CReadBuffer buf(8);
    ASSERT_EQ(0, buf.AddData("abc", 3));
    EXPECT_EQ(-1, buf.RemoveData(4));
    EXPECT_EQ("abc", Data(buf));
}

TEST(ReadBufferConsume, ResetEmptiesButKeepsCapacity) {
    CReadBuffer buf(8);
    ASSERT_EQ(0, buf.AddData("abc", 3));
    buf.Reset();
    EXPECT_EQ(0u, buf.GetDataSize());
    EXPECT_EQ(8u, buf.GetFreeSpaceSize());
    EXPECT_EQ(8u, buf.GetBufSize());
}

TEST(ReadBufferResize, GrowsKeepingUnconsumedData) {
    CReadBuffer buf(6);
    ASSERT_EQ(0, buf.AddData("abcdef", 6));
    ASSERT_EQ(0, buf.RemoveData(2));
    buf.Resize(12);
    EXPECT_EQ(12u, buf.GetBufSize());
    EXPECT_EQ("cdef", Data(buf));
    EXPECT_EQ(8u, buf.GetFreeSpaceSize());
}

TEST(ReadBufferResize, SmallerOrEqualSizeKeepsCapacityAndData) {
    CReadBuffer buf(8);
    ASSERT_EQ(0, buf.AddData("abc", 3));
    buf.Resize(4);
    EXPECT_EQ(8u, buf.GetBufSize());
    buf.Resize(8);
    EXPECT_EQ(8u, buf.GetBufSize());
    EXPECT_EQ("abc", Data(buf));
}

TEST(ReadBufferResize, BufferWithoutArrayGetsOne) {
    CReadBuffer buf(0);
    buf.Resize(5);
    EXPECT_EQ(5u, buf.GetBufSize());
    EXPECT_EQ(0, buf.AddData("abcde", 5));
    EXPECT_EQ("abcde", Data(buf));
}
