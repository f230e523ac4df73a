#include "write_task.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

TEST(ByteArrTask, KeepsItsOwnCopy) {
    char src[] = "payload";
    CByteArrTask task(src, 7);
    memcpy(src, "XXXXXXX", 7);
    EXPECT_EQ(CWriteTaskBase::TASK_TYPE_BYTE_ARR, task.GetTaskType());
    EXPECT_EQ(7u, task.GetWantSize());
    EXPECT_EQ(0u, task.GetDoneSize());
    ASSERT_NE(nullptr, task.GetBuf());
    EXPECT_NE(src, task.GetBuf());
    EXPECT_EQ("payload", std::string(task.GetLeftData(), task.GetLeftSize()));
}

TEST(ByteArrTask, NullOrEmptySourceOwnsNothing) {
    CByteArrTask fromNull(nullptr, 5);
    EXPECT_EQ(nullptr, fromNull.GetBuf());
    EXPECT_EQ(nullptr, fromNull.GetLeftData());
    CByteArrTask empty("abc", 0);
    EXPECT_EQ(nullptr, empty.GetBuf());
    EXPECT_EQ(0u, empty.GetLeftSize());
    EXPECT_EQ(nullptr, empty.GetLeftData());
}

TEST(WriteTaskProgress, PartialWriteAdvancesLeftData) {
    CByteArrTask task("0123456789", 10);
    task.IncDoneSize(4);
    EXPECT_EQ(6u, task.GetLeftSize());
    EXPECT_EQ(task.GetBuf() + 4, task.GetLeftData());
    EXPECT_EQ("456789", std::string(task.GetLeftData(), task.GetLeftSize()));
    task.IncDoneSize(6);
    EXPECT_EQ(0u, task.GetLeftSize());
    EXPECT_EQ(nullptr, task.GetLeftData());
}

TEST(WriteTaskProgress, LeftSizeNeverWrapsBelowZero) {
    CByteArrTask task("ab", 2);
    task.IncDoneSize(3);
    EXPECT_EQ(0u, task.GetLeftSize());
}

TEST(RefedMemTask, PointsAtCallerMemoryWithHandle) {
    static const char mem[] = "shared bytes";
    int handle = 0;
    CRefedMemTask task(&handle, mem, 12);
    EXPECT_EQ(CWriteTaskBase::TASK_TYPE_REFED_MEM, task.GetTaskType());
    EXPECT_EQ(&handle, task.GetHandle());
    EXPECT_EQ(mem, task.GetRefedMem());
    EXPECT_EQ(mem, task.GetLeftData());
    task.IncDoneSize(7);
    EXPECT_EQ(mem + 7, task.GetLeftData());
    EXPECT_EQ(5u, task.GetLeftSize());
}

TEST(RefedMemTask, DestructionLeavesCallerMemoryAlone) {
    std::unique_ptr<char[]> mem(new char[4]);
    memcpy(mem.get(), "abcd", 4);
    {
        std::unique_ptr<CWriteTaskBase> task(new CRefedMemTask(nullptr, mem.get(), 4));
    }
    EXPECT_EQ(0, memcmp(mem.get(), "abcd", 4));
}
