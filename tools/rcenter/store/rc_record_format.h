// How a stored resource is shown: as key: value lines and as one JSON object
// (the keys of zq_ident, then first_seen, last_seen, count and the
// locations), and as the journal line each of its locations was accepted
// with. Pure functions: no I/O.
#ifndef ZQ_RC_RECORD_FORMAT_H
#define ZQ_RC_RECORD_FORMAT_H

#include <string>

#include "rc_store.h"
#include "rc_tsv_line.h"
#include "report_wire.h"

// Seconds since the epoch as UTC text, 2024-03-05T14:07:09Z.
std::string rc_utc_text(sint64 iTime);

// The report a location was accepted from, as the decoder would give it.
void rc_report_of(const rc_resource_t& oRes, const rc_location_t& oWhere, rc_report_t& oReport);

// The other way: the resource and the location a decoded report gives.
void rc_resource_of(const rc_report_t& oReport, rc_resource_t& oRes, rc_location_t& oWhere);

// Whether a record is shown with what the checks found of each location.
enum ERcRecordShow {
    RC_RECORD_PLAIN,
    RC_RECORD_HEALTH,
};

// One "key: value" line per field, then one "location: " line per location
// (first-seen time, URL and file name, tab-separated and escaped as in the
// journal), with RC_RECORD_HEALTH each followed by its "health: " line
// (rc_health_text). Ends with a newline.
std::string rc_record_text(const rc_resource_t& oRes, ERcRecordShow nShow = RC_RECORD_PLAIN);

// One JSON object on one line, no newline. Texts are escaped for JSON; a
// byte that is not part of valid UTF-8 becomes \u00XX. With
// RC_RECORD_HEALTH each location has a "health" object (rc_health_json).
std::string rc_record_json(const rc_resource_t& oRes, ERcRecordShow nShow = RC_RECORD_PLAIN);

// "ok checked_at=2024-03-05T14:07:09Z ok_at=... failures=0 latency_ms=12
// ranges=yes": times "never" when there was none, ranges yes, no or unknown.
std::string rc_health_text(const rc_health_t& oHealth);
// {"state": "ok", "checked_at": "2024-...Z", "ok_at": ..., "failures": 0,
// "latency_ms": 12, "ranges": true}: times and ranges null when unknown.
std::string rc_health_json(const rc_health_t& oHealth);

// A list entry as one JSON object on one line: fid, sha1, size, file,
// first_seen, count; texts escaped as in rc_record_json.
std::string rc_entry_json(const rc_resource_entry_t& oEntry);

// The entry a whole resource gives (named after its first location).
rc_resource_entry_t rc_entry_of(const rc_resource_t& oRes);

// The journal line of the report that added this location (rc_journal_line).
std::string rc_record_journal_line(const rc_resource_t& oRes, const rc_location_t& oWhere);

#endif
