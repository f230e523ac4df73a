// Reading a center's record: the locations of one page, the cursor of the
// next when there is one, and a clear refusal of what is not a record.
#include <gtest/gtest.h>

#include "fetch_record.h"
#include "fuzz_replay.h"
#include "record_fuzz.h"

TEST(FetchRecord, ReadsLocationsWithOrWithoutANextCursor) {
    const std::string page =
        "{\"size\": 300000, \"piece_size\": 32768, \"fid\": \"ab01\", \"locations\": ["
        "{\"url\": \"http://a/x\", \"file\": \"x \\u00e9.bin\", \"first_seen\": \"2024\"}, {\"url\": \"https://b/y\"}]";
    fetch_record_t rec;
    std::string why;
    ASSERT_EQ(fetch_parse_record(page + "}", rec, why), 0) << why;
    EXPECT_EQ(rec.Size, 300000u);
    EXPECT_EQ(rec.Fid, "ab01");
    EXPECT_EQ(rec.Urls, std::vector<std::string>({"http://a/x", "https://b/y"}));
    EXPECT_EQ(rec.Files[0], "x \xc3\xa9.bin");
    EXPECT_EQ(rec.Next, "");
    ASSERT_EQ(fetch_parse_record(page + ", \"next\": 17}", rec, why), 0) << why;
    EXPECT_EQ(rec.Next, "17");
    ASSERT_EQ(fetch_parse_record(page + ", \"next\": null}", rec, why), 0) << why;
    EXPECT_EQ(rec.Next, "");
}

TEST(FetchRecord, RefusesWhatIsNotARecordWithAReason) {
    fetch_record_t rec;
    std::string why;
    for (const char* text : {"", "[]", "{\"size\": 1, \"fid\": \"a\"}", "{\"size\": -1, \"fid\": \"a\", \"locations\": []}",
                             "{\"size\": 1, \"fid\": \"a\", \"locations\": [{\"file\": \"x\"}]}",
                             "{\"size\": 1, \"fid\": \"a\", \"locations\": []} trailing", "{\"fid\": \"a\"\"",
                             "[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]"}) {
        why.clear();
        EXPECT_EQ(fetch_parse_record(text, rec, why), -1) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
}

TEST(FetchRecord, KeyGivenTwiceCountsWithItsLastValue) {
    fetch_record_t rec;
    std::string why;
    ASSERT_EQ(fetch_parse_record("{\"fid\": \"ab\", \"size\": 1, \"locations\": [{\"url\": \"u1\"}], \"fid\": \"cd\", "
                                 "\"locations\": [{\"url\": \"u2\"}]}",
                                 rec, why),
              0)
        << why;
    EXPECT_EQ(rec.Fid, "cd");
    EXPECT_EQ(rec.Urls, std::vector<std::string>({"u2"}));
}

TEST(FetchRecord, ANameBecomesAFileOnlyWhenItIsPlainAndPrintsOnlyEscaped) {
    EXPECT_TRUE(fetch_usable_name("clip \xc3\xa9.avi"));
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", ".bashrc", "-rf", "a/b", "a\x1b[31m", std::string("a\0b", 3),
                                                           "x\x7f", "caf\xef\xbf\xbd.avi"})
        EXPECT_FALSE(fetch_usable_name(bad)) << fetch_printable(bad);
    EXPECT_EQ(fetch_printable("\x1b]0;pwned\x07 a\\b"), "\\x1b]0;pwned\\x07 a\\\\b");
    // A NUL inside a name arrives whole, never cut at it.
    fetch_record_t rec;
    std::string why;
    ASSERT_EQ(fetch_parse_record("{\"fid\": \"a\", \"size\": 1, \"locations\": [{\"url\": \"u\", \"file\": \"a\\u0000b\"}]}",
                                 rec, why),
              0)
        << why;
    EXPECT_EQ(rec.Files[0], std::string("a\0b", 3));
}

TEST(RecordFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("record", zqtest::FUZZ_SEEDS, zqfuzz::RecordFuzz), 0u);
}
