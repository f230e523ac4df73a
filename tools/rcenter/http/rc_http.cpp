#include "rc_http.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rc_list.h"
#include "rc_page.h"
#include "rc_record_format.h"
#include "rc_store.h"
#include "svr_log.h"

namespace {

const char kFormType[] = "application/x-www-form-urlencoded";

bool is_hex(const std::string& strText) {
    return std::all_of(strText.begin(), strText.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// The media type of a Content-Type value is the form type, whatever its
// parameters (a charset, say).
bool is_form_type(const std::string& strValue) {
    std::string::size_type iEnd = strValue.find(';');
    std::string strType = strValue.substr(0, iEnd);
    while (!strType.empty() && (strType.back() == ' ' || strType.back() == '\t')) strType.pop_back();
    size_t iFrom = strType.find_first_not_of(" \t");
    if (iFrom == std::string::npos) return false;
    return strcasecmp(strType.c_str() + iFrom, kFormType) == 0;
}

// The page's files answer any query: a link may carry one the page reads itself.
bool matches(const char* pszPattern, const std::string& strPath, std::vector<std::string>& oArgs) {
    oArgs.clear();
    if (strcmp(pszPattern, "{page}") == 0) return rc_page_find(strPath) != nullptr;
    const char* p = pszPattern;
    size_t iAt = 0;
    while (*p != '\0') {
        if (*p != '/' || iAt >= strPath.size() || strPath[iAt] != '/') return false;
        ++p;
        ++iAt;
        const char* pEnd = strchr(p, '/');
        if (pEnd == nullptr) pEnd = p + strlen(p);
        size_t iEnd = strPath.find('/', iAt);
        if (iEnd == std::string::npos) iEnd = strPath.size();
        const std::string strSegment = strPath.substr(iAt, iEnd - iAt);
        if (*p == '{') {
            if (strSegment.empty()) return false;
            oArgs.push_back(strSegment);
        } else if (strSegment.size() != static_cast<size_t>(pEnd - p) ||
                   strSegment.compare(0, strSegment.size(), p, strSegment.size()) != 0) {
            return false;
        }
        p = pEnd;
        iAt = iEnd;
    }
    return iAt == strPath.size();
}

const char* method_name(unsigned int iMethod) { return http_method_str(static_cast<enum http_method>(iMethod)); }

}  // namespace

rc_http_reply_t rc_http_json(unsigned int iStatus, const std::string& strJson) {
    rc_http_reply_t oReply;
    oReply.Status = iStatus;
    oReply.Body = strJson + "\n";
    return oReply;
}

rc_http_reply_t rc_http_error(unsigned int iStatus, const std::string& strWords) {
    return rc_http_json(iStatus, rc_json_dump(rc_json_t{{"error", strWords}}));
}

// The whole API, one entry a route. A path that matches no pattern is 404;
// one that matches with another method is 405, naming the methods it takes.
const CRcHttpConn::stRoute CRcHttpConn::s_arRoutes[] = {
    {HTTP_GET, "{page}", false, &CRcHttpConn::GetPage},
    {HTTP_GET, "/metrics", true, &CRcHttpConn::GetMetrics},
    {HTTP_GET, "/v1/stats", true, &CRcHttpConn::GetStats},
    {HTTP_GET, "/v1/resources", true, &CRcHttpConn::GetRecent},
    {HTTP_GET, "/v1/search", true, &CRcHttpConn::GetSearch},
    {HTTP_GET, "/v1/hash/{hash}", true, &CRcHttpConn::GetHash},
    {HTTP_GET, "/v1/resources/{fid}", true, &CRcHttpConn::GetRecord},
    {HTTP_GET, "/v1/resources/{fid}/tpt", true, &CRcHttpConn::GetTable},
    {HTTP_GET, "/v1/resources/{fid}/download", true, &CRcHttpConn::GetDownload},
    {HTTP_GET, "/v1/resources/{fid}/metalink", true, &CRcHttpConn::GetMetalink},
    {HTTP_POST, "/v1/resources/{fid}/remove", true, &CRcHttpConn::PostRemove},
};

CRcHttpConn::CRcHttpConn(CRcHttpBackend& oBackend, const rc_http_signing_t& oSigning)
    : m_oBackend(oBackend),
      m_oSigning(oSigning),
      m_eState(RC_HTTP_OPEN),
      m_ePhase(PHASE_HEAD),
      m_eEvent(EVENT_NONE),
      m_iHeadBytes(0),
      m_tNow(0),
      m_iAnswered(0),
      m_bLast(false),
      m_bWaiting(false),
      m_pOut(nullptr),
      m_pSelf(std::make_shared<CRcHttpConn*>(this)),
      m_bInValue(false),
      m_bTransferEncoding(false) {
    http_parser_init(&m_parser, HTTP_REQUEST);
    m_parser.data = this;
}

CRcHttpConn::~CRcHttpConn() { *m_pSelf = nullptr; }

const http_parser_settings& CRcHttpConn::Settings() {
    static const http_parser_settings oSettings = [] {
        http_parser_settings o;
        http_parser_settings_init(&o);
        o.on_message_begin = &CRcHttpConn::OnMessageBegin;
        o.on_url = &CRcHttpConn::OnUrl;
        o.on_header_field = &CRcHttpConn::OnHeaderField;
        o.on_header_value = &CRcHttpConn::OnHeaderValue;
        o.on_headers_complete = &CRcHttpConn::OnHeadersComplete;
        o.on_body = &CRcHttpConn::OnBody;
        o.on_message_complete = &CRcHttpConn::OnMessageComplete;
        return o;
    }();
    return oSettings;
}

// The head is fed at most up to its limit, so whatever the callbacks keep of
// it stays within RC_HTTP_MAX_HEAD bytes; the parser is paused at the end of
// the head and of the message, so each is handled here, outside its callback,
// with the exact count of bytes consumed.
ERcHttpState CRcHttpConn::Feed(const char* pData, size_t iLen, time_t tNow, std::string& strOut) {
    if (m_bWaiting) {
        if (m_eState == RC_HTTP_OPEN) m_strHeld.append(pData, iLen);
        // A client that sends on and on without reading its answers is not
        // followed further; it gets what was answered before.
        if (m_strHeld.size() > RC_HTTP_MAX_HELD) m_eState = RC_HTTP_CLOSE;
        return m_eState;
    }
    m_tNow = tNow;
    while (iLen > 0 && m_eState == RC_HTTP_OPEN) {
        size_t iTake = iLen;
        if (m_ePhase == PHASE_HEAD) {
            if (m_iHeadBytes >= RC_HTTP_MAX_HEAD) {
                AnswerAndClose(431, "request head above 8 KiB", strOut);
                break;
            }
            iTake = std::min(iLen, RC_HTTP_MAX_HEAD - m_iHeadBytes);
        }
        m_eEvent = EVENT_NONE;
        const size_t iUsed = http_parser_execute(&m_parser, &Settings(), pData, iTake);
        if (m_ePhase == PHASE_HEAD) m_iHeadBytes += iUsed;
        pData += iUsed;
        iLen -= iUsed;

        const enum http_errno eErr = HTTP_PARSER_ERRNO(&m_parser);
        if (eErr == HPE_PAUSED) {
            http_parser_pause(&m_parser, 0);
            if (m_eEvent == EVENT_HEADERS) {
                if (CheckHead(strOut)) m_ePhase = PHASE_BODY;
            } else if (m_eEvent == EVENT_MESSAGE) {
                m_bLast = !http_should_keep_alive(&m_parser) || m_parser.upgrade;
                m_pOut = &strOut;
                Dispatch(strOut);
                m_pOut = nullptr;
                if (m_bWaiting) {
                    // The rest waits for the answer, which goes first.
                    m_strHeld.assign(pData, iLen);
                    break;
                }
                EndRequest();
            }
        } else if (eErr != HPE_OK) {
            // Only errors raised once the whole head is read may look at its
            // headers: before that, what was kept depends on how the bytes were cut.
            if (m_bInValue) KeepHeader();
            if (eErr == HPE_INVALID_TRANSFER_ENCODING ||
                (eErr == HPE_UNEXPECTED_CONTENT_LENGTH && m_bTransferEncoding)) {
                AnswerAndClose(411, "bodies are sent with Content-Length only", strOut);
            } else {
                AnswerAndClose(400, std::string("bad request: ") + http_errno_description(eErr), strOut);
            }
        }
    }
    return m_eState;
}

void CRcHttpConn::EndRequest() {
    if (m_bLast) m_eState = RC_HTTP_CLOSE;
    m_ePhase = PHASE_HEAD;
    m_iHeadBytes = 0;
}

ERcHttpState CRcHttpConn::Resume(time_t tNow, std::string& strOut) {
    strOut += m_strReady;
    m_strReady.clear();
    if (m_bWaiting || m_eState != RC_HTTP_OPEN) return m_eState;
    std::string strHeld;
    strHeld.swap(m_strHeld);
    return Feed(strHeld.data(), strHeld.size(), tNow, strOut);
}

RcHttpReply CRcHttpConn::Await(const std::string& strWhat) {
    m_bWaiting = true;
    std::shared_ptr<CRcHttpConn*> pSelf = m_pSelf;
    return [pSelf, strWhat](const rc_http_reply_t& oReply) {
        if (*pSelf != nullptr) (*pSelf)->OnReply(oReply);
    };
}

// A reply during Dispatch is answered in the Feed under way; a later one is
// kept for Resume, and the owner woken.
void CRcHttpConn::OnReply(const rc_http_reply_t& oReply) {
    if (!m_bWaiting) return;
    m_bWaiting = false;
    const bool bLater = m_pOut == nullptr;
    Answer(oReply, bLater ? m_strReady : *m_pOut);
    if (!bLater) return;
    EndRequest();
    if (m_fnWake) m_fnWake();
}

int CRcHttpConn::OnMessageBegin(http_parser* pParser) {
    CRcHttpConn* pSelf = static_cast<CRcHttpConn*>(pParser->data);
    pSelf->m_strUrl.clear();
    pSelf->m_strField.clear();
    pSelf->m_strValue.clear();
    pSelf->m_bInValue = false;
    pSelf->m_strContentType.clear();
    pSelf->m_bTransferEncoding = false;
    pSelf->m_strBody.clear();
    return 0;
}

int CRcHttpConn::OnUrl(http_parser* pParser, const char* p, size_t n) {
    static_cast<CRcHttpConn*>(pParser->data)->m_strUrl.append(p, n);
    return 0;
}

// A field or value may come in several pieces; a field after a value starts
// the next header.
int CRcHttpConn::OnHeaderField(http_parser* pParser, const char* p, size_t n) {
    CRcHttpConn* pSelf = static_cast<CRcHttpConn*>(pParser->data);
    if (pSelf->m_bInValue) {
        pSelf->KeepHeader();
        pSelf->m_bInValue = false;
    }
    pSelf->m_strField.append(p, n);
    return 0;
}

int CRcHttpConn::OnHeaderValue(http_parser* pParser, const char* p, size_t n) {
    CRcHttpConn* pSelf = static_cast<CRcHttpConn*>(pParser->data);
    pSelf->m_bInValue = true;
    pSelf->m_strValue.append(p, n);
    return 0;
}

int CRcHttpConn::OnHeadersComplete(http_parser* pParser) {
    CRcHttpConn* pSelf = static_cast<CRcHttpConn*>(pParser->data);
    if (pSelf->m_bInValue) pSelf->KeepHeader();
    pSelf->m_bInValue = false;
    pSelf->m_eEvent = EVENT_HEADERS;
    http_parser_pause(pParser, 1);
    return 0;
}

int CRcHttpConn::OnBody(http_parser* pParser, const char* p, size_t n) {
    static_cast<CRcHttpConn*>(pParser->data)->m_strBody.append(p, n);
    return 0;
}

int CRcHttpConn::OnMessageComplete(http_parser* pParser) {
    CRcHttpConn* pSelf = static_cast<CRcHttpConn*>(pParser->data);
    pSelf->m_eEvent = EVENT_MESSAGE;
    http_parser_pause(pParser, 1);
    return 0;
}

// Only the headers the API acts on are kept; the first Content-Type counts.
void CRcHttpConn::KeepHeader() {
    if (strcasecmp(m_strField.c_str(), "content-type") == 0) {
        if (m_strContentType.empty()) m_strContentType = m_strValue.empty() ? " " : m_strValue;
    } else if (strcasecmp(m_strField.c_str(), "transfer-encoding") == 0) {
        m_bTransferEncoding = true;
    }
    m_strField.clear();
    m_strValue.clear();
}

// Whether the body may be read: false (answered, closing) for one the
// connection cannot be kept in step with.
bool CRcHttpConn::CheckHead(std::string& strOut) {
    if (m_bTransferEncoding || (m_parser.flags & F_CHUNKED) != 0) {
        AnswerAndClose(411, "bodies are sent with Content-Length only", strOut);
        return false;
    }
    if (m_parser.content_length != ULLONG_MAX && m_parser.content_length > RC_HTTP_MAX_BODY) {
        AnswerAndClose(413, "body above 8 KiB", strOut);
        return false;
    }
    return true;
}

void CRcHttpConn::Dispatch(std::string& strOut) {
    http_parser_url oUrl;
    http_parser_url_init(&oUrl);
    if (http_parser_parse_url(m_strUrl.data(), m_strUrl.size(), 0, &oUrl) != 0 ||
        (oUrl.field_set & (1u << UF_PATH)) == 0) {
        AnswerError(400, "bad request target", strOut);
        return;
    }
    stRequest oRequest;
    oRequest.Path = m_strUrl.substr(oUrl.field_data[UF_PATH].off, oUrl.field_data[UF_PATH].len);
    const std::string strQuery = (oUrl.field_set & (1u << UF_QUERY)) == 0
                                     ? std::string()
                                     : m_strUrl.substr(oUrl.field_data[UF_QUERY].off, oUrl.field_data[UF_QUERY].len);
    std::string strAllow;
    for (const stRoute& oRoute : s_arRoutes) {
        if (!matches(oRoute.Pattern, oRequest.Path, oRequest.Args)) continue;
        if (oRoute.Method != m_parser.method) {
            if (strAllow.find(method_name(oRoute.Method)) == std::string::npos)
                strAllow += std::string(strAllow.empty() ? "" : ", ") + method_name(oRoute.Method);
            continue;
        }
        std::string strWhy;
        if (oRoute.Query && !oRequest.Params.Parse(strQuery, strWhy)) {
            AnswerError(400, "malformed query: " + strWhy, strOut);
            return;
        }
        (this->*oRoute.Handle)(oRequest, strOut);
        return;
    }
    if (!strAllow.empty()) {
        AnswerError(405, "method not allowed", strOut, strAllow.c_str());
    } else {
        AnswerError(404, "no such endpoint", strOut);
    }
}

void CRcHttpConn::GetPage(const stRequest& oRequest, std::string& strOut) {
    const rc_page_asset_t* pAsset = rc_page_find(oRequest.Path);
    rc_http_reply_t oReply;
    oReply.Type = pAsset->Type;
    oReply.Headers = RC_PAGE_HEADERS;
    oReply.Body.assign(reinterpret_cast<const char*>(pAsset->Data), pAsset->Size);
    Answer(oReply, strOut);
}

void CRcHttpConn::GetMetrics(const stRequest& oRequest, std::string&) { m_oBackend.Metrics(Await(oRequest.Path)); }

void CRcHttpConn::GetStats(const stRequest& oRequest, std::string&) { m_oBackend.Stats(Await(oRequest.Path)); }

void CRcHttpConn::GetRecent(const stRequest& oRequest, std::string& strOut) {
    rc_list_request_t oList;
    oList.Kind = RC_LIST_RECENT;
    AskList(oList, oRequest, strOut);
}

void CRcHttpConn::GetSearch(const stRequest& oRequest, std::string& strOut) {
    rc_list_request_t oList;
    oList.Kind = RC_LIST_SEARCH;
    const std::string* pText = oRequest.Params.Get("q");
    if (pText == nullptr || rc_store_name_chars(*pText) < RC_STORE_NAME_MIN) {
        AnswerError(400, "q: at least " + std::to_string(RC_STORE_NAME_MIN) + " characters of a file name", strOut);
        return;
    }
    oList.Text = *pText;
    AskList(oList, oRequest, strOut);
}

void CRcHttpConn::GetHash(const stRequest& oRequest, std::string& strOut) {
    rc_list_request_t oList;
    oList.Kind = RC_LIST_HASH;
    oList.Text = oRequest.Args[0];
    if ((oList.Text.size() != 32 && oList.Text.size() != 40) || !is_hex(oList.Text)) {
        AnswerError(400, "not a hash: 32 or 40 hex digits expected", strOut);
        return;
    }
    std::transform(oList.Text.begin(), oList.Text.end(), oList.Text.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    m_oBackend.List(oList, Await(oRequest.Path));
}

void CRcHttpConn::AskList(rc_list_request_t& oList, const stRequest& oRequest, std::string& strOut) {
    rc_http_page_t oPage;
    std::string strWhy;
    if (!oRequest.Params.Page(oPage, strWhy)) {
        AnswerError(400, strWhy, strOut);
        return;
    }
    oList.Limit = oPage.Limit;
    oList.After = oPage.After;
    m_oBackend.List(oList, Await(oRequest.Path));
}

bool CRcHttpConn::FidOf(const stRequest& oRequest, std::string& strFid, std::string& strOut) {
    strFid = oRequest.Args[0];
    if (!is_hex(strFid) || strFid.size() != 40) {
        AnswerError(400, "not a FID: 40 hex digits expected", strOut);
        return false;
    }
    std::transform(strFid.begin(), strFid.end(), strFid.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    return true;
}

void CRcHttpConn::GetRecord(const stRequest& oRequest, std::string& strOut) {
    std::string strFid;
    if (!FidOf(oRequest, strFid, strOut)) return;
    rc_http_page_t oPage;
    std::string strWhy;
    if (!oRequest.Params.Page(oPage, strWhy)) {
        AnswerError(400, strWhy, strOut);
        return;
    }
    m_oBackend.Lookup(strFid, oPage, Await(oRequest.Path));
}

void CRcHttpConn::GetTable(const stRequest& oRequest, std::string& strOut) {
    std::string strFid;
    if (FidOf(oRequest, strFid, strOut)) m_oBackend.PieceTable(strFid, Await(oRequest.Path));
}

void CRcHttpConn::GetDownload(const stRequest& oRequest, std::string& strOut) {
    std::string strFid;
    if (FidOf(oRequest, strFid, strOut)) m_oBackend.Download(strFid, Await(oRequest.Path));
}

void CRcHttpConn::GetMetalink(const stRequest& oRequest, std::string& strOut) {
    std::string strFid;
    if (FidOf(oRequest, strFid, strOut)) m_oBackend.Metalink(strFid, Await(oRequest.Path));
}

// The checks run from what needs nothing to what needs the secret, and the
// store is not touched until the signature holds for this very path.
void CRcHttpConn::PostRemove(const stRequest& oRequest, std::string& strOut) {
    std::string strFid;
    if (!FidOf(oRequest, strFid, strOut)) return;
    const std::string& strPath = oRequest.Path;
    if (!m_oSigning.HasSecret) {
        AnswerError(403, "signing not configured", strOut);
        return;
    }
    if (!is_form_type(m_strContentType)) {
        AnswerError(415, std::string("the body must be ") + kFormType, strOut);
        return;
    }
    CRcHttpParams oForm;
    std::string strWhy;
    if (!oForm.Parse(m_strBody, strWhy)) {
        AnswerError(400, "malformed form: " + strWhy, strOut);
        return;
    }
    const std::string* pSig = oForm.Get("sig");
    uint64 iUser = 0;
    if (pSig == nullptr || oForm.Get("user") == nullptr || !oForm.Number("user", 0, 0xffffffffULL, 0, iUser, strWhy)) {
        AnswerError(400, "malformed form: user (a number) and sig are required", strOut);
        return;
    }
    const uint32 uiUser = static_cast<uint32>(iUser);
    stSigFields oFields;
    const ESigResult eSig = SigCheck(m_oSigning.Secret, pSig->data(), pSig->size(), strPath, uiUser,
                                     static_cast<sint64>(m_tNow), m_oSigning.WindowS, oFields);
    if (eSig != SIG_OK) {
        AnswerError(403, SigResultText(eSig), strOut);
        return;
    }
    // Remembered before the removal is even queued, so a second use of the
    // token is refused while the first one is still on its way.
    const ERcTokenUse eToken =
        m_oSigning.Tokens != nullptr ? m_oSigning.Tokens->Use(*pSig, oFields.Time, static_cast<sint64>(m_tNow))
                                     : RC_TOKEN_FRESH;
    if (eToken == RC_TOKEN_SEEN) {
        AnswerError(403, "replayed", strOut);
        return;
    }
    if (eToken == RC_TOKEN_FULL) {
        AnswerError(503, "busy", strOut);
        return;
    }
    m_oBackend.Remove(strFid, Await(strPath));
}

// Every answer says its type is what it is: a browser must never guess a
// record's JSON to be a page.
void CRcHttpConn::Answer(const rc_http_reply_t& oReply, std::string& strOut, const char* pszAllow) {
    char szHead[256];
    snprintf(szHead, sizeof(szHead),
             "HTTP/1.1 %u %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nX-Content-Type-Options: nosniff\r\n",
             oReply.Status, http_status_str(static_cast<enum http_status>(oReply.Status)), oReply.Type.c_str(),
             oReply.Body.size());
    strOut += szHead;
    if (pszAllow != nullptr) strOut += std::string("Allow: ") + pszAllow + "\r\n";
    strOut += oReply.Headers;
    if (m_bLast) {
        strOut += "Connection: close\r\n";
    } else if (m_parser.http_major == 1 && m_parser.http_minor == 0) {
        strOut += "Connection: keep-alive\r\n";
    }
    strOut += "\r\n";
    strOut += oReply.Body;
    ++m_iAnswered;
    m_oBackend.Answered(oReply.Status);
}

void CRcHttpConn::AnswerError(unsigned int iStatus, const std::string& strReason, std::string& strOut,
                              const char* pszAllow) {
    Answer(rc_http_error(iStatus, strReason), strOut, pszAllow);
}

void CRcHttpConn::AnswerAndClose(unsigned int iStatus, const std::string& strReason, std::string& strOut) {
    m_bLast = true;
    AnswerError(iStatus, strReason, strOut);
    m_eState = RC_HTTP_CLOSE;
}
