#include "rc_tsv_line.h"

#include <ctime>

std::string rc_tsv_escape(const std::string& strText) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(strText.size());
    for (char c : strText) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 0x0f];
                } else {
                    out += c;
                }
                break;
        }
    }
    return out;
}

std::string rc_tsv_line(const rc_report_t& oReport, time_t tNow) {
    struct tm tmNow;
    char szTime[32] = "";
    if (gmtime_r(&tNow, &tmNow) != nullptr) strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%SZ", &tmNow);

    // The same fields, names and formatting as zq_ident's, from a record
    // filled with what was sent.
    RSInfo oInfo;
    rc_fill_info(oReport, oInfo);

    std::string line = "time=";
    line += szTime;
    for (const rc_field_t& oField : rc_info_fields(oInfo)) {
        line += '\t';
        line += oField.Key;
        line += '=';
        line += oField.Value;
    }
    line += "\tfile=" + rc_tsv_escape(oReport.FileName);
    line += "\text=" + rc_tsv_escape(oReport.ExtName);
    line += "\turl=" + rc_tsv_escape(oReport.Url);
    line += "\tref=" + rc_tsv_escape(oReport.Ref);
    line += '\n';
    return line;
}
