#include "thread.h"
#include "thread_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "files.h"
#include "svr_log.h"

namespace {

// Polls pred every millisecond for at most timeout_ms.
template <typename Pred>
bool WaitUntil(Pred pred, int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What a worker did, kept outside it so it can be read after destruction.
struct stProbe {
    std::atomic<int> runs{0};
    std::atomic<int> finished{0};
    std::atomic<long> count{0};
};

// Counts until told to stop.
class CCounter : public CThread {
public:
    explicit CCounter(stProbe& probe) : m_probe(probe) {}
    ~CCounter() override { Stop(); }

    void Run() override {
        ++m_probe.runs;
        while (m_bRun) {
            ++m_probe.count;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ++m_probe.finished;
    }

    bool IsRunFlagSet() const { return m_bRun; }

private:
    stProbe& m_probe;
};

// Does one pass of work and returns without being asked to.
class COneShot : public CThread {
public:
    explicit COneShot(stProbe& probe) : m_probe(probe) {}
    ~COneShot() override { Stop(); }
    void Run() override {
        ++m_probe.runs;
        ++m_probe.finished;
    }
    bool IsRunFlagSet() const { return m_bRun; }

private:
    stProbe& m_probe;
};

// Asks for its own stop from inside Run after a few turns.
class CSelfStopper : public CThread {
public:
    explicit CSelfStopper(stProbe& probe) : m_probe(probe) {}
    ~CSelfStopper() override { Stop(); }
    void Run() override {
        ++m_probe.runs;
        for (int i = 0; i < 3 && m_bRun; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Stop();
        m_bFlagAfterStop = m_bRun.load();
        ++m_probe.finished;
    }
    std::atomic<bool> m_bFlagAfterStop{true};

private:
    stProbe& m_probe;
};

}  // namespace

TEST(ThreadStart, RunsTheWorkerUntilStopped) {
    stProbe probe;
    CCounter counter(probe);
    ASSERT_EQ(0, counter.Start());
    EXPECT_TRUE(counter.IsRunFlagSet());
    EXPECT_TRUE(WaitUntil([&] { return probe.count > 10; }));
    EXPECT_EQ(0, probe.finished);
    counter.Stop();
    EXPECT_FALSE(counter.IsRunFlagSet());
    EXPECT_EQ(1, probe.finished);
}

TEST(ThreadStart, SecondStartWhileRunningIsRefusedAndStartsNoThread) {
    stProbe probe;
    CCounter counter(probe);
    ASSERT_EQ(0, counter.Start());
    EXPECT_EQ(-1, counter.Start());
    EXPECT_TRUE(counter.IsRunFlagSet());
    counter.Stop();
    EXPECT_EQ(1, probe.runs);
    EXPECT_EQ(1, probe.finished);
}

TEST(ThreadStart, RefusedAfterRunReturnedByItselfUntilStopped) {
    stProbe probe;
    COneShot shot(probe);
    ASSERT_EQ(0, shot.Start());
    ASSERT_TRUE(WaitUntil([&] { return probe.finished == 1; }));
    EXPECT_TRUE(shot.IsRunFlagSet());
    EXPECT_EQ(-1, shot.Start());
    shot.Stop();
    EXPECT_FALSE(shot.IsRunFlagSet());
    EXPECT_EQ(1, probe.runs);
}

TEST(ThreadStart, StartsAgainAfterStop) {
    stProbe probe;
    CCounter counter(probe);
    ASSERT_EQ(0, counter.Start());
    counter.Stop();
    ASSERT_EQ(0, counter.Start());
    counter.Stop();
    EXPECT_EQ(2, probe.runs);
    EXPECT_EQ(2, probe.finished);
}

TEST(ThreadStop, JoinsBeforeReturning) {
    stProbe probe;
    CCounter counter(probe);
    ASSERT_EQ(0, counter.Start());
    ASSERT_TRUE(WaitUntil([&] { return probe.count > 0; }));
    counter.Stop();
    // Run has left its loop by now, so the count no longer moves.
    EXPECT_EQ(1, probe.finished);
    long frozen = probe.count;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(frozen, probe.count);
}

TEST(ThreadStop, NeverStartedReturnsAtOnce) {
    stProbe probe;
    CCounter counter(probe);
    counter.Stop();
    counter.Stop();
    EXPECT_EQ(0, probe.runs);
    EXPECT_FALSE(counter.IsRunFlagSet());
}

TEST(ThreadStop, FromInsideRunClearsTheFlagAndLeavesTheJoinToTheController) {
    stProbe probe;
    CSelfStopper stopper(probe);
    ASSERT_EQ(0, stopper.Start());
    ASSERT_TRUE(WaitUntil([&] { return probe.finished == 1; }));
    EXPECT_FALSE(stopper.m_bFlagAfterStop);
    // The worker is not joined yet, so no second one may start.
    EXPECT_EQ(-1, stopper.Start());
    stopper.Stop();
    ASSERT_EQ(0, stopper.Start());
    ASSERT_TRUE(WaitUntil([&] { return probe.finished == 2; }));
    stopper.Stop();
    EXPECT_EQ(2, probe.runs);
}

TEST(ThreadDestructor, StopsAndJoinsARunningWorker) {
    stProbe probe;
    auto counter = std::make_unique<CCounter>(probe);
    ASSERT_EQ(0, counter->Start());
    ASSERT_TRUE(WaitUntil([&] { return probe.count > 0; }));
    counter.reset();
    EXPECT_EQ(1, probe.finished);
    long frozen = probe.count;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(frozen, probe.count);
}

TEST(ThreadDestructor, JoinsAWorkerThatStoppedItself) {
    stProbe probe;
    auto stopper = std::make_unique<CSelfStopper>(probe);
    ASSERT_EQ(0, stopper->Start());
    ASSERT_TRUE(WaitUntil([&] { return probe.finished == 1; }));
    // Under the sanitizers an unjoined thread would show up as a leak.
    stopper.reset();
    EXPECT_EQ(1, probe.runs);
}

namespace {

// Sends the error log to a file of its own for the length of one test.
class ThreadMutexLog : public ::testing::Test {
protected:
    void SetUp() override {
        m_logPath = m_dir.file("errlog");
        g_ErrLog.reset();
        ASSERT_EQ(0, g_ErrLog.InitFileLog(const_cast<char*>(m_logPath.c_str()), true, FL_FILE_SIZE_ROTATE,
                                          1 << 20, 1));
        ASSERT_EQ(0, g_ErrLog.OpenFileLog());
        m_savedLevel = g_ErrLog.GetOutLevel();
        g_ErrLog.SetOutLevel(LOG_LEVEL_ERR);
    }
    void TearDown() override {
        g_ErrLog.reset();
        g_ErrLog.SetOutLevel(m_savedLevel);
    }
    std::string Log() const { return zqtest::ReadFile(m_logPath); }

    zqtest::TempDir m_dir;
    std::string m_logPath;
    sint32 m_savedLevel = LOG_LEVEL_DEBUG;
};

}  // namespace

TEST(ThreadMutex, SerialisesIncrementsFromTwoThreads) {
    CThreadMutex mutex;
    long total = 0;
    const int kTurns = 20000;
    auto work = [&] {
        for (int i = 0; i < kTurns; ++i) {
            mutex.Lock();
            long seen = total;
            // Widen the window in which an unguarded update would be lost.
            if (i % 64 == 0) std::this_thread::yield();
            total = seen + 1;
            mutex.Unlock();
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(2L * kTurns, total);
}

TEST_F(ThreadMutexLog, CorrectUseWritesNothing) {
    {
        CThreadMutex mutex;
        mutex.Lock();
        mutex.Unlock();
    }
    EXPECT_EQ("", Log());
}

TEST_F(ThreadMutexLog, SecondLockByHolderIsLoggedInsteadOfHanging) {
    CThreadMutex mutex;
    mutex.Lock();
    mutex.Lock();
    mutex.Unlock();
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[err] thread_mutex."));
    EXPECT_NE(std::string::npos, log.find("(Lock): pthread_mutex_lock error: " + std::to_string(EDEADLK) + "\n"));
    // The one real Unlock released it: another thread can take it now.
    std::atomic<bool> taken{false};
    std::thread other([&] {
        mutex.Lock();
        taken = true;
        mutex.Unlock();
    });
    other.join();
    EXPECT_TRUE(taken);
}

TEST_F(ThreadMutexLog, UnlockByNonHolderIsLoggedAndLeavesTheLockHeld) {
    CThreadMutex mutex;
    mutex.Lock();
    std::thread other([&] { mutex.Unlock(); });
    other.join();
    EXPECT_NE(std::string::npos, Log().find("(Unlock): pthread_mutex_unlock error: " + std::to_string(EPERM) + "\n"));
    // Still ours: a second Lock from this thread is refused as a relock.
    mutex.Lock();
    EXPECT_NE(std::string::npos, Log().find("pthread_mutex_lock error: " + std::to_string(EDEADLK)));
    mutex.Unlock();
}

TEST_F(ThreadMutexLog, DestroyedWhileLockedIsLogged) {
    auto mutex = std::make_unique<CThreadMutex>();
    mutex->Lock();
    mutex.reset();
    EXPECT_NE(std::string::npos,
              Log().find("(~CThreadMutex): pthread_mutex_destroy error: " + std::to_string(EBUSY) + "\n"));
}

TEST_F(ThreadMutexLog, ErrorsAreNotFormattedBelowTheirLevel) {
    g_ErrLog.SetOutLevel(LOG_LEVEL_FATAL);
    CThreadMutex mutex;
    mutex.Lock();
    mutex.Lock();
    mutex.Unlock();
    EXPECT_EQ("", Log());
}
