#include "tcp_connect.h"

#include <cerrno>

#include "aio_operator.h"
#include "inet_addr.h"
#include "os_util.h"
#include "svr_log.h"

tcp_connect::tcp_connect()
    : m_handler(nullptr), m_fd(-1), m_ip(nullptr), m_port(0), m_last_conn_time_ms(0), m_retry_time_ms(0) {
    safe_buf[0] = '\0';
}

int tcp_connect::set_info(CAioOperator* handler, char* ip, uint16_t port, int retry_time_ms) {
    m_handler = handler;
    m_ip = ip;
    m_port = port;
    m_retry_time_ms = retry_time_ms;
    return 0;
}

int tcp_connect::set_fd(int fd) {
    m_fd = fd;
    return 0;
}

// The attempt time is taken before the connect, so a failed attempt waits a
// full interval. The elapsed time is compared rather than a sum, which would
// wrap near the end of the tick range and retry early.
int tcp_connect::maintain_connect(int* state) {
    int iState = CONN_STATE_IDLE;
    if (m_fd == -1 && m_handler != nullptr) {
        uint32_t now = GetTickCount();
        uint32_t retry = m_retry_time_ms > 0 ? static_cast<uint32_t>(m_retry_time_ms) : 0;
        bool bWaiting = m_last_conn_time_ms != 0 && m_last_conn_time_ms <= now && now - m_last_conn_time_ms < retry;
        if (!bWaiting) {
            CInetAddr addr;
            addr.Reset();
            addr.SetAddr(m_ip, m_port);
            m_last_conn_time_ms = now;
            m_fd = m_handler->Connect(addr);
            if (m_fd == -1) {
                // The owner reads the reason from errno after the call; the log must not change it.
                int iErr = errno;
                LOG_FATAL("fail to connect server: ip=%s, port=%u", m_ip ? m_ip : "", static_cast<unsigned>(m_port));
                errno = iErr;
                iState = CONN_STATE_FAILED;
            } else {
                LOG_INFO("success to connect server: ip=%s, port=%u", m_ip ? m_ip : "", static_cast<unsigned>(m_port));
                iState = CONN_STATE_STARTED;
            }
        }
    }
    if (state != nullptr) *state = iState;
    return 0;
}
