#include "fetch_http.h"

#include "str_util.h"

bool fetch_http_number(const std::string& strText, unsigned long long& iValue) {
    size_t iAt = 0;
    while (iAt + 1 < strText.size() && strText[iAt] == '0') ++iAt;
    return ParseDecimal(strText.data() + iAt, strText.size() - iAt, ~0ULL, &iValue) == 0;
}

bool fetch_content_range(const std::string& strValue, unsigned long long& iFirst, unsigned long long& iLast,
                         bool& bTotal, unsigned long long& iTotal) {
    const std::string kUnit = "bytes ";
    if (strValue.compare(0, kUnit.size(), kUnit) != 0) return false;
    const size_t iDash = strValue.find('-', kUnit.size());
    const size_t iSlash = strValue.find('/', kUnit.size());
    if (iDash == std::string::npos || iSlash == std::string::npos || iDash > iSlash) return false;
    const std::string strTotal = strValue.substr(iSlash + 1);
    bTotal = strTotal != "*";
    return fetch_http_number(strValue.substr(kUnit.size(), iDash - kUnit.size()), iFirst) &&
           fetch_http_number(strValue.substr(iDash + 1, iSlash - iDash - 1), iLast) && iFirst <= iLast &&
           (!bTotal || fetch_http_number(strTotal, iTotal));
}
