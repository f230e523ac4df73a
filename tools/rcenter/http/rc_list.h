// The HTTP API's lists of resources: GET /v1/resources (most recent first),
// /v1/search?q=TEXT (by part of a reported file name) and /v1/hash/<hex>
// (FID, SID or SHA-1 in 40 hex digits, MD4 in 32), each answered as
// {"resources": [entry...], "next": cursor or null} with ?limit= and
// ?after= paging the first two. rc_list_route reads a request without the
// store; rc_list_run answers it from a CRcStore on the caller's thread
// (whichever owns the store). Errors as each call says.
#ifndef ZQ_RC_LIST_H
#define ZQ_RC_LIST_H

#include <string>

#include "common_header.h"
#include "rc_store.h"

enum ERcListKind {
    RC_LIST_RECENT,
    RC_LIST_SEARCH,
    RC_LIST_HASH,
};

enum : uint32 {
    RC_LIST_DEFAULT_LIMIT = 50,
};

struct rc_list_request_t {
    ERcListKind Kind = RC_LIST_RECENT;
    std::string Text;  // the search's text, or the hash in lowercase hex
    uint32 Limit = RC_LIST_DEFAULT_LIMIT;
    uint64 After = 0;  // the "next" of the page before; 0 from the start
};

// False when strPath is none of the list endpoints. Otherwise true, with
// iStatus 0 and oReq filled from strQuery (the target's query, undecoded),
// or iStatus 400 and the reason, for the peer, in strReason.
bool rc_list_route(const std::string& strPath, const std::string& strQuery, rc_list_request_t& oReq,
                   unsigned int& iStatus, std::string& strReason);

// 0 with the answer's JSON (no newline), or the store's errno value with its
// reason (ENOTSUP: the store cannot answer this kind of list).
int rc_list_run(CRcStore& oStore, const rc_list_request_t& oReq, std::string& strJson, std::string& strReason);

#endif
