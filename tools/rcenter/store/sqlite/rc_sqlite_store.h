// CRcSqliteStore: the store of record in one SQLite database file in WAL
// mode, behind CRcStore. A resource is one row keyed by its FID (SID and
// SHA-1 indexed) with its piece table and first report time; its report
// count and last report time sit in a row of their own, so a repeat
// rewrites a few bytes, not the piece table; every URL it was reported from
// is one location row. Before each write the path's device and inode are
// compared with the file opened; a database removed or replaced meanwhile
// is opened afresh at the path, never written into unseen. Errors as
// CRcStore says, SQLite's codes mapped by rc_store_errno. Owns its
// connection; one thread at a time. Readers (RC_STORE_READ) may use the
// file while a writer does, and read a version-1 file as it is.
#ifndef ZQ_RC_SQLITE_STORE_H
#define ZQ_RC_SQLITE_STORE_H

#include <functional>
#include <string>
#include <vector>

#include "common_header.h"
#include "hashval.h"
#include "rc_sqlite_file.h"
#include "rc_store.h"

struct sqlite3;
struct sqlite3_stmt;

enum : uint32 {
    // PRAGMA user_version of the schema this code writes; a file of a higher
    // version is refused, never changed; versions 1 (counts beside the piece
    // table) and 2 (no health) are read as they are (every location
    // unchecked) and upgraded by the first open for writing.
    RC_STORE_SCHEMA_VERSION = 3,
};

// The errno value for a SQLite result code on db (which may be null): the
// system's own error where SQLite saw one, otherwise the nearest value
// (SQLITE_FULL is ENOSPC, SQLITE_BUSY EBUSY, a damaged file EBADMSG...).
int rc_store_errno(sqlite3* pDb, int iCode);

class CRcSqliteStore : public CRcStore {
public:
    explicit CRcSqliteStore(const std::string& strPath = std::string());
    ~CRcSqliteStore() override;
    CRcSqliteStore(const CRcSqliteStore&) = delete;
    CRcSqliteStore& operator=(const CRcSqliteStore&) = delete;

    // Opens the path given at construction (or strPath, which it keeps).
    int Open(ERcStoreMode nMode, std::string& strError) override;
    int Open(const std::string& strPath, ERcStoreMode nMode, std::string& strError);
    void Close() override;
    bool IsOpen() const override { return m_pDb != nullptr; }
    std::string Describe() const override { return m_strPath; }
    const std::string& GetPath() const { return m_strPath; }
    rc_store_identity_t GetIdentity() const override;
    // A random id made with the database file: a file made afresh at the same
    // path has another one.
    const std::string& GetStoreId() const { return m_strStoreId; }

    int Commit(const rc_store_batch_t& oBatch, std::vector<rc_report_outcome_t>& oOutcomes,
               std::string& strError) override;
    int FindFid(const Sha1Hash& oFid, std::vector<rc_resource_t>& oOut, std::string& strError) override;
    int FindSid(const Sha1Hash& oSid, std::vector<rc_resource_t>& oOut, std::string& strError) override;
    int FindSha1(const Sha1Hash& oHash, std::vector<rc_resource_t>& oOut, std::string& strError) override;
    int FindFidPage(const Sha1Hash& oFid, uint32 iLimit, uint64 iAfter, rc_resource_t& oOut, bool& bFound,
                    uint64& iNext, std::string& strError) override;
    int FindRecent(uint32 iLimit, const std::function<bool(const rc_resource_t&)>& fn,
                   std::string& strError) override;
    int ReadLocations(uint64 iAfter, uint32 iLimit, std::vector<rc_resource_t>& oResources,
                      std::vector<rc_location_t>& oLocations, std::string& strError) override;
    int GetCounts(rc_store_counts_t& oCounts, std::string& strError) override;
    int Remove(const Sha1Hash& oFid, bool& bFound, rc_resource_t* pRemoved, std::string& strError) override;
    // From the name index and the MD4 index (rc_sqlite_search), which an
    // open for writing adds to a file that lacks them.
    int ListRecent(uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut, uint64& iNext,
                   std::string& strError) override;
    int SearchNames(const std::string& strText, uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut,
                    uint64& iNext, std::string& strError) override;
    int FindMd4(const Md5Hash& oMd4, std::vector<rc_resource_t>& oOut, std::string& strError) override;
    // Opens the path again when it no longer names the file opened (also
    // after a reopen that failed). 0 when the store can be written.
    int Refresh(std::string& strError) override;
    // Indexes the names committed since the last call, a few hundred at a time.
    int Housekeep(bool& bMore, std::string& strError) override;
    // In RC_STORE_WRITE or RC_STORE_HEALTH, on a file of version 3.
    int ClaimDue(sint64 iNow, uint32 iLimit, sint64 iNextDue, std::vector<rc_check_job_t>& oOut,
                 std::string& strError) override;
    int RecordHealth(const std::vector<rc_check_result_t>& oResults, std::string& strError) override;
    int CountHealth(rc_health_counts_t& oCounts, std::string& strError) override;

private:
    int OpenOnce(std::string& strError);
    int HealthWritable(std::string& strError) const;
    int CheckSchema(std::string& strError);
    int ReadVersion(sint64& iVersion, sint64& iObjects, std::string& strError);
    int Upgrade(std::string& strError);
    int RaiseGeneration(std::string& strError);
    int ReadMeta(const char* pszKey, std::string& strValue, bool& bFound, std::string& strError);
    int Prepare(std::string& strError);
    int WriteBatch(const rc_store_batch_t& oBatch, std::vector<rc_report_outcome_t>& oOutcomes,
                   std::string& strError);
    int WriteOne(const rc_store_report_t& oItem, ERcStored& nResult, std::string& strError);
    int WriteTally(const rc_store_tally_t& oTally, std::string& strError);
    int Find(const char* pszWhere, const std::string& strKey, uint32 iLimit,
             const std::function<bool(const rc_resource_t&)>& fn, std::string& strError);
    int FindIn(const char* pszWhere, const std::string& strKey, uint32 iLimit,
               const std::function<bool(const rc_resource_t&)>& fn, std::string& strError);
    int ReadLocationsOf(rc_resource_t& oResource, sint64 iId, uint64 iAfter, uint32 iLimit, std::string& strError);
    // The SELECT ... FROM of a resource's columns for the file's version.
    std::string ResourceSelect() const;
    int Begin(std::string& strError);
    int Exec(const char* pszSql, std::string& strError);
    // Steps a prepared statement that returns no row, then resets it.
    int Step(sqlite3_stmt* pStmt, const char* pszWhat, std::string& strError);
    int SyncFull(std::string& strError);
    int Fail(int iCode, const std::string& strWhat, std::string& strError);
    void FinalizeAll();

    std::string m_strPath;
    ERcStoreMode m_nMode;
    sqlite3* m_pDb;
    sint64 m_iVersion;
    rc_file_id_t m_oFileId;
    std::string m_strStoreId;
    uint64 m_iGeneration;
    uint64 m_iPrevious;
    sqlite3_stmt* m_pFindId;
    sqlite3_stmt* m_pInsertResource;
    sqlite3_stmt* m_pInsertCount;
    sqlite3_stmt* m_pInsertLocation;
    sqlite3_stmt* m_pBumpId;
    sqlite3_stmt* m_pBumpFid;
    sqlite3_stmt* m_pSavepoint;
    sqlite3_stmt* m_pRelease;
    sqlite3_stmt* m_pRollbackTo;
    bool m_bSyncFull;  // synchronous = FULL holds on the handle
};

#endif
