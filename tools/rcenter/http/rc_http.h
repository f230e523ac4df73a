// The resource center's HTTP API over one connection, without the network:
// CRcHttpConn is handed the bytes a client sent, in any cuts, parses them with
// http_parser and appends one whole answer per request, in order, to the
// caller's output. Persistent connections; bodies by Content-Length only, at
// most 8 KiB, after a head of at most 8 KiB. What the API reads and changes
// sits behind CRcHttpBackend, whose answers may come later: the connection
// then holds the bytes that follow until the answer is in, so answers keep
// the order of the requests. It borrows the backend and the signing
// settings, which must outlive it. Single-threaded.
#ifndef ZQ_RC_HTTP_H
#define ZQ_RC_HTTP_H

#include <http_parser.h>

#include <cerrno>
#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common_header.h"
#include "rc_http_query.h"
#include "rc_list.h"
#include "rc_removal_tokens.h"
#include "req_sig.h"

// One answer: its status, media type, extra header lines (each ending in
// CRLF) and body. The connection adds the framing headers.
struct rc_http_reply_t {
    unsigned int Status = 200;
    std::string Type = "application/json";
    std::string Headers;
    std::string Body;
};

// A JSON answer: the text and a newline.
rc_http_reply_t rc_http_json(unsigned int iStatus, const std::string& strJson);
// An error for the peer: {"error": strWords}. What went wrong inside goes
// to the log, never here.
rc_http_reply_t rc_http_error(unsigned int iStatus, const std::string& strWords);

// The backend's answer to one request.
typedef std::function<void(const rc_http_reply_t& oReply)> RcHttpReply;

// The store's side of the API. Each call answers through fnReply exactly
// once, before it returns or later on the caller's thread; a reply to a
// connection gone meanwhile is dropped. FIDs are 40 lowercase hex digits;
// an unknown one is answered 404.
class CRcHttpBackend {
public:
    virtual ~CRcHttpBackend() {}
    // The record as one JSON object, its locations paged by oPage.
    virtual void Lookup(const std::string& strFid, const rc_http_page_t& oPage, RcHttpReply fnReply) = 0;
    // The stored piece table, as reported.
    virtual void PieceTable(const std::string& strFid, RcHttpReply fnReply) = 0;
    // Counts as one JSON object.
    virtual void Stats(RcHttpReply fnReply) = 0;
    // Forgets the resource everywhere, so a later report of it is new.
    virtual void Remove(const std::string& strFid, RcHttpReply fnReply) = 0;
    // A list of resources as rc_list_run answers it; 501 when the store
    // cannot give this list.
    virtual void List(const rc_list_request_t& oRequest, RcHttpReply fnReply) = 0;
    // A redirect to one usable mirror, and the Metalink of the resource and
    // its usable mirrors (rc_download.h); 501 where there are none to know.
    virtual void Download(const std::string& strFid, RcHttpReply fnReply) {
        (void)strFid;
        fnReply(rc_http_error(501, "no downloads here"));
    }
    virtual void Metalink(const std::string& strFid, RcHttpReply fnReply) {
        (void)strFid;
        fnReply(rc_http_error(501, "no downloads here"));
    }
    // The figures for a monitoring system, in the Prometheus text format.
    // Answered at once: a scrape never waits on the store.
    virtual void Metrics(RcHttpReply fnReply) { fnReply(rc_http_error(404, "no metrics here")); }
    // The status of every answer written, /metrics' own included.
    virtual void Answered(unsigned int iStatus) { (void)iStatus; }
};

struct rc_http_signing_t {
    bool HasSecret = false;  // false: every removal is refused
    unsigned char Secret[SIG_SECRET_LEN] = {};
    uint32 WindowS = SIG_DEFAULT_WINDOW_S;
    // The tokens already used, shared by every connection; null: not checked.
    CRcRemovalTokens* Tokens = nullptr;
};

enum ERcHttpState {
    RC_HTTP_OPEN,   // keep reading
    RC_HTTP_CLOSE,  // close once the output is written; later bytes are ignored
};

const size_t RC_HTTP_MAX_HEAD = 8192;
const size_t RC_HTTP_MAX_BODY = 8192;
// Bytes a client may send on while its answer is awaited; more closes it.
const size_t RC_HTTP_MAX_HELD = 1024 * 1024;

class CRcHttpConn {
public:
    CRcHttpConn(CRcHttpBackend& oBackend, const rc_http_signing_t& oSigning);
    ~CRcHttpConn();

