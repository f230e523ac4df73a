// The fuzz harnesses of this folder's code over their committed inputs: the
// model of DataBuf's region and cursor; Resolve, Makeup and SetTptData
// agreeing on a table; the client's framing of any stream however it is cut;
// and the server's framing, decoding and validation agreeing with the
// client's packer. They hold in the normal builds too.
#include <gtest/gtest.h>

#include "client_fuzz.h"
#include "databuf_fuzz.h"
#include "fuzz_replay.h"
#include "rcenter_fuzz.h"
#include "tpt_fuzz.h"

TEST(DataBufFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("databuf", zqtest::FUZZ_SEEDS, zqfuzz::DataBufFuzz), 0u);
}

TEST(TptFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("tpt", zqtest::FUZZ_SEEDS, zqfuzz::TptFuzz), 0u);
}

TEST(ClientFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("client", zqtest::FUZZ_SEEDS, zqfuzz::ClientFuzz), 0u);
}

TEST(RcenterFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("rcenter", zqtest::FUZZ_SEEDS, zqfuzz::RcenterFuzz), 0u);
}
