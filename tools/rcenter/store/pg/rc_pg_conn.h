// CRcPgConn: one libpq connection to the shared store's database, driven
// without blocking: every call waits on the socket for at most the deadline
// given to Connect, so an unreachable, restarting or stalled server costs the
// caller that long and an errno value (ECONNREFUSED, ETIMEDOUT, ECONNRESET...),
// never a hang. A call's statements go as one pipeline, one round trip.
// After a failure that broke the connection it is closed (IsOpen false) and
// the caller connects again. Owns its PGconn; single-threaded.
#ifndef ZQ_RC_PG_CONN_H
#define ZQ_RC_PG_CONN_H

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common_header.h"

struct pg_conn;
struct pg_result;

// Whether a db setting names a PostgreSQL database (a postgresql:// or
// postgres:// URI, or a libpq key=value string) rather than a file path.
bool rc_pg_is_url(const std::string& strDb);
// The setting as it may be logged: a password in it, in whatever form, masked.
std::string rc_pg_mask(const std::string& strUrl);
// The errno value for a failure: the SQLSTATE's class where it says one
// (disk full ENOSPC, too many connections EUSERS...), otherwise the system's
// own error named in libpq's message, otherwise EIO.
int rc_pg_errno(const char* pszSqlState, const char* pszMessage);

// One statement of a pipeline: its text and its parameters, all as text.
// A statement given a name is prepared once per connection and then only
// executed, so the server parses and plans it once.
struct rc_pg_query_t {
    rc_pg_query_t(std::string sql, std::vector<std::string> params = {}, std::string name = std::string())
        : strSql(std::move(sql)), oParams(std::move(params)), strName(std::move(name)) {}
    std::string strSql;
    std::vector<std::string> oParams;
    std::string strName;
};

// A statement's rows, as text.
class CRcPgResult {
public:
    CRcPgResult();
    ~CRcPgResult();
    CRcPgResult(CRcPgResult&& o) noexcept;
    CRcPgResult& operator=(CRcPgResult&& o) noexcept;
    CRcPgResult(const CRcPgResult&) = delete;
    CRcPgResult& operator=(const CRcPgResult&) = delete;

    void Reset(pg_result* p);
    int Rows() const;
    std::string Text(int iRow, int iCol) const;
    sint64 Int(int iRow, int iCol) const;
    bool IsNull(int iRow, int iCol) const;

private:
    pg_result* m_pResult;
};

class CRcPgConn {
public:
    CRcPgConn();
    ~CRcPgConn();
    CRcPgConn(const CRcPgConn&) = delete;
    CRcPgConn& operator=(const CRcPgConn&) = delete;

    // Connects, waiting at most iTimeoutMs; later calls keep that bound.
    int Connect(const std::string& strUrl, uint32 iTimeoutMs, std::string& strError);
    void Close();
    bool IsOpen() const { return m_pConn != nullptr; }
    // The socket to watch for notifications between calls; -1 when closed.
    int Socket() const;

    // Runs the statements as one pipeline and gives each one's rows. A
    // failure stops the pipeline there; the SQLSTATE is in SqlState() (40001
    // and 40P01 are for the caller to retry). Statements between BEGIN and
    // COMMIT are one transaction, rolled back by the server on any failure.
    int Run(const std::vector<rc_pg_query_t>& oQueries, std::vector<CRcPgResult>& oResults, std::string& strError);
    int Exec(const std::string& strSql, const std::vector<std::string>& oParams, CRcPgResult& oResult,
             std::string& strError);
    const std::string& SqlState() const { return m_strSqlState; }
    // A caller's own bound over several calls (monotonic milliseconds, 0:
    // none): no call waits past it, and a call begun after it fails at once
    // with ETIMEDOUT, leaving the connection as it is.
    void SetCallDeadline(sint64 iDeadlineMs) { m_iCallDeadlineMs = iDeadlineMs; }
    static sint64 NowMs();

    // Reads what the server sent unasked, without waiting, and takes the
    // payloads of the notifications that arrived on strChannel. Fails when
    // the connection is found broken.
    int TakeNotifies(const std::string& strChannel, std::vector<std::string>& oPayloads, std::string& strError);

private:
    // Waits until the socket is readable (or writable too, when bWrite) or
    // the deadline passes; 0, ETIMEDOUT, or the poll's error.
    int WaitSocket(bool bWrite, sint64 iDeadlineMs);
    int Broken(const std::string& strWhat, std::string& strError);
    sint64 DeadlineFromNow() const;
    int Failed(pg_result* pResult, std::string& strError);

    pg_conn* m_pConn;
    uint32 m_iTimeoutMs;
    sint64 m_iCallDeadlineMs;
    std::string m_strMasked;
    std::string m_strSqlState;
    std::set<std::string> m_oPrepared;  // on this connection
};

#endif
