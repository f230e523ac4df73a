#include "helper.h"

#include <cstring>
#include <new>

#include "filehelper.h"
#include "md4emule.h"
#include "md5.h"
#include "sha1.h"

namespace {

const unsigned long long kUnknownSize = ~0ULL;
const unsigned int kMd4ChunkSize = 9728000;
const unsigned int kMd4ReadSize = 4096;
const unsigned int kSha1ReadSize = 4 * 1024 * 1024;
const unsigned int kThrottleEvery = 5;
const int kReadOnly = 2;

// sha_update takes an int count; feed larger buffers in slices.
void Sha1Add(SHA_INFO* pCtx, const void* pBuf, unsigned long long uiSize) {
    const SHA_BYTE* p = static_cast<const SHA_BYTE*>(pBuf);
    const unsigned long long kSlice = 1U << 30;
    while (uiSize > 0) {
        unsigned long long n = uiSize < kSlice ? uiSize : kSlice;
        sha_update(pCtx, const_cast<SHA_BYTE*>(p), static_cast<int>(n));
        p += n;
        uiSize -= n;
    }
}

void Sha1AddSize(SHA_INFO* pCtx, unsigned long long uiSize) {
    unsigned char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(uiSize >> (8 * i));
    Sha1Add(pCtx, le, sizeof(le));
}

// Counts reads across a whole pass and pauses after every fifth one.
class CThrottle {
public:
    explicit CThrottle(bool bOn) : m_bOn(bOn), m_iReads(0) {}
    void CountRead() {
        if (!m_bOn) return;
        if (++m_iReads % kThrottleEvery == 0) fund::Sleep(1);
    }
    void Pause() {
        if (m_bOn) fund::Sleep(1);
    }

private:
    bool m_bOn;
    unsigned long long m_iReads;
};

// The MD5 of every piece of an open file, from offset 0. A read that ends
// before the size taken at the start is a failure, not the end of the file:
// a digest of the part that happened to be readable would be a wrong answer.
bool ReadPieceHashs(CFileHelper& oFile, std::vector<std::vector<unsigned char> >& oHash, bool bSleep,
                    unsigned long long* pSize, CDigestProgress* pProgress) {
    unsigned long long uiSize = oFile.GetSize();
    if (uiSize == kUnknownSize) return false;
    unsigned int uiPiece = CHelper::GetDefaultPieceSize(uiSize);
    if (uiPiece == 0) return false;
    std::vector<unsigned char> oBuf;
    try {
        oBuf.resize(uiPiece);
    } catch (const std::bad_alloc&) {
        return false;
    }
    oHash.clear();
    CThrottle oThrottle(bSleep);
    unsigned long long uiOff = 0;
    unsigned int uiGot;
    do {
        uiGot = oFile.Read(uiOff, oBuf.data(), uiPiece);
        if (uiGot > 0) {
            std::vector<unsigned char> oDigest(16);
            CHelper::DoMd5(oBuf.data(), uiGot, oDigest.data());
            oHash.push_back(std::move(oDigest));
        }
        uiOff += uiGot;
        if (pProgress != nullptr) pProgress->OnDigestProgress(uiOff, uiSize);
        oThrottle.CountRead();
    } while (uiGot == uiPiece);
    if (uiOff < uiSize) return false;
    *pSize = uiSize;
    return true;
}

}  // namespace

bool CHelper::GetFileMd4(const std::string& strFileName, unsigned char* pMd4, bool bSleep) {
    return GetFileMd4(strFileName, pMd4, bSleep, nullptr);
}

