// Running built programs and pieces of code in child processes. One spawner
// sets a child up as SpawnOptions says (standard streams on pipes or on a
// terminal, signal dispositions, descriptors already used); ChildProcess
// keeps one running while the test talks to it, the Run functions run one to
// the end. Every wait is bounded: past it the child is killed (timed_out).
#ifndef ZQ_TEST_PROCESS_H
#define ZQ_TEST_PROCESS_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define ZQ_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZQ_TEST_SANITIZED 1
#endif
#endif

namespace zqtest {

struct ProcessResult {
    int exit_code = -1;    // exit status, or -1 when killed by a signal
    int term_signal = 0;   // the signal that ended it, if any
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct SpawnOptions {
    enum EStdio {
        STDIO_PIPES,     // input from /dev/null; output and error each into a pipe (out, err)
        STDIO_MERGED,    // input from /dev/null; output and error into one pipe (out)
        STDIO_OUT_ONLY,  // output into a pipe (out); input and error stay the test's own
        STDIO_TERMINAL,  // a fresh pseudo-terminal as all three (out, line ends "\r\n")
    };

    std::string cwd;  // empty: the test's own
    EStdio stdio = STDIO_PIPES;
    // The test runner may have blocked or ignored signals; true starts the
    // child with none blocked and every disposition the default, as from a shell.
    bool defaultSignals = false;
    // Above 0: every descriptor number from 3 below fdLimit is already open
    // (on /dev/null, inherited across exec) but for the fdsLeftFree highest.
    int fdLimit = 0;
    int fdsLeftFree = 0;
};

// A child started in the background, its output collected while the test
// waits on it. Killed and reaped on destruction if still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False when the child could not be started or one is still running.
    bool Start(const std::string& program, const std::vector<std::string>& args, const SpawnOptions& options);
    bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd);
    // Runs body in a forked child instead of a program; it exits with body's result.
    bool StartFunction(const std::function<int()>& body, const SpawnOptions& options);

    // Collects output until standard output holds a whole line beginning
    // with prefix (returned in *line), at most timeoutMs; false on timeout
    // or when the child closed its output first.
    bool WaitForLine(const std::string& prefix, std::string* line, int timeoutMs);
    // May be called from another thread (a peer the child talks to), even
    // before Start has returned: waits at most 5 s for the pid.
    bool Signal(int sig) const;
    // Waits at most timeoutMs for the child to end, collecting output, and
    // takes what is still in the pipes. *elapsedMs: the time from Start.
    ProcessResult Wait(int timeoutMs, long* elapsedMs = nullptr);
    // Reads until every writer of the output has closed it (grandchildren
    // too), at most timeoutMs, then reaps the child.
    ProcessResult Collect(int timeoutMs);

    // Whether the child holds a descriptor open on path.
    bool HasOpen(const std::string& path) const;
    bool Running() const { return m_pid.load() > 0; }
    pid_t Pid() const { return m_pid.load(); }
    const std::string& Out() const { return m_result.out; }
    const std::string& Err() const { return m_result.err; }

private:
    bool Spawn(const std::string& program, const std::vector<std::string>& args, const std::function<int()>* body,
               const SpawnOptions& options);
    // Reads what is ready, waiting at most timeoutMs; true when anything
    // arrived or an output closed.
    bool Pump(int timeoutMs);
    bool OutputOpen() const { return m_fds[0] >= 0 || m_fds[1] >= 0; }
    void CloseOutput();
    void Reap(int status);

    std::atomic<pid_t> m_pid{-1};
    int m_fds[2] = {-1, -1};
    long m_startMs = 0;
    ProcessResult m_result;
};

// Runs program with args to the end (see Collect); throws when it cannot start.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const SpawnOptions& options, int timeoutMs = 30000);
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         int timeoutMs = 30000);

// As a user at a terminal runs it: out holds standard output and error mixed.
ProcessResult RunOnTerminal(const std::string& program, const std::vector<std::string>& args,
                            const std::string& cwd, int timeoutMs = 30000);

// With every descriptor below limit but the leaveFree highest already in use
// as it starts; out holds standard output and error mixed.
ProcessResult RunWithDescriptorsUsed(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& cwd, int limit, int leaveFree, int timeoutMs);

// Runs body in a forked child (for calls that change the whole process);
// out is what it wrote to standard output, whose writers (grandchildren
// too) are waited for. Error and input stay the test's own.
ProcessResult RunInChild(const std::function<int()>& body, int timeoutMs = 10000);

// Path of a program built into the build tree's bin/ directory.
std::string BinPath(const std::string& name);

// Whether this build runs under the address sanitizer (slower, and with a
// runtime that needs descriptors of its own).
inline bool UnderSanitizers() {
#ifdef ZQ_TEST_SANITIZED
    return true;
#else
    return false;
#endif
}

}  // namespace zqtest

#endif
