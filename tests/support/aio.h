// Test helpers for the I/O framework: a log capture, a handler that records
// every callback in order, plain blocking loopback peers, and bounded loops
// that turn an operator until something has happened.
#ifndef ZQ_TEST_SUPPORT_AIO_H
#define ZQ_TEST_SUPPORT_AIO_H

#include <functional>
#include <string>
#include <vector>

#include "aio_evt_handler.h"
#include "aio_operator.h"
#include "inet_addr.h"
#include "test_support.h"

namespace zqtest {

// Sends every g_ErrLog line at or below `level` to a file in a temporary
// directory; restores the previous level and turns the file off on destruction.
class LogCapture {
public:
    explicit LogCapture(int level = 5);
    ~LogCapture();
    std::string Text() const;
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    size_t Count(const std::string& text) const;

private:
    TempDir m_dir;
    int m_prevLevel;
};

// One callback as the operator made it.
struct AioEvent {
    enum Kind { CONN_OUT, TCP_READ, TCP_WROTE, UDP_READ, FD_CLOSED };
    Kind kind;
    int fd;                 // the context's descriptor during the call
    int fdType;             // the context's type during the call
    bool success = false;   // CONN_OUT
    std::string data;       // TCP_READ: all unconsumed bytes; UDP_READ: the datagram
    void* handle = nullptr; // TCP_WROTE
    unsigned wantSize = 0;  // TCP_WROTE
    int wroteSize = 0;      // TCP_WROTE
    CInetAddr addr;         // UDP_READ: the sender
};

// Records every callback. By default OnTcpRead consumes everything and every
// callback returns 0; the hooks replace that behaviour for one test.
class RecordingHandler : public CAioEvtHandler {
public:
    RecordingHandler();

    sint32 OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) override;
    sint32 OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) override;
    sint32 OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                      sint32 iWroteSize) override;
    sint32 OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) override;
    sint32 OnFdClosed(CFdContext* pFdContext) override;

    std::vector<AioEvent> events;

    // Each returns the callback's result; a read hook also sets the parsed size.
    std::function<sint32(CFdContext*, bool)> onConnOut;
    std::function<sint32(CFdContext*, char*, uint32, uint32&)> onRead;
    std::function<sint32(CFdContext*, void*, sint32)> onWrote;
    std::function<sint32(CFdContext*)> onClosed;

    size_t CountOf(AioEvent::Kind kind, int fd = -1) const;
    // Bytes of every TCP_READ on fd, counting only what the reads added:
    // valid when the handler consumes everything it is given.
    std::string ReadBytes(int fd) const;
};

// Loopback endpoints.
CInetAddr Loopback(unsigned short port);
unsigned short LocalPort(int fd);
// A blocking listening TCP socket on 127.0.0.1 with a system-chosen port.
int PlainListen(unsigned short* port, int rcvBuf = 0);
// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int PlainConnect(unsigned short port);
// Accepts one connection, waiting at most timeoutMs; -1 on timeout.
int PlainAccept(int listenFd, int timeoutMs = 5000);
// A port nothing listens on (bound once, then released).
unsigned short RefusedPort();
// Waits at most timeoutMs for fd to become readable.
bool WaitReadable(int fd, int timeoutMs);
// Receives exactly n bytes or fails after timeoutMs; returns what arrived.
std::string RecvExactly(int fd, size_t n, int timeoutMs = 5000);
bool SendAll(int fd, const std::string& data);
// Closes with a reset instead of an orderly shutdown.
void CloseWithReset(int fd);
// Whether the descriptor number is open in this process.
bool IsOpenFd(int fd);
// The event mask epoll holds for fd in epollFd, read from /proc; -1 when fd
// is not registered there.
long EpollInterest(int epollFd, int fd);
// Opens placeholder descriptors until every number below `fd` is taken, so
// while `fd` is free the next descriptor opened gets exactly that number.
// Returns the placeholders; close them with CloseAll.
std::vector<int> FillDescriptorHolesBelow(int fd);
void CloseAll(std::vector<int>& fds);

// Turns op until done() is true, at most timeoutMs and maxTurns; true when done.
bool RunUntil(CAioOperator& op, const std::function<bool()>& done, int timeoutMs = 5000, long maxTurns = 10000000);
// Turns op for about ms milliseconds.
void RunFor(CAioOperator& op, int ms);

}  // namespace zqtest

#endif
