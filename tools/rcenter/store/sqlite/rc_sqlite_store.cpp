#include "rc_sqlite_store.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>

#include "rc_sqlite_search.h"
#include "rc_sqlite_stmt.h"
#include "str_util.h"
#include "svr_log.h"

namespace {

// A writer waits this long for a reader's brief lock (a checkpoint, a WAL
// restart) before giving up with EBUSY; readers wait longer.
const int kWriterBusyMs = 2000;
const int kReaderBusyMs = 10000;
// Names indexed in one housekeeping transaction: a job that comes meanwhile
// waits for no more than this.
const uint32 kNamesPerTurn = 512;

// A location's health, in a table of its own: made with a new database, and
// added by the upgrade from version 2. A row per location, made with it,
// keeps the due ones an index range.
#define RC_SQLITE_HEALTH_TABLE \
    "CREATE TABLE location_health (" \
    " location_id INTEGER PRIMARY KEY REFERENCES location(id) ON DELETE CASCADE," \
    " state INTEGER NOT NULL DEFAULT 0," \
    " checked_at INTEGER NOT NULL DEFAULT 0," \
    " ok_at INTEGER NOT NULL DEFAULT 0," \
    " failures INTEGER NOT NULL DEFAULT 0," \
    " latency_ms INTEGER NOT NULL DEFAULT 0," \
    " ranges INTEGER NOT NULL DEFAULT -1," \
    " due_at INTEGER NOT NULL DEFAULT 0);" \
    "CREATE INDEX location_health_due ON location_health(due_at);" \
    "CREATE TRIGGER location_health_new AFTER INSERT ON location" \
    " BEGIN INSERT INTO location_health (location_id) VALUES (new.id); END;"

const char* const kSchema =
    "CREATE TABLE meta ("
    " key TEXT PRIMARY KEY,"
    " value TEXT NOT NULL);"
    "CREATE TABLE resource ("
    " id INTEGER PRIMARY KEY,"
    " fid TEXT NOT NULL UNIQUE,"
    " sid TEXT NOT NULL,"
    " sha1 TEXT NOT NULL,"
    " md4 TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " tpt BLOB NOT NULL,"
    " first_seen INTEGER NOT NULL);"
    "CREATE INDEX resource_sid ON resource(sid);"
    "CREATE INDEX resource_sha1 ON resource(sha1);"
    "CREATE TABLE resource_count ("
    " resource_id INTEGER PRIMARY KEY REFERENCES resource(id) ON DELETE CASCADE,"
    " last_seen INTEGER NOT NULL,"
    " report_count INTEGER NOT NULL);"
    "CREATE TABLE location ("
    " id INTEGER PRIMARY KEY,"
    " resource_id INTEGER NOT NULL REFERENCES resource(id) ON DELETE CASCADE,"
    " url TEXT NOT NULL,"
    " file TEXT NOT NULL,"
    " ext TEXT NOT NULL,"
    " ref TEXT NOT NULL,"
    " first_seen INTEGER NOT NULL,"
    " UNIQUE (resource_id, url));"
    RC_SQLITE_HEALTH_TABLE
    "INSERT INTO meta VALUES ('store_id', lower(hex(randomblob(16))));"
    "PRAGMA user_version = 3;";

// Version 1 kept the counts in the resource row, so a repeat rewrote the
// piece table with them. Dropping the columns rewrites the table once.
const char* const kUpgradeFrom1 =
    "CREATE TABLE resource_count ("
    " resource_id INTEGER PRIMARY KEY REFERENCES resource(id) ON DELETE CASCADE,"
    " last_seen INTEGER NOT NULL,"
    " report_count INTEGER NOT NULL);"
    "INSERT INTO resource_count (resource_id, last_seen, report_count)"
    " SELECT id, last_seen, report_count FROM resource;"
    "ALTER TABLE resource DROP COLUMN last_seen;"
    "ALTER TABLE resource DROP COLUMN report_count;"
    "PRAGMA user_version = 2;";

// Version 2 had no health: every location it holds starts unchecked and due.
const char* const kUpgradeFrom2 =
    RC_SQLITE_HEALTH_TABLE
    "INSERT INTO location_health (location_id) SELECT id FROM location;"
    "PRAGMA user_version = 3;";

static_assert(RC_STORE_SCHEMA_VERSION == 3, "kSchema and kUpgradeFrom2 write user_version 3");

// The columns ReadResource reads, after "SELECT ", for each version.
const char* const kResourceV2 =
    "r.id, r.fid, r.sid, r.sha1, r.md4, r.size, r.tpt, r.first_seen, c.last_seen, c.report_count"
    " FROM resource r JOIN resource_count c ON c.resource_id = r.id";
const char* const kResourceV1 =
    "r.id, r.fid, r.sid, r.sha1, r.md4, r.size, r.tpt, r.first_seen, r.last_seen, r.report_count FROM resource r";

// Binds in order and keeps the first failure, so one check before the step
// covers them all (a text too long for SQLite, say).
class CBinder {
public:
    explicit CBinder(sqlite3_stmt* p) : m_p(p), m_iRet(SQLITE_OK) {}
    CBinder& Text(int i, const std::string& s) {
        if (m_iRet == SQLITE_OK)
            m_iRet = sqlite3_bind_text64(m_p, i, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        return *this;
    }
    CBinder& Int(int i, sint64 v) {
        if (m_iRet == SQLITE_OK) m_iRet = sqlite3_bind_int64(m_p, i, v);
        return *this;
    }
    CBinder& Blob(int i, const std::vector<unsigned char>& v) {
        if (m_iRet == SQLITE_OK)
            m_iRet = sqlite3_bind_blob64(m_p, i, v.empty() ? static_cast<const void*>("") : v.data(), v.size(),
                                         SQLITE_STATIC);
        return *this;
    }
    int Result() const { return m_iRet; }

private:
    sqlite3_stmt* m_p;
    int m_iRet;
};

// Reads the columns of kResourceV1/V2 (from iFirst on) into a resource.
sint64 ReadResource(sqlite3_stmt* p, int iFirst, rc_resource_t& oRes) {
    rc_sqlite_column_hash(p, iFirst + 1, oRes.FID);
    rc_sqlite_column_hash(p, iFirst + 2, oRes.SID);
    rc_sqlite_column_hash(p, iFirst + 3, oRes.Hash);
    rc_sqlite_column_hash(p, iFirst + 4, oRes.MD4);
    oRes.Size = static_cast<uint64>(sqlite3_column_int64(p, iFirst + 5));
    const unsigned char* pTpt = static_cast<const unsigned char*>(sqlite3_column_blob(p, iFirst + 6));
    int iTpt = sqlite3_column_bytes(p, iFirst + 6);
    oRes.Tpt.assign(pTpt, pTpt == nullptr ? pTpt : pTpt + iTpt);
    oRes.FirstSeen = sqlite3_column_int64(p, iFirst + 7);
    oRes.LastSeen = sqlite3_column_int64(p, iFirst + 8);
    oRes.Count = static_cast<uint64>(sqlite3_column_int64(p, iFirst + 9));
    return sqlite3_column_int64(p, iFirst);
}

const char* const kLocationColumns = "l.url, l.file, l.ext, l.ref, l.first_seen, l.id";
// After kLocationColumns, from a file of version 3 (a LEFT JOIN of
// location_health h).
const char* const kHealthColumns =
    "coalesce(h.state, 0), coalesce(h.checked_at, 0), coalesce(h.ok_at, 0), coalesce(h.failures, 0),"
    " coalesce(h.latency_ms, 0), coalesce(h.ranges, -1)";

rc_health_t ReadHealth(sqlite3_stmt* p, int iFirst) {
    rc_health_t oHealth;
    sint64 iState = sqlite3_column_int64(p, iFirst);
    oHealth.State = iState >= 0 && iState < RC_HEALTH_STATES ? static_cast<ERcHealthState>(iState)
                                                              : RC_HEALTH_UNCHECKED;
    oHealth.CheckedAt = sqlite3_column_int64(p, iFirst + 1);
    oHealth.OkAt = sqlite3_column_int64(p, iFirst + 2);
    sint64 iFailures = sqlite3_column_int64(p, iFirst + 3);
    oHealth.Failures = static_cast<uint32>(iFailures < 0 ? 0 : iFailures);
    sint64 iLatency = sqlite3_column_int64(p, iFirst + 4);
    oHealth.LatencyMs = static_cast<uint32>(iLatency < 0 ? 0 : iLatency);
    sint64 iRanges = sqlite3_column_int64(p, iFirst + 5);
    oHealth.Ranges = iRanges == 1 ? RC_RANGES_YES : iRanges == 0 ? RC_RANGES_NO : RC_RANGES_UNKNOWN;
    return oHealth;
}

// Reads kLocationColumns (from iFirst on) into a location.
rc_location_t ReadLocation(sqlite3_stmt* p, int iFirst) {
    rc_location_t oLoc;
    oLoc.Url = rc_sqlite_column_text(p, iFirst);
    oLoc.FileName = rc_sqlite_column_text(p, iFirst + 1);
    oLoc.ExtName = rc_sqlite_column_text(p, iFirst + 2);
    oLoc.Ref = rc_sqlite_column_text(p, iFirst + 3);
    oLoc.FirstSeen = sqlite3_column_int64(p, iFirst + 4);
    oLoc.Id = static_cast<uint64>(sqlite3_column_int64(p, iFirst + 5));
    return oLoc;
}

std::function<bool(const rc_resource_t&)> Collect(std::vector<rc_resource_t>& oOut) {
    oOut.clear();
    return [&oOut](const rc_resource_t& oRes) {
        oOut.push_back(oRes);
        return true;
    };
}

}  // namespace

int rc_store_errno(sqlite3* pDb, int iCode) {
    int iSystem = pDb != nullptr ? sqlite3_system_errno(pDb) : 0;
    switch (iCode & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return 0;
        case SQLITE_FULL:
            return ENOSPC;
        case SQLITE_IOERR:
            return iSystem > 0 ? iSystem : EIO;
        case SQLITE_READONLY:
            return iSystem > 0 ? iSystem : EROFS;
        case SQLITE_CANTOPEN:
            return iSystem > 0 ? iSystem : ENOENT;
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return iSystem > 0 ? iSystem : EACCES;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return EBUSY;
        case SQLITE_NOMEM:
            return ENOMEM;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return EBADMSG;
        case SQLITE_TOOBIG:
            return EFBIG;
        case SQLITE_NOLFS:
            return EOVERFLOW;
        default:
            return EIO;
    }
}

CRcSqliteStore::CRcSqliteStore(const std::string& strPath)
    : m_strPath(strPath),
      m_nMode(RC_STORE_READ),
      m_pDb(nullptr),
      m_iVersion(0),
      m_iGeneration(0),
      m_iPrevious(0),
      m_pFindId(nullptr),
      m_pInsertResource(nullptr),
      m_pInsertCount(nullptr),
      m_pInsertLocation(nullptr),
      m_pBumpId(nullptr),
      m_pBumpFid(nullptr),
      m_pSavepoint(nullptr),
      m_pRelease(nullptr),
      m_pRollbackTo(nullptr),
      m_bSyncFull(false) {}

CRcSqliteStore::~CRcSqliteStore() { Close(); }

void CRcSqliteStore::FinalizeAll() {
    for (sqlite3_stmt** pp :
         {&m_pFindId, &m_pInsertResource, &m_pInsertCount, &m_pInsertLocation, &m_pBumpId, &m_pBumpFid,
          &m_pSavepoint, &m_pRelease, &m_pRollbackTo}) {
        sqlite3_finalize(*pp);
        *pp = nullptr;
    }
}

// Closing the last connection checkpoints the WAL into the file it was
// opened on (through its descriptor, whatever the path names now) and
// removes the -wal and -shm files.
void CRcSqliteStore::Close() {
    FinalizeAll();
    if (m_pDb != nullptr) {
        int iRet = sqlite3_close(m_pDb);
        if (iRet != SQLITE_OK) LOG_ERR("store %s: close: %s", m_strPath.c_str(), sqlite3_errstr(iRet));
        m_pDb = nullptr;
    }
    m_strStoreId.clear();
}

int CRcSqliteStore::Fail(int iCode, const std::string& strWhat, std::string& strError) {
    return rc_sqlite_fail(m_pDb, iCode, m_strPath, strWhat, strError);
}

int CRcSqliteStore::Exec(const char* pszSql, std::string& strError) {
    int iRet = sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr);
    return iRet == SQLITE_OK ? 0 : Fail(iRet, pszSql, strError);
}

