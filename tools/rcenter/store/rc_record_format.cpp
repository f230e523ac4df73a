#include "rc_record_format.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include <nlohmann/json.hpp>

#include "rc_record.h"

namespace {

std::vector<rc_field_t> FieldsOf(const rc_resource_t& oRes) {
    rc_report_t oReport;
    rc_report_of(oRes, oRes.Locations.empty() ? rc_location_t() : oRes.Locations.front(), oReport);
    RSInfo oInfo;
    rc_fill_info(oReport, oInfo);
    return rc_info_fields(oInfo);
}

}  // namespace

std::string rc_json_text(const std::string& strText) {
    return nlohmann::json(strText).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

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

std::string rc_record_text(const rc_resource_t& oRes) {
    std::string out;
    for (const rc_field_t& oField : FieldsOf(oRes)) out += oField.Key + ": " + oField.Value + "\n";
    out += "first_seen: " + rc_utc_text(oRes.FirstSeen) + "\n";
    out += "last_seen: " + rc_utc_text(oRes.LastSeen) + "\n";
    out += "count: " + std::to_string(oRes.Count) + "\n";
    for (const rc_location_t& oLoc : oRes.Locations) {
        out += "location: " + rc_utc_text(oLoc.FirstSeen) + "\t" + rc_tsv_escape(oLoc.Url) + "\t" +
               rc_tsv_escape(oLoc.FileName) + "\n";
    }
    return out;
}

std::string rc_record_json(const rc_resource_t& oRes) {
    std::string out = "{";
    for (const rc_field_t& oField : FieldsOf(oRes)) {
        out += "\"" + oField.Key + "\": ";
        out += oField.Number ? oField.Value : rc_json_text(oField.Value);
        out += ", ";
    }
    out += "\"first_seen\": \"" + rc_utc_text(oRes.FirstSeen) + "\", ";
    out += "\"last_seen\": \"" + rc_utc_text(oRes.LastSeen) + "\", ";
    out += "\"count\": " + std::to_string(oRes.Count) + ", ";
    out += "\"locations\": [";
    for (size_t i = 0; i < oRes.Locations.size(); ++i) {
        const rc_location_t& oLoc = oRes.Locations[i];
        if (i > 0) out += ", ";
        out += "{\"url\": " + rc_json_text(oLoc.Url) + ", \"file\": " + rc_json_text(oLoc.FileName) +
               ", \"ext\": " + rc_json_text(oLoc.ExtName) + ", \"ref\": " + rc_json_text(oLoc.Ref) +
               ", \"first_seen\": \"" + rc_utc_text(oLoc.FirstSeen) + "\"}";
    }
    out += "]}";
    return out;
}

std::string rc_record_tsv_line(const rc_resource_t& oRes, const rc_location_t& oWhere) {
    rc_report_t oReport;
    rc_report_of(oRes, oWhere, oReport);
    return rc_tsv_line(oReport, static_cast<time_t>(oWhere.FirstSeen));
}

std::string rc_entry_json(const rc_resource_entry_t& oEntry) {
    return "{\"fid\": \"" + oEntry.FID.Hex() + "\", \"sha1\": \"" + oEntry.Hash.Hex() +
           "\", \"size\": " + std::to_string(oEntry.Size) + ", \"file\": " + rc_json_text(oEntry.FileName) +
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
