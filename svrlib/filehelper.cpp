#include "filehelper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

}  // namespace

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
