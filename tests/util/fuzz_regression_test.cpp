// The configuration reader's fuzz harness over its committed inputs: the
// harness checks (a well-formed table, look-ups, includes that only append,
// a written table that reads back the same) hold in the normal builds too.
#include <gtest/gtest.h>

#include "conf_fuzz.h"
#include "fuzz_replay.h"

TEST(ConfFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("conf", zqtest::FUZZ_SEEDS, zqfuzz::ConfFuzz), 0u);
}
