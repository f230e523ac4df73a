// The binary buffer's and the piece table's fuzz harnesses over their
// committed inputs: the model of DataBuf's region and cursor, and Resolve,
// Makeup and SetTptData agreeing on a table, hold in the normal builds too.
#include <gtest/gtest.h>

#include "databuf_fuzz.h"
#include "fuzz.h"
#include "tpt_fuzz.h"

TEST(DataBufFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("databuf", zqtest::FUZZ_SEEDS, zqfuzz::DataBufFuzz), 0u);
}

TEST(TptFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("tpt", zqtest::FUZZ_SEEDS, zqfuzz::TptFuzz), 0u);
}
