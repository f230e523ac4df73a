// The one reader of a request's parameters, a query and a form body alike,
// with one rule set everywhere: pairs split at '&' and the first '=', '+' a
// space, %XX decoded (a bad escape or a NUL byte refuses the whole text), a
// name given twice is refused, names nobody reads are ignored (a cache-buster
// is harmless); a number is canonical decimal (no sign, blank or leading
// zero) once decoded, within its range. Every refusal is a 400 with words
// for the peer.
#ifndef ZQ_RC_HTTP_QUERY_H
#define ZQ_RC_HTTP_QUERY_H

#include <string>
#include <utility>
#include <vector>

#include "common_header.h"

enum : uint32 {
    // Entries of a list, or locations of a record, one answer shows by default.
    RC_HTTP_PAGE_DEFAULT = 100,
};

// Which entries one answer shows: at most Limit, from the one after the
// cursor After (0: the first).
struct rc_http_page_t {
    uint32 Limit = RC_HTTP_PAGE_DEFAULT;
    uint64 After = 0;
};

class CRcHttpParams {
public:
    // Reads strText (undecoded). False with the reason.
    bool Parse(const std::string& strText, std::string& strWhy);
    // The decoded value of a name, or null when it was not given.
    const std::string* Get(const std::string& strName) const;
    // The number given for strName, within iMin..iMax, or iDefault when it
    // was not given. False with the reason.
    bool Number(const std::string& strName, uint64 iMin, uint64 iMax, uint64 iDefault, uint64& iValue,
                std::string& strWhy) const;
    // limit (1 to the store's page bound) and after (a cursor; 0 is the start).
    bool Page(rc_http_page_t& oPage, std::string& strWhy) const;

private:
    std::vector<std::pair<std::string, std::string> > m_oPairs;
};

#endif
