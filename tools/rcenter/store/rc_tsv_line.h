// The journal line: the one-line, tab-separated text form of an accepted
// report that the center's TSV journal once held, kept because scripts read
// it (zq_lookup --export-tsv prints the store's records this way). Pure
// functions; the store of record is rc_store.
#ifndef ZQ_RC_TSV_LINE_H
#define ZQ_RC_TSV_LINE_H

#include <ctime>
#include <string>

#include "common_header.h"
#include "report_wire.h"

// One journal line for an accepted report received at tNow, ending in a
// newline: tab-separated key=value fields, "time" first (UTC, ISO 8601), then
// every field zq_ident prints under its name, then file, ext, url and ref.
std::string rc_tsv_line(const rc_report_t& oReport, time_t tNow);

// A text as it appears in a journal value: backslash, tab, newline, carriage
// return and the other control bytes are escaped (\\, \t, \n, \r, \xHH), so a
// value never splits a line or a field; other bytes are kept as they are.
std::string rc_tsv_escape(const std::string& strText);

#endif
