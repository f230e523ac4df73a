// CHelper: static helpers of the server library. Nothing here logs; every
// failure comes back as the documented result.
#ifndef ZQ_HELPER_H
#define ZQ_HELPER_H

#include <string>
#include <vector>

#include "common_header.h"

class CHelper {
public:
    // ---- file digests ----
    // Each opens the file by name (read only), reads it from the start and
    // closes it; nothing is shared between calls. bSleep throttles the pass
    // with 1 ms pauses. False means the output must not be used.

    // Chunked MD4 over 9,728,000-byte chunks: one chunk gives its plain MD4,
    // more give the MD4 of the chunk digests; an empty file gives the MD4 of
    // empty input. Writes 16 bytes.
    static bool GetFileMd4(const std::string& strFileName, unsigned char* pMd4, bool bSleep);
    // SHA-1 of the whole file; writes 20 bytes.
    static bool GetFileSha1(const std::string& strFileName, unsigned char* pSha1, bool bSleep);
    // Replaces oHash with the 16-byte MD5 of every piece, in file order.
    static bool GetFilePieceHashs(const std::string& strFileName, std::vector<std::vector<unsigned char> >& oHash,
                                  bool bSleep);
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

};

#endif
