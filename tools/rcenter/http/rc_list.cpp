#include "rc_list.h"

#include <algorithm>
#include <cerrno>

#include "rc_record_format.h"
#include "str_util.h"

namespace {

std::string answer(const std::vector<rc_resource_entry_t>& oEntries, uint64 iNext) {
    rc_json_t oList = rc_json_t::array();
    for (const rc_resource_entry_t& oEntry : oEntries) oList.push_back(rc_entry_value(oEntry));
    rc_json_t oOut = {{"resources", std::move(oList)}, {"next", nullptr}};
    if (iNext != 0) oOut["next"] = iNext;
    return rc_json_dump(oOut);
}

// A hash names at most a few resources, so its answer is never paged: each
// resource once, those whose FID it is first.
int find_hash(CRcStore& oStore, const std::string& strHex, std::vector<rc_resource_entry_t>& oOut,
              std::string& strReason) {
    std::vector<rc_resource_t> oFound;
    std::vector<rc_resource_t> oMore;
    int iErr = 0;
    if (strHex.size() == 32) {
        Md5Hash oMd4;
        BinBufFromHexExact(oMd4.cVal, sizeof(oMd4.cVal), strHex.data(), strHex.size());
        iErr = oStore.FindMd4(oMd4, oFound, strReason);
    } else {
        Sha1Hash oKey;
        BinBufFromHexExact(oKey.cVal, sizeof(oKey.cVal), strHex.data(), strHex.size());
        iErr = oStore.FindFid(oKey, oFound, strReason);
        if (iErr == 0) iErr = oStore.FindSha1(oKey, oMore, strReason);
        if (iErr == 0) oFound.insert(oFound.end(), oMore.begin(), oMore.end());
        if (iErr == 0) iErr = oStore.FindSid(oKey, oMore, strReason);
        if (iErr == 0) oFound.insert(oFound.end(), oMore.begin(), oMore.end());
    }
    if (iErr != 0) return iErr;
    oOut.clear();
    for (const rc_resource_t& oRes : oFound) {
        const bool bSeen = std::any_of(oOut.begin(), oOut.end(),
                                       [&oRes](const rc_resource_entry_t& o) { return o.FID == oRes.FID; });
        if (!bSeen) oOut.push_back(rc_entry_of(oRes));
    }
    return 0;
}

}  // namespace

int rc_list_run(CRcStore& oStore, const rc_list_request_t& oReq, std::string& strJson, std::string& strReason) {
    std::vector<rc_resource_entry_t> oEntries;
    uint64 iNext = 0;
    int iErr = 0;
    if (oReq.Kind == RC_LIST_HASH) {
        iErr = find_hash(oStore, oReq.Text, oEntries, strReason);
    } else if (oReq.Kind == RC_LIST_SEARCH) {
        iErr = oStore.SearchNames(oReq.Text, oReq.Limit, oReq.After, oEntries, iNext, strReason);
    } else {
        iErr = oStore.ListRecent(oReq.Limit, oReq.After, oEntries, iNext, strReason);
    }
    if (iErr == 0) strJson = answer(oEntries, iNext);
    return iErr;
}
