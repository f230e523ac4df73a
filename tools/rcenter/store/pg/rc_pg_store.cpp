#include "rc_pg_store.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include "rc_pg_schema.h"
#include "str_util.h"
#include "svr_log.h"

namespace {

sint64 NowMs() { return CRcPgConn::NowMs(); }

// One bound for a whole call of the store (a reconnect, the migration, a
// batch and its retries): the report waiting on it is answered within it.
class CCallBound {
public:
    CCallBound(CRcPgConn& oConn, uint32 iTimeoutMs) : m_oConn(oConn) {
        m_oConn.SetCallDeadline(CRcPgConn::NowMs() + iTimeoutMs);
    }
    ~CCallBound() { m_oConn.SetCallDeadline(0); }
    CCallBound(const CCallBound&) = delete;
    CCallBound& operator=(const CCallBound&) = delete;

private:
    CRcPgConn& m_oConn;
};

std::string ToHex(const void* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    const unsigned char* b = static_cast<const unsigned char*>(p);
    std::string s(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = kDigits[b[i] >> 4];
        s[2 * i + 1] = kDigits[b[i] & 15];
    }
    return s;
}
std::string ToHex(const std::string& s) { return ToHex(s.data(), s.size()); }

std::string FromHex(const std::string& s) {
    std::string out(s.size() / 2, '\0');
    if (BinBufFromHexExact(reinterpret_cast<unsigned char*>(&out[0]), out.size(), s.data(), s.size()) != 0)
        return std::string();
    return out;
}

template <int N>
void HashFromHex(const std::string& s, HashVal<N>& oHash) {
    if (BinBufFromHexExact(oHash.cVal, sizeof(oHash.cVal), s.data(), s.size()) != 0) oHash = HashVal<N>();
}

// An array literal of hex digits or numbers: only the empty text (a file
// without an extension) needs quoting.
class CArray {
public:
    void Add(const std::string& s) {
        m_s += m_s.empty() ? "{" : ",";
        m_s += s.empty() ? std::string("\"\"") : s;
    }
    void Add(sint64 i) { Add(std::to_string(i)); }
    std::string Text() const { return m_s.empty() ? "{}" : m_s + "}"; }

private:
    std::string m_s;
};

const char* const kResourceColumns =
    "r.id, r.fid, r.sid, r.sha1, r.md4, r.size, encode(r.tpt, 'hex'), r.first_seen, r.last_seen, r.report_count";
const int kResourceColumnCount = 10;
// A location's columns, its health's included: the FROM must name
// "zq_rc_location l" joined to "zq_rc_health h" (kLocationFrom).
const char* const kLocationColumns =
    "l.id, encode(l.url, 'hex'), encode(l.file, 'hex'), encode(l.ext, 'hex'), encode(l.ref, 'hex'), l.first_seen,"
    " coalesce(h.state, 0), coalesce(h.checked_at, 0), coalesce(h.ok_at, 0), coalesce(h.failures, 0),"
    " coalesce(h.latency_ms, 0), coalesce(h.ranges, -1)";
#define RC_PG_LOCATION_FROM "zq_rc_location l LEFT JOIN zq_rc_health h ON h.location_id = l.id"
const char* const kHealthColumns = "h.state, h.checked_at, h.ok_at, h.failures, h.latency_ms, h.ranges";

// Reads kHealthColumns (from iFirst on), as the store keeps them.
rc_health_t ReadHealth(const CRcPgResult& r, int iRow, int iFirst) {
    rc_health_t oHealth;
    sint64 iState = r.Int(iRow, iFirst);
    oHealth.State = iState >= 0 && iState < RC_HEALTH_STATES ? static_cast<ERcHealthState>(iState)
                                                              : RC_HEALTH_UNCHECKED;
    oHealth.CheckedAt = r.Int(iRow, iFirst + 1);
    oHealth.OkAt = r.Int(iRow, iFirst + 2);
    oHealth.Failures = static_cast<uint32>(std::max<sint64>(0, r.Int(iRow, iFirst + 3)));
    oHealth.LatencyMs = static_cast<uint32>(std::max<sint64>(0, r.Int(iRow, iFirst + 4)));
    sint64 iRanges = r.Int(iRow, iFirst + 5);
    oHealth.Ranges = iRanges == 1 ? RC_RANGES_YES : iRanges == 0 ? RC_RANGES_NO : RC_RANGES_UNKNOWN;
    return oHealth;
}

// Reads the columns of kResourceColumns (from iFirst on); returns the id.
sint64 ReadResource(const CRcPgResult& r, int iRow, int iFirst, rc_resource_t& oRes) {
    HashFromHex(r.Text(iRow, iFirst + 1), oRes.FID);
    HashFromHex(r.Text(iRow, iFirst + 2), oRes.SID);
    HashFromHex(r.Text(iRow, iFirst + 3), oRes.Hash);
    HashFromHex(r.Text(iRow, iFirst + 4), oRes.MD4);
    oRes.Size = static_cast<uint64>(r.Int(iRow, iFirst + 5));
    std::string strTpt = FromHex(r.Text(iRow, iFirst + 6));
    oRes.Tpt.assign(strTpt.begin(), strTpt.end());
    oRes.FirstSeen = r.Int(iRow, iFirst + 7);
    oRes.LastSeen = r.Int(iRow, iFirst + 8);
    oRes.Count = static_cast<uint64>(r.Int(iRow, iFirst + 9));
    return r.Int(iRow, iFirst);
}

// Reads the columns of kLocationColumns (from iFirst on).
rc_location_t ReadLocation(const CRcPgResult& r, int iRow, int iFirst) {
    rc_location_t oLoc;
    oLoc.Id = static_cast<uint64>(r.Int(iRow, iFirst));
    oLoc.Url = FromHex(r.Text(iRow, iFirst + 1));
    oLoc.FileName = FromHex(r.Text(iRow, iFirst + 2));
    oLoc.ExtName = FromHex(r.Text(iRow, iFirst + 3));
    oLoc.Ref = FromHex(r.Text(iRow, iFirst + 4));
    oLoc.FirstSeen = r.Int(iRow, iFirst + 5);
    oLoc.Health = ReadHealth(r, iRow, iFirst + 6);
    return oLoc;
}

// A removal's notifications: the FID and the URLs of its locations in hex,
// as many as fit in each payload. A URL too long for any payload makes the
// receivers forget everything ("<fid> *"), as they cannot be told it.
std::vector<std::string> ForgetPayloads(const std::string& strFid, const std::vector<rc_location_t>& oLocations,
                                        size_t iMax) {
    std::vector<std::string> oOut;
    std::string strCur = strFid;
    for (const rc_location_t& oLoc : oLocations) {
        std::string strUrl = ToHex(oLoc.Url);
        if (strFid.size() + 1 + strUrl.size() > iMax) return {strFid + " *"};
        if (strCur.size() + 1 + strUrl.size() > iMax) {
            oOut.push_back(strCur);
            strCur = strFid;
        }
        strCur += " " + strUrl;
    }
    oOut.push_back(strCur);
    return oOut;
}

// A batch is four statements, each taking the rows it writes in FID order,
// so two batches that share FIDs meet them in the same order and wait for
// each other rather than deadlock.
// New resources come in with the batch's whole count. Their ids are drawn
// in the order the reports arrived (recency is by id) before the rows are
// inserted in FID order: the sequence is read in a subquery of its own,
// which the planner keeps apart because nextval is volatile.
const char* const kInsertResources =
    "INSERT INTO zq_rc_resource (id, fid, sid, sha1, md4, size, tpt, first_seen, last_seen, report_count)"
    " SELECT s.id, s.fid, s.sid, s.sha1, s.md4, s.size, decode(s.tpt, 'hex'), s.t, s.last, s.n"
    " FROM (SELECT nextval('zq_rc_resource_id_seq') AS id, o.* FROM"
    " (SELECT * FROM unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::bigint[], $6::text[], $7::bigint[],"
    " $8::bigint[], $9::bigint[]) WITH ORDINALITY AS u(fid, sid, sha1, md4, size, tpt, t, last, n, arrival)"
    " ORDER BY u.arrival) AS o) AS s"
    " ORDER BY s.fid"
    " ON CONFLICT (fid) DO NOTHING RETURNING fid";
// Every resource of the batch, locked in FID order before any is changed:
// the update's own order depends on its plan, which differs with the
// batch's size.
const char* const kLockResources =
    "SELECT 1 FROM zq_rc_resource WHERE fid = ANY($1::text[]) ORDER BY fid FOR NO KEY UPDATE";
// Location ids too are drawn in arrival order (the export and the pages
// follow them) before the rows go in FID order. Each resource id is looked
// up by its FID on its own: joined instead, the planner hashed a scan of
// the whole resource table for every batch (seen at thousands of rows),
// three times slower than the look-ups.
// (OFFSET 0 keeps the filter on the id from being pushed down into a
// second look-up.)
const char* const kInsertLocations =
    "INSERT INTO zq_rc_location (id, resource_id, url, file, ext, ref, first_seen)"
    " SELECT s.id, s.rid, decode(s.url, 'hex'), decode(s.file, 'hex'), decode(s.ext, 'hex'), decode(s.ref, 'hex'), s.t"
    " FROM (SELECT nextval('zq_rc_location_id_seq') AS id, o.* FROM"
    " (SELECT * FROM (SELECT u.*, (SELECT r.id FROM zq_rc_resource r WHERE r.fid = u.fid) AS rid"
    " FROM unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::text[], $6::bigint[])"
    " WITH ORDINALITY AS u(fid, url, file, ext, ref, t, arrival) OFFSET 0) AS k WHERE k.rid IS NOT NULL"
    " ORDER BY k.arrival) AS o) AS s"
    " ORDER BY s.fid, s.arrival"
    " ON CONFLICT (resource_id, sha256(url)) DO NOTHING"
    " RETURNING (SELECT fid FROM zq_rc_resource WHERE id = resource_id), encode(url, 'hex')";
// The resources this transaction inserted already hold their count: rows
// whose xmin is our own transaction are left out. (An old row whose raw
// xmin matches ours after wraparound is left out too; its report then
// looks removed under the batch and is written again by the next try.)
const char* const kCount =
    "UPDATE zq_rc_resource r SET report_count = r.report_count + u.n, last_seen = greatest(r.last_seen, u.t)"
    " FROM (SELECT * FROM unnest($1::text[], $2::bigint[], $3::bigint[]) AS c(fid, n, t) ORDER BY c.fid) AS u"
    " WHERE r.fid = u.fid AND r.xmin <> pg_current_xact_id()::xid RETURNING r.fid";

}  // namespace

