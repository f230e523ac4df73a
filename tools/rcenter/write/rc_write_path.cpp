#include "rc_write_path.h"

#include <cerrno>
#include <chrono>
#include <ctime>

#include "rc_metrics.h"
#include "rc_record_format.h"
#include "svr_log.h"

namespace {

// What a commit on the store thread hands back.
struct stCommitResult {
    int iErr = 0;
    double dSeconds = 0;  // the commit's own time, sync included
    std::string strError;
    std::vector<rc_report_outcome_t> oOutcomes;
};

struct stRemoveResult {
    int iErr = 0;
    bool bFound = false;
    std::string strError;
    rc_resource_t oRemoved;
};

void AddTally(std::unordered_map<std::string, rc_store_tally_t>& oTallies, const rc_store_tally_t& oTally) {
    rc_store_tally_t& oInto = oTallies[oTally.FID.Hex()];
    oInto.FID = oTally.FID;
    oInto.Count += oTally.Count;
    if (oTally.LastSeen > oInto.LastSeen) oInto.LastSeen = oTally.LastSeen;
}

}  // namespace

CRcWritePath::CRcWritePath(CRcStoreWorker& oWriter, CRcDedup& oDedup, rc_counts_t& oCounts)
    : m_oWriter(oWriter),
      m_oDedup(oDedup),
      m_counts(oCounts),
      m_pCommitTimes(nullptr),
      m_pBatch(std::make_shared<rc_store_batch_t>()),
      m_iCommitsInFlight(0) {}

void CRcWritePath::SetIdentity(const rc_store_identity_t& oIdentity) {
    m_oIdentity = oIdentity;
    if (!m_oDedup.Bind(oIdentity.Id, oIdentity.Previous, oIdentity.Generation))
        LOG_INFO("dedup cache bound to store %s at generation %llu", oIdentity.Id.c_str(),
                 static_cast<unsigned long long>(oIdentity.Generation));
}

void CRcWritePath::OnNews(const rc_store_news_t& oNews) {
    if (oNews.ForgetAll) {
        LOG_WARN("dedup cache emptied: the store cannot tell what changed beside this server");
        m_oDedup.Clear();
    }
    for (const rc_store_forget_t& oForget : oNews.Forgets) {
        for (const std::string& strUrl : oForget.Urls) m_oDedup.Forget(KeyFor(oForget.FID, strUrl));
    }
    // An emptied cache is bound again, whether or not the identity changed.
    if (oNews.IdentityChanged || oNews.ForgetAll) SetIdentity(oNews.Identity);
}

std::string CRcWritePath::KeyFor(const Sha1Hash& oFid, const std::string& strUrl) const {
    return CRcDedup::KeyFor(m_oIdentity.Id, oFid, strUrl);
}

bool CRcWritePath::TallyIfKnown(const rc_report_t& oReport, time_t tNow, uint64* pFirstSeen) {
    // While a removal of the FID is on its way the cache may still hold its
    // keys; the store, behind the removal, answers right.
    if (m_oRemoving.count(oReport.FID.Hex()) != 0) return false;
    if (!m_oDedup.IsKnown(KeyFor(oReport.FID, oReport.Url), pFirstSeen)) return false;
    rc_store_tally_t oTally;
    oTally.FID = oReport.FID;
    oTally.Count = 1;
    oTally.LastSeen = tNow;
    AddTally(m_oTallies, oTally);
    return true;
}

void CRcWritePath::Add(const rc_report_t& oReport, time_t tNow, StoreDone fnDone) {
    rc_store_report_t oItem;
    rc_resource_of(oReport, oItem.Resource, oItem.Where);
    oItem.Now = tNow;
    m_pBatch->Reports.push_back(std::move(oItem));
    m_oGathering.push_back(stGathered{oReport.FID, oReport.Url, std::move(fnDone)});
}

void CRcWritePath::CommitTallies() {
    if (m_iCommitsInFlight == 0) Submit();
}

bool CRcWritePath::IsIdle() const {
    return m_oGathering.empty() && m_iCommitsInFlight == 0 && m_oRemoving.empty();
}

