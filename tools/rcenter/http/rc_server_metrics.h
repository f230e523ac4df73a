// CRcServerMetrics: the running center's figures for /metrics. It owns the
// registry and fills it at each scrape from what the loop keeps (the
// shared counts, the cache, the used tokens, the connections open, counted
// by the server's callback), the checker's figures, and from the store's
// counts (locations by health included) as last read. Those
// are read on the reading store thread, one read at a time, so a scrape
// never waits on the store; a read that fails keeps the last values. The
// histograms are observed by whoever times the work. Loop thread only;
// borrows what it is given.
#ifndef ZQ_RC_SERVER_METRICS_H
#define ZQ_RC_SERVER_METRICS_H

#include <functional>
#include <string>

#include "common_header.h"
#include "rc_checker.h"
#include "rc_counts.h"
#include "rc_dedup.h"
#include "rc_metrics.h"
#include "rc_removal_tokens.h"
#include "rc_store_worker.h"

// Connections open now, by the protocol they speak.
struct rc_open_conns_t {
    uint64 Report = 0;
    uint64 Http = 0;
};

class CRcServerMetrics {
public:
    typedef std::function<rc_open_conns_t()> OpenConns;

    CRcServerMetrics(const rc_counts_t& oCounts, CRcDedup& oDedup, const CRcRemovalTokens& oTokens, OpenConns fnOpen);

    // A report's time from the read that completed it to its answer being
    // queued, and each commit's, sync included; never null.
    rc_histogram_t* AnswerTimes() { return m_pAnswerTimes; }
    rc_histogram_t* CommitTimes() { return m_pCommitTimes; }
    void CountHttpAnswer(unsigned int iStatus);
    // Where the checks' figures are read at each scrape (any thread may
    // answer); none set: the check families show zeros.
    void SetCheckFigures(std::function<rc_check_figures_t()> fnChecks) { m_fnChecks = std::move(fnChecks); }
    // Asks oReader for the store's counts, unless a read is still on its
    // way: false then.
    bool RefreshStore(CRcStoreWorker& oReader);
    // The store's counts as last read; false before the first read came back.
    bool StoreCounts(rc_store_counts_t& oCounts) const;
    // The text of one scrape.
    std::string Text();

private:
    CRcServerMetrics(const CRcServerMetrics&) = delete;
    CRcServerMetrics& operator=(const CRcServerMetrics&) = delete;

    const rc_counts_t& m_counts;
    CRcDedup& m_oDedup;
    const CRcRemovalTokens& m_oTokens;
    OpenConns m_fnOpen;
    std::function<rc_check_figures_t()> m_fnChecks;
    CRcMetrics m_oMetrics;
    rc_histogram_t* m_pAnswerTimes;
    rc_histogram_t* m_pCommitTimes;
    bool m_bStoreReading;
    bool m_bStoreRead = false;
    rc_store_counts_t m_oStored;
};

#endif
