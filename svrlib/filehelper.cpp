#include "filehelper.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>

namespace {

const unsigned long long kUnknownSize = ~0ULL;

int OpenFlags(int iMod) {
    switch (iMod) {
        case 3:
        case 4:
            return O_WRONLY | O_CREAT | O_APPEND;
        case 5:
        case 6:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case 7:
        case 8:
            return O_RDWR | O_CREAT | O_APPEND;
        case 9:
        case 10:
            return O_RDWR | O_CREAT | O_TRUNC;
        default:
            return O_RDONLY;
    }
}

std::atomic<uint64> g_iSleepCount{0};

}  // namespace

CFileHelper::CFileHelper(const char* pFileName, int iMod) : m_iFile(-1) { Open(pFileName, iMod); }

CFileHelper::~CFileHelper() { Close(); }

bool CFileHelper::Open(const char* pFileName, int iMod) {
    Close();
    m_strFileName = pFileName != nullptr ? pFileName : "";
    if (m_strFileName.empty()) return false;
    // Descriptors are not meant for child processes.
    m_iFile = open(m_strFileName.c_str(), OpenFlags(iMod) | O_LARGEFILE | O_CLOEXEC, 0600);
    return m_iFile != -1;
}

unsigned long long CFileHelper::GetSize() {
    struct stat64 st;
    if (m_iFile != -1) {
        // The digest passes size their reads by this; taking it from the name
        // would give a symbolic link's own length while read() follows it.
        if (fstat64(m_iFile, &st) != 0) return kUnknownSize;
        return static_cast<unsigned long long>(st.st_size);
    }
    return GetFileSize(m_strFileName.c_str());
}

bool CFileHelper::Seek(unsigned long long uiOff, int iPos) {
    if (m_iFile == -1) return false;
    int iWhence;
    switch (iPos) {
        case 0:
            iWhence = SEEK_SET;
            break;
        case 1:
            iWhence = SEEK_END;
            break;
        case 2:
            iWhence = SEEK_CUR;
            break;
        default:
            return false;
    }
    return lseek64(m_iFile, static_cast<off64_t>(uiOff), iWhence) != -1;
}

unsigned int CFileHelper::Read(void* pData, unsigned int uiLen) {
    if (m_iFile == -1) return 0;
    ssize_t n = read(m_iFile, pData, uiLen);
    return n > 0 ? static_cast<unsigned int>(n) : 0;
}

unsigned int CFileHelper::Read(unsigned long long uiOff, void* pData, unsigned int uiLen) {
    if (!Seek(uiOff, 0)) return 0;
    return Read(pData, uiLen);
}

void CFileHelper::Flush() {
    if (m_iFile != -1) sync();
}

void CFileHelper::Close() {
    if (m_iFile == -1) return;
    Flush();
    close(m_iFile);
    m_iFile = -1;
}

unsigned long long CFileHelper::GetFileSize(const char* pFileName) {
    struct stat64 st;
    if (pFileName == nullptr || lstat64(pFileName, &st) != 0) return kUnknownSize;
    return static_cast<unsigned long long>(st.st_size);
}

unsigned long long CFileHelper::GetContentSize(const char* pFileName) {
    struct stat64 st;
    if (pFileName == nullptr || stat64(pFileName, &st) != 0) return kUnknownSize;
    return static_cast<unsigned long long>(st.st_size);
}

bool CFileHelper::IsRegularFile(const char* pFileName) {
    struct stat64 st;
    return pFileName != nullptr && stat64(pFileName, &st) == 0 && S_ISREG(st.st_mode);
}

