#include "rc_server.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fd_context.h"
#include "os_util.h"
#include "svr_log.h"

namespace {

// errno when a failed call left one, else iDefault: a failure is never 0.
int ErrnoOr(int iDefault) { return errno != 0 ? errno : iDefault; }

std::string PeerText(CFdContext* pFdContext) {
    CInetAddr* pRemote = pFdContext->GetRemoteAddr();
    return std::string(pRemote->GetIpStr()) + ":" + std::to_string(pRemote->GetPort());
}

}  // namespace

CRcenterServer::CRcenterServer(const stRcConfig& oConfig, CRcJournal& oJournal, CRcDedup& oDedup)
    : m_oConfig(oConfig),
      m_oJournal(oJournal),
      m_oDedup(oDedup),
      m_operator(*this),
      m_iListenFd(-1),
      m_iLastStatTick(0) {
    m_listenAddr.Reset();
}

// The operator leaves open descriptors alone when it goes; the server closes
// its own so a stop ends every connection at once.
CRcenterServer::~CRcenterServer() {
    for (uint32 i = 0; i < m_operator.GetMaxFdNum(); ++i) {
        CFdContext* pFdContext = m_operator.GetFdContext(static_cast<sint32>(i));
        if (pFdContext != nullptr && pFdContext->GetFd() == static_cast<sint32>(i))
            m_operator.CloseSocket(static_cast<sint32>(i));
    }
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
    LOG_INFO("listening on %s:%u, journal %s", m_listenAddr.GetIpStr(), static_cast<unsigned>(m_listenAddr.GetPort()),
             m_oJournal.GetPath().c_str());
    return 0;
}

void CRcenterServer::RunOnce() {
    m_operator.OnRun();
    // Unsigned difference: right across the tick's wrap; a clock set back
    // only brings one line forward.
    if (GetTickCount() - m_iLastStatTick >= m_oConfig.stat_interval_ms) WriteStatistics();
}

void CRcenterServer::WriteStatistics() {
    m_iLastStatTick = GetTickCount();
    g_StatisLog.Write("%s", m_oDedup.GetStatisticInfo().c_str());
    g_StatisLog.Write("reports accepted=%llu known=%llu rejected=%llu not_stored=%llu dropped_connections=%llu",
                      static_cast<unsigned long long>(m_counts.iAccepted),
                      static_cast<unsigned long long>(m_counts.iKnown),
                      static_cast<unsigned long long>(m_counts.iRejected),
                      static_cast<unsigned long long>(m_counts.iNotStored),
                      static_cast<unsigned long long>(m_counts.iDropped));
}

void CRcenterServer::HandleRequest(const unsigned char* p, uint32 iLen, time_t tNow, const char* pszPeer,
                                   uint32& iResult, uint32& iErrno) {
    zq_head_t head;
    rc_read_head(p, head);
    rc_report_t oReport;
    iErrno = rc_check_request(p, iLen, oReport);
    if (iErrno != RC_ERR_NONE) {
        iResult = RC_RESULT_REJECTED;
        ++m_counts.iRejected;
        LOG_WARN("report seq=%u from %s rejected: errno=%u (%s), len=%u, cmd=0x%x", head.iSeq, pszPeer, iErrno,
                 rc_errno_text(iErrno), iLen, head.iCmd);
        return;
    }

    std::string strFid = oReport.FID.Hex();
    std::string strFile = rc_journal_escape(oReport.FileName);
    uint64 iFirstSeen = 0;
    if (m_oDedup.IsKnown(strFid, &iFirstSeen)) {
        iResult = RC_RESULT_KNOWN;
        ++m_counts.iKnown;
        LOG_INFO("report seq=%u from %s: fid=%s (%s) already known since %llu", head.iSeq, pszPeer, strFid.c_str(),
                 strFile.c_str(), static_cast<unsigned long long>(iFirstSeen));
        return;
    }

    int iErr = m_oJournal.Append(rc_journal_line(oReport, tNow));
    if (iErr != 0) {
        iResult = RC_RESULT_NOT_STORED;
        iErrno = static_cast<uint32>(iErr);
        ++m_counts.iNotStored;
        LOG_ERR("report seq=%u from %s: fid=%s (%s) not stored: journal %s: %s", head.iSeq, pszPeer, strFid.c_str(),
                strFile.c_str(), m_oJournal.GetPath().c_str(), strerror(iErr));
        return;
    }
    // Journaled is what counts; a FID the cache cannot hold is only reported
    // again as new later.
    if (!m_oDedup.Remember(strFid, static_cast<uint64>(tNow)))
        LOG_WARN("fid=%s journaled but not remembered: the dedup cache cannot hold it", strFid.c_str());
    iResult = RC_RESULT_ACCEPTED;
    ++m_counts.iAccepted;
    LOG_INFO("report seq=%u from %s: fid=%s (%s, %llu bytes) accepted", head.iSeq, pszPeer, strFid.c_str(),
             strFile.c_str(), static_cast<unsigned long long>(oReport.Size));
}

sint32 CRcenterServer::OnTcpConnOut(CFdContext*, bool) { return 0; }

sint32 CRcenterServer::OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED) return 0;
    sint32 iFd = pFdContext->GetFd();
    std::string strPeer = PeerText(pFdContext);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pData);
    uint32 iLeft = iDataSize;
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
        uint32 iResult = 0;
        uint32 iErrno = 0;
        HandleRequest(p, head.iLength, time(nullptr), strPeer.c_str(), iResult, iErrno);

        // A peer that sends without ever reading would grow the queue without end.
        if (pFdContext->GetWriteTaskList().size() >= MAX_QUEUED_RESPONSES) {
            LOG_ERR("%s leaves %u answers unread; closing", strPeer.c_str(), static_cast<unsigned>(MAX_QUEUED_RESPONSES));
            ++m_counts.iDropped;
            return -1;
        }
        unsigned char arResponse[RC_RESPONSE_LEN];
        rc_make_response(head.iSeq, iResult, iErrno, arResponse);
        if (m_operator.TcpSend(iFd, reinterpret_cast<const char*>(arResponse), RC_RESPONSE_LEN) != 0) {
            LOG_ERR("cannot queue the answer to %s, seq=%u; closing", strPeer.c_str(), head.iSeq);
            return -1;
        }
        p += head.iLength;
        iLeft -= head.iLength;
        iParsedDataSize += head.iLength;
    }
    return 0;
}

sint32 CRcenterServer::OnTcpWrote(CFdContext*, void*, const char*, uint32, sint32) { return 0; }

sint32 CRcenterServer::OnUdpRead(CFdContext*, char*, uint32, const CInetAddr&) { return 0; }

sint32 CRcenterServer::OnFdClosed(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() == FD_TYPE_TCP_ACCEPTED)
        LOG_INFO("connection from %s closed", PeerText(pFdContext).c_str());
    return 0;
}
