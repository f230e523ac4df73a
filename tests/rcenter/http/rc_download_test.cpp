// The client's doors built from a stored resource: the redirect goes to a
// usable mirror with its duplicates, digest and Metalink link, or says none
// is usable; the Metalink is valid XML whatever the reported names and URLs
// hold (read back by Python's parser) and lists the pieces in order.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "rc_download.h"
#include "rc_resource_cache.h"
#include "rcenter_test_util.h"
#include "tpt_verify.h"

namespace {

rc_location_t Loc(const std::string& url, ERcHealthState state, ERcRanges ranges = RC_RANGES_YES) {
    rc_location_t loc;
    loc.Url = url;
    loc.FileName = "clip.avi";
    loc.Health.State = state;
    loc.Health.Ranges = state == RC_HEALTH_OK ? ranges : RC_RANGES_UNKNOWN;
    return loc;
}

std::string HeaderOf(const rc_http_reply_t& r, const std::string& name) {
    size_t at = r.Headers.find(name + ": ");
    return at == std::string::npos ? "" : r.Headers.substr(at + name.size() + 2, r.Headers.find("\r\n", at) - at - name.size() - 2);
}

TEST(RcDownload, GoesToAnOkMirrorFirstNeverToABadOneAndSaysWhenNoneIsUsable) {
    rc_resource_t res = rctest::Report(1).res;
    res.Locations = {Loc("http://wrong/", RC_HEALTH_WRONG_CONTENT), Loc("http://missing/", RC_HEALTH_MISSING),
                     Loc("http://dead/", RC_HEALTH_UNREACHABLE), Loc("http://new/", RC_HEALTH_UNCHECKED),
                     Loc("http://ok1/", RC_HEALTH_OK), Loc("http://ok2/", RC_HEALTH_OK),
                     Loc("http://whole/", RC_HEALTH_OK, RC_RANGES_NO)};
    std::mt19937 random(7);
    std::set<std::string> targets;
    for (int i = 0; i < 40; ++i) {
        rc_http_reply_t r = rc_download_reply(res, random);
        ASSERT_EQ(r.Status, 302u);
        targets.insert(HeaderOf(r, "Location"));
        EXPECT_EQ(r.Headers.find("http://wrong/"), std::string::npos);
        EXPECT_EQ(r.Headers.find("http://missing/"), std::string::npos);
        EXPECT_EQ(r.Headers.find("http://dead/"), std::string::npos);
        // A mirror that ignores ranges is no duplicate for a client fetching pieces.
        EXPECT_EQ(r.Headers.find("<http://whole/>"), std::string::npos);
        EXPECT_NE(r.Headers.find("Link: <http://new/>; rel=duplicate; pri=2\r\n"), std::string::npos) << r.Headers;
        EXPECT_NE(r.Headers.find("Link: </v1/resources/" + res.FID.Hex() +
                                 "/metalink>; rel=describedby; type=\"application/metalink4+xml\"\r\n"),
                  std::string::npos);
    }
    EXPECT_EQ(targets, (std::set<std::string>{"http://ok1/", "http://ok2/"}));
    // "SHA=" and the SHA-1 in base64: 20 bytes are 28 characters ending in one '='.
    std::string digest = HeaderOf(rc_download_reply(res, random), "Digest");
    ASSERT_EQ(digest.size(), 32u) << digest;
    EXPECT_EQ(digest.compare(0, 4, "SHA="), 0);
    EXPECT_EQ(digest.back(), '=');

    res.Locations = {Loc("http://new/", RC_HEALTH_UNCHECKED)};
    EXPECT_EQ(HeaderOf(rc_download_reply(res, random), "Location"), "http://new/");
    res.Locations = {Loc("http://wrong/", RC_HEALTH_WRONG_CONTENT), Loc("http://missing/", RC_HEALTH_MISSING)};
    rc_http_reply_t none = rc_download_reply(res, random);
    EXPECT_EQ(none.Status, 503u);
    EXPECT_EQ(none.Body, "{\"error\": \"no usable location\"}\n");
    EXPECT_EQ(HeaderOf(none, "Retry-After"), std::to_string(RC_DOWNLOAD_RETRY_AFTER_S));
    EXPECT_EQ(rc_metalink_reply(res, random).Status, 503u);
}

TEST(RcMetalink, IsValidXmlWhateverTheNamesAndUrlsHoldAndListsEveryPieceInOrder) {
    zqtest::TempDir dir;
    rc_resource_t res = rctest::Report(3).res;
    const std::string nasty = std::string("a\"b'<c>&d\x01\x7f\r\n\xff\xc3(/../e \xe2\x82\xac");
    res.Locations = {Loc("http://ok/" + nasty, RC_HEALTH_OK), Loc("http://new/x?a=1&b=<2>", RC_HEALTH_UNCHECKED),
                     Loc("http://bad/", RC_HEALTH_WRONG_CONTENT)};
    res.Locations[0].FileName = nasty;
    std::mt19937 random(1);
    rc_http_reply_t r = rc_metalink_reply(res, random);
    ASSERT_EQ(r.Status, 200u);
    EXPECT_EQ(r.Type, "application/metalink4+xml");
    zqtest::WriteFile(dir.file("m.meta4"), r.Body);
    const char* script =
        "import sys, xml.etree.ElementTree as E\n"
        "n = '{urn:ietf:params:xml:ns:metalink}'\n"
        "f = E.parse(sys.argv[1]).getroot().find(n + 'file')\n"
        "print(f.get('name'))\n"
        "print(f.find(n + 'size').text, f.find(n + 'hash').get('type'), f.find(n + 'hash').text)\n"
        "p = f.find(n + 'pieces')\n"
        "print(p.get('length'), p.get('type'), ''.join(h.text for h in p.findall(n + 'hash')))\n"
        "for u in f.findall(n + 'url'): print(u.get('priority'), u.text)\n";
    zqtest::WriteFile(dir.file("read.py"), script);
    zqtest::ProcessResult parsed = zqtest::RunProcess("/usr/bin/python3", {dir.file("read.py"), dir.file("m.meta4")}, "/");
    ASSERT_EQ(parsed.exit_code, 0) << parsed.err << r.Body;
    std::vector<std::string> lines = rctest::Lines(parsed.out);
    ASSERT_EQ(lines.size(), 5u) << parsed.out;
    EXPECT_EQ(lines[0], "a\"b'<c>&d______(_.._e \xe2\x82\xac");
    EXPECT_EQ(lines[0].find('/'), std::string::npos);
    tpt_table_t table;
    std::string why;
    ASSERT_EQ(tpt_parse(res.Tpt.data(), res.Tpt.size(), table, why), 0) << why;
    EXPECT_EQ(lines[1], std::to_string(res.Size) + " sha-1 " + res.Hash.Hex());
    std::string pieces;
    for (uint32 i = 0; i < table.Pieces; ++i) pieces += Md5Hash(&table.Digests[i * 16], 16).Hex();
    EXPECT_EQ(lines[2], std::to_string(table.PieceSize) + " md5 " + pieces);
    EXPECT_EQ(lines[3].compare(0, 13, "1 http://ok/a"), 0) << lines[3];
    EXPECT_EQ(lines[3].find_first_of("\"'<> \r\n\x01\x7f\xff", 2), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], "2 http://new/x?a=1&b=%3C2%3E");
}

