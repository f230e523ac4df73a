// The memory of used removal tokens: a token is used once however its hex
// is spelt, it is let go only when the window no longer admits it, and a
// full memory refuses new tokens instead of forgetting live ones.
#include <gtest/gtest.h>

#include <string>

#include "rc_removal_tokens.h"

namespace {

std::string Token(char c) { return std::string(104, c); }

TEST(RcReplay, ATokenIsUsedOnceInEitherCase) {
    CRcRemovalTokens replay(300);
    EXPECT_EQ(replay.Use(Token('a'), 1000, 1000), RC_TOKEN_FRESH);
    EXPECT_EQ(replay.Use(Token('A'), 1000, 1001), RC_TOKEN_SEEN);
    EXPECT_EQ(replay.Use(Token('b'), 1000, 1001), RC_TOKEN_FRESH);
}

TEST(RcReplay, ATokenIsKeptWhileTheWindowStillAdmitsItsTime) {
    CRcRemovalTokens replay(300);
    EXPECT_EQ(replay.Use(Token('a'), 1000, 900), RC_TOKEN_FRESH);
    // 1300 is the last second the time check lets it pass.
    EXPECT_EQ(replay.Use(Token('a'), 1000, 1300), RC_TOKEN_SEEN);
    EXPECT_EQ(replay.Use(Token('b'), 2000, 1301), RC_TOKEN_FRESH);
    EXPECT_EQ(replay.Size(), 1u);
}

TEST(RcReplay, AFullMemoryRefusesANewTokenAndForgetsNoLiveOne) {
    CRcRemovalTokens replay(300, 2);
    EXPECT_EQ(replay.Use(Token('a'), 1000, 1000), RC_TOKEN_FRESH);
    EXPECT_EQ(replay.Use(Token('b'), 1100, 1000), RC_TOKEN_FRESH);
    EXPECT_EQ(replay.Use(Token('c'), 1000, 1000), RC_TOKEN_FULL);
    EXPECT_EQ(replay.Use(Token('a'), 1000, 1000), RC_TOKEN_SEEN);
    // Once the first has expired there is room again.
    EXPECT_EQ(replay.Use(Token('c'), 1200, 1301), RC_TOKEN_FRESH);
    EXPECT_EQ(replay.Use(Token('b'), 1100, 1301), RC_TOKEN_SEEN);
}

}  // namespace
