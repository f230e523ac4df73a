#include "client.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "aio.h"

namespace zqtest {

namespace {

long NowMs() {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count());
}

}  // namespace

ChildProcess::~ChildProcess() {
    pid_t pid = m_pid.load();
    if (pid > 0) {
        kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd) {
    std::string outPath = m_dir.file("stdout");
    std::string errPath = m_dir.file("stderr");
    // Everything the child needs is built first: other threads of the test
    // (a peer) may hold the allocator's lock at the fork.
    std::vector<char*> argv = ArgvOf(program, args);
    m_startMs = NowMs();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        // The test runner may have blocked or ignored signals; the program
        // starts with the defaults, as from a shell.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    m_pid.store(pid);
    return true;
}

bool ChildProcess::Signal(int sig) const {
    // A peer thread may ask before Start has stored the pid of a child that
    // is already talking to it.
    long deadline = NowMs() + 5000;
    pid_t pid = m_pid.load();
    while (pid <= 0 && NowMs() < deadline) {
        usleep(1000);
        pid = m_pid.load();
    }
    return pid > 0 && kill(pid, sig) == 0;
}

ProcessResult ChildProcess::Wait(int timeout_ms, long* elapsed_ms) {
    ProcessResult result;
    pid_t pid = m_pid.load();
    if (pid <= 0) return result;
    long deadline = NowMs() + timeout_ms;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return result;
        if (NowMs() >= deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        usleep(2000);
    }
    if (elapsed_ms != nullptr) *elapsed_ms = NowMs() - m_startMs;
    m_pid.store(-1);
    RecordExit(status, &result);
    result.out = ReadFile(m_dir.file("stdout"));
    result.err = ReadFile(m_dir.file("stderr"));
    return result;
}

bool ChildProcess::HasOpen(const std::string& path) const {
    pid_t pid = m_pid.load();
    if (pid <= 0) return false;
    std::string dirPath = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(dirPath.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (dirent* ent = readdir(dir)) {
        char target[PATH_MAX];
        std::string link = dirPath + "/" + ent->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        if (std::string(target, static_cast<size_t>(n)) == path) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string BigEndian32(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
    return out;
}

uint32_t ReadBigEndian32(const std::string& bytes, size_t offset) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return v;
}

std::string PacketHead(uint32_t length, uint32_t cmd, uint32_t seq) {
    return BigEndian32(100) + BigEndian32(19781224) + BigEndian32(seq) + BigEndian32(1) + BigEndian32(length) +
           std::string(16, '\0') + BigEndian32(cmd);
}

std::string Packet(uint32_t cmd, const std::string& body) {
    return PacketHead(static_cast<uint32_t>(40 + body.size()), cmd) + body;
}

std::string Response(uint32_t result, uint32_t err, uint32_t total) {
    std::string body = BigEndian32(result) + BigEndian32(err);
    if (total > 48) body += std::string(total - 48, '\0');
    return PacketHead(total, 0x10908) + body;
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
    long deadline = NowMs() + timeout_ms;
    std::string packet = RecvExactly(fd, 40, timeout_ms);
    if (packet.size() == 40) {
        uint32_t length = ReadBigEndian32(packet, 16);
        long left = deadline - NowMs();
        if (length > 40 && length <= (1u << 20) && left > 0)
            packet += RecvExactly(fd, length - 40, static_cast<int>(left));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_request = packet;
    return packet;
}

bool ScriptedPeer::WaitForClose(int fd, int timeout_ms) {
    long deadline = NowMs() + timeout_ms;
    char buf[65536];
    for (;;) {
        long left = deadline - NowMs();
        if (left <= 0 || !WaitReadable(fd, static_cast<int>(left))) return false;
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
