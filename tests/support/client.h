// Test helpers for the report client: a built program run in the background
// (so a test can signal it), a loopback peer that plays a script against the
// one connection it accepts, and packets of the report protocol built byte by
// byte, independently of the code under test.
#ifndef ZQ_TEST_SUPPORT_CLIENT_H
#define ZQ_TEST_SUPPORT_CLIENT_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace zqtest {

// A program started in cwd with stdin from /dev/null and its output going to
// files of its own temporary directory. Killed and reaped on destruction if
// the test did not wait for it.
class ChildProcess {
public:
    ChildProcess() {}
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False when the program could not be started.
    bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd);
    pid_t pid() const { return m_pid.load(); }
    // Waits (at most 5 s) for a pid when none is stored yet.
    bool Signal(int sig) const;
    // Waits at most timeout_ms for the exit (then kills it: timed_out) and
    // collects its output. Also the wall time from Start to the exit.
    ProcessResult Wait(int timeout_ms, long* elapsed_ms = nullptr);
    // Whether the program holds a descriptor open on path (read from /proc).
    bool HasOpen(const std::string& path) const;

private:
    TempDir m_dir;
    std::atomic<pid_t> m_pid{-1};
    long m_startMs = 0;
};

// The 40-byte header as the protocol lays it out (big-endian integers, 16
// zero reserved bytes), with the given length field and command.
std::string PacketHead(uint32_t length, uint32_t cmd, uint32_t seq = 1);
// A whole packet: header with length 40 + body.size(), then the body.
std::string Packet(uint32_t cmd, const std::string& body);
// A response of total bytes (at least 48): result and error number, then
// zero filler.
std::string Response(uint32_t result, uint32_t err, uint32_t total = 48);
std::string BigEndian32(uint32_t v);
uint32_t ReadBigEndian32(const std::string& bytes, size_t offset);

// Accepts one connection on 127.0.0.1 (a free port) and runs the script on
// it in a thread; the connection is closed when the script returns. Every
// wait inside is bounded, so the destructor's join is too.
class ScriptedPeer {
public:
    typedef std::function<void(ScriptedPeer& peer, int fd)> Script;

    explicit ScriptedPeer(Script script, int accept_timeout_ms = 20000);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    unsigned short port() const { return m_port; }
    // Waits for the script to finish.
    void Join();

    // For scripts: reads one packet framed by its header's length (at most
    // 1 MiB), recording it as the request; what arrived when the wait ends.
    std::string ReadRequest(int fd, int timeout_ms = 10000);
    // For scripts: reads until the other side closes; true when it did
    // within timeout_ms. The bytes read are added to Rest().
    bool WaitForClose(int fd, int timeout_ms);

    // After Join.
    bool Accepted() const { return m_accepted; }
    std::string Request() const;
    std::string Rest() const;

private:
    void Body(Script script, int accept_timeout_ms);

    int m_listenFd = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_accepted{false};
    mutable std::mutex m_mutex;
    std::string m_request;
    std::string m_rest;
    std::thread m_thread;
};

}  // namespace zqtest

#endif