CRcPgStore::CRcPgStore(const std::string& strUrl, uint32 iTimeoutMs)
    : m_strUrl(strUrl),
      m_strMasked(rc_pg_mask(strUrl)),
      m_iTimeoutMs(iTimeoutMs),
      m_nMode(RC_STORE_READ),
      m_bOpened(false),
      m_iDownErr(0),
      m_iNextTryMs(0),
      m_iBackoffMs(RECONNECT_FIRST_MS),
      m_iDownSinceMs(0),
      m_bForgetAll(false) {}

CRcPgStore::~CRcPgStore() { Close(); }

int CRcPgStore::Open(ERcStoreMode nMode, std::string& strError) {
    Close();
    m_nMode = nMode;
    int iErr = Connect(strError);
    if (iErr != 0) return iErr;
    m_bOpened = true;
    LOG_INFO("store: %s, schema version %u, generation %llu", m_strMasked.c_str(), RC_PG_SCHEMA_VERSION,
             static_cast<unsigned long long>(m_oIdentity.Generation));
    return 0;
}

void CRcPgStore::Close() {
    m_oConn.Close();
    m_bOpened = false;
    m_oIdentity = rc_store_identity_t();
    m_iDownErr = 0;
    m_iBackoffMs = RECONNECT_FIRST_MS;
    m_bForgetAll = false;
}

