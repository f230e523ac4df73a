// The center's figures for /metrics: the store's counts are read on the
// reading store thread one read at a time, and a read that fails keeps the
// counts the last one gave.
#include <gtest/gtest.h>

#include <string>

#include "deadline.h"
#include "files.h"
#include "net.h"
#include "rc_dedup.h"
#include "rc_removal_tokens.h"
#include "rc_server_metrics.h"
#include "rc_sqlite_store.h"
#include "rc_store_worker.h"

namespace {

// A store whose counts are set by the test, or fail.
class CCountedStore : public CRcSqliteStore {
public:
    int GetCounts(rc_store_counts_t& oCounts, std::string& strError) override {
        if (fail) {
            strError = "counts unreadable";
            return EIO;
        }
        oCounts.Resources = resources;
        oCounts.Locations = resources * 2;
        return 0;
    }
    bool fail = false;
    uint64 resources = 0;
};

bool RunAll(CRcStoreWorker& worker) {
    zqtest::Deadline deadline(5000);
    while (worker.GetInFlight() > 0 && !deadline.Passed()) {
        if (zqtest::WaitReadable(worker.GetNotifyFd(), deadline.MsLeft())) worker.RunCompletions();
    }
    return worker.GetInFlight() == 0;
}

bool Has(const std::string& text, const std::string& line) { return text.find("\n" + line + "\n") != std::string::npos; }

TEST(RcServerMetrics, StoreCountsAreReadOneAtATimeAndAFailedReadKeepsTheLastOnes) {
    zqtest::TempDir dir;
    CCountedStore store;
    std::string err;
    ASSERT_EQ(store.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
    CRcStoreWorker reader(store);
    ASSERT_EQ(reader.Start(err), 0) << err;
    rc_counts_t counts;
    CRcDedup dedup;
    ASSERT_EQ(dedup.Open(0, 65536, err), 0) << err;
    CRcRemovalTokens tokens(300);
    CRcServerMetrics metrics(counts, dedup, tokens, [] { return rc_open_conns_t(); });
    EXPECT_TRUE(Has(metrics.Text(), "zq_rcenter_store_resources 0")) << "a gauge before the first read";

    store.resources = 7;
    metrics.RefreshStore(reader);
    metrics.RefreshStore(reader);
    EXPECT_EQ(reader.GetInFlight(), 1u) << "a second read while the first is on its way";
    ASSERT_TRUE(RunAll(reader));
    std::string text = metrics.Text();
    EXPECT_TRUE(Has(text, "zq_rcenter_store_resources 7")) << text;
    EXPECT_TRUE(Has(text, "zq_rcenter_store_locations 14")) << text;

    store.fail = true;
    metrics.RefreshStore(reader);
    ASSERT_TRUE(RunAll(reader));
    text = metrics.Text();
    EXPECT_TRUE(Has(text, "zq_rcenter_store_resources 7")) << text;

    store.fail = false;
    store.resources = 8;
    metrics.RefreshStore(reader);
    ASSERT_TRUE(RunAll(reader));
    EXPECT_TRUE(Has(metrics.Text(), "zq_rcenter_store_resources 8")) << "reads go on after a failure";
    reader.Stop();
}

}  // namespace
