#include "rc_pg_store.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "rc_pg_schema.h"
#include "str_util.h"
#include "svr_log.h"

namespace {

sint64 NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<sint64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

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

// An array literal of items that need no quoting (hex digits, numbers).
class CArray {
public:
    void Add(const std::string& s) {
        m_s += m_s.empty() ? "{" : ",";
        m_s += s;
    }
    void Add(sint64 i) { Add(std::to_string(i)); }
    std::string Text() const { return m_s.empty() ? "{}" : m_s + "}"; }

private:
    std::string m_s;
};

const char* const kResourceColumns =
    "r.id, r.fid, r.sid, r.sha1, r.md4, r.size, encode(r.tpt, 'hex'), r.first_seen, r.last_seen, r.report_count";
const int kResourceColumnCount = 10;
const char* const kLocationColumns =
    "encode(l.url, 'hex'), encode(l.file, 'hex'), encode(l.ext, 'hex'), encode(l.ref, 'hex'), l.first_seen";

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

rc_location_t ReadLocation(const CRcPgResult& r, int iRow, int iFirst) {
    rc_location_t oLoc;
    oLoc.Url = FromHex(r.Text(iRow, iFirst));
    oLoc.FileName = FromHex(r.Text(iRow, iFirst + 1));
    oLoc.ExtName = FromHex(r.Text(iRow, iFirst + 2));
    oLoc.Ref = FromHex(r.Text(iRow, iFirst + 3));
    oLoc.FirstSeen = r.Int(iRow, iFirst + 4);
    return oLoc;
}

// New resources are inserted with no count; the counting statement adds
// every report of the batch, the first one included.
const char* const kInsertResources =
    "INSERT INTO zq_rc_resource (fid, sid, sha1, md4, size, tpt, first_seen, last_seen, report_count)"
    " SELECT u.fid, u.sid, u.sha1, u.md4, u.size, decode(u.tpt, 'hex'), u.t, u.t, 0"
    " FROM unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::bigint[], $6::text[], $7::bigint[])"
    " AS u(fid, sid, sha1, md4, size, tpt, t) ORDER BY u.fid"
    " ON CONFLICT (fid) DO NOTHING RETURNING fid";
// Every resource the batch touches, locked in FID order before any is
// changed: two batches that share FIDs take them in the same order.
const char* const kLockResources =
    "SELECT id, fid FROM zq_rc_resource WHERE fid = ANY($1::text[]) ORDER BY fid FOR UPDATE";
const char* const kInsertLocations =
    "INSERT INTO zq_rc_location (resource_id, url, file, ext, ref, first_seen)"
    " SELECT r.id, decode(u.url, 'hex'), decode(u.file, 'hex'), decode(u.ext, 'hex'), decode(u.ref, 'hex'), u.t"
    " FROM unnest($1::text[], $2::text[], $3::text[], $4::text[], $5::text[], $6::bigint[]) WITH ORDINALITY"
    " AS u(fid, url, file, ext, ref, t, n) JOIN zq_rc_resource r ON r.fid = u.fid ORDER BY u.n"
    " ON CONFLICT (resource_id, sha256(url)) DO NOTHING RETURNING resource_id, encode(url, 'hex')";
const char* const kCount =
    "UPDATE zq_rc_resource r SET report_count = r.report_count + u.n, last_seen = greatest(r.last_seen, u.t)"
    " FROM unnest($1::text[], $2::bigint[], $3::bigint[]) AS u(fid, n, t) WHERE r.fid = u.fid RETURNING r.fid";

}  // namespace

CRcPgStore::CRcPgStore()
    : m_nMode(RC_STORE_READ),
      m_iTimeoutMs(5000),
      m_bOpened(false),
      m_iDownErr(0),
      m_iNextTryMs(0),
      m_iBackoffMs(RECONNECT_FIRST_MS),
      m_iDownSinceMs(0),
      m_bForgetAll(false) {}

