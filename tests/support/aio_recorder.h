// Driving the I/O framework in tests: a handler that records every
// callback the operator makes, in order, and bounded loops that turn an
// operator until something has happened.
#ifndef ZQ_TEST_AIO_RECORDER_H
#define ZQ_TEST_AIO_RECORDER_H

#include <functional>
#include <string>
#include <vector>

#include "aio_evt_handler.h"
#include "aio_operator.h"
#include "inet_addr.h"

namespace zqtest {

// One callback as the operator made it.
struct AioEvent {
    enum Kind { CONN_OUT, TCP_READ, TCP_WROTE, UDP_READ, FD_CLOSED, NOTIFY };
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
    sint32 OnNotify(CFdContext* pFdContext) override;

    std::vector<AioEvent> events;

    // Each returns the callback's result; a read hook also sets the parsed size.
    std::function<sint32(CFdContext*, bool)> onConnOut;
    std::function<sint32(CFdContext*, char*, uint32, uint32&)> onRead;
    std::function<sint32(CFdContext*, void*, sint32)> onWrote;
    std::function<sint32(CFdContext*)> onClosed;
    std::function<sint32(CFdContext*)> onNotify;

    size_t CountOf(AioEvent::Kind kind, int fd = -1) const;
    // Bytes of every TCP_READ on fd, counting only what the reads added:
    // valid when the handler consumes everything it is given.
    std::string ReadBytes(int fd) const;
};

// Turns op until done() is true, at most timeoutMs and maxTurns; true when done.
bool RunUntil(CAioOperator& op, const std::function<bool()>& done, int timeoutMs = 5000, long maxTurns = 10000000);
// Turns op for about ms milliseconds.
void RunFor(CAioOperator& op, int ms);

}  // namespace zqtest

#endif
