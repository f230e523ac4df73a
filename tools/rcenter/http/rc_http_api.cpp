#include "rc_http_api.h"

#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

#include "os_util.h"
#include "rc_download.h"
#include "rc_record_format.h"
#include "svr_log.h"
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

// A store's failure as the peer sees it: the database away for now is worth
// another try (503); anything else is ours (500). The reason, which may name
// paths and libraries, goes to the log.
rc_http_reply_t store_failure(const char* pszWhat, int iErr, const std::string& strReason) {
    if (iErr == ECONNREFUSED || iErr == ECONNRESET || iErr == ETIMEDOUT || iErr == ENOTCONN ||
        iErr == EHOSTUNREACH || iErr == ENETUNREACH || iErr == EAGAIN) {
        LOG_WARN("HTTP %s: %s", pszWhat, strReason.c_str());
        return rc_http_error(503, "store unavailable");
    }
    LOG_ERR("HTTP %s: %s", pszWhat, strReason.c_str());
    return rc_http_error(500, "internal error");
}

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
    rc_json_t oRecord = rc_record_value(oShown, RC_RECORD_HEALTH);
    size_t iSize = rc_json_dump(oRecord).size();
    rc_json_t& oLocations = oRecord["locations"];
    size_t iKeep = 0;
    for (; iKeep < oRes.Locations.size(); ++iKeep) {
        oShown.Locations.assign(1, oRes.Locations[iKeep]);
        rc_json_t oOne = rc_record_value(oShown, RC_RECORD_HEALTH)["locations"][0];
        const size_t iMore = rc_json_dump(oOne).size() + (iKeep > 0 ? 2 : 0);
        if (iKeep > 0 && iSize + iMore > iBudget) break;
        iSize += iMore;
        oLocations.push_back(std::move(oOne));
    }
    if (iKeep < oRes.Locations.size()) iNext = oRes.Locations[iKeep - 1].Id;
    oRecord["next"] = nullptr;
    if (iNext != 0) oRecord["next"] = iNext;
    return rc_json_dump(oRecord);
}

void CRcHttpApi::Lookup(const std::string& strFid, const rc_http_page_t& oPage, RcHttpReply fnReply) {
    FindAndAnswer(strFid, oPage, fnReply, [](const rc_resource_t& oRes, uint64 iNext) {
        return rc_http_json(200, rc_http_record_page(oRes, iNext, RC_HTTP_RECORD_BUDGET));
    });
}

// One location is the least a page holds; the table is all that is shown.
void CRcHttpApi::PieceTable(const std::string& strFid, RcHttpReply fnReply) {
    rc_http_page_t oOne;
    oOne.Limit = 1;
    oOne.After = 0;
    FindAndAnswer(strFid, oOne, fnReply, [](const rc_resource_t& oRes, uint64) {
        rc_http_reply_t oReply;
        oReply.Type = "application/octet-stream";
        oReply.Body.assign(oRes.Tpt.begin(), oRes.Tpt.end());
        return oReply;
    });
}

void CRcHttpApi::Download(const std::string& strFid, RcHttpReply fnReply) {
    std::mt19937& oRandom = m_oRandom;
    AnswerFromCache(strFid, fnReply, [&oRandom](const rc_resource_t& oRes) { return rc_download_reply(oRes, oRandom); });
}

void CRcHttpApi::Metalink(const std::string& strFid, RcHttpReply fnReply) {
    std::mt19937& oRandom = m_oRandom;
    AnswerFromCache(strFid, fnReply, [&oRandom](const rc_resource_t& oRes) { return rc_metalink_reply(oRes, oRandom); });
}

void CRcHttpApi::AnswerFromCache(const std::string& strFid, RcHttpReply fnReply, BodyOf fnBody) {
    Sha1Hash oFid;
    std::string strReason;
    if (fid_of(strFid, oFid, strReason) != 0) {
        fnReply(rc_http_error(400, strReason));
        return;
    }
    const uint64 iGeneration = m_fnGeneration();
    if (CRcResourceCache::ResourcePtr pRes = m_oResources.Find(oFid, iGeneration, GetTickCount())) {
        fnReply(fnBody(*pRes));
        return;
    }
    auto& oWaiting = m_oReading[strFid];
    oWaiting.emplace_back(std::move(fnReply), std::move(fnBody));
    if (oWaiting.size() > 1) return;
    auto pFound = std::make_shared<stFound>();
    m_oReader.Submit(
        [pFound, oFid](CRcStore& oStore) {
            pFound->iErr = oStore.FindFidPage(oFid, RC_STORE_PAGE_MAX, 0, pFound->oRes, pFound->bFound, pFound->iNext,
                                              pFound->strError);
        },
        [this, pFound, oFid, strFid, iGeneration] {
            auto it = m_oReading.find(strFid);
            if (it == m_oReading.end()) return;
            std::vector<std::pair<RcHttpReply, BodyOf> > oWaiters;
            oWaiters.swap(it->second);
            m_oReading.erase(it);
            CRcResourceCache::ResourcePtr pRes;
            if (pFound->iErr == 0 && pFound->bFound) {
                pRes = std::make_shared<const rc_resource_t>(std::move(pFound->oRes));
                m_oResources.Put(oFid, pRes, iGeneration, m_fnGeneration(), GetTickCount());
            }
            for (auto& oWaiter : oWaiters) {
                if (pFound->iErr != 0) {
                    oWaiter.first(store_failure("look-up", pFound->iErr, pFound->strError));
                } else if (!pRes) {
                    oWaiter.first(rc_http_error(404, "unknown FID"));
                } else {
                    oWaiter.first(oWaiter.second(*pRes));
                }
            }
        });
}

