// zq_rcenter under load, among hostile clients: thousands of reports from 32
// concurrent clients (some of them the real datareport), with garbage,
// impossible lengths, stalled headers, half bodies cut by a reset, silent
// and empty connections going on at the same time. Every good report is
// answered, each distinct FID is stored exactly once, the hostile
// connections are closed (the silent ones by the inactivity timeout), and
// the server ends with as many descriptors as it started with.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "descriptors.h"
#include "files.h"
#include "net.h"
#include "process.h"
#include "rcenter_test_util.h"
#include "wire.h"

namespace {

using rctest::Answer;
using rctest::ClosedByPeer;
using rctest::Fields;
using rctest::Lines;
using rctest::MakeInfo;
using rctest::ReadAnswer;
using rctest::RequestOf;
using rctest::Server;

const int kInactiveMs = 1000;
// Long enough for an inactivity pass to come round twice, with room for a
// loaded machine.
const int kSilentCloseMs = 4 * kInactiveMs + 5000;

struct LoadPlan {
    int reports;    // good reports in all, the tool's runs included
    int distinct;   // in-process reports cycle over this many FIDs
    int toolRuns;   // of which datareport processes, each a distinct file
    int hostileRounds;
};

// Under the sanitizers every step costs several times more; the counts are
// scaled down there so the test stays well inside its time.
LoadPlan Plan() {
    if (zqtest::UnderSanitizers()) return LoadPlan{600, 450, 6, 3};
    return LoadPlan{2000, 1500, 16, 8};
}

// What the good clients saw, gathered across threads.
struct Tally {
    std::mutex mutex;
    std::map<uint32, int> acceptedBySeed;
    std::atomic<int> answered{0};
    std::atomic<int> known{0};
    std::vector<std::string> problems;

