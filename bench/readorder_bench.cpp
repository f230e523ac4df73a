// What choosing the read order costs per file: the page-cache probe (by
// cachestat and by mincore over a mapping) on a cached file of 1 MiB and of
// 1 GiB (made sparse, so nothing is written; reading it once caches its
// pages), beside the device check that was all --simd auto asked before
// (SeeksAreCostly) as the baseline. The probe samples a bounded number of
// pages, so its time must not grow with the file.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "filehelper.h"

namespace {

class CBenchFile {
public:
    explicit CBenchFile(long long llSize) {
        char szName[] = "/tmp/zqreadorder.XXXXXX";
        m_iFd = mkstemp(szName);
        if (m_iFd < 0) return;
        m_strName = szName;
        if (ftruncate(m_iFd, llSize) != 0) return;
        std::vector<char> arBuf(1 << 20);
        while (read(m_iFd, arBuf.data(), arBuf.size()) > 0) {
        }
    }
    ~CBenchFile() {
        if (m_iFd >= 0) close(m_iFd);
        if (!m_strName.empty()) unlink(m_strName.c_str());
    }
    int Fd() const { return m_iFd; }

private:
    int m_iFd = -1;
    std::string m_strName;
};

void BM_DeviceCheck(benchmark::State& state) {
    CBenchFile oFile(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(CFileHelper::SeeksAreCostly(oFile.Fd()));
}

void BM_CachedPercent(benchmark::State& state) {
    CBenchFile oFile(state.range(0));
    int iPercent = -1;
    for (auto _ : state) {
        iPercent = CFileHelper::CachedPercent(oFile.Fd(), CACHE_PROBE_ANY);
        benchmark::DoNotOptimize(iPercent);
    }
    state.counters["percent"] = iPercent;
}

void BM_CachedPercentMincore(benchmark::State& state) {
    CBenchFile oFile(state.range(0));
    int iPercent = -1;
    for (auto _ : state) {
        iPercent = CFileHelper::CachedPercent(oFile.Fd(), CACHE_PROBE_MINCORE);
        benchmark::DoNotOptimize(iPercent);
    }
    state.counters["percent"] = iPercent;
}

}  // namespace

BENCHMARK(BM_DeviceCheck)->Arg(1 << 20)->Arg(1LL << 30)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CachedPercent)->Arg(1 << 20)->Arg(1LL << 30)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CachedPercentMincore)->Arg(1 << 20)->Arg(1LL << 30)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
