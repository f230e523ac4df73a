#include "rc_sqlite_search.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "rc_sqlite_stmt.h"
#include "rc_sqlite_store.h"
#include "str_util.h"

namespace {

// The parts of the index, by name in sqlite_master: all or none are there.
const char* const kParts[] = {"location_name", "location_name_delete", "location_name_update", "resource_md4"};
const int kPartCount = sizeof(kParts) / sizeof(kParts[0]);

// External content: the names stay in location alone and the index holds
// only their trigrams. Triggers follow deletes and renames; new rows are
// indexed by the writer between its commits, up to the mark kNamesMark in
// meta, and a search scans the few rows above it. An insert trigger, which
// an earlier schema had, would index them twice.
// The mark as a number; a file no writer of the mark has opened has its
// whole index kept by the insert trigger.
#define ZQ_NAMES_MARK \
    "coalesce((SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'names_indexed'), 9223372036854775807)"

// A row above the mark is not in the index, so there is nothing of it to
// take out.
#define ZQ_NAMES_TRIGGERS                                                                             \
    "DROP TRIGGER IF EXISTS location_name_insert;"                                                    \
    "DROP TRIGGER IF EXISTS location_name_delete;"                                                    \
    "DROP TRIGGER IF EXISTS location_name_update;"                                                    \
    "CREATE TRIGGER location_name_delete AFTER DELETE ON location WHEN old.id <= " ZQ_NAMES_MARK     \
    " BEGIN INSERT INTO location_name (location_name, rowid, file) VALUES ('delete', old.id, old.file); END;" \
    "CREATE TRIGGER location_name_update AFTER UPDATE OF file ON location WHEN old.id <= " ZQ_NAMES_MARK \
    " BEGIN INSERT INTO location_name (location_name, rowid, file) VALUES ('delete', old.id, old.file);" \
    " INSERT INTO location_name (rowid, file) VALUES (new.id, new.file); END;"

#define ZQ_NAMES_MARK_ALL \
    "INSERT OR REPLACE INTO meta (key, value) VALUES ('names_indexed', (SELECT coalesce(max(id), 0) FROM location));"

const char* const kIndex =
    "DROP TABLE IF EXISTS location_name;"
    "DROP INDEX IF EXISTS resource_md4;"
    "CREATE VIRTUAL TABLE location_name USING fts5("
    " file, content='location', content_rowid='id', tokenize='trigram');"
    "INSERT INTO location_name (location_name) VALUES ('rebuild');"
    ZQ_NAMES_MARK_ALL ZQ_NAMES_TRIGGERS
    "CREATE INDEX resource_md4 ON resource(md4);";

// An index that the insert trigger kept, or one without a mark, holds every
// row: the mark goes to the top.
const char* const kMarkAll = ZQ_NAMES_MARK_ALL ZQ_NAMES_TRIGGERS;

// Entries newest first; the name is the first location's, or in a search
// the first matching one's. Each reads one statement, so one snapshot. %s
// stands for the count's column, which the schema version places.
const char* const kRecent =
    "SELECT r.id, r.fid, r.sha1, r.size, r.first_seen, %s,"
    " (SELECT file FROM location WHERE resource_id = r.id ORDER BY id LIMIT 1)"
    " FROM resource r WHERE r.id < ?1 ORDER BY r.id DESC LIMIT ?2";
const char* const kSearch =
    "SELECT r.id, r.fid, r.sha1, r.size, r.first_seen, %s, l.file FROM"
    " (SELECT m.resource_id AS rid, min(m.id) AS lid FROM"
    "  (SELECT rowid AS id FROM location_name WHERE location_name MATCH ?3"
    "   UNION SELECT id FROM location WHERE id > " ZQ_NAMES_MARK " AND file LIKE ?4 ESCAPE '\\') AS hit"
    "  JOIN location m ON m.id = hit.id WHERE m.resource_id < ?1 GROUP BY m.resource_id"
    "  ORDER BY m.resource_id DESC LIMIT ?2) AS found"
    " JOIN resource r ON r.id = found.rid JOIN location l ON l.id = found.lid ORDER BY r.id DESC";
const char* const kCountApart = "(SELECT report_count FROM resource_count WHERE resource_id = r.id)";
const char* const kCountInRow = "r.report_count";

std::string WithCount(const char* pszSql, bool bCountsApart) {
    std::string strSql = pszSql;
    strSql.replace(strSql.find("%s"), 2, bCountsApart ? kCountApart : kCountInRow);
    return strSql;
}

// The text as one FTS5 phrase: inside double quotes nothing is an operator,
// and a quote is written twice.
// The rows above the mark by LIKE: a substring, ASCII letters in either
// case, as the trigram match (which also folds other letters' case) finds it.
std::string LikePattern(const std::string& strText) {
    std::string strOut = "%";
    for (char c : strText) {
        if (c == '%' || c == '_' || c == '\\') strOut += '\\';
        strOut += c;
    }
    return strOut + "%";
}

std::string Phrase(const std::string& strText) {
    std::string strOut = "\"";
    for (char c : strText) {
        if (c == '"') strOut += '"';
        strOut += c;
    }
    return strOut + "\"";
}


int HasMarkAndNoInsertTrigger(sqlite3* pDb, bool& bYes, const std::string& strWhere, std::string& strError) {
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(pDb,
                                  "SELECT EXISTS (SELECT 1 FROM meta WHERE key = 'names_indexed') AND NOT EXISTS"
                                  " (SELECT 1 FROM sqlite_master WHERE name = 'location_name_insert')",
                                  -1, stmt.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(stmt.Get());
    if (iRet != SQLITE_ROW) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot read the name index's mark", strError);
    bYes = sqlite3_column_int64(stmt.Get(), 0) != 0;
    return 0;
}

}  // namespace

int rc_sqlite_has_name_index(sqlite3* pDb, bool& bHas, const std::string& strWhere, std::string& strError) {
    bHas = false;
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(pDb, "SELECT count(*) FROM sqlite_master WHERE name IN (?1, ?2, ?3, ?4)", -1,
                                  stmt.Out(), nullptr);
    if (iRet != SQLITE_OK) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot look for the name index", strError);
    for (int i = 0; i < kPartCount; ++i) sqlite3_bind_text(stmt.Get(), i + 1, kParts[i], -1, SQLITE_STATIC);
    iRet = sqlite3_step(stmt.Get());
    if (iRet != SQLITE_ROW) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot look for the name index", strError);
    bHas = sqlite3_column_int64(stmt.Get(), 0) == kPartCount;
    return 0;
}

int rc_sqlite_add_name_index(sqlite3* pDb, const std::string& strWhere, std::string& strError) {
    int iRet = sqlite3_exec(pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (iRet != SQLITE_OK) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot lock the store for the name index", strError);
    // Looked for under the lock: another writer may have added it meanwhile.
    bool bHas = false;
    int iErr = rc_sqlite_has_name_index(pDb, bHas, strWhere, strError);
    bool bMarked = false;
    if (iErr == 0 && bHas) iErr = HasMarkAndNoInsertTrigger(pDb, bMarked, strWhere, strError);
    if (iErr == 0 && !bMarked) {
        iRet = sqlite3_exec(pDb, bHas ? kMarkAll : kIndex, nullptr, nullptr, nullptr);
        if (iRet != SQLITE_OK) iErr = rc_sqlite_fail(pDb, iRet, strWhere, "cannot make the name index", strError);
    }
    if (iErr == 0) {
        iRet = sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
        if (iRet != SQLITE_OK) iErr = rc_sqlite_fail(pDb, iRet, strWhere, "cannot commit the name index", strError);
    }
    if (iErr != 0 && !sqlite3_get_autocommit(pDb)) sqlite3_exec(pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return iErr;
}

int rc_sqlite_names_pending(sqlite3* pDb, bool& bPending, const std::string& strWhere, std::string& strError) {
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(pDb, "SELECT EXISTS (SELECT 1 FROM location WHERE id > " ZQ_NAMES_MARK ")", -1,
                                  stmt.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(stmt.Get());
    if (iRet != SQLITE_ROW) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot read the name index's mark", strError);
    bPending = sqlite3_column_int64(stmt.Get(), 0) != 0;
    return 0;
}

int rc_sqlite_index_names(sqlite3* pDb, uint32 iMax, bool& bMore, const std::string& strWhere,
                          std::string& strError) {
    bMore = false;
    CRcSqliteStmt upto;
    int iRet = sqlite3_prepare_v2(pDb,
                                  "SELECT m, (SELECT max(id) FROM (SELECT id FROM location WHERE id > m ORDER BY id"
                                  " LIMIT ?1)), (SELECT count(*) FROM (SELECT id FROM location WHERE id > m LIMIT ?1 + 1))"
                                  " FROM (SELECT " ZQ_NAMES_MARK " AS m)",
                                  -1, upto.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_bind_int64(upto.Get(), 1, iMax);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(upto.Get());
    if (iRet != SQLITE_ROW) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot read the name index's mark", strError);
    if (sqlite3_column_type(upto.Get(), 1) == SQLITE_NULL) return 0;
    const sint64 iFrom = sqlite3_column_int64(upto.Get(), 0);
    const sint64 iTo = sqlite3_column_int64(upto.Get(), 1);
    bMore = sqlite3_column_int64(upto.Get(), 2) > static_cast<sint64>(iMax);
    CRcSqliteStmt add;
    iRet = sqlite3_prepare_v2(pDb,
                              "INSERT INTO location_name (rowid, file) SELECT id, file FROM location"
                              " WHERE id > ?1 AND id <= ?2",
                              -1, add.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_bind_int64(add.Get(), 1, iFrom);
    if (iRet == SQLITE_OK) iRet = sqlite3_bind_int64(add.Get(), 2, iTo);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(add.Get());
    if (iRet != SQLITE_DONE) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot index new names", strError);
    CRcSqliteStmt mark;
    iRet = sqlite3_prepare_v2(pDb, "INSERT OR REPLACE INTO meta (key, value) VALUES ('names_indexed', ?1)", -1,
                              mark.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_bind_text(mark.Get(), 1, std::to_string(iTo).c_str(), -1, SQLITE_TRANSIENT);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(mark.Get());
    if (iRet != SQLITE_DONE) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot move the name index's mark", strError);
    return 0;
}

int rc_sqlite_names_after_delete(sqlite3* pDb, const std::string& strWhere, std::string& strError) {
    int iRet = sqlite3_exec(pDb,
                            "UPDATE meta SET value = min(CAST(value AS INTEGER),"
                            " (SELECT coalesce(max(id), 0) FROM location)) WHERE key = 'names_indexed'",
                            nullptr, nullptr, nullptr);
    return iRet == SQLITE_OK ? 0 : rc_sqlite_fail(pDb, iRet, strWhere, "cannot move the name index's mark", strError);
}

int rc_sqlite_list(sqlite3* pDb, bool bCountsApart, const std::string* pText, uint32 iLimit, uint64 iAfter,
                   std::vector<rc_resource_entry_t>& oOut, uint64& iNext, const std::string& strWhere,
                   std::string& strError) {
    oOut.clear();
    iNext = 0;
    if (iLimit == 0 || iLimit > RC_STORE_PAGE_MAX) {
        strError = "a page holds 1 to " + std::to_string(RC_STORE_PAGE_MAX) + " resources";
        return EINVAL;
    }
    if (pText != nullptr && rc_store_name_chars(*pText) < RC_STORE_NAME_MIN) {
        strError = "a name search needs at least " + std::to_string(RC_STORE_NAME_MIN) + " characters";
        return EINVAL;
    }
    if (pText != nullptr) {
        bool bHas = false;
        int iErr = rc_sqlite_has_name_index(pDb, bHas, strWhere, strError);
        if (iErr != 0) return iErr;
        if (!bHas) {
            strError = strWhere + ": no name index yet (zq_rcenter adds it when it opens the store)";
            return ENOTSUP;
        }
    }
    CRcSqliteStmt stmt;
    const std::string strSql = WithCount(pText == nullptr ? kRecent : kSearch, bCountsApart);
    int iRet = sqlite3_prepare_v2(pDb, strSql.c_str(), -1, stmt.Out(), nullptr);
    if (iRet != SQLITE_OK) return rc_sqlite_fail(pDb, iRet, strWhere, "cannot prepare a listing", strError);
    const sint64 iBelow = iAfter == 0 || iAfter > static_cast<uint64>(std::numeric_limits<sint64>::max())
                              ? std::numeric_limits<sint64>::max()
                              : static_cast<sint64>(iAfter);
    sqlite3_bind_int64(stmt.Get(), 1, iBelow);
    // One more than asked tells whether a next page exists.
    sqlite3_bind_int64(stmt.Get(), 2, static_cast<sint64>(iLimit) + 1);
    std::string strPhrase;
    std::string strLike;
    if (pText != nullptr) {
        strPhrase = Phrase(*pText);
        strLike = LikePattern(*pText);
        sqlite3_bind_text(stmt.Get(), 3, strPhrase.data(), static_cast<int>(strPhrase.size()), SQLITE_STATIC);
        sqlite3_bind_text(stmt.Get(), 4, strLike.data(), static_cast<int>(strLike.size()), SQLITE_STATIC);
    }
    while ((iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        if (oOut.size() == iLimit) {
            iNext = oOut.back().Id;
            break;
        }
        rc_resource_entry_t oEntry;
        oEntry.Id = static_cast<uint64>(sqlite3_column_int64(stmt.Get(), 0));
        rc_sqlite_column_hash(stmt.Get(), 1, oEntry.FID);
        rc_sqlite_column_hash(stmt.Get(), 2, oEntry.Hash);
        oEntry.Size = static_cast<uint64>(sqlite3_column_int64(stmt.Get(), 3));
        oEntry.FirstSeen = sqlite3_column_int64(stmt.Get(), 4);
        oEntry.Count = static_cast<uint64>(sqlite3_column_int64(stmt.Get(), 5));
        const unsigned char* pName = sqlite3_column_text(stmt.Get(), 6);
        if (pName != nullptr)
            oEntry.FileName.assign(reinterpret_cast<const char*>(pName),
                                   static_cast<size_t>(sqlite3_column_bytes(stmt.Get(), 6)));
        oOut.push_back(std::move(oEntry));
    }
    if (iRet == SQLITE_ROW || iRet == SQLITE_DONE) return 0;
    oOut.clear();
    iNext = 0;
    return rc_sqlite_fail(pDb, iRet, strWhere, "cannot read a listing", strError);
}
