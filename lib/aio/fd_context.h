// CFdContext: everything the I/O operator knows about one descriptor number:
// its kind, the received bytes not yet consumed, the queued writes (owned),
// the peer, the last activity tick, two words free for the application and
// the links of the operator's inactivity watch list. Contexts are created once
// with the operator's table and recycled: Init takes a slot into use, Reset
// frees it. Single-threaded; nothing here locks.
#ifndef ZQ_FD_CONTEXT_H
#define ZQ_FD_CONTEXT_H

#include "common_header.h"
#include "inet_addr.h"
#include "read_buffer.h"
#include "write_task.h"

// High nibble: 1 file, 2 TCP, 3 UDP. Log lines print it in hexadecimal.
enum EFdType {
    FD_TYPE_NONE = 0x00,
    FD_TYPE_FILE_READ = 0x10,
    FD_TYPE_FILE_WRITE = 0x11,
    FD_TYPE_TCP_LISTEN = 0x20,
    FD_TYPE_TCP_ACCEPTED = 0x21,
    FD_TYPE_TCP_CONNECTING = 0x22,
    FD_TYPE_TCP_CONNECTED = 0x23,
    FD_TYPE_UDP = 0x30,
    // A descriptor of the owner's (an eventfd, a pipe) watched for reading only.
    FD_TYPE_NOTIFY = 0x40,
};

class CFdContext {
public:
    explicit CFdContext(uint32 iReadBufSize);
    ~CFdContext();

    // Destroys queued tasks without any callback and does not unlink the
    // context from the watch list: the operator unlinks first.
    void Init(sint32 iFd, EFdType nFdType);
    void Reset() { Init(-1, FD_TYPE_NONE); }

    void SetFd(sint32 iFd) { m_iFd = iFd; }
    sint32 GetFd() const { return m_iFd; }
    void SetFdType(EFdType nFdType) { m_nFdType = nFdType; }
    EFdType GetFdType() const { return m_nFdType; }
    void SetContType(uint32 iContType) { m_iContType = iContType; }
    uint32 GetContType() const { return m_iContType; }
    void SetExtend(uint32 iExtend) { m_iExtend = iExtend; }
    uint32 GetExtend() const { return m_iExtend; }
    void SetLastAccessTime(sint32 iTime) { m_iLastAccessTime = static_cast<uint32>(iTime); }
    uint32 GetLastAccessTime() const { return m_iLastAccessTime; }
    void RefreshAccessTime();

    void SetRemoteAddr(const CInetAddr& remoteAddr) { m_RemoteAddr = remoteAddr; }
    // The member itself: the datagram receive path writes the sender into it.
    CInetAddr* GetRemoteAddr() { return &m_RemoteAddr; }

    CReadBuffer& GetReadBuf() { return m_ReadBuf; }
    CWriteTaskList& GetWriteTaskList() { return m_WriteTaskList; }

    // Removing more than is stored breaks the event handler's contract and
    // stops the process.
    sint32 RemoveReadData(uint32 iRemoveSize);

    // Changes on every Init and Reset. The operator stores it with the
    // descriptor in each epoll registration, so an event reported for an
    // earlier occupant of this slot is recognised and dropped.
    uint32 GetSeq() const { return m_iSeq; }
    bool IsWatched() const { return m_pPrev != nullptr && m_pNext != nullptr; }
    // The peer shut its side and the handler kept the connection: no more reads.
    bool IsReadDone() const { return m_bReadDone; }
    const CFdContext* GetPrev() const { return m_pPrev; }
    const CFdContext* GetNext() const { return m_pNext; }

private:
    friend class CAioOperator;

    CFdContext(const CFdContext&) = delete;
    CFdContext& operator=(const CFdContext&) = delete;

    void DestroyWriteTasks();

    sint32 m_iFd;
    EFdType m_nFdType;
    bool m_bReadDone = false;
    CReadBuffer m_ReadBuf;
    CWriteTaskList m_WriteTaskList;
    CInetAddr m_RemoteAddr;
    uint32 m_iLastAccessTime;
    uint32 m_iContType;
    uint32 m_iExtend;
    CFdContext* m_pPrev;
    CFdContext* m_pNext;
    uint32 m_iSeq;
};

#endif
