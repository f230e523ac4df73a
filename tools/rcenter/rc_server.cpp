#include "rc_server.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>

#include "fd_context.h"
#include "os_util.h"
#include "rc_http_api.h"
#include "rc_journal.h"
#include "rc_record_format.h"
#include "sig_key.h"
#include "svr_log.h"

namespace {

// The tag a listener passes on to the connections it accepts.
enum : uint32 {
    RC_CONN_REPORT = 0,
    RC_CONN_HTTP = 1,
};

// The store's gauges are read at most this often.
const uint32 kStoreGaugeIntervalMs = 5000;

// Seconds: the answers of a turn take from well under a millisecond (the
// cache) to the seconds a slow disk takes to sync.
const std::vector<double> kLatencyBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                            0.1,    0.25,  0.5,    1,     2.5,  5,     10};

double seconds_since(std::chrono::steady_clock::time_point tFrom) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - tFrom).count();
}

// errno when a failed call left one, else iDefault: a failure is never 0.
int ErrnoOr(int iDefault) { return errno != 0 ? errno : iDefault; }

std::string PeerText(CFdContext* pFdContext) {
    CInetAddr* pRemote = pFdContext->GetRemoteAddr();
    return std::string(pRemote->GetIpStr()) + ":" + std::to_string(pRemote->GetPort());
}

}  // namespace

CRcenterServer::CRcenterServer(const stRcConfig& oConfig, CRcStore& oStore, CRcDedup& oDedup)
    : m_oConfig(oConfig),
      m_oStore(oStore),
      m_oDedup(oDedup),
      m_operator(*this),
      m_iListenFd(-1),
      m_iLastStatTick(0),
      m_bStoreChecked(false),
      m_iHttpListenFd(-1),
      m_oReplay(oConfig.sig_window_s),
      m_iLastGaugeTick(0),
      m_pHttpApi(new CRcHttpApi(*this, oStore)) {
    m_listenAddr.Reset();
    m_httpListenAddr.Reset();
    DeclareMetrics();
}

// The operator leaves open descriptors alone when it goes; the server closes
// its own so a stop ends every connection at once. An HTTP connection's last
// answer, dropped by the close, is let go in OnTcpWrote.
CRcenterServer::~CRcenterServer() {
    for (uint32 i = 0; i < m_operator.GetMaxFdNum(); ++i) {
        CFdContext* pFdContext = m_operator.GetFdContext(static_cast<sint32>(i));
        if (pFdContext != nullptr && pFdContext->GetFd() == static_cast<sint32>(i))
            m_operator.CloseSocket(static_cast<sint32>(i));
    }
    SigWipe(m_oSigning.Secret, sizeof(m_oSigning.Secret));
}

int CRcenterServer::Start(std::string& strError) {
    if (m_operator.InitMaxFdNum(m_oConfig.max_fd_num, RC_MAX_PACKET_LEN) != 0) {
        strError = "cannot build a table of " + std::to_string(m_oConfig.max_fd_num) + " descriptors";
        return ENOMEM;
    }
    m_operator.SetInactiveFdTimeout(m_oConfig.inactive_timeout_ms);
    if (m_operator.CreateEpoll() != 0) {
        int iErr = ErrnoOr(EIO);
        strError = std::string("cannot create the epoll instance: ") + strerror(iErr);
        return iErr;
    }
    CInetAddr addr(m_oConfig.listen_ip.c_str(), static_cast<uint16>(m_oConfig.listen_port));
    m_iListenFd = m_operator.AddTcpListenSock(addr);
    if (m_iListenFd < 0) {
        int iErr = ErrnoOr(EIO);
        strError = "cannot listen on " + m_oConfig.listen_ip + ":" + std::to_string(m_oConfig.listen_port) + ": " +
                   strerror(iErr);
        return iErr;
    }
    socklen_t iLen = sizeof(sockaddr_in);
    if (getsockname(m_iListenFd, reinterpret_cast<sockaddr*>(m_listenAddr.GetSockAddr()), &iLen) != 0) {
        int iErr = ErrnoOr(EIO);
        strError = std::string("cannot read the listening address: ") + strerror(iErr);
        return iErr;
    }
    m_iLastStatTick = GetTickCount();
    RefreshStoreGauges();
    LOG_INFO("listening on %s:%u, store %s", m_listenAddr.GetIpStr(), static_cast<unsigned>(m_listenAddr.GetPort()),
             m_oStore.GetPath().c_str());
    return m_oConfig.http_enabled ? StartHttp(strError) : 0;
}

