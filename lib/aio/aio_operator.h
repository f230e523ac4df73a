// CAioOperator: a single-threaded, level-triggered epoll reactor over a fixed
// table of descriptor contexts indexed by the descriptor number. The owner
// builds the table (InitMaxFdNum), creates the epoll instance (CreateEpoll),
// opens descriptors through it and calls OnRun over and over; each turn waits
// at most 1 ms and dispatches ready descriptors, calling the CAioEvtHandler
// given at construction. The operator owns the table, every context and every
// queued write task; it does not own the handler. Failures come back as -1
// (or null); allocation failures during set-up stop the process.
#ifndef ZQ_AIO_OPERATOR_H
#define ZQ_AIO_OPERATOR_H

#include "aio_evt_handler.h"
#include "common_header.h"
#include "fd_context.h"
#include "inet_addr.h"

struct epoll_event;

class CAioOperator {
public:
    struct CStatisInfo {
        uint32 m_iAcceptCount;        // connections accepted and registered
        uint32 m_iConnectCount;       // outgoing connects Connect returned a descriptor for
        uint32 m_iCloseCount;         // contexts passed through the close step
        uint32 m_iCloseTimeoutCount;  // contexts closed for inactivity
    };

    enum {
        SOCK_SND_RCV_BUF_SIZE = 2097152,
        LISTEN_BACKLOG = 256,
        WATCH_HEAD_READ_BUF_SIZE = 16384,
    };

    explicit CAioOperator(CAioEvtHandler& evtHandler);
    // Frees every context (queued tasks go without callbacks) and closes the
    // epoll descriptor; descriptors still in use are left open.
    ~CAioOperator();

    // -1 when a table exists already or either argument is 0.
    sint32 InitMaxFdNum(uint32 iMaxFdNum, uint32 iEachFdReadBufSize);
    // Inactivity timeout of accepted connections; 0 turns the watch list off.
    void SetInactiveFdTimeout(uint32 iTimeoutMs) { m_iInactiveFdTimeout = iTimeoutMs; }
    // After InitMaxFdNum, once: -1 when an epoll instance exists already.
    sint32 CreateEpoll();
    // One wait of at most 1 ms and the dispatch of what is ready; -1 before CreateEpoll.
    sint32 OnRun();

    // The slot of iFd whether in use or free; compare its GetFd() with the
    // number you hold to know it is yours. Null (logged) outside the table.
    CFdContext* GetFdContext(sint32 iFd);
    const CStatisInfo& GetStatisInfo() const { return m_statisInfo; }
    void ClearStatisInfo();

    // Starts a non-blocking connect; the descriptor, or -1. Two outcomes:
    //  - pending: GetFdContext(fd)->GetFdType() is FD_TYPE_TCP_CONNECTING and
    //    the handler later gets OnTcpConnOut(true) or OnTcpConnOut(false);
    //  - completed at once: the type is already FD_TYPE_TCP_CONNECTED and NO
    //    OnTcpConnOut follows, so a caller that starts work on connection
    //    must check the type right after Connect returns.
    sint32 Connect(const CInetAddr& remoteAddr);
    // Opens, binds (port 0 picks a free one), listens and registers; the descriptor, or -1.
    // The first listener also sets aside one spare descriptor (on /dev/null):
    // when the process runs out of descriptors, a waiting connection is
    // accepted into it and closed at once, instead of staying in the backlog
    // and keeping the listener ready on every turn. A connection it accepts
    // starts with the listener's ContType, so an owner of several listeners
    // tags each (SetContType) to tell their connections apart.
    sint32 AddTcpListenSock(const CInetAddr& listenAddr);
    // The socket part of AddTcpListenSock, not registered.
    sint32 CreateTcpListenSock(const CInetAddr& listenAddr);
    // Queue a copy of the bytes; they go out when the socket is next writable.
    // -1 (nothing queued) when the descriptor is not an open TCP connection of
    // this operator, or when there is nothing to send.
    sint32 TcpSend(sint32 iSockFd, const char* pData, uint32 iDataSize);
    // Queue caller memory without copying; it must stay valid until
    // OnTcpWrote reports hHandle written or dropped. Same results.
    sint32 TcpSend(sint32 iSockFd, void* hHandle, const char* pRefedMem, uint32 iDataSize);
    // Closes now: only dropped referenced-memory tasks are reported
    // (OnTcpWrote with -1), no OnFdClosed. Closes the number even when it is
    // not in use. Always 0.
    sint32 CloseSocket(sint32 iSockFd);

