// The API's look-ups and its lists run on threads of their own: a look-up
// is answered while a list still holds its thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "deadline.h"
#include "files.h"
#include "net.h"
#include "rc_dedup.h"
#include "rc_http_api.h"
#include "rc_removal_tokens.h"
#include "rc_server_metrics.h"
#include "rc_sqlite_store.h"
#include "rc_write_path.h"
#include "rcenter_test_util.h"

namespace {

// A store whose listings wait until the test lets them go.
class CHeldStore : public CRcSqliteStore {
public:
    int ListRecent(uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut, uint64& iNext,
                   std::string& strError) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_held.wait(lock, [this] { return m_bRelease; });
        return CRcSqliteStore::ListRecent(iLimit, iAfter, oOut, iNext, strError);
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bRelease = true;
        m_held.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_held;
    bool m_bRelease = false;
};

TEST(HttpApiThreads, LookUpsAndStatisticsAreAnsweredWhileAListHoldsItsThread) {
    zqtest::TempDir dir;
    std::string err;
    CRcSqliteStore writer;
    ASSERT_EQ(writer.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
    rctest::Sent one = rctest::Report(4);
    rc_store_batch_t batch;
    rc_store_report_t item;
    item.Resource = one.res;
    item.Where = one.where;
    item.Now = 1000;
    batch.Reports.push_back(item);
    std::vector<rc_report_outcome_t> outcomes;
    ASSERT_EQ(writer.Commit(batch, outcomes, err), 0) << err;

    CRcSqliteStore readStore;
    CHeldStore searchStore;
    ASSERT_EQ(readStore.Open(dir.file("rc.db"), RC_STORE_READ, err), 0) << err;
    ASSERT_EQ(searchStore.Open(dir.file("rc.db"), RC_STORE_READ, err), 0) << err;
    CRcStoreWorker reader(readStore), searcher(searchStore), writing(writer);
    ASSERT_EQ(reader.Start(err), 0) << err;
    ASSERT_EQ(searcher.Start(err), 0) << err;
    rc_counts_t counts;
    CRcDedup dedup;
    ASSERT_EQ(dedup.Open(0, 1u << 20, err), 0) << err;
    CRcRemovalTokens tokens(300);
    CRcServerMetrics metrics(counts, dedup, tokens, [] { return rc_open_conns_t(); });
    CRcWritePath path(writing, dedup, counts);
    CRcHttpApi api(reader, searcher, path, counts, metrics);

    bool listed = false, found = false;
    rc_list_request_t list;
    api.List(list, [&](const rc_http_reply_t& r) { listed = r.Status == 200; });
    rc_http_page_t page;
    api.Lookup(one.res.FID.Hex(), page, [&](const rc_http_reply_t& r) { found = r.Status == 200; });
    // A look-up by SHA-1 is a list of one kind, and a look-up all the same.
    bool hashed = false;
    rc_list_request_t byHash;
    byHash.Kind = RC_LIST_HASH;
    byHash.Text = one.res.Hash.Hex();
    api.List(byHash, [&](const rc_http_reply_t& r) { hashed = r.Status == 200; });
    zqtest::Deadline deadline(5000);
    while (!(found && hashed) && !deadline.Passed()) {
        if (zqtest::WaitReadable(reader.GetNotifyFd(), deadline.MsLeft())) reader.RunCompletions();
    }
    EXPECT_TRUE(found);
    EXPECT_TRUE(hashed);
    EXPECT_FALSE(listed);
    // Once the loop holds the store's counts, the statistics are answered
    // from them at once: no store thread is asked.
    ASSERT_TRUE(metrics.RefreshStore(reader));
    rc_store_counts_t stored;
    while (!metrics.StoreCounts(stored) && !deadline.Passed()) {
        if (zqtest::WaitReadable(reader.GetNotifyFd(), deadline.MsLeft())) reader.RunCompletions();
    }
    std::string stats;
    api.Stats([&](const rc_http_reply_t& r) { stats = r.Body; });
    EXPECT_EQ(stats.find("{\"resources\": 1, \"locations\": 1, \"reports\": 1, "), 0u) << stats;
    searchStore.Release();
    while (!listed && !deadline.Passed()) {
        if (zqtest::WaitReadable(searcher.GetNotifyFd(), deadline.MsLeft())) searcher.RunCompletions();
    }
    EXPECT_TRUE(listed);
    reader.Stop();
    searcher.Stop();
}

}  // namespace
