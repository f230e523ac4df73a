#include "datareport_svr.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <chrono>

#include "app_signal.h"
#include "config.h"
#include "fd_context.h"
#include "os_util.h"
#include "progress_line.h"
#include "svr_log.h"

int ip_svr_t::compute_rc_info(const std::string& strFileName, const std::string& realFileName,
                              const std::string& url, const rc_digest_opts_t& oOpts) {
    const char* pszPath = strFileName.c_str();
    LOG_INFO("start compute %s", pszPath);
    printf("start compute %s\n", pszPath);

    rc_digest_opts_t oUse = oOpts;
    CProgressLine oLine(STDERR_FILENO);
    if (oUse.Progress == nullptr) oUse.Progress = &oLine;
    // On a terminal the line above must be out before the progress line.
    if (oUse.Progress->IsEnabled()) fflush(stdout);
    rc_digests_t oDigests;
    switch (compute_rc_digests(strFileName, oDigests, oUse)) {
        case RC_DIGESTS_OK:
            break;
        case RC_DIGESTS_MD4_FAILED:
            printf("compute error %s\n", pszPath);
            return -1;
        case RC_DIGESTS_SHA1_FAILED:
            printf("compute error 1 %s\n", pszPath);
            return -1;
        default:
            printf("compute error 2 %s\n", pszPath);
            return -1;
    }

    if (fill_rc_info(oDigests, realFileName, url, mData) == RC_TPT_TOO_LARGE) {
        LOG_WARN("no piece table for %s: %llu bytes is above the %llu-byte limit", pszPath,
                 static_cast<unsigned long long>(oDigests.Size), static_cast<unsigned long long>(RC_TPT_MAX_FILE_SIZE));
        printf("no piece table for %s: %llu bytes is above the %llu-byte limit\n", pszPath,
               static_cast<unsigned long long>(oDigests.Size), static_cast<unsigned long long>(RC_TPT_MAX_FILE_SIZE));
    }

    LOG_INFO("complete compute %s", pszPath);
    printf("complete compute %s\n", pszPath);
    m_compute = true;
    return 0;
}


uint32_t mSeq = 0;

uint32_t timeval_ms(uint32_t time_start) {
    uint32_t now = GetTickCount();
    if (now < time_start) {
        LOG_WARN("task time strange: start=%u, now=%u", time_start, now);
        return 0;
    }
    return now - time_start;
}

uint64_t timeval_us(uint32_t time_start) { return static_cast<uint64_t>(timeval_ms(time_start)) * 1000; }

ip_svr_t::ip_svr_t()
    : m_run(true),
      m_AioOperator(*this),
      m_compute(false),
      m_outcome(RC_OUTCOME_NONE),
      m_stop_sig(0),
      m_announced(false) {}

ip_svr_t::~ip_svr_t() {}

int ip_svr_t::init() {
    int res = m_AioOperator.InitMaxFdNum(MAX_FD_NUM, READ_BUF_SIZE);
    if (res != 0) return res;
    m_AioOperator.SetInactiveFdTimeout(INACTIVE_TIMEOUT_MS);
    res = m_AioOperator.CreateEpoll();
    if (res != 0) return res;
    m_rc_conn.set_info(&m_AioOperator, g_config.rc_ip, static_cast<uint16_t>(g_config.rc_port), RETRY_INTERVAL_MS);
    return 0;
}

