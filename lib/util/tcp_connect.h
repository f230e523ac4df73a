// tcp_connect: keeps one outgoing TCP connection to a fixed server through a
// CAioOperator. Call maintain_connect once per loop turn, after OnRun: while
// no descriptor is held it starts a connect, at most once per retry interval.
// It does not watch the connection: the operator's handler hears how a
// pending connect ends, and the owner hands back -1 with set_fd when the
// connection is gone. Owns nothing; never closes its descriptor.
#ifndef ZQ_TCP_CONNECT_H
#define ZQ_TCP_CONNECT_H

#include <cstdint>

class CAioOperator;

class tcp_connect {
public:
    enum {
        CONN_STATE_IDLE = 0,       // nothing attempted: a descriptor is held, or the interval has not passed
        CONN_STATE_STARTED = 1,    // Connect returned a descriptor (pending, or connected at once)
        CONN_STATE_FAILED = 2,     // the attempt failed at once; retried after the interval
    };

    tcp_connect();
    ~tcp_connect() {}

    // ip is kept by pointer (dotted IPv4 text, no name lookup) and must outlive the keeper.
    int set_info(CAioOperator* handler, char* ip, uint16_t port, int retry_time_ms);
    // Always 0; *state (when given) receives one of the CONN_STATE_ values.
    // After CONN_STATE_STARTED, tell a connect that completed at once from a
    // pending one by the context's type (see CAioOperator::Connect).
    int maintain_connect(int* state = nullptr);
    int set_fd(int fd);
    int get_fd() const { return m_fd; }

private:
    tcp_connect(const tcp_connect&) = delete;
    tcp_connect& operator=(const tcp_connect&) = delete;

    CAioOperator* m_handler;
    int m_fd;
    char* m_ip;
    uint16_t m_port;
    uint32_t m_last_conn_time_ms;
    int m_retry_time_ms;
    char safe_buf[64];
};

#endif
