#include "rc_server_metrics.h"

#include <memory>
#include <utility>
#include <vector>

#include "rc_store.h"
#include "svr_log.h"

namespace {

// Seconds: the answers of a turn take from well under a millisecond (the
// cache) to the seconds a slow disk takes to sync.
const std::vector<double> kLatencyBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                            0.1,    0.25,  0.5,    1,     2.5,  5,     10};

}  // namespace

CRcServerMetrics::CRcServerMetrics(const rc_counts_t& oCounts, CRcDedup& oDedup, const CRcRemovalTokens& oTokens,
                                   OpenConns fnOpen)
    : m_counts(oCounts),
      m_oDedup(oDedup),
      m_oTokens(oTokens),
      m_fnOpen(std::move(fnOpen)),
      m_pAnswerTimes(nullptr),
      m_pCommitTimes(nullptr),
      m_bStoreReading(false) {
    m_oMetrics.Declare("zq_rcenter_reports_total", RC_METRIC_COUNTER, "Reports answered since start, by outcome.");
    for (const char* pszOutcome : {"accepted", "known", "rejected", "not_stored"})
        m_oMetrics.Value("zq_rcenter_reports_total", RcMetricLabel("outcome", pszOutcome));
    m_oMetrics.Declare("zq_rcenter_http_requests_total", RC_METRIC_COUNTER,
                       "HTTP requests answered since start, by status.");
    m_oMetrics.Declare("zq_rcenter_dropped_connections_total", RC_METRIC_COUNTER,
                       "Connections closed for invalid packets or unread answers.");
    m_oMetrics.Declare("zq_rcenter_removed_total", RC_METRIC_COUNTER, "Resources removed through the HTTP API.");
    m_oMetrics.Declare("zq_rcenter_open_connections", RC_METRIC_GAUGE, "Connections open now, by kind.");
    m_oMetrics.Declare("zq_rcenter_cache_entries", RC_METRIC_GAUGE, "Entries in the dedup cache.");
    m_oMetrics.Declare("zq_rcenter_store_resources", RC_METRIC_GAUGE, "Resources in the store, as last read.");
    m_oMetrics.Declare("zq_rcenter_store_locations", RC_METRIC_GAUGE, "Locations in the store, as last read.");
    m_oMetrics.Declare("zq_rcenter_used_tokens", RC_METRIC_GAUGE, "Removal tokens remembered as used.");
    m_oMetrics.DeclareHistogram("zq_rcenter_report_answer_seconds",
                                "Time from a report's arrival to its answer being queued.", kLatencyBounds);
    m_oMetrics.DeclareHistogram("zq_rcenter_commit_seconds", "Time of each store commit, sync included.",
                                kLatencyBounds);
    m_oMetrics.Declare("zq_rcenter_locations", RC_METRIC_GAUGE, "Locations in the store by health, as last read.");
    m_oMetrics.Declare("zq_rcenter_checks_total", RC_METRIC_COUNTER, "Checks of locations since start, by outcome.");
    m_oMetrics.Declare("zq_rcenter_check_bytes_total", RC_METRIC_COUNTER,
                       "Body bytes the checks received since start.");
    m_oMetrics.DeclareHistogram("zq_rcenter_check_seconds", "Time of each check of a location, redirects included.",
                                rc_check_seconds_bounds());
    for (uint32 i = 0; i < RC_HEALTH_STATES; ++i) {
        const char* pszState = rc_health_state_name(static_cast<ERcHealthState>(i));
        m_oMetrics.Value("zq_rcenter_locations", RcMetricLabel("state", pszState));
        if (i != RC_HEALTH_UNCHECKED) m_oMetrics.Value("zq_rcenter_checks_total", RcMetricLabel("outcome", pszState));
    }
    m_oMetrics.Value("zq_rcenter_check_bytes_total");
    // Before the first read the store's gauges say 0 rather than nothing.
    m_oMetrics.Value("zq_rcenter_store_resources");
    m_oMetrics.Value("zq_rcenter_store_locations");
    m_pAnswerTimes = m_oMetrics.Histogram("zq_rcenter_report_answer_seconds");
    m_pCommitTimes = m_oMetrics.Histogram("zq_rcenter_commit_seconds");
}

