// What the resource center checks of a report before it may be stored: the
// request packet's header against its length and command, and the decoded
// body's piece table against the size, the identifiers and the hash. Pure
// functions of their arguments, like the codec (report_wire) they build on.
#ifndef ZQ_RC_CHECK_H
#define ZQ_RC_CHECK_H

#include <cstddef>

#include "common_header.h"
#include "report_wire.h"

// Checks the piece table against the rest of a decoded report, in this
// order: it parses (2), agrees with Size and the piece-size rule (3), gives
// back the sent FID (4) and SID (5), and ends with the sent Hash (6).
// RC_ERR_NONE when everything holds.
uint32 rc_validate_report(const rc_report_t& oReport);

// Everything a request packet (header included, iLen bytes) is checked for:
// its header's length equals iLen, its command is a report (7 otherwise),
// its body decodes and validates. oReport holds the decoded body when the
// result is RC_ERR_NONE.
uint32 rc_check_request(const unsigned char* p, size_t iLen, rc_report_t& oReport);

#endif
