// CThread: an abstract worker over one POSIX thread. A derived class supplies
// Run, which should return soon after m_bRun turns false; Start and Stop are
// called from one controlling thread, and Stop waits for Run to return.
// A derived class whose Run touches its own members must call Stop in its own
// destructor: the base destructor runs after those members are gone.
#ifndef ZQ_THREAD_H
#define ZQ_THREAD_H

#include <pthread.h>

#include <atomic>

#include "common_header.h"

class CThread {
public:
    CThread();
    virtual ~CThread();

    // 0 once the thread runs; -1 (nothing changes) while an earlier thread has
    // not been joined by Stop yet, or when the thread cannot be created.
    sint32 Start();
    // Clears m_bRun and joins the thread; returns at once when none was started.
    // Called from inside Run it only clears m_bRun: the controlling thread's
    // next Stop (or the destructor) does the join.
    void Stop();

    static void* ThreadStart(void* arg);

    virtual void Run() = 0;

protected:
    pthread_t m_hThread;
    pthread_attr_t m_aThread;
    // Read by the worker while the controller writes it; atomic so the change
    // is seen without a lock.
    std::atomic<bool> m_bRun;

private:
    // A created thread that has not been joined yet; unlike m_bRun it stays
    // set when Run asked for its own stop.
    bool m_bJoinable;

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;
};

#endif
