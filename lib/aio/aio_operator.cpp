#include "aio_operator.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "epoll.h"
#include "os_util.h"
#include "svr_log.h"

namespace {

// The epoll data of a registration carries the descriptor in its low half and
// the slot's sequence number in its high half, so an event that was reported
// for an earlier occupant of the slot can be told apart in O(1).
uint64 PackEventData(sint32 iFd, uint32 iSeq) {
    return (static_cast<uint64>(iSeq) << 32) | static_cast<uint32>(iFd);
}
sint32 EventFd(const epoll_event& ev) { return static_cast<sint32>(static_cast<uint32>(ev.data.u64)); }
uint32 EventSeq(const epoll_event& ev) { return static_cast<uint32>(ev.data.u64 >> 32); }

bool WouldBlock(int iErr) { return iErr == EAGAIN || iErr == EWOULDBLOCK || iErr == EINTR; }

unsigned PortOf(const CInetAddr& addr) { return addr.GetPort(); }

}  // namespace

CAioOperator::CAioOperator(CAioEvtHandler& evtHandler)
    : m_evtHandler(evtHandler),
      m_iEpollFd(-1),
      m_pEvs(nullptr),
      m_iMaxFdNum(0),
      m_pFdContexts(nullptr),
      m_iUdpSockFd(-1),
      m_iSpareFd(-1),
      m_pHead(nullptr),
      m_iInactiveFdTimeout(0),
      m_iLastCleanTime(0) {
    m_pHead = new (std::nothrow) CFdContext(WATCH_HEAD_READ_BUF_SIZE);
    AIO_ASSERT(m_pHead != NULL);
    m_pHead->m_pPrev = m_pHead;
    m_pHead->m_pNext = m_pHead;
    ClearStatisInfo();
}

CAioOperator::~CAioOperator() {
    delete m_pHead;
    delete[] m_pEvs;
    if (m_pFdContexts != nullptr) {
        for (uint32 i = 0; i < m_iMaxFdNum; ++i) delete m_pFdContexts[i];
        delete[] m_pFdContexts;
    }
    if (m_iEpollFd >= 0) close(m_iEpollFd);
    if (m_iSpareFd >= 0) close(m_iSpareFd);
}

sint32 CAioOperator::InitMaxFdNum(uint32 iMaxFdNum, uint32 iEachFdReadBufSize) {
    if (m_pFdContexts != nullptr || iMaxFdNum == 0 || iEachFdReadBufSize == 0) return -1;
    // epoll_wait takes the event count as an int.
    if (iMaxFdNum > static_cast<uint32>(INT_MAX)) return -1;
    m_iMaxFdNum = iMaxFdNum;
    m_pFdContexts = new (std::nothrow) CFdContext*[iMaxFdNum];
    AIO_ASSERT(m_pFdContexts != NULL);
    for (uint32 i = 0; i < iMaxFdNum; ++i) {
        m_pFdContexts[i] = new (std::nothrow) CFdContext(iEachFdReadBufSize);
        AIO_ASSERT(m_pFdContexts[i] != NULL);
    }
    LOG_INFO("maxsocknum=%d", static_cast<sint32>(m_iMaxFdNum));
    return 0;
}

sint32 CAioOperator::CreateEpoll() {
    // A second instance would leak the first and split the registrations.
    if (m_iEpollFd >= 0) {
        LOG_ERR("epoll already created, epollfd=%d", m_iEpollFd);
        return -1;
    }
    m_iEpollFd = zq_epoll_create(static_cast<sint32>(m_iMaxFdNum));
    LOG_INFO("epollfd=%d", m_iEpollFd);
    if (m_iEpollFd < 0) return -1;
    m_pEvs = new (std::nothrow) epoll_event[m_iMaxFdNum]();
    AIO_ASSERT(m_pEvs != NULL);
    return 0;
}

void CAioOperator::ClearStatisInfo() {
    m_statisInfo.m_iAcceptCount = 0;
    m_statisInfo.m_iConnectCount = 0;
    m_statisInfo.m_iCloseCount = 0;
    m_statisInfo.m_iCloseTimeoutCount = 0;
}

CFdContext* CAioOperator::GetFdContext(sint32 iFd) {
    if (iFd < 0 || static_cast<uint32>(iFd) >= m_iMaxFdNum || m_pFdContexts == nullptr) {
        LOG_WARN("failed to get fdcontext, fd=%d", iFd);
        return nullptr;
    }
    return m_pFdContexts[iFd];
}

