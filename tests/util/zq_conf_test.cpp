#include "zq_conf.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "files.h"

namespace {

class ConfFile : public ::testing::Test {
protected:
    void SetUp() override {
        conf = zq_initconf(0);
        ASSERT_NE(nullptr, conf);
    }
    void TearDown() override { zq_freeconf(conf); }

    // Writes contents to a file of the temp dir and reads it into conf.
    int Read(const std::string& contents, const std::string& name = "test.conf") {
        zqtest::WriteFile(dir.file(name), contents);
        return zq_readconf_no_dir(dir.file(name).c_str(), conf);
    }
    std::string Str(const char* name) {
        char value[ZQ_CONF_VALUE_SIZE];
        if (zq_getconfnstr(conf, name, value, sizeof(value)) != 1) return "<absent>";
        return value;
    }
    std::string Name(int i) const { return conf->item[i].name; }
    std::string Value(int i) const { return conf->item[i].value; }

    zqtest::TempDir dir;
    zq_confdata_t* conf = nullptr;
};

std::string Items(int count, const std::string& prefix = "k") {
    std::string text;
    for (int i = 0; i < count; ++i) text += prefix + std::to_string(i) + ": " + std::to_string(i) + "\n";
    return text;
}

}  // namespace

TEST(ConfTable, CapacityIsAtLeastTheMinimum) {
    zq_confdata_t* small = zq_initconf(10);
    ASSERT_NE(nullptr, small);
    EXPECT_EQ(ZQ_CONF_MIN_ITEMS, small->size);
    EXPECT_EQ(0, small->num);
    zq_confdata_t* big = zq_initconf(2000);
    ASSERT_NE(nullptr, big);
    EXPECT_EQ(2000, big->size);
    EXPECT_EQ(1, zq_freeconf(small));
    EXPECT_EQ(1, zq_freeconf(big));
    EXPECT_EQ(1, zq_freeconf(nullptr));
}

TEST_F(ConfFile, ColonsInsideTheValueAreKept) {
    ASSERT_EQ(1, Read("path : /a:b/c\n"));
    ASSERT_EQ(1, conf->num);
    EXPECT_EQ("path", Name(0));
    EXPECT_EQ("/a:b/c", Value(0));
}

TEST_F(ConfFile, OuterBlanksGoInnerBlanksStay) {
    ASSERT_EQ(1, Read("   key \t :  a  b \t \r\n"));
    EXPECT_EQ("a  b", Str("key"));
    ASSERT_EQ(1, Read("\tkey\t:\tv\n"));
    EXPECT_EQ("v", Str("key"));
}

TEST_F(ConfFile, LinesWithoutAProperSeparatorAreIgnored) {
    ASSERT_EQ(1, Read("a b: c\n"
                      "key value\n"
                      ": starts with colon\n"
                      "   :x\n"
                      "\n"
                      "    \n"
                      "alone\n"
                      "alone_with_blanks   \n"
                      "ok: 1\n"));
    ASSERT_EQ(1, conf->num);
    EXPECT_EQ("ok", Name(0));
    EXPECT_EQ("<absent>", Str("a"));
    EXPECT_EQ("<absent>", Str("key"));
}

TEST_F(ConfFile, ASecondColonRightAfterTheSeparatorStartsTheValue) {
    ASSERT_EQ(1, Read("key::x\nother : : x\n"));
    EXPECT_EQ(":x", Str("key"));
    EXPECT_EQ(": x", Str("other"));
}

TEST_F(ConfFile, HashMakesACommentOnlyInTheFirstColumn) {
    ASSERT_EQ(1, Read("#skipped: 1\n #key: v\nurl: a#b\n"));
    ASSERT_EQ(2, conf->num);
    EXPECT_EQ("<absent>", Str("#skipped"));
    EXPECT_EQ("v", Str("#key"));
    EXPECT_EQ("a#b", Str("url"));
}

TEST_F(ConfFile, SeparatorThenLineFeedGivesAnEmptyValue) {
    ASSERT_EQ(1, Read("key:\nblank :   \n"));
    char value[8];
    memset(value, 'x', sizeof(value));
    EXPECT_EQ(1, zq_getconfnstr(conf, "key", value, sizeof(value)));
    EXPECT_STREQ("", value);
    EXPECT_EQ("", Str("blank"));
}