TEST(RcMetalink, AFileNameThatIsOnlyDotsOrNothingBecomesTheFid) {
    Sha1Hash fid = rctest::Report(2).res.FID;
    EXPECT_EQ(rc_safe_file_name("..", fid), fid.Hex());
    EXPECT_EQ(rc_safe_file_name(".", fid), fid.Hex());
    EXPECT_EQ(rc_safe_file_name("", fid), fid.Hex());
    EXPECT_EQ(rc_safe_file_name("../..", fid), ".._..");
}

// The doors' cache answers no older than its time to live nor than the last
// change the loop knows of, keeps no read that a change overtook, and stays
// within its bytes.
TEST(RcResourceCache, ForgetsOnAgeOnAChangeAndWhenFullAndKeepsNoOvertakenRead) {
    const rctest::Sent one = rctest::Report(1), two = rctest::Report(2);
    auto held = [](const rctest::Sent& s) { return std::make_shared<const rc_resource_t>(s.res); };
    CRcResourceCache cache(1u << 20, 1000);
    cache.Put(one.res.FID, held(one), 5, 5, 100);
    ASSERT_NE(cache.Find(one.res.FID, 5, 1099), nullptr);
    EXPECT_EQ(cache.Find(one.res.FID, 5, 1100), nullptr);  // aged out
    cache.Put(one.res.FID, held(one), 5, 5, 100);
    EXPECT_EQ(cache.Find(one.res.FID, 6, 101), nullptr);  // the store changed
    cache.Put(one.res.FID, held(one), 6, 7, 200);          // read before a change
    EXPECT_EQ(cache.Find(one.res.FID, 7, 201), nullptr);
    // Room for one table of 100,000 bytes, not two.
    auto big = [](const rctest::Sent& s) {
        auto res = std::make_shared<rc_resource_t>(s.res);
        res->Tpt.assign(100000, 'x');
        return std::shared_ptr<const rc_resource_t>(res);
    };
    CRcResourceCache small(150000, 1000);
    small.Put(one.res.FID, big(one), 0, 0, 0);
    small.Put(two.res.FID, big(two), 0, 0, 0);
    EXPECT_EQ(small.Size(), 1u);
    EXPECT_NE(small.Find(two.res.FID, 0, 1), nullptr);
}

}  // namespace
