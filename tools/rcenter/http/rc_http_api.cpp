#include "rc_http_api.h"

#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

#include "rc_record_format.h"
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

// A store's own failure is never a client's: ENOENT (a file gone) or EINVAL
// from the store would read as "unknown FID" or a bad request.
int store_failure(int iErr) { return iErr == EINVAL || iErr == ENOENT ? EIO : iErr; }

struct stFound {
    int iErr = 0;
    bool bFound = false;
    uint64 iNext = 0;
    std::string strError;
    rc_resource_t oRes;
};

}  // namespace

std::string rc_http_record_page(const rc_resource_t& oRes, uint64 iNext, size_t iBudget) {
    rc_resource_t oShown = oRes;
    oShown.Locations.clear();
    const size_t iBase = rc_record_json(oShown, RC_RECORD_HEALTH).size();
    size_t iSize = iBase;
    size_t iKeep = 0;
    for (; iKeep < oRes.Locations.size(); ++iKeep) {
        oShown.Locations.assign(1, oRes.Locations[iKeep]);
        const size_t iMore = rc_record_json(oShown, RC_RECORD_HEALTH).size() - iBase + (iKeep > 0 ? 2 : 0);
        if (iKeep > 0 && iSize + iMore > iBudget) break;
        iSize += iMore;
    }
    oShown.Locations.assign(oRes.Locations.begin(), oRes.Locations.begin() + static_cast<long>(iKeep));
    if (iKeep < oRes.Locations.size()) iNext = oShown.Locations.back().Id;
    std::string strJson = rc_record_json(oShown, RC_RECORD_HEALTH);
    // rc_record_json closes the object last.
    strJson.pop_back();
    strJson += ", \"next\": " + (iNext == 0 ? std::string("null") : std::to_string(iNext)) + "}";
    return strJson;
}

void CRcHttpApi::Lookup(const std::string& strFid, const stRcHttpPage& oPage, RcHttpReply fnReply) {
    FindAndAnswer(strFid, oPage, fnReply, [](const rc_resource_t& oRes, uint64 iNext) {
        return rc_http_record_page(oRes, iNext, RC_HTTP_RECORD_BUDGET);
    });
}

// One location is the least a page holds; the table is all that is shown.
void CRcHttpApi::PieceTable(const std::string& strFid, RcHttpReply fnReply) {
    stRcHttpPage oOne;
    oOne.Limit = 1;
    oOne.After = 0;
    FindAndAnswer(strFid, oOne, fnReply, [](const rc_resource_t& oRes, uint64) {
        return std::string(oRes.Tpt.begin(), oRes.Tpt.end());
    });
}

void CRcHttpApi::FindAndAnswer(const std::string& strFid, const stRcHttpPage& oPage, RcHttpReply fnReply,
                               std::function<std::string(const rc_resource_t&, uint64)> fnBody) {
    Sha1Hash oFid;
    std::string strReason;
    if (fid_of(strFid, oFid, strReason) != 0) {
        fnReply(EINVAL, "", strReason);
        return;
    }
    auto pFound = std::make_shared<stFound>();
    m_oReader.Submit(
        [pFound, oFid, oPage](CRcStore& oStore) {
            pFound->iErr = oStore.FindFidPage(oFid, oPage.Limit, oPage.After, pFound->oRes, pFound->bFound,
                                              pFound->iNext, pFound->strError);
        },
        [pFound, fnReply, fnBody] {
            if (pFound->iErr != 0) {
                fnReply(store_failure(pFound->iErr), "", pFound->strError);
            } else if (!pFound->bFound) {
                fnReply(ENOENT, "", "");
            } else {
                fnReply(0, fnBody(pFound->oRes, pFound->iNext), "");
            }
        });
}

void CRcHttpApi::Stats(RcHttpReply fnReply) {
    struct stCounted {
        int iErr = 0;
        std::string strError;
        rc_store_counts_t oStored;
    };
    auto pCounted = std::make_shared<stCounted>();
    const stRcCounts& oCounts = m_counts;
    m_oReader.Submit(
        [pCounted](CRcStore& oStore) { pCounted->iErr = oStore.GetCounts(pCounted->oStored, pCounted->strError); },
        [pCounted, fnReply, &oCounts] {
            if (pCounted->iErr != 0) {
                fnReply(store_failure(pCounted->iErr), "", pCounted->strError);
                return;
            }
            std::string strOut = "{";
            auto add = [&strOut](const char* pszKey, uint64 iValue) {
                if (strOut.size() > 1) strOut += ", ";
                strOut += std::string("\"") + pszKey + "\": " + std::to_string(iValue);
            };
            add("resources", pCounted->oStored.Resources);
            add("locations", pCounted->oStored.Locations);
            add("reports", pCounted->oStored.Reports);
            add("accepted", oCounts.iAccepted);
            add("known", oCounts.iKnown);
            add("rejected", oCounts.iRejected);
            add("not_stored", oCounts.iNotStored);
            add("removed", oCounts.iRemoved);
            add("dropped_connections", oCounts.iDropped);
            add("http_requests", oCounts.iHttpRequests);
            fnReply(0, strOut + "}", "");
        });
}

void CRcHttpApi::Remove(const std::string& strFid, RcHttpReply fnReply) {
    Sha1Hash oFid;
    std::string strReason;
    if (fid_of(strFid, oFid, strReason) != 0) {
        fnReply(EINVAL, "", strReason);
        return;
    }
    m_oReports.Remove(oFid, [fnReply](int iErr, bool bFound, const std::string& strError) {
        if (iErr != 0) {
            fnReply(store_failure(iErr), "", strError);
        } else {
            fnReply(bFound ? 0 : ENOENT, "", "");
        }
    });
}

void CRcHttpApi::List(const rc_list_request_t& oRequest, RcHttpReply fnReply) {
    struct stListed {
        int iErr = 0;
        std::string strJson;
        std::string strError;
    };
    auto pListed = std::make_shared<stListed>();
    m_oReader.Submit(
        [pListed, oRequest](CRcStore& oStore) {
            pListed->iErr = rc_list_run(oStore, oRequest, pListed->strJson, pListed->strError);
        },
        [pListed, fnReply] {
            // ENOTSUP says what the store cannot do; any other failure is its own.
            const int iErr = pListed->iErr == ENOTSUP ? ENOTSUP : store_failure(pListed->iErr);
            fnReply(iErr, pListed->strJson, pListed->strError);
        });
}
void CRcHttpApi::Metrics(RcHttpReply fnReply) { fnReply(0, m_oMetrics.Text(), ""); }

void CRcHttpApi::Answered(unsigned int iStatus) { m_oMetrics.CountHttpAnswer(iStatus); }
