// CRcenterServer: the resource center's network side. It listens through a
// CAioOperator, frames each connection's bytes into packets, and answers
// every report request with one 48-byte response once its outcome is
// settled: rejected (the checks of rc_check), already known (the dedup
// cache, or the store when the cache misses), or stored. The reports of one
// loop turn that need the store share one commit (CRcStore); the turn's
// answers are queued after it, each connection's in the order it asked.
// Bad peers are logged and closed; the others are served on. When the
// configuration names an HTTP port, a second listener in the same operator
// serves the HTTP API (rc_http), one CRcHttpConn per connection; a
// connection is told to be HTTP by the tag its listener passed on. Owns the
// operator and the connections; borrows the store and the dedup cache, which
// must outlive it. Single-threaded.
#ifndef ZQ_RC_SERVER_H
#define ZQ_RC_SERVER_H

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "aio_evt_handler.h"
#include "aio_operator.h"
#include "common_header.h"
#include "inet_addr.h"
#include "rc_config.h"
#include "rc_dedup.h"
#include "rc_http.h"
#include "rc_metrics.h"
#include "rc_store.h"
#include "rc_check.h"

class CRcenterServer : public CAioEvtHandler {
public:
    struct CCounts {
        uint64 iAccepted = 0;
        uint64 iKnown = 0;
        uint64 iRejected = 0;
        uint64 iNotStored = 0;
        uint64 iDropped = 0;  // connections closed for invalid packets or unread answers
        uint64 iRemoved = 0;  // resources removed through the HTTP API
        uint64 iHttpRequests = 0;
    };

    enum : uint32 {
        // Answers a peer may leave unread before it is dropped.
        MAX_QUEUED_RESPONSES = 4096,
        // Bytes of HTTP answers a peer may leave unread before it is dropped:
        // a few of the largest piece tables.
        MAX_HTTP_QUEUED_BYTES = 4u * 1024 * 1024,
        // A connection's bytes go to its parser in slices of this size, so
        // one slice completes at most one request of the size that can draw
        // a large answer, and the bound is checked before the next.
        HTTP_FEED_SLICE = 64,
    };

    CRcenterServer(const stRcConfig& oConfig, CRcStore& oStore, CRcDedup& oDedup);
    ~CRcenterServer() override;

    // Builds the descriptor table and the epoll instance and starts
    // listening. 0, or an error number with the reason in strError.
    int Start(std::string& strError);
    // The address actually bound (the port chosen when 0 was asked).
    const CInetAddr& GetListenAddr() const { return m_listenAddr; }
    // The HTTP API's address, when HasHttp().
    bool HasHttp() const { return m_iHttpListenFd >= 0; }
    const CInetAddr& GetHttpListenAddr() const { return m_httpListenAddr; }
    // One turn of the operator (at most about a millisecond of waiting),
    // the commit of the turn's reports and their answers, then the
    // statistics line when its interval has passed.
    void RunOnce();
    // Writes the counts of repeats to the store, then the statistics line.
    void WriteStatistics();
    const CCounts& GetCounts() const { return m_counts; }
    // The figures for /metrics: counts since start, the connections open
    // now, the cache's entries and the store's counts as last refreshed
    // (every few seconds, so a scrape never waits on the store).
    std::string MetricsText();
    void CountHttpAnswer(unsigned int iStatus);

    // Deletes a resource from the store and its keys from the cache, so its
    // next report is new again. The turn's reports received before it are
    // settled first, so a report queued but not yet committed cannot bring
    // the resource back. 0 (bFound tells whether it was there) or an errno
    // value with the reason in strError.
    int RemoveResource(const Sha1Hash& oFid, bool& bFound, std::string& strError);

    sint32 OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) override;
    sint32 OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) override;
    sint32 OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                      sint32 iWroteSize) override;
    sint32 OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) override;
    sint32 OnFdClosed(CFdContext* pFdContext) override;

private:
    // One request's answer, waiting for the end of the turn.
    struct stAnswer {
        sint32 iFd = -1;
        uint32 iFdSeq = 0;  // the connection's generation: a reused number is another peer
        uint32 iSeq = 0;
        uint32 iResult = 0;
        uint32 iErrno = 0;
        long iQueued = -1;  // its place in the store's queue, or -1 when settled
        Sha1Hash oFid;
        std::string strUrl;
        std::string strFile;  // escaped, for the log
        std::string strPeer;
        std::chrono::steady_clock::time_point tArrived;
    };

    // Settles or queues the request packet of iLen bytes received at tNow.
    void HandleRequest(const unsigned char* p, uint32 iLen, time_t tNow, stAnswer& oAnswer);
    // Commits the turn's queued reports, settles them and queues every answer.
    void SettleAnswers();
    void Settle(stAnswer& oAnswer, int iErr, const std::string& strError, const std::vector<ERcStored>& oResults);
    void Send(const stAnswer& oAnswer);
    void DeclareMetrics();
    void RefreshStoreGauges();
    // Commits what the store holds queued, timing it for the metrics.
    int TimedCommit(std::vector<ERcStored>& oResults, std::string& strError);

    // One HTTP connection: its parser and, once it has said its last word,
    // that answer, whose bytes the operator references until it is written
    // or dropped.
    struct stHttpSlot {
        uint32 iFdSeq = 0;
        std::unique_ptr<CRcHttpConn> pConn;
        std::string strLast;
        bool bLastQueued = false;
    };
    int StartHttp(std::string& strError);
    sint32 OnHttpRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize);
    // The bytes still queued for the descriptor.
    static uint64 QueuedBytes(CFdContext* pFdContext);

    CRcenterServer(const CRcenterServer&) = delete;
    CRcenterServer& operator=(const CRcenterServer&) = delete;

    const stRcConfig& m_oConfig;
    CRcStore& m_oStore;
    CRcDedup& m_oDedup;
    CAioOperator m_operator;
    sint32 m_iListenFd;
    CInetAddr m_listenAddr;
    uint32 m_iLastStatTick;
    CCounts m_counts;
    std::vector<stAnswer> m_oAnswers;
    bool m_bStoreChecked;  // this turn's reports have checked the store's file
    sint32 m_iHttpListenFd;
    CInetAddr m_httpListenAddr;
    stRcHttpSigning m_oSigning;
    CRcReplay m_oReplay;
    CRcMetrics m_oMetrics;
    uint32 m_iLastGaugeTick;
    std::unique_ptr<CRcHttpBackend> m_pHttpApi;
    std::unordered_map<sint32, std::unique_ptr<stHttpSlot> > m_oHttpSlots;  // by descriptor
};

#endif
