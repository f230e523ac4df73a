// Test helpers for servers run as real processes: a program started in the
// background whose standard output and error are collected while it runs,
// waited for line by line and stopped with a bounded wait.
#ifndef ZQ_TEST_SUPPORT_RCENTER_H
#define ZQ_TEST_SUPPORT_RCENTER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace zqtest {

class BackgroundProcess {
public:
    BackgroundProcess() = default;
    // Kills and reaps a process still running.
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Starts program with args in cwd, standard input from /dev/null.
    bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd);
    // Collects output until standard output holds a whole line beginning
    // with prefix (returned in *line), at most timeoutMs; false on timeout
    // or when the process closed its output first.
    bool WaitForLine(const std::string& prefix, std::string* line, int timeoutMs);
    bool Signal(int sig);
    // Waits at most timeoutMs for the process to end, then kills it (and
    // says so in timed_out). Everything it wrote is in out and err.
    ProcessResult Wait(int timeoutMs);
    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    const std::string& Out() const { return m_result.out; }
    const std::string& Err() const { return m_result.err; }

private:
    // Reads what is ready, waiting at most timeoutMs; true when anything
    // arrived or an output closed.
    bool Pump(int timeoutMs);
    bool OutputOpen() const { return m_fds[0] >= 0 || m_fds[1] >= 0; }

    pid_t m_pid = -1;
    int m_fds[2] = {-1, -1};
    ProcessResult m_result;
};

}  // namespace zqtest

#endif
