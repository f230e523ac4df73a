// CRcenterServer: the resource center's loop. It owns the operator, the
// listeners, the two store threads (one writes, one reads for the HTTP
// API, each with its own store handle), the checker of the locations (a
// third handle, threads of its own, never waited on) and the two protocol
// handlers; a
// connection's listener tag, read in one place (OnTcpRead and the other
// callbacks), says which handler it belongs to. The store threads' answers
// come back through their eventfds, which the operator watches, so the loop
// never waits on the disk; the figures for /metrics are kept on the loop,
// the store's counts among them read on the reading thread. Borrows the
// configuration, the writing store (opened by the caller) and the dedup
// cache, which must outlive it; opens the reading store itself. Loop
// thread only.
#ifndef ZQ_RC_SERVER_H
#define ZQ_RC_SERVER_H

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
#include "rc_counts.h"
#include "rc_dedup.h"
#include "rc_checker.h"
#include "rc_http.h"
#include "rc_http_api.h"
#include "rc_http_handler.h"
#include "rc_removal_tokens.h"
#include "rc_report_handler.h"
#include "rc_server_metrics.h"
#include "rc_store.h"
#include "rc_store_worker.h"
#include "rc_write_path.h"

class CRcenterServer : public CAioEvtHandler {
public:
    typedef rc_counts_t CCounts;

    enum : uint32 {
        // How long a stop waits for the store's answers, then for the
        // answers' bytes to leave.
        STOP_STORE_WAIT_MS = 30000,
        STOP_WRITE_WAIT_MS = 5000,
    };

    CRcenterServer(const rc_config_t& oConfig, CRcStore& oStore, CRcDedup& oDedup);
    ~CRcenterServer() override;

    // Opens the reading store, starts the store threads, builds the
    // descriptor table and the epoll instance and starts listening. 0, or an
    // error number with the reason in strError.
    int Start(std::string& strError);
    // The address actually bound (the port chosen when 0 was asked).
    const CInetAddr& GetListenAddr() const { return m_listenAddr; }
    // The HTTP API's address, when HasHttp().
    bool HasHttp() const { return m_iHttpListenFd >= 0; }
    const CInetAddr& GetHttpListenAddr() const { return m_httpListenAddr; }
    // One turn of the operator (at most about a millisecond of waiting, the
    // store's answers included), the batch gathered sent to the store, then
    // the statistics line when its interval has passed.
    void RunOnce();
    // Stops accepting and reading, lets the store answer every report
    // received (within STOP_STORE_WAIT_MS), sends the answers (within
    // STOP_WRITE_WAIT_MS), stores the counts of repeats and stops the store
    // threads. True when nothing was left unanswered.
    bool Stop();
    // Sends the counts of repeats to the store, then writes the statistics line.
    void WriteStatistics();
    const CCounts& GetCounts() const { return m_counts; }

    sint32 OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) override;
    sint32 OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) override;
    sint32 OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                      sint32 iWroteSize) override;
    sint32 OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) override;
    sint32 OnFdClosed(CFdContext* pFdContext) override;
    sint32 OnTcpPeerDone(CFdContext* pFdContext) override;
    sint32 OnNotify(CFdContext* pFdContext) override;

private:
    // The tag a listener passes on to the connections it accepts.
    enum EConnKind : uint32 {
        RC_CONN_REPORT = 0,
        RC_CONN_HTTP = 1,
    };

    CRcenterServer(const CRcenterServer&) = delete;
    CRcenterServer& operator=(const CRcenterServer&) = delete;

    static EConnKind KindOf(CFdContext* pFdContext);
    // Accepted connections by their listener's tag, for a scrape.
    rc_open_conns_t CountOpen();
    void RefreshStoreGauges();
    int StartHttp(std::string& strError);
    int StartChecks(std::string& strError);
    int Watch(CRcStoreWorker& oWorker, std::string& strError);
    // Runs the store threads' completions and what they let go on.
    void RunCompletions();
    void StopWorkers();
    void EndGracefully(CFdContext* pFdContext);
    bool WritesPending();

    const rc_config_t& m_oConfig;
    CRcStore& m_oStore;
    CRcDedup& m_oDedup;
    CAioOperator m_operator;
    CCounts m_counts;
    CRcRemovalTokens m_oTokens;
    CRcServerMetrics m_oMetrics;
    std::unique_ptr<CRcStore> m_pReadStore;
    std::unique_ptr<CRcStore> m_pSearchStore;
    CRcStoreWorker m_oWriter;
    std::unique_ptr<CRcStoreWorker> m_pReader;
    std::unique_ptr<CRcStoreWorker> m_pSearcher;
    CRcWritePath m_oWritePath;
    CRcReportHandler m_oReports;
    rc_http_signing_t m_oSigning;
    std::unique_ptr<CRcHttpApi> m_pHttpApi;
    std::unique_ptr<CRcHttpHandler> m_pHttp;
    // The checks' own store handle and thread, when check_interval_s is set.
    std::unique_ptr<CRcStore> m_pCheckStore;
    std::unique_ptr<CRcChecker> m_pChecker;
    sint32 m_iListenFd;
    CInetAddr m_listenAddr;
    sint32 m_iHttpListenFd;
    CInetAddr m_httpListenAddr;
    uint32 m_iLastStatTick;
    uint32 m_iLastGaugeTick;
    uint64 m_iGaugeWrites = 0;  // the writes done when the store's counts were last asked for
    bool m_bStopping;
    // By descriptor: the generation (plus one) whose zero linger is cleared.
    std::vector<uint64> m_oGraceful;

    // Slow and greedy peers: by descriptor, the connection seen sending
    // (its generation plus one), its address, its port's kind and since when
    // it holds a request begun and not yet whole; by address and by kind,
    // how many such connections are open.
    struct stPeer {
        uint64 iMark = 0;
        uint32 iIp = 0;
        EConnKind nKind = RC_CONN_REPORT;
        uint32 iPartialSince = 0;  // tick; 0: nothing partial
        uint32 iLingerSince = 0;   // tick; 0: not ending
    };
    std::vector<stPeer> m_oPeers;
    std::unordered_map<uint32, uint32> m_oPerAddr;
    uint32 m_arPerKind[2] = {0, 0};
    uint32 m_iLastPeerSweep = 0;
    // What was refused or cut since the last line about it, logged at most
    // once per interval, never once per connection.
    uint32 m_arRefused[3] = {0, 0, 0};  // per address, per port, deadline
    std::string m_strLastRefused;
    uint32 m_iLastRefusedLog = 0;

    // A new sending connection: false (and counted for the log) when its
    // address or its port's share of the table is full.
    bool AdmitPeer(CFdContext* pFdContext);
    // After a read: whether it left a request begun and not whole.
    void NotePartial(CFdContext* pFdContext, bool bPartial);
    void ForgetPeer(sint32 iFd);
    // Ends a connection whose answers are all with the kernel: its write
    // side is shut and what the peer still sends is dropped until the peer
    // closes or kLingerMs pass. The handlers have let go of it already.
    void Linger(sint32 iFd);
    bool IsLingering(CFdContext* pFdContext) const;
    // Closes connections whose request outlived request_timeout_ms and
    // ending ones whose peer outstayed the bound, lets go of those closed
    // meanwhile, and writes the refusals' line when due.
    void SweepPeers();
};

#endif
