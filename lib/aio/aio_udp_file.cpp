// The datagram socket and the synchronous file wrappers of CAioOperator.
#include "aio_operator.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "aio_internal.h"
#include "os_util.h"
#include "svr_log.h"

using aio_internal::PortOf;

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