int CRcenterServer::StartHttp(std::string& strError) {
    m_oSigning.HasSecret = m_oConfig.sig_key_set;
    memcpy(m_oSigning.Secret, m_oConfig.sig_key, sizeof(m_oSigning.Secret));
    m_oSigning.WindowS = m_oConfig.sig_window_s;
    m_oSigning.Replay = &m_oReplay;
    const std::string& strIp = m_oConfig.http_listen_ip.empty() ? m_oConfig.listen_ip : m_oConfig.http_listen_ip;
    CInetAddr addr(strIp.c_str(), static_cast<uint16>(m_oConfig.http_listen_port));
    m_iHttpListenFd = m_operator.AddTcpListenSock(addr);
    if (m_iHttpListenFd < 0) {
        int iErr = ErrnoOr(EIO);
        strError = "cannot listen for HTTP on " + strIp + ":" +
                   std::to_string(m_oConfig.http_listen_port) + ": " + strerror(iErr);
        return iErr;
    }
    m_operator.GetFdContext(m_iHttpListenFd)->SetContType(RC_CONN_HTTP);
    socklen_t iLen = sizeof(sockaddr_in);
    if (getsockname(m_iHttpListenFd, reinterpret_cast<sockaddr*>(m_httpListenAddr.GetSockAddr()), &iLen) != 0) {
        int iErr = ErrnoOr(EIO);
        strError = std::string("cannot read the HTTP listening address: ") + strerror(iErr);
        return iErr;
    }
    LOG_INFO("HTTP API on %s:%u, removal %s", m_httpListenAddr.GetIpStr(),
             static_cast<unsigned>(m_httpListenAddr.GetPort()),
             m_oSigning.HasSecret ? "by signed request" : "refused: signing not configured");
    return 0;
}

void CRcenterServer::RunOnce() {
    m_bStoreChecked = false;
    m_operator.OnRun();
    SettleAnswers();
    // Unsigned difference: right across the tick's wrap; a clock set back
    // only brings one line forward.
    if (GetTickCount() - m_iLastStatTick >= m_oConfig.stat_interval_ms) WriteStatistics();
    if (GetTickCount() - m_iLastGaugeTick >= kStoreGaugeIntervalMs) RefreshStoreGauges();
}

void CRcenterServer::DeclareMetrics() {
    m_oMetrics.Declare("zq_rcenter_reports_total", RC_METRIC_COUNTER, "Reports answered since start, by outcome.");
    for (const char* pszOutcome : {"accepted", "known", "rejected", "not_stored"})
        m_oMetrics.Value("zq_rcenter_reports_total", RcMetricLabel("outcome", pszOutcome));
    m_oMetrics.Declare("zq_rcenter_http_requests_total", RC_METRIC_COUNTER,
                       "HTTP requests answered since start, by status.");
    m_oMetrics.Declare("zq_rcenter_dropped_connections_total", RC_METRIC_COUNTER,
                       "Connections closed for invalid packets or unread answers.");
    m_oMetrics.Declare("zq_rcenter_removed_total", RC_METRIC_COUNTER, "Resources removed through the HTTP API.");
    m_oMetrics.Declare("zq_rcenter_open_connections", RC_METRIC_GAUGE, "Connections open now, by kind.");
    m_oMetrics.Declare("zq_rcenter_cache_entries", RC_METRIC_GAUGE, "Entries in the dedup cache.");
    m_oMetrics.Declare("zq_rcenter_store_resources", RC_METRIC_GAUGE, "Resources in the store, as last read.");
    m_oMetrics.Declare("zq_rcenter_store_locations", RC_METRIC_GAUGE, "Locations in the store, as last read.");
    m_oMetrics.Declare("zq_rcenter_used_tokens", RC_METRIC_GAUGE, "Removal tokens remembered as used.");
    m_oMetrics.DeclareHistogram("zq_rcenter_report_answer_seconds",
                                "Time from a report's arrival to its answer being queued.", kLatencyBounds);
    m_oMetrics.DeclareHistogram("zq_rcenter_commit_seconds", "Time of each store commit, sync included.",
                                kLatencyBounds);
}

