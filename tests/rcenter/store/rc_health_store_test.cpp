// What the store keeps of the checks: claims that hand each due location to
// one checker per interval, health that survives a reopen and the upgrades
// from versions 1 and 2, and the backoff of failing locations.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pg_server.h"
#include "rc_sqlite_store.h"
#include "rc_store_factory.h"
#include "rcenter_test_util.h"

namespace {

using rctest::Report;
using rctest::Sent;
using zqtest::TempDir;

enum EBackend { HEALTH_SQLITE, HEALTH_POSTGRES };

class RcHealthOnBoth : public ::testing::TestWithParam<EBackend> {
protected:
    std::unique_ptr<CRcStore> Opened(ERcStoreMode mode) {
        rc_store_address_t config;
        if (GetParam() == HEALTH_POSTGRES) {
            if (!m_pg.Running()) {
                EXPECT_TRUE(m_pg.Start()) << m_pg.Error();
            }
            config.Address = m_pg.ConnString();
        } else {
            config.Address = m_dir.file("rc.db");
        }
        std::unique_ptr<CRcStore> store;
        std::string err;
        EXPECT_EQ(rc_open_store(config, mode, store, err), 0) << err;
        return store;
    }
    // n resources, one location each, committed at time 1.
    std::vector<Sent> Fill(CRcStore& store, uint32 n) {
        std::vector<Sent> sent;
        rc_store_batch_t batch;
        for (uint32 i = 1; i <= n; ++i) {
            sent.push_back(Report(i));
            batch.Reports.push_back(rc_store_report_t{sent.back().res, sent.back().where, 1});
        }
        std::vector<rc_report_outcome_t> outcomes;
        std::string err;
        EXPECT_EQ(store.Commit(batch, outcomes, err), 0) << err;
        return sent;
    }

    TempDir m_dir;
    zqtest::PgServer m_pg;
};

INSTANTIATE_TEST_SUITE_P(Backends, RcHealthOnBoth, ::testing::Values(HEALTH_SQLITE, HEALTH_POSTGRES),
                         [](const ::testing::TestParamInfo<EBackend>& info) {
                             return std::string(info.param == HEALTH_SQLITE ? "Sqlite" : "Postgres");
                         });

TEST_P(RcHealthOnBoth, ADueLocationIsClaimedOnceUntilDueAgainAndItsHealthSurvivesAReopen) {
    std::unique_ptr<CRcStore> writer = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(writer && writer->IsOpen());
    std::vector<Sent> sent = Fill(*writer, 2);
    std::unique_ptr<CRcStore> checker = Opened(RC_STORE_HEALTH);
    ASSERT_TRUE(checker && checker->IsOpen());

    std::vector<rc_check_job_t> jobs;
    std::string err;
    ASSERT_EQ(checker->ClaimDue(1000, 10, 1900, jobs, err), 0) << err;
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].Url, sent[0].where.Url);
    EXPECT_EQ(jobs[0].Size, sent[0].res.Size);
    EXPECT_EQ(jobs[0].Tpt, sent[0].res.Tpt);
    EXPECT_EQ(jobs[0].Health.State, RC_HEALTH_UNCHECKED);
    std::vector<rc_check_job_t> again;
    ASSERT_EQ(writer->ClaimDue(1899, 10, 2800, again, err), 0) << err;
    EXPECT_TRUE(again.empty());

    rc_check_result_t ok{jobs[0].LocationId, {RC_HEALTH_OK, 1001, 1001, 0, 42, RC_RANGES_YES}, 1901};
    rc_check_result_t gone{jobs[1].LocationId, {RC_HEALTH_MISSING, 1002, 0, 3, 7, RC_RANGES_UNKNOWN}, 5000};
    ASSERT_EQ(checker->RecordHealth({ok, gone}, err), 0) << err;
    checker.reset();
    writer.reset();

    std::unique_ptr<CRcStore> reader = Opened(RC_STORE_READ);
    std::vector<rc_resource_t> found;
    ASSERT_EQ(reader->FindFid(sent[0].res.FID, found, err), 0) << err;
    ASSERT_EQ(found.size(), 1u);
    const rc_health_t& h = found[0].Locations.at(0).Health;
    EXPECT_EQ(h.State, RC_HEALTH_OK);
    EXPECT_EQ(h.CheckedAt, 1001);
    EXPECT_EQ(h.OkAt, 1001);
    EXPECT_EQ(h.LatencyMs, 42u);
    EXPECT_EQ(h.Ranges, RC_RANGES_YES);
    ASSERT_EQ(reader->FindFid(sent[1].res.FID, found, err), 0) << err;
    EXPECT_EQ(found.at(0).Locations.at(0).Health.State, RC_HEALTH_MISSING);
    EXPECT_EQ(found.at(0).Locations.at(0).Health.Failures, 3u);
    rc_health_counts_t counts;
    ASSERT_EQ(reader->CountHealth(counts, err), 0) << err;
    EXPECT_EQ(counts.States[RC_HEALTH_OK], 1u);
    EXPECT_EQ(counts.States[RC_HEALTH_MISSING], 1u);
    EXPECT_NE(reader->ClaimDue(2000, 10, 3000, jobs, err), 0);

    std::unique_ptr<CRcStore> checker2 = Opened(RC_STORE_HEALTH);
    ASSERT_EQ(checker2->ClaimDue(1901, 10, 2800, jobs, err), 0) << err;
    ASSERT_EQ(jobs.size(), 1u);  // the missing one waits for its backoff
    EXPECT_EQ(jobs[0].Url, sent[0].where.Url);
    EXPECT_EQ(jobs[0].Health.State, RC_HEALTH_OK);
}

