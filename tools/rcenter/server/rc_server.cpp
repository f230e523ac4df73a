#include "rc_server.h"

#include <sys/socket.h>

#include <algorithm>

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

// The store's counts (for /metrics and /v1/stats) are read again this
// often, and with each statistics line, so another center's writes to a
// shared store show within seconds; after a write of this center's, once
// kStoreChangeGaugeMs have passed since the last read. Counting is a scan
// on the look-up thread: a busy center must not count after every commit.
const uint32 kStoreGaugeIntervalMs = 5000;
const uint32 kStoreChangeGaugeMs = 1000;

// Refused and cut connections are told of at most this often.
const uint32 kRefusalLogIntervalMs = 10000;

// How long an ended connection waits for its peer to close: a client that
// wanted its answer has read it and closed well within this.
const uint32 kLingerMs = 2000;

// errno when a failed call left one, else iDefault: a failure is never 0.
int ErrnoOr(int iDefault) { return errno != 0 ? errno : iDefault; }

}  // namespace

CRcenterServer::CRcenterServer(const rc_config_t& oConfig, CRcStore& oStore, CRcDedup& oDedup)
    : m_oConfig(oConfig),
      m_oStore(oStore),
      m_oDedup(oDedup),
      m_operator(*this),
      m_oTokens(oConfig.sig_window_s),
      m_oMetrics(m_counts, oDedup, m_oTokens, [this] { return CountOpen(); }),
      m_oWriter(oStore),
      m_oWritePath(m_oWriter, oDedup, m_counts),
      m_oReports(m_operator, m_oWritePath, m_counts),
      m_iListenFd(-1),
      m_iHttpListenFd(-1),
      m_iLastStatTick(0),
      m_iLastGaugeTick(0),
      m_bStopping(false) {
    m_listenAddr.Reset();
    m_httpListenAddr.Reset();
    m_oReports.SetAnswerTimes(m_oMetrics.AnswerTimes());
    m_oReports.SetEnd([this](sint32 iFd) { Linger(iFd); });
    m_oWritePath.SetCommitTimes(m_oMetrics.CommitTimes());
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
    if (m_pSearcher) m_pSearcher->Stop();
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
    m_oWritePath.SetIdentity(m_oStore.GetIdentity());
    const std::string strStore = m_oStore.Describe();
    m_oWriter.SetNewsHandler([this](const rc_store_news_t& oNews) { m_oWritePath.OnNews(oNews); });
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
    if (iErr == 0) iErr = rc_open_store(rc_store_address(m_oConfig), RC_STORE_HEALTH, m_pCheckStore, strError);
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

// The API reads through handles of its own on threads of their own, so a
// commit that waits (a sync, a lock another process holds) delays no look-up;
// and lists and searches, which may read much of the store, have a thread
// apart from the look-ups and counts, so no look-up waits behind them.
int CRcenterServer::StartHttp(std::string& strError) {
    int iErr = rc_open_store(rc_store_address(m_oConfig), RC_STORE_READ, m_pReadStore, strError);
    if (iErr == 0) iErr = rc_open_store(rc_store_address(m_oConfig), RC_STORE_READ, m_pSearchStore, strError);
    if (iErr != 0) {
        strError = "store for reading: " + strError;
        return iErr;
    }
    m_pReader.reset(new CRcStoreWorker(*m_pReadStore));
    m_pSearcher.reset(new CRcStoreWorker(*m_pSearchStore));
    iErr = m_pReader->Start(strError);
    if (iErr == 0) iErr = Watch(*m_pReader, strError);
    if (iErr == 0) iErr = m_pSearcher->Start(strError);
    if (iErr == 0) iErr = Watch(*m_pSearcher, strError);
    if (iErr != 0) return iErr;
    m_oSigning.HasSecret = m_oConfig.sig_key_set;
    memcpy(m_oSigning.Secret, m_oConfig.sig_key, sizeof(m_oSigning.Secret));
    m_oSigning.WindowS = m_oConfig.sig_window_s;
    m_oSigning.Tokens = &m_oTokens;
    m_pHttpApi.reset(new CRcHttpApi(*m_pReader, *m_pSearcher, m_oWritePath, m_counts, m_oMetrics));
    // The doors' cache follows this center's writes and its checks' health.
    const CRcWritePath& oWritePath = m_oWritePath;
    const CRcChecker* pChecker = m_pChecker.get();
    m_pHttpApi->SetGeneration(
        [&oWritePath, pChecker] { return oWritePath.WritesDone() + (pChecker ? pChecker->HealthWrites() : 0); });
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
    SweepPeers();
    // Unsigned difference: right across the tick's wrap; a clock set back
    // only brings one line forward.
    if (GetTickCount() - m_iLastStatTick >= m_oConfig.stat_interval_ms) WriteStatistics();
    const uint32 iSinceGauge = GetTickCount() - m_iLastGaugeTick;
    if (iSinceGauge >= kStoreGaugeIntervalMs ||
        (iSinceGauge >= kStoreChangeGaugeMs && m_oWritePath.WritesDone() != m_iGaugeWrites))
        RefreshStoreGauges();
}

// Only the API shows the gauges, so without it there is nothing to read for.
void CRcenterServer::RefreshStoreGauges() {
    m_iLastGaugeTick = GetTickCount();
    const uint64 iWrites = m_oWritePath.WritesDone();
    if (m_pReader && m_oMetrics.RefreshStore(*m_pReader)) m_iGaugeWrites = iWrites;
}

rc_open_conns_t CRcenterServer::CountOpen() {
    rc_open_conns_t oOpen;
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
    if (m_pSearcher) m_pSearcher->RunCompletions();
    if (m_pHttp) m_pHttp->Run();
}

void CRcenterServer::WriteStatistics() {
    m_iLastStatTick = GetTickCount();
    m_oWritePath.CommitTallies();
    RefreshStoreGauges();
    g_StatisLog.Write("%s", m_oDedup.GetStatisticInfo().c_str());
    g_StatisLog.Write("reports accepted=%llu known=%llu rejected=%llu not_stored=%llu dropped_connections=%llu "
                      "removed=%llu http_requests=%llu",
                      static_cast<unsigned long long>(m_counts.Accepted),
                      static_cast<unsigned long long>(m_counts.Known),
                      static_cast<unsigned long long>(m_counts.Rejected),
                      static_cast<unsigned long long>(m_counts.NotStored),
                      static_cast<unsigned long long>(m_counts.Dropped),
                      static_cast<unsigned long long>(m_counts.Removed),
                      static_cast<unsigned long long>(m_counts.HttpRequests));
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
    m_oWritePath.CommitTallies();
    const uint32 iStart = GetTickCount();
    auto waiting = [this] {
        return !m_oWritePath.IsIdle() || m_oWriter.GetInFlight() > 0 || (m_pReader && m_pReader->GetInFlight() > 0) ||
               (m_pSearcher && m_pSearcher->GetInFlight() > 0);
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
    if (IsLingering(pFdContext)) {
        iParsedDataSize = iDataSize;
        return 0;
    }
    EndGracefully(pFdContext);
    if (!AdmitPeer(pFdContext)) return -1;
    sint32 iRet;
    bool bPartial;
    if (KindOf(pFdContext) == RC_CONN_HTTP && m_pHttp) {
        iRet = m_pHttp->OnRead(pFdContext, pData, iDataSize, iParsedDataSize);
        bPartial = m_pHttp->IsPartial(pFdContext);
    } else {
        iRet = m_oReports.OnRead(pFdContext, pData, iDataSize, iParsedDataSize);
        bPartial = iParsedDataSize < iDataSize;
    }
    if (iRet == 0) NotePartial(pFdContext, bPartial);
    return iRet;
}

bool CRcenterServer::AdmitPeer(CFdContext* pFdContext) {
    const sint32 iFd = pFdContext->GetFd();
    if (m_oPeers.size() <= static_cast<size_t>(iFd)) m_oPeers.resize(static_cast<size_t>(iFd) + 1);
    stPeer& oPeer = m_oPeers[static_cast<size_t>(iFd)];
    const uint64 iMark = static_cast<uint64>(pFdContext->GetSeq()) + 1;
    if (oPeer.iMark == iMark) return true;
    if (oPeer.iMark != 0) ForgetPeer(iFd);
    const uint32 iIp = pFdContext->GetRemoteAddr()->GetIp();
    const EConnKind nKind = KindOf(pFdContext);
    // Each port keeps an eighth of the table (8 at least) that the other
    // cannot take, so a flood on one never locks the other out.
    const uint32 iReserve = std::max<uint32>(8, m_oConfig.max_fd_num / 8);
    const uint32 iShare = m_oConfig.max_fd_num > iReserve ? m_oConfig.max_fd_num - iReserve : 1;
    int iWhy = -1;
    if (m_oPerAddr[iIp] >= m_oConfig.max_conns_per_addr) {
        iWhy = 0;
    } else if (m_arPerKind[nKind] >= iShare) {
        iWhy = 1;
    }
    if (iWhy >= 0) {
        if (m_oPerAddr[iIp] == 0) m_oPerAddr.erase(iIp);
        ++m_arRefused[iWhy];
        m_strLastRefused = pFdContext->GetRemoteAddr()->GetText();
        return false;
    }
    oPeer.iMark = iMark;
    oPeer.iIp = iIp;
    oPeer.nKind = nKind;
    oPeer.iPartialSince = 0;
    ++m_oPerAddr[iIp];
    ++m_arPerKind[nKind];
    return true;
}

void CRcenterServer::NotePartial(CFdContext* pFdContext, bool bPartial) {
    const size_t iFd = static_cast<size_t>(pFdContext->GetFd());
    if (iFd >= m_oPeers.size() || m_oPeers[iFd].iMark != static_cast<uint64>(pFdContext->GetSeq()) + 1) return;
    stPeer& oPeer = m_oPeers[iFd];
    if (!bPartial) {
        oPeer.iPartialSince = 0;
    } else if (oPeer.iPartialSince == 0) {
        // 0 means none, so a tick of 0 is taken as 1.
        oPeer.iPartialSince = std::max<uint32>(GetTickCount(), 1);
    }
}

// Closing with bytes of the peer's still unread makes the close a reset,
// and a reset can take from the peer an answer it has not read yet: a
// client that sends more after the request the center ends on (pipelined
// requests, the rest of a body refused, a report's trailing garbage) would
// lose the answer that says why. So the center shuts only its own side,
// which the peer reads as the end after the last answer, and reads on.
void CRcenterServer::Linger(sint32 iFd) {
    CFdContext* pFdContext = m_operator.GetFdContext(iFd);
    const bool bKnown = pFdContext != nullptr && pFdContext->GetFd() == iFd && static_cast<size_t>(iFd) < m_oPeers.size() &&
                        m_oPeers[static_cast<size_t>(iFd)].iMark == static_cast<uint64>(pFdContext->GetSeq()) + 1;
    if (!bKnown || shutdown(iFd, SHUT_WR) != 0) {
        ForgetPeer(iFd);
        m_operator.CloseSocket(iFd);
        return;
    }
    stPeer& oPeer = m_oPeers[static_cast<size_t>(iFd)];
    oPeer.iPartialSince = 0;
    oPeer.iLingerSince = std::max<uint32>(GetTickCount(), 1);
}

bool CRcenterServer::IsLingering(CFdContext* pFdContext) const {
    const size_t iFd = static_cast<size_t>(pFdContext->GetFd());
    return iFd < m_oPeers.size() && m_oPeers[iFd].iLingerSince != 0 &&
           m_oPeers[iFd].iMark == static_cast<uint64>(pFdContext->GetSeq()) + 1;
}

void CRcenterServer::ForgetPeer(sint32 iFd) {
    if (iFd < 0 || static_cast<size_t>(iFd) >= m_oPeers.size()) return;
    stPeer& oPeer = m_oPeers[static_cast<size_t>(iFd)];
    if (oPeer.iMark == 0) return;
    auto it = m_oPerAddr.find(oPeer.iIp);
    if (it != m_oPerAddr.end() && --it->second == 0) m_oPerAddr.erase(it);
    if (m_arPerKind[oPeer.nKind] > 0) --m_arPerKind[oPeer.nKind];
    oPeer = stPeer();
}

// The whole-request deadline is kept from a request's first byte, however
// slowly the rest trickles in: the inactivity watch, which any byte
// refreshes, cannot bound that.
void CRcenterServer::SweepPeers() {
    const uint32 iNow = GetTickCount();
    if (iNow - m_iLastPeerSweep < 100) return;
    m_iLastPeerSweep = iNow;
    for (size_t i = 0; i < m_oPeers.size(); ++i) {
        stPeer& oPeer = m_oPeers[i];
        if (oPeer.iMark == 0) continue;
        const sint32 iFd = static_cast<sint32>(i);
        CFdContext* pFdContext = m_operator.GetFdContext(iFd);
        if (pFdContext == nullptr || pFdContext->GetFd() != iFd || pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED ||
            static_cast<uint64>(pFdContext->GetSeq()) + 1 != oPeer.iMark) {
            ForgetPeer(iFd);
            continue;
        }
        if (oPeer.iLingerSince != 0) {
            if (iNow - oPeer.iLingerSince >= kLingerMs) {
                ForgetPeer(iFd);
                m_operator.CloseSocket(iFd);
            }
            continue;
        }
        if (m_oConfig.request_timeout_ms != 0 && oPeer.iPartialSince != 0 &&
            iNow - oPeer.iPartialSince >= m_oConfig.request_timeout_ms) {
            ++m_arRefused[2];
            m_strLastRefused = pFdContext->GetRemoteAddr()->GetText();
            ++m_counts.Dropped;
            OnFdClosed(pFdContext);
            m_operator.CloseSocket(iFd);
        }
    }
    const uint32 iRefused = m_arRefused[0] + m_arRefused[1] + m_arRefused[2];
    if (iRefused > 0 && iNow - m_iLastRefusedLog >= kRefusalLogIntervalMs) {
        m_iLastRefusedLog = iNow;
        LOG_WARN("closed %u connections in the last %u s: %u over the %u a client address may hold, %u over "
                 "their port's share of the table, %u whose request took over %u ms; the last from %s",
                 iRefused, static_cast<unsigned>(kRefusalLogIntervalMs / 1000), m_arRefused[0],
                 m_oConfig.max_conns_per_addr, m_arRefused[1], m_arRefused[2], m_oConfig.request_timeout_ms,
                 m_strLastRefused.c_str());
        m_arRefused[0] = m_arRefused[1] = m_arRefused[2] = 0;
    }
}

// The listeners' zero linger (the library's choice) passes to the sockets
// they accept, and would turn every close into a reset that throws away the
// answer bytes still in the kernel's buffer. A peer the center answers gets
// an orderly end instead: once per connection, at its first bytes (a peer
// that sends nothing is owed nothing).
void CRcenterServer::EndGracefully(CFdContext* pFdContext) {
    const sint32 iFd = pFdContext->GetFd();
    if (iFd < 0) return;
    if (m_oGraceful.size() <= static_cast<size_t>(iFd)) m_oGraceful.resize(static_cast<size_t>(iFd) + 1, 0);
    const uint64 iMark = static_cast<uint64>(pFdContext->GetSeq()) + 1;
    if (m_oGraceful[static_cast<size_t>(iFd)] == iMark) return;
    m_oGraceful[static_cast<size_t>(iFd)] = iMark;
    struct linger oLinger;
    oLinger.l_onoff = 0;
    oLinger.l_linger = 0;
    if (setsockopt(iFd, SOL_SOCKET, SO_LINGER, &oLinger, sizeof(oLinger)) != 0)
        LOG_WARN("fd=%d: cannot clear the zero linger: %s", iFd, strerror(errno));
}

sint32 CRcenterServer::OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char*, uint32, sint32 iWroteSize) {
    if (pFdContext == nullptr || KindOf(pFdContext) != RC_CONN_HTTP || !m_pHttp) return 0;
    if (m_pHttp->OnWrote(pFdContext, pHandle, iWroteSize) == 0) return 0;
    // The last answer is with the kernel: the connection ends, gracefully.
    m_pHttp->OnClosed(pFdContext);
    Linger(pFdContext->GetFd());
    return 0;
}

sint32 CRcenterServer::OnUdpRead(CFdContext*, char*, uint32, const CInetAddr&) { return 0; }

sint32 CRcenterServer::OnFdClosed(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED) return 0;
    // An ending connection's handlers let go of it when it began to end.
    const bool bLingering = IsLingering(pFdContext);
    ForgetPeer(pFdContext->GetFd());
    if (bLingering) return 0;
    const bool bHttp = KindOf(pFdContext) == RC_CONN_HTTP;
    LOG_DEBUG("%sconnection from %s closed", bHttp ? "HTTP " : "", pFdContext->GetRemoteAddr()->GetText().c_str());
    if (bHttp) {
        if (m_pHttp) m_pHttp->OnClosed(pFdContext);
    } else {
        m_oReports.OnClosed(pFdContext);
    }
    return 0;
}

// Only the report port owes answers past its peer's end. Any other orderly
// end is the usual close of a client's visit, not an error: the connection is
// closed here, and logged at debug only, not one err line a report.
sint32 CRcenterServer::OnTcpPeerDone(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    if (IsLingering(pFdContext)) {
        ForgetPeer(pFdContext->GetFd());
        m_operator.CloseSocket(pFdContext->GetFd());
        return 0;
    }
    if (KindOf(pFdContext) != RC_CONN_HTTP && !m_bStopping && m_oReports.OnPeerDone(pFdContext) == 0) return 0;
    const sint32 iFd = pFdContext->GetFd();
    OnFdClosed(pFdContext);
    m_operator.CloseSocket(iFd);
    return 0;
}

sint32 CRcenterServer::OnNotify(CFdContext*) {
    RunCompletions();
    return 0;
}