// A store that cannot be read keeps the last counts it gave.
void CRcenterServer::RefreshStoreGauges() {
    m_iLastGaugeTick = GetTickCount();
    rc_store_counts_t oStored;
    std::string strError;
    if (m_oStore.GetCounts(oStored, strError) != 0) {
        LOG_WARN("store counts for the metrics not read: %s", strError.c_str());
        return;
    }
    *m_oMetrics.Value("zq_rcenter_store_resources") = static_cast<double>(oStored.Resources);
    *m_oMetrics.Value("zq_rcenter_store_locations") = static_cast<double>(oStored.Locations);
}

std::string CRcenterServer::MetricsText() {
    const std::pair<const char*, uint64> arOutcomes[] = {{"accepted", m_counts.iAccepted},
                                                         {"known", m_counts.iKnown},
                                                         {"rejected", m_counts.iRejected},
                                                         {"not_stored", m_counts.iNotStored}};
    for (const auto& oOutcome : arOutcomes)
        *m_oMetrics.Value("zq_rcenter_reports_total", RcMetricLabel("outcome", oOutcome.first)) =
            static_cast<double>(oOutcome.second);
    *m_oMetrics.Value("zq_rcenter_dropped_connections_total") = static_cast<double>(m_counts.iDropped);
    *m_oMetrics.Value("zq_rcenter_removed_total") = static_cast<double>(m_counts.iRemoved);
    uint64 iReport = 0, iHttp = 0;
    for (uint32 i = 0; i < m_operator.GetMaxFdNum(); ++i) {
        CFdContext* pFdContext = m_operator.GetFdContext(static_cast<sint32>(i));
        if (pFdContext == nullptr || pFdContext->GetFd() != static_cast<sint32>(i) ||
            pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED)
            continue;
        ++(pFdContext->GetContType() == RC_CONN_HTTP ? iHttp : iReport);
    }
    *m_oMetrics.Value("zq_rcenter_open_connections", RcMetricLabel("kind", "report")) = static_cast<double>(iReport);
    *m_oMetrics.Value("zq_rcenter_open_connections", RcMetricLabel("kind", "http")) = static_cast<double>(iHttp);
    *m_oMetrics.Value("zq_rcenter_cache_entries") = static_cast<double>(m_oDedup.GetEntries());
    *m_oMetrics.Value("zq_rcenter_used_tokens") = static_cast<double>(m_oReplay.Size());
    return m_oMetrics.Text();
}

void CRcenterServer::CountHttpAnswer(unsigned int iStatus) {
    ++*m_oMetrics.Value("zq_rcenter_http_requests_total", RcMetricLabel("status", std::to_string(iStatus)));
}

int CRcenterServer::TimedCommit(std::vector<ERcStored>& oResults, std::string& strError) {
    const std::chrono::steady_clock::time_point tStart = std::chrono::steady_clock::now();
    const int iErr = m_oStore.Commit(oResults, strError);
    m_oMetrics.Histogram("zq_rcenter_commit_seconds")->Observe(seconds_since(tStart));
    return iErr;
}

void CRcenterServer::WriteStatistics() {
    m_iLastStatTick = GetTickCount();
    std::vector<ERcStored> oNone;
    std::string strError;
    if (m_oStore.GetQueued() == 0 && TimedCommit(oNone, strError) != 0)
        LOG_ERR("counts of repeated reports not stored yet: %s", strError.c_str());
    RefreshStoreGauges();
    g_StatisLog.Write("%s", m_oDedup.GetStatisticInfo().c_str());
    g_StatisLog.Write("reports accepted=%llu known=%llu rejected=%llu not_stored=%llu dropped_connections=%llu "
                      "removed=%llu http_requests=%llu",
                      static_cast<unsigned long long>(m_counts.iAccepted),
                      static_cast<unsigned long long>(m_counts.iKnown),
                      static_cast<unsigned long long>(m_counts.iRejected),
                      static_cast<unsigned long long>(m_counts.iNotStored),
                      static_cast<unsigned long long>(m_counts.iDropped),
                      static_cast<unsigned long long>(m_counts.iRemoved),
                      static_cast<unsigned long long>(m_counts.iHttpRequests));
}

