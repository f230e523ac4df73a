#include "rc_checker.h"

#include <curl/curl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <random>
#include <vector>

#include "rc_piece_check.h"
#include "rc_store_worker.h"
#include "svr_log.h"
#include "tpt_verify.h"

namespace {

long NowMs() {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A URL is a peer's text: control bytes never reach the log as they are.
std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s.substr(0, 300)) {
        if (c < 0x20 || c == 0x7f) {
            char sz[5];
            snprintf(sz, sizeof(sz), "\\x%02x", c);
            out += sz;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The URL's scheme and host (lower case, as libcurl gives them); false for
// text that is no URL.
bool SplitUrl(const std::string& strUrl, std::string& strScheme, std::string& strHost) {
    CURLU* pUrl = curl_url();
    if (pUrl == nullptr) return false;
    bool bOk = curl_url_set(pUrl, CURLUPART_URL, strUrl.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
    char* psz = nullptr;
    if (bOk && curl_url_get(pUrl, CURLUPART_SCHEME, &psz, 0) == CURLUE_OK) {
        strScheme = psz;
        curl_free(psz);
        psz = nullptr;
    }
    if (bOk && curl_url_get(pUrl, CURLUPART_HOST, &psz, 0) == CURLUE_OK) {
        strHost = psz;
        curl_free(psz);
    } else {
        strHost.clear();
    }
    curl_url_cleanup(pUrl);
    for (char& c : strScheme) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return bOk;
}

bool WebScheme(const std::string& strScheme) { return strScheme == "http" || strScheme == "https"; }

const std::vector<double> kSecondsBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

}  // namespace

const std::vector<double>& rc_check_seconds_bounds() { return kSecondsBounds; }

// The checker thread's state: everything here is touched by that thread
// alone, but for m_bStop and the wake-up.
class CRcChecker::CRun {
public:
    CRun(CRcChecker& oOwner, CRcStore& oStore, const rc_check_opts_t& oOpts)
        : m_oOwner(oOwner), m_oOpts(oOpts), m_oWorker(oStore), m_oRandom(std::random_device()()) {}
    ~CRun();

    int Init(std::string& strError);
    void Loop();
    void RequestStop() {
        m_bStop = true;
        if (m_pMulti != nullptr) curl_multi_wakeup(m_pMulti);
    }

private:
    struct stCheck {
        CRun* pRun = nullptr;
        rc_check_job_t Job;
        tpt_table_t Table;
        std::unique_ptr<CRcPieceCheck> pJudge;
        std::string Host;  // of the URL claimed: what the per-host limit counts
        std::string Url;   // fetched now (a redirect's target after one)
        uint32 Redirects = 0;
        CURL* pEasy = nullptr;
        bool Refused = false;  // a connection to a refused address was not made
        bool Stopped = false;  // the transfer was ended here, on purpose
        long StartMs = 0;
        uint64 Bytes = 0;
    };

    static curl_socket_t OpenSocket(void* pUser, curlsocktype eType, struct curl_sockaddr* pAddr);
    static size_t OnHeader(char* p, size_t iSize, size_t n, void* pUser);
    static size_t OnBody(char* p, size_t iSize, size_t n, void* pUser);

    void Claim();
    void StartSome();
    bool Begin(stCheck& oCheck);
    void Finish(stCheck* pCheck, CURLcode eCode);
    void Done(std::unique_ptr<stCheck> pCheck, ERcHealthState nState, const std::string& strWhy);
    void Flush();
    uint32 ClaimLeaseS() const;

    CRcChecker& m_oOwner;
    const rc_check_opts_t& m_oOpts;
    CRcStoreWorker m_oWorker;
    CURLM* m_pMulti = nullptr;
    std::atomic<bool> m_bStop{false};
    std::mt19937 m_oRandom;
    std::deque<std::unique_ptr<stCheck> > m_oWaiting;
    std::map<CURL*, std::unique_ptr<stCheck> > m_oActive;
    std::map<std::string, uint32> m_oPerHost;
    std::vector<rc_check_result_t> m_oResults;
    bool m_bClaiming = false;
    bool m_bRecording = false;
    long m_lNextClaimMs = 0;
};

CRcChecker::CRun::~CRun() {
    for (auto& oActive : m_oActive) {
        curl_multi_remove_handle(m_pMulti, oActive.first);
        curl_easy_cleanup(oActive.first);
    }
    m_oActive.clear();
    m_oWorker.Stop();
    if (m_pMulti != nullptr) curl_multi_cleanup(m_pMulti);
}

int CRcChecker::CRun::Init(std::string& strError) {
    m_pMulti = curl_multi_init();
    if (m_pMulti == nullptr) {
        strError = "checks: cannot make a libcurl multi handle";
        return ENOMEM;
    }
    return m_oWorker.Start(strError);
}

// A claim holds a location for at least a whole check, so a slow one is
// not taken again by another checker while it runs.
uint32 CRcChecker::CRun::ClaimLeaseS() const {
    return std::max<uint32>(m_oOpts.IntervalS, m_oOpts.TimeoutMs / 1000 + 2);
}

void CRcChecker::CRun::Claim() {
    const size_t iWant = 2 * static_cast<size_t>(m_oOpts.Concurrency) - std::min(m_oWaiting.size(), size_t(m_oOpts.Concurrency));
    const sint64 iNow = time(nullptr);
    struct stClaim {
        int iErr = 0;
        std::string strError;
        std::vector<rc_check_job_t> oJobs;
    };
    auto pClaim = std::make_shared<stClaim>();
    const sint64 iUntil = iNow + ClaimLeaseS();
    const uint32 iLimit = static_cast<uint32>(iWant);
    m_bClaiming = true;
    m_oWorker.Submit(
        [pClaim, iNow, iLimit, iUntil](CRcStore& oStore) {
            pClaim->iErr = oStore.ClaimDue(iNow, iLimit, iUntil, pClaim->oJobs, pClaim->strError);
        },
        [this, pClaim, iLimit] {
            m_bClaiming = false;
            const long lIdle = std::min<long>(CLAIM_IDLE_MAX_MS, std::max<long>(1000, m_oOpts.IntervalS * 250L));
            if (pClaim->iErr != 0) {
                LOG_ERR("checks: cannot claim due locations: %s", pClaim->strError.c_str());
                m_lNextClaimMs = NowMs() + lIdle;
                return;
            }
            // Fewer than asked: nothing more is due for a while.
            m_lNextClaimMs = pClaim->oJobs.size() < iLimit ? NowMs() + lIdle : 0;
            for (rc_check_job_t& oJob : pClaim->oJobs) {
                std::unique_ptr<stCheck> pCheck(new stCheck);
                pCheck->pRun = this;
                pCheck->Job = std::move(oJob);
                m_oWaiting.push_back(std::move(pCheck));
            }
        });
}

void CRcChecker::CRun::StartSome() {
    for (auto it = m_oWaiting.begin(); it != m_oWaiting.end() && m_oActive.size() < m_oOpts.Concurrency;) {
        stCheck& oCheck = **it;
        std::string strScheme;
        if (oCheck.Url.empty()) {
            oCheck.Url = oCheck.Job.Url;
            if (!SplitUrl(oCheck.Url, strScheme, oCheck.Host) || !WebScheme(strScheme)) {
                std::unique_ptr<stCheck> pCheck = std::move(*it);
                it = m_oWaiting.erase(it);
                Done(std::move(pCheck), RC_HEALTH_NOT_ALLOWED, "not an http or https URL");
                continue;
            }
            std::string strWhy;
            if (tpt_parse(oCheck.Job.Tpt.data(), oCheck.Job.Tpt.size(), oCheck.Table, strWhy) != 0 ||
                oCheck.Table.Size != oCheck.Job.Size) {
                // Nothing to judge the answer by: left as it was, due again.
                LOG_WARN("checks: location %llu not checked: its piece table %s",
                         static_cast<unsigned long long>(oCheck.Job.LocationId),
                         strWhy.empty() ? "does not match its size" : strWhy.c_str());
                rc_check_result_t oResult;
                oResult.LocationId = oCheck.Job.LocationId;
                oResult.Health = oCheck.Job.Health;
                oResult.DueAt = time(nullptr) + m_oOpts.IntervalS;
                m_oResults.push_back(oResult);
                it = m_oWaiting.erase(it);
                continue;
            }
        }
        uint32& iHost = m_oPerHost[oCheck.Host];
        if (iHost >= m_oOpts.PerHost) {
            ++it;
            continue;
        }
        std::unique_ptr<stCheck> pCheck = std::move(*it);
        it = m_oWaiting.erase(it);
        pCheck->pJudge.reset(new CRcPieceCheck(pCheck->Table, static_cast<uint32>(m_oRandom())));
        pCheck->StartMs = NowMs();
        if (!Begin(*pCheck)) {
            Done(std::move(pCheck), RC_HEALTH_UNREACHABLE, "libcurl refused the transfer");
            continue;
        }
        ++iHost;
        CURL* pEasy = pCheck->pEasy;
        m_oActive[pEasy] = std::move(pCheck);
    }
}

// One request of the check: the URL claimed, or a redirect's target.
bool CRcChecker::CRun::Begin(stCheck& oCheck) {
    if (oCheck.pEasy == nullptr) oCheck.pEasy = curl_easy_init();
    CURL* p = oCheck.pEasy;
    if (p == nullptr) return false;
    curl_easy_reset(p);
    const long lLeftMs = std::max<long>(1, static_cast<long>(m_oOpts.TimeoutMs) - (NowMs() - oCheck.StartMs));
    const std::string strRange = oCheck.pJudge->RangeValue();
    bool bOk = curl_easy_setopt(p, CURLOPT_URL, oCheck.Url.c_str()) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
               // A proxy from the environment would be connected to instead
               // of the mirror, past the address rule.
               curl_easy_setopt(p, CURLOPT_PROXY, "") == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_TIMEOUT_MS, lLeftMs) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_CONNECTTIMEOUT_MS, std::min<long>(lLeftMs, 5000)) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_USERAGENT, "zq_rcenter-check") == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_OPENSOCKETFUNCTION, &CRun::OpenSocket) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_OPENSOCKETDATA, &oCheck) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_HEADERFUNCTION, &CRun::OnHeader) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_HEADERDATA, &oCheck) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_WRITEFUNCTION, &CRun::OnBody) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_WRITEDATA, &oCheck) == CURLE_OK &&
               curl_easy_setopt(p, CURLOPT_PRIVATE, &oCheck) == CURLE_OK;
    if (bOk && !strRange.empty()) bOk = curl_easy_setopt(p, CURLOPT_RANGE, strRange.c_str() + 6) == CURLE_OK;
    if (bOk && !m_oOpts.CaFile.empty()) bOk = curl_easy_setopt(p, CURLOPT_CAINFO, m_oOpts.CaFile.c_str()) == CURLE_OK;
    oCheck.pJudge->Reset();
    oCheck.Stopped = false;
    return bOk && curl_multi_add_handle(m_pMulti, p) == CURLM_OK;
}

