#include "rc_list.h"

#include <algorithm>
#include <cerrno>

#include "post_form.h"
#include "rc_record_format.h"
#include "str_util.h"

namespace {

const char kHashPrefix[] = "/v1/hash/";

bool is_hex(const std::string& strText) {
    return std::all_of(strText.begin(), strText.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

// A whole decimal number from iMin to iMax, nothing else.
bool parse_number(const std::string& strText, uint64 iMin, uint64 iMax, uint64& iValue) {
    if (strText.empty() || strText.size() > 20) return false;
    uint64 iSum = 0;
    for (char c : strText) {
        if (c < '0' || c > '9') return false;
        const uint64 iDigit = static_cast<uint64>(c - '0');
        if (iSum > (~0ULL - iDigit) / 10) return false;
        iSum = iSum * 10 + iDigit;
    }
    if (iSum < iMin || iSum > iMax) return false;
    iValue = iSum;
    return true;
}

std::string answer(const std::vector<rc_resource_entry_t>& oEntries, uint64 iNext) {
    std::string strOut = "{\"resources\": [";
    for (size_t i = 0; i < oEntries.size(); ++i) {
        if (i > 0) strOut += ", ";
        strOut += rc_entry_json(oEntries[i]);
    }
    strOut += "], \"next\": ";
    strOut += iNext == 0 ? std::string("null") : std::to_string(iNext);
    return strOut + "}";
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

bool rc_list_route(const std::string& strPath, const std::string& strQuery, rc_list_request_t& oReq,
                   unsigned int& iStatus, std::string& strReason) {
    oReq = rc_list_request_t();
    iStatus = 0;
    const size_t iHashPrefix = sizeof(kHashPrefix) - 1;
    if (strPath == "/v1/resources") {
        oReq.Kind = RC_LIST_RECENT;
    } else if (strPath == "/v1/search") {
        oReq.Kind = RC_LIST_SEARCH;
    } else if (strPath.compare(0, iHashPrefix, kHashPrefix) == 0) {
        oReq.Kind = RC_LIST_HASH;
        oReq.Text = strPath.substr(iHashPrefix);
        if ((oReq.Text.size() != 32 && oReq.Text.size() != 40) || !is_hex(oReq.Text)) {
            iStatus = 400;
            strReason = "not a hash: 32 or 40 hex digits expected";
            return true;
        }
        std::transform(oReq.Text.begin(), oReq.Text.end(), oReq.Text.begin(),
                       [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
        return true;
    } else {
        return false;
    }
    CPostForm oQuery;
    const EPostFormResult eQuery = oQuery.Parse(strQuery.data(), strQuery.size());
    if (eQuery != FORM_OK) {
        iStatus = 400;
        strReason = std::string("malformed query: ") + PostFormResultText(eQuery);
        return true;
    }
    uint64 iValue = 0;
    if (const std::string* pLimit = oQuery.Get("limit")) {
        if (!parse_number(*pLimit, 1, RC_STORE_PAGE_MAX, iValue)) {
            iStatus = 400;
            strReason = "limit: a number from 1 to " + std::to_string(RC_STORE_PAGE_MAX);
            return true;
        }
        oReq.Limit = static_cast<uint32>(iValue);
    }
    if (const std::string* pAfter = oQuery.Get("after")) {
        if (!parse_number(*pAfter, 1, ~0ULL, iValue)) {
            iStatus = 400;
            strReason = "after: the \"next\" of the page before";
            return true;
        }
        oReq.After = iValue;
    }
    if (oReq.Kind == RC_LIST_SEARCH) {
        const std::string* pText = oQuery.Get("q");
        if (pText == nullptr || rc_store_name_chars(*pText) < RC_STORE_NAME_MIN) {
            iStatus = 400;
            strReason = "q: at least " + std::to_string(RC_STORE_NAME_MIN) + " characters of a file name";
            return true;
        }
        oReq.Text = *pText;
    }
    return true;
}

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
