// zq_rcenter with 32 concurrent loopback clients, each sending reports one
// after another and waiting for each answer: accepted reports per second of
// distinct reports, and repeats of large resources (8,192 pieces, each
// client its own, interleaved with new small reports so that every commit
// carries the repeats' counts) in reports per second and bytes the server
// wrote per repeat (/proc/<pid>/io). Runs the zq_rcenter built beside this
// program and, when ZQ_RCENTER_BASELINE names another build of it, that one
// too in the same run, then prints the ratios. BENCH_RC_REPORTS sets the
// reports per client (default 40). Every server runs in a fresh temporary
// directory with its default storage paths. When ZQ_BENCH_DB_URL names a
// PostgreSQL database, rounds of one SQLite center, one center on that
// database and two centers sharing it (16 clients each) follow, with
// distinct reports for each run, and their medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rc_record.h"
#include "report_wire.h"
#include "helper.h"
#include "tptFile.h"

namespace {

const int kClients = 32;
const int kIoTimeoutMs = 30000;

// Rounds of baseline then this build, alternating, so a noisy neighbour
// weighs on both alike; the medians are compared.
int Rounds() {
    const char* psz = getenv("BENCH_RC_ROUNDS");
    int n = psz != nullptr ? atoi(psz) : 0;
    return n > 0 && n <= 20 ? n : 3;
}

int ReportsPerClient() {
    const char* psz = getenv("BENCH_RC_REPORTS");
    int n = psz != nullptr ? atoi(psz) : 0;
    return n > 0 ? n : 40;
}

// A consistent report for a made-up file of the given seed; a large one
// has the most pieces a table holds.
std::string RequestFor(uint32 seed, bool bLarge = false) {
    RSInfo info;
    uint64 size = bLarge ? 8192ull * 1024 * 1024 + seed : 100000 + static_cast<uint64>(seed) * 13;
    unsigned int piece = CHelper::GetDefaultPieceSize(size);
    int count = static_cast<int>((size + piece - 1) / piece);
    std::vector<unsigned char> digests(static_cast<size_t>(count) * 16);
    for (size_t i = 0; i < digests.size(); ++i) digests[i] = static_cast<unsigned char>((seed * 2654435761u + i * 40503u) >> 7);
    unsigned char sha1[20];
    for (int i = 0; i < 20; ++i) sha1[i] = static_cast<unsigned char>(seed + i * 7);
    info.Hash = Sha1Hash(sha1, 20);
    info.Size = size;
    info.TptFile.Makeup(size, count, static_cast<unsigned short>(piece >> 10), digests.data(), info.Hash);
    CreateFid(info.FID, size, count, digests.data());
    CreateSid(info.SID, size, count, digests.data());
    info.FileName = "bench" + std::to_string(seed) + ".bin";
    info.ExtName = "bin";
    info.Url = "http://downloads.example.com/" + info.FileName;
    info.Ref = ZQ_RC_REFERRER_URL;
    DataBuf body;
    zq_head_t head;
    if (!pack_rc_request(info, seed, body, head)) return std::string();
    return std::string(reinterpret_cast<const char*>(&head), sizeof(head)) +
           std::string(reinterpret_cast<const char*>(body.GetBegPnt()), body.GetDataLen());
}

// A zq_rcenter process in its own temporary directory.
class ServerRun {
public:
    explicit ServerRun(const std::string& bin, const std::string& strExtraConfig = "") {
        char tmpl[] = "/tmp/zqrcbench.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return;
        m_dir = tmpl;
        FILE* p = fopen((m_dir + "/rcenter.conf").c_str(), "w");
        if (p == nullptr) return;
        fputs((strExtraConfig + "max_fd_num: 256\nshm_size: 16777216\n").c_str(), p);
        fclose(p);
        int fds[2];
        if (pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            close(fds[0]);
            if (chdir(m_dir.c_str()) == 0) execl(bin.c_str(), bin.c_str(), "rcenter.conf", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string out;
        pollfd pfd = {fds[0], POLLIN, 0};
        while (out.find('\n') == std::string::npos && poll(&pfd, 1, kIoTimeoutMs) > 0) {
            char buf[256];
            ssize_t n = read(fds[0], buf, sizeof(buf));
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
        std::string::size_type colon = out.rfind(':');
        if (out.rfind("listening on ", 0) == 0 && colon != std::string::npos) m_port = atoi(out.c_str() + colon + 1);
    }
    ~ServerRun() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 1000 && waitpid(m_pid, &status, WNOHANG) == 0; ++i) usleep(10000);
            if (waitpid(m_pid, &status, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
        }
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir);
    }
    int Port() const { return m_port; }
    // What /proc/<pid>/io says the server wrote: to storage, and to write calls.
    bool Written(unsigned long long& iStorage, unsigned long long& iCalls) const {
        FILE* p = fopen(("/proc/" + std::to_string(m_pid) + "/io").c_str(), "r");
        if (p == nullptr) return false;
        char line[128];
        int found = 0;
        while (fgets(line, sizeof(line), p) != nullptr) {
            if (sscanf(line, "write_bytes: %llu", &iStorage) == 1) ++found;
            if (sscanf(line, "wchar: %llu", &iCalls) == 1) ++found;
        }
        fclose(p);
        return found == 2;
    }

private:
    std::string m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

bool SendAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The dwResult of one answer, or -1.
int ReadResult(int fd) {
    unsigned char buf[48];
    size_t got = 0;
    while (got < sizeof(buf)) {
        ssize_t n = recv(fd, buf + got, sizeof(buf) - got, 0);
        if (n <= 0) return -1;
        got += static_cast<size_t>(n);
    }
    return (buf[40] << 24) | (buf[41] << 16) | (buf[42] << 8) | buf[43];
}

// One client: its own connection, its reports one at a time; pAccepted
// counts answers 0 (accepted) and, with bKnownToo, 1 (already known).
void Client(int port, const std::vector<std::string>* pRequests, std::atomic<int>* pAccepted, bool bKnownToo) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv = {kIoTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        for (const std::string& req : *pRequests) {
            if (!SendAll(fd, req)) break;
            int result = ReadResult(fd);
            if (result < 0) break;
            if (result == 0 || (bKnownToo && result == 1)) ++*pAccepted;
        }
    }
    close(fd);
}

// Per build (0 baseline, 1 this one), one figure per round.
std::vector<double> g_reportsPerSecond[2];

void BM_AcceptedReports(benchmark::State& state, std::string bin, int slot) {
    int per = ReportsPerClient();
    std::vector<std::vector<std::string> > requests(kClients);
    for (int c = 0; c < kClients; ++c) {
        for (int i = 0; i < per; ++i) requests[c].push_back(RequestFor(static_cast<uint32>(c * per + i + 1)));
    }
    for (auto _ : state) {
        state.PauseTiming();
        ServerRun server(bin);
        if (server.Port() == 0) {
            state.SkipWithError(("cannot start " + bin).c_str());
            break;
        }
        std::atomic<int> accepted{0};
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) clients.emplace_back(Client, server.Port(), &requests[c], &accepted, false);
        for (std::thread& t : clients) t.join();
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        if (accepted.load() != kClients * per) {
            state.SkipWithError(("only " + std::to_string(accepted.load()) + " accepted").c_str());
            break;
        }
        g_reportsPerSecond[slot].push_back(accepted.load() / secs);
        state.counters["reports_per_s"] = g_reportsPerSecond[slot].back();
        state.ResumeTiming();
    }
}

// One SQLite center, one center on the shared database, two centers on it.
std::vector<double> g_sharedPerSecond[3];

// iCenters centers (0: one SQLite center) share the 32 clients. Each run's
// reports are new to the database: seeds above every earlier run's, from
// just above the other benchmarks', so the files (and their piece tables)
// are of the same sizes.
void BM_SharedDatabase(benchmark::State& state, std::string bin, std::string strUrl, int iCenters) {
    int per = ReportsPerClient();
    static uint32 s_iNextSeed = static_cast<uint32>(kClients * per + 1);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::vector<std::string> > requests(kClients);
        for (int c = 0; c < kClients; ++c) {
            for (int i = 0; i < per; ++i) requests[c].push_back(RequestFor(s_iNextSeed++));
        }
        std::vector<std::unique_ptr<ServerRun> > servers;
        for (int i = 0; i < std::max(iCenters, 1); ++i) {
            servers.emplace_back(new ServerRun(bin, iCenters == 0 ? std::string() : "db_url: " + strUrl + "\n"));
            if (servers.back()->Port() == 0) {
                state.SkipWithError(("cannot start " + bin).c_str());
                return;
            }
        }
        std::atomic<int> accepted{0};
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c)
            clients.emplace_back(Client, servers[c % servers.size()]->Port(), &requests[c], &accepted, false);
        for (std::thread& t : clients) t.join();
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        if (accepted.load() != kClients * per) {
            state.SkipWithError(("only " + std::to_string(accepted.load()) + " accepted").c_str());
            return;
        }
        g_sharedPerSecond[iCenters].push_back(accepted.load() / secs);
        state.counters["reports_per_s"] = g_sharedPerSecond[iCenters].back();
        state.ResumeTiming();
    }
}

