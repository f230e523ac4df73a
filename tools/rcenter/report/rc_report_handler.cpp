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

std::string PeerText(CFdContext* pFdContext) {
    CInetAddr* pRemote = pFdContext->GetRemoteAddr();
    return std::string(pRemote->GetIpStr()) + ":" + std::to_string(pRemote->GetPort());
}

double seconds_since(std::chrono::steady_clock::time_point tFrom) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - tFrom).count();
}

// What a commit on the store thread hands back.
struct stCommitResult {
    int iErr = 0;
    double dSeconds = 0;  // the commit's own time, sync included
    std::string strError;
    std::vector<rc_report_outcome_t> oOutcomes;
};

struct stRemoveResult {
    int iErr = 0;
    bool bFound = false;
    std::string strError;
    rc_resource_t oRemoved;
};

void AddTally(std::unordered_map<std::string, rc_store_tally_t>& oTallies, const rc_store_tally_t& oTally) {
    rc_store_tally_t& oInto = oTallies[oTally.FID.Hex()];
    oInto.FID = oTally.FID;
    oInto.Count += oTally.Count;
    if (oTally.LastSeen > oInto.LastSeen) oInto.LastSeen = oTally.LastSeen;
}

}  // namespace

CRcReportHandler::CRcReportHandler(CAioOperator& oOperator, CRcStoreWorker& oWriter, CRcDedup& oDedup,
                                   stRcCounts& oCounts)
    : m_operator(oOperator),
      m_oWriter(oWriter),
      m_oDedup(oDedup),
      m_counts(oCounts),
      m_pAnswerTimes(nullptr),
      m_pCommitTimes(nullptr),
      m_iCommitsInFlight(0),
      m_iGatherStart(0) {}

void CRcReportHandler::SetTimings(stRcHistogram* pAnswerTimes, stRcHistogram* pCommitTimes) {
    m_pAnswerTimes = pAnswerTimes;
    m_pCommitTimes = pCommitTimes;
}

void CRcReportHandler::SetIdentity(const rc_store_identity_t& oIdentity) {
    m_oIdentity = oIdentity;
    if (!m_oDedup.Bind(oIdentity.Id, oIdentity.Previous, oIdentity.Generation))
        LOG_INFO("dedup cache bound to store %s at generation %llu", oIdentity.Id.c_str(),
                 static_cast<unsigned long long>(oIdentity.Generation));
}

void CRcReportHandler::OnNews(const rc_store_news_t& oNews) {
    if (oNews.ForgetAll) {
        LOG_WARN("dedup cache emptied: the store cannot tell what changed beside this server");
        m_oDedup.Clear();
    }
    for (const rc_store_forget_t& oForget : oNews.Forgets) {
        for (const std::string& strUrl : oForget.Urls) m_oDedup.Forget(KeyFor(oForget.FID, strUrl));
    }
    // An emptied cache is bound again, whether or not the identity changed.
    if (oNews.IdentityChanged || oNews.ForgetAll) SetIdentity(oNews.Identity);
}

std::string CRcReportHandler::KeyFor(const Sha1Hash& oFid, const std::string& strUrl) const {
    return CRcDedup::KeyFor(m_oIdentity.Id, oFid, strUrl);
}

CRcReportHandler::stConn& CRcReportHandler::ConnOf(CFdContext* pFdContext) {
    stConn& oConn = m_oConns[pFdContext->GetFd()];
    if (oConn.iFdSeq != pFdContext->GetSeq() || oConn.strPeer.empty()) {
        oConn = stConn();
        oConn.iFdSeq = pFdContext->GetSeq();
        oConn.strPeer = PeerText(pFdContext);
    }
    return oConn;
}

