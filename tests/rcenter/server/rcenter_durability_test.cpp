// The store is the truth: a server killed with SIGKILL under concurrent
// load has stored every report it answered "accepted", whole and once, and
// after a restart it still knows them, with its cache segment kept, removed
// (as after a reboot) or too small to hold them all. zq_lookup reads the
// store while the server writes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "rc_record_format.h"
#include "rc_sqlite_store.h"
#include "rcenter_test_util.h"

namespace {

using rctest::Answer;
using rctest::MakeInfo;
using rctest::Server;

// The cache holds about 740 keys in its smallest segment; more reports than
// that are answered "already known" after a restart only through the store.
int AcceptedBeforeKill() { return zqtest::UnderSanitizers() ? 300 : 900; }

void InfoFor(RSInfo& info, uint32 seed) { MakeInfo(info, 1000 + seed, seed); }

std::string RequestFor(uint32 seed, uint32 seq) {
    RSInfo info;
    InfoFor(info, seed);
    return rctest::RequestOf(info, seq);
}

// Clients, each on its own connection, sending distinct reports one after
// another until told to stop or the connection breaks; the seeds answered
// "accepted" are collected.
class Load {
public:
    Load(unsigned short port, int clients) {
        for (int c = 0; c < clients; ++c) m_threads.emplace_back([this, port, c] { Client(port, c); });
    }
    ~Load() { Join(); }
    void Join() {
        m_stop = true;
        for (std::thread& t : m_threads)
            if (t.joinable()) t.join();
    }
    int Accepted() const { return m_count; }
    std::vector<uint32> AcceptedSeeds() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seeds;
    }
    std::string Problem() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_problem;
    }

private:
    void Client(unsigned short port, int c) {
        int fd = zqtest::PlainConnect(port);
        for (uint32 i = 0; fd >= 0 && !m_stop && i < 100000; ++i) {
            uint32 seed = 1000000 * (c + 1) + i;
            if (!zqtest::SendAll(fd, RequestFor(seed, i))) break;
            Answer a = rctest::ReadAnswer(fd);
            if (!a.received) break;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (a.result == RC_RESULT_ACCEPTED) {
                m_seeds.push_back(seed);
                ++m_count;
            } else if (m_problem.empty()) {
                m_problem = "seed " + std::to_string(seed) + " answered " + std::to_string(a.result) + "/" +
                            std::to_string(a.err);
            }
        }
        if (fd >= 0) close(fd);
    }

    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::mutex m_mutex;
    std::vector<uint32> m_seeds;
    std::string m_problem;
};

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The answers to all the seeds, sent back to back on one connection.
std::vector<Answer> SendAgain(unsigned short port, const std::vector<uint32>& seeds) {
    std::string all;
    for (size_t i = 0; i < seeds.size(); ++i) all += RequestFor(seeds[i], static_cast<uint32>(i));
    std::vector<Answer> answers;
    int fd = zqtest::PlainConnect(port);
    if (fd >= 0 && zqtest::SendAll(fd, all)) {
        for (size_t i = 0; i < seeds.size(); ++i) answers.push_back(rctest::ReadAnswer(fd));
    }
    if (fd >= 0) close(fd);
    return answers;
}

void ExpectAllKnown(unsigned short port, const std::vector<uint32>& seeds, const char* when) {
    std::vector<Answer> answers = SendAgain(port, seeds);
    ASSERT_EQ(answers.size(), seeds.size()) << when;
    int known = 0;
    for (const Answer& a : answers) known += a.received && a.result == RC_RESULT_KNOWN && a.err == 0;
    EXPECT_EQ(known, static_cast<int>(seeds.size())) << when;
}

