// CRcReportHandler: the report protocol on the center's report port. It
// frames each connection's bytes into packets and answers every report
// request with one 48-byte response once its outcome is settled: rejected
// (rc_check), already known (the dedup cache), or what the store made of it.
// Reports that need the store gather into a batch while the previous one
// commits on the store thread (one commit in flight); a connection's answers
// leave in the order it asked, each only once its own outcome is known.
// Borrows the operator, the store thread and the cache; loop thread only.
#ifndef ZQ_RC_REPORT_HANDLER_H
#define ZQ_RC_REPORT_HANDLER_H

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "aio_operator.h"
#include "common_header.h"
#include "rc_counts.h"
#include "rc_dedup.h"
#include "rc_metrics.h"
#include "rc_store.h"
#include "rc_store_worker.h"

class CRcReportHandler {
public:
    enum : uint32 {
        // Answers a peer may leave unread before it is dropped.
        MAX_QUEUED_RESPONSES = 4096,
        // The longest a batch waits, once the store is free, for the clients
        // the last commit answered.
        MAX_GATHER_MS = 2,
    };

    // What a removal found: 0 and whether the FID was there, or the error.
    typedef std::function<void(int iErr, bool bFound, const std::string& strError)> RemoveDone;

    CRcReportHandler(CAioOperator& oOperator, CRcStoreWorker& oWriter, CRcDedup& oDedup, stRcCounts& oCounts);

    // Ties the cache to the store's identity now (see CRcDedup::Bind).
    void SetIdentity(const rc_store_identity_t& oIdentity);
    // Where the time from a report's read to its answer being queued, and
    // each commit's (timed on the store thread), are observed; null: not
    // timed. The histograms must outlive the handler.
    void SetTimings(stRcHistogram* pAnswerTimes, stRcHistogram* pCommitTimes);
    // What the store thread learnt beside the loop's own jobs.
    void OnNews(const rc_store_news_t& oNews);

    // A report connection's bytes, as CAioEvtHandler::OnTcpRead.
    sint32 OnRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize, uint32& iParsedDataSize);
    // The connection is gone: its answers are dropped (its reports are
    // stored all the same).
    void OnClosed(CFdContext* pFdContext);
    // At the end of a loop turn: the batch gathered goes to the store thread
    // once the connections the last commit answered have sent again (or
    // MAX_GATHER_MS passed), unless a commit is in flight; connections
    // waiting on the store are kept from the inactivity watch.
    void EndTurn();
    // The tallies of repeats gathered so far go to the store on their own.
    void CommitTallies();
    // Deletes the resource and its cache keys after every report received
    // before it; reports received later ask the store, not the cache, until
    // it is done. fnDone runs on the loop thread.
    void Remove(const Sha1Hash& oFid, RemoveDone fnDone);
    // Nothing waits on the store: no batch gathered, no commit in flight.
    bool IsIdle() const;

private:
    // One request's answer, kept in its connection's queue until it and
    // every answer before it are settled.
    struct stAnswer {
        uint32 iSeq = 0;
        uint32 iResult = 0;
        uint32 iErrno = 0;
        bool bSettled = false;
        Sha1Hash oFid;
        std::string strUrl;
        std::string strFile;  // escaped, for the log
        std::chrono::steady_clock::time_point tRead;  // the read that completed the request
    };
    typedef std::shared_ptr<stAnswer> AnswerPtr;
    struct stConn {
        uint32 iFdSeq = 0;  // the connection's generation: a reused number is another peer
        std::string strPeer;
        std::deque<AnswerPtr> oWaiting;
    };
    // A report in a batch: whose answer it is.
    struct stPending {
        sint32 iFd;
        uint32 iFdSeq;
        AnswerPtr pAnswer;
    };
    // The batch being gathered: what the store thread gets, and the answers
    // it settles, in the same order.
    struct stBatch {
        std::shared_ptr<rc_store_batch_t> pStore = std::make_shared<rc_store_batch_t>();
        std::vector<stPending> Pending;
    };

    CRcReportHandler(const CRcReportHandler&) = delete;
    CRcReportHandler& operator=(const CRcReportHandler&) = delete;

    stConn& ConnOf(CFdContext* pFdContext);
    void HandleRequest(const unsigned char* p, uint32 iLen, time_t tNow, sint32 iFd, stConn& oConn, stAnswer& oAnswer);
    void Submit();
    void Settle(const std::vector<stPending>& oPending, int iErr, const std::string& strError,
                const std::vector<rc_report_outcome_t>& oOutcomes);
    void SettleOne(const std::string& strPeer, stAnswer& oAnswer, int iErr, const std::string& strError,
                   ERcStored nStored);
    // Sends the settled answers at the front of the connection's queue.
    void Flush(sint32 iFd);
    bool Send(sint32 iFd, stConn& oConn, const stAnswer& oAnswer);
    std::string KeyFor(const Sha1Hash& oFid, const std::string& strUrl) const;

    CAioOperator& m_operator;
    CRcStoreWorker& m_oWriter;
    CRcDedup& m_oDedup;
    stRcCounts& m_counts;
    rc_store_identity_t m_oIdentity;
    stRcHistogram* m_pAnswerTimes;
    stRcHistogram* m_pCommitTimes;
    std::unordered_map<sint32, stConn> m_oConns;  // by descriptor
    stBatch m_oGathering;
    std::unordered_map<std::string, rc_store_tally_t> m_oTallies;  // by FID in hex
    uint32 m_iCommitsInFlight;
    uint32 m_iGatherStart;  // tick of the last commit's end
    // Connections the last commit answered that have sent nothing since: the
    // batch gathering waits for their next reports (by descriptor, to seq).
    std::unordered_map<sint32, uint32> m_oAwaited;
    std::unordered_map<std::string, uint32> m_oRemoving;  // FID in hex: removals in flight
};

#endif