sint32 CAioOperator::OnRun() {
    if (m_iEpollFd < 0) return -1;
    CleanInactiveFds();
    sint32 iCount = zq_epoll_wait(m_iEpollFd, m_pEvs, static_cast<sint32>(m_iMaxFdNum), 1);
    for (sint32 i = 0; i < iCount; ++i) Dispatch(m_pEvs[i]);
    return 0;
}

void CAioOperator::Dispatch(const epoll_event& ev) {
    sint32 iFd = EventFd(ev);
    uint32 iSeq = EventSeq(ev);
    CFdContext* pFdContext = GetFdContext(iFd);
    if (pFdContext == nullptr) {
        EpollCtl(EPOLL_CTL_DEL, iFd, 0);
        close(iFd);
        return;
    }
    // Closed earlier in this turn, perhaps already reused by a new descriptor
    // with the same number: the event belongs to nobody alive.
    if (pFdContext->GetSeq() != iSeq) {
        LOG_DEBUG("fd=%d, drop event 0x%x of a closed descriptor", iFd, ev.events);
        return;
    }
    if (ev.events & (EPOLLERR | EPOLLHUP)) {
        LOG_ERR("fd=%d, EPOLLERR", iFd);
        OnFdClose(pFdContext);
        return;
    }
    if (ev.events & EPOLLIN) {
        switch (pFdContext->GetFdType()) {
            case FD_TYPE_TCP_LISTEN:
                OnTcpAccept(pFdContext);
                break;
            case FD_TYPE_TCP_ACCEPTED:
            case FD_TYPE_TCP_CONNECTED:
                OnTcpRead(pFdContext);
                break;
            case FD_TYPE_UDP:
                OnUdpRead(pFdContext);
                break;
            default:
                LOG_ERR("unexpected fdtype=0x%x", static_cast<unsigned>(pFdContext->GetFdType()));
                break;
        }
    }
    // The read half may have closed the descriptor, and a callback may even
    // have reopened the number; the write half is then not for it.
    if ((ev.events & EPOLLOUT) && pFdContext->GetSeq() == iSeq) {
        switch (pFdContext->GetFdType()) {
            case FD_TYPE_TCP_CONNECTING:
                OnTcpConnect(pFdContext);
                break;
            case FD_TYPE_TCP_ACCEPTED:
            case FD_TYPE_TCP_CONNECTED:
                OnTcpWrite(pFdContext);
                break;
            default:
                LOG_ERR("unexpected fdtype=0x%x", static_cast<unsigned>(pFdContext->GetFdType()));
                break;
        }
    }
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

sint32 CAioOperator::OnTcpAccept(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    sint32 iAccepted = 0;
    for (;;) {
        CInetAddr remoteAddr;
        remoteAddr.Reset();
        socklen_t iAddrLen = sizeof(sockaddr_in);
        sint32 iFd = accept(pFdContext->GetFd(), reinterpret_cast<sockaddr*>(remoteAddr.GetSockAddr()), &iAddrLen);
        if (iFd < 0) {
            int iErr = errno;
            // Out of descriptors the listener stays ready and every turn
            // would come straight back here: turn the peer away instead.
            if ((iErr == EMFILE || iErr == ENFILE) && RefuseWithSpareFd(pFdContext->GetFd())) continue;
            break;
        }
        CFdContext* pNewContext = InitFdContext(iFd, FD_TYPE_TCP_ACCEPTED, &remoteAddr);
        if (pNewContext == nullptr) {
            // The table is full: this peer is turned away now, and the loop
            // goes on so the rest of the backlog is not left waiting either.
            LOG_ERR("fd=%d, connection from %s:%u refused: the table holds %u descriptors", iFd,
                    remoteAddr.GetIpStr(), PortOf(remoteAddr), m_iMaxFdNum);
            close(iFd);
            continue;
        }
        if (SetNonblocking(iFd) != 0) {
            ResetFdContext(pNewContext);
            close(iFd);
            break;
        }
        SetSockSndRcvBufSize(iFd, SOCK_SND_RCV_BUF_SIZE);
        if (EpollCtl(EPOLL_CTL_ADD, iFd, EPOLLIN) != 0) {
            ResetFdContext(pNewContext);
            close(iFd);
            break;
        }
        AddWatchFd(pNewContext);
        ++m_statisInfo.m_iAcceptCount;
        ++iAccepted;
    }
    return iAccepted;
}

sint32 CAioOperator::Connect(const CInetAddr& remoteAddr) {
    sint32 iFd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (iFd < 0) return -1;
    if (SetNonblocking(iFd) != 0) {
        close(iFd);
        return -1;
    }
    SetSockSndRcvBufSize(iFd, SOCK_SND_RCV_BUF_SIZE);
    CFdContext* pFdContext = InitFdContext(iFd, FD_TYPE_TCP_CONNECTING, &remoteAddr);
    if (pFdContext == nullptr) {
        close(iFd);
        return -1;
    }
    CInetAddr addr(remoteAddr);
    sint32 iEvents = EPOLLOUT;
    if (connect(iFd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) == 0) {
        pFdContext->SetFdType(FD_TYPE_TCP_CONNECTED);
        iEvents = EPOLLIN;
        LOG_DEBUG("connect to %s:%u ok", addr.GetIpStr(), PortOf(addr));
    } else {
        sint32 iErr = GetLastError();
        if (iErr != EAGAIN && iErr != EINPROGRESS) {
            LOG_DEBUG("failed to connect to %s:%u, errno=%d, errmsg=%s", addr.GetIpStr(), PortOf(addr), iErr,
                      strerror(iErr));
            ResetFdContext(pFdContext);
            close(iFd);
            return -1;
        }
        LOG_DEBUG("connect to %s:%u wouldblock", addr.GetIpStr(), PortOf(addr));
    }
    if (EpollCtl(EPOLL_CTL_ADD, iFd, iEvents) != 0) {
        ResetFdContext(pFdContext);
        close(iFd);
        return -1;
    }
    ++m_statisInfo.m_iConnectCount;
    return iFd;
}

// A failed connect is normally reported as EPOLLERR and never gets here; the
// socket error is still checked so writability alone is never taken for success.
sint32 CAioOperator::OnTcpConnect(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetFdType() != FD_TYPE_TCP_CONNECTING) return 0;
    sint32 iFd = pFdContext->GetFd();
    int iSockErr = 0;
    socklen_t iErrLen = sizeof(iSockErr);
    if (getsockopt(iFd, SOL_SOCKET, SO_ERROR, &iSockErr, &iErrLen) == 0 && iSockErr != 0) {
        OnFdClose(pFdContext);
        return 0;
    }
    uint32 iSeq = pFdContext->GetSeq();
    pFdContext->SetFdType(FD_TYPE_TCP_CONNECTED);
    LOG_DEBUG("fd=%d, connect ok", iFd);
    m_evtHandler.OnTcpConnOut(pFdContext, true);
    if (pFdContext->GetSeq() != iSeq) return 0;
    if (!pFdContext->GetWriteTaskList().empty()) {
        EpollCtl(EPOLL_CTL_MOD, iFd, EPOLLIN | EPOLLOUT);
        OnTcpWrite(pFdContext);
    } else {
        EpollCtl(EPOLL_CTL_MOD, iFd, EPOLLIN);
    }
    return 0;
}

