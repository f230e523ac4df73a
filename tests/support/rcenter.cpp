#include "rcenter.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace zqtest {

namespace {

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

BackgroundProcess::~BackgroundProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        Wait(5000);
    }
    for (int& fd : m_fds) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

bool BackgroundProcess::Start(const std::string& program, const std::vector<std::string>& args,
                              const std::string& cwd) {
    if (m_pid > 0) return false;
    int outFd = -1, errFd = -1;
    pid_t pid = SpawnPiped(program, args, cwd, &outFd, &errFd);
    if (pid < 0) return false;
    m_fds[0] = outFd;
    m_fds[1] = errFd;
    m_pid = pid;
    m_result = ProcessResult();
    return true;
}

bool BackgroundProcess::Pump(int timeoutMs) {
    if (!OutputOpen()) return false;
    pollfd fds[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
    int rc = poll(fds, 2, timeoutMs);
    if (rc <= 0) return false;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof(buf));
        if (n > 0) {
            (i == 0 ? m_result.out : m_result.err).append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(m_fds[i]);
            m_fds[i] = -1;
        }
    }
    return true;
}

bool BackgroundProcess::WaitForLine(const std::string& prefix, std::string* line, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t start = 0;
        const std::string& out = m_result.out;
        for (size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
            if (out.compare(start, prefix.size(), prefix) == 0 && end - start >= prefix.size()) {
                if (line != nullptr) *line = out.substr(start, end - start);
                return true;
            }
            start = end + 1;
        }
        int left = MsLeft(deadline);
        if (left == 0 || m_fds[0] < 0) return false;
        Pump(left);
    }
}

bool BackgroundProcess::Signal(int sig) { return m_pid > 0 && kill(m_pid, sig) == 0; }

ProcessResult BackgroundProcess::Wait(int timeoutMs) {
    if (m_pid <= 0) return m_result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) break;
        if (done < 0 && errno != EINTR) break;
        int left = MsLeft(deadline);
        if (left == 0) {
            m_result.timed_out = true;
            kill(m_pid, SIGKILL);
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        // Output keeps flowing while it winds down; a closed pipe only means
        // the wait goes on in short steps.
        if (!OutputOpen()) {
            usleep(2000);
        } else {
            Pump(left < 20 ? left : 20);
        }
    }
    m_pid = -1;
    // Whatever it wrote before ending is still in the pipes.
    while (Pump(0)) {
    }
    RecordExit(status, &m_result);
    return m_result;
}

}  // namespace zqtest