bool CRcPgStore::Writable(std::string& strError) const {
    if (m_nMode == RC_STORE_WRITE) return true;
    strError = m_strMasked + (m_nMode == RC_STORE_HEALTH ? ": opened for the checks only" : ": opened for reading");
    return false;
}

bool CRcPgStore::HealthWritable(std::string& strError) const {
    if (m_nMode != RC_STORE_READ) return true;
    strError = m_strMasked + ": opened for reading";
    return false;
}

// A reconnect runs the migration again: it is what tells a database made
// afresh at the same address (no tables, or another store id).
int CRcPgStore::Connect(std::string& strError) {
    int iErr = m_oConn.Connect(m_strUrl, m_iTimeoutMs, strError);
    rc_store_identity_t oIdentity;
    if (iErr == 0) {
        iErr = m_nMode == RC_STORE_WRITE ? rc_pg_migrate(m_oConn, oIdentity, strError)
                                         : rc_pg_check(m_oConn, oIdentity, strError);
        if (iErr != 0 && strError.compare(0, m_strMasked.size(), m_strMasked) != 0)
            strError = m_strMasked + ": " + strError;
    }
    // A generic plan cannot see how many FIDs an array holds and scans the
    // whole table for them; the statements stay prepared (parsed once) but
    // are planned for each batch.
    if (iErr == 0) {
        CRcPgResult oIgnored;
        iErr = m_oConn.Exec("SET plan_cache_mode = force_custom_plan", {}, oIgnored, strError);
    }
    if (iErr == 0 && m_nMode == RC_STORE_WRITE) {
        CRcPgResult oIgnored;
        iErr = m_oConn.Exec(std::string("LISTEN ") + RC_PG_FORGET_CHANNEL, {}, oIgnored, strError);
    }
    if (iErr != 0) {
        m_oConn.Close();
        return iErr;
    }
    if (m_bOpened && oIdentity.Id != m_oIdentity.Id) {
        LOG_WARN("store: %s now holds another store (id %s, was %s)", m_strMasked.c_str(), oIdentity.Id.c_str(),
                 m_oIdentity.Id.c_str());
        m_oIdentity = oIdentity;
    } else if (!m_bOpened) {
        m_oIdentity = oIdentity;
    }
    return 0;
}

void CRcPgStore::LostConnection(int iErr, const std::string& strError) {
    if (m_iDownErr == 0) {
        LOG_ERR("store: the database is unreachable; reports are refused until it is back: %s", strError.c_str());
        m_iDownSinceMs = NowMs();
        m_iBackoffMs = RECONNECT_FIRST_MS;
    }
    m_iDownErr = iErr;
    m_strDownError = strError;
    m_iNextTryMs = NowMs() + m_iBackoffMs;
    m_iBackoffMs = std::min<uint32>(m_iBackoffMs * 2, RECONNECT_MAX_MS);
}

int CRcPgStore::KeepConnected(std::string& strError) {
    if (!m_bOpened) {
        strError = m_strMasked + ": not open";
        return EBADF;
    }
    if (m_oConn.IsOpen()) return 0;
    if (m_iDownErr != 0 && NowMs() < m_iNextTryMs) {
        strError = m_strDownError;
        return m_iDownErr;
    }
    int iErr = Connect(strError);
    if (iErr != 0) {
        LostConnection(iErr, strError);
        return iErr;
    }
    if (m_iDownErr != 0)
        LOG_WARN("store: %s is reachable again after %lld ms", m_strMasked.c_str(),
                 static_cast<long long>(NowMs() - m_iDownSinceMs));
    m_iDownErr = 0;
    // Removals notified while the connection was down were lost with it.
    m_bForgetAll = true;
    return 0;
}

int CRcPgStore::Refresh(std::string&) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    std::string strLogged;
    KeepConnected(strLogged);
    return 0;
}

