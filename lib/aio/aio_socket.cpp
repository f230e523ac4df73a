// Socket set-up of CAioOperator: the listener and its spare descriptor, the
// accept step, outgoing connects and their completion step, socket options.
#include "aio_operator.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "aio_internal.h"
#include "epoll.h"
#include "os_util.h"
#include "svr_log.h"

using aio_internal::PortOf;

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
