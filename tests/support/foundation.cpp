#include "foundation.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace zqtest {

namespace {

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

unsigned short BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw std::runtime_error("getsockname");
    return ntohs(addr.sin_port);
}

}  // namespace

ProcessResult RunInChild(const std::function<int()>& body, int timeout_ms) {
    ProcessResult result;
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], 1);
        close(outPipe[0]);
        close(outPipe[1]);
        int code = body();
        fflush(stdout);
        _exit(code);
    }
    close(outPipe[1]);
    result.timed_out = !ReadUntilClosed(outPipe[0], pid, timeout_ms, &result.out);
    close(outPipe[0]);
    ReapInto(pid, &result);
    return result;
}

UdpReceiver::UdpReceiver() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), m_port(0) {
    if (m_fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr = Loopback(0);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(m_fd);
        throw std::runtime_error("bind failed");
    }
    m_port = BoundPort(m_fd);
}

UdpReceiver::~UdpReceiver() { close(m_fd); }

bool UdpReceiver::Receive(std::string* out, int timeout_ms) {
    pollfd pfd = {m_fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    char buf[65536];
    ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
    if (n < 0) return false;
    out->assign(buf, static_cast<size_t>(n));
    return true;
}

unsigned short UnusedTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr = Loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    unsigned short port = BoundPort(fd);
    close(fd);
    return port;
}

}  // namespace zqtest