int CRcPgStore::Run(const std::vector<rc_pg_query_t>& oQueries, std::vector<CRcPgResult>& oResults,
                    std::string& strError) {
    int iErr = KeepConnected(strError);
    if (iErr != 0) return iErr;
    iErr = m_oConn.Run(oQueries, oResults, strError);
    if (iErr == 0) return 0;
    if (!m_oConn.IsOpen()) {
        LostConnection(iErr, strError);
    } else if (!oQueries.empty() && oQueries.front().strSql.compare(0, 5, "BEGIN") == 0) {
        // A failed transaction stays open, refusing everything, until ended.
        std::vector<CRcPgResult> oIgnored;
        std::string strIgnored;
        if (m_oConn.Run({{"ROLLBACK", {}}}, oIgnored, strIgnored) != 0 && !m_oConn.IsOpen())
            LostConnection(iErr, strError);
    }
    return iErr;
}

int CRcPgStore::Commit(const rc_store_batch_t& oBatch, std::vector<rc_report_outcome_t>& oOutcomes,
                       std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    oOutcomes.clear();
    if (!Writable(strError)) return EBADF;
    if (oBatch.Reports.empty() && oBatch.Tallies.empty()) return 0;
    std::vector<rc_report_outcome_t> oResults(oBatch.Reports.size());
    std::vector<size_t> oItems(oBatch.Reports.size());
    for (size_t i = 0; i < oItems.size(); ++i) oItems[i] = i;
    bool bTallies = !oBatch.Tallies.empty();
    for (uint32 iTry = 1; bTallies || !oItems.empty(); ++iTry) {
        std::vector<size_t> oRetry;
        int iErr = WriteOnce(oBatch, oItems, bTallies, oResults, oRetry, strError);
        if (iErr == 0) {
            bTallies = false;
            oItems.swap(oRetry);
            if (oItems.empty()) break;
        }
        bool bConflict = iErr == 0 || m_oConn.SqlState() == "40001" || m_oConn.SqlState() == "40P01";
        if (!bConflict) return iErr;
        if (iTry >= MAX_TRIES) {
            if (iErr != 0) return iErr;
            // Removed under every try: those reports were not stored.
            for (size_t i : oItems) {
                oResults[i].Errno = EAGAIN;
                oResults[i].Error = m_strMasked + ": its resource was removed under every try";
            }
            break;
        }
        if (iErr != 0) LOG_WARN("store: %s; trying the batch again", strError.c_str());
    }
    oOutcomes.swap(oResults);
    return 0;
}

int CRcPgStore::WriteOnce(const rc_store_batch_t& oBatch, const std::vector<size_t>& oItems, bool bTallies,
                          std::vector<rc_report_outcome_t>& oOutcomes, std::vector<size_t>& oRetry,
                          std::string& strError) {
    // The first report of each FID stands for the resource; one of each FID
    // and URL for the location. Every report is counted.
    std::map<std::string, size_t> oFirstOfFid;
    std::set<std::pair<std::string, std::string> > oPairs;
    std::map<std::string, std::pair<sint64, sint64> > oCounts;  // fid -> (reports, last seen)
    CArray aLocFid, aUrl, aFile, aExt, aRef, aLocTime;
    for (size_t i : oItems) {
        const rc_store_report_t& q = oBatch.Reports[i];
        std::string strFid = q.Resource.FID.Hex();
        oFirstOfFid.emplace(strFid, i);
        std::string strUrl = ToHex(q.Where.Url);
        if (oPairs.emplace(strFid, strUrl).second) {
            aLocFid.Add(strFid);
            aUrl.Add(strUrl);
            aFile.Add(ToHex(q.Where.FileName));
            aExt.Add(ToHex(q.Where.ExtName));
            aRef.Add(ToHex(q.Where.Ref));
            aLocTime.Add(q.Now);
        }
        std::pair<sint64, sint64>& c = oCounts.emplace(strFid, std::make_pair(0, q.Now)).first->second;
        ++c.first;
        c.second = std::max(c.second, q.Now);
    }
    std::set<std::string> oTallied;
    if (bTallies) {
        for (const rc_store_tally_t& t : oBatch.Tallies) {
            std::string strFid = t.FID.Hex();
            oTallied.insert(strFid);
            std::pair<sint64, sint64>& c = oCounts.emplace(strFid, std::make_pair(0, t.LastSeen)).first->second;
            c.first += static_cast<sint64>(t.Count);
            c.second = std::max(c.second, t.LastSeen);
        }
    }
    std::vector<std::pair<size_t, std::string> > oArrival;
    for (const auto& f : oFirstOfFid) oArrival.emplace_back(f.second, f.first);
    std::sort(oArrival.begin(), oArrival.end());
    CArray aFid, aSid, aSha1, aMd4, aSize, aTpt, aTime, aLastNew, aCountNew;
    for (const auto& f : oArrival) {
        const rc_store_report_t& q = oBatch.Reports[f.first];
        const std::pair<sint64, sint64>& c = oCounts[f.second];
        aFid.Add(f.second);
        aSid.Add(q.Resource.SID.Hex());
        aSha1.Add(q.Resource.Hash.Hex());
        aMd4.Add(q.Resource.MD4.Hex());
        aSize.Add(static_cast<sint64>(q.Resource.Size));
        aTpt.Add(ToHex(q.Resource.Tpt.data(), q.Resource.Tpt.size()));
        aTime.Add(q.Now);
        aLastNew.Add(c.second);
        aCountNew.Add(c.first);
    }
    CArray aCountFid, aN, aLast;
    for (const auto& c : oCounts) {
        aCountFid.Add(c.first);
        aN.Add(c.second.first);
        aLast.Add(c.second.second);
    }
    std::vector<CRcPgResult> oOut;
    int iErr = Run({{"BEGIN", {}, ""},
                    {kInsertResources,
                     {aFid.Text(), aSid.Text(), aSha1.Text(), aMd4.Text(), aSize.Text(), aTpt.Text(), aTime.Text(),
                      aLastNew.Text(), aCountNew.Text()},
                     "zq_rc_insert_resources"},
                    {kLockResources, {aCountFid.Text()}, "zq_rc_lock_resources"},
                    {kInsertLocations,
                     {aLocFid.Text(), aUrl.Text(), aFile.Text(), aExt.Text(), aRef.Text(), aLocTime.Text()},
                     "zq_rc_insert_locations"},
                    {kCount, {aCountFid.Text(), aN.Text(), aLast.Text()}, "zq_rc_count"},
                    {"COMMIT", {}, ""}},
                   oOut, strError);
    if (iErr != 0) return iErr;
    std::set<std::string> oNewFids;
    for (int r = 0; r < oOut[1].Rows(); ++r) oNewFids.insert(oOut[1].Text(r, 0));
    std::set<std::pair<std::string, std::string> > oNewLocs;
    for (int r = 0; r < oOut[3].Rows(); ++r) oNewLocs.emplace(oOut[3].Text(r, 0), oOut[3].Text(r, 1));
    std::set<std::string> oCounted(oNewFids);
    for (int r = 0; r < oOut[4].Rows(); ++r) oCounted.insert(oOut[4].Text(r, 0));

    std::set<std::string> oSeen;
    for (size_t i : oItems) {
        const rc_store_report_t& q = oBatch.Reports[i];
        std::string strFid = q.Resource.FID.Hex();
        if (oCounted.count(strFid) == 0) {
            // Removed by another center between our insert and our count:
            // nothing of it was written, so it goes again.
            oRetry.push_back(i);
            continue;
        }
        bool bFirst = oSeen.insert(strFid).second;
        bool bNewLoc = oNewLocs.erase(std::make_pair(strFid, ToHex(q.Where.Url))) > 0;
        oOutcomes[i].Errno = 0;
        if (bFirst && oNewFids.count(strFid) > 0) {
            oOutcomes[i].Stored = RC_STORED_NEW;
        } else {
            oOutcomes[i].Stored = bNewLoc ? RC_STORED_LOCATION : RC_STORED_KNOWN;
        }
    }
    for (const std::string& strFid : oTallied)
        if (oCounted.count(strFid) == 0 && oFirstOfFid.count(strFid) == 0)
            LOG_ERR("store: repeats of fid=%s not counted: no such resource any more", strFid.c_str());
    return 0;
}

