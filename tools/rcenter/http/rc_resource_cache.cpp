#include "rc_resource_cache.h"

namespace {

std::string KeyOf(const Sha1Hash& oFid) { return std::string(reinterpret_cast<const char*>(oFid.cVal), sizeof(oFid.cVal)); }

// About what an entry holds: its table and texts dominate.
uint64 BytesOf(const rc_resource_t& oRes) {
    uint64 iBytes = sizeof(rc_resource_t) + oRes.Tpt.size();
    for (const rc_location_t& oLoc : oRes.Locations) iBytes += sizeof(rc_location_t) + oLoc.Url.size() + oLoc.FileName.size();
    return iBytes;
}

}  // namespace

void CRcResourceCache::Follow(uint64 iGeneration) {
    if (iGeneration == m_iGeneration) return;
    m_iGeneration = iGeneration;
    m_oEntries.clear();
    m_iBytes = 0;
}

CRcResourceCache::ResourcePtr CRcResourceCache::Find(const Sha1Hash& oFid, uint64 iGeneration, uint32 iNowMs) {
    Follow(iGeneration);
    auto it = m_oEntries.find(KeyOf(oFid));
    if (it == m_oEntries.end()) return nullptr;
    // Unsigned difference: right across the tick's wrap.
    if (iNowMs - it->second.iAtMs >= m_iTtlMs) {
        m_iBytes -= it->second.iBytes;
        m_oEntries.erase(it);
        return nullptr;
    }
    return it->second.pRes;
}

void CRcResourceCache::Put(const Sha1Hash& oFid, ResourcePtr pRes, uint64 iReadGeneration, uint64 iGeneration,
                           uint32 iNowMs) {
    Follow(iGeneration);
    if (!pRes || iReadGeneration != iGeneration || m_iTtlMs == 0) return;
    const uint64 iBytes = BytesOf(*pRes);
    if (iBytes > m_iMaxBytes) return;
    stEntry& oEntry = m_oEntries[KeyOf(oFid)];
    m_iBytes -= oEntry.iBytes;
    if (m_iBytes + iBytes > m_iMaxBytes) {
        m_oEntries.clear();
        m_iBytes = 0;
    }
    stEntry& oKept = m_oEntries[KeyOf(oFid)];
    oKept.pRes = std::move(pRes);
    oKept.iAtMs = iNowMs;
    oKept.iBytes = iBytes;
    m_iBytes += iBytes;
}
