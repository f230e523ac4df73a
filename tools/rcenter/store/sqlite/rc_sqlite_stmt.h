// The SQLite backend's statement helpers, one of each for the store and its
// search: a statement finalized when it goes, a cached one reset when its
// use ends, the error text and errno of a failed call, and the columns the
// tables hold as hex or text. No state of their own.
#ifndef ZQ_RC_SQLITE_STMT_H
#define ZQ_RC_SQLITE_STMT_H

#include <sqlite3.h>

#include <string>

#include "hashval.h"
#include "str_util.h"

// Finalizes a statement when it goes out of scope.
class CRcSqliteStmt {
public:
    CRcSqliteStmt() : m_p(nullptr) {}
    ~CRcSqliteStmt() { sqlite3_finalize(m_p); }
    CRcSqliteStmt(const CRcSqliteStmt&) = delete;
    CRcSqliteStmt& operator=(const CRcSqliteStmt&) = delete;
    sqlite3_stmt** Out() { return &m_p; }
    sqlite3_stmt* Get() const { return m_p; }

private:
    sqlite3_stmt* m_p;
};

// Resets a cached statement when it goes out of scope, so it holds no read
// snapshot and no bound copies between uses.
class CRcSqliteReset {
public:
    explicit CRcSqliteReset(sqlite3_stmt* p) : m_p(p) {}
    ~CRcSqliteReset() {
        sqlite3_reset(m_p);
        sqlite3_clear_bindings(m_p);
    }
    CRcSqliteReset(const CRcSqliteReset&) = delete;
    CRcSqliteReset& operator=(const CRcSqliteReset&) = delete;

private:
    sqlite3_stmt* m_p;
};

// The errno value of a failed call with code iCode on pDb (which may be
// null; never 0), and its text in strError: "WHERE: WHAT: sqlite's message
// (the errno's text)".
int rc_sqlite_fail(sqlite3* pDb, int iCode, const std::string& strWhere, const std::string& strWhat,
                   std::string& strError);

// A column holding a hash as hex; all zeros when it holds anything else.
template <int N>
void rc_sqlite_column_hash(sqlite3_stmt* p, int i, HashVal<N>& oHash) {
    const unsigned char* pText = sqlite3_column_text(p, i);
    const int iLen = sqlite3_column_bytes(p, i);
    if (pText == nullptr || iLen < 0 ||
        BinBufFromHexExact(oHash.cVal, sizeof(oHash.cVal), reinterpret_cast<const char*>(pText),
                           static_cast<size_t>(iLen)) != 0)
        oHash = HashVal<N>();
}

// A text column's bytes, whatever they hold; empty for NULL.
std::string rc_sqlite_column_text(sqlite3_stmt* p, int i);

#endif