int CRcPgStore::Find(const std::string& strWhere, const std::vector<std::string>& oParams,
                     std::vector<rc_resource_t>& oOut, std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    oOut.clear();
    std::string strResources = std::string("SELECT ") + kResourceColumns + " FROM zq_rc_resource r " + strWhere;
    std::string strLocations = std::string("SELECT l.resource_id, ") + kLocationColumns +
                               " FROM " RC_PG_LOCATION_FROM " WHERE l.resource_id IN (SELECT id FROM (" + strResources +
                               ") AS found) ORDER BY l.resource_id, l.id";
    // One snapshot for the resources and their locations.
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{"BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {}},
                    {strResources, oParams},
                    {strLocations, oParams},
                    {"COMMIT", {}}},
                   oRes, strError);
    if (iErr != 0) return iErr;
    std::unordered_map<sint64, size_t> oAt;
    for (int r = 0; r < oRes[1].Rows(); ++r) {
        oOut.emplace_back();
        oAt[ReadResource(oRes[1], r, 0, oOut.back())] = oOut.size() - 1;
    }
    for (int r = 0; r < oRes[2].Rows(); ++r) {
        auto it = oAt.find(oRes[2].Int(r, 0));
        if (it != oAt.end()) oOut[it->second].Locations.push_back(ReadLocation(oRes[2], r, 1));
    }
    return 0;
}

int CRcPgStore::FindFid(const Sha1Hash& oFid, std::vector<rc_resource_t>& oOut, std::string& strError) {
    return Find("WHERE r.fid = $1", {oFid.Hex()}, oOut, strError);
}

int CRcPgStore::FindSid(const Sha1Hash& oSid, std::vector<rc_resource_t>& oOut, std::string& strError) {
    return Find("WHERE r.sid = $1 ORDER BY r.id", {oSid.Hex()}, oOut, strError);
}

int CRcPgStore::FindSha1(const Sha1Hash& oHash, std::vector<rc_resource_t>& oOut, std::string& strError) {
    return Find("WHERE r.sha1 = $1 ORDER BY r.id", {oHash.Hex()}, oOut, strError);
}

