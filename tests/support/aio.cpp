#include "aio.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "fd_context.h"
#include "svr_log.h"

namespace zqtest {

namespace {
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}
}  // namespace

LogCapture::LogCapture(int level) : m_prevLevel(g_ErrLog.GetOutLevel()) {
    std::string path = m_dir.file("errlog");
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    g_ErrLog.reset();
    g_ErrLog.InitFileLog(name.data(), true, FL_FILE_SIZE_ROTATE, 0, 1);
    g_ErrLog.OpenFileLog();
    g_ErrLog.SetOutLevel(level);
}

LogCapture::~LogCapture() {
    g_ErrLog.reset();
    g_ErrLog.SetOutLevel(m_prevLevel);
}

std::string LogCapture::Text() const { return ReadFile(m_dir.file("errlog")); }

size_t LogCapture::Count(const std::string& text) const {
    std::string all = Text();
    size_t n = 0;
    for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + text.size())) ++n;
    return n;
}

RecordingHandler::RecordingHandler() {}

namespace {
AioEvent MakeEvent(AioEvent::Kind kind, CFdContext* pFdContext) {
    AioEvent ev;
    ev.kind = kind;
    ev.fd = pFdContext ? pFdContext->GetFd() : -2;
    ev.fdType = pFdContext ? static_cast<int>(pFdContext->GetFdType()) : -1;
    ev.addr.Reset();
    return ev;
}
}  // namespace

sint32 RecordingHandler::OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) {
    AioEvent ev = MakeEvent(AioEvent::CONN_OUT, pFdContext);
    ev.success = bSuccess;
    events.push_back(ev);
    return onConnOut ? onConnOut(pFdContext, bSuccess) : 0;
}

sint32 RecordingHandler::OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) {
    AioEvent ev = MakeEvent(AioEvent::TCP_READ, pFdContext);
    ev.data.assign(pData ? pData : "", pData ? iDataSize : 0);
    events.push_back(ev);
    if (onRead) return onRead(pFdContext, pData, iDataSize, iParsedDataSize);
    iParsedDataSize += iDataSize;
    return 0;
}

sint32 RecordingHandler::OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* /*pRefedMem*/,
                                    uint32 iWantSize, sint32 iWroteSize) {
    AioEvent ev = MakeEvent(AioEvent::TCP_WROTE, pFdContext);
    ev.handle = pHandle;
    ev.wantSize = iWantSize;
    ev.wroteSize = iWroteSize;
    events.push_back(ev);
    return onWrote ? onWrote(pFdContext, pHandle, iWroteSize) : 0;
}

sint32 RecordingHandler::OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize,
                                   const CInetAddr& remoteAddr) {
    AioEvent ev = MakeEvent(AioEvent::UDP_READ, pFdContext);
    ev.data.assign(pData ? pData : "", pData ? iDataSize : 0);
    ev.addr = remoteAddr;
    events.push_back(ev);
    return 0;
}

sint32 RecordingHandler::OnFdClosed(CFdContext* pFdContext) {
    events.push_back(MakeEvent(AioEvent::FD_CLOSED, pFdContext));
    return onClosed ? onClosed(pFdContext) : 0;
}

size_t RecordingHandler::CountOf(AioEvent::Kind kind, int fd) const {
    size_t n = 0;
    for (const AioEvent& ev : events)
        if (ev.kind == kind && (fd == -1 || ev.fd == fd)) ++n;
    return n;
}

std::string RecordingHandler::ReadBytes(int fd) const {
    std::string all;
    for (const AioEvent& ev : events)
        if (ev.kind == AioEvent::TCP_READ && ev.fd == fd) all += ev.data;
    return all;
}

CInetAddr Loopback(unsigned short port) { return CInetAddr("127.0.0.1", port); }

unsigned short LocalPort(int fd) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    memset(&addr, 0, sizeof(addr));
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
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

unsigned short RefusedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    CInetAddr addr = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in));
    unsigned short port = LocalPort(fd);
    close(fd);
    return port;
}

bool WaitReadable(int fd, int timeoutMs) {
    auto start = Clock::now();
    for (;;) {
        long left = timeoutMs - MsSince(start);
        if (left < 0) return false;
        pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left));
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return false;
    }
}

std::string RecvExactly(int fd, size_t n, int timeoutMs) {
    std::string out;
    auto start = Clock::now();
    char buf[65536];
    while (out.size() < n) {
        long left = timeoutMs - MsSince(start);
        if (left <= 0 || !WaitReadable(fd, static_cast<int>(left))) break;
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

bool IsOpenFd(int fd) { return fcntl(fd, F_GETFD) != -1; }

long EpollInterest(int epollFd, int fd) {
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(epollFd));
    std::string line;
    while (std::getline(in, line)) {
        // "tfd:        5 events:       19 data: ..."
        if (line.compare(0, 4, "tfd:") != 0) continue;
        std::istringstream fields(line);
        std::string tag, events;
        int tfd = -1;
        fields >> tag >> tfd >> tag >> events;
        if (tfd == fd) return std::strtol(events.c_str(), nullptr, 16);
    }
    return -1;
}

std::vector<int> FillDescriptorHolesBelow(int fd) {
    std::vector<int> fillers;
    int base = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (base < 0) return fillers;
    if (base >= fd) {
        close(base);
        return fillers;
    }
    fillers.push_back(base);
    for (;;) {
        int d = fcntl(base, F_DUPFD_CLOEXEC, 0);
        if (d < 0) break;
        if (d >= fd) {
            close(d);
            break;
        }
        fillers.push_back(d);
    }
    return fillers;
}

void CloseAll(std::vector<int>& fds) {
    for (int fd : fds) close(fd);
    fds.clear();
}

bool RunUntil(CAioOperator& op, const std::function<bool()>& done, int timeoutMs, long maxTurns) {
    auto start = Clock::now();
    for (long turn = 0; turn < maxTurns; ++turn) {
        if (done()) return true;
        if (MsSince(start) > timeoutMs) break;
        op.OnRun();
    }
    return done();
}

void RunFor(CAioOperator& op, int ms) {
    auto start = Clock::now();
    while (MsSince(start) < ms) op.OnRun();
}

}  // namespace zqtest