void CRcServerMetrics::CountHttpAnswer(unsigned int iStatus) {
    ++*m_oMetrics.Value("zq_rcenter_http_requests_total", RcMetricLabel("status", std::to_string(iStatus)));
}

// The completion runs on the loop thread, from the reader's RunCompletions,
// which only the server calls while this object lives.
bool CRcServerMetrics::RefreshStore(CRcStoreWorker& oReader) {
    if (m_bStoreReading || !oReader.IsRunning()) return false;
    struct stRead {
        int iErr = 0;
        std::string strError;
        rc_store_counts_t oCounts;
        int iHealthErr = 0;
        rc_health_counts_t oHealth;
    };
    auto pRead = std::make_shared<stRead>();
    m_bStoreReading = true;
    oReader.Submit([pRead](CRcStore& oStore) {
                       pRead->iErr = oStore.GetCounts(pRead->oCounts, pRead->strError);
                       std::string strIgnored;
                       if (pRead->iErr == 0) pRead->iHealthErr = oStore.CountHealth(pRead->oHealth, strIgnored);
                   },
                   [this, pRead] {
                       m_bStoreReading = false;
                       if (pRead->iErr != 0) {
                           LOG_WARN("store counts for the metrics not read: %s", pRead->strError.c_str());
                           return;
                       }
                       m_oStored = pRead->oCounts;
                       m_bStoreRead = true;
                       *m_oMetrics.Value("zq_rcenter_store_resources") =
                           static_cast<double>(pRead->oCounts.Resources);
                       *m_oMetrics.Value("zq_rcenter_store_locations") =
                           static_cast<double>(pRead->oCounts.Locations);
                       if (pRead->iHealthErr != 0) return;
                       for (uint32 i = 0; i < RC_HEALTH_STATES; ++i)
                           *m_oMetrics.Value("zq_rcenter_locations",
                                             RcMetricLabel("state", rc_health_state_name(static_cast<ERcHealthState>(i)))) =
                               static_cast<double>(pRead->oHealth.States[i]);
                   });
    return true;
}

bool CRcServerMetrics::StoreCounts(rc_store_counts_t& oCounts) const {
    oCounts = m_oStored;
    return m_bStoreRead;
}

std::string CRcServerMetrics::Text() {
    const std::pair<const char*, uint64> arOutcomes[] = {{"accepted", m_counts.Accepted},
                                                         {"known", m_counts.Known},
                                                         {"rejected", m_counts.Rejected},
                                                         {"not_stored", m_counts.NotStored}};
    for (const auto& oOutcome : arOutcomes)
        *m_oMetrics.Value("zq_rcenter_reports_total", RcMetricLabel("outcome", oOutcome.first)) =
            static_cast<double>(oOutcome.second);
    *m_oMetrics.Value("zq_rcenter_dropped_connections_total") = static_cast<double>(m_counts.Dropped);
    *m_oMetrics.Value("zq_rcenter_removed_total") = static_cast<double>(m_counts.Removed);
    const rc_open_conns_t oOpen = m_fnOpen ? m_fnOpen() : rc_open_conns_t();
    *m_oMetrics.Value("zq_rcenter_open_connections", RcMetricLabel("kind", "report")) =
        static_cast<double>(oOpen.Report);
    *m_oMetrics.Value("zq_rcenter_open_connections", RcMetricLabel("kind", "http")) = static_cast<double>(oOpen.Http);
    *m_oMetrics.Value("zq_rcenter_cache_entries") = static_cast<double>(m_oDedup.GetEntries());
    *m_oMetrics.Value("zq_rcenter_used_tokens") = static_cast<double>(m_oTokens.Size());
    if (m_fnChecks) {
        const rc_check_figures_t oChecks = m_fnChecks();
        for (uint32 i = 1; i < RC_HEALTH_STATES; ++i)
            *m_oMetrics.Value("zq_rcenter_checks_total",
                              RcMetricLabel("outcome", rc_health_state_name(static_cast<ERcHealthState>(i)))) =
                static_cast<double>(oChecks.Checks[i]);
        *m_oMetrics.Value("zq_rcenter_check_bytes_total") = static_cast<double>(oChecks.Bytes);
        *m_oMetrics.Histogram("zq_rcenter_check_seconds") = oChecks.Seconds;
    }
    return m_oMetrics.Text();
}