    // Parses iLen more bytes received at tNow (which judges signatures) and
    // appends the answers of the requests they complete to strOut. While an
    // answer is awaited the bytes are only held.
    ERcHttpState Feed(const char* pData, size_t iLen, time_t tNow, std::string& strOut);
    ERcHttpState GetState() const { return m_eState; }
    // Requests answered so far.
    uint64 GetAnswered() const { return m_iAnswered; }
    // An answer of the backend is awaited.
    bool IsWaiting() const { return m_bWaiting; }
    // A request has begun and is not yet whole (its head or its body).
    bool IsPartial() const { return !m_bWaiting && m_eState == RC_HTTP_OPEN && (m_ePhase == PHASE_BODY || m_iHeadBytes > 0); }
    // Called (on the backend's reply, from inside it) when an awaited answer
    // has come; the owner then calls Resume.
    void SetWake(std::function<void()> fnWake) { m_fnWake = std::move(fnWake); }
    // Appends the answer that came and goes on with the bytes held, at tNow.
    ERcHttpState Resume(time_t tNow, std::string& strOut);

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

    // What a route's handler is given: the path, the path's placeholders
    // in order, and the parameters, read by the route's rules.
    struct stRequest {
        std::string Path;
        std::vector<std::string> Args;
        CRcHttpParams Params;
    };
    typedef void (CRcHttpConn::*Handler)(const stRequest& oRequest, std::string& strOut);
    // One entry of the route table: a method, a path pattern whose segments
    // are literal or a placeholder ({fid}, {hash}: any one segment, checked
    // by the handler; {page}: a whole path the page serves), whether the
    // query is read (and held to its rules) and the handler.
    struct stRoute {
        unsigned int Method;
        const char* Pattern;
        bool Query;
        Handler Handle;
    };
    static const stRoute s_arRoutes[];

    void KeepHeader();
    bool CheckHead(std::string& strOut);
    void Dispatch(std::string& strOut);
    void GetPage(const stRequest& oRequest, std::string& strOut);
    void GetMetrics(const stRequest& oRequest, std::string& strOut);
    void GetStats(const stRequest& oRequest, std::string& strOut);
    void GetRecent(const stRequest& oRequest, std::string& strOut);
    void GetSearch(const stRequest& oRequest, std::string& strOut);
    void GetHash(const stRequest& oRequest, std::string& strOut);
    void GetRecord(const stRequest& oRequest, std::string& strOut);
    void GetTable(const stRequest& oRequest, std::string& strOut);
    void GetDownload(const stRequest& oRequest, std::string& strOut);
    void GetMetalink(const stRequest& oRequest, std::string& strOut);
    void PostRemove(const stRequest& oRequest, std::string& strOut);
    // The list asked for, or the reason it cannot be.
    void AskList(rc_list_request_t& oList, const stRequest& oRequest, std::string& strOut);
    // The FID of the path's first placeholder, in lowercase; false when
    // answered 400.
    bool FidOf(const stRequest& oRequest, std::string& strFid, std::string& strOut);
    // The reply callback for the request being dispatched.
    RcHttpReply Await(const std::string& strWhat);
    void OnReply(const rc_http_reply_t& oReply);
    // The request is answered: the next may be read.
    void EndRequest();
    void Answer(const rc_http_reply_t& oReply, std::string& strOut, const char* pszAllow = nullptr);
    void AnswerError(unsigned int iStatus, const std::string& strReason, std::string& strOut,
                     const char* pszAllow = nullptr);
    void AnswerAndClose(unsigned int iStatus, const std::string& strReason, std::string& strOut);

    CRcHttpBackend& m_oBackend;
    const rc_http_signing_t& m_oSigning;
    http_parser m_parser;
    ERcHttpState m_eState;
    EPhase m_ePhase;
    EEvent m_eEvent;
    size_t m_iHeadBytes;
    time_t m_tNow;
    uint64 m_iAnswered;
    bool m_bLast;  // the request being answered is the connection's last
    bool m_bWaiting;
    std::string* m_pOut;     // the output of the Feed under way, else null
    std::string m_strReady;  // an answer that came outside Feed
    std::string m_strHeld;   // bytes after the request awaiting its answer
    std::function<void()> m_fnWake;
    // Replies reach the connection through this; it is cleared when the
    // connection goes, so a late reply finds nobody.
    std::shared_ptr<CRcHttpConn*> m_pSelf;

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
