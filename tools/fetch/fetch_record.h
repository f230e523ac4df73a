// What zq_fetch needs of a center's answer to GET /v1/resources/<fid>: the
// FID, the size, the download URLs and file names of the locations, and the
// cursor of the next page of locations ("next", a number, or null on the
// last page). Read with the JSON library, the answer whole; texts come back
// as the center wrote them (a name it could not write exactly holds U+FFFD).
// fetch_parse_record returns 0, or -1 with the reason in strWhy.
#ifndef ZQ_FETCH_RECORD_H
#define ZQ_FETCH_RECORD_H

#include <string>
#include <vector>

#include "common_header.h"

struct fetch_record_t {
    std::string Fid;  // 40 hex digits, as the center wrote them
    uint64 Size = 0;
    std::vector<std::string> Urls;   // the locations' URLs, in the answer's order
    std::vector<std::string> Files;  // the locations' file names, beside Urls
    std::string Next;                // the next page's cursor; empty on the last page
    bool Cut = false;                // more locations were named than were read
};

int fetch_parse_record(const std::string& strJson, fetch_record_t& oRecord, std::string& strWhy);

// A text a center or a mirror chose (a name, a URL, a message holding one),
// fit for a terminal: control bytes and DEL become \xHH, so no escape
// sequence reaches it; backslashes are doubled.
std::string fetch_printable(const std::string& strText);

// Whether a name from a record may become the output file's name in the
// current directory: no '/', no control byte, not starting with '.' or '-'
// (no hidden file, no option), not U+FFFD (a name the center could not
// write as it was reported).
bool fetch_usable_name(const std::string& strName);

#endif
