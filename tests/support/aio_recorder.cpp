#include "aio_recorder.h"

#include "deadline.h"
#include "fd_context.h"

namespace zqtest {

RecordingHandler::RecordingHandler() {}

namespace {
AioEvent MakeEvent(AioEvent::Kind kind, CFdContext* pFdContext) {
    AioEvent ev;
    ev.kind = kind;
    ev.fd = pFdContext ? pFdContext->GetFd() : -2;
    ev.fdType = pFdContext ? static_cast<int>(pFdContext->GetFdType()) : -1;
    ev.addr.Reset();
    return ev;
}
}  // namespace

sint32 RecordingHandler::OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) {
    AioEvent ev = MakeEvent(AioEvent::CONN_OUT, pFdContext);
    ev.success = bSuccess;
    events.push_back(ev);
    return onConnOut ? onConnOut(pFdContext, bSuccess) : 0;
}

sint32 RecordingHandler::OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) {
    AioEvent ev = MakeEvent(AioEvent::TCP_READ, pFdContext);
    ev.data.assign(pData ? pData : "", pData ? iDataSize : 0);
    events.push_back(ev);
    if (onRead) return onRead(pFdContext, pData, iDataSize, iParsedDataSize);
    iParsedDataSize += iDataSize;
    return 0;
}

sint32 RecordingHandler::OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* /*pRefedMem*/,
                                    uint32 iWantSize, sint32 iWroteSize) {
    AioEvent ev = MakeEvent(AioEvent::TCP_WROTE, pFdContext);
    ev.handle = pHandle;
    ev.wantSize = iWantSize;
    ev.wroteSize = iWroteSize;
    events.push_back(ev);
    return onWrote ? onWrote(pFdContext, pHandle, iWroteSize) : 0;
}

sint32 RecordingHandler::OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize,
                                   const CInetAddr& remoteAddr) {
    AioEvent ev = MakeEvent(AioEvent::UDP_READ, pFdContext);
    ev.data.assign(pData ? pData : "", pData ? iDataSize : 0);
    ev.addr = remoteAddr;
    events.push_back(ev);
    return 0;
}

sint32 RecordingHandler::OnFdClosed(CFdContext* pFdContext) {
    events.push_back(MakeEvent(AioEvent::FD_CLOSED, pFdContext));
    return onClosed ? onClosed(pFdContext) : 0;
}

sint32 RecordingHandler::OnNotify(CFdContext* pFdContext) {
    events.push_back(MakeEvent(AioEvent::NOTIFY, pFdContext));
    return onNotify ? onNotify(pFdContext) : 0;
}

size_t RecordingHandler::CountOf(AioEvent::Kind kind, int fd) const {
    size_t n = 0;
    for (const AioEvent& ev : events)
        if (ev.kind == kind && (fd == -1 || ev.fd == fd)) ++n;
    return n;
}

std::string RecordingHandler::ReadBytes(int fd) const {
    std::string all;
    for (const AioEvent& ev : events)
        if (ev.kind == AioEvent::TCP_READ && ev.fd == fd) all += ev.data;
    return all;
}

bool RunUntil(CAioOperator& op, const std::function<bool()>& done, int timeoutMs, long maxTurns) {
    Deadline deadline(timeoutMs);
    for (long turn = 0; turn < maxTurns; ++turn) {
        if (done()) return true;
        if (deadline.Passed()) break;
        op.OnRun();
    }
    return done();
}

void RunFor(CAioOperator& op, int ms) {
    Deadline deadline(ms);
    while (!deadline.Passed()) op.OnRun();
}

}  // namespace zqtest
