// The loop of CAioOperator: set-up, then OnRun and the steps it dispatches
// to in the order they happen (read, write, close), and the descriptor table
// they share. The accept and connect steps live in aio_socket.cpp, the
// datagram step in aio_udp_file.cpp, the inactivity pass in aio_watch.cpp.
#include "aio_operator.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "aio_internal.h"
#include "epoll.h"
#include "os_util.h"
#include "svr_log.h"

using aio_internal::PortOf;

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
            case FD_TYPE_NOTIFY:
                m_evtHandler.OnNotify(pFdContext);
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
        if (iRecved == 0 && pFdContext->GetFdType() == FD_TYPE_TCP_ACCEPTED) {
            const sint32 iKeep = m_evtHandler.OnTcpPeerDone(pFdContext);
            if (pFdContext->GetSeq() != iSeq) return -1;
            if (iKeep == 0) {
                // Level-triggered: an end of stream left in the read watch
                // would be reported again every turn.
                pFdContext->m_bReadDone = true;
                EpollCtl(EPOLL_CTL_MOD, iFd, pFdContext->GetWriteTaskList().empty() ? 0 : static_cast<sint32>(EPOLLOUT));
                LOG_DEBUG("fd=%d, the peer's side is shut; kept for what is owed", iFd);
                break;
            }
        }
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
        EpollCtl(EPOLL_CTL_MOD, iSockFd, (pFdContext->IsReadDone() ? 0 : static_cast<sint32>(EPOLLIN)) | static_cast<sint32>(EPOLLOUT));
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
            EpollCtl(EPOLL_CTL_MOD, iFd, pFdContext->IsReadDone() ? 0 : static_cast<sint32>(EPOLLIN));
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

sint32 CAioOperator::AddNotifyFd(sint32 iFd) {
    CFdContext* pFdContext = GetFdContext(iFd);
    if (pFdContext == nullptr || pFdContext->GetFd() != -1) return -1;
    InitFdContext(iFd, FD_TYPE_NOTIFY, nullptr);
    if (EpollCtl(EPOLL_CTL_ADD, iFd, EPOLLIN) != 0) {
        ResetFdContext(pFdContext);
        return -1;
    }
    return 0;
}

void CAioOperator::RemoveNotifyFd(sint32 iFd) {
    CFdContext* pFdContext = GetFdContext(iFd);
    if (pFdContext == nullptr || pFdContext->GetFd() != iFd || pFdContext->GetFdType() != FD_TYPE_NOTIFY) return;
    EpollCtl(EPOLL_CTL_DEL, iFd, 0);
    ResetFdContext(pFdContext);
}

void CAioOperator::KeepActive(sint32 iFd) {
    CFdContext* pFdContext = GetFdContext(iFd);
    if (pFdContext != nullptr && pFdContext->GetFd() == iFd && pFdContext->GetFdType() == FD_TYPE_TCP_ACCEPTED)
        RefreshWatchFd(pFdContext);
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