TEST_F(ConfFile, LastLineWithoutLineFeedNeedsAValue) {
    ASSERT_EQ(1, Read("a: 1\nkey:"));
    EXPECT_EQ(1, conf->num);
    EXPECT_EQ("<absent>", Str("key"));
    ASSERT_EQ(1, Read("a: 1\nkey: x"));
    EXPECT_EQ("x", Str("key"));
    ASSERT_EQ(1, Read("key: xy  "));
    EXPECT_EQ("xy", Str("key"));
}

TEST_F(ConfFile, RepeatedNamesKeepBothAndTheFirstAnswers) {
    ASSERT_EQ(1, Read("port: 1\nport: 2\n"));
    EXPECT_EQ(2, conf->num);
    int port = 0;
    EXPECT_EQ(1, zq_getconfint(conf, "port", &port));
    EXPECT_EQ(1, port);
}

TEST_F(ConfFile, NamesAreCaseSensitive) {
    ASSERT_EQ(1, Read("Key: 1\n"));
    EXPECT_EQ("<absent>", Str("key"));
    EXPECT_EQ("1", Str("Key"));
}

TEST_F(ConfFile, OverlongValueOrNameRejectsTheLine) {
    std::string fits(ZQ_CONF_VALUE_SIZE - 1, 'v');
    std::string tooLong(ZQ_CONF_VALUE_SIZE, 'v');
    std::string longName(ZQ_CONF_NAME_SIZE, 'n');
    ASSERT_EQ(1, Read("fits: " + fits + "\nlong: " + tooLong + "\n" + longName + ": 1\nafter: 2\n"));
    ASSERT_EQ(2, conf->num);
    EXPECT_EQ(fits, Str("fits"));
    EXPECT_EQ("<absent>", Str("long"));
    EXPECT_EQ("after", Name(1));
}

TEST_F(ConfFile, ExactlyAFullTableIsRead) {
    ASSERT_EQ(1, Read(Items(ZQ_CONF_MIN_ITEMS)));
    EXPECT_EQ(ZQ_CONF_MIN_ITEMS, conf->num);
    EXPECT_EQ("1023", Str("k1023"));
}

TEST_F(ConfFile, AnyLineAfterAFullTableFailsTheReadAndHidesItsItems) {
    ASSERT_EQ(1, Read("old: 1\n"));
    ASSERT_EQ(1, conf->num);
    EXPECT_EQ(-1, Read(Items(ZQ_CONF_MIN_ITEMS) + "# a comment\n"));
    EXPECT_EQ(1, conf->num);
    EXPECT_EQ(-1, Read(Items(ZQ_CONF_MIN_ITEMS) + "\n"));
    EXPECT_EQ(1, conf->num);
}

TEST_F(ConfFile, MissingOrUnreadableFileFailsAndLeavesTheTable) {
    ASSERT_EQ(1, Read("a: 1\n"));
    EXPECT_EQ(-1, zq_readconf_no_dir(dir.file("none.conf").c_str(), conf));
    EXPECT_EQ(-1, zq_readconf_no_dir(dir.path().c_str(), conf));
    EXPECT_EQ(1, conf->num);
    EXPECT_EQ("1", Str("a"));
}

TEST_F(ConfFile, ReadJoinsDirectoryAndName) {
    zqtest::WriteFile(dir.file("x.conf"), "a: 1\n");
    EXPECT_EQ(1, zq_readconf(dir.path().c_str(), "x.conf", conf));
    EXPECT_EQ("1", Str("a"));
    EXPECT_EQ(-1, zq_readconf(nullptr, "x.conf", conf));
    EXPECT_EQ(-1, zq_readconf(dir.path().c_str(), nullptr, conf));
    EXPECT_EQ(-1, zq_readconf(dir.path().c_str(), "x.conf", nullptr));
}

TEST_F(ConfFile, IncludesAppendTheirItemsAfterTheMainFile) {
    zqtest::WriteFile(dir.file("inc.conf"), "b: 2\n");
    zqtest::WriteFile(dir.file("abs.conf"), "c: 3\n");
    zqtest::WriteFile(dir.file("main.conf"),
                      "a: 1\n$include: \"inc.conf\"\n$INCLUDE :  \"  " + dir.file("abs.conf") + "\"\nz: 9\n");
    ASSERT_EQ(1, zq_readconf_ex(dir.path().c_str(), "main.conf", conf));
    ASSERT_EQ(6, conf->num);
    EXPECT_EQ("a", Name(0));
    EXPECT_EQ("$include", Name(1));
    EXPECT_EQ("z", Name(3));
    EXPECT_EQ("b", Name(4));
    EXPECT_EQ("c", Name(5));
}

