// CRcWritePath: every change the center makes to its store goes this way,
// whoever asked (a report connection, an HTTP removal). It keeps what the
// store and the cache of known resources must agree on: reports needing the
// store gather into one batch while the previous one commits (one commit in
// flight), repeats answered from the cache become tallies committed with the
// next batch, and a removal follows every report gathered before it, with
// the cache answering nothing of its FID until it is done.
// Borrows the writing store thread and the cache; loop thread only; the
// callbacks run on the loop thread.
#ifndef ZQ_RC_WRITE_PATH_H
#define ZQ_RC_WRITE_PATH_H

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common_header.h"
#include "rc_counts.h"
#include "rc_dedup.h"
#include "rc_store.h"
#include "rc_store_worker.h"
#include "report_wire.h"

struct rc_histogram_t;

class CRcWritePath {
public:
    // What the store made of one report: 0 and how it was stored, or the
    // error and its text (nothing of the report was stored).
    typedef std::function<void(int iErr, const std::string& strError, ERcStored nStored)> StoreDone;
    // What a removal found: 0 and whether the FID was there, or the error.
    typedef std::function<void(int iErr, bool bFound, const std::string& strError)> RemoveDone;

    CRcWritePath(CRcStoreWorker& oWriter, CRcDedup& oDedup, rc_counts_t& oCounts);

    // Ties the cache to the store's identity now (see CRcDedup::Bind).
    void SetIdentity(const rc_store_identity_t& oIdentity);
    // What the store thread learnt beside the loop's own jobs.
    void OnNews(const rc_store_news_t& oNews);
    // Where each commit's time (taken on the store thread) is observed;
    // null: not timed. Must outlive this.
    void SetCommitTimes(rc_histogram_t* pCommitTimes) { m_pCommitTimes = pCommitTimes; }
    // Runs after each batch's StoreDone callbacks, once per commit.
    void SetCommittedHandler(std::function<void()> fnCommitted) { m_fnCommitted = std::move(fnCommitted); }

    // Whether the cache knows this report's FID and URL (and since when):
    // then the repeat is tallied for the store and needs nothing else.
    bool TallyIfKnown(const rc_report_t& oReport, time_t tNow, uint64* pFirstSeen);
    // Gathers the report into the next batch; fnDone runs once it is committed.
    void Add(const rc_report_t& oReport, time_t tNow, StoreDone fnDone);
    // Reports gathered and not yet handed to the store thread.
    bool HasGathered() const { return !m_oGathering.empty(); }
    uint32 CommitsInFlight() const { return m_iCommitsInFlight; }
    // Writes to the store that have come back (commits and removals, done
    // or failed): what was read from the store before the last is stale.
    uint64 WritesDone() const { return m_iWritesDone; }
    // Hands what gathered (reports and tallies) to the store thread now.
    void Submit();
    // The tallies alone, when no commit is in flight.
    void CommitTallies();
    // Deletes the resource and its cache keys after everything gathered
    // before it; fnDone runs once the store is done.
    void Remove(const Sha1Hash& oFid, RemoveDone fnDone);
    // Nothing waits on the store: no batch gathered, no commit or removal in flight.
    bool IsIdle() const;

private:
    struct stGathered {
        Sha1Hash oFid;
        std::string strUrl;
        StoreDone fnDone;
    };

    CRcWritePath(const CRcWritePath&) = delete;
    CRcWritePath& operator=(const CRcWritePath&) = delete;

    std::string KeyFor(const Sha1Hash& oFid, const std::string& strUrl) const;
    void Committed(const std::vector<stGathered>& oDone, int iErr, const std::string& strError,
                   const std::vector<rc_report_outcome_t>& oOutcomes);

    CRcStoreWorker& m_oWriter;
    CRcDedup& m_oDedup;
    rc_counts_t& m_counts;
    rc_store_identity_t m_oIdentity;
    rc_histogram_t* m_pCommitTimes;
    std::function<void()> m_fnCommitted;
    std::shared_ptr<rc_store_batch_t> m_pBatch;
    std::vector<stGathered> m_oGathering;  // the batch's reports, in its order
    std::unordered_map<std::string, rc_store_tally_t> m_oTallies;  // by FID in hex
    uint32 m_iCommitsInFlight;
    uint64 m_iWritesDone = 0;
    std::unordered_map<std::string, uint32> m_oRemoving;  // FID in hex: removals in flight
};

#endif