// Where the rule holds: the address libcurl resolved and is about to
// connect to, so the address checked is the address used.
curl_socket_t CRcChecker::CRun::OpenSocket(void* pUser, curlsocktype eType, struct curl_sockaddr* pAddr) {
    stCheck* pCheck = static_cast<stCheck*>(pUser);
    if (eType != CURLSOCKTYPE_IPCXN || !pCheck->pRun->m_oOpts.Rule.Allows(&pAddr->addr)) {
        pCheck->Refused = true;
        return CURL_SOCKET_BAD;
    }
    return socket(pAddr->family, pAddr->socktype, pAddr->protocol);
}

size_t CRcChecker::CRun::OnHeader(char* p, size_t iSize, size_t n, void* pUser) {
    stCheck* pCheck = static_cast<stCheck*>(pUser);
    pCheck->pJudge->OnHeader(p, iSize * n);
    return iSize * n;
}

size_t CRcChecker::CRun::OnBody(char* p, size_t iSize, size_t n, void* pUser) {
    stCheck* pCheck = static_cast<stCheck*>(pUser);
    const size_t iLen = iSize * n;
    pCheck->Bytes += iLen;
    long lStatus = 0;
    curl_easy_getinfo(pCheck->pEasy, CURLINFO_RESPONSE_CODE, &lStatus);
    if (!pCheck->pJudge->OnBody(lStatus, reinterpret_cast<const unsigned char*>(p), iLen)) {
        pCheck->Stopped = true;
        return 0;
    }
    return iLen;
}

