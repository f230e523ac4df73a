#include "rc_report_handler.h"

#include <cerrno>
#include <ctime>

#include "fd_context.h"
#include "os_util.h"
#include "rc_check.h"
#include "rc_tsv_line.h"
#include "rc_record_format.h"
#include "svr_log.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point tFrom) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - tFrom).count();
}
}  // namespace

CRcReportHandler::CRcReportHandler(CAioOperator& oOperator, CRcWritePath& oWritePath, rc_counts_t& oCounts)
    : m_operator(oOperator), m_oWritePath(oWritePath), m_counts(oCounts), m_pAnswerTimes(nullptr), m_iGatherStart(0) {
    m_oWritePath.SetCommittedHandler([this] { Committed(); });
}

CRcReportHandler::stConn& CRcReportHandler::ConnOf(CFdContext* pFdContext) {
    stConn& oConn = m_oConns[pFdContext->GetFd()];
    if (oConn.iFdSeq != pFdContext->GetSeq() || oConn.strPeer.empty()) {
        oConn = stConn();
        oConn.iFdSeq = pFdContext->GetSeq();
        oConn.strPeer = pFdContext->GetRemoteAddr()->GetText();
    }
    return oConn;
}

sint32 CRcReportHandler::OnRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize,
                                uint32& iParsedDataSize) {
    const sint32 iFd = pFdContext->GetFd();
    stConn& oConn = ConnOf(pFdContext);
    if (oConn.bClosing) {
        iParsedDataSize = iDataSize;
        return 0;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pData);
    uint32 iLeft = iDataSize;
    const std::chrono::steady_clock::time_point tRead = std::chrono::steady_clock::now();
    for (;;) {
        zq_head_t head;
        ERcFrame nFrame = rc_frame(p, iLeft, head);
        if (nFrame == RC_FRAME_PARTIAL) break;
        if (nFrame == RC_FRAME_INVALID) {
            LOG_ERR("invalid packet from %s, len=%u, cmd=0x%x, ver=%u, sign=%u; closing", oConn.strPeer.c_str(),
                    head.iLength, head.iCmd, head.iVer, head.iSign);
            ++m_counts.Dropped;
            // Nothing more is read, but every report before the bad packet is
            // answered first: the close waits in EndTurn for the last answer
            // to settle and leave the queue.
            oConn.bClosing = true;
            iParsedDataSize = iDataSize;
            m_oClosing.insert(iFd);
            Flush(iFd);
            return 0;
        }
        m_oAwaited.erase(iFd);
        AnswerPtr pAnswer = std::make_shared<stAnswer>();
        pAnswer->iSeq = head.iSeq;
        pAnswer->tRead = tRead;
        oConn.oWaiting.push_back(pAnswer);
        HandleRequest(p, head.iLength, time(nullptr), iFd, oConn, *pAnswer);
        p += head.iLength;
        iLeft -= head.iLength;
        iParsedDataSize += head.iLength;
    }
    Flush(iFd);
    return 0;
}

void CRcReportHandler::HandleRequest(const unsigned char* p, uint32 iLen, time_t tNow, sint32 iFd, stConn& oConn,
                                     stAnswer& oAnswer) {
    rc_report_t oReport;
    oAnswer.iErrno = rc_check_request(p, iLen, oReport);
    if (oAnswer.iErrno != RC_ERR_NONE) {
        zq_head_t head;
        rc_read_head(p, head);
        oAnswer.iResult = RC_RESULT_REJECTED;
        oAnswer.bSettled = true;
        ++m_counts.Rejected;
        LOG_WARN("report seq=%u from %s rejected: errno=%u (%s), len=%u, cmd=0x%x", oAnswer.iSeq,
                 oConn.strPeer.c_str(), oAnswer.iErrno, rc_errno_text(oAnswer.iErrno), iLen, head.iCmd);
        return;
    }
    oAnswer.oFid = oReport.FID;
    oAnswer.strUrl = oReport.Url;
    oAnswer.strFile = rc_tsv_escape(oReport.FileName);

    uint64 iFirstSeen = 0;
    if (m_oWritePath.TallyIfKnown(oReport, tNow, &iFirstSeen)) {
        oAnswer.iResult = RC_RESULT_KNOWN;
        oAnswer.bSettled = true;
        ++m_counts.Known;
        LOG_DEBUG("report seq=%u from %s: fid=%s (%s) already known since %llu", oAnswer.iSeq, oConn.strPeer.c_str(),
                 oReport.FID.Hex().c_str(), oAnswer.strFile.c_str(), static_cast<unsigned long long>(iFirstSeen));
        return;
    }
    AnswerPtr pAnswer = oConn.oWaiting.back();
    const uint32 iFdSeq = oConn.iFdSeq;
    m_oWritePath.Add(oReport, tNow, [this, iFd, iFdSeq, pAnswer](int iErr, const std::string& strError,
                                                                ERcStored nStored) {
        Settle(iFd, iFdSeq, *pAnswer, iErr, strError, nStored);
    });
}