int CRcenterServer::RemoveResource(const Sha1Hash& oFid, bool& bFound, std::string& strError) {
    // A report of this FID queued earlier in the turn would otherwise be
    // committed after the removal and its key cached again.
    SettleAnswers();
    rc_resource_t oRemoved;
    int iErr = m_oStore.Remove(oFid, bFound, &oRemoved, strError);
    if (iErr != 0 || !bFound) return iErr;
    for (const rc_location_t& oLoc : oRemoved.Locations)
        m_oDedup.Forget(CRcDedup::KeyFor(m_oStore.GetStoreId(), oFid, oLoc.Url));
    ++m_counts.iRemoved;
    LOG_INFO("fid=%s removed with its %zu locations", oFid.Hex().c_str(), oRemoved.Locations.size());
    return 0;
}

void CRcenterServer::HandleRequest(const unsigned char* p, uint32 iLen, time_t tNow, stAnswer& oAnswer) {
    rc_report_t oReport;
    oAnswer.iErrno = rc_check_request(p, iLen, oReport);
    if (oAnswer.iErrno != RC_ERR_NONE) {
        zq_head_t head;
        rc_read_head(p, head);
        oAnswer.iResult = RC_RESULT_REJECTED;
        ++m_counts.iRejected;
        LOG_WARN("report seq=%u from %s rejected: errno=%u (%s), len=%u, cmd=0x%x", oAnswer.iSeq,
                 oAnswer.strPeer.c_str(), oAnswer.iErrno, rc_errno_text(oAnswer.iErrno), iLen, head.iCmd);
        return;
    }
    oAnswer.oFid = oReport.FID;
    oAnswer.strUrl = oReport.Url;
    oAnswer.strFile = rc_journal_escape(oReport.FileName);

    // A cache key names a pair of one store file: the file is checked once
    // a turn before the cache answers for it.
    if (!m_bStoreChecked) {
        m_bStoreChecked = true;
        std::string strError;
        if (m_oStore.KeepNamed(strError) != 0) LOG_ERR("store: %s", strError.c_str());
    }
    uint64 iFirstSeen = 0;
    if (m_oStore.IsOpen() && m_oDedup.IsKnown(CRcDedup::KeyFor(m_oStore.GetStoreId(), oReport.FID, oReport.Url),
                                              &iFirstSeen)) {
        oAnswer.iResult = RC_RESULT_KNOWN;
        ++m_counts.iKnown;
        m_oStore.Tally(oReport.FID, tNow);
        LOG_INFO("report seq=%u from %s: fid=%s (%s) already known since %llu", oAnswer.iSeq, oAnswer.strPeer.c_str(),
                 oAnswer.oFid.Hex().c_str(), oAnswer.strFile.c_str(), static_cast<unsigned long long>(iFirstSeen));
        return;
    }
    rc_resource_t oRes;
    rc_location_t oWhere;
    rc_resource_of(oReport, oRes, oWhere);
    oAnswer.iQueued = static_cast<long>(m_oStore.Add(std::move(oRes), std::move(oWhere), tNow));
}

void CRcenterServer::SettleAnswers() {
    if (m_oAnswers.empty()) return;
    std::vector<ERcStored> oResults;
    std::string strError;
    int iErr = m_oStore.GetQueued() > 0 ? TimedCommit(oResults, strError) : 0;
    if (iErr != 0) LOG_ERR("store: %s", strError.c_str());
    stRcHistogram* pAnswerTimes = m_oMetrics.Histogram("zq_rcenter_report_answer_seconds");
    for (stAnswer& oAnswer : m_oAnswers) {
        if (oAnswer.iQueued >= 0) Settle(oAnswer, iErr, strError, oResults);
        pAnswerTimes->Observe(seconds_since(oAnswer.tArrived));
        Send(oAnswer);
    }
    m_oAnswers.clear();
}