TEST_P(RcHealthOnBoth, TwoCheckersClaimingAtOnceShareTheDueLocationsWithoutOverlap) {
    std::unique_ptr<CRcStore> writer = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(writer && writer->IsOpen());
    const uint32 n = 300;
    Fill(*writer, n);
    std::unique_ptr<CRcStore> a = Opened(RC_STORE_HEALTH);
    std::unique_ptr<CRcStore> b = Opened(RC_STORE_HEALTH);
    std::vector<uint64> gotA, gotB;
    auto claim = [](CRcStore* store, std::vector<uint64>* got) {
        std::string err;
        for (int round = 0; round < 200; ++round) {
            std::vector<rc_check_job_t> jobs;
            int e = store->ClaimDue(5000, 7, 6000, jobs, err);
            if (e == EBUSY) continue;  // SQLite's one writer, busy past its wait
            ASSERT_EQ(e, 0) << err;
            if (jobs.empty()) return;
            for (const rc_check_job_t& j : jobs) got->push_back(j.LocationId);
        }
    };
    std::thread ta(claim, a.get(), &gotA);
    std::thread tb(claim, b.get(), &gotB);
    ta.join();
    tb.join();
    std::set<uint64> all(gotA.begin(), gotA.end());
    for (uint64 id : gotB) EXPECT_TRUE(all.insert(id).second) << "location " << id << " claimed twice";
    EXPECT_EQ(all.size(), n);
    EXPECT_EQ(gotA.size() + gotB.size(), n);
}

TEST_P(RcHealthOnBoth, AStoreOfVersionTwoIsUpgradedWithEveryLocationUncheckedAndDue) {
    std::unique_ptr<CRcStore> writer = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(writer && writer->IsOpen());
    std::vector<Sent> sent = Fill(*writer, 3);
    writer.reset();
    // Back to what version 2 held: no health at all.
    if (GetParam() == HEALTH_POSTGRES) {
        ASSERT_TRUE(m_pg.Sql("DROP TABLE zq_rc_health; DROP FUNCTION zq_rc_health_new() CASCADE;"
                             " UPDATE zq_rc_meta SET value = '2' WHERE key = 'schema_version'"))
            << m_pg.Error();
    } else {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(m_dir.file("rc.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "DROP TRIGGER location_health_new; DROP TABLE location_health; PRAGMA user_version = 2", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    std::unique_ptr<CRcStore> upgraded = Opened(RC_STORE_WRITE);
    ASSERT_TRUE(upgraded && upgraded->IsOpen());
    std::vector<rc_check_job_t> jobs;
    std::string err;
    ASSERT_EQ(upgraded->ClaimDue(10, 10, 100, jobs, err), 0) << err;
    ASSERT_EQ(jobs.size(), 3u);
    for (const rc_check_job_t& j : jobs) EXPECT_EQ(j.Health.State, RC_HEALTH_UNCHECKED);
    // A location reported after the upgrade gets its health row too.
    Sent later = Report(50);
    std::vector<rc_report_outcome_t> outcomes;
    ASSERT_EQ(upgraded->Commit({{rc_store_report_t{later.res, later.where, 2}}, {}}, outcomes, err), 0) << err;
    ASSERT_EQ(upgraded->ClaimDue(10, 10, 100, jobs, err), 0) << err;
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].Url, later.where.Url);
    // Removing a resource takes its health along.
    bool found = false;
    ASSERT_EQ(upgraded->Remove(later.res.FID, found, nullptr, err), 0) << err;
    EXPECT_TRUE(found);
    rc_health_counts_t counts;
    ASSERT_EQ(upgraded->CountHealth(counts, err), 0) << err;
    EXPECT_EQ(counts.States[RC_HEALTH_UNCHECKED], 3u);
}

}  // namespace

TEST(RcHealthSchema, AVersionOneFileUpgradesToHealthAndAVersionTwoReaderSeesUnchecked) {
    TempDir dir;
    const std::string db = dir.file("rcenter.db");
    std::filesystem::copy_file(std::string(ZQ_SOURCE_DIR) + "/tests/src/data/rcenter_v1.db", db);
    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(db, RC_STORE_WRITE, err), 0) << err;
    rc_store_counts_t all;
    ASSERT_EQ(store.GetCounts(all, err), 0) << err;
    ASSERT_GT(all.Locations, 0u);
    std::vector<rc_check_job_t> jobs;
    ASSERT_EQ(store.ClaimDue(10, 1000, 100, jobs, err), 0) << err;
    EXPECT_EQ(jobs.size(), all.Locations);
    for (const rc_check_job_t& j : jobs) EXPECT_FALSE(j.Tpt.empty());
}

TEST(RcHealthBackoff, AFailingLocationWaitsTwiceAsLongEachTimeAtMostADay) {
    rc_health_t h;
    h.CheckedAt = 1000;
    h.State = RC_HEALTH_OK;
    EXPECT_EQ(rc_health_next_due(h, 900), 1900);
    h.State = RC_HEALTH_UNREACHABLE;
    h.Failures = 1;
    EXPECT_EQ(rc_health_next_due(h, 900), 1900);
    h.Failures = 2;
    EXPECT_EQ(rc_health_next_due(h, 900), 2800);
    h.Failures = 4;
    EXPECT_EQ(rc_health_next_due(h, 900), 1000 + 7200);
    h.Failures = 1000;
    EXPECT_EQ(rc_health_next_due(h, 900), 1000 + 86400);
    EXPECT_EQ(rc_health_next_due(h, 86400), 1000 + 86400);
}
