// CRcStoreWorker: the store thread. It alone uses the store it is given
// (opened by the caller, borrowed, and not to be touched by anyone else
// until Stop returns); the loop hands it jobs and takes their completions
// back on its own thread, woken by GetNotifyFd (an eventfd the reactor
// watches). A job is work run on the store thread and a completion run on
// the loop's, in the order submitted; what they share (the batch, the
// outcomes) crosses only through the two queues, so the loop owns every
// connection and every answer and the thread owns the database handle.
// Between jobs, and when the store's EventFd is readable, the thread asks
// the store what the loop must forget and passes it back like a completion.
// What the store puts off (CRcStore::Housekeep) runs once jobs pause, or
// a share every few jobs while they do not.
#ifndef ZQ_RC_STORE_WORKER_H
#define ZQ_RC_STORE_WORKER_H

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common_header.h"
#include "rc_store.h"

// What changed in the store beside the loop's own jobs.
struct rc_store_news_t {
    std::vector<rc_store_forget_t> Forgets;
    bool ForgetAll = false;  // every key of the cache
    bool IdentityChanged = false;
    rc_store_identity_t Identity;  // the store's identity now
};

class CRcStoreWorker {
public:
    typedef std::function<void(CRcStore&)> Work;
    typedef std::function<void()> Done;
    typedef std::function<void(const rc_store_news_t&)> NewsHandler;

    enum : uint32 {
        // The store is refreshed (a file replaced under it noticed) at least
        // this often while no job comes.
        IDLE_REFRESH_MS = 1000,
        // What the store put off waits for this much quiet, so it does not
        // take a turn between every two commits of a busy center...
        HOUSEKEEP_QUIET_MS = 20,
        // ...and runs a share after this many jobs all the same, so a center
        // that is never quiet still keeps up with it.
        HOUSEKEEP_EVERY_JOBS = 8,
    };

    explicit CRcStoreWorker(CRcStore& oStore);
    // Stop, then drops the completions never run.
    ~CRcStoreWorker();

    // Set before Start: runs on the loop thread, from RunCompletions.
    void SetNewsHandler(NewsHandler fnNews) { m_fnNews = std::move(fnNews); }
    // Makes the eventfds and starts the thread. 0 or an errno value, with
    // the reason in strError.
    int Start(std::string& strError);
    // Lets every job submitted run, then ends the thread. Their completions
    // wait for RunCompletions. Idempotent.
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }

    // Readable while completions wait; -1 before Start.
    int GetNotifyFd() const { return m_iDoneFd; }
    // Queues a job; fnDone may be empty. Loop thread only.
    void Submit(Work fnWork, Done fnDone);
    // Runs the completions that came back, in order; their number. Loop
    // thread only.
    size_t RunCompletions();
    // Jobs submitted whose completion has not run yet.
    size_t GetInFlight() const { return m_iInFlight; }

private:
    struct stJob {
        Work fnWork;
        Done fnDone;
    };

    CRcStoreWorker(const CRcStoreWorker&) = delete;
    CRcStoreWorker& operator=(const CRcStoreWorker&) = delete;

    void Run();
    // One share of what the store put off; bMore: more waits.
    void Housekeep(bool& bMore);
    // Asks the store for news and queues them, before the completion of the
    // job just run (whose answers may rely on the cache being told first).
    void CollectNews();
    void Complete(Done fnDone);
    static void Signal(int iFd);
    static void Drain(int iFd);

    CRcStore& m_oStore;
    NewsHandler m_fnNews;
    int m_iJobFd;
    int m_iDoneFd;
    std::thread m_thread;
    std::mutex m_mutex;
    std::deque<stJob> m_oJobs;   // under m_mutex
    struct stDone {
        Done fnDone;
        bool bJob;  // false: news, which no job waits for
    };
    std::deque<stDone> m_oDone;  // under m_mutex
    bool m_bStopping;            // under m_mutex
    size_t m_iInFlight;          // loop thread
    rc_store_identity_t m_oIdentity;  // store thread
};

#endif
