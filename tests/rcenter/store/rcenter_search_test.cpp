// Finding resources without their FID: the SQLite store's name search and
// listing (what each page holds, what a removal or a missing index does),
// the HTTP API's list endpoints over a connection, and zq_lookup --name.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "http_fuzz.h"
#include "rc_http.h"
#include "rc_record_format.h"
#include "rc_sqlite_store.h"
#include "rcenter_test_util.h"

namespace {

using zqtest::TempDir;

// Reports, committed at times 1, 2, 3...: the named file from each URL.
struct Named {
    std::string file, url;
    uint32 seed;
};

std::vector<rc_resource_t> CommitNamed(CRcStore& store, const std::vector<Named>& sent) {
    rc_store_batch_t batch;
    std::vector<rc_resource_t> resources;
    sint64 now = 0;
    for (const Named& n : sent) {
        RSInfo info;
        rctest::MakeInfo(info, 100000 + n.seed * 1000, n.seed, n.file);
        info.Url = n.url;
        std::string body = rctest::BodyOf(info);
        rc_report_t report;
        EXPECT_EQ(rc_decode_report(reinterpret_cast<const unsigned char*>(body.data()), body.size(), report), 0u);
        rc_store_report_t one;
        rc_resource_of(report, one.Resource, one.Where);
        one.Now = ++now;
        batch.Reports.push_back(one);
        resources.push_back(one.Resource);
    }
    std::vector<rc_report_outcome_t> outcomes;
    std::string err;
    EXPECT_EQ(store.Commit(batch, outcomes, err), 0) << err;
    return resources;
}

// The names an entry list shows, in its order.
std::vector<std::string> Names(const std::vector<rc_resource_entry_t>& page) {
    std::vector<std::string> names;
    for (const rc_resource_entry_t& e : page) names.push_back(e.FileName);
    return names;
}

const std::vector<Named> kSent = {
    {"Holiday-Video.mkv", "http://a.example/1", 1},
    {"holiday-photos.zip", "http://a.example/2", 2},
    {"other.bin", "http://a.example/3", 3},
    // A second location of the third resource, under another name.
    {"My HOLIDAY notes.txt", "http://b.example/3", 3},
    {"unrelated.iso", "http://a.example/4", 4},
};

}  // namespace

TEST(RcStoreSearch, FindsAnyLocationsNameIgnoringCaseNewestFirstPageByPage) {
    TempDir dir;
    CRcSqliteStore store(dir.path() + "/rc.db");
    std::string err;
    ASSERT_EQ(store.Open(RC_STORE_WRITE, err), 0) << err;
    std::vector<rc_resource_t> res = CommitNamed(store, kSent);

    std::vector<rc_resource_entry_t> page;
    uint64 next = 0;
    ASSERT_EQ(store.SearchNames("oLiDaY", 2, 0, page, next, err), 0) << err;
    EXPECT_EQ(Names(page), (std::vector<std::string>{"My HOLIDAY notes.txt", "holiday-photos.zip"}));
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].FID, res[2].FID);
    EXPECT_EQ(page[0].Count, 2u);
    ASSERT_NE(next, 0u);
    ASSERT_EQ(store.SearchNames("oLiDaY", 2, next, page, next, err), 0) << err;
    EXPECT_EQ(Names(page), (std::vector<std::string>{"Holiday-Video.mkv"}));
    EXPECT_EQ(next, 0u);

    ASSERT_EQ(store.ListRecent(3, 0, page, next, err), 0) << err;
    EXPECT_EQ(Names(page), (std::vector<std::string>{"unrelated.iso", "other.bin", "holiday-photos.zip"}));
    ASSERT_EQ(store.ListRecent(3, next, page, next, err), 0) << err;
    EXPECT_EQ(Names(page), (std::vector<std::string>{"Holiday-Video.mkv"}));
    EXPECT_EQ(next, 0u);

    // A quote or an operator of the index's query language is only text.
    EXPECT_EQ(store.SearchNames("\" OR o", 10, 0, page, next, err), 0) << err;
    EXPECT_TRUE(page.empty());
    EXPECT_EQ(store.SearchNames("Ho", 10, 0, page, next, err), EINVAL);
    EXPECT_EQ(store.ListRecent(RC_STORE_PAGE_MAX + 1, 0, page, next, err), EINVAL);
}