TEST(RcenterKilled, EveryAcceptedReportIsStoredWholeOnceAndKnownAfterRestartsWithOrWithoutTheSegment) {
    rctest::SegmentKey key;
    ASSERT_NE(key.Key(), 0);
    std::string config = key.Config() + "shm_size: 65536\n";
    zqtest::TempDir dir;
    std::vector<uint32> accepted;
    {
        Server server(dir.path());
        ASSERT_TRUE(server.Start(config));
        Load load(server.Port(), 16);
        ASSERT_TRUE(WaitFor([&] { return load.Accepted() >= AcceptedBeforeKill(); }, 120000)) << load.Accepted();
        EXPECT_EQ(server.Stop(SIGKILL).term_signal, SIGKILL);
        load.Join();
        accepted = load.AcceptedSeeds();
        EXPECT_EQ(load.Problem(), "");
    }

    CRcSqliteStore store;
    std::string err;
    ASSERT_EQ(store.Open(dir.file("data/rcenter.db"), RC_STORE_READ, err), 0) << err;
    for (uint32 seed : accepted) {
        RSInfo info;
        InfoFor(info, seed);
        std::vector<rc_resource_t> found;
        ASSERT_EQ(store.FindFid(info.FID, found, err), 0) << err;
        ASSERT_EQ(found.size(), 1u) << "seed " << seed;
        EXPECT_EQ(found[0].Count, 1u);
        ASSERT_EQ(found[0].Locations.size(), 1u);
        EXPECT_EQ(found[0].Locations[0].Url, info.Url);
        EXPECT_EQ(found[0].Size, info.Size);
        EXPECT_EQ(found[0].Hash, info.Hash);
        EXPECT_EQ(std::string(found[0].Tpt.begin(), found[0].Tpt.end()),
                  std::string(reinterpret_cast<const char*>(info.TptFile.GetBegPnt()), info.TptFile.GetDataLen()));
    }
    store.Close();

    {
        Server restarted(dir.path());
        ASSERT_TRUE(restarted.Start(config));
        ExpectAllKnown(restarted.Port(), accepted, "after a restart with the segment");
        EXPECT_EQ(restarted.Stop(SIGKILL).term_signal, SIGKILL);
    }
    int id = shmget(key.Key(), 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(shmctl(id, IPC_RMID, nullptr), 0);
    Server rebooted(dir.path());
    ASSERT_TRUE(rebooted.Start(config));
    ExpectAllKnown(rebooted.Port(), accepted, "after the segment was removed");
    EXPECT_EQ(rebooted.Stop().exit_code, 0);
    // Nothing was stored twice along the way: one location per resource.
    ASSERT_EQ(store.Open(dir.file("data/rcenter.db"), RC_STORE_READ, err), 0) << err;
    rc_store_counts_t counts;
    ASSERT_EQ(store.GetCounts(counts, err), 0) << err;
    EXPECT_GE(counts.Resources, accepted.size());
    EXPECT_EQ(counts.Locations, counts.Resources);
}

TEST(RcenterLookupWhileServing, ZqLookupReadsEveryRecordWhileTheServerWrites) {
    Server server;
    ASSERT_TRUE(server.Start());
    Load load(server.Port(), 8);
    int reads = 0;
    for (int i = 0; i < 30 && (reads < 5 || load.Accepted() < 50); ++i) {
        zqtest::ProcessResult r =
            zqtest::RunProcess(zqtest::BinPath("zq_lookup"), {"--json", "--recent", "3"}, server.Dir());
        ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.exit_code << " " << r.err;
        reads += r.exit_code == 0;
    }
    load.Join();
    EXPECT_GE(reads, 5);
    EXPECT_EQ(load.Problem(), "");
    std::vector<uint32> accepted = load.AcceptedSeeds();
    EXPECT_EQ(rctest::Lines(server.StoredLines()).size(), accepted.size());
    RSInfo last;
    InfoFor(last, accepted.back());
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_lookup"), {last.FID.Hex()}, server.Dir());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("fid: " + last.FID.Hex() + "\n"), std::string::npos) << r.out;
}

}  // namespace
