#include "rc_record_format.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "rc_record.h"
#include "str_util.h"

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
    return rc_json_t(strText).dump(-1, ' ', false, rc_json_t::error_handler_t::replace);
}

std::string rc_json_dump(const rc_json_t& oValue) {
    if (oValue.is_object()) {
        std::string strOut = "{";
        for (auto it = oValue.begin(); it != oValue.end(); ++it) {
            if (strOut.size() > 1) strOut += ", ";
            strOut += rc_json_text(it.key()) + ": " + rc_json_dump(it.value());
        }
        return strOut + "}";
    }
    if (oValue.is_array()) {
        std::string strOut = "[";
        for (const rc_json_t& oItem : oValue) {
            if (strOut.size() > 1) strOut += ", ";
            strOut += rc_json_dump(oItem);
        }
        return strOut + "]";
    }
    return oValue.dump(-1, ' ', false, rc_json_t::error_handler_t::replace);
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

std::string rc_health_text(const rc_health_t& oHealth) {
    auto when = [](sint64 t) { return t == 0 ? std::string("never") : rc_utc_text(t); };
    return std::string(rc_health_state_name(oHealth.State)) + " checked_at=" + when(oHealth.CheckedAt) +
           " ok_at=" + when(oHealth.OkAt) + " failures=" + std::to_string(oHealth.Failures) +
           " latency_ms=" + std::to_string(oHealth.LatencyMs) + " ranges=" +
           (oHealth.Ranges == RC_RANGES_YES ? "yes" : oHealth.Ranges == RC_RANGES_NO ? "no" : "unknown");
}

rc_json_t rc_health_value(const rc_health_t& oHealth) {
    auto when = [](sint64 t) { return t == 0 ? rc_json_t(nullptr) : rc_json_t(rc_utc_text(t)); };
    rc_json_t oOut{{"state", rc_health_state_name(oHealth.State)},
                   {"checked_at", when(oHealth.CheckedAt)},
                   {"ok_at", when(oHealth.OkAt)},
                   {"failures", oHealth.Failures},
                   {"latency_ms", oHealth.LatencyMs},
                   {"ranges", nullptr}};
    if (oHealth.Ranges != RC_RANGES_UNKNOWN) oOut["ranges"] = oHealth.Ranges == RC_RANGES_YES;
    return oOut;
}

std::string rc_record_text(const rc_resource_t& oRes, ERcRecordShow nShow) {
    std::string out;
    for (const rc_field_t& oField : FieldsOf(oRes)) out += oField.Key + ": " + oField.Value + "\n";
    out += "first_seen: " + rc_utc_text(oRes.FirstSeen) + "\n";
    out += "last_seen: " + rc_utc_text(oRes.LastSeen) + "\n";
    out += "count: " + std::to_string(oRes.Count) + "\n";
    for (const rc_location_t& oLoc : oRes.Locations) {
        out += "location: " + rc_utc_text(oLoc.FirstSeen) + "\t" + rc_tsv_escape(oLoc.Url) + "\t" +
               rc_tsv_escape(oLoc.FileName) + "\n";
        if (nShow == RC_RECORD_HEALTH) out += "health: " + rc_health_text(oLoc.Health) + "\n";
    }
    return out;
}

rc_json_t rc_record_value(const rc_resource_t& oRes, ERcRecordShow nShow) {
    rc_json_t oOut = rc_json_t::object();
    for (const rc_field_t& oField : FieldsOf(oRes)) {
        unsigned long long iNumber = 0;
        if (oField.Number && ParseDecimal(oField.Value.c_str(), ~0ULL, &iNumber) == 0) {
            oOut[oField.Key] = static_cast<uint64>(iNumber);
        } else {
            oOut[oField.Key] = oField.Value;
        }
    }
    oOut["first_seen"] = rc_utc_text(oRes.FirstSeen);
    oOut["last_seen"] = rc_utc_text(oRes.LastSeen);
    oOut["count"] = oRes.Count;
    rc_json_t oLocations = rc_json_t::array();
    for (const rc_location_t& oLoc : oRes.Locations) {
        rc_json_t oOne{{"url", oLoc.Url},
                       {"file", oLoc.FileName},
                       {"ext", oLoc.ExtName},
                       {"ref", oLoc.Ref},
                       {"first_seen", rc_utc_text(oLoc.FirstSeen)}};
        if (nShow == RC_RECORD_HEALTH) oOne["health"] = rc_health_value(oLoc.Health);
        oLocations.push_back(std::move(oOne));
    }
    oOut["locations"] = std::move(oLocations);
    return oOut;
}

std::string rc_record_json(const rc_resource_t& oRes, ERcRecordShow nShow) {
    return rc_json_dump(rc_record_value(oRes, nShow));
}

std::string rc_record_tsv_line(const rc_resource_t& oRes, const rc_location_t& oWhere) {
    rc_report_t oReport;
    rc_report_of(oRes, oWhere, oReport);
    return rc_tsv_line(oReport, static_cast<time_t>(oWhere.FirstSeen));
}

rc_json_t rc_entry_value(const rc_resource_entry_t& oEntry) {
    return rc_json_t{{"fid", oEntry.FID.Hex()},       {"sha1", oEntry.Hash.Hex()},
                     {"size", oEntry.Size},            {"file", oEntry.FileName},
                     {"first_seen", rc_utc_text(oEntry.FirstSeen)}, {"count", oEntry.Count}};
}

std::string rc_entry_json(const rc_resource_entry_t& oEntry) { return rc_json_dump(rc_entry_value(oEntry)); }

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
