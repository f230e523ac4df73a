// Test helpers for the hardening tests: counting a process's open
// descriptors, a size-limited or read-only mount a test may make (when the
// machine lets it), and running a program whose descriptors are already used
// up to a limit when it starts.
#ifndef ZQ_TEST_SUPPORT_HARDENING_H
#define ZQ_TEST_SUPPORT_HARDENING_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZQ_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZQ_TEST_SANITIZED 1
#endif
#endif

namespace zqtest {

// Whether this build runs under the address sanitizer (slower, and with a
// runtime that needs descriptors of its own).
inline bool UnderSanitizers() {
#ifdef ZQ_TEST_SANITIZED
    return true;
#else
    return false;
#endif
}

// The number of entries in /proc/<pid>/fd, or -1 when it cannot be read.
int CountOpenFds(pid_t pid);
// Each open descriptor of pid with what it refers to, one per line.
std::string DescribeFds(pid_t pid);
// How many of pid's open descriptors have numbers below n.
int CountOpenFdsBelow(pid_t pid, int n);
// Polls until pid has exactly want descriptors open, at most timeoutMs; the
// last count seen goes to *last.
bool WaitForFdCount(pid_t pid, int want, int timeoutMs, int* last);

// A mount over an existing directory, undone on destruction. Mounting needs
// privileges a test machine may not grant: check Mounted() and skip.
class TestMount {
public:
    TestMount() = default;
    ~TestMount();
    TestMount(const TestMount&) = delete;
    TestMount& operator=(const TestMount&) = delete;

    // A tmpfs of at most sizeBytes at dir; false (reason in Error()) when refused.
    bool Tmpfs(const std::string& dir, unsigned long sizeBytes);
    // dir itself, again, read-only.
    bool ReadOnlyBind(const std::string& dir);
    bool Unmount();
    bool Mounted() const { return !m_dir.empty(); }
    const std::string& Error() const { return m_error; }

private:
    std::string m_dir;
    std::string m_error;
};

// Runs program in cwd with every descriptor below `limit` but `leaveFree` of
// the highest already open (on /dev/null, inherited across exec), standard
// input from /dev/null; env entries ("NAME=value") are added to the
// environment. Killed after timeoutMs.
ProcessResult RunWithDescriptorsUsed(const std::string& program, const std::vector<std::string>& args,
                                     const std::string& cwd, int limit, int leaveFree,
                                     const std::vector<std::string>& env, int timeoutMs);

// Polls until dir holds a file whose name begins with prefix, at most timeoutMs.
bool WaitForFileWithPrefix(const std::string& dir, const std::string& prefix, int timeoutMs);

// Fills a file under dir until the filesystem has no room left; its size.
unsigned long FillUp(const std::string& path);

}  // namespace zqtest

#endif
