#include "rc_server.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fd_context.h"
#include "os_util.h"
#include "rc_store_factory.h"
#include "report_wire.h"
#include "sig_key.h"
#include "svr_log.h"

namespace {

// The store's gauges are read at most this often (and with each statistics
// line), so a scrape shows counts a few seconds old at worst.
const uint32 kStoreGaugeIntervalMs = 5000;

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
      m_oReplay(oConfig.sig_window_s),
      m_oMetrics(m_counts, oDedup, m_oReplay, [this] { return CountOpen(); }),
      m_oWriter(oStore),
      m_oReports(m_operator, m_oWriter, oDedup, m_counts),
      m_iListenFd(-1),
      m_iHttpListenFd(-1),
      m_iLastStatTick(0),
      m_iLastGaugeTick(0),
      m_bStopping(false) {
    m_listenAddr.Reset();
    m_httpListenAddr.Reset();
    m_oReports.SetTimings(m_oMetrics.AnswerTimes(), m_oMetrics.CommitTimes());
}

// The store threads go first: nothing of theirs may outlive the handlers
// their completions call. The operator leaves open descriptors alone when
// it goes; the server closes its own so a stop ends every connection at once.
CRcenterServer::~CRcenterServer() {
    StopWorkers();
    for (uint32 i = 0; i < m_operator.GetMaxFdNum(); ++i) {
        CFdContext* pFdContext = m_operator.GetFdContext(static_cast<sint32>(i));
        if (pFdContext == nullptr || pFdContext->GetFd() != static_cast<sint32>(i)) continue;
        if (pFdContext->GetFdType() == FD_TYPE_NOTIFY) {
            m_operator.RemoveNotifyFd(static_cast<sint32>(i));
        } else {
            m_operator.CloseSocket(static_cast<sint32>(i));
        }
    }
    SigWipe(m_oSigning.Secret, sizeof(m_oSigning.Secret));
}

void CRcenterServer::StopWorkers() {
    if (m_pChecker) m_pChecker->Stop();
    m_oWriter.Stop();
    if (m_pReader) m_pReader->Stop();
}

int CRcenterServer::Watch(CRcStoreWorker& oWorker, std::string& strError) {
    if (m_operator.AddNotifyFd(oWorker.GetNotifyFd()) == 0) return 0;
    strError = "cannot watch the store thread's eventfd " + std::to_string(oWorker.GetNotifyFd());
    return EMFILE;
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
    // The last touches of the store from this thread: from now on it is the
    // store thread's.
    m_oReports.SetIdentity(m_oStore.GetIdentity());
    const std::string strStore = m_oStore.Describe();
    m_oWriter.SetNewsHandler([this](const rc_store_news_t& oNews) { m_oReports.OnNews(oNews); });
    int iErr = m_oWriter.Start(strError);
    if (iErr == 0) iErr = Watch(m_oWriter, strError);
    if (iErr != 0) return iErr;

    CInetAddr addr(m_oConfig.listen_ip.c_str(), static_cast<uint16>(m_oConfig.listen_port));
    m_iListenFd = m_operator.AddTcpListenSock(addr);
    if (m_iListenFd < 0) {
        iErr = ErrnoOr(EIO);
        strError = "cannot listen on " + m_oConfig.listen_ip + ":" + std::to_string(m_oConfig.listen_port) + ": " +
                   strerror(iErr);
        return iErr;
    }
    m_operator.GetFdContext(m_iListenFd)->SetContType(RC_CONN_REPORT);
    socklen_t iLen = sizeof(sockaddr_in);
    if (getsockname(m_iListenFd, reinterpret_cast<sockaddr*>(m_listenAddr.GetSockAddr()), &iLen) != 0) {
        iErr = ErrnoOr(EIO);
        strError = std::string("cannot read the listening address: ") + strerror(iErr);
        return iErr;
    }
    m_iLastStatTick = GetTickCount();
    LOG_INFO("listening on %s:%u, store %s", m_listenAddr.GetIpStr(), static_cast<unsigned>(m_listenAddr.GetPort()),
             strStore.c_str());
    iErr = StartChecks(strError);
    if (iErr != 0) return iErr;
    return m_oConfig.http_enabled ? StartHttp(strError) : 0;
}

// The checker writes health through a handle of its own, opened after the
// writer's, which has brought the schema up to date.
int CRcenterServer::StartChecks(std::string& strError) {
    if (m_oConfig.check_interval_s == 0) {
        LOG_INFO("checks of the locations: off (check_interval_s 0)");
        return 0;
    }
    rc_check_opts_t oOpts;
    oOpts.IntervalS = m_oConfig.check_interval_s;
    oOpts.Concurrency = m_oConfig.check_concurrency;
    oOpts.PerHost = m_oConfig.check_per_host;
    oOpts.TimeoutMs = m_oConfig.check_timeout_ms;
    int iErr = oOpts.Rule.Parse(m_oConfig.check_allow_nets, strError);
    if (iErr == 0) iErr = rc_open_store(m_oConfig, RC_STORE_HEALTH, m_pCheckStore, strError);
    if (iErr != 0) {
        strError = "store for the checks: " + strError;
        return iErr;
    }
    m_pChecker.reset(new CRcChecker(*m_pCheckStore, oOpts));
    iErr = m_pChecker->Start(strError);
    if (iErr != 0) return iErr;
    const CRcChecker* pChecker = m_pChecker.get();
    m_oMetrics.SetCheckFigures([pChecker] { return pChecker->Figures(); });
    LOG_INFO("checks of the locations: every %u s, %u at once, %u per host, %u ms each, also reaching: %s",
             oOpts.IntervalS, oOpts.Concurrency, oOpts.PerHost, oOpts.TimeoutMs,
             m_oConfig.check_allow_nets.empty() ? "nothing private" : m_oConfig.check_allow_nets.c_str());
    return 0;
}

// The API reads through a handle of its own on a thread of its own, so a
// commit that waits (a sync, a lock another process holds) delays no look-up.
int CRcenterServer::StartHttp(std::string& strError) {
    int iErr = rc_open_store(m_oConfig, RC_STORE_READ, m_pReadStore, strError);
    if (iErr != 0) {
        strError = "store for reading: " + strError;
        return iErr;
    }
    m_pReader.reset(new CRcStoreWorker(*m_pReadStore));
    iErr = m_pReader->Start(strError);
    if (iErr == 0) iErr = Watch(*m_pReader, strError);
    if (iErr != 0) return iErr;
    m_oSigning.HasSecret = m_oConfig.sig_key_set;
    memcpy(m_oSigning.Secret, m_oConfig.sig_key, sizeof(m_oSigning.Secret));
    m_oSigning.WindowS = m_oConfig.sig_window_s;
    m_oSigning.Replay = &m_oReplay;
    m_pHttpApi.reset(new CRcHttpApi(*m_pReader, m_oReports, m_counts, m_oMetrics));
    m_pHttp.reset(new CRcHttpHandler(m_operator, *m_pHttpApi, m_oSigning, m_counts));

    const std::string& strIp = m_oConfig.http_listen_ip.empty() ? m_oConfig.listen_ip : m_oConfig.http_listen_ip;
    CInetAddr addr(strIp.c_str(), static_cast<uint16>(m_oConfig.http_listen_port));
    m_iHttpListenFd = m_operator.AddTcpListenSock(addr);
    if (m_iHttpListenFd < 0) {
        iErr = ErrnoOr(EIO);
        strError = "cannot listen for HTTP on " + strIp + ":" + std::to_string(m_oConfig.http_listen_port) + ": " +
                   strerror(iErr);
        return iErr;
    }
    m_operator.GetFdContext(m_iHttpListenFd)->SetContType(RC_CONN_HTTP);
    socklen_t iLen = sizeof(sockaddr_in);
    if (getsockname(m_iHttpListenFd, reinterpret_cast<sockaddr*>(m_httpListenAddr.GetSockAddr()), &iLen) != 0) {
        iErr = ErrnoOr(EIO);
        strError = std::string("cannot read the HTTP listening address: ") + strerror(iErr);
        return iErr;
    }
    LOG_INFO("HTTP API on %s:%u, removal %s", m_httpListenAddr.GetIpStr(),
             static_cast<unsigned>(m_httpListenAddr.GetPort()),
             m_oSigning.HasSecret ? "by signed request" : "refused: signing not configured");
    RefreshStoreGauges();
    return 0;
}

void CRcenterServer::RunOnce() {
    m_operator.OnRun();
    m_oReports.EndTurn();
    if (m_pHttp) m_pHttp->EndTurn();
    // Unsigned difference: right across the tick's wrap; a clock set back
    // only brings one line forward.
    if (GetTickCount() - m_iLastStatTick >= m_oConfig.stat_interval_ms) WriteStatistics();
    if (GetTickCount() - m_iLastGaugeTick >= kStoreGaugeIntervalMs) RefreshStoreGauges();
}

// Only the API shows the gauges, so without it there is nothing to read for.
void CRcenterServer::RefreshStoreGauges() {
    m_iLastGaugeTick = GetTickCount();
    if (m_pReader) m_oMetrics.RefreshStore(*m_pReader);
}

stRcOpenConns CRcenterServer::CountOpen() {
    stRcOpenConns oOpen;
    for (uint32 i = 0; i < m_operator.GetMaxFdNum(); ++i) {
        CFdContext* pFdContext = m_operator.GetFdContext(static_cast<sint32>(i));
        if (pFdContext == nullptr || pFdContext->GetFd() != static_cast<sint32>(i) ||
            pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED)
            continue;
        ++(KindOf(pFdContext) == RC_CONN_HTTP ? oOpen.Http : oOpen.Report);
    }
    return oOpen;
}

void CRcenterServer::RunCompletions() {
    m_oWriter.RunCompletions();
    if (m_pReader) m_pReader->RunCompletions();
    if (m_pHttp) m_pHttp->Run();
}

void CRcenterServer::WriteStatistics() {
    m_iLastStatTick = GetTickCount();
    m_oReports.CommitTallies();
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

bool CRcenterServer::WritesPending() {
    for (uint32 i = 0; i < m_operator.GetMaxFdNum(); ++i) {
        CFdContext* pFdContext = m_operator.GetFdContext(static_cast<sint32>(i));
        if (pFdContext != nullptr && pFdContext->GetFd() == static_cast<sint32>(i) &&
            pFdContext->GetFdType() == FD_TYPE_TCP_ACCEPTED && !pFdContext->GetWriteTaskList().empty())
            return true;
    }
    return false;
}

bool CRcenterServer::Stop() {
    if (m_bStopping) return true;
    m_bStopping = true;
    for (sint32* pFd : {&m_iListenFd, &m_iHttpListenFd}) {
        if (*pFd >= 0) m_operator.CloseSocket(*pFd);
        *pFd = -1;
    }
    // The counts of repeats go with the last commit.
    m_oReports.CommitTallies();
    const uint32 iStart = GetTickCount();
    auto waiting = [this] {
        return !m_oReports.IsIdle() || m_oWriter.GetInFlight() > 0 || (m_pReader && m_pReader->GetInFlight() > 0);
    };
    while (waiting() && GetTickCount() - iStart < STOP_STORE_WAIT_MS) {
        m_operator.OnRun();
        m_oReports.EndTurn();
    }
    const bool bAnswered = !waiting();
    if (!bAnswered) LOG_ERR("stopping with answers of the store still awaited after %u ms", STOP_STORE_WAIT_MS);
    const uint32 iWrites = GetTickCount();
    while (WritesPending() && GetTickCount() - iWrites < STOP_WRITE_WAIT_MS) m_operator.OnRun();
    StopWorkers();
    return bAnswered;
}

sint32 CRcenterServer::OnTcpConnOut(CFdContext*, bool) { return 0; }

CRcenterServer::EConnKind CRcenterServer::KindOf(CFdContext* pFdContext) {
    return pFdContext->GetContType() == RC_CONN_HTTP ? RC_CONN_HTTP : RC_CONN_REPORT;
}

sint32 CRcenterServer::OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED) return 0;
    // A stopping server answers what it has read and reads no more.
    if (m_bStopping) {
        iParsedDataSize = iDataSize;
        return 0;
    }
    if (KindOf(pFdContext) == RC_CONN_HTTP && m_pHttp)
        return m_pHttp->OnRead(pFdContext, pData, iDataSize, iParsedDataSize);
    return m_oReports.OnRead(pFdContext, pData, iDataSize, iParsedDataSize);
}

sint32 CRcenterServer::OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char*, uint32, sint32 iWroteSize) {
    if (pFdContext == nullptr || KindOf(pFdContext) != RC_CONN_HTTP || !m_pHttp) return 0;
    return m_pHttp->OnWrote(pFdContext, pHandle, iWroteSize);
}

sint32 CRcenterServer::OnUdpRead(CFdContext*, char*, uint32, const CInetAddr&) { return 0; }

sint32 CRcenterServer::OnFdClosed(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED) return 0;
    const bool bHttp = KindOf(pFdContext) == RC_CONN_HTTP;
    LOG_INFO("%sconnection from %s closed", bHttp ? "HTTP " : "", PeerText(pFdContext).c_str());
    if (bHttp) {
        if (m_pHttp) m_pHttp->OnClosed(pFdContext);
    } else {
        m_oReports.OnClosed(pFdContext);
    }
    return 0;
}

sint32 CRcenterServer::OnNotify(CFdContext*) {
    RunCompletions();
    return 0;
}
