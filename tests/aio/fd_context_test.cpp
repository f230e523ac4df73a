#include "fd_context.h"

#include <gtest/gtest.h>

#include <cstring>

#include "os_util.h"

TEST(FdContextFresh, StartsFree) {
    CFdContext ctx(64);
    EXPECT_EQ(-1, ctx.GetFd());
    EXPECT_EQ(FD_TYPE_NONE, ctx.GetFdType());
    EXPECT_EQ(64u, ctx.GetReadBuf().GetBufSize());
    EXPECT_TRUE(ctx.GetWriteTaskList().empty());
    EXPECT_EQ(0u, ctx.GetLastAccessTime());
    EXPECT_EQ(0u, ctx.GetContType());
    EXPECT_EQ(0u, ctx.GetExtend());
    EXPECT_FALSE(ctx.IsWatched());
}

TEST(FdContextInit, TakesSlotAndClearsEverything) {
    CFdContext ctx(16);
    ctx.Init(7, FD_TYPE_TCP_ACCEPTED);
    ctx.GetReadBuf().AddData("abc", 3);
    ctx.GetWriteTaskList().push_back(new CByteArrTask("xyz", 3));
    ctx.SetContType(9);
    ctx.SetExtend(11);
    ctx.SetLastAccessTime(1234);
    ctx.SetRemoteAddr(CInetAddr("10.0.0.1", 80));

    ctx.Init(8, FD_TYPE_TCP_CONNECTED);
    EXPECT_EQ(8, ctx.GetFd());
    EXPECT_EQ(FD_TYPE_TCP_CONNECTED, ctx.GetFdType());
    EXPECT_EQ(0u, ctx.GetReadBuf().GetDataSize());
    EXPECT_EQ(16u, ctx.GetReadBuf().GetBufSize());
    EXPECT_TRUE(ctx.GetWriteTaskList().empty());
    EXPECT_EQ(0u, ctx.GetContType());
    EXPECT_EQ(0u, ctx.GetExtend());
    EXPECT_EQ(0u, ctx.GetLastAccessTime());
    EXPECT_EQ(0u, ctx.GetRemoteAddr()->GetIp());
    EXPECT_EQ(0u, ctx.GetRemoteAddr()->GetPort());
}

TEST(FdContextInit, RefedMemoryOfDestroyedTasksIsNotFreed) {
    char mem[] = "keep";
    {
        CFdContext ctx(8);
        ctx.Init(3, FD_TYPE_TCP_CONNECTED);
        ctx.GetWriteTaskList().push_back(new CRefedMemTask(nullptr, mem, 4));
        ctx.Reset();
        EXPECT_TRUE(ctx.GetWriteTaskList().empty());
        ctx.GetWriteTaskList().push_back(new CRefedMemTask(nullptr, mem, 4));
    }
    EXPECT_STREQ("keep", mem);
}

TEST(FdContextInit, EveryInitAndResetChangesTheSequence) {
    CFdContext ctx(8);
    uint32 first = ctx.GetSeq();
    ctx.Init(5, FD_TYPE_UDP);
    uint32 inUse = ctx.GetSeq();
    ctx.Reset();
    uint32 freed = ctx.GetSeq();
    ctx.Init(5, FD_TYPE_UDP);
    EXPECT_NE(first, inUse);
    EXPECT_NE(inUse, freed);
    EXPECT_NE(freed, ctx.GetSeq());
    EXPECT_NE(inUse, ctx.GetSeq());
}

TEST(FdContextReset, ReturnsToFree) {
    CFdContext ctx(8);
    ctx.Init(4, FD_TYPE_TCP_LISTEN);
    ctx.Reset();
    EXPECT_EQ(-1, ctx.GetFd());
    EXPECT_EQ(FD_TYPE_NONE, ctx.GetFdType());
}

TEST(FdContextAccessors, RemoteAddrIsTheMemberItself) {
    CFdContext ctx(8);
    ctx.Init(4, FD_TYPE_UDP);
    ctx.GetRemoteAddr()->SetAddr("127.0.0.1", 9);
    EXPECT_EQ(9u, ctx.GetRemoteAddr()->GetPort());
    EXPECT_TRUE(*ctx.GetRemoteAddr() == CInetAddr("127.0.0.1", 9));
}

TEST(FdContextAccessors, RefreshAccessTimeTakesTheTick) {
    CFdContext ctx(8);
    uint32 before = GetTickCount();
    ctx.RefreshAccessTime();
    uint32 after = GetTickCount();
    EXPECT_LE(before, ctx.GetLastAccessTime());
    EXPECT_GE(after, ctx.GetLastAccessTime());
}

TEST(FdContextReadData, RemovesConsumedBytes) {
    CFdContext ctx(8);
    ctx.GetReadBuf().AddData("abcdef", 6);
    EXPECT_EQ(0, ctx.RemoveReadData(4));
    EXPECT_EQ(2u, ctx.GetReadBuf().GetDataSize());
    EXPECT_EQ(0, memcmp("ef", ctx.GetReadBuf().GetDataPtr(), 2));
}

TEST(FdContextReadDataDeathTest, RemovingMoreThanStoredStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CFdContext ctx(8);
    ctx.GetReadBuf().AddData("abc", 3);
    EXPECT_DEATH(ctx.RemoveReadData(4), "0 == iAssert");
}