int CRcPgStore::Open(const std::string& strUrl, ERcStoreMode nMode, uint32 iTimeoutMs, std::string& strError) {
    Close();
    m_strUrl = strUrl;
    m_strMasked = rc_pg_mask(strUrl);
    m_nMode = nMode;
    m_iTimeoutMs = iTimeoutMs;
    int iErr = Connect(strError);
    if (iErr != 0) {
        m_oConn.Close();
        return iErr;
    }
    m_bOpened = true;
    LOG_INFO("store: %s, schema version %u", m_strMasked.c_str(), RC_PG_SCHEMA_VERSION);
    return 0;
}

void CRcPgStore::Close() {
    m_oConn.Close();
    m_bOpened = false;
    m_strStoreId.clear();
    m_oQueue.clear();
    m_oTallies.clear();
    m_iDownErr = 0;
    m_iBackoffMs = RECONNECT_FIRST_MS;
    m_bForgetAll = false;
}

int CRcPgStore::Connect(std::string& strError) {
    int iErr = m_oConn.Connect(m_strUrl, m_iTimeoutMs, strError);
    std::string strId;
    if (iErr == 0)
        iErr = m_nMode == RC_STORE_WRITE ? rc_pg_migrate(m_oConn, strId, strError) : rc_pg_check(m_oConn, strId, strError);
    if (iErr == 0 && m_nMode == RC_STORE_WRITE) {
        CRcPgResult oIgnored;
        iErr = m_oConn.Exec(std::string("LISTEN ") + RC_PG_FORGET_CHANNEL, {}, oIgnored, strError);
    }
    if (iErr != 0) {
        if (strError.compare(0, m_strMasked.size(), m_strMasked) != 0) strError = m_strMasked + ": " + strError;
        m_oConn.Close();
        return iErr;
    }
    // Another database at the same address is another store: what the
    // cache knew of the old one says nothing of it.
    if (!m_strStoreId.empty() && strId != m_strStoreId) m_bForgetAll = true;
    m_strStoreId = strId;
    return 0;
}

