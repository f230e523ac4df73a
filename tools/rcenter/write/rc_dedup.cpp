#include "rc_dedup.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "helper.h"
#include "svr_log.h"

namespace {

// A record: the key, its terminator, the first acceptance time, and the
// cache's own 8-byte record head; with the allocator's overhead each takes a
// 64-byte chunk, plus one LRU node.
const uint32 kDataSize = sizeof(uint64);
const uint32 kBytesPerEntry = 64 + CLruList::NODE_SIZE;
// Cache head, LRU head and spare node, allocator head, with room to spare.
const uint32 kFixedOverhead = 256;

std::string KeyText(sint32 iKey) {
    char sz[32];
    snprintf(sz, sizeof(sz), "0x%x", static_cast<unsigned>(iKey));
    return sz;
}

// The cache prints its layout on standard output while it formats a region;
// the server keeps standard output for its one listening line, so the
// layout goes to standard error instead.
class CStdoutToStderr {
public:
    CStdoutToStderr() {
        fflush(stdout);
        m_iSaved = dup(STDOUT_FILENO);
        if (m_iSaved >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~CStdoutToStderr() {
        fflush(stdout);
        if (m_iSaved >= 0) {
            dup2(m_iSaved, STDOUT_FILENO);
            close(m_iSaved);
        }
    }

private:
    int m_iSaved;
};

}  // namespace

CRcDedup::CRcDedup() : m_pCache(new CCache(*this)), m_pShm(nullptr), m_iSize(0), m_iResumed(0), m_bResumed(false) {}

CRcDedup::~CRcDedup() {
    if (m_pShm != nullptr) shmdt(m_pShm);
}

uint32 CRcDedup::PoolSizeFor(uint32 iSize) {
    return iSize <= kFixedOverhead ? 0 : (iSize - kFixedOverhead) / kBytesPerEntry;
}

int CRcDedup::Open(sint32 iKey, uint32 iSize, std::string& strError) {
    if (m_pShm != nullptr) {
        strError = "shared memory already open";
        return EBUSY;
    }
    key_t key = iKey == 0 ? IPC_PRIVATE : static_cast<key_t>(iKey);
    bool bFresh = true;
    int iShmId = shmget(key, iSize, IPC_CREAT | IPC_EXCL | 0600);
    if (iShmId < 0 && errno == EEXIST && iKey != 0) {
        bFresh = false;
        iShmId = shmget(key, 0, 0);
    }
    if (iShmId < 0) {
        int iErr = errno;
        strError = "shared memory key " + KeyText(iKey) + " of " + std::to_string(iSize) + " bytes: " + strerror(iErr);
        return iErr;
    }
    shmid_ds ds;
    if (!bFresh) {
        if (shmctl(iShmId, IPC_STAT, &ds) != 0) {
            int iErr = errno;
            strError = "shared memory key " + KeyText(iKey) + ": " + strerror(iErr);
            return iErr;
        }
        // Formatting a segment of another size would destroy what it holds.
        if (ds.shm_segsz != iSize) {
            strError = "shared memory key " + KeyText(iKey) + " has " + std::to_string(ds.shm_segsz) +
                       " bytes, shm_size is " + std::to_string(iSize);
            return EINVAL;
        }
    }
    void* p = shmat(iShmId, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        int iErr = errno;
        strError = "shared memory key " + KeyText(iKey) + ": " + strerror(iErr);
        if (iKey == 0) shmctl(iShmId, IPC_RMID, nullptr);
        return iErr;
    }
    m_pShm = static_cast<char*>(p);
    m_iSize = iSize;
    if (iKey == 0) {
        // Marked for removal now, so it goes with the last detach however the
        // process ends.
        shmctl(iShmId, IPC_RMID, nullptr);
    } else if (shmctl(iShmId, IPC_STAT, &ds) == 0 && ds.shm_nattch > 1) {
        // The cache takes no locks: two servers on one segment would corrupt it.
        strError = "shared memory key " + KeyText(iKey) + " is in use by another process";
        shmdt(m_pShm);
        m_pShm = nullptr;
        return EBUSY;
    }

    if (!bFresh) {
        if (m_pCache->LoadFromMem(m_pShm, iSize) == 0) {
            m_bResumed = true;
            LOG_INFO("dedup cache attached: key=%s, size=%u, entries=%u", KeyText(iKey).c_str(), iSize, m_iResumed);
            return 0;
        }
        LOG_WARN("shared memory key %s holds no readable cache; formatting it afresh", KeyText(iKey).c_str());
        fprintf(stderr, "zq_rcenter: shared memory key %s holds no readable cache; formatting it afresh\n",
                KeyText(iKey).c_str());
    }
    int iErr = Format(iSize, strError);
    if (iErr != 0) {
        shmdt(m_pShm);
        m_pShm = nullptr;
        return iErr;
    }
    LOG_INFO("dedup cache formatted: key=%s, size=%u, capacity=%u", KeyText(iKey).c_str(), iSize, PoolSizeFor(iSize));
    return 0;
}

int CRcDedup::Format(uint32 iSize, std::string& strError) {
    uint32 iPool = PoolSizeFor(iSize);
    sint32 iRet;
    {
        CStdoutToStderr divert;
        iRet = m_pCache->Init(m_pShm, iSize, iPool, iPool, FID_HEX_LEN, FID_HEX_LEN, kDataSize, kDataSize,
                            PERCENT_BEGIN_ELIMINATE, PERCENT_BALANCE);
    }
    if (iRet != 0) {
        strError = "cannot lay a cache of " + std::to_string(iPool) + " entries into " + std::to_string(iSize) +
                   " bytes of shared memory";
        return ENOSPC;
    }
    return 0;
}

std::string CRcDedup::KeyFor(const std::string& strStoreId, const Sha1Hash& oFid, const std::string& strUrl) {
    // The store id's length first, so no two (id, url) pairs give one input.
    std::string strInput = std::to_string(strStoreId.size()) + ":" + strStoreId;
    strInput.append(reinterpret_cast<const char*>(oFid.cVal), sizeof(oFid.cVal));
    strInput += strUrl;
    unsigned char arDigest[20];
    CHelper::DoSha1(strInput.data(), static_cast<unsigned int>(strInput.size()), arDigest);
    return HashBytesToHex(arDigest, sizeof(arDigest));
}

std::string CRcDedup::GenerationKey(const std::string& strStoreId) {
    std::string strInput = "generation:" + strStoreId;
    unsigned char arDigest[20];
    CHelper::DoSha1(strInput.data(), static_cast<unsigned int>(strInput.size()), arDigest);
    return "g" + HashBytesToHex(arDigest, sizeof(arDigest)).substr(1);
}

bool CRcDedup::Bind(const std::string& strStoreId, uint64 iSeenLast, uint64 iNow) {
    const std::string strKey = GenerationKey(strStoreId);
    m_strGenerationKey = strKey;
    uint64 iSeen = 0;
    bool bKept = IsKnown(strKey, &iSeen) && iSeen == iSeenLast;
    if (!bKept) {
        if (m_pCache->GetNodeNum() > 0)
            LOG_WARN("dedup cache: the store is at generation %llu, not the one the cache saw last; emptied",
                     static_cast<unsigned long long>(iSeenLast));
        Clear();
    }
    // Insert keeps a key that is there: the old generation goes first.
    Forget(strKey);
    if (!Remember(strKey, iNow)) LOG_ERR("dedup cache: cannot record the store's generation");
    return bKept;
}

void CRcDedup::Clear() {
    if (m_pShm == nullptr) return;
    m_pCache.reset(new CCache(*this));
    std::string strError;
    if (Format(m_iSize, strError) != 0) LOG_ERR("dedup cache: %s", strError.c_str());
}

bool CRcDedup::IsKnown(const std::string& strKey, uint64* pFirstSeen) {
    uint32 iDataSize = 0;
    void* pData = m_pCache->Get(strKey.c_str(), iDataSize);
    if (pData == nullptr) return false;
    if (pFirstSeen != nullptr) {
        *pFirstSeen = 0;
        if (iDataSize == sizeof(uint64)) memcpy(pFirstSeen, pData, sizeof(uint64));
    }
    return true;
}

bool CRcDedup::Remember(const std::string& strKey, uint64 iNow) {
    return m_pCache->Insert(strKey.c_str(), &iNow, sizeof(iNow)) != nullptr;
}

bool CRcDedup::Forget(const std::string& strKey) { return m_pCache->Remove(strKey.c_str()) == 0; }

uint32 CRcDedup::GetEntries() {
    const uint32 iNodes = m_pCache->GetNodeNum();
    const bool bGeneration = !m_strGenerationKey.empty() && IsKnown(m_strGenerationKey, nullptr);
    return bGeneration && iNodes > 0 ? iNodes - 1 : iNodes;
}

std::string CRcDedup::GetStatisticInfo() {
    char szInfo[512];
    return m_pCache->GetStatisticInfo(szInfo, sizeof(szInfo));
}

// Every entry is also in the store, so any of them may go, but for the
// generation seen, without which the next start would empty the cache.
bool CRcDedup::CanEliminate(const char* pszKey, void*, uint32) { return pszKey == nullptr || pszKey[0] != 'g'; }

void CRcDedup::CacheResume(const char*, void*, uint32) { ++m_iResumed; }
