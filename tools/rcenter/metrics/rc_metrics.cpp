#include "rc_metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The shortest text that reads back as the same number: bucket bounds such
// as 0.005 stay readable, and a count stays an integer.
std::string number_text(double dValue) {
    if (std::isinf(dValue)) return dValue > 0 ? "+Inf" : "-Inf";
    if (std::isnan(dValue)) return "NaN";
    char szText[64];
    snprintf(szText, sizeof(szText), "%.15g", dValue);
    if (strtod(szText, nullptr) != dValue) snprintf(szText, sizeof(szText), "%.17g", dValue);
    return szText;
}

// HELP text escapes only backslash and newline; label values also quotes.
std::string escaped(const std::string& strText, bool bQuotes) {
    std::string strOut;
    for (char c : strText) {
        if (c == '\\') {
            strOut += "\\\\";
        } else if (c == '\n') {
            strOut += "\\n";
        } else if (c == '"' && bQuotes) {
            strOut += "\\\"";
        } else {
            strOut += c;
        }
    }
    return strOut;
}

const char* type_name(ERcMetricType eType) {
    switch (eType) {
        case RC_METRIC_COUNTER: return "counter";
        case RC_METRIC_GAUGE: return "gauge";
        default: return "histogram";
    }
}

std::string sample(const std::string& strName, const std::string& strLabels, const std::string& strValue) {
    return strName + (strLabels.empty() ? "" : "{" + strLabels + "}") + " " + strValue + "\n";
}

}  // namespace

void rc_histogram_t::Observe(double dValue) {
    // A bucket counts what is at most its bound ("le").
    size_t iAt = static_cast<size_t>(std::lower_bound(Bounds.begin(), Bounds.end(), dValue) - Bounds.begin());
    ++Counts[iAt];
    Sum += dValue;
    ++Count;
}

std::string RcMetricLabel(const std::string& strName, const std::string& strValue) {
    return strName + "=\"" + escaped(strValue, true) + "\"";
}

void CRcMetrics::Declare(const std::string& strName, ERcMetricType eType, const std::string& strHelp) {
    if (m_oFamilies.count(strName) != 0) return;
    stFamily& oFamily = m_oFamilies[strName];
    oFamily.Type = eType;
    oFamily.Help = strHelp;
}

void CRcMetrics::DeclareHistogram(const std::string& strName, const std::string& strHelp,
                                  const std::vector<double>& oBounds) {
    if (m_oFamilies.count(strName) != 0) return;
    Declare(strName, RC_METRIC_HISTOGRAM, strHelp);
    stFamily& oFamily = m_oFamilies[strName];
    oFamily.Hist.reset(new rc_histogram_t);
    oFamily.Hist->Bounds = oBounds;
    std::sort(oFamily.Hist->Bounds.begin(), oFamily.Hist->Bounds.end());
    oFamily.Hist->Counts.assign(oFamily.Hist->Bounds.size() + 1, 0);
}

double* CRcMetrics::Value(const std::string& strName, const std::string& strLabels) {
    auto it = m_oFamilies.find(strName);
    if (it == m_oFamilies.end() || it->second.Type == RC_METRIC_HISTOGRAM) return nullptr;
    return &it->second.Values[strLabels];
}

rc_histogram_t* CRcMetrics::Histogram(const std::string& strName) {
    auto it = m_oFamilies.find(strName);
    return it == m_oFamilies.end() ? nullptr : it->second.Hist.get();
}

std::string CRcMetrics::Text() const {
    std::string strOut;
    for (const auto& oEntry : m_oFamilies) {
        const std::string& strName = oEntry.first;
        const stFamily& oFamily = oEntry.second;
        strOut += "# HELP " + strName + " " + escaped(oFamily.Help, false) + "\n";
        strOut += "# TYPE " + strName + " " + type_name(oFamily.Type) + "\n";
        for (const auto& oValue : oFamily.Values) strOut += sample(strName, oValue.first, number_text(oValue.second));
        if (!oFamily.Hist) continue;
        const rc_histogram_t& oHist = *oFamily.Hist;
        uint64 iCumulative = 0;
        for (size_t i = 0; i <= oHist.Bounds.size(); ++i) {
            iCumulative += oHist.Counts[i];
            const double dBound = i < oHist.Bounds.size() ? oHist.Bounds[i] : INFINITY;
            strOut += sample(strName + "_bucket", RcMetricLabel("le", number_text(dBound)),
                             std::to_string(iCumulative));
        }
        strOut += sample(strName + "_sum", "", number_text(oHist.Sum));
        strOut += sample(strName + "_count", "", std::to_string(oHist.Count));
    }
    return strOut;
}