int ip_svr_t::run() {
    // A signal caught before the wait (during the computation) is logged and
    // then forgotten: the report still goes ahead.
    app_report_stop();
    app_clear_stop();
    m_run = true;
    m_outcome = RC_OUTCOME_NONE;
    m_stop_sig = 0;

    int iTimeoutMs = g_config.task_timeout_ms;
    if (iTimeoutMs <= 0) {
        LOG_WARN("task_timeout_ms=%d is not positive, using %d", iTimeoutMs, static_cast<int>(DEFAULT_TASK_TIMEOUT_MS));
        iTimeoutMs = DEFAULT_TASK_TIMEOUT_MS;
    }
    // A monotonic clock, so a change of the wall clock neither cuts the wait
    // short nor stretches it.
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    const std::chrono::milliseconds timeout(iTimeoutMs);

    LOG_INFO("server started");
    fflush(stdout);
    while (m_run) {
        m_AioOperator.OnRun();
        if (m_run) {
            int iConnState = tcp_connect::CONN_STATE_IDLE;
            m_rc_conn.maintain_connect(&iConnState);
            if (iConnState == tcp_connect::CONN_STATE_STARTED) {
                on_connect_started();
            } else if (iConnState == tcp_connect::CONN_STATE_FAILED) {
                // No socket at all (descriptors used up, say): the keeper
                // retries, but the user should not see only a timeout.
                int iErr = errno;
                LOG_ERR("cannot open a connection to zq_server %s:%d: %s", g_config.rc_ip, g_config.rc_port,
                        strerror(iErr));
                printf("cannot open a connection to zq_server %s:%d: %s\n", g_config.rc_ip, g_config.rc_port,
                       strerror(iErr));
            }
        }
        if (app_report_stop()) {
            bool bWaiting = m_outcome == RC_OUTCOME_NONE;
            Stop();
            if (bWaiting) m_stop_sig = app_stop_signal();
        }
        if (m_run && std::chrono::steady_clock::now() - start >= timeout) {
            LOG_INFO("report to zq_server %s:%d timed out after %d ms", g_config.rc_ip, g_config.rc_port, iTimeoutMs);
            printf("report to zq_server %s:%d timed out after %d ms\n", g_config.rc_ip, g_config.rc_port, iTimeoutMs);
            finish(RC_TIMED_OUT);
        }
    }

    // The server sees an orderly end rather than waiting for process exit.
    int fd = m_rc_conn.get_fd();
    if (fd >= 0 && is_rc_conn(m_AioOperator.GetFdContext(fd))) m_AioOperator.CloseSocket(fd);
    LOG_INFO("server stopped");
    fflush(stdout);
    return 0;
}

int ip_svr_t::Stop() {
    if (m_outcome == RC_OUTCOME_NONE) m_outcome = RC_STOPPED;
    m_run = false;
    return 0;
}

void ip_svr_t::finish(ERcOutcome outcome) {
    if (m_outcome == RC_OUTCOME_NONE) m_outcome = outcome;
    m_run = false;
}

bool ip_svr_t::is_rc_conn(CFdContext* pFdContext) const {
    int fd = m_rc_conn.get_fd();
    return pFdContext != nullptr && fd >= 0 && pFdContext->GetFd() == fd;
}

void ip_svr_t::on_connect_started() {
    m_announced = false;
    int fd = m_rc_conn.get_fd();
    CFdContext* pFdContext = fd >= 0 ? m_AioOperator.GetFdContext(fd) : nullptr;
    if (is_rc_conn(pFdContext) && pFdContext->GetFdType() == FD_TYPE_TCP_CONNECTED) OnTcpConnOut(pFdContext, true);
}

int ip_svr_t::send_rc_info() {
    const char* pszName = mData.FileName.c_str();
    LOG_INFO("start send info %s", pszName);
    printf("start send info to zq: %s\n", pszName);

    DataBuf body;
    zq_head_t head;
    int res = -1;
    if (pack_rc_request(mData, ++mSeq, body, head)) {
        int fd = m_rc_conn.get_fd();
        res = m_AioOperator.TcpSend(fd, reinterpret_cast<const char*>(&head), sizeof(head));
        if (res == 0)
            res = m_AioOperator.TcpSend(fd, reinterpret_cast<const char*>(body.GetBegPnt()), body.GetDataLen());
    }
    if (res != 0) {
        LOG_INFO("send info error %s", pszName);
        printf("send info error %s\n", pszName);
        return res;
    }
    LOG_INFO("end send info %s", pszName);
    printf("complete send info to zq: %s\n", pszName);
    return 0;
}

int ip_svr_t::process_rc_info_response(CFdContext* pFdContext, char* pData, uint32_t iBufLen) {
    (void)pFdContext;
    if (pData == nullptr || iBufLen < zq_head_t::HEAD_LEN) return -1;
    uint32 dwResult = 0;
    uint32 dwErrno = 0;
    if (!rc_decode_response(reinterpret_cast<const unsigned char*>(pData), iBufLen, dwResult, dwErrno)) {
        LOG_ERR("response too short, dropped: len=%u", iBufLen);
        return -1;
    }
    LOG_INFO("rc _response: dwresult=%d, dwerrno=%d\n", static_cast<int>(dwResult), static_cast<int>(dwErrno));
    printf("rc _response: dwresult=%d, dwerrno=%d\n", static_cast<int>(dwResult), static_cast<int>(dwErrno));
    finish(RC_ANSWERED);
    return 0;
}

