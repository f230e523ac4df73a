#include "net.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "bytes.h"
#include "deadline.h"

namespace zqtest {

namespace {

// A socket of type bound to 127.0.0.1 on a free port; throws when refused.
int BoundSocket(int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    CInetAddr addr = Loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0 || LocalPort(fd) == 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    return fd;
}

}  // namespace

CInetAddr Loopback(unsigned short port) { return CInetAddr("127.0.0.1", port); }

unsigned short LocalPort(int fd) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    memset(&addr, 0, sizeof(addr));
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

unsigned short RefusedPort() {
    int fd = BoundSocket(SOCK_STREAM);
    unsigned short port = LocalPort(fd);
    close(fd);
    return port;
}

int PlainListen(unsigned short* port, int rcvBuf) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    // Set before listen, so accepted sockets inherit it and the window stays small.
    if (rcvBuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof(rcvBuf));
    CInetAddr addr = Loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    if (port) *port = LocalPort(fd);
    return fd;
}

int PlainConnect(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    CInetAddr addr = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int PlainAccept(int listenFd, int timeoutMs) {
    if (!WaitReadable(listenFd, timeoutMs)) return -1;
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool WaitReadable(int fd, int timeoutMs) {
    Deadline deadline(timeoutMs);
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, deadline.MsLeft());
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR || deadline.Passed()) return false;
    }
}

std::string RecvExactly(int fd, size_t n, int timeoutMs) {
    std::string out;
    Deadline deadline(timeoutMs);
    char buf[65536];
    while (out.size() < n) {
        int left = deadline.MsLeft();
        if (left <= 0 || !WaitReadable(fd, left)) break;
        size_t want = n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf);
        ssize_t got = recv(fd, buf, want, MSG_DONTWAIT);
        if (got > 0) {
            out.append(buf, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return out;
}

bool SendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void CloseWithReset(int fd) {
    struct linger lg;
    lg.l_onoff = 1;
    lg.l_linger = 0;
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

UdpReceiver::UdpReceiver() : m_fd(BoundSocket(SOCK_DGRAM)), m_port(LocalPort(m_fd)) {}

UdpReceiver::~UdpReceiver() { close(m_fd); }

bool UdpReceiver::Receive(std::string* out, int timeout_ms) {
    if (!WaitReadable(m_fd, timeout_ms)) return false;
    char buf[65536];
    ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
    if (n < 0) return false;
    out->assign(buf, static_cast<size_t>(n));
    return true;
}

ScriptedPeer::ScriptedPeer(Script script, int accept_timeout_ms) {
    m_listenFd = PlainListen(&m_port);
    m_thread = std::thread(&ScriptedPeer::Body, this, script, accept_timeout_ms);
}

ScriptedPeer::~ScriptedPeer() {
    Join();
    if (m_listenFd >= 0) close(m_listenFd);
}

void ScriptedPeer::Join() {
    if (m_thread.joinable()) m_thread.join();
}

void ScriptedPeer::Body(Script script, int accept_timeout_ms) {
    if (m_listenFd < 0) return;
    int fd = PlainAccept(m_listenFd, accept_timeout_ms);
    if (fd < 0) return;
    m_accepted = true;
    script(*this, fd);
    close(fd);
}

std::string ScriptedPeer::ReadRequest(int fd, int timeout_ms) {
    Deadline deadline(timeout_ms);
    std::string packet = RecvExactly(fd, 40, timeout_ms);
    if (packet.size() == 40) {
        uint32_t length = ReadBigEndian32(packet, 16);
        int left = deadline.MsLeft();
        if (length > 40 && length <= (1u << 20) && left > 0) packet += RecvExactly(fd, length - 40, left);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_request = packet;
    return packet;
}

bool ScriptedPeer::WaitForClose(int fd, int timeout_ms) {
    Deadline deadline(timeout_ms);
    char buf[65536];
    for (;;) {
        int left = deadline.MsLeft();
        if (left <= 0 || !WaitReadable(fd, left)) return false;
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_rest.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return true;
        }
    }
}

std::string ScriptedPeer::Request() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_request;
}

std::string ScriptedPeer::Rest() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rest;
}

}  // namespace zqtest