void CRcHttpApi::FindAndAnswer(const std::string& strFid, const rc_http_page_t& oPage, RcHttpReply fnReply,
                               std::function<rc_http_reply_t(const rc_resource_t&, uint64)> fnBody) {
    Sha1Hash oFid;
    std::string strReason;
    if (fid_of(strFid, oFid, strReason) != 0) {
        fnReply(rc_http_error(400, strReason));
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
                fnReply(store_failure("look-up", pFound->iErr, pFound->strError));
            } else if (!pFound->bFound) {
                fnReply(rc_http_error(404, "unknown FID"));
            } else {
                fnReply(fnBody(pFound->oRes, pFound->iNext));
            }
        });
}

// From the figures the loop keeps, as /metrics is: a poll of the
// statistics never queues on the store beside the look-ups. Only before the
// store's counts are first read does it ask the store.
void CRcHttpApi::Stats(RcHttpReply fnReply) {
    const rc_counts_t& oCounts = m_counts;
    auto answer = [&oCounts](const rc_store_counts_t& oStored) {
        rc_json_t oOut = rc_json_t::object();
        auto add = [&oOut](const char* pszKey, uint64 iValue) { oOut[pszKey] = iValue; };
        add("resources", oStored.Resources);
        add("locations", oStored.Locations);
        add("reports", oStored.Reports);
        add("accepted", oCounts.Accepted);
        add("known", oCounts.Known);
        add("rejected", oCounts.Rejected);
        add("not_stored", oCounts.NotStored);
        add("removed", oCounts.Removed);
        add("dropped_connections", oCounts.Dropped);
        add("http_requests", oCounts.HttpRequests);
        return rc_http_json(200, rc_json_dump(oOut));
    };
    rc_store_counts_t oStored;
    if (m_oMetrics.StoreCounts(oStored)) {
        fnReply(answer(oStored));
        return;
    }
    struct stCounted {
        int iErr = 0;
        std::string strError;
        rc_store_counts_t oStored;
    };
    auto pCounted = std::make_shared<stCounted>();
    m_oReader.Submit(
        [pCounted](CRcStore& oStore) { pCounted->iErr = oStore.GetCounts(pCounted->oStored, pCounted->strError); },
        [pCounted, fnReply, answer] {
            fnReply(pCounted->iErr != 0 ? store_failure("stats", pCounted->iErr, pCounted->strError)
                                        : answer(pCounted->oStored));
        });
}

void CRcHttpApi::Remove(const std::string& strFid, RcHttpReply fnReply) {
    Sha1Hash oFid;
    std::string strReason;
    if (fid_of(strFid, oFid, strReason) != 0) {
        fnReply(rc_http_error(400, strReason));
        return;
    }
    m_oWritePath.Remove(oFid, [fnReply, strFid](int iErr, bool bFound, const std::string& strError) {
        if (iErr != 0) {
            fnReply(store_failure("removal", iErr, strError));
        } else if (!bFound) {
            fnReply(rc_http_error(404, "unknown FID"));
        } else {
            fnReply(rc_http_json(200, rc_json_dump(rc_json_t{{"removed", strFid}})));
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
    (oRequest.Kind == RC_LIST_HASH ? m_oReader : m_oSearcher).Submit(
        [pListed, oRequest](CRcStore& oStore) {
            pListed->iErr = rc_list_run(oStore, oRequest, pListed->strJson, pListed->strError);
        },
        [pListed, fnReply] {
            if (pListed->iErr == ENOTSUP) {
                fnReply(rc_http_error(501, "not supported by this store"));
            } else if (pListed->iErr != 0) {
                fnReply(store_failure("list", pListed->iErr, pListed->strError));
            } else {
                fnReply(rc_http_json(200, pListed->strJson));
            }
        });
}
void CRcHttpApi::Metrics(RcHttpReply fnReply) {
    rc_http_reply_t oReply;
    oReply.Type = "text/plain; version=0.0.4; charset=utf-8";
    oReply.Body = m_oMetrics.Text();
    fnReply(oReply);
}

void CRcHttpApi::Answered(unsigned int iStatus) { m_oMetrics.CountHttpAnswer(iStatus); }