TEST(RcStoreSearch, ARemovedResourceLeavesTheIndexAndAFileWithoutTheIndexGetsItWhenOpenedForWriting) {
    TempDir dir;
    const std::string path = dir.path() + "/rc.db";
    std::vector<rc_resource_t> res;
    std::vector<rc_resource_entry_t> page;
    uint64 next = 0;
    std::string err;
    {
        CRcSqliteStore store(path);
        ASSERT_EQ(store.Open(RC_STORE_WRITE, err), 0) << err;
        res = CommitNamed(store, kSent);
        bool found = false;
        ASSERT_EQ(store.Remove(res[0].FID, found, nullptr, err), 0) << err;
        ASSERT_TRUE(found);
        ASSERT_EQ(store.SearchNames("holiday", 10, 0, page, next, err), 0) << err;
        EXPECT_EQ(Names(page), (std::vector<std::string>{"My HOLIDAY notes.txt", "holiday-photos.zip"}));
    }
    // As a file written before the index existed would be.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "DROP TABLE location_name;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    {
        CRcSqliteStore reader(path);
        ASSERT_EQ(reader.Open(RC_STORE_READ, err), 0) << err;
        EXPECT_EQ(reader.SearchNames("holiday", 10, 0, page, next, err), ENOTSUP);
    }
    CRcSqliteStore store(path);
    ASSERT_EQ(store.Open(RC_STORE_WRITE, err), 0) << err;
    ASSERT_EQ(store.SearchNames("holiday", 10, 0, page, next, err), 0) << err;
    EXPECT_EQ(Names(page), (std::vector<std::string>{"My HOLIDAY notes.txt", "holiday-photos.zip"}));
    CommitNamed(store, {{"New holiday.avi", "http://c.example/9", 9}});
    ASSERT_EQ(store.SearchNames("holiday", 10, 0, page, next, err), 0) << err;
    EXPECT_EQ(page.size(), 3u);
}

// The file the previous code wrote (the store tests keep it): counts in the
// resource row, no name index.
TEST(RcStoreSearch, AVersionOneFileIsListedAsItIsAndSearchableOnceUpgraded) {
    TempDir dir;
    const std::string path = dir.path() + "/rc.db";
    std::filesystem::copy_file(std::string(ZQ_SOURCE_DIR) + "/tests/src/data/rcenter_v1.db", path);
    std::vector<rc_resource_entry_t> page;
    uint64 next = 0;
    std::string err;
    {
        CRcSqliteStore reader(path);
        ASSERT_EQ(reader.Open(RC_STORE_READ, err), 0) << err;
        ASSERT_EQ(reader.ListRecent(10, 0, page, next, err), 0) << err;
        ASSERT_EQ(Names(page), (std::vector<std::string>{"song.mp3", "clip.avi"}));
        EXPECT_EQ(page[1].Count, 3u);
        EXPECT_EQ(reader.SearchNames("clip", 10, 0, page, next, err), ENOTSUP);
    }
    CRcSqliteStore store(path);
    ASSERT_EQ(store.Open(RC_STORE_WRITE, err), 0) << err;
    ASSERT_EQ(store.SearchNames("CLIP", 10, 0, page, next, err), 0) << err;
    ASSERT_EQ(Names(page), (std::vector<std::string>{"clip.avi"}));
    EXPECT_EQ(page[0].Count, 3u);
}

namespace {

struct ListConn {
    zqfuzz::MapBackend backend;
    rc_http_signing_t signing;

    zqfuzz::HttpAnswer Get(const std::string& target, const std::string& method = "GET") {
        CRcHttpConn conn(backend, signing);
        std::string out;
        const std::string request = method + " " + target + " HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
        conn.Feed(request.data(), request.size(), 0, out);
        std::vector<zqfuzz::HttpAnswer> all;
        EXPECT_TRUE(zqfuzz::ParseAnswers(out, all)) << out;
        return all.size() == 1 ? all[0] : zqfuzz::HttpAnswer();
    }
};

}  // namespace

TEST(RcHttpList, TheQueryIsDecodedBeforeTheStoreSeesItAndBadOnesAreRefused) {
    ListConn c;
    EXPECT_EQ(c.Get("/v1/search?q=%C3%84b+c&limit=7&after=12").status, 200u);
    EXPECT_EQ(c.Get("/v1/hash/ABCDEF0123456789ABCDEF0123456789").status, 200u);
    EXPECT_EQ(c.Get("/v1/resources").status, 200u);
    ASSERT_EQ(c.backend.lists.size(), 3u);
    EXPECT_EQ(c.backend.lists[0].Kind, RC_LIST_SEARCH);
    EXPECT_EQ(c.backend.lists[0].Text, "\xc3\x84" "b c");
    EXPECT_EQ(c.backend.lists[0].Limit, 7u);
    EXPECT_EQ(c.backend.lists[0].After, 12u);
    EXPECT_EQ(c.backend.lists[1].Kind, RC_LIST_HASH);
    EXPECT_EQ(c.backend.lists[1].Text, "abcdef0123456789abcdef0123456789");
    EXPECT_EQ(c.backend.lists[2].Limit, static_cast<uint32>(RC_HTTP_PAGE_DEFAULT));

    for (const char* bad : {"/v1/search?q=%C3%84b", "/v1/search", "/v1/search?q=abc&limit=0",
                            "/v1/resources?limit=1001", "/v1/resources?after=x", "/v1/resources?after=-1",
                            "/v1/search?q=ab%zz", "/v1/hash/abc", "/v1/hash/" "0123456789abcdef0123456789abcdef0123456g"})
        EXPECT_EQ(c.Get(bad).status, 400u) << bad;
    EXPECT_EQ(c.Get("/v1/resources", "POST").status, 405u);
    EXPECT_EQ(c.backend.lists.size(), 3u);
    c.backend.fail = ENOTSUP;
    EXPECT_EQ(c.Get("/v1/resources").status, 501u);
}

