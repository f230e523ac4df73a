// Throughput of the digest primitives on 16 KiB and 1 MiB inputs, in bytes per
// second, and the aggregate of the multi-lane MD5 and MD4 at each vector
// level over 16 streams of 256 KiB; then a table that sets each figure beside
// `openssl speed` for the same digest on this machine (single-stream, 1 MiB
// for the lanes; MD4 through OpenSSL's legacy provider). --no_baseline skips
// the OpenSSL runs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "md4_lanes.h"
#include "md4emule.h"
#include "md5.h"
#include "md5_lanes.h"
#include "sha1.h"
#include "simd_level.h"

namespace {

std::vector<unsigned char> MakeInput(size_t len)
{
    std::vector<unsigned char> data(len);
    uint32_t x = 0x12345678u;
    for (size_t i = 0; i < len; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = (unsigned char)(x >> 24);
    }
    return data;
}

void BM_Md4(benchmark::State& state)
{
    std::vector<unsigned char> data = MakeInput((size_t)state.range(0));
    unsigned char digest[16];
    for (auto _ : state) {
        MD4_CTX ctx;
        MD4Init(&ctx);
        MD4Update(&ctx, data.data(), (unsigned int)data.size());
        MD4Final(digest, &ctx);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_Md5(benchmark::State& state)
{
    std::vector<unsigned char> data = MakeInput((size_t)state.range(0));
    unsigned char digest[16];
    for (auto _ : state) {
        md5_t ctx;
        md5_init(&ctx);
        md5_process(&ctx, data.data(), (unsigned int)data.size());
        md5_finish(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void RunSha1(benchmark::State& state, bool portable)
{
    std::vector<unsigned char> data = MakeInput((size_t)state.range(0));
    unsigned char digest[20];
    sha_force_portable(portable ? 1 : 0);
    if (!portable && !sha_accelerated()) {
        state.SkipWithError("no SHA instructions on this processor");
        return;
    }
    for (auto _ : state) {
        SHA_INFO ctx;
        sha_init(&ctx);
        sha_update(&ctx, data.data(), (int)data.size());
        sha_final(digest, &ctx);
        benchmark::DoNotOptimize(digest);
    }
    sha_force_portable(0);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_Sha1(benchmark::State& state) { RunSha1(state, false); }
void BM_Sha1Portable(benchmark::State& state) { RunSha1(state, true); }

const unsigned int kLaneStreams = 16;
const unsigned int kLaneBytes = 256 << 10;

// All streams in one buffer, each starting where the one before ends.
bool LaneSetUp(benchmark::State& state, ESimdLevel level, std::vector<unsigned char>& data,
               std::vector<const unsigned char*>& ptr, std::vector<unsigned int>& len)
{
    if (!SimdSupported(level)) {
        state.SkipWithError("this processor lacks the level");
        return false;
    }
    data = MakeInput((size_t)kLaneStreams * kLaneBytes);
    for (unsigned int i = 0; i < kLaneStreams; ++i) {
        ptr.push_back(data.data() + (size_t)i * kLaneBytes);
        len.push_back(kLaneBytes);
    }
    return true;
}

void BM_Md5Lanes(benchmark::State& state, ESimdLevel level)
{
    std::vector<unsigned char> data;
    std::vector<const unsigned char*> ptr;
    std::vector<unsigned int> len;
    if (!LaneSetUp(state, level, data, ptr, len)) {
        return;
    }
    unsigned char digests[16 * kLaneStreams];
    for (auto _ : state) {
        md5_lanes_digest(ptr.data(), len.data(), kLaneStreams, digests, level);
        benchmark::DoNotOptimize(digests);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kLaneStreams * kLaneBytes);
}

void BM_Md4Lanes(benchmark::State& state, ESimdLevel level)
{
    std::vector<unsigned char> data;
    std::vector<const unsigned char*> ptr;
    std::vector<unsigned int> len;
    if (!LaneSetUp(state, level, data, ptr, len)) {
        return;
    }
    unsigned char digest[16];
    for (auto _ : state) {
        MD4_CTX ctx[kLaneStreams];
        MD4_CTX* ctxp[kLaneStreams];
        for (unsigned int i = 0; i < kLaneStreams; ++i) {
            MD4Init(&ctx[i]);
            ctxp[i] = &ctx[i];
        }
        md4_lanes_update(ctxp, ptr.data(), len.data(), kLaneStreams, level);
        for (unsigned int i = 0; i < kLaneStreams; ++i) {
            MD4Final(digest, &ctx[i]);
        }
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kLaneStreams * kLaneBytes);
}

}  // namespace

BENCHMARK(BM_Md4)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Md5)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Sha1)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Sha1Portable)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_Md5Lanes, portable, SIMD_PORTABLE);
BENCHMARK_CAPTURE(BM_Md5Lanes, avx2, SIMD_AVX2);
BENCHMARK_CAPTURE(BM_Md5Lanes, avx512, SIMD_AVX512);
BENCHMARK_CAPTURE(BM_Md4Lanes, portable, SIMD_PORTABLE);
BENCHMARK_CAPTURE(BM_Md4Lanes, avx2, SIMD_AVX2);
BENCHMARK_CAPTURE(BM_Md4Lanes, avx512, SIMD_AVX512);

namespace {

// Console output as usual, plus each run's bytes per second kept by name.
class CRateReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that redirected output stays plain.
    CRateReporter() : benchmark::ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end()) {
                continue;
            }
            // With repetitions the median stands for the set.
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                m_rates[run.run_name.str()] = it->second.value;
            }
        }
    }

    std::map<std::string, double> m_rates;
};

