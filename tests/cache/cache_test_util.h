// Helpers shared by the cache tests: an aligned region in process memory, a
// listener that records what the cache asked, and a replaceable clock.
#ifndef ZQ_CACHE_TEST_UTIL_H
#define ZQ_CACHE_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cache.h"

namespace cachetest {

// Zeroed, 8-byte aligned bytes, as a shared-memory segment would be.
class Region {
public:
    explicit Region(size_t iBytes) : m_words((iBytes + 7) / 8, 0), m_iBytes(iBytes) {}
    char* data() { return reinterpret_cast<char*>(m_words.data()); }
    size_t size() const { return m_iBytes; }
    uint32 size32() const { return static_cast<uint32>(m_iBytes); }
    std::string Snapshot() { return std::string(data(), m_iBytes); }
    void CopyFrom(const char* p) { memcpy(data(), p, m_iBytes); }

private:
    std::vector<uint64_t> m_words;
    size_t m_iBytes;
};

struct ListenerCall {
    std::string key;
    std::string data;
};

// Agrees to every eviction unless a policy says otherwise; remembers each
// question and each resumed entry in order.
class RecordingListener : public CCacheListener {
public:
    bool CanEliminate(const char* pszKey, void* pData, uint32 iDataSize) override {
        asked.push_back({pszKey, std::string(static_cast<const char*>(pData), iDataSize)});
        if (onAsk) onAsk(pszKey);
        return policy ? policy(pszKey) : true;
    }
    void CacheResume(const char* pszKey, void* pData, uint32 iDataSize) override {
        resumed.push_back({pszKey, std::string(static_cast<const char*>(pData), iDataSize)});
    }

    std::function<bool(const std::string&)> policy;
    std::function<void(const std::string&)> onAsk;
    std::vector<ListenerCall> asked;
    std::vector<ListenerCall> resumed;
};

// A clock that moves only when a test moves it; installed for its lifetime.
class ManualClock {
public:
    ManualClock() {
        s_now = 1000000;
        CCache::SetMicroClock(&ManualClock::Now);
    }
    ~ManualClock() { CCache::SetMicroClock(nullptr); }
    void Advance(uint64 iMicros) { s_now += iMicros; }
    static uint64 Now() { return s_now; }

private:
    static inline uint64 s_now = 0;
};

inline std::string DataFor(const std::string& key, size_t iSize) {
    std::string data(iSize, '\0');
    for (size_t i = 0; i < iSize; ++i) data[i] = static_cast<char>(key.size() * 31 + i * 7 + (key.empty() ? 0 : key[i % key.size()]));
    return data;
}

}  // namespace cachetest

#endif
