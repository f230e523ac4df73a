// CRcPgStore: the store of record in a PostgreSQL database that several
// centers share. A batch of reports is one transaction of one round trip
// (arrays unnested server-side, rows taken in FID order so concurrent
// batches cannot deadlock), retried on a serialization failure or deadlock;
// its outcomes are those one SQLite store would give, whichever center a
// report reached. A removal notifies every center in its own transaction.
// Every call waits at most the timeout given to Open; while the database is
// unreachable calls fail at once with the last errno and the connection is
// tried again with capped backoff. Errors: 0 or an errno value with the
// reason (the URL's password masked) in strError. Single-threaded.
#ifndef ZQ_RC_PG_STORE_H
#define ZQ_RC_PG_STORE_H

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common_header.h"
#include "hashval.h"
#include "rc_pg_conn.h"
#include "rc_store.h"

class CRcPgStore {
public:
    enum : uint32 {
        // Backoff between connection attempts while the database is away.
        RECONNECT_FIRST_MS = 100,
        RECONNECT_MAX_MS = 2000,
        // Tries of a batch that met a serialization failure or a deadlock.
        MAX_TRIES = 4,
        // Locations per read transaction of ForEachLocation.
        EXPORT_PAGE = 1000,
    };

    CRcPgStore();
    CRcPgStore(const CRcPgStore&) = delete;
    CRcPgStore& operator=(const CRcPgStore&) = delete;

    // Connects to strUrl and, for writing, brings its schema up to date and
    // listens for removals. The first connection must succeed; later losses
    // are reconnected.
    int Open(const std::string& strUrl, ERcStoreMode nMode, uint32 iTimeoutMs, std::string& strError);
    void Close();
    bool IsOpen() const { return m_bOpened; }
    const std::string& GetMaskedUrl() const { return m_strMasked; }
    const std::string& GetStoreId() const { return m_strStoreId; }

    size_t Add(rc_resource_t oResource, rc_location_t oWhere, sint64 iNow);
    void Tally(const Sha1Hash& oFid, sint64 iNow);
    size_t GetQueued() const { return m_oQueue.size(); }
    // As CRcStore::Commit: 0 and each report's outcome in the order added,
    // or nothing written (tallies kept for the next try). The queue is empty
    // afterwards either way.
    int Commit(std::vector<ERcStored>& oResults, std::string& strError);

    int FindFid(const Sha1Hash& oFid, std::vector<rc_resource_t>& oOut, std::string& strError);
    int FindSid(const Sha1Hash& oSid, std::vector<rc_resource_t>& oOut, std::string& strError);
    int FindSha1(const Sha1Hash& oHash, std::vector<rc_resource_t>& oOut, std::string& strError);
    int FindRecent(uint32 iLimit, std::vector<rc_resource_t>& oOut, std::string& strError);
    int ForEachLocation(const std::function<bool(const rc_resource_t&, const rc_location_t&)>& fn,
                        std::string& strError);
    int GetCounts(rc_store_counts_t& oCounts, std::string& strError);
    int Remove(const Sha1Hash& oFid, bool& bFound, rc_resource_t* pRemoved, std::string& strError);

    // The socket to watch for removals made elsewhere (-1 while there is no
    // connection), and the FIDs they removed. bAll is set when the cache
    // must forget everything: the connection was lost and notifications may
    // have been missed.
    int GetNotifyFd() const { return m_oConn.Socket(); }
    int TakeForgotten(std::vector<Sha1Hash>& oFids, bool& bAll, std::string& strError);

    // Connects again when the connection is gone and the backoff has run
    // out; 0 when connected. Every call makes it first.
    int KeepConnected(std::string& strError);

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

    int Connect(std::string& strError);
    void LostConnection(int iErr, const std::string& strError);
    int Run(const std::vector<stRcPgQuery>& oQueries, std::vector<CRcPgResult>& oResults, std::string& strError);
    // Writes the reports listed in oItems (indexes into m_oQueue) once;
    // oRetry gets those whose resource vanished under the batch.
    int WriteOnce(const std::vector<size_t>& oItems, bool bTallies, std::vector<ERcStored>& oResults,
                  std::vector<size_t>& oRetry, std::string& strError);
    int Find(const std::string& strWhere, const std::vector<std::string>& oParams, std::vector<rc_resource_t>& oOut,
             std::string& strError);

    CRcPgConn m_oConn;
    std::string m_strUrl;
    std::string m_strMasked;
    ERcStoreMode m_nMode;
    uint32 m_iTimeoutMs;
    bool m_bOpened;
    std::string m_strStoreId;
    // While disconnected: the failure the calls answer with, when the next
    // attempt may be made and the wait after it.
    int m_iDownErr;
    std::string m_strDownError;
    sint64 m_iNextTryMs;
    uint32 m_iBackoffMs;
    sint64 m_iDownSinceMs;
    bool m_bForgetAll;
    std::vector<stQueued> m_oQueue;
    std::unordered_map<std::string, stTally> m_oTallies;  // by FID in hex
};

#endif