TEST_F(ConfFile, PlainReadDoesNotFollowIncludes) {
    zqtest::WriteFile(dir.file("inc.conf"), "b: 2\n");
    zqtest::WriteFile(dir.file("main.conf"), "$include: \"inc.conf\"\n");
    ASSERT_EQ(1, zq_readconf(dir.path().c_str(), "main.conf", conf));
    EXPECT_EQ(1, conf->num);
    EXPECT_EQ("<absent>", Str("b"));
}

TEST_F(ConfFile, IncludesDoNotNest) {
    zqtest::WriteFile(dir.file("one.conf"), "one: 1\n$include: \"two.conf\"\n");
    zqtest::WriteFile(dir.file("two.conf"), "two: 2\n");
    zqtest::WriteFile(dir.file("main.conf"), "$include: \"one.conf\"\n");
    ASSERT_EQ(1, zq_readconf_ex(dir.path().c_str(), "main.conf", conf));
    EXPECT_EQ("1", Str("one"));
    EXPECT_EQ("<absent>", Str("two"));
}

TEST_F(ConfFile, BadIncludesAddNothing) {
    zqtest::WriteFile(dir.file("inc.conf"), "b: 2\n");
    zqtest::WriteFile(dir.file("main.conf"),
                      "$include: inc.conf\n"          // no quotes
                      "$include: \"inc.conf\n"        // no closing quote
                      "$include: \"inc.conf  \"\n"    // blanks belong to the name
                      "$include: \"missing.conf\"\n"  // no such file
                      "a: 1\n");
    ASSERT_EQ(1, zq_readconf_ex(dir.path().c_str(), "main.conf", conf));
    EXPECT_EQ(5, conf->num);
    EXPECT_EQ("<absent>", Str("b"));
}

TEST_F(ConfFile, AnIncludeThatOverflowsTheTableAddsNothing) {
    zqtest::WriteFile(dir.file("inc.conf"), Items(ZQ_CONF_MIN_ITEMS, "i"));
    zqtest::WriteFile(dir.file("main.conf"), "$include: \"inc.conf\"\n");
    ASSERT_EQ(1, zq_readconf_ex(dir.path().c_str(), "main.conf", conf));
    EXPECT_EQ(1, conf->num);
    EXPECT_EQ("<absent>", Str("i0"));
}

TEST_F(ConfFile, MissingMainFileFailsTheExtendedRead) {
    EXPECT_EQ(-1, zq_readconf_ex(dir.path().c_str(), "none.conf", conf));
}

TEST_F(ConfFile, WrittenTableReadsBackTheSame) {
    ASSERT_EQ(1, Read("a: 1\npath: /a:b/c\nempty:\ncolon::x\ninner: x  y\n"));
    ASSERT_EQ(1, zq_writeconf(dir.path().c_str(), "out.conf", conf));
    zq_confdata_t* back = zq_initconf(0);
    ASSERT_EQ(1, zq_readconf(dir.path().c_str(), "out.conf", back));
    ASSERT_EQ(conf->num, back->num);
    for (int i = 0; i < conf->num; ++i) {
        EXPECT_STREQ(conf->item[i].name, back->item[i].name);
        EXPECT_STREQ(conf->item[i].value, back->item[i].value);
    }
    zq_freeconf(back);
    EXPECT_EQ("a : 1\n", zqtest::ReadFile(dir.file("out.conf")).substr(0, 6));
}

