// Insert and Get throughput of CCache on a warm cache of 100,000 entries keyed
// by 40-character hex identifiers, beside a plain in-process LRU (a hash map
// plus a recency list) doing the same work; the ratios are printed at the end.
// Unless the command line says otherwise, each benchmark runs five times in a
// random interleaving and the ratios compare medians, so that other work on
// the machine weighs on both sides alike.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "cache.h"

namespace {

constexpr uint32 kEntries = 100000;
constexpr uint32 kDataSize = 64;
constexpr uint32 kRegionSize = 24 * 1024 * 1024;

struct Key {
    char text[41];
};

// A 40-character lowercase hex key from a counter, cheap enough not to
// dominate either side.
Key MakeKey(uint64 n) {
    static const char digits[] = "0123456789abcdef";
    Key key;
    uint64 x = n * 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 40; ++i) {
        uint64 v = (i < 16) ? (x >> (4 * i)) : (i < 32 ? (n >> (4 * (i - 16))) : (x >> (4 * (i - 24))));
        key.text[i] = digits[v & 15];
    }
    key.text[40] = '\0';
    return key;
}

const std::vector<Key>& WarmKeys() {
    static std::vector<Key> keys = [] {
        std::vector<Key> k;
        for (uint32 i = 0; i < kEntries; ++i) k.push_back(MakeKey(i));
        return k;
    }();
    return keys;
}

const char kData[kDataSize] = "resource record payload used for every entry of the benchmark";

class AgreeingListener : public CCacheListener {
public:
    bool CanEliminate(const char*, void*, uint32) override { return true; }
    void CacheResume(const char*, void*, uint32) override {}
};

// A cache over a heap region, as a process would hold one over shared memory.
class WarmCache {
public:
    WarmCache() : m_region(kRegionSize / 8), m_cache(m_listener) {
        m_cache.Init(m_region.data(), kRegionSize, kEntries, kEntries, 40, 40, 0, 256, 90, 80);
        for (const Key& key : WarmKeys()) m_cache.Insert(key.text, kData, kDataSize);
    }
    CCache& cache() { return m_cache; }

private:
    std::vector<uint64_t> m_region;
    AgreeingListener m_listener;
    CCache m_cache;
};

// The baseline: the same contract with standard containers, evicting the
// least recently used entry whenever it holds more than its capacity.
class BaselineLru {
public:
    explicit BaselineLru(size_t capacity) : m_capacity(capacity) {
        m_index.reserve(capacity * 2);
        for (const Key& key : WarmKeys()) Insert(key.text, kData, kDataSize);
    }
    bool Insert(const char* key, const void* data, uint32 size) {
        std::string k(key);
        if (m_index.count(k) != 0) return false;
        m_order.push_front(Item{k, std::string(static_cast<const char*>(data), size)});
        m_index.emplace(std::move(k), m_order.begin());
        if (m_index.size() > m_capacity) {
            m_index.erase(m_order.back().key);
            m_order.pop_back();
        }
        return true;
    }
    const std::string* Get(const char* key) {
        auto it = m_index.find(std::string(key));
        if (it == m_index.end()) return nullptr;
        m_order.splice(m_order.begin(), m_order, it->second);
        return &it->second->data;
    }

private:
    struct Item {
        std::string key;
        std::string data;
    };
    size_t m_capacity;
    std::list<Item> m_order;
    std::unordered_map<std::string, std::list<Item>::iterator> m_index;
};

// Reads and insertions use separate instances, so that insertions, which
// evict warm keys, cannot turn later reads into misses.
WarmCache& ReadCache() {
    static WarmCache cache;
    return cache;
}

BaselineLru& ReadBaseline() {
    static BaselineLru lru(kEntries);
    return lru;
}

WarmCache& InsertCache() {
    static WarmCache cache;
    return cache;
}

BaselineLru& InsertBaseline() {
    static BaselineLru lru(kEntries);
    return lru;
}

// Jumps around the warm keys so that reads do not stream through memory.
uint32 NextIndex(uint32 i) { return static_cast<uint32>((i * 2654435761ull + 12345) % kEntries); }

void BM_CacheGet(benchmark::State& state) {
    CCache& cache = ReadCache().cache();
    const std::vector<Key>& keys = WarmKeys();
    uint32 i = 1;
    uint32 size = 0;
    for (auto _ : state) {
        i = NextIndex(i);
        benchmark::DoNotOptimize(cache.Get(keys[i].text, size));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BaselineGet(benchmark::State& state) {
    BaselineLru& lru = ReadBaseline();
    const std::vector<Key>& keys = WarmKeys();
    uint32 i = 1;
    for (auto _ : state) {
        i = NextIndex(i);
        benchmark::DoNotOptimize(lru.Get(keys[i].text));
    }
    state.SetItemsProcessed(state.iterations());
}

// Every insertion brings a new key into a full cache, so eviction is part of
// the cost on both sides.
void BM_CacheInsert(benchmark::State& state) {
    CCache& cache = InsertCache().cache();
    static uint64 next = kEntries;
    for (auto _ : state) {
        Key key = MakeKey(next++);
        benchmark::DoNotOptimize(cache.Insert(key.text, kData, kDataSize));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BaselineInsert(benchmark::State& state) {
    BaselineLru& lru = InsertBaseline();
    static uint64 next = kEntries;
    for (auto _ : state) {
        Key key = MakeKey(next++);
        benchmark::DoNotOptimize(lru.Insert(key.text, kData, kDataSize));
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_CacheGet);
BENCHMARK(BM_BaselineGet);
BENCHMARK(BM_CacheInsert);
BENCHMARK(BM_BaselineInsert);

// Prints the usual table, remembering each rate for the closing comparison:
// the median of a benchmark's repetitions when it has them.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            auto it = run.counters.find("items_per_second");
            if (it == run.counters.end()) continue;
            if (run.run_type == Run::RT_Iteration && m_medians.count(run.run_name.str()) == 0) {
                m_rates[run.run_name.str()] = it->second.value;
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_rates[run.run_name.str()] = it->second.value;
                m_medians.insert(run.run_name.str());
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }
    void PrintRatios() const {
        printf("\n%-8s %18s %18s %8s\n", "op", "CCache ops/s", "baseline ops/s", "ratio");
        for (const char* op : {"Get", "Insert"}) {
            auto ours = m_rates.find(std::string("BM_Cache") + op);
            auto base = m_rates.find(std::string("BM_Baseline") + op);
            if (ours == m_rates.end() || base == m_rates.end() || base->second <= 0) continue;
            printf("%-8s %18.0f %18.0f %8.2f\n", op, ours->second, base->second, ours->second / base->second);
        }
    }

private:
    std::map<std::string, double> m_rates;
    std::set<std::string> m_medians;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    bool bOwnRepetitions = false;
    for (int i = 1; i < argc; ++i) {
        bOwnRepetitions = bOwnRepetitions || strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
    }
    char szRepetitions[] = "--benchmark_repetitions=5";
    char szInterleave[] = "--benchmark_enable_random_interleaving=true";
    if (!bOwnRepetitions) {
        args.insert(args.begin() + 1, szInterleave);
        args.insert(args.begin() + 1, szRepetitions);
    }
    argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
