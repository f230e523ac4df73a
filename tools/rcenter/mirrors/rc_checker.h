// CRcChecker: the checks of every location, beside the center's loop. Its
// own thread drives libcurl's multi interface and a store thread of its own
// (CRcStoreWorker over a store opened in RC_STORE_HEALTH, borrowed): it
// claims the due locations, fetches one piece of each by Range (at most
// Concurrency at once, PerHost to one host), judges the answer
// (rc_piece_check) and writes the health back. Every connection goes
// through the address rule (rc_net_rule) at the moment its socket is
// opened, to the very address libcurl resolved, so nothing is fetched from
// a refused network; redirects are followed here, http and https only, at
// most MAX_REDIRECTS, each target under the same rule. The loop never
// waits on it: Figures is a copy under a lock. Start and Stop from one
// thread; Figures from any.
#ifndef ZQ_RC_CHECKER_H
#define ZQ_RC_CHECKER_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common_header.h"
#include "rc_metrics.h"
#include "rc_net_rule.h"
#include "rc_store.h"

struct rc_check_opts_t {
    uint32 IntervalS = 900;     // how often each location is checked
    uint32 Concurrency = 16;    // checks at once
    uint32 PerHost = 2;         // checks at once to one host name
    uint32 TimeoutMs = 10000;   // one check, its redirects included
    CRcNetRule Rule;            // which addresses may be reached
    std::string CaFile;         // tests only: a CA file for TLS mirrors; empty: the system's
};

// What the checks did since start, for /metrics.
struct rc_check_figures_t {
    uint64 Checks[RC_HEALTH_STATES] = {};  // by outcome (never RC_HEALTH_UNCHECKED)
    rc_histogram_t Seconds;                 // each check's time
    uint64 Bytes = 0;                      // body bytes received by every check
};

class CRcChecker {
public:
    enum : uint32 {
        MAX_REDIRECTS = 5,
        // The longest wait between two claims while nothing was due.
        CLAIM_IDLE_MAX_MS = 5000,
    };

    CRcChecker(CRcStore& oStore, const rc_check_opts_t& oOpts);
    // Stop.
    ~CRcChecker();

    // Starts the store thread and the checker's. 0, or an errno value with
    // the reason in strError.
    int Start(std::string& strError);
    // Abandons the checks under way (their locations are due again after
    // their claim ran out), writes what was found and ends both threads.
    void Stop();
    rc_check_figures_t Figures() const;
    // Writes of health to the store that have come back, from any thread:
    // what was read from the store before the last may be stale.
    uint64 HealthWrites() const { return m_iHealthWrites.load(std::memory_order_relaxed); }

private:
    class CRun;

    CRcChecker(const CRcChecker&) = delete;
    CRcChecker& operator=(const CRcChecker&) = delete;

    CRcStore& m_oStore;
    rc_check_opts_t m_oOpts;
    std::unique_ptr<CRun> m_pRun;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    rc_check_figures_t m_oFigures;  // under m_mutex
    std::atomic<uint64> m_iHealthWrites{0};
};

// The histogram's bounds, in seconds, shared with the metrics' declaration.
const std::vector<double>& rc_check_seconds_bounds();

#endif
