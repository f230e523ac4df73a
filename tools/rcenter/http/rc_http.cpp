#include "rc_http.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "post_form.h"
#include "rc_list.h"
#include "rc_page.h"
#include "rc_store.h"
#include "svr_log.h"

namespace {

const char kJson[] = "application/json";
const char kFormType[] = "application/x-www-form-urlencoded";
const char kResources[] = "/v1/resources/";

// The text as a JSON string literal; bytes from 0x80 up are kept as they are.
std::string json_string(const std::string& strText) {
    std::string strOut = "\"";
    for (char c : strText) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            strOut += '\\';
            strOut += c;
        } else if (u < 0x20 || u == 0x7f) {
            char szEsc[8];
            snprintf(szEsc, sizeof(szEsc), "\\u%04x", u);
            strOut += szEsc;
        } else {
            strOut += c;
        }
    }
    return strOut + "\"";
}

bool is_fid(const std::string& strFid) {
    if (strFid.size() != 40) return false;
    for (char c : strFid) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// A whole decimal number from 0 to 2^32 - 1, nothing else.
bool parse_user(const std::string& strText, uint32& uiUser) {
    if (strText.empty() || strText.size() > 10) return false;
    uint64 ullValue = 0;
    for (char c : strText) {
        if (c < '0' || c > '9') return false;
        ullValue = ullValue * 10 + static_cast<uint64>(c - '0');
    }
    if (ullValue > 0xffffffffULL) return false;
    uiUser = static_cast<uint32>(ullValue);
    return true;
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

// A whole decimal number of at most 20 digits, nothing else.
bool parse_number(const std::string& strText, uint64& iValue) {
    if (strText.empty() || strText.size() > 20) return false;
    iValue = 0;
    for (char c : strText) {
        if (c < '0' || c > '9') return false;
        const uint64 iDigit = static_cast<uint64>(c - '0');
        if (iValue > (~0ULL - iDigit) / 10) return false;
        iValue = iValue * 10 + iDigit;
    }
    return true;
}

// limit (1 to RC_STORE_PAGE_MAX) and after (a cursor) from a query; other
// keys are left to other endpoints.
bool parse_page(const std::string& strQuery, stRcHttpPage& oPage, std::string& strWhy) {
    oPage.Limit = RC_HTTP_PAGE_DEFAULT;
    oPage.After = 0;
    size_t iAt = 0;
    while (iAt <= strQuery.size() && !strQuery.empty()) {
        size_t iEnd = strQuery.find('&', iAt);
        if (iEnd == std::string::npos) iEnd = strQuery.size();
        const std::string strPair = strQuery.substr(iAt, iEnd - iAt);
        const size_t iEq = strPair.find('=');
        const std::string strKey = strPair.substr(0, iEq);
        const std::string strValue = iEq == std::string::npos ? "" : strPair.substr(iEq + 1);
        uint64 iValue = 0;
        if (strKey == "limit") {
            if (!parse_number(strValue, iValue) || iValue == 0 || iValue > RC_STORE_PAGE_MAX) {
                strWhy = "limit is a number from 1 to " + std::to_string(RC_STORE_PAGE_MAX);
                return false;
            }
            oPage.Limit = static_cast<uint32>(iValue);
        } else if (strKey == "after") {
            if (!parse_number(strValue, iValue)) {
                strWhy = "after is the next cursor of an earlier page";
                return false;
            }
            oPage.After = iValue;
        }
        iAt = iEnd + 1;
    }
    return true;
}

}  // namespace

CRcHttpConn::CRcHttpConn(CRcHttpBackend& oBackend, const stRcHttpSigning& oSigning)
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

RcHttpReply CRcHttpConn::Await(EReplyKind eKind, const std::string& strWhat) {
    m_bWaiting = true;
    std::shared_ptr<CRcHttpConn*> pSelf = m_pSelf;
    return [pSelf, eKind, strWhat](int iErr, const std::string& strText, const std::string& strReason) {
        if (*pSelf != nullptr) (*pSelf)->OnReply(eKind, strWhat, iErr, strText, strReason);
    };
}

// A reply during Dispatch is answered in the Feed under way; a later one is
// kept for Resume, and the owner woken.
void CRcHttpConn::OnReply(EReplyKind eKind, const std::string& strWhat, int iErr, const std::string& strText,
                          const std::string& strReason) {
    if (!m_bWaiting) return;
    m_bWaiting = false;
    const bool bLater = m_pOut == nullptr;
    std::string& strOut = bLater ? m_strReady : *m_pOut;
    if (iErr == ENOENT) {
        AnswerError(404, "unknown FID", strOut);
    } else if (iErr == EINVAL) {
        AnswerError(400, strReason, strOut);
    } else if (iErr == ENOTSUP) {
        AnswerError(501, "not supported by this store", strOut);
    } else if (iErr == ECONNREFUSED || iErr == ECONNRESET || iErr == ETIMEDOUT || iErr == ENOTCONN ||
               iErr == EHOSTUNREACH || iErr == ENETUNREACH || iErr == EAGAIN) {
        // The store's database is away for now: the client may try again.
        LOG_WARN("HTTP %s: %s", strWhat.c_str(), strReason.c_str());
        AnswerError(503, "store unavailable", strOut);
    } else if (iErr != 0) {
        LOG_ERR("HTTP %s: %s", strWhat.c_str(), strReason.c_str());
        AnswerError(500, "internal error", strOut);
    } else if (eKind == REPLY_TABLE) {
        Answer(200, strText, strOut, nullptr, "application/octet-stream");
    } else if (eKind == REPLY_METRICS) {
        Answer(200, strText, strOut, nullptr, "text/plain; version=0.0.4; charset=utf-8");
    } else if (eKind == REPLY_REMOVED) {
        Answer(200, "{\"removed\": " + json_string(strWhat) + "}\n", strOut);
    } else {
        Answer(200, strText + "\n", strOut);
    }
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
    const unsigned int iMethod = m_parser.method;
    if (iMethod != HTTP_GET && iMethod != HTTP_POST) {
        AnswerError(405, "method not allowed", strOut, "GET, POST");
        return;
    }
    http_parser_url oUrl;
    http_parser_url_init(&oUrl);
    if (http_parser_parse_url(m_strUrl.data(), m_strUrl.size(), 0, &oUrl) != 0 ||
        (oUrl.field_set & (1u << UF_PATH)) == 0) {
        AnswerError(400, "bad request target", strOut);
        return;
    }
    const std::string strPath = m_strUrl.substr(oUrl.field_data[UF_PATH].off, oUrl.field_data[UF_PATH].len);
    const bool bGet = iMethod == HTTP_GET;
    if (const rc_page_asset_t* pAsset = rc_page_find(strPath)) {
        if (!bGet) {
            AnswerError(405, "method not allowed", strOut, "GET");
        } else {
            Answer(200, std::string(reinterpret_cast<const char*>(pAsset->Data), pAsset->Size), strOut, nullptr,
                   pAsset->Type, RC_PAGE_HEADERS);
        }
        return;
    }
    if (List(strPath, oUrl, bGet, strOut)) return;
    if (strPath == "/metrics") {
        if (!bGet) {
            AnswerError(405, "method not allowed", strOut, "GET");
        } else {
            m_oBackend.Metrics(Await(REPLY_METRICS, strPath));
        }
        return;
    }
    if (strPath == "/v1/stats") {
        if (!bGet) {
            AnswerError(405, "method not allowed", strOut, "GET");
        } else {
            m_oBackend.Stats(Await(REPLY_JSON, strPath));
        }
        return;
    }
    const size_t iPrefix = sizeof(kResources) - 1;
    if (strPath.compare(0, iPrefix, kResources) != 0) {
        AnswerError(404, "no such endpoint", strOut);
        return;
    }
    const std::string::size_type iSlash = strPath.find('/', iPrefix);
    std::string strFid = strPath.substr(iPrefix, iSlash == std::string::npos ? std::string::npos : iSlash - iPrefix);
    const std::string strAction = iSlash == std::string::npos ? "" : strPath.substr(iSlash + 1);
    if (strAction != "" && strAction != "tpt" && strAction != "remove") {
        AnswerError(404, "no such endpoint", strOut);
        return;
    }
    const bool bRemove = strAction == "remove";
    if (bGet == bRemove) {
        AnswerError(405, "method not allowed", strOut, bRemove ? "POST" : "GET");
        return;
    }
    if (!is_fid(strFid)) {
        AnswerError(400, "not a FID: 40 hex digits expected", strOut);
        return;
    }
    std::transform(strFid.begin(), strFid.end(), strFid.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (bRemove) {
        Remove(strPath, strFid, strOut);
        return;
    }
    if (strAction == "tpt") {
        m_oBackend.PieceTable(strFid, Await(REPLY_TABLE, strPath));
        return;
    }
    stRcHttpPage oPage;
    std::string strWhy;
    const std::string strQuery = (oUrl.field_set & (1u << UF_QUERY)) == 0
                                     ? std::string()
                                     : m_strUrl.substr(oUrl.field_data[UF_QUERY].off, oUrl.field_data[UF_QUERY].len);
    if (!parse_page(strQuery, oPage, strWhy)) {
        AnswerError(400, strWhy, strOut);
        return;
    }
    m_oBackend.Lookup(strFid, oPage, Await(REPLY_JSON, strPath));
}

bool CRcHttpConn::List(const std::string& strPath, const http_parser_url& oUrl, bool bGet, std::string& strOut) {
    const bool bQuery = (oUrl.field_set & (1u << UF_QUERY)) != 0;
    const std::string strQuery =
        bQuery ? m_strUrl.substr(oUrl.field_data[UF_QUERY].off, oUrl.field_data[UF_QUERY].len) : std::string();
    rc_list_request_t oRequest;
    unsigned int iStatus = 0;
    std::string strReason;
    if (!rc_list_route(strPath, strQuery, oRequest, iStatus, strReason)) return false;
    if (!bGet) {
        AnswerError(405, "method not allowed", strOut, "GET");
    } else if (iStatus != 0) {
        AnswerError(iStatus, strReason, strOut);
    } else {
        m_oBackend.List(oRequest, Await(REPLY_JSON, strPath));
    }
    return true;
}

// The checks run from what needs nothing to what needs the secret, and the
// store is not touched until the signature holds for this very path.
void CRcHttpConn::Remove(const std::string& strPath, const std::string& strFid, std::string& strOut) {
    if (!m_oSigning.HasSecret) {
        AnswerError(403, "signing not configured", strOut);
        return;
    }
    if (!is_form_type(m_strContentType)) {
        AnswerError(415, std::string("the body must be ") + kFormType, strOut);
        return;
    }
    CPostForm oForm;
    const EPostFormResult eForm = oForm.Parse(m_strBody.data(), m_strBody.size());
    if (eForm != FORM_OK) {
        AnswerError(400, std::string("malformed form: ") + PostFormResultText(eForm), strOut);
        return;
    }
    const std::string* pUser = oForm.Get("user");
    const std::string* pSig = oForm.Get("sig");
    uint32 uiUser = 0;
    if (pUser == nullptr || pSig == nullptr || !parse_user(*pUser, uiUser)) {
        AnswerError(400, "malformed form: user (a number) and sig are required", strOut);
        return;
    }
    stSigFields oFields;
    const ESigResult eSig = SigCheck(m_oSigning.Secret, pSig->data(), pSig->size(), strPath, uiUser,
                                     static_cast<sint64>(m_tNow), m_oSigning.WindowS, oFields);
    if (eSig != SIG_OK) {
        AnswerError(403, SigResultText(eSig), strOut);
        return;
    }
    // Remembered before the removal is even queued, so a second use of the
    // token is refused while the first one is still on its way.
    const ERcReplay eReplay =
        m_oSigning.Replay != nullptr ? m_oSigning.Replay->Use(*pSig, oFields.Time, static_cast<sint64>(m_tNow))
                                     : RC_REPLAY_FRESH;
    if (eReplay == RC_REPLAY_SEEN) {
        AnswerError(403, "replayed", strOut);
        return;
    }
    if (eReplay == RC_REPLAY_FULL) {
        AnswerError(503, "busy", strOut);
        return;
    }
    m_oBackend.Remove(strFid, Await(REPLY_REMOVED, strFid));
}

void CRcHttpConn::Answer(unsigned int iStatus, const std::string& strBody, std::string& strOut, const char* pszAllow,
                         const char* pszType, const char* pszHeaders) {
    char szHead[256];
    snprintf(szHead, sizeof(szHead), "HTTP/1.1 %u %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n", iStatus,
             http_status_str(static_cast<enum http_status>(iStatus)), pszType, strBody.size());
    strOut += szHead;
    if (pszAllow != nullptr) strOut += std::string("Allow: ") + pszAllow + "\r\n";
    if (pszHeaders != nullptr) strOut += pszHeaders;
    if (m_bLast) {
        strOut += "Connection: close\r\n";
    } else if (m_parser.http_major == 1 && m_parser.http_minor == 0) {
        strOut += "Connection: keep-alive\r\n";
    }
    strOut += "\r\n";
    strOut += strBody;
    ++m_iAnswered;
    m_oBackend.Answered(iStatus);
}

void CRcHttpConn::AnswerError(unsigned int iStatus, const std::string& strReason, std::string& strOut,
                              const char* pszAllow) {
    Answer(iStatus, "{\"error\": " + json_string(strReason) + "}\n", strOut, pszAllow, kJson);
}

void CRcHttpConn::AnswerAndClose(unsigned int iStatus, const std::string& strReason, std::string& strOut) {
    m_bLast = true;
    AnswerError(iStatus, strReason, strOut);
    m_eState = RC_HTTP_CLOSE;
}
