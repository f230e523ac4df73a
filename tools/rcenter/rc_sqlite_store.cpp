#include "rc_sqlite_store.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "str_util.h"
#include "svr_log.h"

namespace {

// A writer waits this long for a reader's brief lock (a checkpoint, a WAL
// restart) before giving up with EBUSY; readers wait longer.
const int kWriterBusyMs = 2000;
const int kReaderBusyMs = 10000;

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
    " first_seen INTEGER NOT NULL,"
    " last_seen INTEGER NOT NULL,"
    " report_count INTEGER NOT NULL);"
    "CREATE INDEX resource_sid ON resource(sid);"
    "CREATE INDEX resource_sha1 ON resource(sha1);"
    "CREATE TABLE location ("
    " id INTEGER PRIMARY KEY,"
    " resource_id INTEGER NOT NULL REFERENCES resource(id) ON DELETE CASCADE,"
    " url TEXT NOT NULL,"
    " file TEXT NOT NULL,"
    " ext TEXT NOT NULL,"
    " ref TEXT NOT NULL,"
    " first_seen INTEGER NOT NULL,"
    " UNIQUE (resource_id, url));"
    "INSERT INTO meta VALUES ('store_id', lower(hex(randomblob(16))));"
    "PRAGMA user_version = 1;";

const char* const kResourceColumns = "id, fid, sid, sha1, md4, size, tpt, first_seen, last_seen, report_count";

static_assert(RC_STORE_SCHEMA_VERSION == 1, "kSchema writes user_version 1");

// mkdir -p of every directory above the file; 0 or the first real failure.
int MakeParents(const std::string& strPath) {
    for (std::string::size_type pos = strPath.find('/', 1); pos != std::string::npos;
         pos = strPath.find('/', pos + 1)) {
        std::string strDir = strPath.substr(0, pos);
        if (mkdir(strDir.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}

int SyncDir(const std::string& strPath) {
    std::string::size_type pos = strPath.rfind('/');
    std::string strDir = pos == std::string::npos ? "." : pos == 0 ? "/" : strPath.substr(0, pos);
    int fd = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int iErr = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return iErr;
}

template <int N>
bool FromHex(const unsigned char* p, int iLen, HashVal<N>& oHash) {
    return iLen >= 0 && BinBufFromHexExact(oHash.cVal, sizeof(oHash.cVal), reinterpret_cast<const char*>(p),
                                           static_cast<size_t>(iLen)) == 0;
}

template <int N>
void ColumnHash(sqlite3_stmt* p, int i, HashVal<N>& oHash) {
    if (!FromHex(sqlite3_column_text(p, i), sqlite3_column_bytes(p, i), oHash)) oHash = HashVal<N>();
}

std::string ColumnText(sqlite3_stmt* p, int i) {
    const unsigned char* pText = sqlite3_column_text(p, i);
    int iLen = sqlite3_column_bytes(p, i);
    return pText == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(pText), iLen);
}

void BindText(sqlite3_stmt* p, int i, const std::string& s) {
    sqlite3_bind_text(p, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// Reads the columns of kResourceColumns (from iFirst on) into a resource.
sint64 ReadResource(sqlite3_stmt* p, int iFirst, rc_resource_t& oRes) {
    ColumnHash(p, iFirst + 1, oRes.FID);
    ColumnHash(p, iFirst + 2, oRes.SID);
    ColumnHash(p, iFirst + 3, oRes.Hash);
    ColumnHash(p, iFirst + 4, oRes.MD4);
    oRes.Size = static_cast<uint64>(sqlite3_column_int64(p, iFirst + 5));
    const unsigned char* pTpt = static_cast<const unsigned char*>(sqlite3_column_blob(p, iFirst + 6));
    int iTpt = sqlite3_column_bytes(p, iFirst + 6);
    oRes.Tpt.assign(pTpt, pTpt == nullptr ? pTpt : pTpt + iTpt);
    oRes.FirstSeen = sqlite3_column_int64(p, iFirst + 7);
    oRes.LastSeen = sqlite3_column_int64(p, iFirst + 8);
    oRes.Count = static_cast<uint64>(sqlite3_column_int64(p, iFirst + 9));
    return sqlite3_column_int64(p, iFirst);
}

// Reads url, file, ext, ref, first_seen, id (from iFirst on) into a location.
rc_location_t ReadLocation(sqlite3_stmt* p, int iFirst) {
    rc_location_t oLoc;
    oLoc.Url = ColumnText(p, iFirst);
    oLoc.FileName = ColumnText(p, iFirst + 1);
    oLoc.ExtName = ColumnText(p, iFirst + 2);
    oLoc.Ref = ColumnText(p, iFirst + 3);
    oLoc.FirstSeen = sqlite3_column_int64(p, iFirst + 4);
    oLoc.Id = static_cast<uint64>(sqlite3_column_int64(p, iFirst + 5));
    return oLoc;
}

// Finalizes a statement when it goes out of scope.
class CStmt {
public:
    CStmt() : m_p(nullptr) {}
    ~CStmt() { sqlite3_finalize(m_p); }
    CStmt(const CStmt&) = delete;
    CStmt& operator=(const CStmt&) = delete;
    sqlite3_stmt** Out() { return &m_p; }
    sqlite3_stmt* Get() const { return m_p; }

private:
    sqlite3_stmt* m_p;
};

// Resets a cached statement when it goes out of scope, so it holds no read
// snapshot and no bound copies between uses.
class CResetOnExit {
public:
    explicit CResetOnExit(sqlite3_stmt* p) : m_p(p) {}
    ~CResetOnExit() {
        sqlite3_reset(m_p);
        sqlite3_clear_bindings(m_p);
    }
    CResetOnExit(const CResetOnExit&) = delete;
    CResetOnExit& operator=(const CResetOnExit&) = delete;

private:
    sqlite3_stmt* m_p;
};

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
      m_iDev(0),
      m_iIno(0),
      m_iGeneration(0),
      m_iPrevious(0),
      m_pFindId(nullptr),
      m_pInsertResource(nullptr),
      m_pInsertLocation(nullptr),
      m_pBumpId(nullptr),
      m_pBumpFid(nullptr) {}

CRcSqliteStore::~CRcSqliteStore() { Close(); }

void CRcSqliteStore::FinalizeAll() {
    for (sqlite3_stmt** pp : {&m_pFindId, &m_pInsertResource, &m_pInsertLocation, &m_pBumpId, &m_pBumpFid}) {
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
    int iErr = rc_store_errno(m_pDb, iCode);
    if (iErr == 0) iErr = EIO;
    strError = m_strPath + ": " + strWhat + ": " + (m_pDb != nullptr ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(iCode)) +
               " (" + strerror(iErr) + ")";
    return iErr;
}

int CRcSqliteStore::Exec(const char* pszSql, std::string& strError) {
    int iRet = sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr);
    return iRet == SQLITE_OK ? 0 : Fail(iRet, pszSql, strError);
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
    bool bWrite = m_nMode == RC_STORE_WRITE;
    struct stat st;
    if (bWrite) {
        int iErr = MakeParents(m_strPath);
        if (iErr != 0) {
            strError = m_strPath + ": cannot make its directory: " + strerror(iErr);
            return iErr;
        }
        // A WAL left without its database would be replayed into a new
        // file at the path. An empty one goes; one that still holds commits
        // of a database moved away is kept aside, not lost.
        if (stat(m_strPath.c_str(), &st) != 0 && errno == ENOENT) {
            std::string strWal = m_strPath + "-wal";
            if (stat(strWal.c_str(), &st) == 0 && st.st_size > 0) {
                std::string strAside = strWal + ".orphaned." + std::to_string(time(nullptr));
                if (rename(strWal.c_str(), strAside.c_str()) == 0)
                    LOG_WARN("store %s: %s had no database; kept as %s", m_strPath.c_str(), strWal.c_str(),
                             strAside.c_str());
            }
            unlink(strWal.c_str());
            unlink((m_strPath + "-shm").c_str());
            // Made here rather than by SQLite, whose read-only retry hides
            // the reason (EROFS, EACCES, ENOSPC) behind ENOENT; and its name
            // is synced, as a file the answers rely on.
            int fd = open(m_strPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 && errno != EEXIST) {
                int iErr = errno;
                strError = m_strPath + ": cannot create the database: " + strerror(iErr);
                return iErr;
            }
            if (fd >= 0) close(fd);
            int iErr = SyncDir(m_strPath);
            if (iErr != 0) {
                strError = m_strPath + ": cannot sync its directory: " + strerror(iErr);
                return iErr;
            }
        }
    }
    int iFlags = bWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    int iRet = sqlite3_open_v2(m_strPath.c_str(), &m_pDb, iFlags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot open the database", strError);
    sqlite3_extended_result_codes(m_pDb, 1);
    sqlite3_busy_timeout(m_pDb, bWrite ? kWriterBusyMs : kReaderBusyMs);

    int iErr = CheckSchema(strError);
    if (iErr != 0) return iErr;
    if (bWrite) {
        // FULL: the WAL is synced at every commit, so an answered report
        // survives a crash or a power cut, not only a killed process.
        iErr = Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON;", strError);
        if (iErr != 0) return iErr;
        iErr = Prepare(strError);
        if (iErr != 0) return iErr;
        if (stat(m_strPath.c_str(), &st) != 0) {
            strError = m_strPath + ": " + strerror(errno);
            return errno;
        }
        m_iDev = st.st_dev;
        m_iIno = st.st_ino;
        // The identity taken must be the one of the file SQLite holds.
        int iMoved = 0;
        if (sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_HAS_MOVED, &iMoved) == SQLITE_OK && iMoved != 0) {
            strError = m_strPath + ": replaced while it was opened";
            return EAGAIN;
        }
    }
    CStmt id;
    iRet = sqlite3_prepare_v2(m_pDb, "SELECT value FROM meta WHERE key = 'store_id'", -1, id.Out(), nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot read its id", strError);
    iRet = sqlite3_step(id.Get());
    if (iRet == SQLITE_ROW) {
        m_strStoreId = ColumnText(id.Get(), 0);
    } else if (iRet != SQLITE_DONE) {
        return Fail(iRet, "cannot read its id", strError);
    }
    return 0;
}

// Reading user_version is the first read of the file: it is where a file
// that is no database shows.
int CRcSqliteStore::ReadVersion(sint64& iVersion, sint64& iObjects, std::string& strError) {
    CStmt ver;
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
    if (iVersion == RC_STORE_SCHEMA_VERSION) return 0;
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

int CRcSqliteStore::Prepare(std::string& strError) {
    struct {
        sqlite3_stmt** pp;
        const char* pszSql;
    } arStmts[] = {
        {&m_pFindId, "SELECT id FROM resource WHERE fid = ?1"},
        {&m_pInsertResource,
         "INSERT INTO resource (fid, sid, sha1, md4, size, tpt, first_seen, last_seen, report_count)"
         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7, 1)"},
        {&m_pInsertLocation,
         "INSERT OR IGNORE INTO location (resource_id, url, file, ext, ref, first_seen)"
         " VALUES (?1, ?2, ?3, ?4, ?5, ?6)"},
        {&m_pBumpId,
         "UPDATE resource SET report_count = report_count + ?2, last_seen = max(last_seen, ?3) WHERE id = ?1"},
        {&m_pBumpFid,
         "UPDATE resource SET report_count = report_count + ?2, last_seen = max(last_seen, ?3) WHERE fid = ?1"},
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
        struct stat st;
        if (stat(m_strPath.c_str(), &st) == 0 && st.st_dev == m_iDev && st.st_ino == m_iIno) return 0;
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

int CRcSqliteStore::WriteBatch(const rc_store_batch_t& oBatch, std::vector<rc_report_outcome_t>& oOutcomes,
                               std::string& strError) {
    int iErr = Exec("BEGIN IMMEDIATE", strError);
    if (iErr != 0) return iErr;
    oOutcomes.resize(oBatch.Reports.size());
    for (size_t i = 0; i < oBatch.Reports.size() && iErr == 0; ++i)
        iErr = WriteOne(oBatch.Reports[i], oOutcomes[i].Stored, strError);
    for (auto it = oBatch.Tallies.begin(); it != oBatch.Tallies.end() && iErr == 0; ++it) {
        CResetOnExit reset(m_pBumpFid);
        BindText(m_pBumpFid, 1, it->FID.Hex());
        sqlite3_bind_int64(m_pBumpFid, 2, static_cast<sint64>(it->Count));
        sqlite3_bind_int64(m_pBumpFid, 3, it->LastSeen);
        int iRet = sqlite3_step(m_pBumpFid);
        if (iRet != SQLITE_DONE) iErr = Fail(iRet, "cannot count a report", strError);
    }
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    // A failed COMMIT may leave the transaction open (SQLITE_BUSY) or have
    // rolled it back already.
    if (iErr != 0 && !sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    return iErr;
}

int CRcSqliteStore::WriteOne(const rc_store_report_t& oItem, ERcStored& nResult, std::string& strError) {
    const rc_resource_t& oRes = oItem.Resource;
    sint64 iId = 0;
    {
        CResetOnExit reset(m_pFindId);
        BindText(m_pFindId, 1, oRes.FID.Hex());
        int iRet = sqlite3_step(m_pFindId);
        if (iRet == SQLITE_ROW) {
            iId = sqlite3_column_int64(m_pFindId, 0);
        } else if (iRet != SQLITE_DONE) {
            return Fail(iRet, "cannot look up a fid", strError);
        }
    }
    bool bInserted = iId == 0;
    if (bInserted) {
        CResetOnExit reset(m_pInsertResource);
        BindText(m_pInsertResource, 1, oRes.FID.Hex());
        BindText(m_pInsertResource, 2, oRes.SID.Hex());
        BindText(m_pInsertResource, 3, oRes.Hash.Hex());
        BindText(m_pInsertResource, 4, oRes.MD4.Hex());
        sqlite3_bind_int64(m_pInsertResource, 5, static_cast<sint64>(oRes.Size));
        sqlite3_bind_blob(m_pInsertResource, 6, oRes.Tpt.empty() ? "" : static_cast<const void*>(oRes.Tpt.data()),
                          static_cast<int>(oRes.Tpt.size()), SQLITE_STATIC);
        sqlite3_bind_int64(m_pInsertResource, 7, oItem.Now);
        int iRet = sqlite3_step(m_pInsertResource);
        if (iRet != SQLITE_DONE) return Fail(iRet, "cannot insert a resource", strError);
        iId = sqlite3_last_insert_rowid(m_pDb);
    }
    bool bNewLocation = false;
    {
        CResetOnExit reset(m_pInsertLocation);
        sqlite3_bind_int64(m_pInsertLocation, 1, iId);
        BindText(m_pInsertLocation, 2, oItem.Where.Url);
        BindText(m_pInsertLocation, 3, oItem.Where.FileName);
        BindText(m_pInsertLocation, 4, oItem.Where.ExtName);
        BindText(m_pInsertLocation, 5, oItem.Where.Ref);
        sqlite3_bind_int64(m_pInsertLocation, 6, oItem.Now);
        int iRet = sqlite3_step(m_pInsertLocation);
        if (iRet != SQLITE_DONE) return Fail(iRet, "cannot insert a location", strError);
        bNewLocation = sqlite3_changes(m_pDb) > 0;
    }
    if (bInserted) {
        nResult = RC_STORED_NEW;
        return 0;
    }
    nResult = bNewLocation ? RC_STORED_LOCATION : RC_STORED_KNOWN;
    CResetOnExit reset(m_pBumpId);
    sqlite3_bind_int64(m_pBumpId, 1, iId);
    sqlite3_bind_int64(m_pBumpId, 2, 1);
    sqlite3_bind_int64(m_pBumpId, 3, oItem.Now);
    int iRet = sqlite3_step(m_pBumpId);
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, "cannot count a report", strError);
}

int CRcSqliteStore::Find(const char* pszWhere, const std::string& strKey, uint32 iLimit,
                         const std::function<bool(const rc_resource_t&)>& fn, std::string& strError) {
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    // One transaction, so the resources and their locations are one snapshot.
    int iErr = Exec("BEGIN", strError);
    if (iErr != 0) return iErr;
    iErr = FindIn(pszWhere, strKey, iLimit, fn, strError);
    sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr);
    return iErr;
}

int CRcSqliteStore::FindIn(const char* pszWhere, const std::string& strKey, uint32 iLimit,
                           const std::function<bool(const rc_resource_t&)>& fn, std::string& strError) {
    std::string strSql = std::string("SELECT ") + kResourceColumns + " FROM resource " + pszWhere;
    CStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, stmt.Out(), nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot prepare a lookup", strError);
    if (!strKey.empty()) BindText(stmt.Get(), 1, strKey);
    if (iLimit != 0) sqlite3_bind_int64(stmt.Get(), 1, iLimit);
    while ((iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        rc_resource_t oRes;
        sint64 iId = ReadResource(stmt.Get(), 0, oRes);
        int iErr = ReadLocationsOf(oRes, iId, strError);
        if (iErr != 0) return iErr;
        if (!fn(oRes)) return 0;
    }
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, "cannot read a resource", strError);
}

int CRcSqliteStore::ReadLocationsOf(rc_resource_t& oRes, sint64 iId, std::string& strError) {
    CStmt stmt;
    int iRet = sqlite3_prepare_v2(
        m_pDb, "SELECT url, file, ext, ref, first_seen, id FROM location WHERE resource_id = ?1 ORDER BY id", -1,
        stmt.Out(), nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot prepare a lookup", strError);
    sqlite3_bind_int64(stmt.Get(), 1, iId);
    while ((iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        oRes.Locations.push_back(ReadLocation(stmt.Get(), 0));
    }
    return iRet == SQLITE_DONE ? 0 : Fail(iRet, "cannot read the locations", strError);
}

namespace {

std::function<bool(const rc_resource_t&)> Collect(std::vector<rc_resource_t>& oOut) {
    oOut.clear();
    return [&oOut](const rc_resource_t& oRes) {
        oOut.push_back(oRes);
        return true;
    };
}

}  // namespace

int CRcSqliteStore::FindFid(const Sha1Hash& oFid, std::vector<rc_resource_t>& oOut, std::string& strError) {
    int iErr = Find("WHERE fid = ?1", oFid.Hex(), 0, Collect(oOut), strError);
    if (iErr != 0) oOut.clear();
    return iErr;
}

int CRcSqliteStore::FindSid(const Sha1Hash& oSid, std::vector<rc_resource_t>& oOut, std::string& strError) {
    int iErr = Find("WHERE sid = ?1 ORDER BY id", oSid.Hex(), 0, Collect(oOut), strError);
    if (iErr != 0) oOut.clear();
    return iErr;
}

int CRcSqliteStore::FindSha1(const Sha1Hash& oHash, std::vector<rc_resource_t>& oOut, std::string& strError) {
    int iErr = Find("WHERE sha1 = ?1 ORDER BY id", oHash.Hex(), 0, Collect(oOut), strError);
    if (iErr != 0) oOut.clear();
    return iErr;
}

int CRcSqliteStore::FindFidPage(const Sha1Hash& oFid, uint32 iLimit, uint64 iAfter, rc_resource_t& oOut,
                                bool& bFound, uint64& iNext, std::string& strError) {
    bFound = false;
    iNext = 0;
    if (iLimit == 0 || iLimit > RC_STORE_PAGE_MAX) {
        strError = "a page holds 1 to " + std::to_string(RC_STORE_PAGE_MAX) + " locations";
        return EINVAL;
    }
    std::vector<rc_resource_t> oFound;
    int iErr = FindFid(oFid, oFound, strError);
    if (iErr != 0 || oFound.empty()) return iErr;
    oOut = std::move(oFound.front());
    std::vector<rc_location_t> oAll = std::move(oOut.Locations);
    oOut.Locations.clear();
    for (rc_location_t& oLoc : oAll) {
        if (oLoc.Id <= iAfter) continue;
        if (oOut.Locations.size() == iLimit) {
            iNext = oOut.Locations.back().Id;
            break;
        }
        oOut.Locations.push_back(std::move(oLoc));
    }
    bFound = true;
    return 0;
}

int CRcSqliteStore::FindRecent(uint32 iLimit, const std::function<bool(const rc_resource_t&)>& fn,
                               std::string& strError) {
    if (iLimit == 0 || iLimit > RC_STORE_RECENT_MAX) {
        strError = "the most recent 1 to " + std::to_string(RC_STORE_RECENT_MAX) + " resources";
        return EINVAL;
    }
    return Find("ORDER BY id DESC LIMIT ?1", "", iLimit, fn, strError);
}

int CRcSqliteStore::ReadLocations(uint64 iAfter, uint32 iLimit, std::vector<rc_resource_t>& oResources,
                                  std::vector<rc_location_t>& oLocations, std::string& strError) {
    oResources.clear();
    oLocations.clear();
    if (m_pDb == nullptr) {
        strError = m_strPath + ": not open";
        return EBADF;
    }
    std::string strSql = std::string("SELECT r.id, r.fid, r.sid, r.sha1, r.md4, r.size, r.tpt, r.first_seen,") +
                         " r.last_seen, r.report_count, l.url, l.file, l.ext, l.ref, l.first_seen, l.id" +
                         " FROM location l JOIN resource r ON r.id = l.resource_id WHERE l.id > ?1" +
                         " ORDER BY l.id LIMIT ?2";
    CStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, stmt.Out(), nullptr);
    if (iRet != SQLITE_OK) return Fail(iRet, "cannot prepare the export", strError);
    sqlite3_bind_int64(stmt.Get(), 1, static_cast<sint64>(iAfter));
    sqlite3_bind_int64(stmt.Get(), 2, iLimit);
    while ((iRet = sqlite3_step(stmt.Get())) == SQLITE_ROW) {
        oResources.emplace_back();
        ReadResource(stmt.Get(), 0, oResources.back());
        oLocations.push_back(ReadLocation(stmt.Get(), 10));
    }
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
    CStmt stmt;
    int iRet = sqlite3_prepare_v2(m_pDb,
                                  "SELECT (SELECT count(*) FROM resource), (SELECT count(*) FROM location),"
                                  " (SELECT coalesce(sum(report_count), 0) FROM resource)",
                                  -1, stmt.Out(), nullptr);
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
    iErr = FindIn("WHERE fid = ?1", oFid.Hex(), 0, Collect(oFound), strError);
    if (iErr == 0 && !oFound.empty()) {
        CStmt del;
        int iRet = sqlite3_prepare_v2(m_pDb,
                                      "DELETE FROM location WHERE resource_id = (SELECT id FROM resource WHERE fid = ?1)",
                                      -1, del.Out(), nullptr);
        if (iRet == SQLITE_OK) {
            BindText(del.Get(), 1, oFid.Hex());
            iRet = sqlite3_step(del.Get());
        }
        CStmt delRes;
        if (iRet == SQLITE_DONE)
            iRet = sqlite3_prepare_v2(m_pDb, "DELETE FROM resource WHERE fid = ?1", -1, delRes.Out(), nullptr);
        if (iRet == SQLITE_OK) {
            BindText(delRes.Get(), 1, oFid.Hex());
            iRet = sqlite3_step(delRes.Get());
        }
        if (iRet != SQLITE_DONE) iErr = Fail(iRet, "cannot remove a resource", strError);
    }
    if (iErr == 0) iErr = Exec("COMMIT", strError);
    if (iErr != 0 && !sqlite3_get_autocommit(m_pDb)) sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    if (iErr != 0 || oFound.empty()) return iErr;
    bFound = true;
    if (pRemoved != nullptr) *pRemoved = std::move(oFound.front());
    return 0;
}
