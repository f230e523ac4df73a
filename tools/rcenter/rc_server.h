// CRcenterServer: the resource center's network side. It listens through a
// CAioOperator, frames each connection's bytes into packets, and answers
// every report request with one 48-byte response once its outcome is
// settled: rejected (the checks of rc_wire), already known (the dedup
// cache), or journaled and on disk before "accepted" is queued. Bad peers are
// logged and closed; the others are served on. Owns the operator; borrows
// the journal and the dedup cache, which must outlive it. Single-threaded.
#ifndef ZQ_RC_SERVER_H
#define ZQ_RC_SERVER_H

#include <ctime>
#include <string>

#include "aio_evt_handler.h"
#include "aio_operator.h"
#include "common_header.h"
#include "inet_addr.h"
#include "rc_config.h"
#include "rc_dedup.h"
#include "rc_journal.h"
#include "rc_check.h"

class CRcenterServer : public CAioEvtHandler {
public:
    struct CCounts {
        uint64 iAccepted = 0;
        uint64 iKnown = 0;
        uint64 iRejected = 0;
        uint64 iNotStored = 0;
        uint64 iDropped = 0;  // connections closed for invalid packets
    };

    enum : uint32 {
        // Answers a peer may leave unread before it is dropped.
        MAX_QUEUED_RESPONSES = 4096,
    };

    CRcenterServer(const stRcConfig& oConfig, CRcJournal& oJournal, CRcDedup& oDedup);
    ~CRcenterServer() override;

    // Builds the descriptor table and the epoll instance and starts
    // listening. 0, or an error number with the reason in strError.
    int Start(std::string& strError);
    // The address actually bound (the port chosen when 0 was asked).
    const CInetAddr& GetListenAddr() const { return m_listenAddr; }
    // One turn of the operator (at most about a millisecond of waiting),
    // then the statistics line when its interval has passed.
    void RunOnce();
    // Writes the statistics line now.
    void WriteStatistics();
    const CCounts& GetCounts() const { return m_counts; }

    // The outcome of one whole request packet of iLen bytes received at
    // tNow: dwResult and dwErrno. Journals and remembers an accepted report.
    void HandleRequest(const unsigned char* p, uint32 iLen, time_t tNow, const char* pszPeer, uint32& iResult,
                       uint32& iErrno);

    sint32 OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) override;
    sint32 OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) override;
    sint32 OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                      sint32 iWroteSize) override;
    sint32 OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) override;
    sint32 OnFdClosed(CFdContext* pFdContext) override;

private:
    CRcenterServer(const CRcenterServer&) = delete;
    CRcenterServer& operator=(const CRcenterServer&) = delete;

    const stRcConfig& m_oConfig;
    CRcJournal& m_oJournal;
    CRcDedup& m_oDedup;
    CAioOperator m_operator;
    sint32 m_iListenFd;
    CInetAddr m_listenAddr;
    uint32 m_iLastStatTick;
    CCounts m_counts;
};

#endif