// A batch goes once the store is free and every connection the last commit
// answered has sent its next report, or MAX_GATHER_MS after the store was
// free for it. Clients that wait for each answer send their next report a
// moment after it, and one commit for all of them costs one sync where two
// half batches cost two. Tallies alone wait for a batch or the statistics line.
void CRcReportHandler::EndTurn() {
    for (auto it = m_oClosing.begin(); it != m_oClosing.end();) {
        auto itConn = m_oConns.find(*it);
        CFdContext* pFdContext = m_operator.GetFdContext(*it);
        if (itConn == m_oConns.end() || pFdContext == nullptr || pFdContext->GetSeq() != itConn->second.iFdSeq) {
            it = m_oClosing.erase(it);
            continue;
        }
        if (itConn->second.oWaiting.empty() && pFdContext->GetWriteTaskList().empty()) {
            // A peer that is done sending cannot make the close a reset.
            if (m_fnEnd && !itConn->second.bPeerDone) {
                m_fnEnd(*it);
            } else {
                m_operator.CloseSocket(*it);
            }
            m_oAwaited.erase(*it);
            m_oConns.erase(itConn);
            it = m_oClosing.erase(it);
            continue;
        }
        ++it;
    }
    if (m_oWritePath.CommitsInFlight() == 0 && m_oWritePath.HasGathered() &&
        (m_oAwaited.empty() || GetTickCount() - m_iGatherStart >= MAX_GATHER_MS))
        m_oWritePath.Submit();
    for (const auto& oConn : m_oConns) {
        if (!oConn.second.oWaiting.empty()) m_operator.KeepActive(oConn.first);
    }
}

void CRcReportHandler::Settle(sint32 iFd, uint32 iFdSeq, stAnswer& oAnswer, int iErr, const std::string& strError,
                              ERcStored nStored) {
    auto it = m_oConns.find(iFd);
    const bool bConnected = it != m_oConns.end() && it->second.iFdSeq == iFdSeq;
    const std::string strPeer = bConnected ? it->second.strPeer : "a closed connection";
    if (bConnected && (m_oAnswered.empty() || m_oAnswered.back() != iFd)) m_oAnswered.push_back(iFd);
    oAnswer.bSettled = true;
    const std::string strFid = oAnswer.oFid.Hex();
    if (iErr != 0) {
        oAnswer.iResult = RC_RESULT_NOT_STORED;
        oAnswer.iErrno = static_cast<uint32>(iErr);
        ++m_counts.NotStored;
        LOG_ERR("report seq=%u from %s: fid=%s (%s) not stored: %s", oAnswer.iSeq, strPeer.c_str(), strFid.c_str(),
                oAnswer.strFile.c_str(), strError.c_str());
        return;
    }
    if (nStored == RC_STORED_KNOWN) {
        oAnswer.iResult = RC_RESULT_KNOWN;
        ++m_counts.Known;
        LOG_DEBUG("report seq=%u from %s: fid=%s (%s) already known to the store", oAnswer.iSeq, strPeer.c_str(),
                 strFid.c_str(), oAnswer.strFile.c_str());
        return;
    }
    oAnswer.iResult = RC_RESULT_ACCEPTED;
    ++m_counts.Accepted;
    // A busy center answers thousands a minute: a line each would fill the
    // log; the statistics line counts them, and debug shows each.
    LOG_DEBUG("report seq=%u from %s: fid=%s (%s) accepted%s", oAnswer.iSeq, strPeer.c_str(), strFid.c_str(),
             oAnswer.strFile.c_str(), nStored == RC_STORED_LOCATION ? " as a new location" : "");
}

