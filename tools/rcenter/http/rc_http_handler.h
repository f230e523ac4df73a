// CRcHttpHandler: the HTTP API's connections on the center's HTTP port, one
// CRcHttpConn each. Bytes go to the connection's parser; answers go out as
// they are made, those the store thread answers once they come back (Run
// after the loop ran the store's completions). A peer that leaves more than
// MAX_HTTP_QUEUED_BYTES of answers unread is dropped. Borrows the operator,
// the backend and the signing settings; loop thread only.
#ifndef ZQ_RC_HTTP_HANDLER_H
#define ZQ_RC_HTTP_HANDLER_H

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "aio_operator.h"
#include "common_header.h"
#include "rc_counts.h"
#include "rc_http.h"

class CRcHttpHandler {
public:
    enum : uint32 {
        // Bytes of HTTP answers a peer may leave unread before it is dropped:
        // a few of the largest answers.
        MAX_HTTP_QUEUED_BYTES = 4u * 1024 * 1024,
    };

    CRcHttpHandler(CAioOperator& oOperator, CRcHttpBackend& oBackend, const rc_http_signing_t& oSigning,
                   rc_counts_t& oCounts);

    // As CAioEvtHandler's calls, for HTTP connections.
    sint32 OnRead(CFdContext* pFdContext, const char* pData, uint32 iDataSize, uint32& iParsedDataSize);
    sint32 OnWrote(CFdContext* pFdContext, void* pHandle, sint32 iWroteSize);
    void OnClosed(CFdContext* pFdContext);
    // Sends the answers that came back and goes on with those connections.
    void Run();
    // Connections waiting on the store are kept from the inactivity watch.
    void EndTurn();
    // Connections whose answer is awaited.
    size_t GetWaiting() const;
    // Whether the connection on pFdContext holds a request begun and not yet whole.
    bool IsPartial(CFdContext* pFdContext) const;

private:
    // One connection: its parser and, once it has said its last word, that
    // answer, whose bytes the operator references until it is written or
    // dropped.
    struct stSlot {
        uint32 iFdSeq = 0;
        std::unique_ptr<CRcHttpConn> pConn;
        std::string strLast;
        bool bLastQueued = false;
    };

    CRcHttpHandler(const CRcHttpHandler&) = delete;
    CRcHttpHandler& operator=(const CRcHttpHandler&) = delete;

    // Queues strOut for the connection; -1 when it is to be closed.
    sint32 Deliver(CFdContext* pFdContext, stSlot& oSlot, std::string& strOut, ERcHttpState eState);
    static uint64 QueuedBytes(CFdContext* pFdContext);

    CAioOperator& m_operator;
    CRcHttpBackend& m_oBackend;
    const rc_http_signing_t& m_oSigning;
    rc_counts_t& m_counts;
    std::unordered_map<sint32, std::unique_ptr<stSlot> > m_oSlots;  // by descriptor
    std::vector<std::pair<sint32, uint32> > m_oReady;  // descriptor and generation
};

#endif