void CRcenterServer::Settle(stAnswer& oAnswer, int iErr, const std::string& strError,
                            const std::vector<ERcStored>& oResults) {
    std::string strFid = oAnswer.oFid.Hex();
    size_t iAt = static_cast<size_t>(oAnswer.iQueued);
    if (iErr != 0 || iAt >= oResults.size()) {
        oAnswer.iResult = RC_RESULT_NOT_STORED;
        oAnswer.iErrno = static_cast<uint32>(iErr != 0 ? iErr : EIO);
        ++m_counts.iNotStored;
        LOG_ERR("report seq=%u from %s: fid=%s (%s) not stored: %s", oAnswer.iSeq, oAnswer.strPeer.c_str(),
                strFid.c_str(), oAnswer.strFile.c_str(), strError.c_str());
        return;
    }
    ERcStored nStored = oResults[iAt];
    uint64 iNow = static_cast<uint64>(time(nullptr));
    // Stored is what counts; a key the cache cannot hold only sends its
    // next repeat to the store.
    if (!m_oDedup.Remember(CRcDedup::KeyFor(m_oStore.GetStoreId(), oAnswer.oFid, oAnswer.strUrl), iNow))
        LOG_WARN("fid=%s stored but not cached: the dedup cache cannot hold it", strFid.c_str());
    if (nStored == RC_STORED_KNOWN) {
        oAnswer.iResult = RC_RESULT_KNOWN;
        ++m_counts.iKnown;
        LOG_INFO("report seq=%u from %s: fid=%s (%s) already known to the store", oAnswer.iSeq,
                 oAnswer.strPeer.c_str(), strFid.c_str(), oAnswer.strFile.c_str());
        return;
    }
    oAnswer.iResult = RC_RESULT_ACCEPTED;
    ++m_counts.iAccepted;
    LOG_INFO("report seq=%u from %s: fid=%s (%s) accepted%s", oAnswer.iSeq, oAnswer.strPeer.c_str(), strFid.c_str(),
             oAnswer.strFile.c_str(), nStored == RC_STORED_LOCATION ? " as a new location" : "");
}

// The connection may have gone during the turn (its reports are stored all
// the same), and its number may even be another peer's by now.
void CRcenterServer::Send(const stAnswer& oAnswer) {
    CFdContext* pFdContext = m_operator.GetFdContext(oAnswer.iFd);
    if (pFdContext == nullptr || pFdContext->GetFd() != oAnswer.iFd || pFdContext->GetSeq() != oAnswer.iFdSeq ||
        pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED)
        return;
    // A peer that sends without ever reading would grow the queue without end.
    if (pFdContext->GetWriteTaskList().size() >= MAX_QUEUED_RESPONSES) {
        LOG_ERR("%s leaves %u answers unread; closing", oAnswer.strPeer.c_str(),
                static_cast<unsigned>(MAX_QUEUED_RESPONSES));
        ++m_counts.iDropped;
        m_operator.CloseSocket(oAnswer.iFd);
        return;
    }
    unsigned char arResponse[RC_RESPONSE_LEN];
    rc_make_response(oAnswer.iSeq, oAnswer.iResult, oAnswer.iErrno, arResponse);
    if (m_operator.TcpSend(oAnswer.iFd, reinterpret_cast<const char*>(arResponse), RC_RESPONSE_LEN) != 0) {
        LOG_ERR("cannot queue the answer to %s, seq=%u; closing", oAnswer.strPeer.c_str(), oAnswer.iSeq);
        m_operator.CloseSocket(oAnswer.iFd);
    }
}

sint32 CRcenterServer::OnTcpConnOut(CFdContext*, bool) { return 0; }

uint64 CRcenterServer::QueuedBytes(CFdContext* pFdContext) {
    uint64 iBytes = 0;
    for (const CWriteTaskBase* pTask : pFdContext->GetWriteTaskList()) iBytes += pTask->GetLeftSize();
    return iBytes;
}

