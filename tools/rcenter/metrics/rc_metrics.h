// CRcMetrics: the center's figures for a monitoring system: counters,
// gauges and histograms in named families, written out in the Prometheus
// text format, version 0.0.4. A sample is made on first use and its
// reference stays valid as long as the registry; families and samples are
// written in name order, so two scrapes list the same lines. Holds numbers
// only: whoever owns a figure sets or adds to it. Single-threaded.
#ifndef ZQ_RC_METRICS_H
#define ZQ_RC_METRICS_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common_header.h"

enum ERcMetricType { RC_METRIC_COUNTER, RC_METRIC_GAUGE, RC_METRIC_HISTOGRAM };

struct rc_histogram_t {
    std::vector<double> Bounds;  // upper bounds, ascending; +Inf is implied
    std::vector<uint64> Counts;  // observations per bucket, not cumulative; one more than Bounds
    double Sum = 0;
    uint64 Count = 0;

    void Observe(double dValue);
};

// name="value", the value escaped as the format wants.
std::string RcMetricLabel(const std::string& strName, const std::string& strValue);

class CRcMetrics {
public:
    // A family must be declared before its samples are asked for; a second
    // declaration of a name changes nothing.
    void Declare(const std::string& strName, ERcMetricType eType, const std::string& strHelp);
    void DeclareHistogram(const std::string& strName, const std::string& strHelp, const std::vector<double>& oBounds);

    // The value of a counter's or gauge's sample with these labels (as
    // RcMetricLabel writes them, comma-separated; empty for none). Null for
    // a name not declared or declared as a histogram.
    double* Value(const std::string& strName, const std::string& strLabels = "");
    rc_histogram_t* Histogram(const std::string& strName);

    std::string Text() const;

private:
    struct stFamily {
        ERcMetricType Type = RC_METRIC_COUNTER;
        std::string Help;
        std::map<std::string, double> Values;  // by labels
        std::unique_ptr<rc_histogram_t> Hist;
    };
    std::map<std::string, stFamily> m_oFamilies;
};

#endif
