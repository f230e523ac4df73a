#include "rc_http_api.h"

#include <cerrno>
#include <vector>

#include "rc_record_format.h"
#include "rc_server.h"
#include "req_sig.h"
#include "str_util.h"

namespace {

// The connection hands over 40 hex digits only; anything else is a bug there.
int fid_of(const std::string& strFid, Sha1Hash& oFid, std::string& strReason) {
    unsigned char arBytes[20];
    if (BinBufFromHexExact(arBytes, sizeof(arBytes), strFid.data(), strFid.size()) != 0) {
        strReason = "not a FID";
        return EINVAL;
    }
    oFid = Sha1Hash(arBytes, sizeof(arBytes));
    return 0;
}

}  // namespace

int CRcHttpApi::Find(const std::string& strFid, rc_resource_t& oRes, std::string& strReason) {
    Sha1Hash oFid;
    int iErr = fid_of(strFid, oFid, strReason);
    if (iErr != 0) return iErr;
    std::vector<rc_resource_t> oFound;
    iErr = m_oStore.FindFid(oFid, oFound, strReason);
    if (iErr != 0) return iErr;
    if (oFound.empty()) return ENOENT;
    oRes = std::move(oFound.front());
    return 0;
}

int CRcHttpApi::Lookup(const std::string& strFid, std::string& strJson, std::string& strReason) {
    rc_resource_t oRes;
    int iErr = Find(strFid, oRes, strReason);
    if (iErr == 0) strJson = rc_record_json(oRes);
    return iErr;
}

int CRcHttpApi::PieceTable(const std::string& strFid, std::string& strTable, std::string& strReason) {
    rc_resource_t oRes;
    int iErr = Find(strFid, oRes, strReason);
    if (iErr == 0) strTable.assign(oRes.Tpt.begin(), oRes.Tpt.end());
    return iErr;
}

int CRcHttpApi::Stats(std::string& strJson, std::string& strReason) {
    rc_store_counts_t oStored;
    int iErr = m_oStore.GetCounts(oStored, strReason);
    if (iErr != 0) return iErr;
    const CRcenterServer::CCounts& oCounts = m_oServer.GetCounts();
    std::string strOut = "{";
    auto add = [&strOut](const char* pszKey, uint64 iValue) {
        if (strOut.size() > 1) strOut += ", ";
        strOut += std::string("\"") + pszKey + "\": " + std::to_string(iValue);
    };
    add("resources", oStored.Resources);
    add("locations", oStored.Locations);
    add("reports", oStored.Reports);
    add("accepted", oCounts.iAccepted);
    add("known", oCounts.iKnown);
    add("rejected", oCounts.iRejected);
    add("not_stored", oCounts.iNotStored);
    add("removed", oCounts.iRemoved);
    add("dropped_connections", oCounts.iDropped);
    add("http_requests", oCounts.iHttpRequests);
    strJson = strOut + "}";
    return 0;
}

int CRcHttpApi::Remove(const std::string& strFid, std::string& strReason) {
    Sha1Hash oFid;
    int iErr = fid_of(strFid, oFid, strReason);
    if (iErr != 0) return iErr;
    bool bFound = false;
    iErr = m_oServer.RemoveResource(oFid, bFound, strReason);
    if (iErr != 0) return iErr;
    return bFound ? 0 : ENOENT;
}

int CRcHttpApi::Metrics(std::string& strText, std::string&) {
    strText = m_oServer.MetricsText();
    return 0;
}

void CRcHttpApi::Answered(unsigned int iStatus) { m_oServer.CountHttpAnswer(iStatus); }
