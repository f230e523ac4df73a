// CFileHelper: one operating-system file handle opened by name, closed by
// Close or the destructor; not shared, not copied. Failures come back as
// false, 0 or all ones, never as exceptions. fund::Sleep is the millisecond
// pause the digest passes throttle themselves with.
#ifndef ZQ_FILEHELPER_H
#define ZQ_FILEHELPER_H

#include <string>

#include "common_header.h"

// How CFileHelper::CachedPercent asks the kernel.
enum ECacheProbe {
    CACHE_PROBE_ANY = 0,      // cachestat, and mincore where the kernel lacks it
    CACHE_PROBE_MINCORE = 1,  // mincore only, so the fallback can be checked anywhere
};
const unsigned int CACHE_SAMPLE_WINDOWS = 64;
const unsigned int CACHE_SAMPLE_PAGES = 16;

class CFileHelper {
public:
    // Mode numbers: 1/2 read only; 3/4 write, create, append; 5/6 write,
    // create, truncate; 7/8 read-write, create, append; 9/10 read-write,
    // create, truncate; anything else read only.
    CFileHelper(const char* pFileName, int iMod);
    ~CFileHelper();

    CFileHelper(const CFileHelper&) = delete;
    CFileHelper& operator=(const CFileHelper&) = delete;

    // A handle already open is closed first, so reopening never leaks it.
    bool Open(const char* pFileName, int iMod);
    bool IsOpen() const { return m_iFile != -1; }

    // The size of what Read delivers: that of the open descriptor, so a
    // symbolic link reports its target's size; with no file open, the size of
    // the named directory entry itself. All ones when unknown.
    unsigned long long GetSize();
    // iPos 0 from the start, 1 from the end, 2 from the current position.
    bool Seek(unsigned long long uiOff, int iPos);
    // One read call; the byte count, 0 on failure or with no file open.
    unsigned int Read(void* pData, unsigned int uiLen);
    unsigned int Read(unsigned long long uiOff, void* pData, unsigned int uiLen);
    // A system-wide sync() while a file is open.
    void Flush();
    void Close();

    // Size of the directory entry, not following a symbolic link; all ones on failure.
    static unsigned long long GetFileSize(const char* pFileName);
    // Size of the bytes a read of the name delivers (symbolic links followed);
    // all ones on failure.
    static unsigned long long GetContentSize(const char* pFileName);
    // True for a regular file, symbolic links followed.
    static bool IsRegularFile(const char* pFileName);
    // What tells one version of a file from another without reading it: the
    // file the name leads to (device, inode), its size and its modification
    // and change times. A rewrite in place at the same size changes the
    // times; a replacement changes the inode. False when it cannot be read.
    static bool GetVersion(const char* pFileName, std::string& strVersion);
    // Whether reading iFd at many places in turn costs seeks: a file on a
    // network file system, or on a block device whose queue (or whose whole
    // disk's, for a partition) says it is rotational under strSysRoot.
    // False when nothing says so.
    static bool SeeksAreCostly(int iFd, const std::string& strSysRoot = "/sys");
    // The share, in per cent, of iFd's pages the page cache holds, judged
    // from at most CACHE_SAMPLE_WINDOWS runs of CACHE_SAMPLE_PAGES pages
    // spread from the first page to the last (every page of a smaller file),
    // so a file of any size costs microseconds. Asks cachestat, or with
    // CACHE_PROBE_MINCORE (or a kernel without it) mincore over a read-only
    // mapping, which faults no page in and reads no byte. 100 for an empty
    // file; -1 when neither can tell. mincore sees the cache only for a file
    // this user owns or may write; of another it reports nothing cached.
    static int CachedPercent(int iFd, ECacheProbe eProbe = CACHE_PROBE_ANY);

    const std::string& GetFileName() const { return m_strFileName; }

private:
    int m_iFile;
    std::string m_strFileName;
};

namespace fund {
// One nanosleep of msec milliseconds; an interrupted sleep is not resumed.
void Sleep(unsigned int msec);
// Pauses taken by Sleep in this process so far, so the throttle can be checked.
uint64 GetSleepCount();
}  // namespace fund

#endif
