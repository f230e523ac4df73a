// The resource center's HTTP API over one connection, without the network:
// CRcHttpConn is handed the bytes a client sent, in any cuts, parses them with
// http_parser and appends one whole answer per request, in order, to the
// caller's output. Persistent connections; bodies by Content-Length only, at
// most 8 KiB, after a head of at most 8 KiB. What the API reads and changes
// sits behind CRcHttpBackend, which the connection borrows (as it borrows the
// signing settings); both must outlive it. Single-threaded.
#ifndef ZQ_RC_HTTP_H
#define ZQ_RC_HTTP_H

#include <http_parser.h>

#include <cerrno>
#include <cstddef>
#include <ctime>
#include <string>

#include "common_header.h"
#include "rc_replay.h"
#include "req_sig.h"

// The store's side of the API. Every call is synchronous and returns 0,
// ENOENT when the FID (40 lowercase hex digits) is not known, or another
// errno-style number with the reason in strReason (answered as 500).
class CRcHttpBackend {
public:
    virtual ~CRcHttpBackend() {}
    // The record as one JSON object.
    virtual int Lookup(const std::string& strFid, std::string& strJson, std::string& strReason) = 0;
    // The stored piece table, as reported.
    virtual int PieceTable(const std::string& strFid, std::string& strTable, std::string& strReason) = 0;
    // Counts as one JSON object.
    virtual int Stats(std::string& strJson, std::string& strReason) = 0;
    // Forgets the resource everywhere, so a later report of it is new.
    virtual int Remove(const std::string& strFid, std::string& strReason) = 0;
    // The figures for a monitoring system, in the Prometheus text format.
    virtual int Metrics(std::string& strText, std::string& strReason) {
        (void)strText;
        strReason = "no metrics here";
        return ENOSYS;
    }
    // The status of every answer written, /metrics' own included.
    virtual void Answered(unsigned int iStatus) { (void)iStatus; }
};

struct stRcHttpSigning {
    bool HasSecret = false;  // false: every removal is refused
    unsigned char Secret[SIG_SECRET_LEN] = {};
    uint32 WindowS = SIG_DEFAULT_WINDOW_S;
    // The tokens already used, shared by every connection; null: not checked.
    CRcReplay* Replay = nullptr;
};

enum ERcHttpState {
    RC_HTTP_OPEN,   // keep reading
    RC_HTTP_CLOSE,  // close once the output is written; later bytes are ignored
};

const size_t RC_HTTP_MAX_HEAD = 8192;
const size_t RC_HTTP_MAX_BODY = 8192;

class CRcHttpConn {
public:
    CRcHttpConn(CRcHttpBackend& oBackend, const stRcHttpSigning& oSigning);

    // Parses iLen more bytes received at tNow (which judges signatures) and
    // appends the answers of the requests they complete to strOut.
    ERcHttpState Feed(const char* pData, size_t iLen, time_t tNow, std::string& strOut);
    ERcHttpState GetState() const { return m_eState; }
    // Requests answered so far.
    uint64 GetAnswered() const { return m_iAnswered; }

private:
    CRcHttpConn(const CRcHttpConn&) = delete;
    CRcHttpConn& operator=(const CRcHttpConn&) = delete;

    enum EPhase { PHASE_HEAD, PHASE_BODY };
    enum EEvent { EVENT_NONE, EVENT_HEADERS, EVENT_MESSAGE };

    static int OnMessageBegin(http_parser* pParser);
    static int OnUrl(http_parser* pParser, const char* p, size_t n);
    static int OnHeaderField(http_parser* pParser, const char* p, size_t n);
    static int OnHeaderValue(http_parser* pParser, const char* p, size_t n);
    static int OnHeadersComplete(http_parser* pParser);
    static int OnBody(http_parser* pParser, const char* p, size_t n);
    static int OnMessageComplete(http_parser* pParser);
    static const http_parser_settings& Settings();

    void KeepHeader();
    bool CheckHead(std::string& strOut);
    void Dispatch(std::string& strOut);
    void Remove(const std::string& strPath, const std::string& strFid, std::string& strOut);
    void Answer(unsigned int iStatus, const std::string& strBody, std::string& strOut, const char* pszAllow = nullptr,
                const char* pszType = "application/json");
    void AnswerError(unsigned int iStatus, const std::string& strReason, std::string& strOut,
                     const char* pszAllow = nullptr);
    void AnswerAndClose(unsigned int iStatus, const std::string& strReason, std::string& strOut);

    CRcHttpBackend& m_oBackend;
    const stRcHttpSigning& m_oSigning;
    http_parser m_parser;
    ERcHttpState m_eState;
    EPhase m_ePhase;
    EEvent m_eEvent;
    size_t m_iHeadBytes;
    time_t m_tNow;
    uint64 m_iAnswered;
    bool m_bLast;  // the request being answered is the connection's last

    // The request being read.
    std::string m_strUrl;
    std::string m_strField;
    std::string m_strValue;
    bool m_bInValue;
    std::string m_strContentType;
    bool m_bTransferEncoding;
    std::string m_strBody;
};

#endif
