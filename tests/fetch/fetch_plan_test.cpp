// Handing out pieces: a mirror that sent a piece damaged is never asked for
// it again, returned pieces are handed out first, and a piece every live
// mirror has spoilt is reported as one no mirror can deliver.
#include <gtest/gtest.h>

#include "fetch_plan.h"

TEST(FetchPlan, DamagedPieceGoesToAnotherMirrorAndIsUndeliverableOnceAllLiveOnesSpoiltIt) {
    CFetchPlan plan(6);
    uint32 first = 0, count = 0;
    ASSERT_TRUE(plan.Take(0, 3, first, count));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(count, 3u);
    plan.Done(0);
    plan.Damaged(1, 0);
    plan.Return(2);
    // Mirror 0 skips the piece it spoilt but takes the one merely returned.
    ASSERT_TRUE(plan.Take(0, 1, first, count));
    EXPECT_EQ(first, 2u);
    ASSERT_TRUE(plan.Take(1, 1, first, count));
    EXPECT_EQ(first, 1u);
    plan.Damaged(1, 1);
    EXPECT_EQ(plan.Undeliverable(0x3), std::vector<uint32>({1}));
    EXPECT_TRUE(plan.Undeliverable(0x7).empty()) << "mirror 2 may still send it";
}

TEST(FetchPlan, RunsStopAtAPieceTheMirrorSpoiltAndCompleteCountsOnlyDonePieces) {
    CFetchPlan plan(std::vector<bool>{false, true, true, true, true});
    EXPECT_EQ(plan.Wanted(), 4u);
    uint32 first = 0, count = 0;
    ASSERT_TRUE(plan.Take(0, 1, first, count));
    plan.Damaged(first, 0);
    ASSERT_TRUE(plan.Take(0, 10, first, count));
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(count, 3u);
    for (uint32 k = 2; k < 5; ++k) plan.Done(k);
    EXPECT_FALSE(plan.Complete());
    EXPECT_EQ(plan.DonePrefix(), 1u);
    EXPECT_FALSE(plan.Take(0, 10, first, count));
    ASSERT_TRUE(plan.Take(1, 10, first, count));
    plan.Done(first);
    EXPECT_TRUE(plan.Complete());
    EXPECT_EQ(plan.DonePrefix(), 5u);
}
