#include "rc_http_handler.h"

#include <ctime>

#include "fd_context.h"
#include "svr_log.h"

CRcHttpHandler::CRcHttpHandler(CAioOperator& oOperator, CRcHttpBackend& oBackend, const rc_http_signing_t& oSigning,
                               rc_counts_t& oCounts)
    : m_operator(oOperator), m_oBackend(oBackend), m_oSigning(oSigning), m_counts(oCounts) {}

uint64 CRcHttpHandler::QueuedBytes(CFdContext* pFdContext) {
    uint64 iBytes = 0;
    for (const CWriteTaskBase* pTask : pFdContext->GetWriteTaskList()) iBytes += pTask->GetLeftSize();
    return iBytes;
}

// Every byte is the parser's: it keeps what a request still lacks, and
// holds what follows a request whose answer is awaited. Bytes after the
// connection's last request are ignored until it is closed.
sint32 CRcHttpHandler::OnRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize,
                              uint32& iParsedDataSize) {
    iParsedDataSize = iDataSize;
    const sint32 iFd = pFdContext->GetFd();
    std::unique_ptr<stSlot>& pSlot = m_oSlots[iFd];
    if (!pSlot || pSlot->iFdSeq != pFdContext->GetSeq()) {
        pSlot.reset(new stSlot);
        pSlot->iFdSeq = pFdContext->GetSeq();
        pSlot->pConn.reset(new CRcHttpConn(m_oBackend, m_oSigning));
        const uint32 iSeq = pSlot->iFdSeq;
        pSlot->pConn->SetWake([this, iFd, iSeq] { m_oReady.emplace_back(iFd, iSeq); });
    }
    stSlot& oSlot = *pSlot;
    CRcHttpConn& oConn = *oSlot.pConn;
    if (oConn.GetState() == RC_HTTP_CLOSE) return 0;
    const uint64 iAnswered = oConn.GetAnswered();
    std::string strOut;
    ERcHttpState eState = oConn.Feed(pData, iDataSize, time(nullptr), strOut);
    m_counts.HttpRequests += oConn.GetAnswered() - iAnswered;
    if (eState == RC_HTTP_CLOSE && strOut.empty() && oConn.IsWaiting()) {
        LOG_ERR("HTTP peer %s sends more than %zu bytes while it waits for an answer; closing",
                pFdContext->GetRemoteAddr()->GetText().c_str(), RC_HTTP_MAX_HELD);
        ++m_counts.Dropped;
    }
    return Deliver(pFdContext, oSlot, strOut, eState);
}

sint32 CRcHttpHandler::Deliver(CFdContext* pFdContext, stSlot& oSlot, std::string& strOut, ERcHttpState eState) {
    const sint32 iFd = pFdContext->GetFd();
    if (QueuedBytes(pFdContext) + strOut.size() > MAX_HTTP_QUEUED_BYTES) {
        LOG_ERR("HTTP peer %s leaves more than %u bytes of answers unread; closing", pFdContext->GetRemoteAddr()->GetText().c_str(),
                static_cast<unsigned>(MAX_HTTP_QUEUED_BYTES));
        ++m_counts.Dropped;
        return -1;
    }
    if (strOut.empty()) return eState == RC_HTTP_CLOSE && !oSlot.pConn->IsWaiting() ? -1 : 0;
    if (eState == RC_HTTP_CLOSE && !oSlot.pConn->IsWaiting()) {
        // Referenced, not copied: the operator reports it written, and the
        // connection is closed then (OnWrote).
        oSlot.strLast = std::move(strOut);
        oSlot.bLastQueued = m_operator.TcpSend(iFd, &oSlot, oSlot.strLast.data(),
                                               static_cast<uint32>(oSlot.strLast.size())) == 0;
        return oSlot.bLastQueued ? 0 : -1;
    }
    return m_operator.TcpSend(iFd, strOut.data(), static_cast<uint32>(strOut.size())) == 0 ? 0 : -1;
}

void CRcHttpHandler::Run() {
    std::vector<std::pair<sint32, uint32> > oReady;
    oReady.swap(m_oReady);
    for (const auto& oOne : oReady) {
        auto it = m_oSlots.find(oOne.first);
        if (it == m_oSlots.end() || it->second->iFdSeq != oOne.second) continue;
        CFdContext* pFdContext = m_operator.GetFdContext(oOne.first);
        if (pFdContext == nullptr || pFdContext->GetFd() != oOne.first || pFdContext->GetSeq() != oOne.second)
            continue;
        stSlot& oSlot = *it->second;
        const uint64 iAnswered = oSlot.pConn->GetAnswered();
        std::string strOut;
        ERcHttpState eState = oSlot.pConn->Resume(time(nullptr), strOut);
        m_counts.HttpRequests += oSlot.pConn->GetAnswered() - iAnswered;
        if (Deliver(pFdContext, oSlot, strOut, eState) != 0) {
            // Closed here, so no OnFdClosed: the slot goes now, unless its
            // last answer is still referenced (let go in OnWrote).
            m_operator.CloseSocket(oOne.first);
            auto itNow = m_oSlots.find(oOne.first);
            if (itNow != m_oSlots.end() && !itNow->second->bLastQueued) m_oSlots.erase(itNow);
        }
    }
}

void CRcHttpHandler::EndTurn() {
    for (const auto& oSlot : m_oSlots) {
        if (oSlot.second->pConn && oSlot.second->pConn->IsWaiting()) m_operator.KeepActive(oSlot.first);
    }
}

bool CRcHttpHandler::IsPartial(CFdContext* pFdContext) const {
    auto it = m_oSlots.find(pFdContext->GetFd());
    return it != m_oSlots.end() && it->second->iFdSeq == pFdContext->GetSeq() && it->second->pConn &&
           it->second->pConn->IsPartial();
}

size_t CRcHttpHandler::GetWaiting() const {
    size_t n = 0;
    for (const auto& oSlot : m_oSlots) n += oSlot.second->pConn && oSlot.second->pConn->IsWaiting() ? 1 : 0;
    return n;
}

// Only a connection's last answer is referenced: written, it closes the
// connection; written or dropped, its slot may go.
sint32 CRcHttpHandler::OnWrote(CFdContext* pFdContext, void* pHandle, sint32 iWroteSize) {
    auto it = m_oSlots.find(pFdContext->GetFd());
    if (it == m_oSlots.end() || it->second.get() != pHandle) return 0;
    if (iWroteSize < 0) {
        m_oSlots.erase(it);
        return 0;
    }
    it->second->bLastQueued = false;
    return -1;
}

void CRcHttpHandler::OnClosed(CFdContext* pFdContext) {
    // A last answer still queued is dropped by the close that follows, and
    // its slot let go then.
    auto it = m_oSlots.find(pFdContext->GetFd());
    if (it != m_oSlots.end() && !it->second->bLastQueued) m_oSlots.erase(it);
}
