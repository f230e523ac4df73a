#include "rc_store_worker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "svr_log.h"

namespace {

bool SameIdentity(const rc_store_identity_t& a, const rc_store_identity_t& b) {
    return a.Id == b.Id && a.Generation == b.Generation;
}

}  // namespace

CRcStoreWorker::CRcStoreWorker(CRcStore& oStore)
    : m_oStore(oStore), m_iJobFd(-1), m_iDoneFd(-1), m_bStopping(false), m_iInFlight(0) {}

CRcStoreWorker::~CRcStoreWorker() {
    Stop();
    if (m_iJobFd >= 0) close(m_iJobFd);
    if (m_iDoneFd >= 0) close(m_iDoneFd);
}

int CRcStoreWorker::Start(std::string& strError) {
    if (IsRunning()) return 0;
    if (m_iJobFd < 0) m_iJobFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_iDoneFd < 0) m_iDoneFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_iJobFd < 0 || m_iDoneFd < 0) {
        int iErr = errno;
        strError = std::string("cannot make the store thread's eventfds: ") + strerror(iErr);
        return iErr;
    }
    m_oIdentity = m_oStore.GetIdentity();
    m_bStopping = false;
    try {
        m_thread = std::thread(&CRcStoreWorker::Run, this);
    } catch (const std::system_error& e) {
        strError = std::string("cannot start the store thread: ") + e.what();
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
    }
    return 0;
}

void CRcStoreWorker::Stop() {
    if (!IsRunning()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    Signal(m_iJobFd);
    m_thread.join();
}

void CRcStoreWorker::Submit(Work fnWork, Done fnDone) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_oJobs.push_back(stJob{std::move(fnWork), std::move(fnDone)});
    }
    ++m_iInFlight;
    Signal(m_iJobFd);
}

size_t CRcStoreWorker::RunCompletions() {
    Drain(m_iDoneFd);
    std::deque<stDone> oDone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        oDone.swap(m_oDone);
    }
    size_t iRun = 0;
    for (stDone& oOne : oDone) {
        if (oOne.bJob) {
            --m_iInFlight;
            ++iRun;
        }
        if (oOne.fnDone) oOne.fnDone();
    }
    return iRun;
}

void CRcStoreWorker::Signal(int iFd) {
    uint64_t iOne = 1;
    // A full counter already wakes the reader; nothing is lost.
    if (write(iFd, &iOne, sizeof(iOne)) < 0 && errno != EAGAIN) LOG_ERR("eventfd write: %s", strerror(errno));
}

void CRcStoreWorker::Drain(int iFd) {
    uint64_t iCount = 0;
    while (read(iFd, &iCount, sizeof(iCount)) > 0) {
    }
}

void CRcStoreWorker::Complete(Done fnDone) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_oDone.push_back(stDone{std::move(fnDone), true});
    }
    Signal(m_iDoneFd);
}

void CRcStoreWorker::CollectNews() {
    rc_store_news_t oNews;
    m_oStore.TakeForgets(oNews.Forgets, oNews.ForgetAll);
    oNews.Identity = m_oStore.GetIdentity();
    oNews.IdentityChanged = !SameIdentity(oNews.Identity, m_oIdentity);
    if (oNews.Forgets.empty() && !oNews.ForgetAll && !oNews.IdentityChanged) return;
    m_oIdentity = oNews.Identity;
    if (!m_fnNews) return;
    NewsHandler fnNews = m_fnNews;
    auto pNews = std::make_shared<rc_store_news_t>(std::move(oNews));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_oDone.push_back(stDone{[fnNews, pNews] { fnNews(*pNews); }, false});
    }
    Signal(m_iDoneFd);
}

void CRcStoreWorker::Housekeep(bool& bMore) {
    std::string strError;
    if (m_oStore.Housekeep(bMore, strError) != 0) LOG_ERR("store: %s", strError.c_str());
}

void CRcStoreWorker::Run() {
    bool bHousekeep = true;  // the store may have work put off
    bool bQuiet = true;      // no job came during the last wait
    uint32 iJobsSince = 0;
    for (;;) {
        stJob oJob;
        bool bHave = false;
        bool bStop = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_oJobs.empty()) {
                oJob = std::move(m_oJobs.front());
                m_oJobs.pop_front();
                bHave = true;
            } else {
                bStop = m_bStopping;
            }
        }
        if (bHave) {
            oJob.fnWork(m_oStore);
            CollectNews();
            Complete(std::move(oJob.fnDone));
            bHousekeep = true;
            bQuiet = false;
            if (++iJobsSince >= HOUSEKEEP_EVERY_JOBS) {
                iJobsSince = 0;
                Housekeep(bHousekeep);
            }
            continue;
        }
        if (bStop) return;
        // A job that comes meanwhile waits for one share of it.
        if (bHousekeep && bQuiet) {
            Housekeep(bHousekeep);
            iJobsSince = 0;
            continue;
        }
        pollfd arFds[2] = {{m_iJobFd, POLLIN, 0}, {m_oStore.EventFd(), POLLIN, 0}};
        nfds_t iFds = arFds[1].fd >= 0 ? 2 : 1;
        int iReady = poll(arFds, iFds, bHousekeep ? HOUSEKEEP_QUIET_MS : IDLE_REFRESH_MS);
        if (iReady < 0) {
            if (errno != EINTR) LOG_ERR("store thread: poll: %s", strerror(errno));
            continue;
        }
        if (arFds[0].revents != 0) Drain(m_iJobFd);
        if (iReady == 0 && bHousekeep) {
            bQuiet = true;
        } else if (iReady == 0) {
            std::string strError;
            if (m_oStore.Refresh(strError) != 0) LOG_ERR("store: %s", strError.c_str());
            CollectNews();
            bHousekeep = true;
        } else if (iFds == 2 && arFds[1].revents != 0) {
            CollectNews();
        }
    }
}
