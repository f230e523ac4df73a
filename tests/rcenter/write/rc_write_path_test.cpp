// The write path without any connection: a removal follows the reports
// gathered before it, the cache answers nothing of a FID while its removal
// is on its way, and a stored report is known to the cache afterwards.
#include <gtest/gtest.h>

#include <string>

#include "deadline.h"
#include "files.h"
#include "net.h"
#include "rc_dedup.h"
#include "rc_sqlite_store.h"
#include "rc_store_worker.h"
#include "rc_write_path.h"
#include "rcenter_test_util.h"

namespace {

using rctest::Report;
using rctest::Sent;

class WritePath : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_EQ(store.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
        ASSERT_EQ(dedup.Open(0, 1u << 20, err), 0) << err;
        path.SetIdentity(store.GetIdentity());
        ASSERT_EQ(worker.Start(err), 0) << err;
    }
    void TearDown() override { worker.Stop(); }
    bool RunUntil(const std::function<bool()>& done) {
        zqtest::Deadline deadline(5000);
        while (!done() && !deadline.Passed()) {
            if (zqtest::WaitReadable(worker.GetNotifyFd(), deadline.MsLeft())) worker.RunCompletions();
        }
        return done();
    }
    zqtest::TempDir dir;
    CRcSqliteStore store;
    CRcDedup dedup;
    rc_counts_t counts;
    CRcStoreWorker worker{store};
    CRcWritePath path{worker, dedup, counts};
};

TEST_F(WritePath, ARemovalFollowsTheReportGatheredBeforeItAndTheCacheForgetsIt) {
    Sent one = Report(1, "http://mirror/a");
    std::string order;
    path.Add(one.report, 1000, [&](int err, const std::string& text, ERcStored stored) {
        EXPECT_EQ(err, 0) << text;
        EXPECT_EQ(stored, RC_STORED_NEW);
        order += "stored ";
    });
    int removeErr = -1;
    bool found = false;
    path.Remove(one.report.FID, [&](int err, bool bFound, const std::string&) {
        removeErr = err;
        found = bFound;
        order += "removed";
    });
    // Before the removal is done, a repeat goes to the store, not the cache.
    uint64 since = 0;
    EXPECT_FALSE(path.TallyIfKnown(one.report, 1001, &since));
    ASSERT_TRUE(RunUntil([&] { return path.IsIdle(); }));
    EXPECT_EQ(order, "stored removed");
    EXPECT_EQ(removeErr, 0);
    EXPECT_TRUE(found);
    EXPECT_EQ(counts.Removed, 1u);
    EXPECT_FALSE(path.TallyIfKnown(one.report, 1002, &since));
}

TEST_F(WritePath, AStoredReportIsKnownToTheCacheAndItsRepeatsAreTalliedForTheStore) {
    Sent one = Report(2, "http://mirror/b");
    bool done = false;
    path.Add(one.report, 1000, [&](int, const std::string&, ERcStored) { done = true; });
    int committed = 0;
    path.SetCommittedHandler([&] { ++committed; });
    path.Submit();
    ASSERT_TRUE(RunUntil([&] { return done && path.IsIdle(); }));
    EXPECT_EQ(committed, 1);
    uint64 since = 0;
    ASSERT_TRUE(path.TallyIfKnown(one.report, 2000, &since));
    path.CommitTallies();
    ASSERT_TRUE(RunUntil([&] { return committed == 2 && path.IsIdle(); }));
    worker.Stop();  // the store is the test's again
    std::vector<rc_resource_t> found;
    std::string err;
    ASSERT_EQ(store.FindFid(one.report.FID, found, err), 0) << err;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Count, 2u);
}

}  // namespace