sint32 CAioOperator::OnTcpRead(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    sint32 iFd = pFdContext->GetFd();
    uint32 iSeq = pFdContext->GetSeq();
    CReadBuffer& readBuf = pFdContext->GetReadBuf();
    sint32 iRet = 0;
    for (;;) {
        char* pFreeSpace = readBuf.GetFreeSpacePtr();
        uint32 iFreeSpaceSize = readBuf.GetFreeSpaceSize();
        if (iFreeSpaceSize == 0) {
            CInetAddr* pRemote = pFdContext->GetRemoteAddr();
            LOG_ERR("fd=%d, no free space in read buf, remote address %s:%u", iFd, pRemote->GetIpStr(),
                    PortOf(*pRemote));
            break;
        }
        ssize_t iRecved = recv(iFd, pFreeSpace, iFreeSpaceSize, 0);
        if (iRecved == 0) {
            CInetAddr* pRemote = pFdContext->GetRemoteAddr();
            LOG_ERR("fd=%d, closed by remote address %s:%u", iFd, pRemote->GetIpStr(), PortOf(*pRemote));
            iRet = -1;
            break;
        }
        if (iRecved < 0) {
            sint32 iErr = GetLastError();
            if (WouldBlock(iErr)) break;
            CInetAddr* pRemote = pFdContext->GetRemoteAddr();
            LOG_ERR("fd=%d, recv error, errno=%d, errmsg=%s, remote address %s:%u", iFd, iErr, strerror(iErr),
                    pRemote->GetIpStr(), PortOf(*pRemote));
            iRet = -1;
            break;
        }
        LOG_DEBUG("fd=%d, recved=%d, freeSpaceSize=%d", iFd, static_cast<sint32>(iRecved),
                  static_cast<sint32>(iFreeSpaceSize));
        readBuf.IncDataSize(static_cast<uint32>(iRecved));

        uint32 iParsedDataSize = 0;
        sint32 iHandlerRet =
            m_evtHandler.OnTcpRead(pFdContext, readBuf.GetDataPtr(), readBuf.GetDataSize(), iParsedDataSize);
        // The handler closed the descriptor itself: its bytes are gone.
        if (pFdContext->GetSeq() != iSeq) return -1;
        if (iHandlerRet < 0) {
            LOG_DEBUG("fd=%d, evtHandler want to close it", iFd);
            iRet = -1;
            break;
        }
        pFdContext->RemoveReadData(iParsedDataSize);
        // A receive that filled the whole free space may have left more behind.
        if (static_cast<uint32>(iRecved) != iFreeSpaceSize) break;
    }
    if (iRet == -1) {
        OnFdClose(pFdContext);
    } else if (pFdContext->GetFdType() == FD_TYPE_TCP_ACCEPTED) {
        RefreshWatchFd(pFdContext);
    }
    return iRet;
}

