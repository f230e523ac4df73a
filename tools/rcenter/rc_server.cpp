#include "rc_server.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fd_context.h"
#include "os_util.h"
#include "rc_journal.h"
#include "rc_record_format.h"
#include "svr_log.h"

namespace {

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
      m_bStoreChecked(false) {
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
    LOG_INFO("listening on %s:%u, store %s", m_listenAddr.GetIpStr(), static_cast<unsigned>(m_listenAddr.GetPort()),
             m_oStore.GetPath().c_str());
    return 0;
}

void CRcenterServer::RunOnce() {
    m_bStoreChecked = false;
    m_operator.OnRun();
    SettleAnswers();
    // Unsigned difference: right across the tick's wrap; a clock set back
    // only brings one line forward.
    if (GetTickCount() - m_iLastStatTick >= m_oConfig.stat_interval_ms) WriteStatistics();
}

void CRcenterServer::WriteStatistics() {
    m_iLastStatTick = GetTickCount();
    std::vector<ERcStored> oNone;
    std::string strError;
    if (m_oStore.GetQueued() == 0 && m_oStore.Commit(oNone, strError) != 0)
        LOG_ERR("counts of repeated reports not stored yet: %s", strError.c_str());
    g_StatisLog.Write("%s", m_oDedup.GetStatisticInfo().c_str());
    g_StatisLog.Write("reports accepted=%llu known=%llu rejected=%llu not_stored=%llu dropped_connections=%llu",
                      static_cast<unsigned long long>(m_counts.iAccepted),
                      static_cast<unsigned long long>(m_counts.iKnown),
                      static_cast<unsigned long long>(m_counts.iRejected),
                      static_cast<unsigned long long>(m_counts.iNotStored),
                      static_cast<unsigned long long>(m_counts.iDropped));
}

int CRcenterServer::RemoveResource(const Sha1Hash& oFid, bool& bFound, std::string& strError) {
    rc_resource_t oRemoved;
    int iErr = m_oStore.Remove(oFid, bFound, &oRemoved, strError);
    if (iErr != 0 || !bFound) return iErr;
    for (const rc_location_t& oLoc : oRemoved.Locations)
        m_oDedup.Forget(CRcDedup::KeyFor(m_oStore.GetStoreId(), oFid, oLoc.Url));
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
    int iErr = m_oStore.GetQueued() > 0 ? m_oStore.Commit(oResults, strError) : 0;
    if (iErr != 0) LOG_ERR("store: %s", strError.c_str());
    for (stAnswer& oAnswer : m_oAnswers) {
        if (oAnswer.iQueued >= 0) Settle(oAnswer, iErr, strError, oResults);
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
        stAnswer oAnswer;
        oAnswer.iFd = iFd;
        oAnswer.iFdSeq = pFdContext->GetSeq();
        oAnswer.iSeq = head.iSeq;
        oAnswer.strPeer = strPeer;
        HandleRequest(p, head.iLength, time(nullptr), oAnswer);
        m_oAnswers.push_back(std::move(oAnswer));
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
