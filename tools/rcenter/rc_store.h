// CRcStore: the resource center's store of record, one SQLite database file
// in WAL mode. A resource is one row keyed by its FID (SID and SHA-1
// indexed) with its piece table, first and last report time and report
// count; every URL it was reported from is one location row. Writes are
// grouped: Add queues reports, Commit writes them in one transaction synced
// to disk and only then gives each its outcome, so nothing is called stored
// before it is. Before each commit the path's device and inode are compared
// with the file opened; a database removed or replaced meanwhile is opened
// afresh at the path, never written into unseen.
// Errors: 0 or a positive errno value (SQLite's codes mapped by
// rc_store_errno), with the reason in strError. Owns its connection;
// single-threaded. Readers (RC_STORE_READ) may use the file while a writer does.
#ifndef ZQ_RC_STORE_H
#define ZQ_RC_STORE_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common_header.h"
#include "hashval.h"

struct sqlite3;
struct sqlite3_stmt;

enum : uint32 {
    // PRAGMA user_version of the schema this code reads and writes; a file of
    // a higher version is refused, never changed.
    RC_STORE_SCHEMA_VERSION = 1,
};

// One URL a resource was reported from, with the texts of that report.
struct rc_location_t {
    std::string Url;
    std::string FileName;
    std::string ExtName;
    std::string Ref;
    sint64 FirstSeen = 0;  // seconds since the epoch, UTC
};

// A stored resource: every field of the reported record, the piece table
// included, with its locations in the order they were first reported.
struct rc_resource_t {
    Sha1Hash FID;
    Sha1Hash SID;
    Sha1Hash Hash;  // SHA-1 of the whole file
    Md5Hash MD4;
    uint64 Size = 0;
    std::vector<unsigned char> Tpt;
    sint64 FirstSeen = 0;
    sint64 LastSeen = 0;
    uint64 Count = 0;  // reports of this FID answered accepted or already known
    std::vector<rc_location_t> Locations;
};

enum ERcStoreMode {
    RC_STORE_WRITE,  // creates the file (and its directories) and the schema when missing
    RC_STORE_READ,   // the file must exist and hold a store; nothing is written
};

// What a committed report did to the store.
enum ERcStored {
    RC_STORED_NEW,       // a FID not known before: the resource and its first location
    RC_STORED_LOCATION,  // a known FID from a new URL: one more location
    RC_STORED_KNOWN,     // this FID from this URL was there: count and last-seen time only
};

struct rc_store_counts_t {
    uint64 Resources = 0;
    uint64 Locations = 0;
    uint64 Reports = 0;  // the sum of the resources' counts
};

// The errno value for a SQLite result code on db (which may be null): the
// system's own error where SQLite saw one, otherwise the nearest value
// (SQLITE_FULL is ENOSPC, SQLITE_BUSY EBUSY, a damaged file EBADMSG...).
int rc_store_errno(sqlite3* pDb, int iCode);

class CRcStore {
public:
    CRcStore();
    ~CRcStore();
    CRcStore(const CRcStore&) = delete;
    CRcStore& operator=(const CRcStore&) = delete;

    // Opens strPath. A file of a newer schema, or one holding another
    // program's tables, is refused with ENOTSUP.
    int Open(const std::string& strPath, ERcStoreMode nMode, std::string& strError);
    void Close();
    bool IsOpen() const { return m_pDb != nullptr; }
    const std::string& GetPath() const { return m_strPath; }
    // A random id made with the database file: a file made afresh at the same
    // path has another one.
    const std::string& GetStoreId() const { return m_strStoreId; }

    // Queues a report received at iNow for the next Commit; returns its
    // place among the queued ones.
    size_t Add(rc_resource_t oResource, rc_location_t oWhere, sint64 iNow);
    // Counts a report the caller answered "already known" without asking
    // the store; written with the next transaction.
    void Tally(const Sha1Hash& oFid, sint64 iNow);
    size_t GetQueued() const { return m_oQueue.size(); }
    // Writes the queued reports and tallies in one transaction and syncs it.
    // 0: oResults holds each report's outcome, in the order added. Otherwise
    // nothing queued was written (tallies stay queued for the next try).
    // The queue of reports is empty afterwards either way.
    int Commit(std::vector<ERcStored>& oResults, std::string& strError);

    // Opens the path again when it no longer names the file opened (also
    // after a reopen that failed). 0 when the store can be written; Commit
    // and Remove call it first.
    int KeepNamed(std::string& strError);

    int FindFid(const Sha1Hash& oFid, std::vector<rc_resource_t>& oOut, std::string& strError);
    int FindSid(const Sha1Hash& oSid, std::vector<rc_resource_t>& oOut, std::string& strError);
    int FindSha1(const Sha1Hash& oHash, std::vector<rc_resource_t>& oOut, std::string& strError);
    // The iLimit resources first seen last, newest first.
    int FindRecent(uint32 iLimit, std::vector<rc_resource_t>& oOut, std::string& strError);
    // Calls fn for every location in the order they were stored, with its
    // resource (Locations left empty); fn returns false to stop.
    int ForEachLocation(const std::function<bool(const rc_resource_t&, const rc_location_t&)>& fn,
                        std::string& strError);
    int GetCounts(rc_store_counts_t& oCounts, std::string& strError);
    // Deletes the resource and its locations; *pRemoved (when not null) gets
    // what was deleted, so the caller can forget it elsewhere too.
    int Remove(const Sha1Hash& oFid, bool& bFound, rc_resource_t* pRemoved, std::string& strError);

private:
    struct stQueued {
        rc_resource_t Resource;
        rc_location_t Where;
        sint64 Now;
    };
    struct stTally {
        uint64 Count;
        sint64 LastSeen;
    };

    int OpenOnce(std::string& strError);
    int CheckSchema(std::string& strError);
    int ReadVersion(sint64& iVersion, sint64& iObjects, std::string& strError);
    int Prepare(std::string& strError);
    int WriteQueue(std::vector<ERcStored>& oResults, std::string& strError);
    int WriteOne(const stQueued& oItem, ERcStored& nResult, std::string& strError);
    int Find(const char* pszWhere, const std::string& strKey, uint32 iLimit, std::vector<rc_resource_t>& oOut,
             std::string& strError);
    int FindIn(const char* pszWhere, const std::string& strKey, uint32 iLimit, std::vector<rc_resource_t>& oOut,
               std::string& strError);
    int ReadLocations(rc_resource_t& oResource, sint64 iId, std::string& strError);
    int Exec(const char* pszSql, std::string& strError);
    int Fail(int iCode, const std::string& strWhat, std::string& strError);
    void FinalizeAll();

    std::string m_strPath;
    ERcStoreMode m_nMode;
    sqlite3* m_pDb;
    dev_t m_iDev;
    ino_t m_iIno;
    std::string m_strStoreId;
    sqlite3_stmt* m_pFindId;
    sqlite3_stmt* m_pInsertResource;
    sqlite3_stmt* m_pInsertLocation;
    sqlite3_stmt* m_pBumpId;
    sqlite3_stmt* m_pBumpFid;
    std::vector<stQueued> m_oQueue;
    std::unordered_map<std::string, stTally> m_oTallies;  // by FID in hex
};

#endif