// A finished task leaves the queue only after its report, so a handler that
// queues more from OnTcpWrote keeps the order.
sint32 CAioOperator::OnTcpWrite(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    sint32 iFd = pFdContext->GetFd();
    uint32 iSeq = pFdContext->GetSeq();
    CWriteTaskList& taskList = pFdContext->GetWriteTaskList();
    sint32 iRet = 0;
    for (;;) {
        if (taskList.empty()) {
            EpollCtl(EPOLL_CTL_MOD, iFd, EPOLLIN);
            LOG_DEBUG("fd=%d, no send task, remove writable watch", iFd);
            break;
        }
        CWriteTaskBase* pTask = taskList.front();
        ssize_t iSent = send(iFd, pTask->GetLeftData(), pTask->GetLeftSize(), MSG_NOSIGNAL);
        if (iSent < 0) {
            sint32 iErr = GetLastError();
            if (WouldBlock(iErr)) break;
            CInetAddr* pRemote = pFdContext->GetRemoteAddr();
            LOG_ERR("fd=%d, send error, errno=%d, errmsg=%s, remote address %s:%u", iFd, iErr, strerror(iErr),
                    pRemote->GetIpStr(), PortOf(*pRemote));
            iRet = -1;
            break;
        }
        if (iSent == 0) break;
        LOG_DEBUG("fd=%d, sent=%d", iFd, static_cast<sint32>(iSent));
        pTask->IncDoneSize(static_cast<uint32>(iSent));
        if (pTask->GetLeftSize() != 0) break;

        bool bHandlerClose = false;
        if (pTask->GetTaskType() == CWriteTaskBase::TASK_TYPE_REFED_MEM) {
            CRefedMemTask* pRefedTask = static_cast<CRefedMemTask*>(pTask);
            sint32 iHandlerRet =
                m_evtHandler.OnTcpWrote(pFdContext, pRefedTask->GetHandle(), pRefedTask->GetRefedMem(),
                                        pRefedTask->GetWantSize(), static_cast<sint32>(pRefedTask->GetDoneSize()));
            // Closed from inside the callback: the close destroyed the queue.
            if (pFdContext->GetSeq() != iSeq) return -1;
            bHandlerClose = iHandlerRet < 0;
        }
        // The task has been reported written; it must not be reported again
        // as dropped by the close that may follow.
        taskList.pop_front();
        delete pTask;
        if (bHandlerClose) {
            LOG_DEBUG("fd=%d, evtHandler want to close it", iFd);
            iRet = -1;
            break;
        }
    }
    if (iRet == -1) {
        OnFdClose(pFdContext);
    } else if (pFdContext->GetFdType() == FD_TYPE_TCP_ACCEPTED) {
        RefreshWatchFd(pFdContext);
    }
    return iRet;
}