void CRcWritePath::Submit() {
    if (m_oGathering.empty() && m_oTallies.empty()) return;
    std::shared_ptr<rc_store_batch_t> pStore = std::move(m_pBatch);
    m_pBatch = std::make_shared<rc_store_batch_t>();
    for (const auto& oTally : m_oTallies) pStore->Tallies.push_back(oTally.second);
    m_oTallies.clear();
    auto pDone = std::make_shared<std::vector<stGathered> >(std::move(m_oGathering));
    m_oGathering.clear();
    auto pResult = std::make_shared<stCommitResult>();
    ++m_iCommitsInFlight;
    m_oWriter.Submit(
        [pStore, pResult](CRcStore& oStore) {
            const std::chrono::steady_clock::time_point tStart = std::chrono::steady_clock::now();
            pResult->iErr = oStore.Commit(*pStore, pResult->oOutcomes, pResult->strError);
            pResult->dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        },
        [this, pStore, pResult, pDone] {
            --m_iCommitsInFlight;
            ++m_iWritesDone;
            if (m_pCommitTimes != nullptr) m_pCommitTimes->Observe(pResult->dSeconds);
            if (pResult->iErr != 0) {
                LOG_ERR("store: %s", pResult->strError.c_str());
                // Nothing of the batch was written: its tallies wait for the next.
                for (const rc_store_tally_t& oTally : pStore->Tallies) AddTally(m_oTallies, oTally);
            }
            Committed(*pDone, pResult->iErr, pResult->strError, pResult->oOutcomes);
            if (m_fnCommitted) m_fnCommitted();
        });
}

void CRcWritePath::Committed(const std::vector<stGathered>& oDone, int iErr, const std::string& strError,
                             const std::vector<rc_report_outcome_t>& oOutcomes) {
    for (size_t i = 0; i < oDone.size(); ++i) {
        const stGathered& oOne = oDone[i];
        if (iErr != 0 || i >= oOutcomes.size()) {
            if (oOne.fnDone) oOne.fnDone(iErr != 0 ? iErr : EIO, strError, RC_STORED_NEW);
            continue;
        }
        if (oOutcomes[i].Errno == 0 &&
            !m_oDedup.Remember(KeyFor(oOne.oFid, oOne.strUrl), static_cast<uint64>(time(nullptr)))) {
            // Stored is what counts; a key the cache cannot hold only sends
            // its next repeat to the store.
            LOG_WARN("fid=%s stored but not cached: the dedup cache cannot hold it", oOne.oFid.Hex().c_str());
        }
        if (oOne.fnDone) oOne.fnDone(oOutcomes[i].Errno, oOutcomes[i].Error, oOutcomes[i].Stored);
    }
}

void CRcWritePath::Remove(const Sha1Hash& oFid, RemoveDone fnDone) {
    // A report of this FID gathered earlier would otherwise be committed
    // after the removal and its key cached again.
    Submit();
    const std::string strFid = oFid.Hex();
    ++m_oRemoving[strFid];
    auto pResult = std::make_shared<stRemoveResult>();
    m_oWriter.Submit(
        [oFid, pResult](CRcStore& oStore) {
            pResult->iErr = oStore.Remove(oFid, pResult->bFound, &pResult->oRemoved, pResult->strError);
        },
        [this, oFid, strFid, pResult, fnDone] {
            ++m_iWritesDone;
            auto it = m_oRemoving.find(strFid);
            if (it != m_oRemoving.end() && --it->second == 0) m_oRemoving.erase(it);
            if (pResult->iErr == 0 && pResult->bFound) {
                for (const rc_location_t& oLoc : pResult->oRemoved.Locations) m_oDedup.Forget(KeyFor(oFid, oLoc.Url));
                m_oTallies.erase(strFid);
                ++m_counts.Removed;
                LOG_INFO("fid=%s removed with its %zu locations", strFid.c_str(), pResult->oRemoved.Locations.size());
            }
            if (fnDone) fnDone(pResult->iErr, pResult->bFound, pResult->strError);
        });
}