void CRcReportHandler::Committed() {
    std::vector<sint32> oFds;
    oFds.swap(m_oAnswered);
    m_oAwaited.clear();
    for (sint32 iFd : oFds) {
        Flush(iFd);
        auto it = m_oConns.find(iFd);
        if (it != m_oConns.end() && it->second.oWaiting.empty()) m_oAwaited[iFd] = it->second.iFdSeq;
    }
    // What gathered meanwhile waits for the clients just answered from now
    // on, not from its first report.
    m_iGatherStart = GetTickCount();
}

void CRcReportHandler::Flush(sint32 iFd) {
    auto it = m_oConns.find(iFd);
    if (it == m_oConns.end()) return;
    stConn& oConn = it->second;
    while (!oConn.oWaiting.empty() && oConn.oWaiting.front()->bSettled) {
        AnswerPtr pAnswer = oConn.oWaiting.front();
        oConn.oWaiting.pop_front();
        if (!Send(iFd, oConn, *pAnswer)) {
            m_oConns.erase(it);
            return;
        }
    }
}

// False when the connection was closed here.
bool CRcReportHandler::Send(sint32 iFd, stConn& oConn, const stAnswer& oAnswer) {
    CFdContext* pFdContext = m_operator.GetFdContext(iFd);
    if (pFdContext == nullptr || pFdContext->GetFd() != iFd || pFdContext->GetSeq() != oConn.iFdSeq ||
        pFdContext->GetFdType() != FD_TYPE_TCP_ACCEPTED)
        return false;
    // A peer that sends without ever reading would grow the queue without end.
    if (pFdContext->GetWriteTaskList().size() >= MAX_QUEUED_RESPONSES) {
        LOG_ERR("%s leaves %u answers unread; closing", oConn.strPeer.c_str(),
                static_cast<unsigned>(MAX_QUEUED_RESPONSES));
        ++m_counts.Dropped;
        m_operator.CloseSocket(iFd);
        return false;
    }
    unsigned char arResponse[RC_RESPONSE_LEN];
    rc_make_response(oAnswer.iSeq, oAnswer.iResult, oAnswer.iErrno, arResponse);
    if (m_operator.TcpSend(iFd, reinterpret_cast<const char*>(arResponse), RC_RESPONSE_LEN) != 0) {
        LOG_ERR("cannot queue the answer to %s, seq=%u; closing", oConn.strPeer.c_str(), oAnswer.iSeq);
        m_operator.CloseSocket(iFd);
        return false;
    }
    if (m_pAnswerTimes != nullptr) m_pAnswerTimes->Observe(seconds_since(oAnswer.tRead));
    return true;
}

sint32 CRcReportHandler::OnPeerDone(CFdContext* pFdContext) {
    auto it = m_oConns.find(pFdContext->GetFd());
    if (it == m_oConns.end() || it->second.iFdSeq != pFdContext->GetSeq()) return -1;
    if (it->second.oWaiting.empty() && pFdContext->GetWriteTaskList().empty()) return -1;
    // A client may send its reports and shut its side before the answers
    // come: each is still owed one.
    it->second.bClosing = true;
    it->second.bPeerDone = true;
    m_oClosing.insert(pFdContext->GetFd());
    return 0;
}

void CRcReportHandler::OnClosed(CFdContext* pFdContext) {
    m_oAwaited.erase(pFdContext->GetFd());
    m_oClosing.erase(pFdContext->GetFd());
    auto it = m_oConns.find(pFdContext->GetFd());
    if (it != m_oConns.end() && it->second.iFdSeq == pFdContext->GetSeq()) m_oConns.erase(it);
}