TEST_F(ConfFile, WriterLeavesOutItemsThatWouldNotReadBack) {
    conf->num = 5;
    snprintf(conf->item[0].name, ZQ_CONF_NAME_SIZE, "two words");
    snprintf(conf->item[1].name, ZQ_CONF_NAME_SIZE, "%s", "");
    snprintf(conf->item[2].name, ZQ_CONF_NAME_SIZE, "a:b");
    snprintf(conf->item[3].name, ZQ_CONF_NAME_SIZE, "inject");
    snprintf(conf->item[3].value, ZQ_CONF_VALUE_SIZE, "x\nrc_ip: 1.2.3.4");
    snprintf(conf->item[4].name, ZQ_CONF_NAME_SIZE, "good");
    snprintf(conf->item[4].value, ZQ_CONF_VALUE_SIZE, "v");
    ASSERT_EQ(1, zq_writeconf(dir.path().c_str(), "out.conf", conf));
    EXPECT_EQ("good : v\n", zqtest::ReadFile(dir.file("out.conf")));
}

TEST_F(ConfFile, WriterRefusesEmptyOrInconsistentTables) {
    EXPECT_EQ(-1, zq_writeconf(dir.path().c_str(), "out.conf", conf));
    EXPECT_FALSE(zqtest::FileExists(dir.file("out.conf")));
    conf->num = conf->size + 1;
    EXPECT_EQ(-1, zq_writeconf(dir.path().c_str(), "out.conf", conf));
    conf->num = 1;
    EXPECT_EQ(-1, zq_writeconf(dir.path().c_str(), nullptr, conf));
    EXPECT_EQ(-1, zq_writeconf(dir.file("no/such/dir").c_str(), "out.conf", conf));
}

