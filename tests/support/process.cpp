#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "deadline.h"
#include "descriptors.h"

namespace zqtest {

namespace {

long NowMs() {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count());
}

// program and args as execv wants them; built before fork, since after it a
// threaded test may only make async-signal-safe calls. The pointers borrow
// from the strings, which must outlive the result.
std::vector<char*> ArgvOf(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

void RecordExit(int status, ProcessResult* result) {
    if (WIFEXITED(status)) {
        result->exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result->term_signal = WTERMSIG(status);
    }
}

void CloseIfSpare(int fd) {
    if (fd > 2) close(fd);
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (Running()) {
        kill(Pid(), SIGKILL);
        Wait(5000);
    }
    CloseOutput();
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const SpawnOptions& options) {
    return Spawn(program, args, nullptr, options);
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd) {
    SpawnOptions options;
    options.cwd = cwd;
    return Start(program, args, options);
}

bool ChildProcess::StartFunction(const std::function<int()>& body, const SpawnOptions& options) {
    return Spawn(std::string(), {}, &body, options);
}

bool ChildProcess::Spawn(const std::string& program, const std::vector<std::string>& args,
                         const std::function<int()>* body, const SpawnOptions& options) {
    if (Running()) return false;
    CloseOutput();
    m_result = ProcessResult();
    const bool terminal = options.stdio == SpawnOptions::STDIO_TERMINAL;
    // [0] the child's output (or the terminal's master), [1] its error.
    int readEnd[2] = {-1, -1}, writeEnd[2] = {-1, -1};
    bool ok = true;
    if (terminal) {
        ok = openpty(&readEnd[0], &writeEnd[0], nullptr, nullptr, nullptr) == 0;
        if (ok) fcntl(readEnd[0], F_SETFD, FD_CLOEXEC);
    } else {
        int p[2];
        ok = pipe2(p, O_CLOEXEC) == 0;
        if (ok) readEnd[0] = p[0], writeEnd[0] = p[1];
        if (ok && options.stdio == SpawnOptions::STDIO_PIPES) {
            ok = pipe2(p, O_CLOEXEC) == 0;
            if (ok) readEnd[1] = p[0], writeEnd[1] = p[1];
        }
    }
    std::vector<char*> argv = ArgvOf(program, args);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = ok ? fork() : -1;
    if (pid == 0) {
        // Only async-signal-safe calls from here: the test may have threads.
        int devnull = -1;
        if (terminal) {
            setsid();
            ioctl(writeEnd[0], TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; ++fd) dup2(writeEnd[0], fd);
        } else {
            if (options.stdio != SpawnOptions::STDIO_OUT_ONLY) {
                devnull = open("/dev/null", O_RDONLY);
                if (devnull < 0) _exit(126);
                dup2(devnull, 0);
            }
            dup2(writeEnd[0], 1);
            if (options.stdio == SpawnOptions::STDIO_PIPES) dup2(writeEnd[1], 2);
            if (options.stdio == SpawnOptions::STDIO_MERGED) dup2(writeEnd[0], 2);
        }
        // A copy left open would keep the output open after the child has
        // gone (a daemon's grandchild inherits it).
        for (int i = 0; i < 2; ++i) {
            CloseIfSpare(readEnd[i]);
            CloseIfSpare(writeEnd[i]);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        if (options.defaultSignals) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        }
        if (options.fdLimit > 0) {
            if (devnull < 0) devnull = open("/dev/null", O_RDONLY);
            if (devnull < 0) _exit(126);
            // Every number below the mark is taken, without close-on-exec, so
            // the holes the test's own close-on-exec descriptors leave at exec
            // are filled too; the ones above it are free.
            for (int fd = 3; fd < options.fdLimit; ++fd) {
                if (fd < options.fdLimit - options.fdsLeftFree) {
                    if (fd != devnull) dup2(devnull, fd);
                } else {
                    close(fd);
                }
            }
        } else {
            CloseIfSpare(devnull);
        }
        if (body != nullptr) {
            int code = (*body)();
            fflush(stdout);
            _exit(code);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    for (int i = 0; i < 2; ++i) {
        if (writeEnd[i] >= 0) close(writeEnd[i]);
        if (pid < 0 && readEnd[i] >= 0) close(readEnd[i]);
    }
    if (pid < 0) return false;
    m_fds[0] = readEnd[0];
    m_fds[1] = readEnd[1];
    m_startMs = NowMs();
    m_pid.store(pid);
    return true;
}

bool ChildProcess::Pump(int timeoutMs) {
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
            // A terminal's master reads EIO once every holder of the other side is gone.
            close(m_fds[i]);
            m_fds[i] = -1;
        }
    }
    return true;
}

void ChildProcess::CloseOutput() {
    for (int& fd : m_fds) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void ChildProcess::Reap(int status) {
    m_pid.store(-1);
    RecordExit(status, &m_result);
}

bool ChildProcess::WaitForLine(const std::string& prefix, std::string* line, int timeoutMs) {
    Deadline deadline(timeoutMs);
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
        int left = deadline.MsLeft();
        if (left == 0 || m_fds[0] < 0) return false;
        Pump(left);
    }
}

bool ChildProcess::Signal(int sig) const {
    Deadline deadline(5000);
    pid_t pid = m_pid.load();
    while (pid <= 0 && !deadline.Passed()) {
        usleep(1000);
        pid = m_pid.load();
    }
    return pid > 0 && kill(pid, sig) == 0;
}

ProcessResult ChildProcess::Wait(int timeoutMs, long* elapsedMs) {
    pid_t pid = m_pid.load();
    if (pid <= 0) return m_result;
    Deadline deadline(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            m_pid.store(-1);
            return m_result;
        }
        int left = deadline.MsLeft();
        if (left == 0) {
            m_result.timed_out = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
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
    if (elapsedMs != nullptr) *elapsedMs = NowMs() - m_startMs;
    // Whatever it wrote before ending is still in the pipes.
    while (Pump(0)) {
    }
    Reap(status);
    return m_result;
}

ProcessResult ChildProcess::Collect(int timeoutMs) {
    pid_t pid = m_pid.load();
    if (pid <= 0) return m_result;
    Deadline deadline(timeoutMs);
    while (OutputOpen()) {
        int left = deadline.MsLeft();
        if (left == 0) {
            m_result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        Pump(left);
    }
    CloseOutput();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Reap(status);
    return m_result;
}

bool ChildProcess::HasOpen(const std::string& path) const {
    pid_t pid = Pid();
    return pid > 0 && HasOpenFile(pid, path);
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const SpawnOptions& options, int timeoutMs) {
    ChildProcess child;
    if (!child.Start(program, args, options)) throw std::runtime_error("cannot start " + program);
    return child.Collect(timeoutMs);
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         int timeoutMs) {
    SpawnOptions options;
    options.cwd = cwd;
    return RunProcess(program, args, options, timeoutMs);
}

ProcessResult RunOnTerminal(const std::string& program, const std::vector<std::string>& args,
                            const std::string& cwd, int timeoutMs) {
    SpawnOptions options;
    options.cwd = cwd;
    options.stdio = SpawnOptions::STDIO_TERMINAL;
    return RunProcess(program, args, options, timeoutMs);
}

ProcessResult RunWithDescriptorsUsed(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& cwd, int limit, int leaveFree, int timeoutMs) {
    SpawnOptions options;
    options.cwd = cwd;
    options.stdio = SpawnOptions::STDIO_MERGED;
    options.fdLimit = limit;
    options.fdsLeftFree = leaveFree;
    return RunProcess(program, args, options, timeoutMs);
}

ProcessResult RunInChild(const std::function<int()>& body, int timeoutMs) {
    SpawnOptions options;
    options.stdio = SpawnOptions::STDIO_OUT_ONLY;
    ChildProcess child;
    if (!child.StartFunction(body, options)) throw std::runtime_error("fork failed");
    return child.Collect(timeoutMs);
}

std::string BinPath(const std::string& name) { return std::string(ZQ_BIN_DIR) + "/" + name; }

}  // namespace zqtest