std::vector<double> g_repeatsPerSecond[2];
std::vector<double> g_bytesPerRepeat[2];
std::vector<double> g_storageBytesPerRepeat[2];

void BM_LargeRepeats(benchmark::State& state, std::string bin, int slot) {
    int per = ReportsPerClient();
    std::vector<std::vector<std::string> > seeds(kClients), requests(kClients);
    for (int c = 0; c < kClients; ++c) {
        const std::string large = RequestFor(static_cast<uint32>(c + 1), true);
        seeds[c].push_back(large);
        for (int i = 0; i < per; ++i) {
            requests[c].push_back(large);
            requests[c].push_back(RequestFor(static_cast<uint32>(100000 + c * per + i)));
        }
    }
    for (auto _ : state) {
        state.PauseTiming();
        ServerRun server(bin);
        if (server.Port() == 0) {
            state.SkipWithError(("cannot start " + bin).c_str());
            break;
        }
        std::atomic<int> seeded{0};
        {
            std::vector<std::thread> clients;
            for (int c = 0; c < kClients; ++c) clients.emplace_back(Client, server.Port(), &seeds[c], &seeded, false);
            for (std::thread& t : clients) t.join();
        }
        // The seeds' own commits are not the repeats'.
        usleep(200 * 1000);
        unsigned long long iStorage0 = 0, iCalls0 = 0, iStorage1 = 0, iCalls1 = 0;
        const bool bIo = server.Written(iStorage0, iCalls0);
        std::atomic<int> answered{0};
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) clients.emplace_back(Client, server.Port(), &requests[c], &answered, true);
        for (std::thread& t : clients) t.join();
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        if (seeded.load() != kClients || answered.load() != 2 * kClients * per) {
            state.SkipWithError(("only " + std::to_string(answered.load()) + " answered").c_str());
            break;
        }
        const double repeats = static_cast<double>(kClients) * per;
        g_repeatsPerSecond[slot].push_back(answered.load() / secs);
        if (bIo && server.Written(iStorage1, iCalls1)) {
            g_bytesPerRepeat[slot].push_back(static_cast<double>(iCalls1 - iCalls0) / repeats);
            g_storageBytesPerRepeat[slot].push_back(static_cast<double>(iStorage1 - iStorage0) / repeats);
        }
        state.counters["reports_per_s"] = g_repeatsPerSecond[slot].back();
        state.ResumeTiming();
    }
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void Register(const std::string& name, void (*fn)(benchmark::State&, std::string, int), const std::string& bin,
              int slot) {
    benchmark::RegisterBenchmark(name.c_str(), fn, bin, slot)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

std::string BesideSelf(const std::string& name) {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return name;
    buf[n] = '\0';
    return std::filesystem::path(buf).parent_path().string() + "/" + name;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const char* pszBaseline = getenv("ZQ_RCENTER_BASELINE");
    const bool bBaseline = pszBaseline != nullptr && *pszBaseline != '\0';
    if (!bBaseline) printf("(ZQ_RCENTER_BASELINE not set: no baseline run)\n");
    const std::string strSelf = BesideSelf("zq_rcenter");
    for (int r = 0; r < Rounds(); ++r) {
        const std::string strRound = "/round:" + std::to_string(r + 1);
        if (bBaseline) Register("rcenter_32_clients/baseline" + strRound, BM_AcceptedReports, pszBaseline, 0);
        Register("rcenter_32_clients/this_build" + strRound, BM_AcceptedReports, strSelf, 1);
    }
    for (int r = 0; r < Rounds(); ++r) {
        const std::string strRound = "/round:" + std::to_string(r + 1);
        if (bBaseline) Register("rcenter_large_repeats/baseline" + strRound, BM_LargeRepeats, pszBaseline, 0);
        Register("rcenter_large_repeats/this_build" + strRound, BM_LargeRepeats, strSelf, 1);
    }
    const char* pszDbUrl = getenv("ZQ_BENCH_DB_URL");
    if (pszDbUrl != nullptr && *pszDbUrl != '\0') {
        static const char* const kNames[] = {"sqlite_one_center", "postgresql_one_center", "postgresql_two_centers"};
        for (int r = 0; r < Rounds(); ++r)
            for (int iCenters = 0; iCenters <= 2; ++iCenters)
                benchmark::RegisterBenchmark(("rcenter_shared/" + std::string(kNames[iCenters]) + "/round:" +
                                              std::to_string(r + 1))
                                                 .c_str(),
                                             BM_SharedDatabase, strSelf, std::string(pszDbUrl), iCenters)
                    ->Iterations(1)
                    ->UseRealTime()
                    ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The ratio of each round, baseline and this build run one after the
    // other, then the median of those.
    auto ratio = [](const std::vector<double>& base, const std::vector<double>& self) {
        std::vector<double> ratios;
        for (size_t i = 0; i < base.size() && i < self.size(); ++i)
            if (base[i] > 0) ratios.push_back(self[i] / base[i]);
        return Median(ratios);
    };
    const double a0 = Median(g_reportsPerSecond[0]), a1 = Median(g_reportsPerSecond[1]);
    if (a0 > 0 && a1 > 0)
        printf("accepted reports per second, 32 clients, medians of %d rounds: baseline %.0f, this build %.0f; "
               "median ratio of the rounds %.2f\n",
               Rounds(), a0, a1, ratio(g_reportsPerSecond[0], g_reportsPerSecond[1]));
    const double r0 = Median(g_repeatsPerSecond[0]), r1 = Median(g_repeatsPerSecond[1]);
    if (r0 > 0 && r1 > 0) {
        printf("large repeats with new reports, 32 clients, medians: reports per second baseline %.0f, this build "
               "%.0f; median ratio of the rounds %.2f\n",
               r0, r1, ratio(g_repeatsPerSecond[0], g_repeatsPerSecond[1]));
        printf("bytes written per repeat (write calls / to storage): baseline %.0f / %.0f, this build %.0f / %.0f\n",
               Median(g_bytesPerRepeat[0]), Median(g_storageBytesPerRepeat[0]), Median(g_bytesPerRepeat[1]),
               Median(g_storageBytesPerRepeat[1]));
    }
    // Machine-readable, for scripts/bench_postgres.sh to set beside pgbench.
    if (!g_sharedPerSecond[0].empty() && !g_sharedPerSecond[1].empty() && !g_sharedPerSecond[2].empty())
        printf("rates: sqlite_one_center=%.0f postgresql_one_center=%.0f postgresql_two_centers=%.0f\n",
               Median(g_sharedPerSecond[0]), Median(g_sharedPerSecond[1]), Median(g_sharedPerSecond[2]));
    return 0;
}