// Every byte is the parser's: it keeps what a request still lacks. Bytes
// after the connection's last request are ignored until it is closed.
sint32 CRcenterServer::OnHttpRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize) {
    sint32 iFd = pFdContext->GetFd();
    std::unique_ptr<stHttpSlot>& pSlot = m_oHttpSlots[iFd];
    if (!pSlot || pSlot->iFdSeq != pFdContext->GetSeq()) {
        pSlot.reset(new stHttpSlot);
        pSlot->iFdSeq = pFdContext->GetSeq();
        pSlot->pConn.reset(new CRcHttpConn(*m_pHttpApi, m_oSigning));
    }
    stHttpSlot& oSlot = *pSlot;
    CRcHttpConn& oConn = *oSlot.pConn;
    if (oConn.GetState() == RC_HTTP_CLOSE) return 0;

    const uint64 iQueued = QueuedBytes(pFdContext);
    const uint64 iAnswered = oConn.GetAnswered();
    const time_t tNow = time(nullptr);
    std::string strOut;
    ERcHttpState eState = RC_HTTP_OPEN;
    for (uint32 iAt = 0; iAt < iDataSize && eState == RC_HTTP_OPEN; iAt += HTTP_FEED_SLICE) {
        eState = oConn.Feed(pData + iAt, std::min<uint32>(HTTP_FEED_SLICE, iDataSize - iAt), tNow, strOut);
        if (iQueued + strOut.size() > MAX_HTTP_QUEUED_BYTES) {
            LOG_ERR("HTTP peer %s leaves more than %u bytes of answers unread; closing", PeerText(pFdContext).c_str(),
                    static_cast<unsigned>(MAX_HTTP_QUEUED_BYTES));
            ++m_counts.iDropped;
            return -1;
        }
    }
    m_counts.iHttpRequests += oConn.GetAnswered() - iAnswered;
    if (strOut.empty()) return eState == RC_HTTP_CLOSE ? -1 : 0;
    if (eState == RC_HTTP_CLOSE) {
        // Referenced, not copied: the operator reports it written, and the
        // connection is closed then (OnTcpWrote).
        oSlot.strLast = std::move(strOut);
        oSlot.bLastQueued = m_operator.TcpSend(iFd, &oSlot, oSlot.strLast.data(),
                                               static_cast<uint32>(oSlot.strLast.size())) == 0;
        return oSlot.bLastQueued ? 0 : -1;
    }
    return m_operator.TcpSend(iFd, strOut.data(), static_cast<uint32>(strOut.size())) == 0 ? 0 : -1;
}

sint32 CRcenterServer::OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED) return 0;
    if (pFdContext->GetContType() == RC_CONN_HTTP) {
        iParsedDataSize = iDataSize;
        return OnHttpRead(pFdContext, pData, iDataSize);
    }
    sint32 iFd = pFdContext->GetFd();
    std::string strPeer = PeerText(pFdContext);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pData);
    uint32 iLeft = iDataSize;
    const std::chrono::steady_clock::time_point tRead = std::chrono::steady_clock::now();
    for (;;) {
        zq_head_t head;
        ERcFrame nFrame = rc_frame(p, iLeft, head);
        if (nFrame == RC_FRAME_PARTIAL) break;
        if (nFrame == RC_FRAME_INVALID) {
            LOG_ERR("invalid packet from %s, len=%u, cmd=0x%x, ver=%u, sign=%u; closing", strPeer.c_str(),
                    head.iLength, head.iCmd, head.iVer, head.iSign);
            ++m_counts.iDropped;
            return -1;
        }
        stAnswer oAnswer;
        oAnswer.iFd = iFd;
        oAnswer.iFdSeq = pFdContext->GetSeq();
        oAnswer.iSeq = head.iSeq;
        oAnswer.strPeer = strPeer;
        oAnswer.tArrived = tRead;
        HandleRequest(p, head.iLength, time(nullptr), oAnswer);
        m_oAnswers.push_back(std::move(oAnswer));
        p += head.iLength;
        iLeft -= head.iLength;
        iParsedDataSize += head.iLength;
    }
    return 0;
}

// Only an HTTP connection's last answer is referenced: written, it closes
// the connection; written or dropped, its slot may go.
sint32 CRcenterServer::OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char*, uint32, sint32 iWroteSize) {
    if (pFdContext == nullptr) return 0;
    auto it = m_oHttpSlots.find(pFdContext->GetFd());
    if (it == m_oHttpSlots.end() || it->second.get() != pHandle) return 0;
    if (iWroteSize < 0) {
        m_oHttpSlots.erase(it);
        return 0;
    }
    it->second->bLastQueued = false;
    return -1;
}

sint32 CRcenterServer::OnUdpRead(CFdContext*, char*, uint32, const CInetAddr&) { return 0; }

sint32 CRcenterServer::OnFdClosed(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED) return 0;
    LOG_INFO("%sconnection from %s closed", pFdContext->GetContType() == RC_CONN_HTTP ? "HTTP " : "",
             PeerText(pFdContext).c_str());
    // A last answer still queued is dropped by the close that follows, and
    // its slot let go then.
    auto it = m_oHttpSlots.find(pFdContext->GetFd());
    if (it != m_oHttpSlots.end() && !it->second->bLastQueued) m_oHttpSlots.erase(it);
    return 0;
}
