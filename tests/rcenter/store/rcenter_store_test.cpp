// The store of record: what one commit decides for each report, what a
// reopened or replaced file holds, which files are refused, and how a
// stored record is shown (zq_lookup included).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pg_server.h"
#include "rc_http_api.h"
#include "rc_record_format.h"
#include "rc_sqlite_file.h"
#include "rc_sqlite_store.h"
#include "rc_store_factory.h"
#include "rcenter_test_util.h"

namespace {

using rctest::MakeInfo;
using zqtest::TempDir;

using rctest::Report;
using rctest::Sent;

rc_store_batch_t BatchOf(const std::vector<std::pair<Sent, sint64> >& reports) {
    rc_store_batch_t batch;
    for (const auto& r : reports) batch.Reports.push_back(rc_store_report_t{r.first.res, r.first.where, r.second});
    return batch;
}

std::vector<ERcStored> CommitBatch(CRcStore& store, const rc_store_batch_t& batch) {
    std::vector<rc_report_outcome_t> outcomes;
    std::string err;
    EXPECT_EQ(store.Commit(batch, outcomes, err), 0) << err;
    std::vector<ERcStored> results;
    for (const rc_report_outcome_t& o : outcomes) {
        EXPECT_EQ(o.Errno, 0) << o.Error;
        results.push_back(o.Stored);
    }
    return results;
}

std::vector<ERcStored> CommitAll(CRcStore& store, const std::vector<std::pair<Sent, sint64> >& reports) {
    return CommitBatch(store, BatchOf(reports));
}

rc_resource_t Only(CRcStore& store, const Sha1Hash& fid) {
    std::vector<rc_resource_t> found;
    std::string err;
    EXPECT_EQ(store.FindFid(fid, found, err), 0) << err;
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? rc_resource_t() : found.front();
}

void SetUserVersion(const std::string& path, int version) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(version)).c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

// The tests of what any store must do run against each backend the factory
// makes: a SQLite file in a temporary directory, and a throwaway PostgreSQL
// cluster. Every store a test makes names the same store.
enum EBackend { BACKEND_SQLITE, BACKEND_POSTGRES };

class RcStoreOnBoth : public ::testing::TestWithParam<EBackend> {
protected:
    std::unique_ptr<CRcStore> Make() {
        rc_store_address_t config;
        if (GetParam() == BACKEND_POSTGRES) {
            if (!m_pg.Running()) {
                EXPECT_TRUE(m_pg.Start()) << m_pg.Error();
            }
            config.Address = m_pg.ConnString();
        } else {
            config.Address = m_dir.file("d/rc.db");
        }
        std::unique_ptr<CRcStore> store;
        std::string err;
        EXPECT_EQ(rc_make_store(config, store, err), 0) << err;
        return store;
    }
    std::unique_ptr<CRcStore> Opened(ERcStoreMode mode) {
        std::unique_ptr<CRcStore> store = Make();
        std::string err;
        EXPECT_EQ(store->Open(mode, err), 0) << err;
        return store;
    }

    TempDir m_dir;
    zqtest::PgServer m_pg;
};

INSTANTIATE_TEST_SUITE_P(Backends, RcStoreOnBoth, ::testing::Values(BACKEND_SQLITE, BACKEND_POSTGRES),
                         [](const ::testing::TestParamInfo<EBackend>& info) {
                             return std::string(info.param == BACKEND_SQLITE ? "Sqlite" : "Postgres");
                         });

