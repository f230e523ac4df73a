// A mirror's Content-Range and Content-Length as zq_fetch reads them: the
// forms HTTP allows, nothing else; and the fuzz target's kept inputs.
#include <gtest/gtest.h>

#include "fetch_http.h"
#include "fuzz_replay.h"
#include "mirror_fuzz.h"

TEST(FetchHttp, ContentRangeIsReadInItsOneFormOnly) {
    unsigned long long first = 9, last = 9, total = 9;
    bool hasTotal = false;
    ASSERT_TRUE(fetch_content_range("bytes 0-32767/1500000", first, last, hasTotal, total));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(last, 32767u);
    EXPECT_TRUE(hasTotal);
    EXPECT_EQ(total, 1500000u);
    ASSERT_TRUE(fetch_content_range("bytes 5-5/*", first, last, hasTotal, total));
    EXPECT_FALSE(hasTotal);
    for (const char* bad : {"bytes 5-4/10", "bytes -1-4/10", "bytes 1-2/", "bytes 1-2", "items 1-2/3", "bytes 1 -2/3",
                            "bytes 0-18446744073709551616/1", "bytes 0-1/2x"})
        EXPECT_FALSE(fetch_content_range(bad, first, last, hasTotal, total)) << bad;
    unsigned long long n = 0;
    EXPECT_TRUE(fetch_http_number("000123", n));
    EXPECT_EQ(n, 123u);
    EXPECT_FALSE(fetch_http_number("", n));
    EXPECT_FALSE(fetch_http_number("+1", n));
    EXPECT_FALSE(fetch_http_number("12 ", n));
}

TEST(MirrorFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("mirror", zqtest::FUZZ_SEEDS, zqfuzz::MirrorFuzz), 0u);
}
