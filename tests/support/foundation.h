// Test helpers for the tool's start-up and logs: running a piece of code in a
// forked child (for calls that change the whole process) and a UDP receiver
// on 127.0.0.1.
#ifndef ZQ_TEST_FOUNDATION_H
#define ZQ_TEST_FOUNDATION_H

#include <functional>
#include <string>

#include "test_support.h"

namespace zqtest {

// Runs body in a forked child whose standard output goes to a pipe; the child
// exits with body's result. Waits until every writer of the pipe has gone
// (grandchildren included) or timeout_ms has passed, then kills what is left.
ProcessResult RunInChild(const std::function<int()>& body, int timeout_ms = 10000);

// A datagram socket bound to 127.0.0.1 on a free port, closed on destruction.
class UdpReceiver {
public:
    UdpReceiver();
    ~UdpReceiver();
    unsigned short port() const { return m_port; }
    // One datagram, or false when none arrives within timeout_ms.
    bool Receive(std::string* out, int timeout_ms = 5000);

private:
    int m_fd;
    unsigned short m_port;
};

// A loopback TCP port that nothing listens on (bound once, then released).
unsigned short UnusedTcpPort();

}  // namespace zqtest

#endif
