// Loopback networking for tests, every wait bounded: addresses and free
// ports on 127.0.0.1, plain blocking TCP ends, a UDP receiver, and a peer
// that plays a script against the one connection it accepts.
#ifndef ZQ_TEST_NET_H
#define ZQ_TEST_NET_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "inet_addr.h"

namespace zqtest {

CInetAddr Loopback(unsigned short port);
// The local port fd is bound to; 0 when it has none.
unsigned short LocalPort(int fd);
// A TCP port on 127.0.0.1 that nothing listens on (bound once, then
// released), so a connection to it is refused.
unsigned short RefusedPort();

// A blocking listening TCP socket on 127.0.0.1 with a system-chosen port.
int PlainListen(unsigned short* port, int rcvBuf = 0);
// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int PlainConnect(unsigned short port);
// Accepts one connection, waiting at most timeoutMs; -1 on timeout.
int PlainAccept(int listenFd, int timeoutMs = 5000);
// Waits at most timeoutMs for fd to become readable.
bool WaitReadable(int fd, int timeoutMs);
// Receives exactly n bytes or fails after timeoutMs; returns what arrived.
std::string RecvExactly(int fd, size_t n, int timeoutMs = 5000);
bool SendAll(int fd, const std::string& data);
// Closes with a reset instead of an orderly shutdown.
void CloseWithReset(int fd);

// A datagram socket bound to 127.0.0.1 on a free port, closed on destruction.
class UdpReceiver {
public:
    UdpReceiver();
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;
    unsigned short port() const { return m_port; }
    // One datagram, or false when none arrives within timeout_ms.
    bool Receive(std::string* out, int timeout_ms = 5000);

private:
    int m_fd;
    unsigned short m_port;
};

// Accepts one connection on 127.0.0.1 (a free port) and runs the script on
// it in a thread; the connection is closed when the script returns. Every
// wait inside is bounded, so the destructor's join is too.
class ScriptedPeer {
public:
    typedef std::function<void(ScriptedPeer& peer, int fd)> Script;

    explicit ScriptedPeer(Script script, int accept_timeout_ms = 20000);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    unsigned short port() const { return m_port; }
    // Waits for the script to finish.
    void Join();

    // For scripts: reads one packet of the report protocol, framed by its
    // header's length (at most 1 MiB), recording it as the request; what
    // arrived when the wait ends.
    std::string ReadRequest(int fd, int timeout_ms = 10000);
    // For scripts: reads until the other side closes; true when it did
    // within timeout_ms. The bytes read are added to Rest().
    bool WaitForClose(int fd, int timeout_ms);

    // After Join.
    bool Accepted() const { return m_accepted; }
    std::string Request() const;
    std::string Rest() const;

private:
    void Body(Script script, int accept_timeout_ms);

    int m_listenFd = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_accepted{false};
    mutable std::mutex m_mutex;
    std::string m_request;
    std::string m_rest;
    std::thread m_thread;
};

}  // namespace zqtest

#endif