void CRcChecker::CRun::Finish(stCheck* pRaw, CURLcode eCode) {
    auto it = m_oActive.find(pRaw->pEasy);
    if (it == m_oActive.end()) return;
    std::unique_ptr<stCheck> pCheck = std::move(it->second);
    m_oActive.erase(it);
    curl_multi_remove_handle(m_pMulti, pCheck->pEasy);
    long lStatus = 0;
    curl_easy_getinfo(pCheck->pEasy, CURLINFO_RESPONSE_CODE, &lStatus);
    const bool bEnded = eCode == CURLE_OK || (pCheck->Stopped && eCode == CURLE_WRITE_ERROR);
    if (bEnded && lStatus >= 300 && lStatus < 400 && lStatus != 304) {
        char* pszNext = nullptr;
        curl_easy_getinfo(pCheck->pEasy, CURLINFO_REDIRECT_URL, &pszNext);
        std::string strScheme, strHost;
        if (pszNext == nullptr) return Done(std::move(pCheck), RC_HEALTH_UNREACHABLE, "a redirect without a target");
        if (++pCheck->Redirects > MAX_REDIRECTS)
            return Done(std::move(pCheck), RC_HEALTH_UNREACHABLE,
                        "more than " + std::to_string(MAX_REDIRECTS) + " redirects");
        if (!SplitUrl(pszNext, strScheme, strHost) || !WebScheme(strScheme))
            return Done(std::move(pCheck), RC_HEALTH_UNREACHABLE,
                        "redirects to " + Printable(std::string(pszNext).substr(0, 80)));
        pCheck->Url = pszNext;
        if (!Begin(*pCheck)) return Done(std::move(pCheck), RC_HEALTH_UNREACHABLE, "libcurl refused the transfer");
        CURL* pEasy = pCheck->pEasy;
        m_oActive[pEasy] = std::move(pCheck);
        return;
    }
    if (!bEnded) {
        if (pCheck->Refused && eCode == CURLE_COULDNT_CONNECT)
            return Done(std::move(pCheck), RC_HEALTH_NOT_ALLOWED,
                        "its address is in a network the checks may not reach");
        // Answered in part and then broken: the status may still say it all.
        if (lStatus != 404 && lStatus != 410)
            return Done(std::move(pCheck), RC_HEALTH_UNREACHABLE, curl_easy_strerror(eCode));
    }
    ERcHealthState nState = pCheck->pJudge->Verdict(lStatus, bEnded);
    std::string strWhy = pCheck->pJudge->Why();
    Done(std::move(pCheck), nState, strWhy);
}