bool CHelper::GetFileMd4(const std::string& strFileName, unsigned char* pMd4, bool bSleep,
                         CDigestProgress* pProgress) {
    CFileHelper oFile(strFileName.c_str(), kReadOnly);
    if (!oFile.IsOpen()) return false;
    unsigned long long uiSize = oFile.GetSize();
    if (uiSize == kUnknownSize) return false;

    unsigned long long uiBlocks = (uiSize + kMd4ChunkSize - 1) / kMd4ChunkSize;
    std::vector<unsigned char> oPartHashes;
    try {
        oPartHashes.resize(uiBlocks * 16);
    } catch (const std::bad_alloc&) {
        return false;
    }

    CThrottle oThrottle(bSleep);
    unsigned char arBuf[kMd4ReadSize];
    bool bFailed = false;
    unsigned long long uiDone = 0;
    unsigned long long uiRead = 0;
    for (unsigned long long i = 0; i < uiBlocks && !bFailed; ++i) {
        unsigned int uiChunk = kMd4ChunkSize;
        if (i + 1 == uiBlocks && uiSize % kMd4ChunkSize != 0) uiChunk = static_cast<unsigned int>(uiSize % kMd4ChunkSize);
        MD4_CTX oCtx;
        MD4Init(&oCtx);
        // A chunk that cannot be reached would leave its digest undetermined,
        // so a failed seek counts as a failed read.
        if (!oFile.Seek(i * kMd4ChunkSize, 0)) {
            bFailed = true;
        } else {
            unsigned int uiLeft = uiChunk;
            while (uiLeft > 0) {
                unsigned int uiWant = uiLeft < kMd4ReadSize ? uiLeft : kMd4ReadSize;
                unsigned int uiGot = oFile.Read(arBuf, uiWant);
                MD4Update(&oCtx, arBuf, uiGot);
                uiRead += uiGot;
                if (pProgress != nullptr) pProgress->OnDigestProgress(uiRead, uiSize);
                oThrottle.CountRead();
                if (uiGot < uiWant) {
                    bFailed = true;
                    break;
                }
                uiLeft -= uiGot;
            }
        }
        oThrottle.Pause();
        MD4Final(&oPartHashes[i * 16], &oCtx);
        ++uiDone;
    }

    if (uiDone == 0) {
        // An empty file: the MD4 of empty input.
        MD4_CTX oCtx;
        MD4Init(&oCtx);
        MD4Final(pMd4, &oCtx);
    } else if (uiBlocks == 1) {
        memcpy(pMd4, oPartHashes.data(), 16);
    } else {
        MD4_CTX oCtx;
        MD4Init(&oCtx);
        unsigned long long uiLeft = uiDone * 16;
        unsigned char* p = oPartHashes.data();
        while (uiLeft > 0) {
            unsigned int n = uiLeft < (1U << 30) ? static_cast<unsigned int>(uiLeft) : (1U << 30);
            MD4Update(&oCtx, p, n);
            p += n;
            uiLeft -= n;
        }
        MD4Final(pMd4, &oCtx);
    }
    return !bFailed;
}

bool CHelper::GetFileSha1(const std::string& strFileName, unsigned char* pSha1, bool bSleep) {
    return GetFileSha1(strFileName, pSha1, bSleep, nullptr);
}

bool CHelper::GetFileSha1(const std::string& strFileName, unsigned char* pSha1, bool bSleep,
                          CDigestProgress* pProgress) {
    CFileHelper oFile(strFileName.c_str(), kReadOnly);
    if (!oFile.IsOpen()) return false;
    unsigned long long uiSize = oFile.GetSize();
    if (uiSize == kUnknownSize) return false;
    std::vector<unsigned char> oBuf;
    try {
        oBuf.resize(kSha1ReadSize);
    } catch (const std::bad_alloc&) {
        return false;
    }

    SHA_INFO oCtx;
    sha_init(&oCtx);
    CThrottle oThrottle(bSleep);
    unsigned long long uiOff = 0;
    unsigned int uiGot;
    do {
        uiGot = oFile.Read(uiOff, oBuf.data(), kSha1ReadSize);
        if (uiGot > 0) Sha1Add(&oCtx, oBuf.data(), uiGot);
        uiOff += uiGot;
        if (pProgress != nullptr) pProgress->OnDigestProgress(uiOff, uiSize);
        oThrottle.CountRead();
    } while (uiGot == kSha1ReadSize);
    if (uiOff < uiSize) return false;
    sha_final(pSha1, &oCtx);
    return true;
}

bool CHelper::GetFilePieceHashs(const std::string& strFileName, std::vector<std::vector<unsigned char> >& oHash,
                                bool bSleep) {
    return GetFilePieceHashs(strFileName, oHash, bSleep, nullptr);
}

