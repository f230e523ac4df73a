// The metrics registry's text: histogram buckets are cumulative with a value
// on a bound counted in that bound's bucket, and label values are escaped so
// a peer-chosen text cannot break a line.
#include <gtest/gtest.h>

#include <string>

#include "rc_metrics.h"

namespace {

TEST(RcMetrics, HistogramBucketsAreCumulativeAndABoundHoldsItsOwnValue) {
    CRcMetrics metrics;
    metrics.DeclareHistogram("t_seconds", "Time.", {0.5, 0.1});
    rc_histogram_t* hist = metrics.Histogram("t_seconds");
    ASSERT_NE(hist, nullptr);
    for (double v : {0.05, 0.1, 0.3, 7.0}) hist->Observe(v);
    const std::string text = metrics.Text();
    EXPECT_NE(text.find("# TYPE t_seconds histogram\n"), std::string::npos) << text;
    EXPECT_NE(text.find("t_seconds_bucket{le=\"0.1\"} 2\n"
                        "t_seconds_bucket{le=\"0.5\"} 3\n"
                        "t_seconds_bucket{le=\"+Inf\"} 4\n"
                        "t_seconds_sum 7.45\n"
                        "t_seconds_count 4\n"),
              std::string::npos)
        << text;
}

TEST(RcMetrics, LabelValuesAreEscapedAndUndeclaredNamesHaveNoSample) {
    CRcMetrics metrics;
    metrics.Declare("c_total", RC_METRIC_COUNTER, "A \\ count\nover two lines.");
    ++*metrics.Value("c_total", RcMetricLabel("path", "a\"b\\c\nd"));
    EXPECT_EQ(metrics.Value("nothing_total"), nullptr);
    EXPECT_EQ(metrics.Text(),
              "# HELP c_total A \\\\ count\\nover two lines.\n"
              "# TYPE c_total counter\n"
              "c_total{path=\"a\\\"b\\\\c\\nd\"} 1\n");
}

}  // namespace