bool CFileHelper::GetVersion(const char* pFileName, std::string& strVersion) {
    struct stat64 st;
    if (pFileName == nullptr || stat64(pFileName, &st) != 0) return false;
    char szVersion[160];
    snprintf(szVersion, sizeof(szVersion), "%llu:%llu:%lld:%lld.%09ld:%lld.%09ld",
             static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
             static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
             static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    strVersion = szVersion;
    return true;
}

namespace {

// File systems whose reads go over a network; each seek there is a round
// trip at least.
bool IsNetworkFileSystem(long lType) {
    static const unsigned long kTypes[] = {
        0x6969,      // NFS
        0x517B,      // SMB
        0xFF534D42,  // CIFS
        0xFE534D42,  // SMB2
        0x00C36400,  // Ceph
        0x5346414F,  // AFS
        0x01021997,  // 9P
        0x65735546,  // FUSE (sshfs and the like)
    };
    for (unsigned long ulType : kTypes) {
        if (static_cast<unsigned long>(lType) == ulType) return true;
    }
    return false;
}

// The first character of a sysfs flag file, or 0 when there is none.
char ReadFlag(const std::string& strPath) {
    FILE* pFile = fopen(strPath.c_str(), "r");
    if (pFile == nullptr) return 0;
    int c = fgetc(pFile);
    fclose(pFile);
    return c == EOF ? 0 : static_cast<char>(c);
}

// The kernel's records for cachestat; its number is the same on every
// architecture, and older C libraries do not name it.
struct stCacheStatRange {
    uint64_t off;
    uint64_t len;
};
struct stCacheStat {
    uint64_t nr_cache;
    uint64_t nr_dirty;
    uint64_t nr_writeback;
    uint64_t nr_evicted;
    uint64_t nr_recently_evicted;
};
#ifdef __NR_cachestat
const long kCachestatCall = __NR_cachestat;
#else
const long kCachestatCall = 451;
#endif

// Counts the resident pages of page runs inside a file of uiSize bytes;
// every run lies within the file's pages, the last one possibly partial.
class CResidency {
public:
    CResidency(int iFd, unsigned long long uiSize, unsigned long long uiPage, ECacheProbe eProbe)
        : m_iFd(iFd), m_uiSize(uiSize), m_uiPage(uiPage), m_bCachestat(eProbe == CACHE_PROBE_ANY) {}
    ~CResidency() {
        if (m_pMap != MAP_FAILED) munmap(m_pMap, m_uiSize);
    }
    CResidency(const CResidency&) = delete;
    CResidency& operator=(const CResidency&) = delete;

    // Resident pages of [uiFirst, uiFirst + uiCount); -1 when nothing can tell.
    long long Count(unsigned long long uiFirst, unsigned long long uiCount) {
        const unsigned long long uiOff = uiFirst * m_uiPage;
        const unsigned long long uiLen = std::min(uiCount * m_uiPage, m_uiSize - uiOff);
        if (m_bCachestat) {
            stCacheStatRange oRange = {uiOff, uiLen};
            stCacheStat oStat = {};
            if (syscall(kCachestatCall, m_iFd, &oRange, &oStat, 0) == 0)
                return static_cast<long long>(std::min<uint64_t>(oStat.nr_cache, uiCount));
            // ENOSYS on an older kernel, EPERM under a system-call filter:
            // mincore answers instead, for this run and every later one.
            m_bCachestat = false;
        }
        if (m_pMap == MAP_FAILED) {
            if (m_bMapTried) return -1;
            m_bMapTried = true;
            m_pMap = mmap(nullptr, m_uiSize, PROT_READ, MAP_SHARED, m_iFd, 0);
            if (m_pMap == MAP_FAILED) return -1;
        }
        std::vector<unsigned char> arVec(uiCount);
        if (mincore(static_cast<unsigned char*>(m_pMap) + uiOff, uiLen, arVec.data()) != 0) return -1;
        long long iResident = 0;
        for (unsigned char c : arVec) iResident += c & 1;
        return iResident;
    }

private:
    int m_iFd;
    unsigned long long m_uiSize;
    unsigned long long m_uiPage;
    bool m_bCachestat;
    bool m_bMapTried = false;
    void* m_pMap = MAP_FAILED;
};

}  // namespace

int CFileHelper::CachedPercent(int iFd, ECacheProbe eProbe) {
    struct stat st;
    if (fstat(iFd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const unsigned long long uiSize = static_cast<unsigned long long>(st.st_size);
    if (uiSize == 0) return 100;
    long lPage = sysconf(_SC_PAGESIZE);
    if (lPage <= 0) return -1;
    const unsigned long long uiPage = static_cast<unsigned long long>(lPage);
    const unsigned long long uiPages = (uiSize + uiPage - 1) / uiPage;
    CResidency oResidency(iFd, uiSize, uiPage, eProbe);
    unsigned long long uiSampled = 0, uiResident = 0;
    if (uiPages <= static_cast<unsigned long long>(CACHE_SAMPLE_WINDOWS) * CACHE_SAMPLE_PAGES) {
        long long n = oResidency.Count(0, uiPages);
        if (n < 0) return -1;
        uiSampled = uiPages;
        uiResident = static_cast<unsigned long long>(n);
    } else {
        // The first window at the front, the last one ending on the last page.
        const unsigned long long uiSpan = uiPages - CACHE_SAMPLE_PAGES;
        for (unsigned int i = 0; i < CACHE_SAMPLE_WINDOWS; ++i) {
            long long n = oResidency.Count(uiSpan * i / (CACHE_SAMPLE_WINDOWS - 1), CACHE_SAMPLE_PAGES);
            if (n < 0) return -1;
            uiSampled += CACHE_SAMPLE_PAGES;
            uiResident += static_cast<unsigned long long>(n);
        }
    }
    return static_cast<int>(uiResident * 100 / uiSampled);
}

bool CFileHelper::SeeksAreCostly(int iFd, const std::string& strSysRoot) {
    struct statfs sfs;
    if (fstatfs(iFd, &sfs) == 0 && IsNetworkFileSystem(static_cast<long>(sfs.f_type))) return true;
    struct stat st;
    if (fstat(iFd, &st) != 0) return false;
    std::string strDev = strSysRoot + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                         std::to_string(minor(st.st_dev));
    char cFlag = ReadFlag(strDev + "/queue/rotational");
    // A partition has no queue of its own; its disk, one level up, has.
    if (cFlag == 0) cFlag = ReadFlag(strDev + "/../queue/rotational");
    return cFlag == '1';
}

namespace fund {

void Sleep(unsigned int msec) {
    g_iSleepCount.fetch_add(1, std::memory_order_relaxed);
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(msec / 1000);
    ts.tv_nsec = static_cast<long>(msec % 1000) * 1000000L;
    nanosleep(&ts, nullptr);
}

uint64 GetSleepCount() { return g_iSleepCount.load(std::memory_order_relaxed); }

}  // namespace fund
