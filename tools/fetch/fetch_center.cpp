#include "fetch_center.h"

#include <curl/curl.h>

#include <cctype>
#include <set>

#include "tptFile.h"

namespace {

const size_t kMaxAnswer = 64U << 20;
const long kTimeoutSeconds = 60;

struct answer_t {
    std::string Body;
    size_t Limit = 0;
};

size_t collect(char* p, size_t size, size_t n, void* pUser) {
    answer_t* pAnswer = static_cast<answer_t*>(pUser);
    if (pAnswer->Body.size() + size * n > pAnswer->Limit) return 0;
    pAnswer->Body.append(p, size * n);
    return size * n;
}

int get(const std::string& strUrl, const std::string& strCaFile, size_t uiLimit, std::string& strBody,
        std::string& strWhy) {
    CURL* e = curl_easy_init();
    if (e == nullptr) {
        strWhy = "cannot start an HTTP client";
        return -1;
    }
    answer_t oAnswer;
    oAnswer.Limit = uiLimit;
    curl_easy_setopt(e, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "zq_fetch");
    if (!strCaFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, strCaFile.c_str());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &oAnswer);
    CURLcode eCode = curl_easy_perform(e);
    long lStatus = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &lStatus);
    curl_easy_cleanup(e);
    if (eCode == CURLE_WRITE_ERROR) {
        strWhy = strUrl + ": an answer longer than " + std::to_string(uiLimit) + " bytes";
        return -1;
    }
    if (eCode != CURLE_OK) {
        strWhy = strUrl + ": " + curl_easy_strerror(eCode);
        return -1;
    }
    if (lStatus != 200) {
        strWhy = strUrl + ": HTTP " + std::to_string(lStatus);
        return -1;
    }
    strBody.swap(oAnswer.Body);
    return 0;
}

std::string resource_url(const std::string& strCenter, const std::string& strFid) {
    std::string strBase = strCenter;
    while (!strBase.empty() && strBase.back() == '/') strBase.pop_back();
    return strBase + "/v1/resources/" + strFid;
}

std::string escaped(const std::string& strText) {
    static const char* kHex = "0123456789ABCDEF";
    std::string strOut;
    for (unsigned char c : strText) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            strOut += static_cast<char>(c);
        } else {
            strOut += '%';
            strOut += kHex[c >> 4];
            strOut += kHex[c & 15];
        }
    }
    return strOut;
}

}  // namespace

int fetch_center_record(const std::string& strCenter, const std::string& strFid, const std::string& strCaFile,
                        fetch_record_t& oRecord, std::string& strWhy) {
    std::string strUrl = resource_url(strCenter, strFid);
    std::set<std::string> oCursors;
    size_t uiBytes = 0;
    oRecord = fetch_record_t();
    for (unsigned int uiPage = 0; uiPage < FETCH_MAX_PAGES; ++uiPage) {
        std::string strBody;
        if (get(strUrl, strCaFile, kMaxAnswer, strBody, strWhy) != 0) return -1;
        fetch_record_t oPage;
        if (fetch_parse_record(strBody, oPage, strWhy) != 0) {
            strWhy = strUrl + ": " + strWhy;
            return -1;
        }
        if (uiPage == 0) {
            oRecord.Fid = oPage.Fid;
            oRecord.Size = oPage.Size;
        } else if (oPage.Fid != oRecord.Fid || oPage.Size != oRecord.Size) {
            strWhy = strUrl + ": a page of another resource";
            return -1;
        }
        for (size_t i = 0; i < oPage.Urls.size(); ++i) {
            if (oRecord.Urls.size() >= FETCH_MAX_LOCATIONS ||
                uiBytes + oPage.Urls[i].size() + oPage.Files[i].size() > FETCH_MAX_RECORD_BYTES) {
                oRecord.Cut = true;
                return 0;
            }
            uiBytes += oPage.Urls[i].size() + oPage.Files[i].size();
            oRecord.Urls.push_back(oPage.Urls[i]);
            oRecord.Files.push_back(oPage.Files[i]);
            oRecord.Ranks.push_back(oPage.Ranks[i]);
        }
        if (oPage.Next.empty()) return 0;
        if (!oCursors.insert(oPage.Next).second) {
            strWhy = strUrl + ": the cursor " + oPage.Next + " comes round again";
            return -1;
        }
        strUrl = resource_url(strCenter, strFid) + "?after=" + escaped(oPage.Next);
    }
    strWhy = "more than " + std::to_string(FETCH_MAX_PAGES) + " pages of locations";
    return -1;
}

int fetch_center_table(const std::string& strCenter, const std::string& strFid, const std::string& strCaFile,
                       std::vector<unsigned char>& oTable, std::string& strWhy) {
    std::string strBody;
    if (get(resource_url(strCenter, strFid) + "/tpt", strCaFile, TPTFile::MAX_TPT_DATA, strBody, strWhy) != 0)
        return -1;
    oTable.assign(strBody.begin(), strBody.end());
    return 0;
}
