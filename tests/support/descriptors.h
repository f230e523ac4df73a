// Descriptors as the kernel sees them: a process's open descriptors counted
// and described from /proc, descriptor numbers taken in this process, and
// what an epoll instance holds for one descriptor.
#ifndef ZQ_TEST_DESCRIPTORS_H
#define ZQ_TEST_DESCRIPTORS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace zqtest {

// The number of entries in /proc/<pid>/fd, or -1 when it cannot be read.
int CountOpenFds(pid_t pid);
// How many of pid's open descriptors have numbers below n.
int CountOpenFdsBelow(pid_t pid, int n);
// Each open descriptor of pid with what it refers to, one per line.
std::string DescribeFds(pid_t pid);
// Whether one of pid's descriptors refers to path.
bool HasOpenFile(pid_t pid, const std::string& path);
// Polls until pid has exactly want descriptors open, at most timeoutMs; the
// last count seen goes to *last.
bool WaitForFdCount(pid_t pid, int want, int timeoutMs, int* last);

// Whether the descriptor number is open in this process.
bool IsOpenFd(int fd);
// Opens placeholder descriptors until every number below `fd` is taken, so
// while `fd` is free the next descriptor opened gets exactly that number.
// Returns the placeholders; close them with CloseAll.
std::vector<int> FillDescriptorHolesBelow(int fd);
void CloseAll(std::vector<int>& fds);

// The event mask epoll holds for fd in epollFd, read from /proc; -1 when fd
// is not registered there.
long EpollInterest(int epollFd, int fd);

}  // namespace zqtest

#endif
