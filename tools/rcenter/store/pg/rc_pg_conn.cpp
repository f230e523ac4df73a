#include "rc_pg_conn.h"

#include <libpq-fe.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "svr_log.h"

namespace {

bool StartsWith(const std::string& s, const char* pszPrefix) { return s.compare(0, strlen(pszPrefix), pszPrefix) == 0; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Masks the value of every password=... item of a key/value string; a
// quoted value may hold spaces and escaped quotes. What does not parse is
// not shown at all: libpq refuses it anyway, and it may hold the password.
std::string MaskKeyValues(const std::string& s) {
    std::string strOut;
    auto skip = [&s](size_t j) {
        while (j < s.size() && IsSpace(s[j])) ++j;
        return j;
    };
    size_t i = 0;
    while (i < s.size()) {
        size_t j = skip(i);
        strOut.append(s, i, j - i);
        i = j;
        if (i >= s.size()) break;
        size_t k = i;
        while (k < s.size() && s[k] != '=' && !IsSpace(s[k])) ++k;
        std::string strKey = s.substr(i, k - i);
        size_t iEq = skip(k);
        if (iEq >= s.size() || s[iEq] != '=') {
            strOut += "...";
            break;
        }
        size_t iValue = skip(iEq + 1);
        size_t iEnd = iValue;
        if (iEnd < s.size() && s[iEnd] == '\'') {
            for (++iEnd; iEnd < s.size() && s[iEnd] != '\''; ++iEnd)
                if (s[iEnd] == '\\') ++iEnd;
            ++iEnd;
        } else {
            while (iEnd < s.size() && !IsSpace(s[iEnd])) ++iEnd;
        }
        if (iEnd > s.size()) iEnd = s.size();
        strOut.append(s, i, iValue - i);
        strOut += strKey == "password" ? std::string("***") : s.substr(iValue, iEnd - iValue);
        i = iEnd;
    }
    return strOut;
}

// Masks user:password@ in the authority and password= among the parameters.
std::string MaskUri(const std::string& s) {
    size_t iAuth = s.find("://") + 3;
    size_t iEnd = s.find_first_of("/?", iAuth);
    if (iEnd == std::string::npos) iEnd = s.size();
    std::string strOut = s.substr(0, iAuth);
    size_t iAt = s.rfind('@', iEnd);
    if (iAt != std::string::npos && iAt >= iAuth) {
        size_t iColon = s.find(':', iAuth);
        if (iColon != std::string::npos && iColon < iAt) {
            strOut += s.substr(iAuth, iColon - iAuth) + ":***";
        } else {
            strOut += s.substr(iAuth, iAt - iAuth);
        }
        iAuth = iAt;
    }
    strOut += s.substr(iAuth, iEnd - iAuth);
    size_t i = iEnd;
    while (i < s.size()) {
        size_t iNext = s.find('&', i + 1);
        if (iNext == std::string::npos) iNext = s.size();
        std::string strItem = s.substr(i, iNext - i);  // with its leading '?' or '&'
        strOut += strItem.compare(1, 9, "password=") == 0 ? strItem.substr(0, 10) + "***" : strItem;
        i = iNext;
    }
    return strOut;
}

// 40001 and 40P01 are retried by the caller; what reaches here failed for
// good. The classes are the ones an outage or a full server shows.
int ErrnoOfState(const char* p) {
    if (strncmp(p, "53100", 5) == 0) return ENOSPC;
    if (strncmp(p, "53200", 5) == 0) return ENOMEM;
    if (strncmp(p, "53300", 5) == 0) return EUSERS;
    if (strncmp(p, "57P01", 5) == 0 || strncmp(p, "57P02", 5) == 0) return ECONNRESET;
    if (strncmp(p, "57P03", 5) == 0) return EAGAIN;
    if (strncmp(p, "57014", 5) == 0) return ETIMEDOUT;
    if (strncmp(p, "40P01", 5) == 0) return EDEADLK;
    if (strncmp(p, "40", 2) == 0) return EAGAIN;
    if (strncmp(p, "28", 2) == 0 || strncmp(p, "42501", 5) == 0) return EACCES;
    if (strncmp(p, "3D000", 5) == 0) return ENOENT;
    if (strncmp(p, "25006", 5) == 0) return EROFS;
    if (strncmp(p, "08", 2) == 0) return ECONNRESET;
    return 0;
}

// The server's notices (a table already there, a connection ended by a
// shutdown) go to the log, not to standard error.
void LogNotice(void*, const PGresult* pResult) {
    std::string strMsg = PQresultErrorMessage(pResult);
    while (!strMsg.empty() && strMsg.back() == '\n') strMsg.pop_back();
    const char* pszSeverity = PQresultErrorField(pResult, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (pszSeverity != nullptr && strcmp(pszSeverity, "WARNING") == 0) {
        LOG_WARN("store: the database says: %s", strMsg.c_str());
    } else {
        LOG_DEBUG("store: the database says: %s", strMsg.c_str());
    }
}

}  // namespace

bool rc_pg_is_url(const std::string& strDb) {
    if (StartsWith(strDb, "postgresql://") || StartsWith(strDb, "postgres://")) return true;
    // A key=value string has a key before its first '='; a path with an '='
    // in it has a '/' before it.
    size_t iEq = strDb.find('=');
    return iEq != std::string::npos && iEq > 0 && strDb.find('/') > iEq;
}

std::string rc_pg_mask(const std::string& strUrl) {
    if (StartsWith(strUrl, "postgresql://") || StartsWith(strUrl, "postgres://")) return MaskUri(strUrl);
    return MaskKeyValues(strUrl);
}

int rc_pg_errno(const char* pszSqlState, const char* pszMessage) {
    if (pszSqlState != nullptr && *pszSqlState != '\0') {
        int iErr = ErrnoOfState(pszSqlState);
        if (iErr != 0) return iErr;
    }
    if (pszMessage != nullptr) {
        // libpq words the system's errors with strerror; these are the ones
        // a connection meets.
        static const int kSystem[] = {ECONNREFUSED, ENOENT,     ETIMEDOUT, ECONNRESET, EHOSTUNREACH, ENETUNREACH,
                                      EPIPE,        ECONNABORTED, EACCES,  EADDRNOTAVAIL, ENOSPC};
        for (int iErr : kSystem)
            if (strstr(pszMessage, strerror(iErr)) != nullptr) return iErr;
        if (strstr(pszMessage, "starting up") != nullptr || strstr(pszMessage, "shutting down") != nullptr ||
            strstr(pszMessage, "recovery mode") != nullptr)
            return EAGAIN;
        if (strstr(pszMessage, "closed the connection") != nullptr) return ECONNRESET;
        if (strstr(pszMessage, "password authentication failed") != nullptr) return EACCES;
        if (strstr(pszMessage, "does not exist") != nullptr) return ENOENT;
    }
    return EIO;
}

CRcPgResult::CRcPgResult() : m_pResult(nullptr) {}
CRcPgResult::~CRcPgResult() { PQclear(m_pResult); }
CRcPgResult::CRcPgResult(CRcPgResult&& o) noexcept : m_pResult(o.m_pResult) { o.m_pResult = nullptr; }
CRcPgResult& CRcPgResult::operator=(CRcPgResult&& o) noexcept {
    if (this != &o) {
        PQclear(m_pResult);
        m_pResult = o.m_pResult;
        o.m_pResult = nullptr;
    }
    return *this;
}
void CRcPgResult::Reset(pg_result* p) {
    PQclear(m_pResult);
    m_pResult = p;
}
int CRcPgResult::Rows() const { return m_pResult == nullptr ? 0 : PQntuples(m_pResult); }
bool CRcPgResult::IsNull(int iRow, int iCol) const {
    return m_pResult == nullptr || iRow >= Rows() || iCol >= PQnfields(m_pResult) ||
           PQgetisnull(m_pResult, iRow, iCol) != 0;
}
std::string CRcPgResult::Text(int iRow, int iCol) const {
    if (IsNull(iRow, iCol)) return std::string();
    return std::string(PQgetvalue(m_pResult, iRow, iCol), static_cast<size_t>(PQgetlength(m_pResult, iRow, iCol)));
}
sint64 CRcPgResult::Int(int iRow, int iCol) const {
    return IsNull(iRow, iCol) ? 0 : strtoll(PQgetvalue(m_pResult, iRow, iCol), nullptr, 10);
}

CRcPgConn::CRcPgConn() : m_pConn(nullptr), m_iTimeoutMs(5000), m_iCallDeadlineMs(0) {}

sint64 CRcPgConn::NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<sint64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

sint64 CRcPgConn::DeadlineFromNow() const {
    sint64 iOwn = NowMs() + m_iTimeoutMs;
    return m_iCallDeadlineMs > 0 && m_iCallDeadlineMs < iOwn ? m_iCallDeadlineMs : iOwn;
}
CRcPgConn::~CRcPgConn() { Close(); }

void CRcPgConn::Close() {
    if (m_pConn != nullptr) PQfinish(m_pConn);
    m_pConn = nullptr;
    m_oPrepared.clear();
}

int CRcPgConn::Socket() const { return m_pConn == nullptr ? -1 : PQsocket(m_pConn); }

int CRcPgConn::WaitSocket(bool bWrite, sint64 iDeadlineMs) {
    for (;;) {
        sint64 iLeft = iDeadlineMs - NowMs();
        if (iLeft <= 0) return ETIMEDOUT;
        pollfd p = {PQsocket(m_pConn), static_cast<short>(POLLIN | (bWrite ? POLLOUT : 0)), 0};
        if (p.fd < 0) return ECONNRESET;
        int iRet = poll(&p, 1, static_cast<int>(iLeft));
        if (iRet > 0) return 0;
        if (iRet < 0 && errno != EINTR) return errno;
    }
}

// A connection that failed its transport is of no further use: the
// outcome of what was in flight is unknown, and the server rolls back a
// transaction whose client went away.
int CRcPgConn::Broken(const std::string& strWhat, std::string& strError) {
    const char* pszMsg = m_pConn != nullptr ? PQerrorMessage(m_pConn) : "";
    int iErr = rc_pg_errno(nullptr, pszMsg);
    if (iErr == EIO) iErr = ECONNRESET;
    // No socket file where the server should listen: nobody listens, and
    // the caller must not take it for a missing record.
    if (iErr == ENOENT && strstr(pszMsg, strerror(ENOENT)) != nullptr) iErr = ECONNREFUSED;
    std::string strMsg = pszMsg;
    while (!strMsg.empty() && (strMsg.back() == '\n' || strMsg.back() == ' ')) strMsg.pop_back();
    strError = m_strMasked + ": " + strWhat + (strMsg.empty() ? "" : ": " + strMsg) + " (" + strerror(iErr) + ")";
    Close();
    return iErr;
}

int CRcPgConn::Failed(pg_result* pResult, std::string& strError) {
    const char* pszState = PQresultErrorField(pResult, PG_DIAG_SQLSTATE);
    m_strSqlState = pszState != nullptr ? pszState : "";
    std::string strMsg = PQresultErrorMessage(pResult);
    while (!strMsg.empty() && (strMsg.back() == '\n' || strMsg.back() == ' ')) strMsg.pop_back();
    int iErr = rc_pg_errno(pszState, strMsg.c_str());
    strError = m_strMasked + ": " + strMsg + " (" + strerror(iErr) + ")";
    return iErr;
}

int CRcPgConn::Connect(const std::string& strUrl, uint32 iTimeoutMs, std::string& strError) {
    Close();
    m_iTimeoutMs = iTimeoutMs;
    m_strMasked = rc_pg_mask(strUrl);
    m_strSqlState.clear();
    sint64 iDeadline = DeadlineFromNow();
    // The URL's own settings come after ours and win.
    const char* const arKeys[] = {"application_name", "dbname", nullptr};
    const char* const arValues[] = {"zq_rcenter", strUrl.c_str(), nullptr};
    m_pConn = PQconnectStartParams(arKeys, arValues, 1);
    if (m_pConn == nullptr) {
        strError = m_strMasked + ": out of memory";
        return ENOMEM;
    }
    if (PQstatus(m_pConn) == CONNECTION_BAD) return Broken("cannot connect", strError);
    PQsetNoticeReceiver(m_pConn, LogNotice, nullptr);
    for (;;) {
        PostgresPollingStatusType nPoll = PQconnectPoll(m_pConn);
        if (nPoll == PGRES_POLLING_OK) break;
        if (nPoll == PGRES_POLLING_FAILED) return Broken("cannot connect", strError);
        int iErr = WaitSocket(nPoll == PGRES_POLLING_WRITING, iDeadline);
        if (iErr != 0) {
            Close();
            strError = m_strMasked + ": cannot connect within " + std::to_string(iTimeoutMs) + " ms (" +
                       strerror(iErr) + ")";
            return iErr;
        }
    }
    if (PQsetnonblocking(m_pConn, 1) != 0 || PQenterPipelineMode(m_pConn) != 1)
        return Broken("cannot enter pipeline mode", strError);
    return 0;
}

int CRcPgConn::Run(const std::vector<rc_pg_query_t>& oQueries, std::vector<CRcPgResult>& oResults,
                   std::string& strError) {
    oResults.clear();
    m_strSqlState.clear();
    if (m_pConn == nullptr) {
        strError = m_strMasked + ": not connected";
        return ENOTCONN;
    }
    sint64 iDeadline = DeadlineFromNow();
    if (iDeadline <= NowMs()) {
        strError = m_strMasked + ": no time left within " + std::to_string(m_iTimeoutMs) + " ms (" +
                   strerror(ETIMEDOUT) + ")";
        return ETIMEDOUT;
    }
    // Each entry of oOwner says whose results come next: a statement's
    // index, or -1 for a preparation, whose result is only checked.
    std::vector<long> oOwner;
    std::vector<std::string> oPreparing;  // one per entry of oOwner: the name prepared, or empty
    for (size_t i = 0; i < oQueries.size(); ++i) {
        const rc_pg_query_t& q = oQueries[i];
        std::vector<const char*> oValues;
        for (const std::string& s : q.oParams) oValues.push_back(s.c_str());
        int iSent = 0;
        if (q.strName.empty()) {
            iSent = PQsendQueryParams(m_pConn, q.strSql.c_str(), static_cast<int>(oValues.size()), nullptr,
                                      oValues.empty() ? nullptr : oValues.data(), nullptr, nullptr, 0);
        } else {
            if (m_oPrepared.count(q.strName) == 0 &&
                std::find(oPreparing.begin(), oPreparing.end(), q.strName) == oPreparing.end()) {
                if (PQsendPrepare(m_pConn, q.strName.c_str(), q.strSql.c_str(), 0, nullptr) != 1)
                    return Broken("cannot send a statement", strError);
                oPreparing.push_back(q.strName);
                oOwner.push_back(-1);
            }
            iSent = PQsendQueryPrepared(m_pConn, q.strName.c_str(), static_cast<int>(oValues.size()),
                                        oValues.empty() ? nullptr : oValues.data(), nullptr, nullptr, 0);
        }
        if (iSent != 1) return Broken("cannot send a statement", strError);
        oPreparing.push_back(std::string());
        oOwner.push_back(static_cast<long>(i));
    }
    if (PQpipelineSync(m_pConn) != 1) return Broken("cannot send a statement", strError);
    // Reads while it writes: a server answering a long pipeline stops
    // reading when its own output is not read.
    for (;;) {
        int iFlush = PQflush(m_pConn);
        if (iFlush == 0) break;
        if (iFlush < 0) return Broken("cannot send a statement", strError);
        int iErr = WaitSocket(true, iDeadline);
        if (iErr != 0) {
            Close();
            strError = m_strMasked + ": no answer within " + std::to_string(m_iTimeoutMs) + " ms (" + strerror(iErr) +
                       ")";
            return iErr;
        }
        if (PQconsumeInput(m_pConn) != 1) return Broken("lost the connection", strError);
    }
    oResults.resize(oQueries.size());
    size_t iAt = 0;
    int iFirstErr = 0;
    for (;;) {
        while (PQisBusy(m_pConn)) {
            int iErr = WaitSocket(false, iDeadline);
            if (iErr != 0) {
                Close();
                strError = m_strMasked + ": no answer within " + std::to_string(m_iTimeoutMs) + " ms (" +
                           strerror(iErr) + ")";
                return iErr;
            }
            if (PQconsumeInput(m_pConn) != 1) return Broken("lost the connection", strError);
        }
        PGresult* pResult = PQgetResult(m_pConn);
        if (pResult == nullptr) {
            // The end of one statement's results.
            ++iAt;
            if (PQstatus(m_pConn) == CONNECTION_BAD) return Broken("lost the connection", strError);
            continue;
        }
        ExecStatusType nStatus = PQresultStatus(pResult);
        if (nStatus == PGRES_PIPELINE_SYNC) {
            PQclear(pResult);
            break;
        }
        if (nStatus == PGRES_FATAL_ERROR && iFirstErr == 0) {
            iFirstErr = Failed(pResult, strError);
        }
        // A statement prepared stays prepared on this connection even when
        // a later one of the pipeline fails.
        if (nStatus == PGRES_COMMAND_OK && iAt < oOwner.size() && oOwner[iAt] < 0) m_oPrepared.insert(oPreparing[iAt]);
        if (nStatus == PGRES_TUPLES_OK && iAt < oOwner.size() && oOwner[iAt] >= 0) {
            oResults[static_cast<size_t>(oOwner[iAt])].Reset(pResult);
        } else {
            PQclear(pResult);
        }
    }
    if (iFirstErr != 0) oResults.clear();
    return iFirstErr;
}

int CRcPgConn::Exec(const std::string& strSql, const std::vector<std::string>& oParams, CRcPgResult& oResult,
                    std::string& strError) {
    std::vector<CRcPgResult> oResults;
    int iErr = Run({rc_pg_query_t{strSql, oParams}}, oResults, strError);
    if (iErr == 0 && !oResults.empty()) oResult = std::move(oResults.front());
    return iErr;
}

int CRcPgConn::TakeNotifies(const std::string& strChannel, std::vector<std::string>& oPayloads,
                            std::string& strError) {
    if (m_pConn == nullptr) {
        strError = m_strMasked + ": not connected";
        return ENOTCONN;
    }
    if (PQconsumeInput(m_pConn) != 1 || PQstatus(m_pConn) == CONNECTION_BAD)
        return Broken("lost the connection", strError);
    while (PGnotify* p = PQnotifies(m_pConn)) {
        if (strChannel == p->relname) oPayloads.push_back(p->extra);
        PQfreemem(p);
    }
    return 0;
}
