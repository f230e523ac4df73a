#include "rc_record_format.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "rc_record.h"

namespace {

// The length of the valid UTF-8 sequence at p (at most iLeft bytes), or 0.
size_t Utf8Length(const unsigned char* p, size_t iLeft) {
    unsigned char c = p[0];
    size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
    if (c >= 0xf5 || n == 0 || n > iLeft) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xc0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and values above U+10FFFF.
    if (n == 3 && ((c == 0xe0 && p[1] < 0xa0) || (c == 0xed && p[1] >= 0xa0))) return 0;
    if (n == 4 && ((c == 0xf0 && p[1] < 0x90) || (c == 0xf4 && p[1] >= 0x90))) return 0;
    return n;
}

std::string JsonString(const std::string& strText) {
    std::string out = "\"";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strText.data());
    size_t iLen = strText.size();
    for (size_t i = 0; i < iLen;) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t n = c < 0x80 ? 1 : Utf8Length(p + i, iLen - i);
        if (c < 0x20 || n == 0) {
            char sz[8];
            snprintf(sz, sizeof(sz), "\\u%04x", c);
            out += sz;
            ++i;
            continue;
        }
        out.append(reinterpret_cast<const char*>(p + i), n);
        i += n;
    }
    out += '"';
    return out;
}

std::vector<rc_field_t> FieldsOf(const rc_resource_t& oRes) {
    rc_report_t oReport;
    rc_report_of(oRes, oRes.Locations.empty() ? rc_location_t() : oRes.Locations.front(), oReport);
    RSInfo oInfo;
    rc_fill_info(oReport, oInfo);
    return rc_info_fields(oInfo);
}

}  // namespace

std::string rc_utc_text(sint64 iTime) {
    time_t t = static_cast<time_t>(iTime);
    struct tm tmUtc;
    char sz[32] = "";
    if (gmtime_r(&t, &tmUtc) != nullptr) strftime(sz, sizeof(sz), "%Y-%m-%dT%H:%M:%SZ", &tmUtc);
    return sz;
}

void rc_report_of(const rc_resource_t& oRes, const rc_location_t& oWhere, rc_report_t& oReport) {
    oReport.Url = oWhere.Url;
    oReport.Ref = oWhere.Ref;
    oReport.FileName = oWhere.FileName;
    oReport.ExtName = oWhere.ExtName;
    oReport.Hash = oRes.Hash;
    oReport.SID = oRes.SID;
    oReport.FID = oRes.FID;
    oReport.Size = oRes.Size;
    oReport.Tpt = oRes.Tpt;
    oReport.MD4 = oRes.MD4;
}

void rc_resource_of(const rc_report_t& oReport, rc_resource_t& oRes, rc_location_t& oWhere) {
    oRes.FID = oReport.FID;
    oRes.SID = oReport.SID;
    oRes.Hash = oReport.Hash;
    oRes.MD4 = oReport.MD4;
    oRes.Size = oReport.Size;
    oRes.Tpt = oReport.Tpt;
    oWhere.Url = oReport.Url;
    oWhere.FileName = oReport.FileName;
    oWhere.ExtName = oReport.ExtName;
    oWhere.Ref = oReport.Ref;
}

std::string rc_health_text(const rc_health_t& oHealth) {
    auto when = [](sint64 t) { return t == 0 ? std::string("never") : rc_utc_text(t); };
    return std::string(rc_health_state_name(oHealth.State)) + " checked_at=" + when(oHealth.CheckedAt) +
           " ok_at=" + when(oHealth.OkAt) + " failures=" + std::to_string(oHealth.Failures) +
           " latency_ms=" + std::to_string(oHealth.LatencyMs) + " ranges=" +
           (oHealth.Ranges == RC_RANGES_YES ? "yes" : oHealth.Ranges == RC_RANGES_NO ? "no" : "unknown");
}