int CRcSqliteStore::Step(sqlite3_stmt* pStmt, const char* pszWhat, std::string& strError) {
    CRcSqliteReset reset(pStmt);
    int iRet = sqlite3_step(pStmt);
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, pszWhat, strError);
}

int CRcSqliteStore::Begin(std::string& strError) {
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    return Exec("BEGIN", strError);
}

int CRcSqliteStore::Open(ERcStoreMode nMode, std::string& strError) { return Open(m_strPath, nMode, strError); }

int CRcSqliteStore::Open(const std::string& strPath, ERcStoreMode nMode, std::string& strError) {
    Close();
    m_strPath = strPath;
    m_nMode = nMode;
    int iErr = OpenOnce(strError);
    if (iErr != 0) Close();
    return iErr;
}

rc_store_identity_t CRcSqliteStore::GetIdentity() const {
    rc_store_identity_t oId;
    oId.Id = m_strStoreId;
    oId.Generation = m_iGeneration;
    oId.Previous = m_iPrevious;
    return oId;
}

int CRcSqliteStore::OpenOnce(std::string& strError) {
    if (m_strPath.empty()) {
        strError = "no database path";
        return ENOENT;
    }
    const bool bWrite = m_nMode == RC_STORE_WRITE;
    if (bWrite) {
        int iErr = rc_sqlite_prepare_path(m_strPath, strError);
        if (iErr != 0) return iErr;
    }
    int iFlags = bWrite                         ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                 : m_nMode == RC_STORE_HEALTH ? SQLITE_OPEN_READWRITE
                                              : SQLITE_OPEN_READONLY;
    int iRet = sqlite3_open_v2(m_strPath.c_str(), &m_pDb, iFlags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot open the database", strError);
    sqlite3_extended_result_codes(m_pDb, 1);
    sqlite3_busy_timeout(m_pDb, bWrite ? kWriterBusyMs : kReaderBusyMs);

    int iErr = CheckSchema(strError);
    if (iErr != 0) return iErr;
    if (bWrite) {
        // FULL: the WAL is synced at every commit, so an answered report
        // survives a crash or a power cut, not only a killed process.
        // A checkpoint cuts the WAL back to 64 MiB at most: readers that hold
        // it up under sustained reports would otherwise leave it as large as
        // the longest stretch they held it for.
        iErr = Exec("PRAGMA journal_mode = WAL; PRAGMA foreign_keys = ON; PRAGMA journal_size_limit = 67108864;",
                    strError);
        m_bSyncFull = false;
        if (iErr == 0) iErr = SyncFull(strError);
        if (iErr == 0 && m_iVersion < RC_STORE_SCHEMA_VERSION) iErr = Upgrade(strError);
        if (iErr == 0) iErr = RaiseGeneration(strError);
        if (iErr == 0) iErr = rc_sqlite_add_name_index(m_pDb, m_strPath, strError);
        if (iErr == 0) iErr = Prepare(strError);
        if (iErr != 0) return iErr;
        iErr = rc_sqlite_file_id(m_strPath, m_oFileId);
        if (iErr != 0) {
            strError = m_strPath + ": " + strerror(iErr);
            return iErr;
        }
        // The identity taken must be the one of the file SQLite holds.
        int iMoved = 0;
        if (sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_HAS_MOVED, &iMoved) == SQLITE_OK && iMoved != 0) {
            strError = m_strPath + ": replaced while it was opened";
            return EAGAIN;
        }
    } else {
        if (m_nMode == RC_STORE_HEALTH && m_iVersion != RC_STORE_SCHEMA_VERSION) {
            strError = m_strPath + ": schema version " + std::to_string(m_iVersion) +
                       " is older than this program's; the center's writer upgrades it";
            return ENOTSUP;
        }
        // Health is a guess refreshed every interval: not worth a sync.
        if (m_nMode == RC_STORE_HEALTH) {
            iErr = Exec("PRAGMA synchronous = NORMAL", strError);
            if (iErr != 0) return iErr;
        }
        // A reader follows the path too (Refresh), so it reads what the
        // writer writes after a file was replaced.
        if (rc_sqlite_file_id(m_strPath, m_oFileId) != 0) m_oFileId = rc_file_id_t();
        std::string strGeneration;
        bool bFound = false;
        iErr = ReadMeta("generation", strGeneration, bFound, strError);
        if (iErr != 0) return iErr;
        m_iGeneration = m_iPrevious = bFound ? strtoull(strGeneration.c_str(), nullptr, 10) : 0;
    }
    bool bFound = false;
    iErr = ReadMeta("store_id", m_strStoreId, bFound, strError);
    if (iErr == 0 && !bFound) {
        strError = m_strPath + ": the store has no id";
        iErr = EBADMSG;
    }
    return iErr;
}

