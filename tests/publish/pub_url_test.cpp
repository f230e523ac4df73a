#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pub_run.h"
#include "pub_scan.h"
#include "pub_url.h"

namespace {

TEST(PubUrl, KeepsOnlyTheUnreservedCharactersOfEachSegment) {
    EXPECT_EQ(pub_file_url("http://h/pub", "AZaz09-._~"), "http://h/pub/AZaz09-._~");
    EXPECT_EQ(pub_file_url("http://h/pub", "a b#?%+&=;:@!$'()*,[]"),
              "http://h/pub/a%20b%23%3F%25%2B%26%3D%3B%3A%40%21%24%27%28%29%2A%2C%5B%5D");
    // Every byte of a UTF-8 name, in upper-case hex; control bytes too.
    EXPECT_EQ(pub_file_url("http://h/", "\xc3\xa9t\xc3\xa9\x01\x7f"), "http://h/%C3%A9t%C3%A9%01%7F");
}

TEST(PubUrl, JoinsSegmentsWithSlashesAndAddsOneToTheBase) {
    EXPECT_EQ(pub_file_url("http://h/pub", "d 1/e/f.bin"), "http://h/pub/d%201/e/f.bin");
    EXPECT_EQ(pub_file_url("http://h/pub/", "f"), "http://h/pub/f");
    EXPECT_EQ(pub_encode_segment("a/b"), "a%2Fb");
}

TEST(PubCenter, TakesIpv4NamesAndBracketedIpv6) {
    std::string host, why;
    unsigned short port = 0;
    ASSERT_EQ(pub_parse_center("127.0.0.1:9000", host, port, why), 0) << why;
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 9000);
    ASSERT_EQ(pub_parse_center("center.example.com:1", host, port, why), 0) << why;
    EXPECT_EQ(host, "center.example.com");
    EXPECT_EQ(port, 1);
    ASSERT_EQ(pub_parse_center("[::1]:65535", host, port, why), 0) << why;
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 65535);
}

TEST(PubCenter, RefusesWhatIsNotHostColonPort) {
    std::string host, why;
    unsigned short port = 0;
    for (const char* bad : {"", "host", ":80", "host:", "host:0", "host:65536", "host:8x", "::1:80", "[::1]",
                            "[::1]80", "[]:80", "[::1:80"}) {
        why.clear();
        EXPECT_EQ(pub_parse_center(bad, host, port, why), -1) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

TEST(PubExclude, NamesMatchAtAnyDepthAndPathsFromTheRoot) {
    std::vector<std::string> ex{"*.tmp", "cache", "logs/*.log"};
    EXPECT_TRUE(pub_excluded(ex, "a.tmp"));
    EXPECT_TRUE(pub_excluded(ex, "d/e/a.tmp"));
    EXPECT_TRUE(pub_excluded(ex, "d/cache"));
    EXPECT_TRUE(pub_excluded(ex, "logs/x.log"));
    EXPECT_FALSE(pub_excluded(ex, "d/logs/x.log"));   // a path pattern is anchored at the root
    EXPECT_FALSE(pub_excluded(ex, "logs/sub/x.log"));  // and its '*' does not cross a '/'
    EXPECT_FALSE(pub_excluded(ex, "a.tmp.bin"));
    // A file under an excluded folder is out too.
    EXPECT_TRUE(pub_excluded_path(ex, "d/cache/f.bin"));
    EXPECT_FALSE(pub_excluded_path(ex, "d/caches/f.bin"));
}

TEST(PubSummary, IsTheOneLineScriptsRead) {
    pub_counts_t c;
    c.Files = 10;
    c.Accepted = 3;
    c.Known = 2;
    c.Unchanged = 4;
    c.Skipped = 7;
    c.Failed = 1;
    EXPECT_EQ(pub_summary_line("/srv/www", c),
              "/srv/www: 10 files, 5 reported (3 accepted, 2 already known), 4 unchanged, 7 skipped, 1 failed");
    EXPECT_EQ(pub_summary_line("a\nb", pub_counts_t()),
              "a\\x0Ab: 0 files, 0 reported (0 accepted, 0 already known), 0 unchanged, 0 skipped, 0 failed");
}

}  // namespace