int CRcPgStore::FindFidPage(const Sha1Hash& oFid, uint32 iLimit, uint64 iAfter, rc_resource_t& oOut, bool& bFound,
                            uint64& iNext, std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    bFound = false;
    iNext = 0;
    if (iLimit == 0 || iLimit > RC_STORE_PAGE_MAX) {
        strError = "a page holds 1 to " + std::to_string(RC_STORE_PAGE_MAX) + " locations";
        return EINVAL;
    }
    // One more than the page, to tell whether another follows.
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{"BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {}},
                    {std::string("SELECT ") + kResourceColumns + " FROM zq_rc_resource r WHERE r.fid = $1",
                     {oFid.Hex()}},
                    {std::string("SELECT l.resource_id, ") + kLocationColumns +
                         " FROM " RC_PG_LOCATION_FROM " JOIN zq_rc_resource r ON r.id = l.resource_id"
                         " WHERE r.fid = $1 AND l.id > $2 ORDER BY l.id LIMIT $3",
                     {oFid.Hex(), std::to_string(iAfter), std::to_string(iLimit + 1)}},
                    {"COMMIT", {}}},
                   oRes, strError);
    if (iErr != 0 || oRes[1].Rows() == 0) return iErr;
    oOut = rc_resource_t();
    ReadResource(oRes[1], 0, 0, oOut);
    for (int r = 0; r < oRes[2].Rows() && r < static_cast<int>(iLimit); ++r)
        oOut.Locations.push_back(ReadLocation(oRes[2], r, 1));
    if (oRes[2].Rows() > static_cast<int>(iLimit)) iNext = oOut.Locations.back().Id;
    bFound = true;
    return 0;
}

int CRcPgStore::FindRecent(uint32 iLimit, const std::function<bool(const rc_resource_t&)>& fn,
                           std::string& strError) {
    if (iLimit == 0 || iLimit > RC_STORE_RECENT_MAX) {
        strError = "the most recent 1 to " + std::to_string(RC_STORE_RECENT_MAX) + " resources";
        return EINVAL;
    }
    std::vector<rc_resource_t> oFound;
    int iErr = Find("ORDER BY r.id DESC LIMIT $1", {std::to_string(iLimit)}, oFound, strError);
    if (iErr != 0) return iErr;
    for (const rc_resource_t& oRes : oFound)
        if (!fn(oRes)) break;
    return 0;
}

int CRcPgStore::ReadLocations(uint64 iAfter, uint32 iLimit, std::vector<rc_resource_t>& oResources,
                              std::vector<rc_location_t>& oLocations, std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    oResources.clear();
    oLocations.clear();
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{std::string("SELECT ") + kResourceColumns + ", " + kLocationColumns +
                         " FROM " RC_PG_LOCATION_FROM " JOIN zq_rc_resource r ON r.id = l.resource_id"
                         " WHERE l.id > $1 ORDER BY l.id LIMIT $2",
                     {std::to_string(iAfter), std::to_string(iLimit)}}},
                   oRes, strError);
    if (iErr != 0) return iErr;
    for (int r = 0; r < oRes[0].Rows(); ++r) {
        oResources.emplace_back();
        ReadResource(oRes[0], r, 0, oResources.back());
        oLocations.push_back(ReadLocation(oRes[0], r, kResourceColumnCount));
    }
    return 0;
}

namespace {

// Entries newest first; the name is the first location's, or in a search the
// first matching one's.
const char* const kListRecent =
    "SELECT r.id, r.fid, r.sha1, r.size, r.first_seen, r.report_count,"
    " encode((SELECT file FROM zq_rc_location WHERE resource_id = r.id ORDER BY id LIMIT 1), 'hex')"
    " FROM zq_rc_resource r WHERE r.id < $1 ORDER BY r.id DESC LIMIT $2";
// The expression is the trigram index's own, so the index answers it.
const char* const kSearchNames =
    "SELECT r.id, r.fid, r.sha1, r.size, r.first_seen, r.report_count, encode(l.file, 'hex') FROM"
    " (SELECT m.resource_id AS rid, min(m.id) AS lid FROM zq_rc_location m"
    "  WHERE zq_rc_name(m.file) ILIKE $3 AND m.resource_id < $1 GROUP BY m.resource_id"
    "  ORDER BY m.resource_id DESC LIMIT $2) AS found"
    " JOIN zq_rc_resource r ON r.id = found.rid JOIN zq_rc_location l ON l.id = found.lid ORDER BY r.id DESC";

// Well-formed sequences only as far as their lead bytes and lengths go: the
// database refuses the rest, which is all that must be kept from it.
bool IsUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : 4;
        if (n == 4 || s.size() - i <= n) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

// The text as a LIKE pattern that matches it anywhere, its own wildcards
// taken literally.
std::string ContainsPattern(const std::string& strText) {
    std::string strOut = "%";
    for (char c : strText) {
        if (c == '%' || c == '_' || c == '\\') strOut += '\\';
        strOut += c;
    }
    return strOut + "%";
}

}  // namespace

int CRcPgStore::List(const std::string& strSql, const std::string* pParam, uint32 iLimit, uint64 iAfter,
                     std::vector<rc_resource_entry_t>& oOut, uint64& iNext, std::string& strError) {
    oOut.clear();
    iNext = 0;
    if (iLimit == 0 || iLimit > RC_STORE_PAGE_MAX) {
        strError = "a page holds 1 to " + std::to_string(RC_STORE_PAGE_MAX) + " resources";
        return EINVAL;
    }
    CCallBound bound(m_oConn, m_iTimeoutMs);
    const uint64 iMax = static_cast<uint64>(std::numeric_limits<sint64>::max());
    std::vector<std::string> oParams = {std::to_string(iAfter == 0 || iAfter > iMax ? iMax : iAfter),
                                        std::to_string(static_cast<uint64>(iLimit) + 1)};
    if (pParam != nullptr) oParams.push_back(*pParam);
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{strSql, oParams}}, oRes, strError);
    if (iErr != 0) return iErr;
    // One row more than asked tells whether a next page exists.
    for (int r = 0; r < oRes[0].Rows(); ++r) {
        if (oOut.size() == iLimit) {
            iNext = oOut.back().Id;
            break;
        }
        rc_resource_entry_t oEntry;
        oEntry.Id = static_cast<uint64>(oRes[0].Int(r, 0));
        HashFromHex(oRes[0].Text(r, 1), oEntry.FID);
        HashFromHex(oRes[0].Text(r, 2), oEntry.Hash);
        oEntry.Size = static_cast<uint64>(oRes[0].Int(r, 3));
        oEntry.FirstSeen = oRes[0].Int(r, 4);
        oEntry.Count = static_cast<uint64>(oRes[0].Int(r, 5));
        oEntry.FileName = FromHex(oRes[0].Text(r, 6));
        oOut.push_back(std::move(oEntry));
    }
    return 0;
}

