#include "post_form.h"

#include <gtest/gtest.h>

#include <string>

#include "form_fuzz.h"
#include "fuzz_replay.h"

namespace {

EPostFormResult ParseText(CPostForm& form, const std::string& text) { return form.Parse(text.data(), text.size()); }

}  // namespace

TEST(PostForm, DecodesPlusAndEscapesAndSplitsAtTheFirstEquals) {
    CPostForm form;
    ASSERT_EQ(FORM_OK, ParseText(form, "a+b=x%3dy=z&%41%2b=%e2%82%AC&flag&&empty=&"));
    ASSERT_EQ(4u, form.Pairs().size());
    EXPECT_EQ("a b", form.Pairs()[0].first);
    EXPECT_EQ("x=y=z", form.Pairs()[0].second);
    EXPECT_EQ("\xe2\x82\xac", *form.Get("A+"));
    ASSERT_NE(nullptr, form.Get("flag"));
    EXPECT_EQ("", *form.Get("flag"));
    EXPECT_EQ("", *form.Get("empty"));
    EXPECT_EQ(nullptr, form.Get("missing"));
}

TEST(PostForm, TheFirstOfRepeatedNamesWins) {
    CPostForm form;
    ASSERT_EQ(FORM_OK, ParseText(form, "user=1&sig=aa&user=2&us%65r=3"));
    EXPECT_EQ("1", *form.Get("user"));
    EXPECT_EQ(4u, form.Pairs().size());
}

TEST(PostForm, AnInvalidOrCutEscapeRefusesTheWholeForm) {
    for (const char* text : {"a=%", "a=%4", "a=%4g", "%zz=1", "a=1&b=%", "a=1&b=2%"}) {
        CPostForm form;
        EXPECT_EQ(FORM_OK, ParseText(form, "before=1"));
        EXPECT_EQ(FORM_BAD_ESCAPE, ParseText(form, text)) << text;
        EXPECT_TRUE(form.Pairs().empty()) << text;
    }
}

TEST(PostForm, ANulByteIsRefusedSentRawOrEscaped) {
    CPostForm form;
    EXPECT_EQ(FORM_NUL, ParseText(form, std::string("a=x\0y", 5)));
    EXPECT_EQ(FORM_NUL, ParseText(form, "a=x%00y"));
    EXPECT_EQ(FORM_NUL, ParseText(form, "%00=y"));
}

TEST(PostForm, HoldsAtMost64PairsAnd8KiB) {
    std::string pairs;
    for (int i = 0; i < 64; ++i) pairs += "k" + std::to_string(i) + "=v&";
    CPostForm form;
    EXPECT_EQ(FORM_OK, ParseText(form, pairs));
    EXPECT_EQ(64u, form.Pairs().size());
    EXPECT_EQ(FORM_TOO_MANY, ParseText(form, pairs + "one=more"));
    EXPECT_TRUE(form.Pairs().empty());

    std::string big = "a=" + std::string(POST_FORM_MAX_BYTES - 2, 'x');
    EXPECT_EQ(FORM_OK, ParseText(form, big));
    EXPECT_EQ(FORM_TOO_LONG, ParseText(form, big + "x"));
}

TEST(FormFuzzInputs, SeedCorpusPassesEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("form", zqtest::FUZZ_SEEDS, zqfuzz::FormFuzz), 0u);
}
