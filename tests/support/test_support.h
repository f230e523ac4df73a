// Shared helpers for tests: temporary directories and running built programs.
#ifndef ZQ_TEST_SUPPORT_H
#define ZQ_TEST_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace zqtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

struct ProcessResult {
    int exit_code = -1;    // exit status, or -1 when killed by a signal
    int term_signal = 0;   // the signal that ended it, if any
    bool timed_out = false;
    std::string out;
    std::string err;
};

// The pieces every way of running a child shares.
//
// program and args as execv wants them; built before fork, since after it a
// threaded test may only make async-signal-safe calls. The pointers borrow
// from the strings, which must outlive the result.
std::vector<char*> ArgvOf(const std::string& program, const std::vector<std::string>& args);
// Appends what fd delivers until its writers have all closed it (or it fails
// with anything but EINTR: a terminal's master gives EIO); at timeout_ms the
// child pid is killed and false returned.
bool ReadUntilClosed(int fd, pid_t pid, int timeout_ms, std::string* out);
// Waits for pid to end and records how it ended.
void ReapInto(pid_t pid, ProcessResult* result);
// Records how a child with wait status `status` ended.
void RecordExit(int status, ProcessResult* result);

// Starts program with args in cwd, standard input from /dev/null, standard
// output and error into two new pipes whose read ends are put in *outFd and
// *errFd; the child's pid, or -1 with nothing left open.
pid_t SpawnPiped(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                 int* outFd, int* errFd);

// Runs program with args in cwd, feeding nothing on stdin; kills it after timeout_ms.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         int timeout_ms = 30000);

// Path of a program built into the build tree's bin/ directory.
std::string BinPath(const std::string& name);

}  // namespace zqtest

#endif