// `openssl speed` for one digest and input size, in bytes per second; 0 when
// openssl or the digest is not available.
double OpensslRate(const char* digest, int bytes)
{
    const bool legacy = std::strcmp(digest, "md4") == 0;
    char command[256];
    std::snprintf(command, sizeof(command), "openssl speed %s-seconds 1 -bytes %d -evp %s 2>/dev/null",
                  legacy ? "-provider legacy -provider default " : "", bytes, digest);
    FILE* out = popen(command, "r");
    if (out == nullptr) {
        return 0;
    }
    double rate = 0;
    char line[512];
    const size_t nameLen = std::strlen(digest);
    while (std::fgets(line, sizeof(line), out) != nullptr) {
        // The result line is the digest's name and one figure in thousands of bytes per second.
        double thousands = 0;
        if (std::strncmp(line, digest, nameLen) == 0 && line[nameLen] == ' ' &&
            std::sscanf(line + nameLen, " %lfk", &thousands) == 1) {
            rate = thousands * 1000.0;
        }
    }
    pclose(out);
    return rate;
}

void PrintBaseline(const std::map<std::string, double>& rates)
{
    struct Row {
        const char* bench;
        const char* label;
        const char* openssl;
    };
    const Row rows[] = {{"BM_Md4", "MD4", "md4"},
                        {"BM_Md5", "MD5", "md5"},
                        {"BM_Sha1", "SHA-1", "sha1"},
                        {"BM_Sha1Portable", "SHA-1 portable", "sha1"}};
    std::map<std::string, double> baseline;
    std::printf("\n%-16s %9s %12s %14s %7s\n", "digest", "input", "ours MB/s", "openssl MB/s", "ratio");
    for (const Row& row : rows) {
        for (int bytes : {16 << 10, 1 << 20}) {
            auto ours = rates.find(std::string(row.bench) + "/" + std::to_string(bytes));
            if (ours == rates.end()) {
                continue;
            }
            const std::string key = std::string(row.openssl) + "/" + std::to_string(bytes);
            if (baseline.find(key) == baseline.end()) {
                baseline[key] = OpensslRate(row.openssl, bytes);
            }
            const double theirs = baseline[key];
            char size[16];
            std::snprintf(size, sizeof(size), bytes < (1 << 20) ? "%d KiB" : "%d MiB",
                          bytes < (1 << 20) ? bytes >> 10 : bytes >> 20);
            if (theirs > 0) {
                std::printf("%-16s %9s %12.1f %14.1f %7.2f\n", row.label, size, ours->second / 1e6, theirs / 1e6,
                            ours->second / theirs);
            } else {
                std::printf("%-16s %9s %12.1f %14s %7s\n", row.label, size, ours->second / 1e6, "n/a", "-");
            }
        }
    }

    // The lanes' aggregate over 16 streams beside one OpenSSL stream.
    std::printf("\n%-16s %9s %12s %14s %7s %8s\n", "16 streams", "level", "ours MB/s", "openssl MB/s", "ratio",
                "target");
    const Row lanes[] = {{"BM_Md5Lanes", "MD5 lanes", "md5"}, {"BM_Md4Lanes", "MD4 lanes", "md4"}};
    for (const Row& row : lanes) {
        for (const char* level : {"portable", "avx2", "avx512"}) {
            auto ours = rates.find(std::string(row.bench) + "/" + level);
            if (ours == rates.end()) {
                std::printf("%-16s %9s %12s\n", row.label, level, "not run");
                continue;
            }
            const std::string key = std::string(row.openssl) + "/" + std::to_string(1 << 20);
            if (baseline.find(key) == baseline.end()) {
                baseline[key] = OpensslRate(row.openssl, 1 << 20);
            }
            const double theirs = baseline[key];
            // The aims: 4 x one OpenSSL stream with AVX-512, 2 x with AVX2 (MD5).
            const double aim = std::strcmp(row.openssl, "md5") != 0 ? 0
                               : std::strcmp(level, "avx512") == 0 ? 4
                               : std::strcmp(level, "avx2") == 0   ? 2
                                                                   : 0;
            char target[32] = "-";
            if (aim > 0 && theirs > 0) {
                std::snprintf(target, sizeof(target), ">= %.0f %s", aim,
                              ours->second / theirs >= aim ? "met" : "NOT met");
            }
            if (theirs > 0) {
                std::printf("%-16s %9s %12.1f %14.1f %7.2f %s\n", row.label, level, ours->second / 1e6, theirs / 1e6,
                            ours->second / theirs, target);
            } else {
                std::printf("%-16s %9s %12.1f %14s %7s\n", row.label, level, ours->second / 1e6, "n/a", "-");
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    bool baseline = true;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no_baseline") == 0) {
            baseline = false;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    CRateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (baseline) {
        PrintBaseline(reporter.m_rates);
    }
    return 0;
}