CFdContext* CAioOperator::PrepareTcpSend(sint32 iSockFd, const void* pData, uint32 iDataSize) {
    CFdContext* pFdContext = GetFdContext(iSockFd);
    if (pFdContext == nullptr || pFdContext->GetFd() != iSockFd) {
        LOG_ERR("fd=%d, has been closed when tcp send is called", iSockFd);
        return nullptr;
    }
    EFdType nFdType = pFdContext->GetFdType();
    // Any other kind would be watched for writability with no step to serve it.
    if (nFdType != FD_TYPE_TCP_ACCEPTED && nFdType != FD_TYPE_TCP_CONNECTING && nFdType != FD_TYPE_TCP_CONNECTED) {
        LOG_ERR("fd=%d, tcp send refused on fd type=0x%x", iSockFd, static_cast<unsigned>(nFdType));
        return nullptr;
    }
    // An empty task would never leave the front of the queue.
    if (pData == nullptr || iDataSize == 0) {
        LOG_ERR("fd=%d, tcp send refused: no data, size=%u", iSockFd, iDataSize);
        return nullptr;
    }
    // A connecting socket already waits for writability; the completion step
    // picks the queue up.
    if (nFdType != FD_TYPE_TCP_CONNECTING && pFdContext->GetWriteTaskList().empty()) {
        EpollCtl(EPOLL_CTL_MOD, iSockFd, EPOLLIN | EPOLLOUT);
        LOG_DEBUG("fd=%d, add writable watch", iSockFd);
    }
    return pFdContext;
}

sint32 CAioOperator::TcpSend(sint32 iSockFd, const char* pData, uint32 iDataSize) {
    CFdContext* pFdContext = PrepareTcpSend(iSockFd, pData, iDataSize);
    if (pFdContext == nullptr) return -1;
    CByteArrTask* pTask = new (std::nothrow) CByteArrTask(pData, iDataSize);
    AIO_ASSERT(pTask != NULL);
    pFdContext->GetWriteTaskList().push_back(pTask);
    return 0;
}

sint32 CAioOperator::TcpSend(sint32 iSockFd, void* hHandle, const char* pRefedMem, uint32 iDataSize) {
    CFdContext* pFdContext = PrepareTcpSend(iSockFd, pRefedMem, iDataSize);
    if (pFdContext == nullptr) return -1;
    CRefedMemTask* pTask = new (std::nothrow) CRefedMemTask(hHandle, pRefedMem, iDataSize);
    AIO_ASSERT(pTask != NULL);
    pFdContext->GetWriteTaskList().push_back(pTask);
    return 0;
}

// A callback made here may itself close the descriptor (and even reopen the
// number); the step then leaves the new occupant alone.
sint32 CAioOperator::OnFdClose(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    sint32 iFd = pFdContext->GetFd();
    uint32 iSeq = pFdContext->GetSeq();
    EFdType nFdType = pFdContext->GetFdType();
    switch (nFdType) {
        case FD_TYPE_TCP_LISTEN:
        case FD_TYPE_TCP_ACCEPTED:
        case FD_TYPE_TCP_CONNECTED:
        case FD_TYPE_UDP:
            m_evtHandler.OnFdClosed(pFdContext);
            if (pFdContext->GetSeq() == iSeq) CloseSocket(iFd);
            break;
        case FD_TYPE_TCP_CONNECTING: {
            CInetAddr* pRemote = pFdContext->GetRemoteAddr();
            LOG_DEBUG("connect failed, fd=%d, type=TCP_CONNECTING, remote addr %s:%u", iFd, pRemote->GetIpStr(),
                      PortOf(*pRemote));
            m_evtHandler.OnTcpConnOut(pFdContext, false);
            if (pFdContext->GetSeq() == iSeq) CloseSocket(iFd);
            break;
        }
        default:
            LOG_ERR("unexpected fd type=0x%x", static_cast<unsigned>(nFdType));
            m_evtHandler.OnFdClosed(pFdContext);
            if (pFdContext->GetSeq() == iSeq) {
                if (iFd >= 0) close(iFd);
                ResetFdContext(pFdContext);
            }
            break;
    }
    ++m_statisInfo.m_iCloseCount;
    return 0;
}

