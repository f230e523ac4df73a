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
    std::vector<int> Ranks;          // what the center's checks say of each, beside Urls (fetch_rank_t)
    std::string Next;                // the next page's cursor; empty on the last page
    bool Cut = false;                // more locations were named than were read
};

// How a location serves a download, from its "health" in the record: the
// order mirrors are tried in, the unusable ones never.
enum fetch_rank_t {
    FETCH_RANK_GOOD = 0,       // found ok and serving ranges
    FETCH_RANK_UNKNOWN = 1,    // not checked (or a center that does not check)
    FETCH_RANK_WHOLE = 2,      // found ok but ignoring ranges: one piece at most
    FETCH_RANK_UNUSABLE = 3,   // wrong content, file missing or unreachable
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