void CRcChecker::CRun::Done(std::unique_ptr<stCheck> pCheck, ERcHealthState nState, const std::string& strWhy) {
    if (pCheck->pEasy != nullptr) {
        curl_easy_cleanup(pCheck->pEasy);
        pCheck->pEasy = nullptr;
        uint32& iHost = m_oPerHost[pCheck->Host];
        if (iHost > 0) --iHost;
        if (iHost == 0) m_oPerHost.erase(pCheck->Host);
    }
    const sint64 iNow = time(nullptr);
    const long lMs = pCheck->StartMs == 0 ? 0 : NowMs() - pCheck->StartMs;
    rc_check_result_t oResult;
    oResult.LocationId = pCheck->Job.LocationId;
    rc_health_t& h = oResult.Health;
    const rc_health_t& oBefore = pCheck->Job.Health;
    h.State = nState;
    h.CheckedAt = iNow;
    h.OkAt = nState == RC_HEALTH_OK ? iNow : oBefore.OkAt;
    h.Failures = nState == RC_HEALTH_OK ? 0 : oBefore.Failures + 1;
    h.LatencyMs = static_cast<uint32>(std::max<long>(0, lMs));
    h.Ranges = pCheck->pJudge && pCheck->pJudge->Ranges() != RC_RANGES_UNKNOWN ? pCheck->pJudge->Ranges()
                                                                                : oBefore.Ranges;
    oResult.DueAt = rc_health_next_due(h, m_oOpts.IntervalS);
    m_oResults.push_back(oResult);
    if (nState != RC_HEALTH_OK)
        LOG_INFO("checks: %s is %s: %s", Printable(pCheck->Job.Url).c_str(), rc_health_state_name(nState),
                 strWhy.c_str());
    std::lock_guard<std::mutex> lock(m_oOwner.m_mutex);
    ++m_oOwner.m_oFigures.Checks[nState];
    m_oOwner.m_oFigures.Seconds.Observe(lMs / 1000.0);
    m_oOwner.m_oFigures.Bytes += pCheck->Bytes;
}

