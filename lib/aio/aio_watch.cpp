// The inactivity watch list of CAioOperator: accepted connections, most
// recently active first behind the sentinel m_pHead, and the pass that closes
// those idle for longer than the timeout.
#include "aio_operator.h"

#include "os_util.h"
#include "svr_log.h"

void CAioOperator::AddWatchFd(CFdContext* pFdContext) {
    if (m_iInactiveFdTimeout == 0 || pFdContext == nullptr) return;
    // Linking a listed context twice would corrupt the list.
    if (pFdContext->IsWatched()) RemoveWatchFd(pFdContext);
    pFdContext->m_pPrev = m_pHead;
    pFdContext->m_pNext = m_pHead->m_pNext;
    m_pHead->m_pNext->m_pPrev = pFdContext;
    m_pHead->m_pNext = pFdContext;
    pFdContext->RefreshAccessTime();
}

// Unlinks whatever is listed, even after the timeout was turned off, so a
// reset context never stays linked.
void CAioOperator::RemoveWatchFd(CFdContext* pFdContext) {
    if (pFdContext == nullptr || pFdContext == m_pHead || !pFdContext->IsWatched()) return;
    pFdContext->m_pPrev->m_pNext = pFdContext->m_pNext;
    pFdContext->m_pNext->m_pPrev = pFdContext->m_pPrev;
    pFdContext->m_pPrev = nullptr;
    pFdContext->m_pNext = nullptr;
}

void CAioOperator::RefreshWatchFd(CFdContext* pFdContext) {
    if (m_iInactiveFdTimeout == 0 || pFdContext == nullptr || !pFdContext->IsWatched()) return;
    LOG_DEBUG("fd=%d, refresh in inactive watching list", pFdContext->GetFd());
    RemoveWatchFd(pFdContext);
    AddWatchFd(pFdContext);
}

// Walks from the least recently active end and stops at the first context
// that has not expired, so a pass touches only the expired ones and one more.
// A pass runs at most once per timeout, so an idle connection goes between
// one and two timeouts after its last activity.
void CAioOperator::CleanInactiveFds() {
    if (m_iInactiveFdTimeout == 0 || m_pHead->m_pNext == m_pHead) return;
    uint32 iNow = GetTickCount();
    if (m_iLastCleanTime == 0 || m_iLastCleanTime > iNow) {
        m_iLastCleanTime = iNow;
        return;
    }
    if (iNow - m_iLastCleanTime < m_iInactiveFdTimeout) return;
    m_iLastCleanTime = iNow;

    CFdContext* pFdContext = m_pHead->m_pPrev;
    while (pFdContext != m_pHead) {
        CFdContext* pPrev = pFdContext->m_pPrev;
        uint32 iAccess = pFdContext->GetLastAccessTime();
        if (iAccess > iNow) {
            // The clock went back: restart its period rather than guess.
            pFdContext->RefreshAccessTime();
            pFdContext = pPrev;
            continue;
        }
        if (iNow - iAccess <= m_iInactiveFdTimeout) break;
        RemoveWatchFd(pFdContext);
        OnFdClose(pFdContext);
        ++m_statisInfo.m_iCloseTimeoutCount;
        // The handler may have closed the neighbour from its callback; then
        // carry on from whatever is oldest now.
        pFdContext = pPrev->IsWatched() ? pPrev : m_pHead->m_pPrev;
    }
}