int CRcPgStore::ListRecent(uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut, uint64& iNext,
                           std::string& strError) {
    return List(kListRecent, nullptr, iLimit, iAfter, oOut, iNext, strError);
}

int CRcPgStore::SearchNames(const std::string& strText, uint32 iLimit, uint64 iAfter,
                            std::vector<rc_resource_entry_t>& oOut, uint64& iNext, std::string& strError) {
    oOut.clear();
    iNext = 0;
    if (rc_store_name_chars(strText) < RC_STORE_NAME_MIN || !IsUtf8(strText)) {
        strError = "a name search needs at least " + std::to_string(RC_STORE_NAME_MIN) + " characters of UTF-8";
        return EINVAL;
    }
    const std::string strPattern = ContainsPattern(strText);
    return List(kSearchNames, &strPattern, iLimit, iAfter, oOut, iNext, strError);
}

int CRcPgStore::FindMd4(const Md5Hash& oMd4, std::vector<rc_resource_t>& oOut, std::string& strError) {
    return Find("WHERE r.md4 = $1 ORDER BY r.id", {oMd4.Hex()}, oOut, strError);
}

int CRcPgStore::GetCounts(rc_store_counts_t& oCounts, std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    oCounts = rc_store_counts_t();
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{"SELECT (SELECT count(*) FROM zq_rc_resource), (SELECT count(*) FROM zq_rc_location),"
                     " (SELECT coalesce(sum(report_count), 0) FROM zq_rc_resource)",
                     {}}},
                   oRes, strError);
    if (iErr != 0) return iErr;
    oCounts.Resources = static_cast<uint64>(oRes[0].Int(0, 0));
    oCounts.Locations = static_cast<uint64>(oRes[0].Int(0, 1));
    oCounts.Reports = static_cast<uint64>(oRes[0].Int(0, 2));
    return 0;
}

int CRcPgStore::Remove(const Sha1Hash& oFid, bool& bFound, rc_resource_t* pRemoved, std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    bFound = false;
    if (!Writable(strError)) return EBADF;
    std::string strFid = oFid.Hex();
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{"BEGIN", {}},
                    {std::string("SELECT ") + kResourceColumns + " FROM zq_rc_resource r WHERE r.fid = $1 FOR UPDATE",
                     {strFid}},
                    {std::string("SELECT l.resource_id, ") + kLocationColumns +
                         " FROM " RC_PG_LOCATION_FROM " JOIN zq_rc_resource r ON r.id = l.resource_id WHERE r.fid = $1"
                         " ORDER BY l.id",
                     {strFid}}},
                   oRes, strError);
    if (iErr != 0) return iErr;
    rc_resource_t oGone;
    bool bThere = oRes[1].Rows() > 0;
    std::vector<rc_pg_query_t> oRest;
    if (bThere) {
        ReadResource(oRes[1], 0, 0, oGone);
        for (int r = 0; r < oRes[2].Rows(); ++r) oGone.Locations.push_back(ReadLocation(oRes[2], r, 1));
        oRest.push_back({"DELETE FROM zq_rc_resource WHERE fid = $1", {strFid}});
        // Sent by the server when, and only if, the removal commits.
        for (const std::string& strPayload : ForgetPayloads(strFid, oGone.Locations, NOTIFY_PAYLOAD_MAX))
            oRest.push_back({"SELECT pg_notify($1, $2)", {RC_PG_FORGET_CHANNEL, strPayload}});
    }
    oRest.push_back({"COMMIT", {}});
    std::vector<CRcPgResult> oIgnored;
    iErr = m_oConn.Run(oRest, oIgnored, strError);
    if (iErr != 0) {
        if (!m_oConn.IsOpen()) {
            LostConnection(iErr, strError);
        } else {
            std::string strIgnored;
            m_oConn.Run({{"ROLLBACK", {}}}, oIgnored, strIgnored);
        }
        return iErr;
    }
    bFound = bThere;
    if (bThere && pRemoved != nullptr) *pRemoved = std::move(oGone);
    return 0;
}

