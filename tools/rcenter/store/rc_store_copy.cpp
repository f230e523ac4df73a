#include "rc_store_copy.h"

#include <cerrno>
#include <map>
#include <set>
#include <utility>

#include "hashval.h"
#include "sha1.h"
#include "str_util.h"

namespace {

// Reports per commit of the copy: a transaction of bounded size.
const size_t kBatch = 256;

struct stFrom {
    uint64 Count = 0;
    sint64 LastSeen = 0;
};

void Field(std::string& s, const std::string& strValue) {
    s += std::to_string(strValue.size());
    s += ':';
    s += strValue;
}

}  // namespace

int rc_store_digest(CRcStore& oStore, std::string& strDigest, rc_store_counts_t& oCounts, std::string& strError) {
    SHA_INFO sha;
    sha_init(&sha);
    int iErr = rc_store_for_each_location(
        oStore,
        [&sha](const rc_resource_t& r, const rc_location_t& l) {
            // Lengths before values, so no two rows read alike.
            std::string s;
            Field(s, r.FID.Hex());
            Field(s, r.SID.Hex());
            Field(s, r.Hash.Hex());
            Field(s, r.MD4.Hex());
            Field(s, std::to_string(r.Size));
            Field(s, std::string(r.Tpt.begin(), r.Tpt.end()));
            Field(s, std::to_string(r.FirstSeen));
            Field(s, std::to_string(r.LastSeen));
            Field(s, std::to_string(r.Count));
            Field(s, l.Url);
            Field(s, l.FileName);
            Field(s, l.ExtName);
            Field(s, l.Ref);
            Field(s, std::to_string(l.FirstSeen));
            sha_update(&sha, reinterpret_cast<SHA_BYTE*>(&s[0]), static_cast<int>(s.size()));
            return true;
        },
        strError);
    if (iErr != 0) return iErr;
    unsigned char digest[20];
    sha_final(digest, &sha);
    strDigest = HashBytesToHex(digest, sizeof(digest));
    return oStore.GetCounts(oCounts, strError);
}

int rc_store_copy(CRcStore& oFrom, CRcStore& oTo, rc_store_copy_t& oDone, std::string& strError) {
    oDone = rc_store_copy_t();
    std::set<std::pair<std::string, std::string> > oHave;  // (FID hex, URL)
    std::map<std::string, uint64> oHaveCount;
    std::map<std::string, sint64> oHaveLast;
    int iErr = rc_store_for_each_location(
        oTo,
        [&](const rc_resource_t& r, const rc_location_t& l) {
            oHave.emplace(r.FID.Hex(), l.Url);
            oHaveCount[r.FID.Hex()] = r.Count;
            oHaveLast[r.FID.Hex()] = r.LastSeen;
            return true;
        },
        strError);
    if (iErr != 0) return iErr;

    std::map<std::string, stFrom> oFromFacts;
    std::map<std::string, uint64> oAdded;
    rc_store_batch_t oBatch;
    std::vector<rc_report_outcome_t> oOutcomes;
    auto flush = [&]() {
        if (oBatch.Reports.empty() && oBatch.Tallies.empty()) return 0;
        int iRet = oTo.Commit(oBatch, oOutcomes, strError);
        for (size_t i = 0; iRet == 0 && i < oOutcomes.size(); ++i) {
            if (oOutcomes[i].Errno != 0) {
                strError = oOutcomes[i].Error;
                iRet = oOutcomes[i].Errno;
            }
        }
        oBatch = rc_store_batch_t();
        return iRet;
    };
    int iWriteErr = 0;
    iErr = rc_store_for_each_location(
        oFrom,
        [&](const rc_resource_t& r, const rc_location_t& l) {
            std::string strFid = r.FID.Hex();
            stFrom& oFacts = oFromFacts[strFid];
            oFacts.Count = r.Count;
            oFacts.LastSeen = r.LastSeen;
            if (!oHave.emplace(strFid, l.Url).second) return true;
            // Each report written counts one; the first of a resource makes
            // it, first seen when the source says.
            bool bFirst = oHaveCount.count(strFid) == 0 && oAdded.count(strFid) == 0;
            rc_store_report_t oReport;
            oReport.Resource = r;
            oReport.Resource.Locations.clear();
            oReport.Where = l;
            oReport.Now = bFirst ? r.FirstSeen : l.FirstSeen;
            oBatch.Reports.push_back(std::move(oReport));
            ++oAdded[strFid];
            ++oDone.Reports;
            if (oBatch.Reports.size() >= kBatch) iWriteErr = flush();
            return iWriteErr == 0;
        },
        strError);
    if (iErr == 0) iErr = iWriteErr;
    if (iErr == 0) iErr = flush();
    if (iErr != 0) return iErr;

    // The counts the reports did not bring, and the last-seen times: after
    // every location, so each resource's own reports are all in.
    for (const auto& f : oFromFacts) {
        auto itAdded = oAdded.find(f.first);
        bool bAdded = itAdded != oAdded.end();
        uint64 iHas = oHaveCount[f.first] + (bAdded ? itAdded->second : 0);
        rc_store_tally_t oTally;
        if (BinBufFromHexExact(oTally.FID.cVal, sizeof(oTally.FID.cVal), f.first.data(), f.first.size()) != 0) continue;
        oTally.Count = f.second.Count > iHas ? f.second.Count - iHas : 0;
        oTally.LastSeen = f.second.LastSeen;
        auto itLast = oHaveLast.find(f.first);
        bool bLastOk = itLast != oHaveLast.end() && itLast->second >= f.second.LastSeen;
        if (oTally.Count == 0 && !bAdded && bLastOk) continue;
        oBatch.Tallies.push_back(oTally);
        ++oDone.Tallies;
        if (oBatch.Tallies.size() >= kBatch * 4 && (iErr = flush()) != 0) return iErr;
    }
    return flush();
}