TEST_P(RcStoreOnBoth, OneBatchTellsNewLocationAndKnownApartInOrder) {
    std::unique_ptr<CRcStore> pStore = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(pStore && pStore->IsOpen());
    CRcStore& store = *pStore;
    Sent a = Report(1);
    Sent b = Report(1, "http://mirror.example.org/clip.avi");
    std::vector<ERcStored> results = CommitAll(store, {{a, 100}, {a, 101}, {b, 102}, {Report(2), 103}});
    EXPECT_EQ(results, (std::vector<ERcStored>{RC_STORED_NEW, RC_STORED_KNOWN, RC_STORED_LOCATION, RC_STORED_NEW}));

    rc_resource_t got = Only(store, a.res.FID);
    EXPECT_EQ(got.SID, a.res.SID);
    EXPECT_EQ(got.Hash, a.res.Hash);
    EXPECT_EQ(got.MD4, a.res.MD4);
    EXPECT_EQ(got.Size, a.res.Size);
    EXPECT_EQ(got.Tpt, a.res.Tpt);
    EXPECT_EQ(got.FirstSeen, 100);
    EXPECT_EQ(got.LastSeen, 102);
    EXPECT_EQ(got.Count, 3u);
    ASSERT_EQ(got.Locations.size(), 2u);
    EXPECT_EQ(got.Locations[0].Url, a.where.Url);
    EXPECT_EQ(got.Locations[0].FileName, "clip.avi");
    EXPECT_EQ(got.Locations[0].FirstSeen, 100);
    EXPECT_EQ(got.Locations[1].Url, b.where.Url);

    // A repeat answered without the store is counted by the next commit.
    rc_store_batch_t tally;
    tally.Tallies.push_back(rc_store_tally_t{a.res.FID, 1, 200});
    EXPECT_EQ(CommitBatch(store, tally), std::vector<ERcStored>());
    EXPECT_EQ(Only(store, a.res.FID).Count, 4u);
    EXPECT_EQ(Only(store, a.res.FID).LastSeen, 200);
}

TEST_P(RcStoreOnBoth, EmptyTextsOfAReportAreStoredAndReadBackEmpty) {
    std::unique_ptr<CRcStore> pStore = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(pStore && pStore->IsOpen());
    Sent a = Report(1);
    a.where.FileName.clear();
    a.where.ExtName.clear();
    a.where.Ref.clear();
    EXPECT_EQ(CommitAll(*pStore, {{a, 1}, {Report(2), 2}}), (std::vector<ERcStored>{RC_STORED_NEW, RC_STORED_NEW}));
    rc_resource_t got = Only(*pStore, a.res.FID);
    ASSERT_EQ(got.Locations.size(), 1u);
    EXPECT_EQ(got.Locations[0].Url, a.where.Url);
    EXPECT_EQ(got.Locations[0].FileName, "");
    EXPECT_EQ(got.Locations[0].ExtName, "");
    EXPECT_EQ(got.Locations[0].Ref, "");
}

TEST_P(RcStoreOnBoth, AReopenedStoreKeepsEverythingAndFindsBySidSha1AndRecency) {
    Sent a = Report(1), b = Report(2), c = Report(3);
    std::string id;
    {
        std::unique_ptr<CRcStore> writer = Opened(RC_STORE_WRITE);
        ASSERT_TRUE(writer && writer->IsOpen());
        id = writer->GetIdentity().Id;
        CommitAll(*writer, {{a, 1}, {b, 2}, {c, 3}});
    }
    std::unique_ptr<CRcStore> pStore = Opened(RC_STORE_READ);
    ASSERT_TRUE(pStore && pStore->IsOpen());
    CRcStore& store = *pStore;
    std::string err;
    EXPECT_EQ(store.GetIdentity().Id, id);
    EXPECT_EQ(id.size(), 32u);
    std::vector<rc_resource_t> found;
    ASSERT_EQ(store.FindSid(b.res.SID, found, err), 0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].FID, b.res.FID);
    ASSERT_EQ(store.FindSha1(c.res.Hash, found, err), 0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].FID, c.res.FID);
    found.clear();
    ASSERT_EQ(store.FindRecent(
                  2,
                  [&found](const rc_resource_t& r) {
                      found.push_back(r);
                      return true;
                  },
                  err),
              0);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].FID, c.res.FID);
    EXPECT_EQ(found[1].FID, b.res.FID);
    ASSERT_EQ(store.FindFid(Report(9).res.FID, found, err), 0);
    EXPECT_TRUE(found.empty());
    std::vector<rc_report_outcome_t> results;
    EXPECT_EQ(store.Commit(BatchOf({{a, 4}}), results, err), EBADF);  // a reader never writes
}

