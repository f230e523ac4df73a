#include "rc_sqlite_stmt.h"

#include <cstring>

#include "rc_sqlite_store.h"

int rc_sqlite_fail(sqlite3* pDb, int iCode, const std::string& strWhere, const std::string& strWhat,
                   std::string& strError) {
    int iErr = rc_store_errno(pDb, iCode);
    if (iErr == 0) iErr = EIO;
    strError = strWhere + ": " + strWhat + ": " + (pDb != nullptr ? sqlite3_errmsg(pDb) : sqlite3_errstr(iCode)) +
               " (" + strerror(iErr) + ")";
    return iErr;
}

std::string rc_sqlite_column_text(sqlite3_stmt* p, int i) {
    const unsigned char* pText = sqlite3_column_text(p, i);
    const int iLen = sqlite3_column_bytes(p, i);
    return pText == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(pText), iLen);
}