sint32 ip_svr_t::OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) {
    if (pFdContext == nullptr) {
        finish(RC_CONNECT_FAILED);
        return -1;
    }
    // A connect that completed inside Connect is announced by the loop; the
    // operator never reports it, but nothing is sent twice either way.
    if (bSuccess && m_announced) return 0;
    const char* pszIp = pFdContext->GetRemoteAddr()->GetIpStr();
    sint32 res = 0;
    if (!bSuccess) {
        LOG_INFO("connect to zq_server %s error", pszIp);
        printf("connect to zq_server %s error\n", pszIp);
        finish(RC_CONNECT_FAILED);
        res = OnFdClosed(pFdContext);
    } else {
        m_announced = true;
        LOG_INFO("connected to %s", pszIp);
        if (m_compute) {
            // Unsent, the report can never be answered: end now rather than
            // wait for the timeout.
            if (send_rc_info() != 0) finish(RC_SEND_FAILED);
        } else {
            finish(RC_NOTHING_TO_SEND);
        }
    }
    if (res != 0) {
        LOG_INFO("connect error to %s", pFdContext->GetRemoteAddr()->GetIpStr());
        finish(RC_CONNECT_FAILED);
    }
    return res;
}

// Packets are framed by the header's length; a partial one stays in the read
// buffer until its last byte arrives. The walk stops once the response ended
// the run, leaving later bytes unconsumed.
sint32 ip_svr_t::OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) {
    if (pFdContext == nullptr) return -1;
    if (pFdContext->GetContType() != 0 || pFdContext->GetFdType() != FD_TYPE_TCP_CONNECTED) return 0;
    sint32 iRet = 0;
    uint32 iPos = 0;
    while (m_run && iDataSize - iPos >= zq_head_t::HEAD_LEN) {
        char* pPacket = pData + iPos;
        uint32 iLen = zq_head_t::PeekLength(pPacket);
        uint32 iCmd = zq_head_t::PeekCmd(pPacket);
        if (iLen < zq_head_t::HEAD_LEN || iLen > zq_head_t::MAX_PACKET_LEN) {
            LOG_ERR("invalid packet, len=%d, cmd=0x%x", static_cast<int>(iLen), iCmd);
            return -1;
        }
        if (iDataSize - iPos < iLen) break;
        if (iCmd == zq_head_t::CMD_RC_INFO_RSP) {
            process_rc_info_response(pFdContext, pPacket, iLen);
        } else {
            LOG_ERR("unexpected cmd=0x%x", iCmd);
            iRet = -1;
        }
        iPos += iLen;
        iParsedDataSize += iLen;
    }
    return iRet;
}

sint32 ip_svr_t::OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                            sint32 iWroteSize) {
    (void)pFdContext;
    (void)pHandle;
    (void)pRefedMem;
    (void)iWantSize;
    (void)iWroteSize;
    return 0;
}

sint32 ip_svr_t::OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) {
    (void)pFdContext;
    (void)pData;
    (void)iDataSize;
    (void)remoteAddr;
    return 0;
}

// Nothing reconnects, so a connection gone before the response leaves
// nothing to wait for.
sint32 ip_svr_t::OnFdClosed(CFdContext* pFdContext) {
    if (pFdContext == nullptr) return -1;
    if (m_outcome == RC_OUTCOME_NONE && is_rc_conn(pFdContext)) {
        CInetAddr* pRemote = pFdContext->GetRemoteAddr();
        const char* pszIp = pRemote->GetIpStr();
        unsigned uPort = pRemote->GetPort();
        LOG_INFO("connection to zq_server %s:%u closed before a response", pszIp, uPort);
        printf("connection to zq_server %s:%u closed before a response\n", pszIp, uPort);
        finish(RC_CLOSED);
    }
    return 0;
}