sint32 CRcReportHandler::OnRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize,
                                uint32& iParsedDataSize) {
    const sint32 iFd = pFdContext->GetFd();
    stConn& oConn = ConnOf(pFdContext);
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
            ++m_counts.iDropped;
            // Answers already settled still go out before the close.
            Flush(iFd);
            m_oConns.erase(iFd);
            return -1;
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
        ++m_counts.iRejected;
        LOG_WARN("report seq=%u from %s rejected: errno=%u (%s), len=%u, cmd=0x%x", oAnswer.iSeq,
                 oConn.strPeer.c_str(), oAnswer.iErrno, rc_errno_text(oAnswer.iErrno), iLen, head.iCmd);
        return;
    }
    oAnswer.oFid = oReport.FID;
    oAnswer.strUrl = oReport.Url;
    oAnswer.strFile = rc_journal_escape(oReport.FileName);

    // While a removal of the FID is on its way the cache may still hold its
    // keys; the store, behind the removal, answers right.
    const std::string strFid = oReport.FID.Hex();
    uint64 iFirstSeen = 0;
    if (m_oRemoving.count(strFid) == 0 && m_oDedup.IsKnown(KeyFor(oReport.FID, oReport.Url), &iFirstSeen)) {
        oAnswer.iResult = RC_RESULT_KNOWN;
        oAnswer.bSettled = true;
        ++m_counts.iKnown;
        rc_store_tally_t oTally;
        oTally.FID = oReport.FID;
        oTally.Count = 1;
        oTally.LastSeen = tNow;
        AddTally(m_oTallies, oTally);
        LOG_INFO("report seq=%u from %s: fid=%s (%s) already known since %llu", oAnswer.iSeq, oConn.strPeer.c_str(),
                 strFid.c_str(), oAnswer.strFile.c_str(), static_cast<unsigned long long>(iFirstSeen));
        return;
    }
    rc_store_report_t oItem;
    rc_resource_of(oReport, oItem.Resource, oItem.Where);
    oItem.Now = tNow;
    m_oGathering.pStore->Reports.push_back(std::move(oItem));
    m_oGathering.Pending.push_back(stPending{iFd, oConn.iFdSeq, oConn.oWaiting.back()});
}

// A batch goes once the store is free and every connection the last commit
// answered has sent its next report, or MAX_GATHER_MS after the store was
// free for it. Clients that wait for each answer send their next report a
// moment after it, and one commit for all of them costs one sync where two
// half batches cost two. Tallies alone wait for a batch or the statistics line.
void CRcReportHandler::EndTurn() {
    if (m_iCommitsInFlight == 0 && !m_oGathering.Pending.empty() &&
        (m_oAwaited.empty() || GetTickCount() - m_iGatherStart >= MAX_GATHER_MS))
        Submit();
    for (const auto& oConn : m_oConns) {
        if (!oConn.second.oWaiting.empty()) m_operator.KeepActive(oConn.first);
    }
}

void CRcReportHandler::CommitTallies() {
    if (m_iCommitsInFlight == 0) Submit();
}

bool CRcReportHandler::IsIdle() const {
    return m_oGathering.Pending.empty() && m_iCommitsInFlight == 0 && m_oRemoving.empty();
}

void CRcReportHandler::Submit() {
    if (m_oGathering.Pending.empty() && m_oTallies.empty()) return;
    stBatch oBatch;
    std::swap(oBatch, m_oGathering);
    for (const auto& oTally : m_oTallies) oBatch.pStore->Tallies.push_back(oTally.second);
    m_oTallies.clear();
    std::shared_ptr<rc_store_batch_t> pStore = oBatch.pStore;
    auto pResult = std::make_shared<stCommitResult>();
    auto pPending = std::make_shared<std::vector<stPending> >(std::move(oBatch.Pending));
    ++m_iCommitsInFlight;
    m_oWriter.Submit(
        [pStore, pResult](CRcStore& oStore) {
            const std::chrono::steady_clock::time_point tStart = std::chrono::steady_clock::now();
            pResult->iErr = oStore.Commit(*pStore, pResult->oOutcomes, pResult->strError);
            pResult->dSeconds = seconds_since(tStart);
        },
        [this, pStore, pResult, pPending] {
            --m_iCommitsInFlight;
            if (m_pCommitTimes != nullptr) m_pCommitTimes->Observe(pResult->dSeconds);
            if (pResult->iErr != 0) {
                LOG_ERR("store: %s", pResult->strError.c_str());
                // Nothing of the batch was written: its tallies wait for the next.
                for (const rc_store_tally_t& oTally : pStore->Tallies) AddTally(m_oTallies, oTally);
            }
            Settle(*pPending, pResult->iErr, pResult->strError, pResult->oOutcomes);
            // What gathered meanwhile waits for the clients just answered
            // from now on, not from its first report.
            m_iGatherStart = GetTickCount();
        });
}

