// What zq_fetch reads of a mirror's answer head: its numbers (Content-Length)
// and its Content-Range. A mirror is anyone's server, so each reader takes
// exactly its form and refuses anything else. Pure functions.
#ifndef ZQ_FETCH_HTTP_H
#define ZQ_FETCH_HTTP_H

#include <string>

// An HTTP number: digits only, leading zeros allowed as HTTP allows them,
// no sign or blank, at most 2^64 - 1. False for anything else.
bool fetch_http_number(const std::string& strText, unsigned long long& iValue);

// "bytes FIRST-LAST/TOTAL" or "bytes FIRST-LAST/*" (bTotal false), nothing
// else; FIRST is not above LAST. False for anything else.
bool fetch_content_range(const std::string& strValue, unsigned long long& iFirst, unsigned long long& iLast,
                         bool& bTotal, unsigned long long& iTotal);

#endif