    // Watches the caller's descriptor for reading: OnNotify is called while
    // it is readable. The operator neither reads nor closes it; RemoveNotifyFd
    // ends the watch. 0, or -1 (outside the table, or in use).
    sint32 AddNotifyFd(sint32 iFd);
    void RemoveNotifyFd(sint32 iFd);
    // Counts as activity on an accepted connection, for the inactivity watch:
    // for one whose peer waits on the owner, not the other way round.
    void KeepActive(sint32 iFd);

    // A non-blocking UDP socket, bound when pBindAddr has a non-zero port;
    // registered for reading and remembered as GetUdpSockFd(). -1 on failure.
    sint32 AddUdpSock(const CInetAddr* pBindAddr);
    sint32 CreateUdpSock(const CInetAddr* pBindAddr);
    // One immediate sendto; its result. Nothing is queued.
    sint32 UdpSend(sint32 iFd, const char* pData, uint32 iDataSize, const CInetAddr& remoteAddr);

    // Synchronous file wrappers, not registered anywhere; each returns the
    // system call's result or -1, and never loops on a short transfer.
    sint32 OpenFile(const char* pszFilePath);
    // Truncates, or creates with mode 0600.
    sint32 CreateFile(const char* pszFilePath);
    // -1 also for files too large for the result (2 GiB and above).
    sint32 GetFileSize(sint32 iFileFd);
    sint32 ReadFile(sint32 iFileFd, char* pDataBuf, uint32 iWantSize);
    sint32 WriteFile(sint32 iFileFd, const char* pDataBuf, uint32 iDataSize);
    void CloseFile(sint32 iFileFd);

    static sint32 SetNonblocking(sint32 iFd);
    static sint32 SetSockSndRcvBufSize(sint32 iFd, uint32 iBufSize);
    static sint32 SetReuse(sint32 iFd);
    // Zero linger: a close resets the connection instead of lingering.
    static sint32 SetNoCloseWait(sint32 iFd);

    sint32 GetEpollFd() const { return m_iEpollFd; }
    uint32 GetMaxFdNum() const { return m_iMaxFdNum; }
    sint32 GetUdpSockFd() const { return m_iUdpSockFd; }
    uint32 GetInactiveFdTimeout() const { return m_iInactiveFdTimeout; }
    uint32 GetLastCleanTime() const { return m_iLastCleanTime; }
    // The watch list's sentinel: most recent at GetWatchHead()->m_pNext.
    const CFdContext* GetWatchHead() const { return m_pHead; }

protected:
    // The steps OnRun dispatches to, each -1 for a null context.
    sint32 OnTcpConnect(CFdContext* pFdContext);
    // The number of connections accepted in this call.
    sint32 OnTcpAccept(CFdContext* pFdContext);
    sint32 OnTcpRead(CFdContext* pFdContext);
    sint32 OnTcpWrite(CFdContext* pFdContext);
    sint32 OnUdpRead(CFdContext* pFdContext);
    sint32 OnFdClose(CFdContext* pFdContext);

    CFdContext* InitFdContext(sint32 iFd, EFdType nFdType, const CInetAddr* pRemoteAddr);
    void ResetFdContext(CFdContext* pFdContext);
    sint32 EpollCtl(sint32 iOp, sint32 iFd, sint32 iEvents);

    void AddWatchFd(CFdContext* pFdContext);
    void RemoveWatchFd(CFdContext* pFdContext);
    void RefreshWatchFd(CFdContext* pFdContext);
    void CleanInactiveFds();

private:
    CAioOperator(const CAioOperator&) = delete;
    CAioOperator& operator=(const CAioOperator&) = delete;

    void Dispatch(const epoll_event& ev);
    // Takes iFd into the table and registers it for reading; on failure it is
    // closed and the table left as it was.
    CFdContext* RegisterOrClose(sint32 iFd, EFdType nFdType);
    // Turns away one waiting connection on a listener that hit the process's
    // descriptor limit; true when one was taken off the backlog.
    bool RefuseWithSpareFd(sint32 iListenFd);
    // Opens the spare descriptor, above the table's range when the limit allows.
    void OpenSpareFd();
    CFdContext* PrepareTcpSend(sint32 iSockFd, const void* pData, uint32 iDataSize);

    CAioEvtHandler& m_evtHandler;
    sint32 m_iEpollFd;
    epoll_event* m_pEvs;
    uint32 m_iMaxFdNum;
    CFdContext** m_pFdContexts;
    sint32 m_iUdpSockFd;
    sint32 m_iSpareFd;
    CFdContext* m_pHead;
    uint32 m_iInactiveFdTimeout;
    uint32 m_iLastCleanTime;
    CStatisInfo m_statisInfo;
};

#endif