// Under sustained writes a reader that holds its snapshot keeps the WAL from
// being reset, and it grows past 64 MiB; once the reader lets go, the next
// commits checkpoint it and cut the file back to 64 MiB at most.
TEST(RcStoreFile, TheWalIsCutBackToItsBoundOnceAReaderLetsGo) {
    TempDir dir;
    const std::string path = dir.file("rc.db");
    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(path, RC_STORE_WRITE, err), 0) << err;
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM resource;", nullptr, nullptr, nullptr), SQLITE_OK);
    auto commitLarge = [&](uint32 seed) {
        rc_store_batch_t batch;
        for (uint32 i = 0; i < 16; ++i) {
            RSInfo info;
            MakeInfo(info, 4294967296ULL, seed * 16 + i);  // 8192 pieces: 131 KB of table each
            std::string body = rctest::BodyOf(info);
            rc_report_t report;
            ASSERT_EQ(rc_decode_report(reinterpret_cast<const unsigned char*>(body.data()), body.size(), report), 0u);
            rc_store_report_t item;
            rc_resource_of(report, item.Resource, item.Where);
            item.Now = 1000;
            batch.Reports.push_back(item);
        }
        std::vector<rc_report_outcome_t> outcomes;
        ASSERT_EQ(store.Commit(batch, outcomes, err), 0) << err;
    };
    for (uint32 seed = 0; seed < 40; ++seed) commitLarge(seed);  // about 84 MB of tables
    const uintmax_t kBound = 64u << 20;
    EXPECT_GT(std::filesystem::file_size(path + "-wal"), kBound);
    ASSERT_EQ(sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(reader);
    for (uint32 seed = 100; seed < 103; ++seed) commitLarge(seed);
    EXPECT_LE(std::filesystem::file_size(path + "-wal"), kBound);
}

TEST(RcStoreFile, ARenamedDatabaseKeepsItsRecordsAndTheNextCommitMakesANewOne) {
    TempDir dir;
    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
    std::string firstId = store.GetStoreId();
    Sent a = Report(1), b = Report(2);
    CommitAll(store, {{a, 1}});
    ASSERT_EQ(rename(dir.file("rc.db").c_str(), dir.file("old.db").c_str()), 0);

    EXPECT_EQ(CommitAll(store, {{b, 2}}), std::vector<ERcStored>{RC_STORED_NEW});
    EXPECT_NE(store.GetStoreId(), firstId);
    std::vector<rc_resource_t> found;
    ASSERT_EQ(store.FindFid(a.res.FID, found, err), 0);
    EXPECT_TRUE(found.empty());
    // The old file got its WAL back before it was let go.
    CRcSqliteStore old;
    ASSERT_EQ(old.Open(dir.file("old.db"), RC_STORE_READ, err), 0) << err;
    EXPECT_EQ(Only(old, a.res.FID).Count, 1u);
    ASSERT_EQ(old.FindFid(b.res.FID, found, err), 0);
    EXPECT_TRUE(found.empty());
}

TEST(RcStoreFile, AnUnusablePathFailsEveryReportUntilItIsUsableAgain) {
    TempDir dir;
    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(dir.file("d/rc.db"), RC_STORE_WRITE, err), 0) << err;
    Sent a = Report(1), b = Report(2);
    CommitAll(store, {{a, 1}});
    std::filesystem::remove_all(dir.file("d"));
    zqtest::WriteFile(dir.file("d"), "a file where the directory was");

    std::vector<rc_report_outcome_t> results;
    EXPECT_EQ(store.Commit(BatchOf({{b, 2}}), results, err), ENOTDIR);
    EXPECT_TRUE(results.empty());
    EXPECT_NE(err.find("d/rc.db"), std::string::npos);

    ASSERT_EQ(unlink(dir.file("d").c_str()), 0);
    EXPECT_EQ(CommitAll(store, {{b, 3}}), std::vector<ERcStored>{RC_STORED_NEW});
    EXPECT_EQ(Only(store, b.res.FID).FirstSeen, 3);
}