sint32 CAioOperator::CloseSocket(sint32 iSockFd) {
    CFdContext* pFdContext = GetFdContext(iSockFd);
    if (pFdContext != nullptr && pFdContext->GetFd() != -1) {
        uint32 iSeq = pFdContext->GetSeq();
        EpollCtl(EPOLL_CTL_DEL, iSockFd, 0);
        switch (pFdContext->GetFdType()) {
            case FD_TYPE_TCP_LISTEN:
                LOG_INFO("close fd=%d, type=TCP_LISTEN", iSockFd);
                break;
            case FD_TYPE_TCP_ACCEPTED:
                RemoveWatchFd(pFdContext);
                [[fallthrough]];
            case FD_TYPE_TCP_CONNECTING:
            case FD_TYPE_TCP_CONNECTED: {
                CWriteTaskList& taskList = pFdContext->GetWriteTaskList();
                // A report may close the descriptor again from inside; stop
                // as soon as the slot is no longer this connection's.
                while (pFdContext->GetSeq() == iSeq && !taskList.empty()) {
                    CWriteTaskBase* pTask = taskList.front();
                    taskList.pop_front();
                    if (pTask->GetTaskType() == CWriteTaskBase::TASK_TYPE_REFED_MEM) {
                        CRefedMemTask* pRefedTask = static_cast<CRefedMemTask*>(pTask);
                        m_evtHandler.OnTcpWrote(pFdContext, pRefedTask->GetHandle(), pRefedTask->GetRefedMem(),
                                                pRefedTask->GetWantSize(), -1);
                    }
                    delete pTask;
                }
                break;
            }
            case FD_TYPE_UDP:
                LOG_DEBUG("close fd=%d, type=UDP", iSockFd);
                break;
            default:
                break;
        }
        if (pFdContext->GetSeq() != iSeq) return 0;
    } else {
        LOG_DEBUG("close fd=%d", iSockFd);
    }
    if (pFdContext != nullptr) ResetFdContext(pFdContext);
    close(iSockFd);
    return 0;
}

