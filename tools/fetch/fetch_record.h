// What zq_fetch needs of a center's answer to GET /v1/resources/<fid>: the
// FID, the size, the download URLs and file names of the locations, and the
// cursor of the next page of locations when the answer has one. A small JSON
// reader of its own: the answer is one object, read whole, nothing else kept.
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
};

int fetch_parse_record(const std::string& strJson, fetch_record_t& oRecord, std::string& strWhy);

#endif