void CRcPgStore::TakeForgets(std::vector<rc_store_forget_t>& oForgets, bool& bAll) {
    oForgets.clear();
    bAll = m_bForgetAll;
    m_bForgetAll = false;
    if (!m_oConn.IsOpen()) return;
    std::vector<std::string> oPayloads;
    std::string strError;
    int iErr = m_oConn.TakeNotifies(RC_PG_FORGET_CHANNEL, oPayloads, strError);
    if (iErr != 0) {
        LostConnection(iErr, strError);
        // What was notified before the loss may not have been read.
        bAll = true;
        return;
    }
    for (const std::string& strPayload : oPayloads) {
        rc_store_forget_t oForget;
        size_t iSpace = strPayload.find(' ');
        std::string strFid = strPayload.substr(0, iSpace);
        if (BinBufFromHexExact(oForget.FID.cVal, sizeof(oForget.FID.cVal), strFid.data(), strFid.size()) != 0) {
            LOG_WARN("store: a removal notice that names no FID: %.60s", strPayload.c_str());
            continue;
        }
        for (size_t i = iSpace; i != std::string::npos && i < strPayload.size();) {
            size_t j = strPayload.find(' ', i + 1);
            std::string strUrl = strPayload.substr(i + 1, j == std::string::npos ? std::string::npos : j - i - 1);
            if (strUrl == "*") {
                bAll = true;
            } else if (!strUrl.empty()) {
                oForget.Urls.push_back(FromHex(strUrl));
            }
            i = j;
        }
        oForgets.push_back(std::move(oForget));
    }
}

// The claim is one statement: rows another checker holds are skipped, and a
// row it claimed and committed meanwhile is read again under the lock and
// found no longer due, so two centers never take the same location.
int CRcPgStore::ClaimDue(sint64 iNow, uint32 iLimit, sint64 iNextDue, std::vector<rc_check_job_t>& oOut,
                         std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    oOut.clear();
    if (!HealthWritable(strError)) return EBADF;
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{std::string("WITH due AS (SELECT location_id FROM zq_rc_health WHERE due_at <= $1"
                                 " ORDER BY due_at LIMIT $2 FOR UPDATE SKIP LOCKED),"
                                 " claimed AS (UPDATE zq_rc_health h SET due_at = $3 FROM due"
                                 " WHERE h.location_id = due.location_id RETURNING h.*)"
                                 " SELECT h.location_id, encode(l.url, 'hex'), r.size, encode(r.tpt, 'hex'), ") +
                         kHealthColumns +
                         " FROM claimed h JOIN zq_rc_location l ON l.id = h.location_id"
                         " JOIN zq_rc_resource r ON r.id = l.resource_id ORDER BY h.location_id",
                     {std::to_string(iNow), std::to_string(iLimit), std::to_string(iNextDue)},
                     "zq_rc_claim_due"}},
                   oRes, strError);
    if (iErr != 0) return iErr;
    for (int r = 0; r < oRes[0].Rows(); ++r) {
        rc_check_job_t oJob;
        oJob.LocationId = static_cast<uint64>(oRes[0].Int(r, 0));
        oJob.Url = FromHex(oRes[0].Text(r, 1));
        oJob.Size = static_cast<uint64>(oRes[0].Int(r, 2));
        std::string strTpt = FromHex(oRes[0].Text(r, 3));
        oJob.Tpt.assign(strTpt.begin(), strTpt.end());
        oJob.Health = ReadHealth(oRes[0], r, 4);
        oOut.push_back(std::move(oJob));
    }
    return 0;
}

int CRcPgStore::RecordHealth(const std::vector<rc_check_result_t>& oResults, std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    if (!HealthWritable(strError)) return EBADF;
    if (oResults.empty()) return 0;
    CArray oIds, oStates, oChecked, oOk, oFailures, oLatency, oRanges, oDue;
    for (const rc_check_result_t& o : oResults) {
        oIds.Add(static_cast<sint64>(o.LocationId));
        oStates.Add(static_cast<sint64>(o.Health.State));
        oChecked.Add(o.Health.CheckedAt);
        oOk.Add(o.Health.OkAt);
        oFailures.Add(static_cast<sint64>(o.Health.Failures));
        oLatency.Add(static_cast<sint64>(o.Health.LatencyMs));
        oRanges.Add(static_cast<sint64>(o.Health.Ranges));
        oDue.Add(o.DueAt);
    }
    std::vector<CRcPgResult> oRes;
    return Run({{"UPDATE zq_rc_health h SET state = u.s, checked_at = u.c, ok_at = u.o, failures = u.f,"
                 " latency_ms = u.l, ranges = u.r, due_at = u.d"
                 " FROM (SELECT * FROM unnest($1::bigint[], $2::smallint[], $3::bigint[], $4::bigint[],"
                 " $5::integer[], $6::integer[], $7::smallint[], $8::bigint[]) AS x(id, s, c, o, f, l, r, d)"
                 " ORDER BY x.id) AS u WHERE h.location_id = u.id",
                 {oIds.Text(), oStates.Text(), oChecked.Text(), oOk.Text(), oFailures.Text(), oLatency.Text(),
                  oRanges.Text(), oDue.Text()},
                 "zq_rc_record_health"}},
               oRes, strError);
}

int CRcPgStore::CountHealth(rc_health_counts_t& oCounts, std::string& strError) {
    CCallBound bound(m_oConn, m_iTimeoutMs);
    oCounts = rc_health_counts_t();
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{"SELECT state, count(*) FROM zq_rc_health GROUP BY state", {}}}, oRes, strError);
    if (iErr != 0) return iErr;
    for (int r = 0; r < oRes[0].Rows(); ++r) {
        sint64 iState = oRes[0].Int(r, 0);
        if (iState >= 0 && iState < RC_HEALTH_STATES) oCounts.States[iState] += static_cast<uint64>(oRes[0].Int(r, 1));
    }
    return 0;
}