void CRcReportHandler::Settle(const std::vector<stPending>& oPending, int iErr, const std::string& strError,
                              const std::vector<rc_report_outcome_t>& oOutcomes) {
    std::vector<sint32> oFds;
    for (size_t i = 0; i < oPending.size(); ++i) {
        const stPending& oOne = oPending[i];
        auto it = m_oConns.find(oOne.iFd);
        const bool bConnected = it != m_oConns.end() && it->second.iFdSeq == oOne.iFdSeq;
        const std::string strPeer = bConnected ? it->second.strPeer : "a closed connection";
        if (iErr != 0 || i >= oOutcomes.size()) {
            SettleOne(strPeer, *oOne.pAnswer, iErr != 0 ? iErr : EIO, strError, RC_STORED_NEW);
        } else {
            SettleOne(strPeer, *oOne.pAnswer, oOutcomes[i].Errno, oOutcomes[i].Error, oOutcomes[i].Stored);
        }
        if (bConnected && (oFds.empty() || oFds.back() != oOne.iFd)) oFds.push_back(oOne.iFd);
    }
    m_oAwaited.clear();
    for (sint32 iFd : oFds) {
        Flush(iFd);
        auto it = m_oConns.find(iFd);
        if (it != m_oConns.end() && it->second.oWaiting.empty()) m_oAwaited[iFd] = it->second.iFdSeq;
    }
}

void CRcReportHandler::SettleOne(const std::string& strPeer, stAnswer& oAnswer, int iErr,
                                 const std::string& strError, ERcStored nStored) {
    oAnswer.bSettled = true;
    const std::string strFid = oAnswer.oFid.Hex();
    if (iErr != 0) {
        oAnswer.iResult = RC_RESULT_NOT_STORED;
        oAnswer.iErrno = static_cast<uint32>(iErr);
        ++m_counts.iNotStored;
        LOG_ERR("report seq=%u from %s: fid=%s (%s) not stored: %s", oAnswer.iSeq, strPeer.c_str(), strFid.c_str(),
                oAnswer.strFile.c_str(), strError.c_str());
        return;
    }
    // Stored is what counts; a key the cache cannot hold only sends its
    // next repeat to the store.
    if (!m_oDedup.Remember(KeyFor(oAnswer.oFid, oAnswer.strUrl), static_cast<uint64>(time(nullptr))))
        LOG_WARN("fid=%s stored but not cached: the dedup cache cannot hold it", strFid.c_str());
    if (nStored == RC_STORED_KNOWN) {
        oAnswer.iResult = RC_RESULT_KNOWN;
        ++m_counts.iKnown;
        LOG_INFO("report seq=%u from %s: fid=%s (%s) already known to the store", oAnswer.iSeq, strPeer.c_str(),
                 strFid.c_str(), oAnswer.strFile.c_str());
        return;
    }
    oAnswer.iResult = RC_RESULT_ACCEPTED;
    ++m_counts.iAccepted;
    LOG_INFO("report seq=%u from %s: fid=%s (%s) accepted%s", oAnswer.iSeq, strPeer.c_str(), strFid.c_str(),
             oAnswer.strFile.c_str(), nStored == RC_STORED_LOCATION ? " as a new location" : "");
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
        ++m_counts.iDropped;
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

void CRcReportHandler::OnClosed(CFdContext* pFdContext) {
    m_oAwaited.erase(pFdContext->GetFd());
    auto it = m_oConns.find(pFdContext->GetFd());
    if (it != m_oConns.end() && it->second.iFdSeq == pFdContext->GetSeq()) m_oConns.erase(it);
}

void CRcReportHandler::Remove(const Sha1Hash& oFid, RemoveDone fnDone) {
    // A report of this FID gathered earlier would otherwise be committed
    // after the removal and its key cached again.
    Submit();
    const std::string strFid = oFid.Hex();
    ++m_oRemoving[strFid];
    auto pResult = std::make_shared<stRemoveResult>();
    m_oWriter.Submit(
        [oFid, pResult](CRcStore& oStore) {
            pResult->iErr = oStore.Remove(oFid, pResult->bFound, &pResult->oRemoved, pResult->strError);
        },
        [this, oFid, strFid, pResult, fnDone] {
            auto it = m_oRemoving.find(strFid);
            if (it != m_oRemoving.end() && --it->second == 0) m_oRemoving.erase(it);
            if (pResult->iErr == 0 && pResult->bFound) {
                for (const rc_location_t& oLoc : pResult->oRemoved.Locations) m_oDedup.Forget(KeyFor(oFid, oLoc.Url));
                m_oTallies.erase(strFid);
                ++m_counts.iRemoved;
                LOG_INFO("fid=%s removed with its %zu locations", strFid.c_str(), pResult->oRemoved.Locations.size());
            }
            if (fnDone) fnDone(pResult->iErr, pResult->bFound, pResult->strError);
        });
}
