// Throughput of the digest primitives on 16 KiB and 1 MiB inputs, in bytes per
// second. The baseline is `openssl speed -evp md5` / `-evp sha1` and
// `openssl speed -provider legacy -provider default -evp md4` on the same
// machine (scripts/bench.sh prints both side by side).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "md4emule.h"
#include "md5.h"
#include "sha1.h"

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

}  // namespace

BENCHMARK(BM_Md4)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Md5)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Sha1)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Sha1Portable)->Arg(16 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();