TEST(RcStoreSchema, ANewerOrForeignDatabaseIsRefusedAndLeftAlone) {
    TempDir dir;
    {
        CRcSqliteStore store;
        std::string err;
        ASSERT_EQ(store.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
    }
    const int newer = RC_STORE_SCHEMA_VERSION + 1;
    SetUserVersion(dir.file("rc.db"), newer);
    for (ERcStoreMode mode : {RC_STORE_WRITE, RC_STORE_READ}) {
        CRcSqliteStore store;
        std::string err;
        EXPECT_EQ(store.Open(dir.file("rc.db"), mode, err), ENOTSUP);
        EXPECT_NE(err.find("schema version " + std::to_string(newer) + " is newer than this program's " +
                           std::to_string(RC_STORE_SCHEMA_VERSION)),
                  std::string::npos)
            << err;
        EXPECT_FALSE(store.IsOpen());
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("other.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    CRcSqliteStore store;
    std::string err;
    EXPECT_EQ(store.Open(dir.file("other.db"), RC_STORE_WRITE, err), ENOTSUP);
    EXPECT_NE(err.find("not a resource store"), std::string::npos) << err;
    // Our version number on someone else's tables does not make it ours.
    SetUserVersion(dir.file("other.db"), RC_STORE_SCHEMA_VERSION);
    EXPECT_EQ(store.Open(dir.file("other.db"), RC_STORE_READ, err), ENOTSUP);
    EXPECT_NE(err.find("not a resource store"), std::string::npos) << err;
    // Reading never creates.
    EXPECT_EQ(store.Open(dir.file("none.db"), RC_STORE_READ, err), ENOENT);
    EXPECT_FALSE(zqtest::FileExists(dir.file("none.db")));
}

TEST_P(RcStoreOnBoth, RemoveTakesTheResourceWithItsLocationsAndTheCountsFollow) {
    std::unique_ptr<CRcStore> pStore = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(pStore && pStore->IsOpen());
    CRcStore& store = *pStore;
    std::string err;
    Sent a = Report(1), a2 = Report(1, "http://mirror.example.org/a"), b = Report(2);
    CommitAll(store, {{a, 1}, {a2, 2}, {b, 3}, {b, 4}});
    rc_store_counts_t counts;
    ASSERT_EQ(store.GetCounts(counts, err), 0);
    EXPECT_EQ(counts.Resources, 2u);
    EXPECT_EQ(counts.Locations, 3u);
    EXPECT_EQ(counts.Reports, 4u);

    bool found = false;
    rc_resource_t removed;
    ASSERT_EQ(store.Remove(a.res.FID, found, &removed, err), 0) << err;
    EXPECT_TRUE(found);
    EXPECT_EQ(removed.Locations.size(), 2u);
    ASSERT_EQ(store.Remove(a.res.FID, found, nullptr, err), 0);
    EXPECT_FALSE(found);
    ASSERT_EQ(store.GetCounts(counts, err), 0);
    EXPECT_EQ(counts.Resources, 1u);
    EXPECT_EQ(counts.Locations, 1u);
    // Known again only as new.
    EXPECT_EQ(CommitAll(store, {{a, 5}}), std::vector<ERcStored>{RC_STORED_NEW});
}

TEST(RcRecordFormat, TheJournalLineOfAStoredReportIsTheOneItWasAcceptedWith) {
    Sent a = Report(1, "http://x.example/a\tb");
    rc_resource_t res = a.res;
    a.where.FirstSeen = 1709647629;
    res.Locations.push_back(a.where);
    EXPECT_EQ(rc_record_tsv_line(res, a.where), rc_tsv_line(a.report, 1709647629));
}

TEST(RcRecordFormat, JsonEscapesTextsAndKeepsOnlyValidUtf8) {
    rc_resource_t res = Report(1).res;
    rc_location_t where;
    where.Url = "http://x/\"q\"\\";
    where.FileName = std::string("caf\xc3\xa9\x01\xff.avi");
    res.Locations.push_back(where);
    std::string json = rc_record_json(res);
    EXPECT_NE(json.find("\"url\": \"http://x/\\\"q\\\"\\\\\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"file\": \"caf\xc3\xa9\\u0001\xef\xbf\xbd.avi\""), std::string::npos) << json;
    EXPECT_EQ(json.find('\n'), std::string::npos);
}

class ZqLookup : public ::testing::Test {
protected:
    void SetUp() override {
        CRcSqliteStore store;
        std::string err;
        ASSERT_EQ(store.Open(dir.file("data/rcenter.db"), RC_STORE_WRITE, err), 0) << err;
        CommitAll(store, {{a, 1709647629}, {Report(1, "http://mirror.example.org/clip.avi"), 1709647630}, {b, 1709647631}});
    }
    zqtest::ProcessResult Run(const std::vector<std::string>& args) {
        return zqtest::RunProcess(zqtest::BinPath("zq_lookup"), args, dir.path());
    }
    TempDir dir;
    Sent a = Report(1);
    Sent b = Report(2);
};

TEST_F(ZqLookup, PrintsTheKeysOfZqIdentThenTheStoredFacts) {
    zqtest::ProcessResult r = Run({a.res.FID.Hex()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    RSInfo info;
    rc_fill_info(a.report, info);
    std::string expected;
    for (const rc_field_t& f : rc_info_fields(info)) expected += f.Key + ": " + f.Value + "\n";
    expected += "first_seen: 2024-03-05T14:07:09Z\nlast_seen: 2024-03-05T14:07:10Z\ncount: 2\n";
    expected += "location: 2024-03-05T14:07:09Z\t" + a.where.Url + "\tclip.avi\n";
    expected += "location: 2024-03-05T14:07:10Z\thttp://mirror.example.org/clip.avi\tclip.avi\n";
    EXPECT_EQ(r.out, expected);

    r = Run({"--json", "--sid", b.res.SID.Hex()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("{\"size\": " + std::to_string(b.res.Size) + ", ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\"count\": 1, \"locations\": [{\"url\": "), std::string::npos) << r.out;
}

TEST_F(ZqLookup, WritesThePieceTableAndExportsTheJournal) {
    zqtest::ProcessResult r = Run({"--tpt-out", "t.tpt", "--sha1", a.res.Hash.Hex()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(zqtest::ReadFile(dir.file("t.tpt")), std::string(a.res.Tpt.begin(), a.res.Tpt.end()));
    r = Run({"--export-tsv"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = rctest::Lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0] + "\n", rc_tsv_line(a.report, 1709647629));
    EXPECT_EQ(lines[2] + "\n", rc_tsv_line(b.report, 1709647631));
}

TEST_F(ZqLookup, ExitsOneWhenNotFoundAndTwoForUsageOrADatabaseItCannotRead) {
    EXPECT_EQ(Run({Report(7).res.FID.Hex()}).exit_code, 1);
    EXPECT_EQ(Run({"--recent", "0"}).exit_code, 2);
    EXPECT_EQ(Run({"abc"}).exit_code, 2);
    EXPECT_EQ(Run({a.res.FID.Hex(), "--recent", "1"}).exit_code, 2);
    EXPECT_EQ(Run({"--tpt-out", "t.tpt", "--recent", "2"}).exit_code, 2);
    EXPECT_EQ(Run({"--db", "nowhere.db", "--recent", "1"}).exit_code, 2);
    SetUserVersion(dir.file("data/rcenter.db"), 5);
    zqtest::ProcessResult r = Run({"--recent", "1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("schema version 5 is newer"), std::string::npos) << r.err;
}

}  // namespace

namespace {

// The bytes this process has handed to write calls so far.
uint64 WrittenBytes() {
    std::string io = zqtest::ReadFile("/proc/self/io");
    size_t at = io.find("wchar: ");
    return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

void Exec(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

int UserVersion(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    int version = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        version = sqlite3_column_int(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return version;
}

}  // namespace

TEST(RcStoreCommit, AReportWhoseWriteFailsIsAnsweredAloneAndTheOthersAreStored) {
    TempDir dir;
    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
    Exec(dir.file("rc.db"), "CREATE TRIGGER refuse BEFORE INSERT ON location WHEN NEW.url = 'http://x/refused'"
                            " BEGIN SELECT RAISE(ABORT, 'refused'); END");
    Sent a = Report(1), bad = Report(2, "http://x/refused"), c = Report(3);
    std::vector<rc_report_outcome_t> outcomes;
    ASSERT_EQ(store.Commit(BatchOf({{a, 1}, {bad, 2}, {c, 3}}), outcomes, err), 0) << err;
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].Errno, 0);
    EXPECT_NE(outcomes[1].Errno, 0);
    EXPECT_NE(outcomes[1].Error.find("refused"), std::string::npos) << outcomes[1].Error;
    EXPECT_EQ(outcomes[2].Errno, 0);
    EXPECT_EQ(outcomes[2].Stored, RC_STORED_NEW);
    std::vector<rc_resource_t> found;
    ASSERT_EQ(store.FindFid(bad.res.FID, found, err), 0);
    EXPECT_TRUE(found.empty());  // its resource row went with its savepoint
    EXPECT_EQ(Only(store, c.res.FID).Count, 1u);
}

TEST(RcStoreCommit, ARepeatOfAResourceWithTheLargestPieceTableWritesAFewKilobytes) {
    TempDir dir;
    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
    RSInfo info;
    MakeInfo(info, 8192ull * 1024 * 1024, 5);
    std::string body = rctest::BodyOf(info);
    Sent big;
    ASSERT_EQ(rc_decode_report(reinterpret_cast<const unsigned char*>(body.data()), body.size(), big.report), 0u);
    rc_resource_of(big.report, big.res, big.where);
    ASSERT_GT(big.res.Tpt.size(), 131000u);
    CommitAll(store, {{big, 1}});
    const int repeats = 20;
    const uint64 before = WrittenBytes();
    for (int i = 0; i < repeats; ++i) EXPECT_EQ(CommitAll(store, {{big, 2 + i}}), std::vector<ERcStored>{RC_STORED_KNOWN});
    const uint64 perRepeat = (WrittenBytes() - before) / repeats;
    EXPECT_LT(perRepeat, 16u * 1024) << perRepeat << " bytes written per repeat";
    EXPECT_EQ(Only(store, big.res.FID).Count, 1u + repeats);
}

TEST(RcStoreSchema, AVersionOneFileIsReadAsItIsAndUpgradedInPlaceByTheFirstWriter) {
    TempDir dir;
    const std::string db = dir.file("data/rcenter.db");
    std::filesystem::create_directories(dir.file("data"));
    std::filesystem::copy_file(std::string(ZQ_SOURCE_DIR) + "/tests/src/data/rcenter_v1.db", db);
    // What the previous code's zq_lookup printed for this file.
    const std::string expected = zqtest::ReadFile(std::string(ZQ_SOURCE_DIR) + "/tests/src/data/rcenter_v1.json");
    auto lookup = [&] {
        return zqtest::RunProcess(zqtest::BinPath("zq_lookup"), {"--db", db, "--json", "--recent", "2"}, "/");
    };
    zqtest::ProcessResult r = lookup();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(UserVersion(db), 1);

    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(db, RC_STORE_WRITE, err), 0) << err;
    EXPECT_EQ(UserVersion(db), static_cast<int>(RC_STORE_SCHEMA_VERSION));
    r = lookup();
    EXPECT_EQ(r.out, expected) << r.err;
    std::vector<rc_resource_t> recent;
    ASSERT_EQ(store.FindRecent(
                  2,
                  [&](const rc_resource_t& res) {
                      recent.push_back(res);
                      return true;
                  },
                  err),
              0)
        << err;
    ASSERT_EQ(recent.size(), 2u);
    // The counts moved to their own table and go on from there.
    rc_resource_t clip = recent[1];
    ASSERT_EQ(clip.Count, 3u);
    rc_store_batch_t batch;
    batch.Reports.push_back(rc_store_report_t{clip, clip.Locations[0], clip.LastSeen + 1});
    EXPECT_EQ(CommitBatch(store, batch), std::vector<ERcStored>{RC_STORED_KNOWN});
    EXPECT_EQ(Only(store, clip.FID).Count, 4u);
}

TEST_P(RcStoreOnBoth, EachOpenForWritingIsANewGenerationAndAReaderSeesTheLast) {
    rc_store_identity_t first, second;
    first = Opened(RC_STORE_WRITE)->GetIdentity();
    second = Opened(RC_STORE_WRITE)->GetIdentity();
    EXPECT_EQ(second.Id, first.Id);
    EXPECT_EQ(second.Previous, first.Generation);
    EXPECT_GT(second.Generation, first.Generation);
    EXPECT_EQ(Opened(RC_STORE_READ)->GetIdentity().Generation, second.Generation);
}

TEST_P(RcStoreOnBoth, LocationsComeInPagesAndTheExportInChunksEachOnce) {
    std::unique_ptr<CRcStore> pStore = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(pStore && pStore->IsOpen());
    CRcStore& store = *pStore;
    std::string err;
    std::vector<std::pair<Sent, sint64> > reports;
    const size_t urls = RC_STORE_EXPORT_CHUNK + 5;
    for (size_t i = 0; i < urls; ++i) reports.push_back({Report(1, "http://m" + std::to_string(i) + "/a"), 1});
    CommitAll(store, reports);
    std::vector<std::string> paged;
    uint64 after = 0;
    for (int page = 0; page < 1000; ++page) {
        rc_resource_t res;
        bool found = false;
        uint64 next = 0;
        ASSERT_EQ(store.FindFidPage(reports[0].first.res.FID, 100, after, res, found, next, err), 0) << err;
        ASSERT_TRUE(found);
        EXPECT_LE(res.Locations.size(), 100u);
        for (const rc_location_t& loc : res.Locations) paged.push_back(loc.Url);
        if (next == 0) break;
        after = next;
    }
    std::vector<std::string> exported;
    ASSERT_EQ(rc_store_for_each_location(
                  store,
                  [&](const rc_resource_t&, const rc_location_t& loc) {
                      exported.push_back(loc.Url);
                      return true;
                  },
                  err),
              0)
        << err;
    std::vector<std::string> sent;
    for (const auto& r : reports) sent.push_back(r.first.where.Url);
    EXPECT_EQ(paged, sent);
    EXPECT_EQ(exported, sent);
    rc_resource_t res;
    bool found = false;
    uint64 next = 0;
    EXPECT_EQ(store.FindFidPage(reports[0].first.res.FID, RC_STORE_PAGE_MAX + 1, 0, res, found, next, err), EINVAL);
}

TEST(RcSqliteFile, AnOrphanedWalWithNoRoomForItsLongNameIsSetAsideUnderAShortOne) {
    TempDir dir;
    // The longest name whose WAL the system still takes.
    const std::string db = dir.file(std::string(251, 'd'));
    zqtest::WriteFile(db + "-wal", "commits of a database that is gone");
    std::string err;
    ASSERT_EQ(rc_sqlite_prepare_path(db, err), 0) << err;
    EXPECT_FALSE(zqtest::FileExists(db + "-wal"));
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().find("orphaned") != std::string::npos) aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(zqtest::ReadFile(aside[0]), "commits of a database that is gone");
    EXPECT_TRUE(zqtest::FileExists(db));
}

TEST(RcHttpRecordPage, ARecordCutToItsBudgetTellsWhereTheNextPageStarts) {
    rc_resource_t res = Report(1).res;
    for (uint64 id = 1; id <= 3; ++id) {
        rc_location_t loc;
        loc.Url = "http://m" + std::to_string(id) + "/" + std::string(1000, 'u');
        loc.Id = id * 10;
        res.Locations.push_back(loc);
    }
    const std::string whole = rc_http_record_page(res, 0, 1 << 20);
    EXPECT_EQ(whole.compare(whole.size() - 15, 15, ", \"next\": null}"), 0) << whole.substr(whole.size() - 40);
    rc_resource_t two = res;
    two.Locations.pop_back();
    const std::string cut = rc_http_record_page(res, 0, rc_record_json(two, RC_RECORD_HEALTH).size() + 100);
    EXPECT_NE(cut.find("http://m2/"), std::string::npos);
    EXPECT_EQ(cut.find("http://m3/"), std::string::npos);
    EXPECT_EQ(cut.compare(cut.size() - 13, 13, ", \"next\": 20}"), 0) << cut.substr(cut.size() - 40);
    // One location is shown however small the budget, and the store's own
    // cursor is kept when nothing was cut.
    EXPECT_NE(rc_http_record_page(res, 0, 1).find("\"next\": 10}"), std::string::npos);
    EXPECT_NE(rc_http_record_page(res, 99, 1 << 20).find("\"next\": 99}"), std::string::npos);
}

TEST_P(RcStoreOnBoth, NamesAreFoundByAnyPartIgnoringCaseNewestFirstTheirWildcardsAsText) {
    std::unique_ptr<CRcStore> pStore = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(pStore && pStore->IsOpen());
    CRcStore& store = *pStore;
    const std::vector<std::string> names = {"Holiday-Video.mkv", "holiday-photos.zip", "100%_done.bin",
                                            "\xff\xfe raw.bin", "other.bin"};
    std::vector<std::pair<Sent, sint64> > reports;
    for (size_t i = 0; i < names.size(); ++i) {
        Sent s = Report(static_cast<uint32>(i + 1));
        s.where.FileName = names[i];
        reports.push_back({s, static_cast<sint64>(i + 1)});
    }
    // A name that is not UTF-8 is stored like any other.
    EXPECT_EQ(CommitAll(store, reports), std::vector<ERcStored>(names.size(), RC_STORED_NEW));

    std::vector<rc_resource_entry_t> page;
    uint64 next = 0;
    std::string err;
    ASSERT_EQ(store.SearchNames("OLIDAY", 1, 0, page, next, err), 0) << err;
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].FileName, names[1]);
    EXPECT_EQ(page[0].FID, reports[1].first.res.FID);
    ASSERT_NE(next, 0u);
    ASSERT_EQ(store.SearchNames("OLIDAY", 1, next, page, next, err), 0) << err;
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].FileName, names[0]);
    EXPECT_EQ(next, 0u);
    // As a pattern "%_d" would match any name with a "d" past its first character.
    ASSERT_EQ(store.SearchNames("%_d", 10, 0, page, next, err), 0) << err;
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].FileName, names[2]);

    ASSERT_EQ(store.ListRecent(10, 0, page, next, err), 0) << err;
    ASSERT_EQ(page.size(), names.size());
    EXPECT_EQ(page[1].FileName, names[3]);
    std::vector<rc_resource_t> found;
    ASSERT_EQ(store.FindMd4(reports[0].first.res.MD4, found, err), 0) << err;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].FID, reports[0].first.res.FID);
}