TEST_F(ConfFile, WriterReportsAFullDevice) {
    if (!zqtest::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(1, Read("a: 1\n"));
    EXPECT_EQ(-1, zq_writeconf("/dev", "full", conf));
}

TEST_F(ConfFile, TextLookUpHonoursTheBound) {
    ASSERT_EQ(1, Read("ip: abc\n"));
    char value[8];
    memset(value, 'x', sizeof(value));
    EXPECT_EQ(1, zq_getconfnstr(conf, "ip", value, 6));
    EXPECT_STREQ("abc", value);
    EXPECT_EQ('\0', value[4]);
    EXPECT_EQ('\0', value[5]);
    EXPECT_EQ('x', value[6]);
    EXPECT_EQ(1, zq_getconfnstr(conf, "ip", value, 4));
    EXPECT_EQ(-1, zq_getconfnstr(conf, "ip", value, 3));
    EXPECT_STREQ("", value);
    EXPECT_EQ(-1, zq_getconfnstr(conf, "ip", value, 0));
}

TEST_F(ConfFile, TextLookUpOfAnAbsentNameEmptiesTheOutput) {
    ASSERT_EQ(1, Read("a: 1\n"));
    char value[8] = "junk";
    EXPECT_EQ(0, zq_getconfnstr(conf, "b", value, sizeof(value)));
    EXPECT_STREQ("", value);
    EXPECT_EQ(0, zq_getconfnstr(nullptr, "a", value, sizeof(value)));
    EXPECT_EQ(0, zq_getconfnstr(conf, nullptr, value, sizeof(value)));
    EXPECT_EQ(0, zq_getconfnstr(conf, "a", nullptr, sizeof(value)));
}

TEST_F(ConfFile, IntegerFormsFollowTheirPrefix) {
    ASSERT_EQ(1, Read("hex: 0x1F\noct: 010\nzero: 0\nbad_oct: 08\nupper_x: 0X10\ntail: 12abc\nneg: -3\n"
                      "word: abc\nbare_x: 0x\nsigned_hex: 0xFFFFFFFF\n"));
    int v = 77;
    EXPECT_EQ(1, zq_getconfint(conf, "hex", &v));
    EXPECT_EQ(31, v);
    EXPECT_EQ(1, zq_getconfint(conf, "oct", &v));
    EXPECT_EQ(8, v);
    EXPECT_EQ(1, zq_getconfint(conf, "zero", &v));
    EXPECT_EQ(0, v);
    v = 77;
    EXPECT_EQ(0, zq_getconfint(conf, "bad_oct", &v));
    EXPECT_EQ(0, zq_getconfint(conf, "upper_x", &v));
    EXPECT_EQ(0, zq_getconfint(conf, "word", &v));
    EXPECT_EQ(0, zq_getconfint(conf, "bare_x", &v));
    EXPECT_EQ(0, zq_getconfint(conf, "missing", &v));
    EXPECT_EQ(77, v);
    EXPECT_EQ(1, zq_getconfint(conf, "tail", &v));
    EXPECT_EQ(12, v);
    EXPECT_EQ(1, zq_getconfint(conf, "neg", &v));
    EXPECT_EQ(-3, v);
    EXPECT_EQ(1, zq_getconfint(conf, "signed_hex", &v));
    EXPECT_EQ(-1, v);
}

TEST_F(ConfFile, UnsignedLookUpWrapsAMinusSign) {
    ASSERT_EQ(1, Read("neg: -1\nport: 70000\nhex: 0xFFFFFFFF\nneg_hex: 0x-1\n"));
    unsigned int v = 0;
    EXPECT_EQ(1, zq_getconfuint(conf, "neg", &v));
    EXPECT_EQ(4294967295u, v);
    EXPECT_EQ(1, zq_getconfuint(conf, "port", &v));
    EXPECT_EQ(70000u, v);
    EXPECT_EQ(1, zq_getconfuint(conf, "hex", &v));
    EXPECT_EQ(4294967295u, v);
    EXPECT_EQ(1, zq_getconfuint(conf, "neg_hex", &v));
    EXPECT_EQ(4294967295u, v);
}

TEST_F(ConfFile, NumbersBeyondTheTypeAreRefusedNotWrapped) {
    ASSERT_EQ(1, Read("big: 2147483648\nsmall: -2147483649\nubig: 4294967296\nxbig: 0x100000000\n"
                      "huge: 99999999999999999999999\n"));
    int i = 5;
    EXPECT_EQ(0, zq_getconfint(conf, "big", &i));
    EXPECT_EQ(0, zq_getconfint(conf, "small", &i));
    EXPECT_EQ(0, zq_getconfint(conf, "xbig", &i));
    EXPECT_EQ(5, i);
    unsigned int u = 5;
    EXPECT_EQ(0, zq_getconfuint(conf, "ubig", &u));
    EXPECT_EQ(0, zq_getconfuint(conf, "xbig", &u));
    EXPECT_EQ(5u, u);
    long long ll = 5;
    EXPECT_EQ(1, zq_getconfint64(conf, "ubig", &ll));
    EXPECT_EQ(4294967296LL, ll);
    EXPECT_EQ(0, zq_getconfint64(conf, "huge", &ll));
    unsigned long long ull = 5;
    EXPECT_EQ(0, zq_getconfuint64(conf, "huge", &ull));
    EXPECT_EQ(5u, ull);
}

TEST_F(ConfFile, SixtyFourBitLookUps) {
    ASSERT_EQ(1, Read("max: 9223372036854775807\nmin: -9223372036854775808\numax: 18446744073709551615\n"
                      "neg: -1\nhex: 0xFFFFFFFFFFFFFFFF\noct: 0777\n"));
    long long ll = 0;
    EXPECT_EQ(1, zq_getconfint64(conf, "max", &ll));
    EXPECT_EQ(LLONG_MAX, ll);
    EXPECT_EQ(1, zq_getconfint64(conf, "min", &ll));
    EXPECT_EQ(LLONG_MIN, ll);
    EXPECT_EQ(1, zq_getconfint64(conf, "hex", &ll));
    EXPECT_EQ(-1, ll);
    EXPECT_EQ(1, zq_getconfint64(conf, "oct", &ll));
    EXPECT_EQ(511, ll);
    unsigned long long ull = 0;
    EXPECT_EQ(1, zq_getconfuint64(conf, "umax", &ull));
    EXPECT_EQ(ULLONG_MAX, ull);
    EXPECT_EQ(1, zq_getconfuint64(conf, "neg", &ull));
    EXPECT_EQ(ULLONG_MAX, ull);
}

TEST_F(ConfFile, FloatLookUpAnswersWheneverTheNameExists) {
    ASSERT_EQ(1, Read("f: 1.5\nword: abc\n"));
    float f = 9.0f;
    EXPECT_EQ(1, zq_getconffloat(conf, "f", &f));
    EXPECT_FLOAT_EQ(1.5f, f);
    EXPECT_EQ(1, zq_getconffloat(conf, "word", &f));
    EXPECT_FLOAT_EQ(0.0f, f);
    f = 9.0f;
    EXPECT_EQ(0, zq_getconffloat(conf, "missing", &f));
    EXPECT_FLOAT_EQ(9.0f, f);
}
