// The store thread: jobs run in the order given, off the caller's thread,
// and their completions come back in that order through the eventfd; a stop
// lets what was given run first; and what a store learns beside the loop
// reaches the loop as news; what the store puts off runs while jobs keep
// coming, and all of it once they pause.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "deadline.h"
#include "files.h"
#include "net.h"
#include "rc_sqlite_store.h"
#include "rc_store_worker.h"

namespace {

// A store that hears of a removal elsewhere through its own eventfd.
class CToldStore : public CRcSqliteStore {
public:
    CToldStore() : m_iFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~CToldStore() override { close(m_iFd); }
    int EventFd() const override { return m_iFd; }
    void TakeForgets(std::vector<rc_store_forget_t>& oForgets, bool& bAll) override {
        uint64_t n = 0;
        oForgets.clear();
        bAll = false;
        if (read(m_iFd, &n, sizeof(n)) != sizeof(n)) return;
        rc_store_forget_t oOne;
        oOne.Urls.push_back("http://elsewhere/removed");
        oForgets.push_back(oOne);
    }
    void Tell() {
        uint64_t one = 1;
        ASSERT_EQ(write(m_iFd, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
    }

private:
    int m_iFd;
};

// A store whose jobs put off kShares shares of work; each share records how
// many jobs had run when it went.
class CPuttingOffStore : public CRcSqliteStore {
public:
    static constexpr int kShares = 12;
    int Housekeep(bool& bMore, std::string&) override {
        bMore = false;
        if (jobs == 0) return 0;
        shareAfterJobs.push_back(jobs.load());
        bMore = ++shares < kShares;
        return 0;
    }
    std::atomic<int> jobs{0}, shares{0};
    std::vector<int> shareAfterJobs;  // store thread; read after Stop
};

class StoreWorker : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_EQ(store.Open(dir.file("rc.db"), RC_STORE_WRITE, err), 0) << err;
    }
    // Runs completions as a loop would, until done() or 5 s.
    bool RunUntil(CRcStoreWorker& worker, const std::function<bool()>& done) {
        zqtest::Deadline deadline(5000);
        while (!done() && !deadline.Passed()) {
            if (zqtest::WaitReadable(worker.GetNotifyFd(), deadline.MsLeft())) worker.RunCompletions();
        }
        return done();
    }
    zqtest::TempDir dir;
    CToldStore store;
};

TEST_F(StoreWorker, JobsRunOffTheLoopInOrderAndTheirCompletionsComeBackInOrder) {
    CRcStoreWorker worker(store);
    std::string err;
    ASSERT_EQ(worker.Start(err), 0) << err;
    const std::thread::id loop = std::this_thread::get_id();
    std::vector<int> ran, done;
    std::atomic<bool> offLoop{true};
    for (int i = 0; i < 50; ++i) {
        worker.Submit(
            [&, i](CRcStore&) {
                if (std::this_thread::get_id() == loop) offLoop = false;
                ran.push_back(i);
            },
            [&, i] { done.push_back(i); });
    }
    EXPECT_EQ(worker.GetInFlight(), 50u);
    ASSERT_TRUE(RunUntil(worker, [&] { return done.size() == 50; }));
    EXPECT_TRUE(offLoop);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(done[i], i);
    EXPECT_EQ(ran, done);
    EXPECT_EQ(worker.GetInFlight(), 0u);
}

TEST_F(StoreWorker, AStopLetsTheJobsGivenRunFirst) {
    CRcStoreWorker worker(store);
    std::string err;
    ASSERT_EQ(worker.Start(err), 0) << err;
    int ran = 0;
    for (int i = 0; i < 20; ++i) worker.Submit([&](CRcStore&) { usleep(1000), ++ran; }, nullptr);
    worker.Stop();
    EXPECT_EQ(ran, 20);
    EXPECT_EQ(worker.RunCompletions(), 20u);
}

TEST_F(StoreWorker, WhatTheStoreLearnsBesideTheLoopComesBackAsNews) {
    CRcStoreWorker worker(store);
    std::vector<rc_store_news_t> news;
    worker.SetNewsHandler([&](const rc_store_news_t& n) { news.push_back(n); });
    std::string err;
    ASSERT_EQ(worker.Start(err), 0) << err;
    store.Tell();
    ASSERT_TRUE(RunUntil(worker, [&] { return !news.empty(); }));
    ASSERT_EQ(news[0].Forgets.size(), 1u);
    EXPECT_EQ(news[0].Forgets[0].Urls, std::vector<std::string>{"http://elsewhere/removed"});
    EXPECT_FALSE(news[0].IdentityChanged);
    EXPECT_EQ(worker.GetInFlight(), 0u);
}

TEST_F(StoreWorker, PutOffWorkRunsAmongABusyStreamOfJobsAndAllOfItOnceTheyPause) {
    CPuttingOffStore busy;
    std::string err;
    ASSERT_EQ(busy.Open(dir.file("busy.db"), RC_STORE_WRITE, err), 0) << err;
    CRcStoreWorker worker(busy);
    ASSERT_EQ(worker.Start(err), 0) << err;
    // Queued back to back: a stream with no quiet spell in it.
    const int kJobs = 6 * CRcStoreWorker::HOUSEKEEP_EVERY_JOBS;
    int done = 0;
    for (int i = 0; i < kJobs; ++i) worker.Submit([&](CRcStore&) { ++busy.jobs; }, [&] { ++done; });
    ASSERT_TRUE(RunUntil(worker, [&] { return done == kJobs; }));
    zqtest::Deadline deadline(5000);
    while (busy.shares < CPuttingOffStore::kShares && !deadline.Passed()) usleep(5000);
    worker.Stop();
    std::vector<int> shares = busy.shareAfterJobs;
    int amid = 0;
    for (int after : shares) amid += after > 0 && after < kJobs;
    EXPECT_GE(amid, 4) << "put-off work starved by a steady stream of jobs";
    EXPECT_EQ(static_cast<int>(shares.size()), CPuttingOffStore::kShares) << "not all of it ran once jobs paused";
}

}  // namespace