// One write at a time; what comes meanwhile waits for the next.
void CRcChecker::CRun::Flush() {
    if (m_bRecording || m_oResults.empty()) return;
    auto pResults = std::make_shared<std::vector<rc_check_result_t> >();
    pResults->swap(m_oResults);
    m_bRecording = true;
    m_oWorker.Submit(
        [pResults](CRcStore& oStore) {
            std::string strError;
            if (oStore.RecordHealth(*pResults, strError) != 0)
                LOG_ERR("checks: %zu results not stored: %s", pResults->size(), strError.c_str());
        },
        [this] {
            m_bRecording = false;
            m_oOwner.m_iHealthWrites.fetch_add(1, std::memory_order_relaxed);
        });
}

void CRcChecker::CRun::Loop() {
    while (!m_bStop) {
        if (!m_bClaiming && m_oWaiting.size() < m_oOpts.Concurrency && NowMs() >= m_lNextClaimMs) Claim();
        StartSome();
        int iRunning = 0;
        curl_multi_perform(m_pMulti, &iRunning);
        int iLeft = 0;
        while (CURLMsg* pMsg = curl_multi_info_read(m_pMulti, &iLeft)) {
            if (pMsg->msg != CURLMSG_DONE) continue;
            stCheck* pCheck = nullptr;
            curl_easy_getinfo(pMsg->easy_handle, CURLINFO_PRIVATE, &pCheck);
            if (pCheck != nullptr) Finish(pCheck, pMsg->data.result);
        }
        Flush();
        StartSome();
        long lWait = 1000;
        if (!m_bClaiming && m_lNextClaimMs > 0) lWait = std::max<long>(0, std::min<long>(lWait, m_lNextClaimMs - NowMs()));
        curl_waitfd oStoreFd;
        oStoreFd.fd = m_oWorker.GetNotifyFd();
        oStoreFd.events = CURL_WAIT_POLLIN;
        oStoreFd.revents = 0;
        curl_multi_poll(m_pMulti, &oStoreFd, 1, static_cast<int>(lWait), nullptr);
        m_oWorker.RunCompletions();
    }
    // What was found is kept; what was under way is claimed again later.
    for (auto& oActive : m_oActive) {
        curl_multi_remove_handle(m_pMulti, oActive.first);
        curl_easy_cleanup(oActive.first);
    }
    m_oActive.clear();
    m_bRecording = false;
    Flush();
    m_oWorker.Stop();
    m_oWorker.RunCompletions();
}

CRcChecker::CRcChecker(CRcStore& oStore, const rc_check_opts_t& oOpts) : m_oStore(oStore), m_oOpts(oOpts) {
    m_oFigures.Seconds.Bounds = kSecondsBounds;
    m_oFigures.Seconds.Counts.assign(kSecondsBounds.size() + 1, 0);
}

CRcChecker::~CRcChecker() { Stop(); }

int CRcChecker::Start(std::string& strError) {
    if (m_thread.joinable()) return 0;
    if (m_oOpts.IntervalS == 0 || m_oOpts.Concurrency == 0 || m_oOpts.PerHost == 0) {
        strError = "checks: an interval, a concurrency and a per-host limit above 0 are needed";
        return EINVAL;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        strError = "checks: libcurl cannot start";
        return EIO;
    }
    m_pRun.reset(new CRun(*this, m_oStore, m_oOpts));
    int iErr = m_pRun->Init(strError);
    if (iErr != 0) {
        m_pRun.reset();
        return iErr;
    }
    m_thread = std::thread([this] { m_pRun->Loop(); });
    return 0;
}

void CRcChecker::Stop() {
    if (!m_thread.joinable()) return;
    m_pRun->RequestStop();
    m_thread.join();
    m_pRun.reset();
}

rc_check_figures_t CRcChecker::Figures() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_oFigures;
}
