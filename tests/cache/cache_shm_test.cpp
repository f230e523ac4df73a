// A region written by one process and attached by another through System V
// shared memory, at another address.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "cache_test_util.h"
#include "files.h"

using cachetest::DataFor;
using cachetest::RecordingListener;

namespace {

constexpr uint32 kSegmentSize = 1024 * 1024;
constexpr int kEntries = 1500;

// A 40-character lowercase hex key, as a file identifier would be.
std::string Fid(int i) {
    char buf[48];
    uint32 x = static_cast<uint32>(i) * 2654435761u;
    snprintf(buf, sizeof(buf), "%08x%08x%08x%08x%08x", x, x ^ 0x5bd1e995u, x * 7u, x + 13u, static_cast<uint32>(i));
    return buf;
}

uint32 DataSize(int i) { return 16 + static_cast<uint32>(i % 48); }

// The order the child leaves behind, least recent first: every entry inserted
// in turn, then every seventh one read again.
std::vector<std::string> ExpectedOrder() {
    std::list<std::string> recency;  // front: least recent
    for (int i = 0; i < kEntries; ++i) recency.push_back(Fid(i));
    for (int i = 0; i < kEntries; i += 7) {
        recency.remove(Fid(i));
        recency.push_back(Fid(i));
    }
    return std::vector<std::string>(recency.begin(), recency.end());
}

// A fresh segment under a key nobody else holds, removed when the test ends.
class Segment {
public:
    Segment() {
        for (int proj = 1; proj < 256 && m_id < 0; ++proj) {
            m_key = ftok(m_dir.path().c_str(), proj);
            if (m_key == -1) continue;
            m_id = shmget(m_key, kSegmentSize, IPC_CREAT | IPC_EXCL | 0600);
        }
    }
    ~Segment() {
        if (m_id >= 0) shmctl(m_id, IPC_RMID, nullptr);
    }
    bool ok() const { return m_id >= 0; }
    key_t key() const { return m_key; }

private:
    zqtest::TempDir m_dir;
    key_t m_key = -1;
    int m_id = -1;
};

// Runs in the forked child: formats the segment, fills it, reads some
// entries again and reports the address it used. Returns an exit status.
int FillInChild(key_t key, int addressPipe) {
    char* p = get_shm(key, kSegmentSize, 0600);
    if (p == nullptr) return 2;
    RecordingListener listener;
    CCache cache(listener);
    if (cache.Init(p, kSegmentSize, 1000, 2000, 40, 40, 16, 63, 90, 80) != 0) return 3;
    for (int i = 0; i < kEntries; ++i) {
        std::string data = DataFor(Fid(i), DataSize(i));
        if (cache.Insert(Fid(i).c_str(), data.data(), DataSize(i)) == nullptr) return 4;
    }
    for (int i = 0; i < kEntries; i += 7) {
        uint32 size = 0;
        if (cache.Get(Fid(i).c_str(), size) == nullptr) return 5;
    }
    uintptr_t address = reinterpret_cast<uintptr_t>(p);
    if (write(addressPipe, &address, sizeof(address)) != sizeof(address)) return 6;
    shmdt(p);
    return 0;
}

// Waits at most timeout for the child; kills it if it overstays.
int WaitChild(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(SharedMemoryCache, ParentAttachesWhatAChildWroteAndFindsEveryRecord) {
    Segment segment;
    ASSERT_TRUE(segment.ok());
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        _exit(FillInChild(segment.key(), fds[1]));
    }
    close(fds[1]);
    ASSERT_EQ(0, WaitChild(pid, std::chrono::seconds(60)));
    uintptr_t childAddress = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof(childAddress)), read(fds[0], &childAddress, sizeof(childAddress)));
    close(fds[0]);

    // Attach where the child did not, so every link must be relative.
    char* first = get_shm(segment.key(), kSegmentSize, 0600);
    ASSERT_NE(nullptr, first);
    char* p = first;
    char* second = nullptr;
    if (reinterpret_cast<uintptr_t>(first) == childAddress) {
        second = get_shm(segment.key(), kSegmentSize, 0600);
        ASSERT_NE(nullptr, second);
        p = second;
    }
    EXPECT_NE(childAddress, reinterpret_cast<uintptr_t>(p));

    RecordingListener listener;
    CCache cache(listener);
    EXPECT_EQ(-1, cache.LoadFromMem(p, kSegmentSize - 4096));
    EXPECT_FALSE(cache.IsAttached());
    EXPECT_TRUE(listener.resumed.empty());
    ASSERT_EQ(0, cache.LoadFromMem(p, kSegmentSize));

    std::vector<std::string> order = ExpectedOrder();
    ASSERT_EQ(order.size(), listener.resumed.size());
    for (size_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], listener.resumed[i].key) << i;
    for (int i = 0; i < kEntries; ++i) {
        uint32 size = 0;
        char* data = static_cast<char*>(cache.Get(Fid(i).c_str(), size));
        ASSERT_NE(nullptr, data) << i;
        ASSERT_EQ(DataFor(Fid(i), DataSize(i)), std::string(data, size)) << i;
    }
    EXPECT_EQ(static_cast<uint64>(kEntries), cache.GetInsertCount());
    EXPECT_EQ(static_cast<uint64>(kEntries + (kEntries + 6) / 7), cache.GetHitCount());
    EXPECT_EQ(static_cast<uint32>(kEntries), cache.GetNodeNum());

    shmdt(first);
    if (second != nullptr) shmdt(second);
}

TEST(SharedMemoryCache, MissingSegmentGivesNull) {
    zqtest::TempDir dir;
    key_t key = ftok(dir.path().c_str(), 77);
    ASSERT_NE(-1, key);
    EXPECT_EQ(nullptr, get_shm(key, 4096, 0600));
}
