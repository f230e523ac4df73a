// The HTTP API's lists of resources: GET /v1/resources (most recent first),
// /v1/search?q=TEXT (by part of a reported file name) and /v1/hash/<hex>
// (FID, SID or SHA-1 in 40 hex digits, MD4 in 32), each answered as
// {"resources": [entry...], "next": cursor or null} with ?limit= and
// ?after= paging the first two. The HTTP front reads the request;
// rc_list_run answers it from a CRcStore on the caller's thread (whichever
// owns the store).
#ifndef ZQ_RC_LIST_H
#define ZQ_RC_LIST_H

#include <string>

#include "common_header.h"
#include "rc_http_query.h"
#include "rc_store.h"

enum ERcListKind {
    RC_LIST_RECENT,
    RC_LIST_SEARCH,
    RC_LIST_HASH,
};

struct rc_list_request_t {
    ERcListKind Kind = RC_LIST_RECENT;
    std::string Text;  // the search's text, or the hash in lowercase hex
    uint32 Limit = RC_HTTP_PAGE_DEFAULT;
    uint64 After = 0;  // the "next" of the page before; 0 from the start
};

// 0 with the answer's JSON (no newline), or the store's errno value with its
// reason (ENOTSUP: the store cannot answer this kind of list).
int rc_list_run(CRcStore& oStore, const rc_list_request_t& oReq, std::string& strJson, std::string& strReason);

#endif
