// The texts zq_publish makes from names: a file's download URL from the base
// URL and its path under the tree, the center's address from HOST:PORT, and
// names made safe for a terminal. Pure functions.
#ifndef ZQ_PUB_URL_H
#define ZQ_PUB_URL_H

#include <string>

// strBase with a '/' added when it has none at its end, then every segment
// of strRelPath ('/'-separated) percent-encoded except A-Z a-z 0-9 - . _ ~,
// the segments joined by '/'. Encoded bytes are written %XX in upper case.
std::string pub_file_url(const std::string& strBase, const std::string& strRelPath);

// One segment percent-encoded as above ('/' included).
std::string pub_encode_segment(const std::string& strSegment);

// HOST:PORT, where HOST is an IPv4 address, a host name or a bracketed IPv6
// address ([::1]:9000) and PORT 1 to 65535. 0, or -1 with the reason in strWhy.
int pub_parse_center(const std::string& strText, std::string& strHost, unsigned short& uPort, std::string& strWhy);

// A name as it may be shown on a terminal or in a log: control bytes and
// DEL become \xHH and a backslash is doubled, other bytes are kept.
std::string pub_printable(const std::string& strText);

#endif