int CRcSqliteStore::ReadMeta(const char* pszKey, std::string& strValue, bool& bFound, std::string& strError) {
    bFound = false;
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, "SELECT value FROM meta WHERE key = ?1", -1, stmt.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_bind_text(stmt.Get(), 1, pszKey, -1, SQLITE_STATIC);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(stmt.Get());
    if (iRet == SQLITE_ROW) {
        strValue = rc_sqlite_column_text(stmt.Get(), 0);
        bFound = true;
        return 0;
    }
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, std::string("cannot read its ") + pszKey, strError);
}

// Every open for writing is a new generation: a copy of the file put back
// later carries an older one, which the dedup cache did not see last.
int CRcSqliteStore::RaiseGeneration(std::string& strError) {
    int iErr = Exec("BEGIN IMMEDIATE", strError);
    if (iErr != 0) return iErr;
    std::string strValue;
    bool bFound = false;
    iErr = ReadMeta("generation", strValue, bFound, strError);
    uint64 iPrevious = bFound ? strtoull(strValue.c_str(), nullptr, 10) : 0;
    if (iErr == 0) {
        CRcSqliteStmt stmt;
        int iRet = sqlite3_prepare_v2(m_pDb, "INSERT OR REPLACE INTO meta (key, value) VALUES ('generation', ?1)", -1,
                                      stmt.Out(), nullptr);
        if (iRet == SQLITE_OK) iRet = CBinder(stmt.Get()).Text(1, std::to_string(iPrevious + 1)).Result();
        if (iRet == SQLITE_OK) iRet = sqlite3_step(stmt.Get());
        if (iRet != SQLITE_DONE) iErr = Fail(iRet, "cannot raise its generation", strError);
    }
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    if (iErr != 0) {
        if (!sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        return iErr;
    }
    m_iPrevious = iPrevious;
    m_iGeneration = iPrevious + 1;
    return 0;
}

// Reading user_version is the first read of the file: it is where a file
// that is no database shows.
int CRcSqliteStore::ReadVersion(sint64& iVersion, sint64& iObjects, std::string& strError) {
    CRcSqliteStmt ver;
    int iRet = sqlite3_prepare_v2(
        m_pDb, "SELECT (SELECT user_version FROM pragma_user_version), (SELECT count(*) FROM sqlite_master)", -1,
        ver.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(ver.Get());
    if (iRet != SQLITE_ROW) return Fail(iRet, "cannot read the schema version", strError);
    iVersion = sqlite3_column_int64(ver.Get(), 0);
    iObjects = sqlite3_column_int64(ver.Get(), 1);
    return 0;
}

int CRcSqliteStore::CheckSchema(std::string& strError) {
    sint64 iVersion = 0;
    sint64 iObjects = 0;
    int iErr = ReadVersion(iVersion, iObjects, strError);
    if (iErr != 0) return iErr;
    if (iVersion == 0 && iObjects == 0 && m_nMode == RC_STORE_WRITE) {
        iErr = Exec("BEGIN IMMEDIATE", strError);
        if (iErr != 0) return iErr;
        // Another writer may have made it between the check and the lock.
        iErr = ReadVersion(iVersion, iObjects, strError);
        if (iErr == 0 && iVersion == 0 && iObjects == 0) {
            iErr = Exec(kSchema, strError);
            if (iErr == 0) iVersion = RC_STORE_SCHEMA_VERSION;
        }
        if (iErr == 0) iErr = Exec("COMMIT", strError);
        if (iErr != 0) {
            if (!sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
            return iErr;
        }
        LOG_INFO("store %s: made a new database, schema version %u", m_strPath.c_str(), RC_STORE_SCHEMA_VERSION);
    }
    m_iVersion = iVersion;
    if (iVersion >= 1 && iVersion <= RC_STORE_SCHEMA_VERSION) {
        // A version of ours on tables of another program is not ours.
        CRcSqliteStmt stmt;
        int iRet = sqlite3_prepare_v2(m_pDb,
                                      "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN"
                                      " ('meta', 'resource', 'location', 'resource_count', 'location_health')",
                                      -1, stmt.Out(), nullptr);
        if (iRet == SQLITE_OK) iRet = sqlite3_step(stmt.Get());
        if (iRet != SQLITE_ROW) return Fail(iRet, "cannot read the schema", strError);
        if (sqlite3_column_int64(stmt.Get(), 0) == iVersion + 2) return 0;
        strError = m_strPath + ": not a resource store (schema version " + std::to_string(iVersion) +
                   " without the tables of one)";
        return ENOTSUP;
    }
    if (iVersion > RC_STORE_SCHEMA_VERSION) {
        strError = m_strPath + ": schema version " + std::to_string(iVersion) + " is newer than this program's " +
                   std::to_string(RC_STORE_SCHEMA_VERSION) + "; refusing to use it";
        return ENOTSUP;
    }
    if (iObjects == 0) {
        strError = m_strPath + ": an empty database, no resource store in it";
        return ENOENT;
    }
    strError = m_strPath + ": not a resource store (schema version " + std::to_string(iVersion) + ", with " +
               std::to_string(iObjects) + " objects of another program)";
    return ENOTSUP;
}

// One transaction: a crash leaves the old version whole or the new one. The
// version is read again under the lock, as another writer may have done it.
int CRcSqliteStore::Upgrade(std::string& strError) {
    int iErr = Exec("BEGIN IMMEDIATE", strError);
    if (iErr != 0) return iErr;
    sint64 iVersion = 0;
    sint64 iObjects = 0;
    iErr = ReadVersion(iVersion, iObjects, strError);
    if (iErr == 0 && iVersion == 1) iErr = Exec(kUpgradeFrom1, strError);
    if (iErr == 0 && iVersion <= 2) iErr = Exec(kUpgradeFrom2, strError);
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    if (iErr != 0) {
        if (!sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        return iErr;
    }
    if (iVersion < RC_STORE_SCHEMA_VERSION)
        LOG_WARN("store %s: upgraded from schema version %lld to %u", m_strPath.c_str(),
                 static_cast<long long>(iVersion), RC_STORE_SCHEMA_VERSION);
    m_iVersion = RC_STORE_SCHEMA_VERSION;
    return 0;
}

std::string CRcSqliteStore::ResourceSelect() const {
    return std::string("SELECT ") + (m_iVersion >= 2 ? kResourceV2 : kResourceV1);
}

int CRcSqliteStore::Prepare(std::string& strError) {
    struct {
        sqlite3_stmt** pp;
        const char* pszSql;
    } arStmts[] = {
        {&m_pFindId, "SELECT id FROM resource WHERE fid = ?1"},
        {&m_pInsertResource,
         "INSERT INTO resource (fid, sid, sha1, md4, size, tpt, first_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"},
        {&m_pInsertCount, "INSERT INTO resource_count (resource_id, last_seen, report_count) VALUES (?1, ?2, 1)"},
        {&m_pInsertLocation,
         "INSERT OR IGNORE INTO location (resource_id, url, file, ext, ref, first_seen)"
         " VALUES (?1, ?2, ?3, ?4, ?5, ?6)"},
        {&m_pBumpId,
         "UPDATE resource_count SET report_count = report_count + ?2, last_seen = max(last_seen, ?3)"
         " WHERE resource_id = ?1"},
        {&m_pBumpFid,
         "UPDATE resource_count SET report_count = report_count + ?2, last_seen = max(last_seen, ?3)"
         " WHERE resource_id = (SELECT id FROM resource WHERE fid = ?1)"},
        {&m_pSavepoint, "SAVEPOINT report"},
        {&m_pRelease, "RELEASE report"},
        {&m_pRollbackTo, "ROLLBACK TO report"},
    };
    for (auto& oStmt : arStmts) {
        int iRet = sqlite3_prepare_v3(m_pDb, oStmt.pszSql, -1, SQLITE_PREPARE_PERSISTENT, oStmt.pp, nullptr);
        if (iRet != SQLITE_OK) return Fail(iRet, "cannot prepare a statement", strError);
    }
    return 0;
}

// SQLite itself refuses to write into a file unlinked or renamed under it
// (SQLITE_READONLY_DBMOVED); the check here comes first so that the report
// goes to a new file at the path instead of failing.
int CRcSqliteStore::Refresh(std::string& strError) {
    if (m_pDb != nullptr) {
        rc_file_id_t oNow;
        const int iLook = rc_sqlite_file_id(m_strPath, oNow);
        if (iLook == 0 && rc_sqlite_same_file(oNow, m_oFileId)) return 0;
        // A reader keeps what it has until a file is there to read.
        if (m_nMode != RC_STORE_WRITE) {
            if (iLook != 0) return 0;
            Close();
            int iErr = OpenOnce(strError);
            if (iErr != 0) Close();
            return iErr;
        }
        LOG_WARN("store %s no longer names the open file; opening it again", m_strPath.c_str());
        // SQLite does not checkpoint a moved file when it closes it; done
        // here, the commits in the WAL go into the file wherever it is now.
        int iLog = 0;
        int iDone = 0;
        int iRet = sqlite3_wal_checkpoint_v2(m_pDb, "main", SQLITE_CHECKPOINT_TRUNCATE, &iLog, &iDone);
        if (iRet != SQLITE_OK)
            LOG_WARN("store %s: the moved database keeps %d of its WAL frames: %s", m_strPath.c_str(), iLog - iDone,
                     sqlite3_errmsg(m_pDb));
    }
    Close();
    int iErr = OpenOnce(strError);
    if (iErr != 0) Close();
    return iErr;
}

int CRcSqliteStore::Commit(const rc_store_batch_t& oBatch, std::vector<rc_report_outcome_t>& oOutcomes,
                           std::string& strError) {
    oOutcomes.clear();
    if (m_nMode != RC_STORE_WRITE) {
        strError = m_strPath + ": opened for reading";
        return EBADF;
    }
    if (oBatch.Reports.empty() && oBatch.Tallies.empty()) return 0;
    int iErr = Refresh(strError);
    if (iErr == 0) iErr = WriteBatch(oBatch, oOutcomes, strError);
    if (iErr != 0) oOutcomes.clear();
    return iErr;
}

// A savepoint per report: one that cannot be written is rolled back alone
// and answered with its own error, unless SQLite rolled the whole
// transaction back (a full disk, an I/O error), which fails the batch.
// New names are indexed later (Housekeep): the index writes its pending
// terms at every savepoint, and indexing each one as it came cost more
// than the rest of its report.
int CRcSqliteStore::WriteBatch(const rc_store_batch_t& oBatch, std::vector<rc_report_outcome_t>& oOutcomes,
                               std::string& strError) {
    int iErr = SyncFull(strError);
    if (iErr == 0) iErr = Exec("BEGIN IMMEDIATE", strError);
    if (iErr != 0) return iErr;
    oOutcomes.resize(oBatch.Reports.size());
    for (size_t i = 0; i < oBatch.Reports.size() && iErr == 0; ++i) {
        iErr = Step(m_pSavepoint, "SAVEPOINT report", strError);
        if (iErr != 0) break;
        rc_report_outcome_t& oOut = oOutcomes[i];
        oOut.Errno = WriteOne(oBatch.Reports[i], oOut.Stored, oOut.Error);
        if (oOut.Errno == 0) {
            iErr = Step(m_pRelease, "RELEASE report", strError);
        } else if (sqlite3_get_autocommit(m_pDb)) {
            strError = oOut.Error;
            iErr = oOut.Errno;
        } else {
            iErr = Step(m_pRollbackTo, "ROLLBACK TO report", strError);
            if (iErr == 0) iErr = Step(m_pRelease, "RELEASE report", strError);
        }
    }
    for (size_t i = 0; i < oBatch.Tallies.size() && iErr == 0; ++i) iErr = WriteTally(oBatch.Tallies[i], strError);
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    // A failed COMMIT may leave the transaction open (SQLITE_BUSY) or have
    // rolled it back already.
    if (iErr != 0 && !sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return iErr;
}

// A tally of a FID the store no longer holds (removed since it was
// answered) counts nothing; that is logged, not a failure of the batch.
int CRcSqliteStore::WriteTally(const rc_store_tally_t& oTally, std::string& strError) {
    CRcSqliteReset reset(m_pBumpFid);
    int iRet = CBinder(m_pBumpFid)
                   .Text(1, oTally.FID.Hex())
                   .Int(2, static_cast<sint64>(oTally.Count))
                   .Int(3, oTally.LastSeen)
                   .Result();
    if (iRet == SQLITE_OK) iRet = sqlite3_step(m_pBumpFid);
    if (iRet != SQLITE_DONE) return Fail(iRet, "cannot count a report", strError);
    if (sqlite3_changes(m_pDb) != 1)
        LOG_ERR("store %s: counts of fid=%s changed no row; %llu repeats not counted", m_strPath.c_str(),
                oTally.FID.Hex().c_str(), static_cast<unsigned long long>(oTally.Count));
    return 0;
}

int CRcSqliteStore::WriteOne(const rc_store_report_t& oItem, ERcStored& nResult, std::string& strError) {
    const rc_resource_t& oRes = oItem.Resource;
    const std::string strFid = oRes.FID.Hex();
    sint64 iId = 0;
    {
        CRcSqliteReset reset(m_pFindId);
        int iRet = CBinder(m_pFindId).Text(1, strFid).Result();
        if (iRet == SQLITE_OK) iRet = sqlite3_step(m_pFindId);
        if (iRet == SQLITE_ROW) {
            iId = sqlite3_column_int64(m_pFindId, 0);
        } else if (iRet != SQLITE_DONE) {
            return Fail(iRet, "cannot look up a fid", strError);
        }
    }
    const bool bInserted = iId == 0;
    if (bInserted) {
        CRcSqliteReset reset(m_pInsertResource);
        int iRet = CBinder(m_pInsertResource)
                       .Text(1, strFid)
                       .Text(2, oRes.SID.Hex())
                       .Text(3, oRes.Hash.Hex())
                       .Text(4, oRes.MD4.Hex())
                       .Int(5, static_cast<sint64>(oRes.Size))
                       .Blob(6, oRes.Tpt)
                       .Int(7, oItem.Now)
                       .Result();
        if (iRet == SQLITE_OK) iRet = sqlite3_step(m_pInsertResource);
        if (iRet != SQLITE_DONE) return Fail(iRet, "cannot insert a resource", strError);
        iId = sqlite3_last_insert_rowid(m_pDb);
        CRcSqliteReset resetCount(m_pInsertCount);
        iRet = CBinder(m_pInsertCount).Int(1, iId).Int(2, oItem.Now).Result();
        if (iRet == SQLITE_OK) iRet = sqlite3_step(m_pInsertCount);
        if (iRet != SQLITE_DONE) return Fail(iRet, "cannot insert a resource's counts", strError);
    }
    bool bNewLocation = false;
    {
        CRcSqliteReset reset(m_pInsertLocation);
        int iRet = CBinder(m_pInsertLocation)
                       .Int(1, iId)
                       .Text(2, oItem.Where.Url)
                       .Text(3, oItem.Where.FileName)
                       .Text(4, oItem.Where.ExtName)
                       .Text(5, oItem.Where.Ref)
                       .Int(6, oItem.Now)
                       .Result();
        if (iRet == SQLITE_OK) iRet = sqlite3_step(m_pInsertLocation);
        if (iRet != SQLITE_DONE) return Fail(iRet, "cannot insert a location", strError);
        bNewLocation = sqlite3_changes(m_pDb) > 0;
    }
    if (bInserted) {
        nResult = RC_STORED_NEW;
        return 0;
    }
    nResult = bNewLocation ? RC_STORED_LOCATION : RC_STORED_KNOWN;
    CRcSqliteReset reset(m_pBumpId);
    int iRet = CBinder(m_pBumpId).Int(1, iId).Int(2, 1).Int(3, oItem.Now).Result();
    if (iRet == SQLITE_OK) iRet = sqlite3_step(m_pBumpId);
    if (iRet != SQLITE_DONE) return Fail(iRet, "cannot count a report", strError);
    if (sqlite3_changes(m_pDb) != 1) {
        strError = m_strPath + ": fid=" + strFid + " has no counts row";
        LOG_ERR("store %s", strError.c_str());
        return EBADMSG;
    }
    return 0;
}

int CRcSqliteStore::Find(const char* pszWhere, const std::string& strKey, uint32 iLimit,
                         const std::function<bool(const rc_resource_t&)>& fn, std::string& strError) {
    // One transaction, so the resources and their locations are one snapshot.
    int iErr = Begin(strError);
    if (iErr != 0) return iErr;
    iErr = FindIn(pszWhere, strKey, iLimit, fn, strError);
    sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    return iErr;
}

int CRcSqliteStore::FindIn(const char* pszWhere, const std::string& strKey, uint32 iLimit,
                           const std::function<bool(const rc_resource_t&)>& fn, std::string& strError) {
    std::string strSql = ResourceSelect() + " " + pszWhere;
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, stmt.Out(), nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot prepare a lookup", strError);
    CBinder oBind(stmt.Get());
    if (!strKey.empty()) oBind.Text(1, strKey);
    if (iLimit != 0) oBind.Int(1, iLimit);
    if (oBind.Result() != SQLITE_OK) return Fail(oBind.Result(), "cannot bind a lookup", strError);
    while ((iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        rc_resource_t oRes;
        sint64 iId = ReadResource(stmt.Get(), 0, oRes);
        int iErr = ReadLocationsOf(oRes, iId, 0, 0, strError);
        if (iErr != 0) return iErr;
        if (!fn(oRes)) return 0;
    }
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, "cannot read a resource", strError);
}

// iLimit 0: all of them.
int CRcSqliteStore::ReadLocationsOf(rc_resource_t& oRes, sint64 iId, uint64 iAfter, uint32 iLimit,
                                    std::string& strError) {
    std::string strSql = std::string("SELECT ") + kLocationColumns;
    if (m_iVersion >= 3) strSql += std::string(", ") + kHealthColumns;
    strSql += " FROM location l";
    if (m_iVersion >= 3) strSql += " LEFT JOIN location_health h ON h.location_id = l.id";
    strSql += " WHERE l.resource_id = ?1 AND l.id > ?2 ORDER BY l.id LIMIT ?3";
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, stmt.Out(), nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot prepare a lookup", strError);
    iRet = CBinder(stmt.Get())
               .Int(1, iId)
               .Int(2, static_cast<sint64>(iAfter))
               .Int(3, iLimit == 0 ? -1 : static_cast<sint64>(iLimit))
               .Result();
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot bind a lookup", strError);
    while ((iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        oRes.Locations.push_back(ReadLocation(stmt.Get(), 0));
        if (m_iVersion >= 3) oRes.Locations.back().Health = ReadHealth(stmt.Get(), 6);
    }
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, "cannot read the locations", strError);
}

int CRcSqliteStore::FindFid(const Sha1Hash& oFid, std::vector<rc_resource_t>& oOut, std::string& strError) {
    int iErr = Find("WHERE r.fid = ?1", oFid.Hex(), 0, Collect(oOut), strError);
    if (iErr != 0) oOut.clear();
    return iErr;
}

int CRcSqliteStore::FindSid(const Sha1Hash& oSid, std::vector<rc_resource_t>& oOut, std::string& strError) {
    int iErr = Find("WHERE r.sid = ?1 ORDER BY r.id", oSid.Hex(), 0, Collect(oOut), strError);
    if (iErr != 0) oOut.clear();
    return iErr;
}

int CRcSqliteStore::FindSha1(const Sha1Hash& oHash, std::vector<rc_resource_t>& oOut, std::string& strError) {
    int iErr = Find("WHERE r.sha1 = ?1 ORDER BY r.id", oHash.Hex(), 0, Collect(oOut), strError);
    if (iErr != 0) oOut.clear();
    return iErr;
}

int CRcSqliteStore::FindFidPage(const Sha1Hash& oFid, uint32 iLimit, uint64 iAfter, rc_resource_t& oOut,
                                bool& bFound, uint64& iNext, std::string& strError) {
    bFound = false;
    iNext = 0;
    oOut = rc_resource_t();
    if (iLimit == 0 || iLimit > RC_STORE_PAGE_MAX) {
        strError = "a page holds 1 to " + std::to_string(RC_STORE_PAGE_MAX) + " locations";
        return EINVAL;
    }
    int iErr = Begin(strError);
    if (iErr != 0) return iErr;
    std::string strSql = ResourceSelect() + " WHERE r.fid = ?1";
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, stmt.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = CBinder(stmt.Get()).Text(1, oFid.Hex()).Result();
    if (iRet == SQLITE_OK) iRet = sqlite3_step(stmt.Get());
    if (iRet == SQLITE_ROW) {
        sint64 iId = ReadResource(stmt.Get(), 0, oOut);
        // One more than asked tells whether a next page exists.
        iErr = ReadLocationsOf(oOut, iId, iAfter, iLimit + 1, strError);
        if (iErr == 0) {
            bFound = true;
            if (oOut.Locations.size() > iLimit) {
                oOut.Locations.pop_back();
                iNext = oOut.Locations.back().Id;
            }
        }
    } else if (iRet != SQLITE_DONE) {
        iErr = Fail(iRet, "cannot read a resource", strError);
    }
    sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    if (iErr != 0) {
        bFound = false;
        oOut = rc_resource_t();
    }
    return iErr;
}

int CRcSqliteStore::FindRecent(uint32 iLimit, const std::function<bool(const rc_resource_t&)>& fn,
                               std::string& strError) {
    if (iLimit == 0 || iLimit > RC_STORE_RECENT_MAX) {
        strError = "the most recent 1 to " + std::to_string(RC_STORE_RECENT_MAX) + " resources";
        return EINVAL;
    }
    return Find("ORDER BY r.id DESC LIMIT ?1", "", iLimit, fn, strError);
}

int CRcSqliteStore::ReadLocations(uint64 iAfter, uint32 iLimit, std::vector<rc_resource_t>& oResources,
                                  std::vector<rc_location_t>& oLocations, std::string& strError) {
    oResources.clear();
    oLocations.clear();
    int iErr = Begin(strError);
    if (iErr != 0) return iErr;
    std::string strSql = ResourceSelect() + " JOIN location l ON l.resource_id = r.id WHERE l.id > ?1" +
                         " ORDER BY l.id LIMIT ?2";
    // The location's columns follow the resource's.
    strSql.insert(std::string("SELECT ").size(), std::string(kLocationColumns) + ", ");
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, stmt.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = CBinder(stmt.Get()).Int(1, static_cast<sint64>(iAfter)).Int(2, iLimit).Result();
    if (iRet == SQLITE_OK) {
        while ((iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
            oLocations.push_back(ReadLocation(stmt.Get(), 0));
            oResources.emplace_back();
            ReadResource(stmt.Get(), 6, oResources.back());
        }
    }
    sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    if (iRet == SQLITE_DONE) return 0;
    oResources.clear();
    oLocations.clear();
    return Fail(iRet, "cannot read the locations", strError);
}

int CRcSqliteStore::GetCounts(rc_store_counts_t& oCounts, std::string& strError) {
    oCounts = rc_store_counts_t();
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    CRcSqliteStmt stmt;
    const char* pszSql = m_iVersion >= 2 ? "SELECT (SELECT count(*) FROM resource), (SELECT count(*) FROM location),"
                                           " (SELECT coalesce(sum(report_count), 0) FROM resource_count)"
                                         : "SELECT (SELECT count(*) FROM resource), (SELECT count(*) FROM location),"
                                           " (SELECT coalesce(sum(report_count), 0) FROM resource)";
    int iRet = sqlite3_prepare_v2(m_pDb, pszSql, -1, stmt.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = sqlite3_step(stmt.Get());
    if (iRet != SQLITE_ROW) return Fail(iRet, "cannot count", strError);
    oCounts.Resources = static_cast<uint64>(sqlite3_column_int64(stmt.Get(), 0));
    oCounts.Locations = static_cast<uint64>(sqlite3_column_int64(stmt.Get(), 1));
    oCounts.Reports = static_cast<uint64>(sqlite3_column_int64(stmt.Get(), 2));
    return 0;
}

int CRcSqliteStore::Remove(const Sha1Hash& oFid, bool& bFound, rc_resource_t* pRemoved, std::string& strError) {
    bFound = false;
    if (m_nMode != RC_STORE_WRITE) {
        strError = m_strPath + ": opened for reading";
        return EBADF;
    }
    int iErr = Refresh(strError);
    if (iErr == 0) iErr = Exec("BEGIN IMMEDIATE", strError);
    if (iErr != 0) return iErr;
    std::vector<rc_resource_t> oFound;
    iErr = FindIn("WHERE r.fid = ?1", oFid.Hex(), 0, Collect(oFound), strError);
    // Each table by hand: the cascade holds only where foreign keys are on.
    const char* const arDeletes[] = {
        ("DELETE FROM location_health WHERE location_id IN"
         " (SELECT l.id FROM location l JOIN resource r ON r.id = l.resource_id WHERE r.fid = ?1)"),
        "DELETE FROM location WHERE resource_id = (SELECT id FROM resource WHERE fid = ?1)",
        "DELETE FROM resource_count WHERE resource_id = (SELECT id FROM resource WHERE fid = ?1)",
        "DELETE FROM resource WHERE fid = ?1",
    };
    for (size_t i = 0; i < sizeof(arDeletes) / sizeof(arDeletes[0]) && iErr == 0 && !oFound.empty(); ++i) {
        CRcSqliteStmt del;
        int iRet = sqlite3_prepare_v2(m_pDb, arDeletes[i], -1, del.Out(), nullptr);
        if (iRet == SQLITE_OK) iRet = CBinder(del.Get()).Text(1, oFid.Hex()).Result();
        if (iRet == SQLITE_OK) iRet = sqlite3_step(del.Get());
        if (iRet != SQLITE_DONE) iErr = Fail(iRet, "cannot remove a resource", strError);
    }
    if (iErr == 0 && !oFound.empty()) iErr = rc_sqlite_names_after_delete(m_pDb, m_strPath, strError);
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    if (iErr != 0 && !sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    if (iErr != 0 || oFound.empty()) return iErr;
    bFound = true;
    if (pRemoved != nullptr) *pRemoved = std::move(oFound.front());
    return 0;
}

// The names committed since the last call go into the index in a
// transaction of their own, while the thread has no job. It is not synced:
// the next commit's sync takes it along, and were it lost the mark, lost
// with it, has the rows indexed again.
int CRcSqliteStore::Housekeep(bool& bMore, std::string& strError) {
    bMore = false;
    if (m_nMode != RC_STORE_WRITE || m_pDb == nullptr) return 0;
    // Read without the write lock: most calls find nothing to do.
    bool bPending = false;
    int iCheck = rc_sqlite_names_pending(m_pDb, bPending, m_strPath, strError);
    if (iCheck != 0 || !bPending) return iCheck;
    m_bSyncFull = false;
    int iErr = Exec("PRAGMA synchronous = NORMAL; BEGIN IMMEDIATE", strError);
    if (iErr == 0) iErr = rc_sqlite_index_names(m_pDb, kNamesPerTurn, bMore, m_strPath, strError);
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    if (iErr != 0 && !sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    std::string strSync;
    if (SyncFull(strSync) != 0) LOG_ERR("%s", strSync.c_str());
    if (iErr != 0) bMore = false;
    return iErr;
}

// Every commit of reports is synced; WriteBatch refuses to write while the
// setting cannot be had back.
int CRcSqliteStore::SyncFull(std::string& strError) {
    if (m_bSyncFull) return 0;
    int iErr = Exec("PRAGMA synchronous = FULL", strError);
    m_bSyncFull = iErr == 0;
    return iErr;
}

int CRcSqliteStore::ListRecent(uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut, uint64& iNext,
                               std::string& strError) {
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    return rc_sqlite_list(m_pDb, m_iVersion >= 2, nullptr, iLimit, iAfter, oOut, iNext, m_strPath, strError);
}

int CRcSqliteStore::SearchNames(const std::string& strText, uint32 iLimit, uint64 iAfter,
                                std::vector<rc_resource_entry_t>& oOut, uint64& iNext, std::string& strError) {
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    return rc_sqlite_list(m_pDb, m_iVersion >= 2, &strText, iLimit, iAfter, oOut, iNext, m_strPath, strError);
}

int CRcSqliteStore::FindMd4(const Md5Hash& oMd4, std::vector<rc_resource_t>& oOut, std::string& strError) {
    int iErr = Find("WHERE r.md4 = ?1 ORDER BY r.id", oMd4.Hex(), 0, Collect(oOut), strError);
    if (iErr != 0) oOut.clear();
    return iErr;
}

int CRcSqliteStore::HealthWritable(std::string& strError) const {
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    if (m_nMode == RC_STORE_READ) {
        strError = m_strPath + ": opened for reading";
        return EBADF;
    }
    return 0;
}

// SQLite has one writer at a time: the claim's transaction alone makes two
// checkers on one file take different locations.
int CRcSqliteStore::ClaimDue(sint64 iNow, uint32 iLimit, sint64 iNextDue, std::vector<rc_check_job_t>& oOut,
                             std::string& strError) {
    oOut.clear();
    int iErr = HealthWritable(strError);
    if (iErr == 0) iErr = Exec("BEGIN IMMEDIATE", strError);
    if (iErr != 0) return iErr;
    CRcSqliteStmt sel;
    int iRet = sqlite3_prepare_v2(m_pDb,
                                  "SELECT h.location_id, l.url, r.size, r.tpt, h.state, h.checked_at, h.ok_at,"
                                  " h.failures, h.latency_ms, h.ranges FROM location_health h"
                                  " JOIN location l ON l.id = h.location_id JOIN resource r ON r.id = l.resource_id"
                                  " WHERE h.due_at <= ?1 ORDER BY h.due_at LIMIT ?2",
                                  -1, sel.Out(), nullptr);
    if (iRet == SQLITE_OK) iRet = CBinder(sel.Get()).Int(1, iNow).Int(2, iLimit).Result();
    while (iRet == SQLITE_OK && (iRet = sqlite3_step(sel.Get())) == SQLITE_ROW) {
        rc_check_job_t oJob;
        oJob.LocationId = static_cast<uint64>(sqlite3_column_int64(sel.Get(), 0));
        oJob.Url = rc_sqlite_column_text(sel.Get(), 1);
        oJob.Size = static_cast<uint64>(sqlite3_column_int64(sel.Get(), 2));
        const unsigned char* pTpt = static_cast<const unsigned char*>(sqlite3_column_blob(sel.Get(), 3));
        oJob.Tpt.assign(pTpt, pTpt == nullptr ? pTpt : pTpt + sqlite3_column_bytes(sel.Get(), 3));
        oJob.Health = ReadHealth(sel.Get(), 4);
        oOut.push_back(std::move(oJob));
        iRet = SQLITE_OK;
    }
    if (iRet != SQLITE_DONE) iErr = Fail(iRet, "cannot read the due locations", strError);
    CRcSqliteStmt upd;
    if (iErr == 0) {
        iRet = sqlite3_prepare_v2(m_pDb, "UPDATE location_health SET due_at = ?2 WHERE location_id = ?1", -1,
                                  upd.Out(), nullptr);
        if (iRet != SQLITE_OK) iErr = Fail(iRet, "cannot prepare a claim", strError);
    }
    for (size_t i = 0; iErr == 0 && i < oOut.size(); ++i) {
        iRet = CBinder(upd.Get()).Int(1, static_cast<sint64>(oOut[i].LocationId)).Int(2, iNextDue).Result();
        if (iRet == SQLITE_OK) iErr = Step(upd.Get(), "cannot claim a location", strError);
        else iErr = Fail(iRet, "cannot claim a location", strError);
    }
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    if (iErr != 0) {
        if (!sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        oOut.clear();
    }
    return iErr;
}

int CRcSqliteStore::RecordHealth(const std::vector<rc_check_result_t>& oResults, std::string& strError) {
    int iErr = HealthWritable(strError);
    if (iErr != 0 || oResults.empty()) return iErr;
    iErr = Exec("BEGIN IMMEDIATE", strError);
    if (iErr != 0) return iErr;
    CRcSqliteStmt upd;
    int iRet = sqlite3_prepare_v2(m_pDb,
                                  "UPDATE location_health SET state = ?2, checked_at = ?3, ok_at = ?4, failures = ?5,"
                                  " latency_ms = ?6, ranges = ?7, due_at = ?8 WHERE location_id = ?1",
                                  -1, upd.Out(), nullptr);
    if (iRet != SQLITE_OK) iErr = Fail(iRet, "cannot prepare a health update", strError);
    for (size_t i = 0; iErr == 0 && i < oResults.size(); ++i) {
        const rc_check_result_t& o = oResults[i];
        iRet = CBinder(upd.Get())
                   .Int(1, static_cast<sint64>(o.LocationId))
                   .Int(2, o.Health.State)
                   .Int(3, o.Health.CheckedAt)
                   .Int(4, o.Health.OkAt)
                   .Int(5, o.Health.Failures)
                   .Int(6, o.Health.LatencyMs)
                   .Int(7, o.Health.Ranges)
                   .Int(8, o.DueAt)
                   .Result();
        if (iRet == SQLITE_OK) iErr = Step(upd.Get(), "cannot write a location's health", strError);
        else iErr = Fail(iRet, "cannot write a location's health", strError);
    }
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    if (iErr != 0 && !sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return iErr;
}

int CRcSqliteStore::CountHealth(rc_health_counts_t& oCounts, std::string& strError) {
    oCounts = rc_health_counts_t();
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    if (m_iVersion < 3) {
        rc_store_counts_t oAll;
        int iErr = GetCounts(oAll, strError);
        oCounts.States[RC_HEALTH_UNCHECKED] = oAll.Locations;
        return iErr;
    }
    CRcSqliteStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, "SELECT state, count(*) FROM location_health GROUP BY state", -1,
                                  stmt.Out(), nullptr);
    while (iRet == SQLITE_OK && (iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        sint64 iState = sqlite3_column_int64(stmt.Get(), 0);
        if (iState >= 0 && iState < RC_HEALTH_STATES)
            oCounts.States[iState] += static_cast<uint64>(sqlite3_column_int64(stmt.Get(), 1));
        iRet = SQLITE_OK;
    }
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, "cannot count the locations by health", strError);
}
