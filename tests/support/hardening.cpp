#include "hardening.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace zqtest {

int CountOpenFdsBelow(pid_t pid, int limit) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && atoi(e->d_name) < limit) ++n;
    closedir(d);
    return n;
}

std::string DescribeFds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::string text;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return text;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
        target[n > 0 ? n : 0] = '\0';
        text += std::string(e->d_name) + " -> " + target + "\n";
    }
    closedir(d);
    return text;
}

int CountOpenFds(pid_t pid) { return CountOpenFdsBelow(pid, INT_MAX); }

bool WaitForFdCount(pid_t pid, int want, int timeoutMs, int* last) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int n = CountOpenFds(pid);
        if (last != nullptr) *last = n;
        if (n == want) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool WaitForFileWithPrefix(const std::string& dir, const std::string& prefix, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (DIR* d = opendir(dir.c_str())) {
            bool found = false;
            while (dirent* e = readdir(d))
                if (std::string(e->d_name).rfind(prefix, 0) == 0) found = true;
            closedir(d);
            if (found) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TestMount::~TestMount() { Unmount(); }

bool TestMount::Tmpfs(const std::string& dir, unsigned long sizeBytes) {
    std::string opts = "size=" + std::to_string(sizeBytes);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
        m_error = std::string("mount -t tmpfs: ") + strerror(errno);
        return false;
    }
    m_dir = dir;
    return true;
}

bool TestMount::ReadOnlyBind(const std::string& dir) {
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        m_error = std::string("mount --bind: ") + strerror(errno);
        return false;
    }
    m_dir = dir;
    if (mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        m_error = std::string("mount -o remount,ro,bind: ") + strerror(errno);
        Unmount();
        return false;
    }
    return true;
}

bool TestMount::Unmount() {
    if (m_dir.empty()) return true;
    // Lazy: a server still holding a file there must not keep the mount alive
    // past the test's temporary directory.
    bool ok = umount2(m_dir.c_str(), MNT_DETACH) == 0;
    m_dir.clear();
    return ok;
}

ProcessResult RunWithDescriptorsUsed(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& cwd, int limit, int leaveFree,
                                     const std::vector<std::string>& env, int timeoutMs) {
    ProcessResult result;
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) envText.push_back(*e);
    for (const std::string& e : env) envText.push_back(e);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<char*> argv = ArgvOf(program, args);

    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    pid_t pid = fork();
    if (pid < 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here: the test may have threads.
        dup2(outPipe[1], 1);
        dup2(outPipe[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        if (devnull < 0 || (!cwd.empty() && chdir(cwd.c_str()) != 0)) _exit(126);
        // Every number below the mark is taken, without close-on-exec, so
        // the holes the test's own close-on-exec descriptors leave at exec
        // are filled too; the ones above it are free.
        for (int fd = 3; fd < limit; ++fd) {
            if (fd < limit - leaveFree) {
                if (fd != devnull) dup2(devnull, fd);
            } else {
                close(fd);
            }
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    result.timed_out = !ReadUntilClosed(outPipe[0], pid, timeoutMs, &result.out);
    close(outPipe[0]);
    ReapInto(pid, &result);
    return result;
}

unsigned long FillUp(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    unsigned long total = 0;
    char block[4096];
    memset(block, 'f', sizeof(block));
    size_t chunk = sizeof(block);
    // Whole blocks first, then single bytes, so no partial block is left free.
    while (chunk > 0) {
        ssize_t n = write(fd, block, chunk);
        if (n > 0) {
            total += static_cast<unsigned long>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        chunk /= 2;
    }
    fsync(fd);
    close(fd);
    return total;
}

}  // namespace zqtest
