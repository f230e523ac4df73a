#include "fastpath.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace zqtest {

ProcessResult RunOnTerminal(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                            int timeout_ms) {
    ProcessResult result;
    fflush(stdout);
    fflush(stderr);
    int master = -1;
    std::vector<char*> argv = ArgvOf(program, args);
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    // The master reads EIO once the child and every other holder of the
    // terminal are gone.
    result.timed_out = !ReadUntilClosed(master, pid, timeout_ms, &result.out);
    close(master);
    ReapInto(pid, &result);
    return result;
}

}  // namespace zqtest
