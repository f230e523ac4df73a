#include "descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "deadline.h"

namespace zqtest {

namespace {

// Calls visit with the number and target of each of pid's open descriptors;
// false when /proc/<pid>/fd cannot be read.
bool ForEachFd(pid_t pid, const std::function<void(int fd, const std::string& target)>& visit) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[PATH_MAX];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof(target) - 1);
        visit(atoi(e->d_name), std::string(target, n > 0 ? static_cast<size_t>(n) : 0));
    }
    closedir(d);
    return true;
}

}  // namespace

int CountOpenFdsBelow(pid_t pid, int limit) {
    int n = 0;
    bool read = ForEachFd(pid, [&](int fd, const std::string&) {
        if (fd < limit) ++n;
    });
    return read ? n : -1;
}

int CountOpenFds(pid_t pid) { return CountOpenFdsBelow(pid, INT_MAX); }

std::string DescribeFds(pid_t pid) {
    std::string text;
    ForEachFd(pid, [&](int fd, const std::string& target) { text += std::to_string(fd) + " -> " + target + "\n"; });
    return text;
}

bool HasOpenFile(pid_t pid, const std::string& path) {
    bool found = false;
    ForEachFd(pid, [&](int, const std::string& target) { found = found || target == path; });
    return found;
}

bool WaitForFdCount(pid_t pid, int want, int timeoutMs, int* last) {
    Deadline deadline(timeoutMs);
    for (;;) {
        int n = CountOpenFds(pid);
        if (last != nullptr) *last = n;
        if (n == want) return true;
        if (deadline.Passed()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool IsOpenFd(int fd) { return fcntl(fd, F_GETFD) != -1; }

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

}  // namespace zqtest