TEST(ZqLookupName, PrintsEveryMatchingRecordAndExitsOneForNoneAndTwoForAShortText) {
    TempDir dir;
    const std::string path = dir.path() + "/rc.db";
    std::vector<rc_resource_t> res;
    {
        CRcSqliteStore store(path);
        std::string err;
        ASSERT_EQ(store.Open(RC_STORE_WRITE, err), 0) << err;
        res = CommitNamed(store, kSent);
    }
    auto lookup = [&](const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--db", path};
        all.insert(all.end(), args.begin(), args.end());
        return zqtest::RunProcess(zqtest::BinPath("zq_lookup"), all, "/");
    };
    zqtest::ProcessResult r = lookup({"--json", "--name", "HOLIDAY"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> want;
    for (int i : {2, 1, 0}) want.push_back(res[i].FID.Hex());
    std::vector<std::string> got;
    for (size_t at = r.out.find("\"fid\": \""); at != std::string::npos; at = r.out.find("\"fid\": \"", at + 1))
        got.push_back(r.out.substr(at + 8, 40));
    EXPECT_EQ(got, want) << r.out;
    EXPECT_EQ(lookup({"--name", "nowhere"}).exit_code, 1);
    EXPECT_EQ(lookup({"--name", "ho"}).exit_code, 2);
}

namespace {

// The index's own check: it fails on an entry the table does not hold or a
// row indexed twice.
int IndexCheck(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return -1;
    int rc = sqlite3_exec(db, "INSERT INTO location_name (location_name) VALUES ('integrity-check')", nullptr, nullptr,
                          nullptr);
    sqlite3_close(db);
    return rc;
}

void Housekeep(CRcStore& store) {
    bool more = true;
    std::string err;
    for (int i = 0; i < 100 && more; ++i) ASSERT_EQ(store.Housekeep(more, err), 0) << err;
    EXPECT_FALSE(more);
}

}  // namespace

// New names are indexed after their commit; until then the scan above the
// mark must find the same, and a removal must leave no entry behind, even
// when the next row takes the number of the one removed.
TEST(RcStoreSearch, NamesNotYetIndexedAreFoundAlikeAndRemovalsAndReusedRowNumbersKeepTheIndexWhole) {
    TempDir dir;
    const std::string path = dir.path() + "/rc.db";
    CRcSqliteStore store(path);
    std::string err;
    ASSERT_EQ(store.Open(RC_STORE_WRITE, err), 0) << err;
    std::vector<rc_resource_t> res = CommitNamed(store, kSent);
    CommitNamed(store, {{"100%_holiday.txt", "http://d.example/5", 5}});
    std::vector<rc_resource_entry_t> page;
    uint64 next = 0;
    std::vector<std::vector<std::string> > found;
    for (int pass = 0; pass < 2; ++pass) {
        for (const char* text : {"oLiDaY", "0%_h", "%_%"}) {
            ASSERT_EQ(store.SearchNames(text, 10, 0, page, next, err), 0) << err;
            found.push_back(Names(page));
        }
        if (pass == 0) Housekeep(store);
    }
    EXPECT_EQ(found[0], found[3]);
    EXPECT_EQ(found[0].size(), 4u);
    EXPECT_EQ(found[1], (std::vector<std::string>{"100%_holiday.txt"}));
    EXPECT_EQ(found[1], found[4]);
    EXPECT_EQ(found[2], found[5]);

    // The newest resource goes, once indexed and once before, and each time
    // the next report takes its row numbers.
    std::vector<rc_resource_t> last = CommitNamed(store, {{"gone-holiday.bin", "http://e.example/6", 6}});
    Housekeep(store);
    bool removed = false;
    ASSERT_EQ(store.Remove(last[0].FID, removed, nullptr, err), 0) << err;
    ASSERT_TRUE(removed);
    last = CommitNamed(store, {{"back-holiday.bin", "http://e.example/7", 7}});
    ASSERT_EQ(store.SearchNames("holiday.bin", 10, 0, page, next, err), 0) << err;
    EXPECT_EQ(Names(page), (std::vector<std::string>{"back-holiday.bin"}));
    ASSERT_EQ(store.Remove(last[0].FID, removed, nullptr, err), 0) << err;
    CommitNamed(store, {{"third-holiday.bin", "http://e.example/8", 8}});
    Housekeep(store);
    EXPECT_EQ(IndexCheck(path), SQLITE_OK);
    ASSERT_EQ(store.SearchNames("holiday.bin", 10, 0, page, next, err), 0) << err;
    EXPECT_EQ(Names(page), (std::vector<std::string>{"third-holiday.bin"}));
}