void CRcPgStore::LostConnection(int iErr, const std::string& strError) {
    if (m_iDownErr == 0) {
        LOG_ERR("store: the database is unreachable, reports are refused until it is back: %s", strError.c_str());
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
        strError = "store not open";
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
        LOG_WARN("store: the database is reachable again after %lld ms", static_cast<long long>(NowMs() - m_iDownSinceMs));
    m_iDownErr = 0;
    // Notifications sent while the connection was down are lost with it.
    m_bForgetAll = true;
    return 0;
}

int CRcPgStore::Run(const std::vector<stRcPgQuery>& oQueries, std::vector<CRcPgResult>& oResults,
                    std::string& strError) {
    int iErr = KeepConnected(strError);
    if (iErr != 0) return iErr;
    iErr = m_oConn.Run(oQueries, oResults, strError);
    if (iErr == 0) return 0;
    if (!m_oConn.IsOpen()) {
        LostConnection(iErr, strError);
    } else if (!oQueries.empty() && oQueries.front().strSql.compare(0, 5, "BEGIN") == 0) {
        // The transaction stays failed until it is ended.
        std::vector<CRcPgResult> oIgnored;
        std::string strIgnored;
        if (m_oConn.Run({{"ROLLBACK", {}}}, oIgnored, strIgnored) != 0 && !m_oConn.IsOpen())
            LostConnection(iErr, strError);
    }
    return iErr;
}

size_t CRcPgStore::Add(rc_resource_t oResource, rc_location_t oWhere, sint64 iNow) {
    m_oQueue.push_back(stQueued{std::move(oResource), std::move(oWhere), iNow});
    return m_oQueue.size() - 1;
}

void CRcPgStore::Tally(const Sha1Hash& oFid, sint64 iNow) {
    stTally& oTally = m_oTallies.emplace(oFid.Hex(), stTally{0, iNow}).first->second;
    ++oTally.Count;
    if (iNow > oTally.LastSeen) oTally.LastSeen = iNow;
}

int CRcPgStore::Commit(std::vector<ERcStored>& oResults, std::string& strError) {
    oResults.clear();
    if (m_nMode != RC_STORE_WRITE) {
        m_oQueue.clear();
        strError = m_strMasked + ": opened for reading";
        return EBADF;
    }
    if (m_oQueue.empty() && m_oTallies.empty()) return 0;
    oResults.assign(m_oQueue.size(), RC_STORED_KNOWN);
    std::vector<size_t> oItems(m_oQueue.size());
    for (size_t i = 0; i < oItems.size(); ++i) oItems[i] = i;
    bool bTallies = !m_oTallies.empty();
    int iErr = 0;
    for (uint32 iTry = 1; !oItems.empty(); ++iTry) {
        std::vector<size_t> oRetry;
        iErr = WriteOnce(oItems, bTallies, oResults, oRetry, strError);
        bool bConflict = m_oConn.SqlState() == "40001" || m_oConn.SqlState() == "40P01";
        if (iErr == 0) {
            bTallies = false;
            m_oTallies.clear();
            oItems.swap(oRetry);
        } else if (!bConflict) {
            break;
        }
        if (!oItems.empty() && iTry >= MAX_TRIES) {
            // A resource removed under every try: the reports were not stored.
            if (iErr == 0) {
                iErr = EAGAIN;
                strError = m_strMasked + ": the batch kept meeting concurrent changes";
            }
            break;
        }
        if (iErr != 0) LOG_WARN("store: %s; trying the batch again", strError.c_str());
        iErr = 0;
    }
    m_oQueue.clear();
    if (iErr != 0) oResults.clear();
    return iErr;
}

int CRcPgStore::WriteOnce(const std::vector<size_t>& oItems, bool bTallies, std::vector<ERcStored>& oResults,
                          std::vector<size_t>& oRetry, std::string& strError) {
    // The first report of each FID stands for the resource; one of each FID
    // and URL for the location. Later ones in the batch are counted only.
    std::map<std::string, size_t> oFirstOfFid;
    std::set<std::pair<std::string, std::string> > oPairs;
    std::map<std::string, std::pair<sint64, sint64> > oCounts;  // fid -> (reports, last seen)
    CArray aLocFid, aUrl, aFile, aExt, aRef, aLocTime;
    for (size_t i : oItems) {
        const stQueued& q = m_oQueue[i];
        std::string strFid = q.Resource.FID.Hex();
        oFirstOfFid.emplace(strFid, i);
        if (oPairs.emplace(strFid, ToHex(q.Where.Url)).second) {
            aLocFid.Add(strFid);
            aUrl.Add(ToHex(q.Where.Url));
            aFile.Add(ToHex(q.Where.FileName));
            aExt.Add(ToHex(q.Where.ExtName));
            aRef.Add(ToHex(q.Where.Ref));
            aLocTime.Add(q.Now);
        }
        std::pair<sint64, sint64>& c = oCounts.emplace(strFid, std::make_pair(0, q.Now)).first->second;
        ++c.first;
        c.second = std::max(c.second, q.Now);
    }
    if (bTallies) {
        for (const auto& t : m_oTallies) {
            std::pair<sint64, sint64>& c = oCounts.emplace(t.first, std::make_pair(0, t.second.LastSeen)).first->second;
            c.first += static_cast<sint64>(t.second.Count);
            c.second = std::max(c.second, t.second.LastSeen);
        }
    }
    CArray aFid, aSid, aSha1, aMd4, aSize, aTpt, aTime;
    for (const auto& f : oFirstOfFid) {
        const stQueued& q = m_oQueue[f.second];
        aFid.Add(f.first);
        aSid.Add(q.Resource.SID.Hex());
        aSha1.Add(q.Resource.Hash.Hex());
        aMd4.Add(q.Resource.MD4.Hex());
        aSize.Add(static_cast<sint64>(q.Resource.Size));
        aTpt.Add(ToHex(q.Resource.Tpt.data(), q.Resource.Tpt.size()));
        aTime.Add(q.Now);
    }
    CArray aAllFid, aCountFid, aN, aLast;
    for (const auto& c : oCounts) {
        aAllFid.Add(c.first);
        aCountFid.Add(c.first);
        aN.Add(c.second.first);
        aLast.Add(c.second.second);
    }
    std::vector<CRcPgResult> oOut;
    int iErr = Run({{"BEGIN", {}},
                    {kInsertResources,
                     {aFid.Text(), aSid.Text(), aSha1.Text(), aMd4.Text(), aSize.Text(), aTpt.Text(), aTime.Text()}},
                    {kLockResources, {aAllFid.Text()}},
                    {kInsertLocations, {aLocFid.Text(), aUrl.Text(), aFile.Text(), aExt.Text(), aRef.Text(), aLocTime.Text()}},
                    {kCount, {aCountFid.Text(), aN.Text(), aLast.Text()}},
                    {"COMMIT", {}}},
                   oOut, strError);
    if (iErr != 0) return iErr;
    std::set<std::string> oNewFids;
    for (int r = 0; r < oOut[1].Rows(); ++r) oNewFids.insert(oOut[1].Text(r, 0));
    std::unordered_map<std::string, std::string> oFidOfId;
    for (int r = 0; r < oOut[2].Rows(); ++r) oFidOfId[oOut[2].Text(r, 0)] = oOut[2].Text(r, 1);
    std::set<std::pair<std::string, std::string> > oNewLocs;
    for (int r = 0; r < oOut[3].Rows(); ++r) oNewLocs.emplace(oFidOfId[oOut[3].Text(r, 0)], oOut[3].Text(r, 1));
    std::set<std::string> oCounted;
    for (int r = 0; r < oOut[4].Rows(); ++r) oCounted.insert(oOut[4].Text(r, 0));

    std::set<std::string> oSeen;
    for (size_t i : oItems) {
        const stQueued& q = m_oQueue[i];
        std::string strFid = q.Resource.FID.Hex();
        if (oCounted.count(strFid) == 0) {
            // Removed by another center between our insert and our lock:
            // nothing of it was written, so it goes again.
            oRetry.push_back(i);
            continue;
        }
        bool bFirst = oSeen.insert(strFid).second;
        std::pair<std::string, std::string> oPair(strFid, ToHex(q.Where.Url));
        bool bNewLoc = oNewLocs.erase(oPair) > 0;
        if (bFirst && oNewFids.count(strFid) > 0) {
            oResults[i] = RC_STORED_NEW;
        } else {
            oResults[i] = bNewLoc ? RC_STORED_LOCATION : RC_STORED_KNOWN;
        }
    }
    if (bTallies) {
        for (const auto& t : m_oTallies)
            if (oCounted.count(t.first) == 0 && oFirstOfFid.count(t.first) == 0)
                LOG_ERR("store: %llu repeats of fid=%s not counted: no such resource any more",
                        static_cast<unsigned long long>(t.second.Count), t.first.c_str());
    }
    return 0;
}

int CRcPgStore::Find(const std::string& strWhere, const std::vector<std::string>& oParams,
                     std::vector<rc_resource_t>& oOut, std::string& strError) {
    oOut.clear();
    std::string strResources = std::string("SELECT ") + kResourceColumns + " FROM zq_rc_resource r " + strWhere;
    std::string strLocations = std::string("SELECT l.resource_id, ") + kLocationColumns +
                               " FROM zq_rc_location l WHERE l.resource_id IN (SELECT id FROM (" + strResources +
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

int CRcPgStore::FindRecent(uint32 iLimit, std::vector<rc_resource_t>& oOut, std::string& strError) {
    oOut.clear();
    if (iLimit == 0) return 0;
    return Find("ORDER BY r.id DESC LIMIT $1", {std::to_string(iLimit)}, oOut, strError);
}

// Page by page, each its own statement: a slow reader holds no snapshot
// for longer than one page.
int CRcPgStore::ForEachLocation(const std::function<bool(const rc_resource_t&, const rc_location_t&)>& fn,
                                std::string& strError) {
    std::string strSql = std::string("SELECT l.id, ") + kResourceColumns + ", " + kLocationColumns +
                         " FROM zq_rc_location l JOIN zq_rc_resource r ON r.id = l.resource_id"
                         " WHERE l.id > $1 ORDER BY l.id LIMIT " +
                         std::to_string(EXPORT_PAGE);
    sint64 iAfter = 0;
    for (;;) {
        std::vector<CRcPgResult> oRes;
        int iErr = Run({{strSql, {std::to_string(iAfter)}}}, oRes, strError);
        if (iErr != 0) return iErr;
        const CRcPgResult& page = oRes[0];
        for (int r = 0; r < page.Rows(); ++r) {
            iAfter = page.Int(r, 0);
            rc_resource_t oRes1;
            ReadResource(page, r, 1, oRes1);
            if (!fn(oRes1, ReadLocation(page, r, 1 + kResourceColumnCount))) return 0;
        }
        if (page.Rows() < static_cast<int>(EXPORT_PAGE)) return 0;
    }
}

int CRcPgStore::GetCounts(rc_store_counts_t& oCounts, std::string& strError) {
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
    bFound = false;
    if (m_nMode != RC_STORE_WRITE) {
        strError = m_strMasked + ": opened for reading";
        return EBADF;
    }
    std::string strFid = oFid.Hex();
    // The notification is part of the transaction: sent if and only if the
    // removal commits.
    std::vector<CRcPgResult> oRes;
    int iErr = Run({{"BEGIN", {}},
                    {std::string("SELECT ") + kResourceColumns + " FROM zq_rc_resource r WHERE r.fid = $1 FOR UPDATE",
                     {strFid}},
                    {std::string("SELECT l.resource_id, ") + kLocationColumns +
                         " FROM zq_rc_location l JOIN zq_rc_resource r ON r.id = l.resource_id WHERE r.fid = $1"
                         " ORDER BY l.id",
                     {strFid}},
                    {"WITH gone AS (DELETE FROM zq_rc_resource WHERE fid = $1 RETURNING id)"
                     " SELECT pg_notify($2, $1) FROM gone",
                     {strFid, RC_PG_FORGET_CHANNEL}},
                    {"COMMIT", {}}},
                   oRes, strError);
    if (iErr != 0) return iErr;
    m_oTallies.erase(strFid);
    if (oRes[1].Rows() == 0) return 0;
    bFound = true;
    if (pRemoved != nullptr) {
        *pRemoved = rc_resource_t();
        ReadResource(oRes[1], 0, 0, *pRemoved);
        for (int r = 0; r < oRes[2].Rows(); ++r) pRemoved->Locations.push_back(ReadLocation(oRes[2], r, 1));
    }
    return 0;
}

int CRcPgStore::TakeForgotten(std::vector<Sha1Hash>& oFids, bool& bAll, std::string& strError) {
    bAll = m_bForgetAll;
    m_bForgetAll = false;
    if (!m_oConn.IsOpen()) return 0;
    std::vector<std::string> oPayloads;
    int iErr = m_oConn.TakeNotifies(RC_PG_FORGET_CHANNEL, oPayloads, strError);
    if (iErr != 0) {
        LostConnection(iErr, strError);
        return iErr;
    }
    for (const std::string& s : oPayloads) {
        Sha1Hash oFid;
        if (BinBufFromHexExact(oFid.cVal, sizeof(oFid.cVal), s.data(), s.size()) == 0) oFids.push_back(oFid);
    }
    return 0;
}
