// CHelper: static helpers of the server library. Nothing here logs; every
// failure comes back as the documented result.
#ifndef ZQ_HELPER_H
#define ZQ_HELPER_H

#include <string>
#include <vector>

#include "common_header.h"

// Told how far a digest pass over a file has got: uiDone of uiTotal bytes
// read (uiTotal is the size the file had when it was opened). Called on one
// thread at a time, between reads; it must not throw. Used for a progress
// display, so it should return quickly.
class CDigestProgress {
public:
    virtual ~CDigestProgress() {}
    virtual void OnDigestProgress(unsigned long long uiDone, unsigned long long uiTotal) = 0;
};

class CHelper {
public:
    // ---- file digests ----
    // Each opens the file by name (read only), reads it from the start and
    // closes it; nothing is shared between calls. bSleep throttles the pass
    // with 1 ms pauses. False means the output must not be used; that includes
    // a read that fails before the size the file had when opened.

    // Chunked MD4 over 9,728,000-byte chunks: one chunk gives its plain MD4,
    // more give the MD4 of the chunk digests; an empty file gives the MD4 of
    // empty input. Writes 16 bytes.
    static bool GetFileMd4(const std::string& strFileName, unsigned char* pMd4, bool bSleep);
    // SHA-1 of the whole file; writes 20 bytes.
    static bool GetFileSha1(const std::string& strFileName, unsigned char* pSha1, bool bSleep);
    // Replaces oHash with the 16-byte MD5 of every piece, in file order.
    static bool GetFilePieceHashs(const std::string& strFileName, std::vector<std::vector<unsigned char> >& oHash,
                                  bool bSleep);
    // The same three passes, telling pProgress (may be null) after every read.
    static bool GetFileMd4(const std::string& strFileName, unsigned char* pMd4, bool bSleep,
                           CDigestProgress* pProgress);
    static bool GetFileSha1(const std::string& strFileName, unsigned char* pSha1, bool bSleep,
                            CDigestProgress* pProgress);
    static bool GetFilePieceHashs(const std::string& strFileName, std::vector<std::vector<unsigned char> >& oHash,
                                  bool bSleep, CDigestProgress* pProgress);
    // 32 KiB up to 2 MiB, doubling at 20 MiB, 200 MiB and 1 GiB to 512 KiB at
    // 4 GiB, then 1 KiB per started 8 MiB (at most 8192 pieces).
    static unsigned int GetDefaultPieceSize(unsigned long long uiFileSize);
    // SHA-1 over the size (8 bytes little-endian) and every piece digest.
    static bool GetFileFID(const std::string& strFileName, unsigned char* pFID, bool bSleep);
    // SHA-1 over the digests of the first, middle and last pieces and the
    // size; a one-piece file contributes its zero-padded piece instead.
    // Reads at most three pieces. An empty file gives false.
    static bool GetFileSID(const std::string& strFileName, unsigned char* pSID);
    static void DoSha1(const void* pBuf, unsigned int uiSize, unsigned char* pResult);
    static void DoMd5(const void* pBuf, unsigned int uiSize, unsigned char* pResult);

    // ---- host and process helpers ----
    // IPv4 addresses are unsigned 32-bit numbers in network byte order (the
    // first octet in the lowest-addressed byte), as the socket calls give them.

    // True inside 10/8, 172.16/12, 192.168/16 or 169.254/16, both ends included.
    static bool IsLanIP(unsigned int uiIP);
    // Appends every IPv4 interface address but 0 and 127.0.0.1 (interfaces
    // listed last come first) and returns the vector's size. The first query
    // has room for uiFirstRoom interfaces and is repeated with more room until
    // the list fits. Nothing is appended when the interfaces cannot be listed.
    static unsigned int GetAllHostIPs(std::vector<unsigned int>& oIPs, unsigned int uiFirstRoom = 16);
    // The one public address of the host, 0 when there is none or several.
    static unsigned int GetNetIP();
    // The first private address of the host, else 1.1.0.1.
    static unsigned int GetLanIP();
    // The same choices over a supplied address list.
    static unsigned int ChooseNetIP(const std::vector<unsigned int>& oIPs);
    static unsigned int ChooseLanIP(const std::vector<unsigned int>& oIPs);
    // "a.b.c.d:port"; the port is in network byte order too.
    static std::string IpToStr(unsigned int uiIP, unsigned short usPort);

    // The running program's path, empty when it cannot be read.
    static std::string GetExeFileName();
    // That path up to and including its last "/".
    static std::string GetExeDir();
    // Raises the open-file limit to iLimit when the soft limit is lower; never
    // lowers either limit. False when the limit cannot be read or set.
    static bool SetFileLimit(const unsigned int iLimit);
    // Detaches the process: two forks (each parent exits 0, a failed fork
    // exits 1) around setsid, job-control and termination signals ignored,
    // same working directory, core files of up to 2 GiB allowed.
    static void init_daemon();
    // Sets the core-file size limit to size, raising the hard limit when that
    // is allowed. -1 when the limit cannot be read or size cannot be reached
    // (the soft limit then goes as near as the hard limit lets it), else 0.
    static sint32 GenCoreDumpFile(unsigned int size);

    // Two lowercase hex digits per byte; Buf2Str is the same.
    static std::string Hex2Str(const unsigned char* pBuf, unsigned int uiLen);
    static std::string Buf2Str(const unsigned char* pBuf, unsigned int uiLen);
    // Appends one byte per pair of hex digits; a trailing odd digit is dropped.
    // False at the first non-hex character, keeping the bytes appended so far.
    static bool Str2Buf(const std::string& oStr, std::vector<unsigned char>& oBuf);
    // ASCII A-Z to a-z in place; every other byte stays.
    static void StringToLower(std::string& strString);
    // The file name's part from its last "." on (".gz" of "a.tar.gz"); empty
    // when the name after its last "/" has no dot.
    static std::string GetFileExtName(const std::string& strFileName);

    // Bare names of a directory's non-directory entries (a symbolic link is a
    // file, whatever it points to), not descending. The list is cleared first;
    // 0 when the directory cannot be read.
    static unsigned int GetDirectoryFiles(const std::string& oPathDir, std::vector<std::string>& oFileNames);
    // The same walk keeping subdirectories, without "." and "..".
    static unsigned int GetAllDirectories(const std::string& oPathDir, std::vector<std::string>& oDirNames);

};

#endif
