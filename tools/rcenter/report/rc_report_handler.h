// CRcReportHandler: the report protocol on the center's report port. It
// frames each connection's bytes into packets, checks each report request
// and answers it with one 48-byte response once its outcome is settled:
// rejected (rc_check), or what the write path made of it (known to its cache,
// or stored). It chooses when the gathered batch goes: once the clients the
// last commit answered have sent again. A connection's answers leave in the
// order it asked, each only once its own outcome is known.
// Borrows the operator and the write path; loop thread only.
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
#include "rc_metrics.h"
#include "rc_store.h"
#include "rc_write_path.h"

class CRcReportHandler {
public:
    enum : uint32 {
        // Answers a peer may leave unread before it is dropped.
        MAX_QUEUED_RESPONSES = 4096,
        // The longest a batch waits, once the store is free, for the clients
        // the last commit answered.
        MAX_GATHER_MS = 2,
    };

    CRcReportHandler(CAioOperator& oOperator, CRcWritePath& oWritePath, rc_counts_t& oCounts);

    // Where the time from a report's read to its answer being queued is
    // observed; null: not timed. Must outlive the handler.
    void SetAnswerTimes(rc_histogram_t* pAnswerTimes) { m_pAnswerTimes = pAnswerTimes; }
    // How a connection that sent a bad packet ends once answered, when its
    // peer may still be sending; unset: closed at once. The handler lets go
    // of the connection either way.
    void SetEnd(std::function<void(sint32)> fnEnd) { m_fnEnd = std::move(fnEnd); }

    // A report connection's bytes, as CAioEvtHandler::OnTcpRead.
    sint32 OnRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize, uint32& iParsedDataSize);
    // The peer shut its sending side: 0 when answers are still owed (the
    // connection is closed once they are out), -1 to close it now.
    sint32 OnPeerDone(CFdContext* pFdContext);
    // The connection is gone: its answers are dropped (its reports are
    // stored all the same).
    void OnClosed(CFdContext* pFdContext);
    // At the end of a loop turn: connections that sent a bad packet are
    // closed once their last answer has left the queue; the batch gathered
    // goes to the store thread once the connections the last commit answered
    // have sent again (or MAX_GATHER_MS passed), unless a commit is in
    // flight; connections waiting on the store are kept from the inactivity
    // watch.
    void EndTurn();

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
        bool bClosing = false;  // a bad packet came: no more reads, close once answered
        bool bPeerDone = false;  // the peer shut its side: nothing more can come
    };

    CRcReportHandler(const CRcReportHandler&) = delete;
    CRcReportHandler& operator=(const CRcReportHandler&) = delete;

    stConn& ConnOf(CFdContext* pFdContext);
    void HandleRequest(const unsigned char* p, uint32 iLen, time_t tNow, sint32 iFd, stConn& oConn, stAnswer& oAnswer);
    void Settle(sint32 iFd, uint32 iFdSeq, stAnswer& oAnswer, int iErr, const std::string& strError,
                ERcStored nStored);
    // After a commit: the connections it answered flush, and the next batch
    // waits for those that are now idle.
    void Committed();
    // Sends the settled answers at the front of the connection's queue.
    void Flush(sint32 iFd);
    bool Send(sint32 iFd, stConn& oConn, const stAnswer& oAnswer);

    CAioOperator& m_operator;
    CRcWritePath& m_oWritePath;
    rc_counts_t& m_counts;
    rc_histogram_t* m_pAnswerTimes;
    std::function<void(sint32)> m_fnEnd;
    std::unordered_map<sint32, stConn> m_oConns;  // by descriptor
    std::vector<sint32> m_oAnswered;  // connections the commit in flight settled answers of
    uint32 m_iGatherStart;  // tick of the last commit's end
    // Connections the last commit answered that have sent nothing since: the
    // batch gathering waits for their next reports (by descriptor, to seq).
    std::unordered_map<sint32, uint32> m_oAwaited;
    std::unordered_set<sint32> m_oClosing;  // connections to close once their answers are out
};

#endif
