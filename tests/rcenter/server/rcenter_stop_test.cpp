// What the center owes the reports it has read while its store thread
// works: a stop answers every one, a copy of the store put back is not
// answered from a cache that saw a later state, and a report the store
// cannot write is answered alone, its neighbours in the same turn stored.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "deadline.h"
#include "rc_server.h"
#include "rc_sqlite_store.h"
#include "rcenter_test_util.h"

namespace {

using rctest::Answer;
using rctest::MakeInfo;
using rctest::RequestOf;
using rctest::SegmentKey;
using rctest::Server;

uint32 U(uint32 v) { return v; }

TEST(RcenterStop, SigtermWhileReportsWaitForTheStoreAnswersEveryOne) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo first;
    MakeInfo(first, 5000, 100);
    ASSERT_EQ(rctest::Exchange(server.Port(), RequestOf(first, 1)).result, U(RC_RESULT_ACCEPTED));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(server.File("data/rcenter.db").c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    const int kConns = 4, kEach = 6;
    std::vector<int> fds;
    for (int c = 0; c < kConns; ++c) {
        fds.push_back(zqtest::PlainConnect(server.Port()));
        ASSERT_GE(fds.back(), 0);
        std::string packets;
        for (int i = 0; i < kEach; ++i) {
            RSInfo info;
            MakeInfo(info, 5000 + c * 100 + i, 200 + c * 10 + i);
            packets += RequestOf(info, static_cast<uint32>(i + 1));
        }
        ASSERT_TRUE(zqtest::SendAll(fds.back(), packets));
    }
    usleep(300 * 1000);
    ASSERT_TRUE(server.Process().Signal(SIGTERM));
    std::thread release([db] {
        usleep(700 * 1000);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    });
    int answered = 0;
    for (int fd : fds) {
        for (int i = 0; i < kEach; ++i) {
            Answer a = rctest::ReadAnswer(fd);
            if (!a.received) break;
            EXPECT_EQ(a.seq, U(i + 1));
            EXPECT_TRUE(a.result == U(RC_RESULT_ACCEPTED) || a.result == U(RC_RESULT_NOT_STORED)) << a.result;
            ++answered;
        }
        close(fd);
    }
    release.join();
    sqlite3_close(db);
    EXPECT_EQ(answered, kConns * kEach);
    EXPECT_EQ(server.Stop().exit_code, 0);
}

TEST(RcenterDedup, ACopyOfTheStorePutBackIsNotAnsweredFromTheCacheOfALaterState) {
    SegmentKey key;
    ASSERT_NE(key.Key(), 0);
    zqtest::TempDir dir;
    Server server(dir.path());
    ASSERT_TRUE(server.Start(key.Config()));
    EXPECT_EQ(server.Stop().exit_code, 0);
    std::filesystem::copy(dir.file("data"), dir.file("copy"), std::filesystem::copy_options::recursive);

    const uint32 kFiles = 20;
    auto reportAll = [&](uint32 want) {
        for (uint32 i = 0; i < kFiles; ++i) {
            RSInfo info;
            MakeInfo(info, 4000 + i, 300 + i);
            EXPECT_EQ(rctest::Exchange(server.Port(), RequestOf(info, i + 1)).result, U(want)) << i;
        }
    };
    ASSERT_TRUE(server.Start(key.Config()));
    reportAll(RC_RESULT_ACCEPTED);
    EXPECT_EQ(server.Stop().exit_code, 0);
    std::filesystem::remove_all(dir.file("data"));
    std::filesystem::rename(dir.file("copy"), dir.file("data"));

    ASSERT_TRUE(server.Start(key.Config()));
    reportAll(RC_RESULT_ACCEPTED);
    EXPECT_EQ(server.Stop().exit_code, 0);
    EXPECT_EQ(rctest::Lines(server.StoredLines()).size(), kFiles);
}

TEST(RcenterTurn, AReportTheStoreCannotWriteIsNotStoredAloneAndItsNeighboursAre) {
    zqtest::TempDir dir;
    rc_config_t config;
    config.db_path = dir.file("rc.db");
    std::string err;
    CRcSqliteStore store;
    CRcDedup dedup;
    ASSERT_EQ(store.Open(config.db_path, RC_STORE_WRITE, err), 0) << err;
    ASSERT_EQ(dedup.Open(0, 1048576, err), 0) << err;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(config.db_path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON location WHEN NEW.url LIKE '%/refused'"
                           " BEGIN SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    CRcenterServer server(config, store, dedup);
    ASSERT_EQ(server.Start(err), 0) << err;
    int fd = zqtest::PlainConnect(server.GetListenAddr().GetPort());
    ASSERT_GE(fd, 0);
    RSInfo a, bad, c;
    MakeInfo(a, 3000, 1);
    MakeInfo(bad, 3001, 2, "refused");
    MakeInfo(c, 3002, 3);
    // One write: the three are read in one turn and share one commit.
    ASSERT_TRUE(zqtest::SendAll(fd, RequestOf(a, 1) + RequestOf(bad, 2) + RequestOf(c, 3)));
    std::vector<Answer> answers;
    zqtest::Deadline deadline(rctest::kIoTimeoutMs);
    while (answers.size() < 3 && !deadline.Passed()) {
        server.RunOnce();
        if (zqtest::WaitReadable(fd, 0)) answers.push_back(rctest::ReadAnswer(fd, 1000));
    }
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0].result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(answers[1].result, U(RC_RESULT_NOT_STORED));
    EXPECT_NE(answers[1].err, 0u);
    EXPECT_EQ(answers[2].result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(server.GetCounts().NotStored, 1u);
    close(fd);
}

}  // namespace