sint32 CAioOperator::CreateTcpListenSock(const CInetAddr& listenAddr) {
    sint32 iFd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (iFd < 0) return -1;
    if (SetNonblocking(iFd) != 0) {
        close(iFd);
        return -1;
    }
    SetReuse(iFd);
    SetNoCloseWait(iFd);
    CInetAddr addr(listenAddr);
    if (bind(iFd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0) {
        LOG_ERR("failed to bind on %s:%u", addr.GetIpStr(), PortOf(addr));
        close(iFd);
        return -1;
    }
    if (listen(iFd, LISTEN_BACKLOG) != 0) {
        close(iFd);
        return -1;
    }
    return iFd;
}

CFdContext* CAioOperator::RegisterOrClose(sint32 iFd, EFdType nFdType) {
    CFdContext* pFdContext = InitFdContext(iFd, nFdType, nullptr);
    if (pFdContext == nullptr) {
        close(iFd);
        return nullptr;
    }
    if (EpollCtl(EPOLL_CTL_ADD, iFd, EPOLLIN) != 0) {
        ResetFdContext(pFdContext);
        close(iFd);
        return nullptr;
    }
    return pFdContext;
}

sint32 CAioOperator::AddTcpListenSock(const CInetAddr& listenAddr) {
    sint32 iFd = CreateTcpListenSock(listenAddr);
    if (iFd < 0) return -1;
    if (RegisterOrClose(iFd, FD_TYPE_TCP_LISTEN) == nullptr) return -1;
    LOG_INFO("fd=%d, listening on %s:%u", iFd, listenAddr.GetIpStr(), PortOf(listenAddr));
    if (m_iSpareFd < 0) OpenSpareFd();
    return iFd;
}

void CAioOperator::OpenSpareFd() {
    m_iSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (m_iSpareFd < 0) {
        LOG_WARN("no spare descriptor: %s; running out of descriptors will leave peers waiting", strerror(errno));
        return;
    }
    // Above the table it does not take a slot a connection could use; when
    // the limit is lower than that, any number serves.
    if (static_cast<uint32>(m_iSpareFd) < m_iMaxFdNum) {
        int iHigh = fcntl(m_iSpareFd, F_DUPFD_CLOEXEC, static_cast<int>(m_iMaxFdNum));
        if (iHigh >= 0) {
            close(m_iSpareFd);
            m_iSpareFd = iHigh;
        }
    }
}

bool CAioOperator::RefuseWithSpareFd(sint32 iListenFd) {
    if (m_iSpareFd < 0) return false;
    close(m_iSpareFd);
    m_iSpareFd = -1;
    CInetAddr remoteAddr;
    remoteAddr.Reset();
    socklen_t iAddrLen = sizeof(sockaddr_in);
    sint32 iFd = accept(iListenFd, reinterpret_cast<sockaddr*>(remoteAddr.GetSockAddr()), &iAddrLen);
    if (iFd >= 0) {
        LOG_ERR("fd=%d, connection from %s:%u refused: out of descriptors", iFd, remoteAddr.GetIpStr(),
                PortOf(remoteAddr));
        close(iFd);
    }
    OpenSpareFd();
    return iFd >= 0;
}

sint32 CAioOperator::CreateUdpSock(const CInetAddr* pBindAddr) {
    sint32 iFd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (iFd < 0) return -1;
    if (SetNonblocking(iFd) != 0) {
        close(iFd);
        return -1;
    }
    if (pBindAddr != nullptr && pBindAddr->GetPort() != 0) {
        CInetAddr addr(*pBindAddr);
        if (bind(iFd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0) {
            close(iFd);
            return -1;
        }
        LOG_INFO("udp fd=%d, bind on %s:%u", iFd, addr.GetIpStr(), PortOf(addr));
    }
    return iFd;
}

sint32 CAioOperator::AddUdpSock(const CInetAddr* pBindAddr) {
    sint32 iFd = CreateUdpSock(pBindAddr);
    if (iFd < 0) return -1;
    if (RegisterOrClose(iFd, FD_TYPE_UDP) == nullptr) return -1;
    m_iUdpSockFd = iFd;
    LOG_INFO("udp fd=%d", iFd);
    return iFd;
}

sint32 CAioOperator::UdpSend(sint32 iFd, const char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) {
    CInetAddr addr(remoteAddr);
    return static_cast<sint32>(
        sendto(iFd, pData, iDataSize, 0, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)));
}

// Every datagram waiting is delivered, each alone and with its own sender;
// an error or an empty datagram ends the step (the rest come next turn).
sint32 CAioOperator::OnUdpRead(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    sint32 iFd = pFdContext->GetFd();
    uint32 iSeq = pFdContext->GetSeq();
    CReadBuffer& readBuf = pFdContext->GetReadBuf();
    for (;;) {
        readBuf.Reset();
        char* pFreeSpace = readBuf.GetFreeSpacePtr();
        uint32 iFreeSpaceSize = readBuf.GetFreeSpaceSize();
        socklen_t iAddrLen = sizeof(sockaddr_in);
        ssize_t iRecved = recvfrom(iFd, pFreeSpace, iFreeSpaceSize, 0,
                                   reinterpret_cast<sockaddr*>(pFdContext->GetRemoteAddr()->GetSockAddr()), &iAddrLen);
        if (iRecved < 1) break;
        readBuf.IncDataSize(static_cast<uint32>(iRecved));
        m_evtHandler.OnUdpRead(pFdContext, readBuf.GetDataPtr(), readBuf.GetDataSize(), *pFdContext->GetRemoteAddr());
        if (pFdContext->GetSeq() != iSeq) break;
    }
    return 0;
}

sint32 CAioOperator::OpenFile(const char* pszFilePath) {
    sint32 iFd = open(pszFilePath, O_RDONLY | O_LARGEFILE);
    if (iFd < 0) {
        sint32 iErr = GetLastError();
        LOG_DEBUG("failed to open file %s, errno=%d, errmsg=%s", pszFilePath, iErr, strerror(iErr));
        return -1;
    }
    LOG_DEBUG("succeeded to open file %s, fd=%d", pszFilePath, iFd);
    return iFd;
}

sint32 CAioOperator::CreateFile(const char* pszFilePath) {
    sint32 iFd = open(pszFilePath, O_RDWR | O_CREAT | O_TRUNC | O_LARGEFILE, 0600);
    if (iFd < 0) {
        sint32 iErr = GetLastError();
        LOG_DEBUG("failed to create file %s, errno=%d, errmsg=%s", pszFilePath, iErr, strerror(iErr));
        return -1;
    }
    LOG_DEBUG("fd=%d, create file %s", iFd, pszFilePath);
    return iFd;
}

sint32 CAioOperator::GetFileSize(sint32 iFileFd) {
    if (iFileFd < 0) return -1;
    struct stat st;
    if (fstat(iFileFd, &st) != 0) return -1;
    // Cut to 32 bits such a size would come back as a wrong length.
    if (st.st_size > static_cast<off_t>(INT_MAX)) {
        LOG_ERR("fd=%d, file size=%lld too large", iFileFd, static_cast<long long>(st.st_size));
        return -1;
    }
    sint32 iSize = static_cast<sint32>(st.st_size);
    LOG_DEBUG("fd=%d, file size=%d", iFileFd, iSize);
    return iSize;
}

sint32 CAioOperator::ReadFile(sint32 iFileFd, char* pDataBuf, uint32 iWantSize) {
    sint32 iRead = static_cast<sint32>(read(iFileFd, pDataBuf, iWantSize));
    if (iRead < 0) {
        LOG_ERR("fd=%d, file read error", iFileFd);
    } else if (iRead == 0) {
        LOG_ERR("fd=%d, file read eof", iFileFd);
    }
    return iRead;
}

sint32 CAioOperator::WriteFile(sint32 iFileFd, const char* pDataBuf, uint32 iDataSize) {
    sint32 iWritten = static_cast<sint32>(write(iFileFd, pDataBuf, iDataSize));
    if (iWritten < 0) LOG_ERR("fd=%d, file write error", iFileFd);
    return iWritten;
}

void CAioOperator::CloseFile(sint32 iFileFd) { close(iFileFd); }

sint32 CAioOperator::SetNonblocking(sint32 iFd) {
    int iOn = 1;
    if (ioctl(iFd, FIONBIO, &iOn) == 0) return 0;
    int iFlags = fcntl(iFd, F_GETFL);
    if (iFlags < 0 || fcntl(iFd, F_SETFL, iFlags | O_NONBLOCK) < 0) return -1;
    return 0;
}

sint32 CAioOperator::SetSockSndRcvBufSize(sint32 iFd, uint32 iBufSize) {
    int iSize = static_cast<int>(iBufSize);
    setsockopt(iFd, SOL_SOCKET, SO_SNDBUF, &iSize, sizeof(iSize));
    setsockopt(iFd, SOL_SOCKET, SO_RCVBUF, &iSize, sizeof(iSize));
    return 0;
}

sint32 CAioOperator::SetReuse(sint32 iFd) {
    int iOn = 1;
    return setsockopt(iFd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
}

sint32 CAioOperator::SetNoCloseWait(sint32 iFd) {
    struct linger lingerOpt;
    lingerOpt.l_onoff = 1;
    lingerOpt.l_linger = 0;
    return setsockopt(iFd, SOL_SOCKET, SO_LINGER, &lingerOpt, sizeof(lingerOpt));
}

CFdContext* CAioOperator::InitFdContext(sint32 iFd, EFdType nFdType, const CInetAddr* pRemoteAddr) {
    CFdContext* pFdContext = GetFdContext(iFd);
    if (pFdContext == nullptr) return nullptr;
    // A slot still listed (its descriptor was closed behind the operator's
    // back) must leave the list before Init clears its links.
    RemoveWatchFd(pFdContext);
    pFdContext->Init(iFd, nFdType);
    if (pRemoteAddr != nullptr) pFdContext->SetRemoteAddr(*pRemoteAddr);
    return pFdContext;
}

void CAioOperator::ResetFdContext(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return;
    RemoveWatchFd(pFdContext);
    pFdContext->Reset();
}

sint32 CAioOperator::EpollCtl(sint32 iOp, sint32 iFd, sint32 iEvents) {
    if (m_iEpollFd < 0) return -1;
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = iOp == EPOLL_CTL_DEL ? 0 : static_cast<uint32>(iEvents) | EPOLLERR | EPOLLHUP;
    uint32 iSeq = 0;
    if (iFd >= 0 && static_cast<uint32>(iFd) < m_iMaxFdNum) iSeq = m_pFdContexts[iFd]->GetSeq();
    ev.data.u64 = PackEventData(iFd, iSeq);
    return zq_epoll_ctl(m_iEpollFd, iOp, iFd, &ev);
}

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