std::string rc_health_json(const rc_health_t& oHealth) {
    auto when = [](sint64 t) { return t == 0 ? std::string("null") : "\"" + rc_utc_text(t) + "\""; };
    return std::string("{\"state\": \"") + rc_health_state_name(oHealth.State) + "\", \"checked_at\": " +
           when(oHealth.CheckedAt) + ", \"ok_at\": " + when(oHealth.OkAt) +
           ", \"failures\": " + std::to_string(oHealth.Failures) +
           ", \"latency_ms\": " + std::to_string(oHealth.LatencyMs) + ", \"ranges\": " +
           (oHealth.Ranges == RC_RANGES_YES ? "true" : oHealth.Ranges == RC_RANGES_NO ? "false" : "null") + "}";
}

std::string rc_record_text(const rc_resource_t& oRes, ERcRecordShow nShow) {
    std::string out;
    for (const rc_field_t& oField : FieldsOf(oRes)) out += oField.Key + ": " + oField.Value + "\n";
    out += "first_seen: " + rc_utc_text(oRes.FirstSeen) + "\n";
    out += "last_seen: " + rc_utc_text(oRes.LastSeen) + "\n";
    out += "count: " + std::to_string(oRes.Count) + "\n";
    for (const rc_location_t& oLoc : oRes.Locations) {
        out += "location: " + rc_utc_text(oLoc.FirstSeen) + "\t" + rc_journal_escape(oLoc.Url) + "\t" +
               rc_journal_escape(oLoc.FileName) + "\n";
        if (nShow == RC_RECORD_HEALTH) out += "health: " + rc_health_text(oLoc.Health) + "\n";
    }
    return out;
}

std::string rc_record_json(const rc_resource_t& oRes, ERcRecordShow nShow) {
    std::string out = "{";
    for (const rc_field_t& oField : FieldsOf(oRes)) {
        out += "\"" + oField.Key + "\": ";
        out += oField.Number ? oField.Value : JsonString(oField.Value);
        out += ", ";
    }
    out += "\"first_seen\": \"" + rc_utc_text(oRes.FirstSeen) + "\", ";
    out += "\"last_seen\": \"" + rc_utc_text(oRes.LastSeen) + "\", ";
    out += "\"count\": " + std::to_string(oRes.Count) + ", ";
    out += "\"locations\": [";
    for (size_t i = 0; i < oRes.Locations.size(); ++i) {
        const rc_location_t& oLoc = oRes.Locations[i];
        if (i > 0) out += ", ";
        out += "{\"url\": " + JsonString(oLoc.Url) + ", \"file\": " + JsonString(oLoc.FileName) +
               ", \"ext\": " + JsonString(oLoc.ExtName) + ", \"ref\": " + JsonString(oLoc.Ref) +
               ", \"first_seen\": \"" + rc_utc_text(oLoc.FirstSeen) + "\"";
        if (nShow == RC_RECORD_HEALTH) out += ", \"health\": " + rc_health_json(oLoc.Health);
        out += "}";
    }
    out += "]}";
    return out;
}

std::string rc_record_journal_line(const rc_resource_t& oRes, const rc_location_t& oWhere) {
    rc_report_t oReport;
    rc_report_of(oRes, oWhere, oReport);
    return rc_journal_line(oReport, static_cast<time_t>(oWhere.FirstSeen));
}

std::string rc_entry_json(const rc_resource_entry_t& oEntry) {
    return "{\"fid\": \"" + oEntry.FID.Hex() + "\", \"sha1\": \"" + oEntry.Hash.Hex() +
           "\", \"size\": " + std::to_string(oEntry.Size) + ", \"file\": " + JsonString(oEntry.FileName) +
           ", \"first_seen\": \"" + rc_utc_text(oEntry.FirstSeen) + "\", \"count\": " +
           std::to_string(oEntry.Count) + "}";
}

rc_resource_entry_t rc_entry_of(const rc_resource_t& oRes) {
    rc_resource_entry_t oEntry;
    oEntry.FID = oRes.FID;
    oEntry.Hash = oRes.Hash;
    oEntry.Size = oRes.Size;
    oEntry.FirstSeen = oRes.FirstSeen;
    oEntry.Count = oRes.Count;
    if (!oRes.Locations.empty()) oEntry.FileName = oRes.Locations.front().FileName;
    return oEntry;
}
