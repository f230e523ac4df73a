// How a stored resource is shown: as key: value lines and as one JSON object
// (the keys of zq_ident, then first_seen, last_seen, count and the
// locations), and as the journal line each of its locations was accepted
// with. Pure functions: no I/O.
#ifndef ZQ_RC_RECORD_FORMAT_H
#define ZQ_RC_RECORD_FORMAT_H

#include <string>

#include <nlohmann/json.hpp>

#include "rc_store.h"
#include "rc_tsv_line.h"
#include "report_wire.h"

// Every JSON the center writes is a value of the JSON library, written by
// rc_json_dump on one line with a space after each ':' and ',' (the layout
// its answers have always had, which scripts may read). Texts are escaped by
// the library; bytes that are not valid UTF-8 become U+FFFD each, and a
// reader cannot tell them from a reported U+FFFD, so zq_fetch refuses such
// a name.
typedef nlohmann::ordered_json rc_json_t;
std::string rc_json_dump(const rc_json_t& oValue);
// A text as a JSON string, quotes included.
std::string rc_json_text(const std::string& strText);

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

// One JSON object on one line, no newline (rc_json_dump of rc_record_value).
// With RC_RECORD_HEALTH each location has a "health" object (rc_health_value).
std::string rc_record_json(const rc_resource_t& oRes, ERcRecordShow nShow = RC_RECORD_PLAIN);
rc_json_t rc_record_value(const rc_resource_t& oRes, ERcRecordShow nShow = RC_RECORD_PLAIN);

// "ok checked_at=2024-03-05T14:07:09Z ok_at=... failures=0 latency_ms=12
// ranges=yes": times "never" when there was none, ranges yes, no or unknown.
std::string rc_health_text(const rc_health_t& oHealth);
// {"state": "ok", "checked_at": "2024-...Z", "ok_at": ..., "failures": 0,
// "latency_ms": 12, "ranges": true}: times and ranges null when unknown.
rc_json_t rc_health_value(const rc_health_t& oHealth);

// A list entry as one JSON object on one line: fid, sha1, size, file,
// first_seen, count; texts escaped as in rc_record_json.
std::string rc_entry_json(const rc_resource_entry_t& oEntry);
rc_json_t rc_entry_value(const rc_resource_entry_t& oEntry);

// The entry a whole resource gives (named after its first location).
rc_resource_entry_t rc_entry_of(const rc_resource_t& oRes);

// The journal line of the report that added this location (rc_tsv_line).
std::string rc_record_tsv_line(const rc_resource_t& oRes, const rc_location_t& oWhere);

#endif
