// CRcPgStore: the store of record in a PostgreSQL database that several
// centers share. A batch of reports is one transaction of one round trip
// (arrays unnested server-side, rows taken in FID order so concurrent
// batches cannot deadlock), retried on a serialization failure or deadlock;
// its outcomes are those one SQLite store would give, whichever center a
// report reached. A removal notifies every center in its own transaction.
// Every call (a reconnect and the retries included) waits at most the
// timeout it was made with; while the database is unreachable calls fail at
// once with the last errno and the connection is tried again with capped
// backoff. Errors: 0 or an errno value with the reason (the URL's password
// masked) in strError. One thread at a time; owns its connection.
#ifndef ZQ_RC_PG_STORE_H
#define ZQ_RC_PG_STORE_H

#include <functional>
#include <string>
#include <vector>

#include "common_header.h"
#include "hashval.h"
#include "rc_pg_conn.h"
#include "rc_store.h"

class CRcPgStore : public CRcStore {
public:
    enum : uint32 {
        // Backoff between connection attempts while the database is away.
        RECONNECT_FIRST_MS = 100,
        RECONNECT_MAX_MS = 2000,
        // Tries of a batch that met a serialization failure or a deadlock.
        MAX_TRIES = 4,
        // Bytes of one notification's payload (the server takes < 8000).
        NOTIFY_PAYLOAD_MAX = 7900,
    };

    // strUrl: a libpq connection string or URI; every call waits at most
    // iTimeoutMs for the database.
    CRcPgStore(const std::string& strUrl, uint32 iTimeoutMs);
    ~CRcPgStore() override;
    CRcPgStore(const CRcPgStore&) = delete;
    CRcPgStore& operator=(const CRcPgStore&) = delete;

    // Connects and, for writing, brings the schema up to date, raises the
    // generation and listens for removals. The first connection must
    // succeed; later losses are reconnected.
    int Open(ERcStoreMode nMode, std::string& strError) override;
    void Close() override;
    bool IsOpen() const override { return m_bOpened; }
    std::string Describe() const override { return m_strMasked; }
    rc_store_identity_t GetIdentity() const override { return m_oIdentity; }

    // A batch fails or succeeds whole: no statement of it fails for one
    // report alone. A report whose resource another center removed under
    // the batch is written again in a transaction of its own.
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
    int ListRecent(uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut, uint64& iNext,
                   std::string& strError) override;
    // From the trigram index of the names (pg_trgm); the text must be UTF-8.
    int SearchNames(const std::string& strText, uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut,
                    uint64& iNext, std::string& strError) override;
    int FindMd4(const Md5Hash& oMd4, std::vector<rc_resource_t>& oOut, std::string& strError) override;
    // Claims with FOR UPDATE SKIP LOCKED, so centers sharing the database
    // split the due locations between them.
    int ClaimDue(sint64 iNow, uint32 iLimit, sint64 iNextDue, std::vector<rc_check_job_t>& oOut,
                 std::string& strError) override;
    int RecordHealth(const std::vector<rc_check_result_t>& oResults, std::string& strError) override;
    int CountHealth(rc_health_counts_t& oCounts, std::string& strError) override;

    // Connects again when the connection is gone and the backoff has run
    // out. The loss and the return are logged once each, here, so while
    // the database is away this is 0 and only the calls fail.
    int Refresh(std::string& strError) override;
    // The connection's socket: readable when removals made elsewhere were
    // notified (or the connection broke). -1 while there is none.
    int EventFd() const override { return m_oConn.Socket(); }
    void TakeForgets(std::vector<rc_store_forget_t>& oForgets, bool& bAll) override;

private:
    int Connect(std::string& strError);
    int KeepConnected(std::string& strError);
    void LostConnection(int iErr, const std::string& strError);
    int Run(const std::vector<rc_pg_query_t>& oQueries, std::vector<CRcPgResult>& oResults, std::string& strError);
    // Writes the reports listed in oItems once (the tallies too when
    // bTallies); oRetry gets those whose resource vanished under the batch.
    int WriteOnce(const rc_store_batch_t& oBatch, const std::vector<size_t>& oItems, bool bTallies,
                  std::vector<rc_report_outcome_t>& oOutcomes, std::vector<size_t>& oRetry, std::string& strError);
    // A page of entries from strSql ($1 the id to stay below, $2 how many,
    // $3 on the caller's own).
    int List(const std::string& strSql, const std::string* pParam, uint32 iLimit, uint64 iAfter,
             std::vector<rc_resource_entry_t>& oOut, uint64& iNext, std::string& strError);
    int Find(const std::string& strWhere, const std::vector<std::string>& oParams, std::vector<rc_resource_t>& oOut,
             std::string& strError);
    bool Writable(std::string& strError) const;
    bool HealthWritable(std::string& strError) const;

    CRcPgConn m_oConn;
    std::string m_strUrl;
    std::string m_strMasked;
    uint32 m_iTimeoutMs;
    ERcStoreMode m_nMode;
    bool m_bOpened;
    rc_store_identity_t m_oIdentity;
    // While disconnected: the failure the calls answer with, when the next
    // attempt may be made and the wait after it.
    int m_iDownErr;
    std::string m_strDownError;
    sint64 m_iNextTryMs;
    uint32 m_iBackoffMs;
    sint64 m_iDownSinceMs;
    bool m_bForgetAll;
};

#endif
