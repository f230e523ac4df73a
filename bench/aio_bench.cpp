// Loopback request/response rate and bulk throughput through CAioOperator on
// both ends, beside a plain blocking-socket baseline measured in the same run.
// Each connection announces its kind with its first byte: 'E' echoes every
// byte back, 'B' sinks bytes and answers one byte per bulk unit received.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "aio_operator.h"

namespace {

const uint32 kMsgSize = 64;
const uint32 kBulkSize = 4 << 20;
const uint32 kChunkSize = 256 << 10;
const uint32 kReadBufSize = 512 << 10;
const uint32 kTableSize = 256;
const auto kStallLimit = std::chrono::seconds(10);

enum { MODE_UNKNOWN = 0, MODE_ECHO = 1, MODE_SINK = 2 };

CInetAddr Loopback(uint16 port) { return CInetAddr("127.0.0.1", port); }

uint16 LocalPort(int fd) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    memset(&addr, 0, sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, char* data, size_t size) {
    while (size > 0) {
        ssize_t n = recv(fd, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// ---- the operator's side ----

class CServerHandler : public CAioEvtHandler {
public:
    CAioOperator* m_pOp = nullptr;

    sint32 OnTcpConnOut(CFdContext*, bool) override { return 0; }
    sint32 OnTcpRead(CFdContext* ctx, char* data, uint32 size, uint32& parsed) override {
        uint32 pos = 0;
        if (ctx->GetContType() == MODE_UNKNOWN) {
            ctx->SetContType(data[0] == 'E' ? MODE_ECHO : MODE_SINK);
            pos = 1;
        }
        if (ctx->GetContType() == MODE_ECHO) {
            if (size > pos) m_pOp->TcpSend(ctx->GetFd(), data + pos, size - pos);
        } else {
            uint32 count = ctx->GetExtend() + (size - pos);
            for (; count >= kBulkSize; count -= kBulkSize) m_pOp->TcpSend(ctx->GetFd(), "k", 1);
            ctx->SetExtend(count);
        }
        parsed = size;
        return 0;
    }
    sint32 OnTcpWrote(CFdContext*, void*, const char*, uint32, sint32) override { return 0; }
    sint32 OnUdpRead(CFdContext*, char*, uint32, const CInetAddr&) override { return 0; }
    sint32 OnFdClosed(CFdContext*) override { return 0; }
};

class CAioServer {
public:
    bool Start() {
        m_handler.m_pOp = &m_op;
        if (m_op.InitMaxFdNum(kTableSize, kReadBufSize) != 0 || m_op.CreateEpoll() != 0) return false;
        int fd = m_op.AddTcpListenSock(Loopback(0));
        if (fd < 0) return false;
        m_port = LocalPort(fd);
        m_thread = std::thread([this] {
            while (!m_stop) m_op.OnRun();
        });
        return true;
    }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    uint16 Port() const { return m_port; }

private:
    CServerHandler m_handler;
    CAioOperator m_op{m_handler};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    uint16 m_port = 0;
};

class CClientHandler : public CAioEvtHandler {
public:
    bool m_bConnected = false;
    bool m_bFailed = false;
    uint64 m_iReceived = 0;

    sint32 OnTcpConnOut(CFdContext*, bool ok) override {
        m_bConnected = ok;
        m_bFailed = !ok;
        return 0;
    }
    sint32 OnTcpRead(CFdContext*, char*, uint32 size, uint32& parsed) override {
        m_iReceived += size;
        parsed = size;
        return 0;
    }
    sint32 OnTcpWrote(CFdContext*, void*, const char*, uint32, sint32) override { return 0; }
    sint32 OnUdpRead(CFdContext*, char*, uint32, const CInetAddr&) override { return 0; }
    sint32 OnFdClosed(CFdContext*) override {
        m_bFailed = true;
        return 0;
    }
};

// One client connection through its own operator, driven on the benchmark thread.
class CAioClient {
public:
    bool Open(uint16 port, char mode) {
        if (m_op.InitMaxFdNum(kTableSize, kReadBufSize) != 0 || m_op.CreateEpoll() != 0) return false;
        m_fd = m_op.Connect(Loopback(port));
        if (m_fd < 0) return false;
        if (m_op.GetFdContext(m_fd)->GetFdType() == FD_TYPE_TCP_CONNECTED) m_handler.m_bConnected = true;
        if (!TurnUntil([this] { return m_handler.m_bConnected; })) return false;
        return m_op.TcpSend(m_fd, &mode, 1) == 0;
    }
    void Close() {
        if (m_fd >= 0) m_op.CloseSocket(m_fd);
        m_fd = -1;
    }
    // Turns the operator until done; false when the connection failed or stalled.
    template <class Pred>
    bool TurnUntil(Pred done) {
        auto start = std::chrono::steady_clock::now();
        for (uint32 turn = 0; !done(); ++turn) {
            if (m_handler.m_bFailed) return false;
            if ((turn & 1023) == 0 && std::chrono::steady_clock::now() - start > kStallLimit) return false;
            m_op.OnRun();
        }
        return true;
    }
    CAioOperator& Op() { return m_op; }
    CClientHandler& Handler() { return m_handler; }
    int Fd() const { return m_fd; }

private:
    CClientHandler m_handler;
    CAioOperator m_op{m_handler};
    int m_fd = -1;
};

// ---- the plain blocking baseline ----

class CPlainServer {
public:
    bool Start() {
        m_listenFd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        CInetAddr addr = Loopback(0);
        if (bind(m_listenFd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0 ||
            listen(m_listenFd, 16) != 0)
            return false;
        m_port = LocalPort(m_listenFd);
        m_acceptor = std::thread([this] { AcceptLoop(); });
        return true;
    }
    void Stop() {
        m_stop = true;
        if (m_acceptor.joinable()) m_acceptor.join();
        for (std::thread& t : m_workers) t.join();
        close(m_listenFd);
    }
    uint16 Port() const { return m_port; }

private:
    void AcceptLoop() {
        while (!m_stop) {
            pollfd p = {m_listenFd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int fd = accept(m_listenFd, nullptr, nullptr);
            if (fd < 0) continue;
            m_workers.emplace_back([fd] { Serve(fd); });
        }
    }
    // Ends when the client closes its side.
    static void Serve(int fd) {
        std::vector<char> buf(kReadBufSize);
        char mode = 0;
        if (!RecvAll(fd, &mode, 1)) {
            close(fd);
            return;
        }
        uint64 count = 0;
        for (;;) {
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) break;
            if (mode == 'E') {
                if (!SendAll(fd, buf.data(), static_cast<size_t>(n))) break;
            } else {
                for (count += static_cast<uint64>(n); count >= kBulkSize; count -= kBulkSize) SendAll(fd, "k", 1);
            }
        }
        close(fd);
    }

    int m_listenFd = -1;
    uint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
};

int PlainClient(uint16 port, char mode) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    CInetAddr addr = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0) {
        close(fd);
        return -1;
    }
    if (!SendAll(fd, &mode, 1)) {
        close(fd);
        return -1;
    }
    return fd;
}

CAioServer g_aioServer;
CPlainServer g_plainServer;

// ---- the benchmarks ----

void BM_RoundTrip_Plain(benchmark::State& state) {
    int fd = PlainClient(g_plainServer.Port(), 'E');
    if (fd < 0) {
        state.SkipWithError("connect failed");
        return;
    }
    char msg[kMsgSize];
    memset(msg, 'x', sizeof(msg));
    char reply[kMsgSize];
    for (auto _ : state) {
        if (!SendAll(fd, msg, sizeof(msg)) || !RecvAll(fd, reply, sizeof(reply))) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    close(fd);
}

void BM_RoundTrip_Aio(benchmark::State& state) {
    CAioClient client;
    if (!client.Open(g_aioServer.Port(), 'E')) {
        state.SkipWithError("connect failed");
        return;
    }
    char msg[kMsgSize];
    memset(msg, 'x', sizeof(msg));
    for (auto _ : state) {
        uint64 target = client.Handler().m_iReceived + kMsgSize;
        client.Op().TcpSend(client.Fd(), msg, kMsgSize);
        if (!client.TurnUntil([&] { return client.Handler().m_iReceived >= target; })) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    client.Close();
}

void BM_Bulk_Plain(benchmark::State& state) {
    int fd = PlainClient(g_plainServer.Port(), 'B');
    if (fd < 0) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<char> data(kBulkSize, 'b');
    char ack;
    for (auto _ : state) {
        bool ok = true;
        for (uint32 off = 0; ok && off < kBulkSize; off += kChunkSize) ok = SendAll(fd, data.data() + off, kChunkSize);
        if (!ok || !RecvAll(fd, &ack, 1)) {
            state.SkipWithError("bulk transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBulkSize);
    close(fd);
}

// bRefed: queue the caller's memory without copying instead of copies.
void BulkAio(benchmark::State& state, bool bRefed) {
    CAioClient client;
    if (!client.Open(g_aioServer.Port(), 'B')) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<char> data(kBulkSize, 'b');
    for (auto _ : state) {
        uint64 target = client.Handler().m_iReceived + 1;
        for (uint32 off = 0; off < kBulkSize; off += kChunkSize) {
            if (bRefed) {
                client.Op().TcpSend(client.Fd(), nullptr, data.data() + off, kChunkSize);
            } else {
                client.Op().TcpSend(client.Fd(), data.data() + off, kChunkSize);
            }
        }
        if (!client.TurnUntil([&] { return client.Handler().m_iReceived >= target; })) {
            state.SkipWithError("bulk transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBulkSize);
    client.Close();
}

void BM_Bulk_AioCopied(benchmark::State& state) { BulkAio(state, false); }
void BM_Bulk_AioRefed(benchmark::State& state) { BulkAio(state, true); }

BENCHMARK(BM_RoundTrip_Plain)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RoundTrip_Aio)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Bulk_Plain)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Bulk_AioCopied)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Bulk_AioRefed)->UseRealTime()->MinTime(1.0);

// Prints the console table, then each operator figure against its baseline.
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal, so a saved report stays readable.
    CRatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions the median stands for the benchmark.
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            auto items = run.counters.find("items_per_second");
            auto bytes = run.counters.find("bytes_per_second");
            if (items != run.counters.end()) m_rates[run.run_name.function_name] = items->second.value;
            if (bytes != run.counters.end()) m_rates[run.run_name.function_name] = bytes->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        printf("\nround trips/s: aio %.0f, plain %.0f, aio/plain %.2f\n", Rate("BM_RoundTrip_Aio"),
               Rate("BM_RoundTrip_Plain"), Ratio("BM_RoundTrip_Aio", "BM_RoundTrip_Plain"));
        const double mib = 1024.0 * 1024.0;
        printf("bulk MiB/s: aio copied %.0f, aio referenced %.0f, plain %.0f; copied/plain %.2f, referenced/plain %.2f\n",
               Rate("BM_Bulk_AioCopied") / mib, Rate("BM_Bulk_AioRefed") / mib, Rate("BM_Bulk_Plain") / mib,
               Ratio("BM_Bulk_AioCopied", "BM_Bulk_Plain"), Ratio("BM_Bulk_AioRefed", "BM_Bulk_Plain"));
    }

private:
    double Rate(const std::string& name) const {
        auto it = m_rates.find(name);
        return it == m_rates.end() ? 0.0 : it->second;
    }
    double Ratio(const std::string& ours, const std::string& base) const {
        return Rate(base) > 0 ? Rate(ours) / Rate(base) : 0.0;
    }

    std::map<std::string, double> m_rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!g_aioServer.Start() || !g_plainServer.Start()) {
        fprintf(stderr, "cannot start the loopback servers\n");
        return 1;
    }
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    g_aioServer.Stop();
    g_plainServer.Stop();
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