    void Problem(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (problems.size() < 20) problems.push_back(what);
    }
};

std::string RequestForSeed(uint32 seed, uint32 seq) {
    RSInfo info;
    MakeInfo(info, 500 + seed * 7, 10000 + seed);
    return RequestOf(info, seq);
}

std::string FidForSeed(uint32 seed) {
    RSInfo info;
    MakeInfo(info, 500 + seed * 7, 10000 + seed);
    return info.FID.Hex();
}

void CountAnswer(Tally& tally, const Answer& a, uint32 seed, uint32 seq) {
    if (!a.received) {
        tally.Problem("report of seed " + std::to_string(seed) + " not answered");
        return;
    }
    if (a.seq != seq) tally.Problem("answer for seq " + std::to_string(a.seq) + ", want " + std::to_string(seq));
    ++tally.answered;
    if (a.result == RC_RESULT_ACCEPTED) {
        std::lock_guard<std::mutex> lock(tally.mutex);
        ++tally.acceptedBySeed[seed];
    } else if (a.result == RC_RESULT_KNOWN) {
        ++tally.known;
    } else {
        tally.Problem("seed " + std::to_string(seed) + ": result " + std::to_string(a.result) + ", errno " +
                      std::to_string(a.err));
    }
}

// One good client: its share of the seeds, alternately one report per
// connection and a few pipelined on one connection.
void GoodClient(unsigned short port, const std::vector<uint32>& seeds, Tally& tally) {
    size_t i = 0;
    bool pipelined = false;
    while (i < seeds.size()) {
        size_t batch = pipelined ? std::min<size_t>(4, seeds.size() - i) : 1;
        pipelined = !pipelined;
        int fd = zqtest::PlainConnect(port);
        if (fd < 0) {
            tally.Problem("connect failed");
            i += batch;
            continue;
        }
        std::string bytes;
        for (size_t k = 0; k < batch; ++k) bytes += RequestForSeed(seeds[i + k], static_cast<uint32>(i + k + 1));
        if (!zqtest::SendAll(fd, bytes)) tally.Problem("send failed");
        for (size_t k = 0; k < batch; ++k)
            CountAnswer(tally, ReadAnswer(fd), seeds[i + k], static_cast<uint32>(i + k + 1));
        close(fd);
        i += batch;
    }
}

// The hostile kinds, each ending with the server having closed the
// connection (or the client having gone); failures are collected.
void HostileClient(unsigned short port, int kind, int rounds, uint32 seed, Tally& tally) {
    std::mt19937 rng(seed);
    for (int round = 0; round < rounds; ++round) {
        int fd = zqtest::PlainConnect(port);
        if (fd < 0) {
            tally.Problem("hostile connect failed");
            continue;
        }
        std::string name;
        bool expectClose = true;
        int waitMs = 5000;
        switch (kind) {
            case 0: {  // random garbage: closed at once, or by the timeout when it framed a plausible length
                name = "garbage";
                std::string junk(64 + rng() % 512, '\0');
                for (char& c : junk) c = static_cast<char>(rng());
                zqtest::SendAll(fd, junk);
                waitMs = kSilentCloseMs;
                break;
            }
            case 1:  // a length field of 4 GiB - 1
                name = "4 GiB length";
                zqtest::SendAll(fd, zqtest::PacketHead(0xFFFFFFFFu, RC_CMD_REPORT));
                break;
            case 2:  // a header announcing a body that never comes
                name = "header then silence";
                zqtest::SendAll(fd, zqtest::PacketHead(1000, RC_CMD_REPORT));
                waitMs = kSilentCloseMs;
                break;
            case 3: {  // half a good request, then a reset
                name = "half body then reset";
                std::string req = RequestForSeed(900000 + seed + round, 1);
                zqtest::SendAll(fd, req.substr(0, req.size() / 2));
                zqtest::CloseWithReset(fd);
                fd = -1;
                expectClose = false;
                break;
            }
            case 4:  // connects and says nothing
                name = "silent";
                waitMs = kSilentCloseMs;
                break;
            default:  // connect and close
                name = "connect and close";
                close(fd);
                fd = -1;
                expectClose = false;
                break;
        }
        if (expectClose && !ClosedByPeer(fd, waitMs)) tally.Problem(name + " connection left open");
        if (fd >= 0) close(fd);
    }
}

// The tool on a file of its own; returns the file's FID (empty on failure).
std::string ToolRun(unsigned short port, int index, Tally& tally) {
    zqtest::TempDir dir;
    std::string name = "load" + std::to_string(index) + ".bin";
    zqtest::WriteFile(dir.file(name), zqtest::PatternBytes(3000 + 1000 * index, 777 + index));
    zqtest::WriteFile(dir.file("main.conf"), "file_path: " + dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
                                                 std::to_string(port) + "\ntask_timeout_ms: 20000\n");
    zqtest::ProcessResult r =
        zqtest::RunProcess(zqtest::BinPath("datareport"), {name, "http://example.invalid/" + name}, dir.path(), 60000);
    if (r.exit_code != 0 || r.out.find("rc _response: dwresult=0, dwerrno=0") == std::string::npos) {
        tally.Problem("datareport run " + std::to_string(index) + " exit " + std::to_string(r.exit_code) + ": " +
                      r.out);
        return "";
    }
    ++tally.answered;
    rc_digests_t digests;
    if (compute_rc_digests(dir.file(name), digests, rc_digest_opts(RC_DIGEST_UNTHROTTLED)) != RC_DIGESTS_OK) return "";
    RSInfo info;
    fill_rc_info(digests, name, "http://example.invalid/" + name, info);
    return info.FID.Hex();
}

TEST(RcenterLoad, ReportsAmongHostileClientsAreAllAnsweredAndEachFidStoredOnce) {
    const LoadPlan plan = Plan();
    const int kGoodThreads = 32;
    Server server;
    ASSERT_TRUE(server.Start("max_fd_num: 512\ninactive_timeout_ms: " + std::to_string(kInactiveMs) + "\n"))
        << server.Process().Err();
    const pid_t pid = server.Process().Pid();
    // The statistics log opens with its first line; counted from then on.
    ASSERT_TRUE(zqtest::WaitForFileWithPrefix(server.File("log"), "rcenter_statlog", 10000));
    const int startFds = zqtest::CountOpenFds(pid);
    const std::string startDescription = zqtest::DescribeFds(pid);
    ASSERT_GT(startFds, 0);

    // In-process reports cycle over `distinct` seeds, so the later ones are
    // repeats that must come back "already known".
    const int inProcess = plan.reports - plan.toolRuns;
    std::vector<std::vector<uint32>> shares(kGoodThreads);
    for (int i = 0; i < inProcess; ++i) shares[i % kGoodThreads].push_back(static_cast<uint32>(i % plan.distinct));

    Tally tally;
    std::mutex fidMutex;
    std::set<std::string> toolFids;
    std::vector<std::thread> threads;
    for (int t = 0; t < kGoodThreads; ++t)
        threads.emplace_back([&, t] { GoodClient(server.Port(), shares[t], tally); });
    for (int kind = 0; kind < 6; ++kind)
        threads.emplace_back([&, kind] { HostileClient(server.Port(), kind, plan.hostileRounds, 31 * kind + 1, tally); });
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = w; i < plan.toolRuns; i += 2) {
                std::string fid = ToolRun(server.Port(), i, tally);
                std::lock_guard<std::mutex> lock(fidMutex);
                if (!fid.empty()) toolFids.insert(fid);
            }
        });
    }
    for (std::thread& t : threads) t.join();

    for (const std::string& p : tally.problems) ADD_FAILURE() << p;
    EXPECT_EQ(tally.answered.load(), plan.reports);
    EXPECT_EQ(static_cast<int>(toolFids.size()), plan.toolRuns);
    // Each in-process FID accepted exactly once, whichever client came first.
    EXPECT_EQ(static_cast<int>(tally.acceptedBySeed.size()), plan.distinct);
    for (const auto& seedCount : tally.acceptedBySeed)
        EXPECT_EQ(seedCount.second, 1) << "seed " << seedCount.first;
    EXPECT_EQ(tally.known.load(), inProcess - plan.distinct);

    std::set<std::string> expected = toolFids;
    for (int s = 0; s < plan.distinct; ++s) expected.insert(FidForSeed(static_cast<uint32>(s)));
    std::map<std::string, int> stored;
    for (const std::string& line : Lines(server.StoredLines())) {
        std::string fid;
        for (const auto& field : Fields(line))
            if (field.first == "fid") fid = field.second;
        ++stored[fid];
    }
    EXPECT_EQ(stored.size(), expected.size());
    for (const auto& fidCount : stored) {
        EXPECT_EQ(fidCount.second, 1) << fidCount.first;
        EXPECT_EQ(expected.count(fidCount.first), 1u) << "unexpected stored line for " << fidCount.first;
    }

    int lastFds = -1;
    EXPECT_TRUE(zqtest::WaitForFdCount(pid, startFds, kSilentCloseMs, &lastFds))
        << lastFds << " descriptors open:\n"
        << zqtest::DescribeFds(pid) << startFds << " at start:\n"
        << startDescription;
    ASSERT_TRUE(server.Process().Running());
    RSInfo info;
    MakeInfo(info, 4242, 4242);
    EXPECT_EQ(rctest::Exchange(server.Port(), RequestOf(info, 1)).result, static_cast<uint32>(RC_RESULT_ACCEPTED));
    std::string log = server.ErrLog();
    EXPECT_NE(log.find("invalid packet from 127.0.0.1"), std::string::npos);
    zqtest::ProcessResult stopped = server.Stop();
    EXPECT_EQ(stopped.exit_code, 0);
    EXPECT_EQ(stopped.term_signal, 0);
}

}  // namespace
