// Asking a resource center for what a download needs: the record of a FID
// with every page of its locations (GET /v1/resources/<fid>, then ?after=
// the cursor each page names, until a page names none) and its piece table
// (GET /v1/resources/<fid>/tpt). Blocking calls, http and https only, TLS
// verified. 0 on success; -1 with the reason in strWhy.
#ifndef ZQ_FETCH_CENTER_H
#define ZQ_FETCH_CENTER_H

#include <string>
#include <vector>

#include "fetch_record.h"

// Pages followed at most, so a center that keeps naming cursors cannot hold
// the download for good.
const unsigned int FETCH_MAX_PAGES = 10000;
// What a record may hold in all, so a center cannot fill the memory page
// after page: a download uses at most 64 mirrors. Reading stops once either
// is reached and the record says it was cut (fetch_record_t::Cut).
const size_t FETCH_MAX_LOCATIONS = 10000;
const size_t FETCH_MAX_RECORD_BYTES = 64u << 20;

int fetch_center_record(const std::string& strCenter, const std::string& strFid, const std::string& strCaFile,
                        fetch_record_t& oRecord, std::string& strWhy);
int fetch_center_table(const std::string& strCenter, const std::string& strFid, const std::string& strCaFile,
                       std::vector<unsigned char>& oTable, std::string& strWhy);

#endif
