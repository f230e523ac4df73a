// CAioEvtHandler: what the application implements to hear from CAioOperator.
// Every callback runs on the operator's thread from inside OnRun (or an
// operator call made by the application); the context passed is valid for
// the whole callback, and the handler may queue writes or close descriptors
// from inside it.
#ifndef ZQ_AIO_EVT_HANDLER_H
#define ZQ_AIO_EVT_HANDLER_H

#include "common_header.h"
#include "inet_addr.h"

class CFdContext;

class CAioEvtHandler {
public:
    virtual ~CAioEvtHandler();

    // A pending outgoing connect completed (true) or failed (false). A failed
    // connect gets no OnFdClosed. Result ignored.
    virtual sint32 OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) = 0;

    // pData/iDataSize are all unconsumed bytes. Add the length of every whole
    // message consumed to iParsedDataSize (0 on entry, never more than
    // iDataSize); a partial message comes back with the next bytes. A negative
    // result closes the connection. A full buffer is not an error, so a
    // handler that never consumes must reject oversized input itself.
    virtual sint32 OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) = 0;

    // A referenced-memory write finished (iWroteSize == iWantSize; a negative
    // result closes the connection) or was dropped at close (iWroteSize -1).
    // Each task is reported exactly once.
    virtual sint32 OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                              sint32 iWroteSize) = 0;

    // One datagram; pData is valid only during the call. Result ignored.
    virtual sint32 OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) = 0;

    // The operator is closing a descriptor on its own (peer shutdown, error,
    // negative handler result, inactivity), before the context is reset. Not
    // called for CloseSocket made by the application. Result ignored.
    virtual sint32 OnFdClosed(CFdContext* pFdContext) = 0;

    // A descriptor registered with AddNotifyFd is readable; the handler reads
    // it (the operator never does), or it is reported again next turn.
    // Result ignored.
    virtual sint32 OnNotify(CFdContext* pFdContext);

    // The peer of an accepted connection has shut its sending side (a read
    // of 0 bytes). -1 (the default): the connection is closed, as on any
    // end. 0: it stays open for what the handler still owes the peer; the
    // operator reads it no more, writes what is queued, and the handler
    // closes it (CloseSocket) once done.
    virtual sint32 OnTcpPeerDone(CFdContext* pFdContext);
};

#endif