bool CHelper::GetFilePieceHashs(const std::string& strFileName, std::vector<std::vector<unsigned char> >& oHash,
                                bool bSleep, CDigestProgress* pProgress) {
    CFileHelper oFile(strFileName.c_str(), kReadOnly);
    if (!oFile.IsOpen()) return false;
    unsigned long long uiSize = 0;
    return ReadPieceHashs(oFile, oHash, bSleep, &uiSize, pProgress);
}

unsigned int CHelper::GetDefaultPieceSize(unsigned long long uiFileSize) {
    const unsigned long long KiB = 1024ULL;
    const unsigned long long MiB = 1024ULL * KiB;
    if (uiFileSize <= 2 * MiB) return 32 * KiB;
    if (uiFileSize <= 20 * MiB) return 64 * KiB;
    if (uiFileSize <= 200 * MiB) return 128 * KiB;
    if (uiFileSize <= 1024 * MiB) return 256 * KiB;
    if (uiFileSize <= 4096 * MiB) return 512 * KiB;
    unsigned long long uiSteps = uiFileSize / (8 * MiB) + (uiFileSize % (8 * MiB) != 0 ? 1 : 0);
    return static_cast<unsigned int>(uiSteps * KiB);
}

bool CHelper::GetFileFID(const std::string& strFileName, unsigned char* pFID, bool bSleep) {
    CFileHelper oFile(strFileName.c_str(), kReadOnly);
    if (!oFile.IsOpen()) return false;
    std::vector<std::vector<unsigned char> > oHash;
    unsigned long long uiSize = 0;
    if (!ReadPieceHashs(oFile, oHash, bSleep, &uiSize, nullptr)) return false;
    SHA_INFO oCtx;
    sha_init(&oCtx);
    Sha1AddSize(&oCtx, uiSize);
    for (const std::vector<unsigned char>& oDigest : oHash) Sha1Add(&oCtx, oDigest.data(), oDigest.size());
    sha_final(pFID, &oCtx);
    return true;
}

bool CHelper::GetFileSID(const std::string& strFileName, unsigned char* pSID) {
    CFileHelper oFile(strFileName.c_str(), kReadOnly);
    if (!oFile.IsOpen()) return false;
    unsigned long long uiSize = oFile.GetSize();
    if (uiSize == kUnknownSize || uiSize == 0) return false;
    unsigned int uiPiece = GetDefaultPieceSize(uiSize);
    if (uiPiece == 0) return false;
    unsigned long long uiCount = (uiSize + uiPiece - 1) / uiPiece;
    std::vector<unsigned char> oBuf;
    try {
        oBuf.assign(uiPiece, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }

    SHA_INFO oCtx;
    sha_init(&oCtx);
    if (uiCount == 1) {
        // The piece itself, padded with zeros to a whole piece.
        if (oFile.Read(0ULL, oBuf.data(), uiPiece) != uiSize) return false;
        Sha1Add(&oCtx, oBuf.data(), uiPiece);
    } else {
        unsigned long long arIndex[3] = {0, uiCount / 2, uiCount - 1};
        int iSamples = uiCount == 2 ? 2 : 3;
        for (int i = 0; i < iSamples; ++i) {
            unsigned long long uiOff = arIndex[i] * uiPiece;
            unsigned long long uiWant = uiSize - uiOff < uiPiece ? uiSize - uiOff : uiPiece;
            unsigned int uiGot = oFile.Read(uiOff, oBuf.data(), uiPiece);
            // A sample that cannot be read in full would give a wrong identifier.
            if (uiGot != uiWant) return false;
            unsigned char arDigest[16];
            DoMd5(oBuf.data(), uiGot, arDigest);
            Sha1Add(&oCtx, arDigest, sizeof(arDigest));
        }
    }
    Sha1AddSize(&oCtx, uiSize);
    sha_final(pSID, &oCtx);
    return true;
}

void CHelper::DoSha1(const void* pBuf, unsigned int uiSize, unsigned char* pResult) {
    SHA_INFO oCtx;
    sha_init(&oCtx);
    Sha1Add(&oCtx, pBuf, uiSize);
    sha_final(pResult, &oCtx);
}

void CHelper::DoMd5(const void* pBuf, unsigned int uiSize, unsigned char* pResult) {
    md5_t oCtx;
    md5_init(&oCtx);
    md5_process(&oCtx, pBuf, uiSize);
    md5_finish(&oCtx, pResult);
}
