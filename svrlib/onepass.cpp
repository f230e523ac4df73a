#include "onepass.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "md4emule.h"
#include "md5.h"
#include "sha1.h"

namespace {

const unsigned long long kMd4ChunkSize = 9728000;
const std::align_val_t kRingAlign{4096};
const unsigned int kMaxRingBlocks = 8;

// The four jobs of a pass. Each works through the blocks strictly in order
// and is held by at most one thread at a time; a digest may run on block n
// once it has been read, and block n may be read into its ring slot once
// every digest has finished block n - ring size.
enum EStream {
    STREAM_READ = 0,
    STREAM_MD5,
    STREAM_MD4,
    STREAM_SHA1,
    STREAM_COUNT,
};

class CRing {
public:
    CRing() : m_pData(nullptr) {}
    ~CRing() {
        if (m_pData != nullptr) ::operator delete(m_pData, kRingAlign);
    }
    CRing(const CRing&) = delete;
    CRing& operator=(const CRing&) = delete;

    bool Allocate(size_t uiBytes) {
        m_pData = static_cast<unsigned char*>(::operator new(uiBytes, kRingAlign, std::nothrow));
        return m_pData != nullptr;
    }
    unsigned char* Data() const { return m_pData; }

private:
    unsigned char* m_pData;
};

class COnePass {
public:
    COnePass(int iFd, unsigned long long uiSize, const stOnePassOpts& oOpts, unsigned int uiThreads);

    // ONEPASS_OK with the digests in oOut, or the first failure.
    int Run(stFileDigests& oOut);

private:
    void Work();
    bool PickLocked(int& iStream, unsigned long long& uiBlock) const;
    bool FinishedLocked() const;
    int DoTask(int iStream, unsigned long long uiBlock);
    int ReadBlock(unsigned long long uiBlock);
    void AddMd4(const unsigned char* p, unsigned long long uiLen);
    void AddMd5(const unsigned char* p, unsigned long long uiLen);

    unsigned char* BlockData(unsigned long long uiBlock) const {
        return m_oRing.Data() + (uiBlock % m_uiRingBlocks) * m_uiBlockSize;
    }
    unsigned long long BlockLen(unsigned long long uiBlock) const {
        return std::min<unsigned long long>(m_uiBlockSize, m_uiSize - uiBlock * m_uiBlockSize);
    }

    const int m_iFd;
    const unsigned long long m_uiSize;
    const unsigned int m_uiBlockSize;
    const unsigned long long m_uiBlockCount;
    unsigned int m_uiRingBlocks;
    const unsigned int m_uiThreads;
    CDigestProgress* const m_pProgress;
    CRing m_oRing;

    std::mutex m_oMutex;
    std::condition_variable m_oChanged;
    unsigned long long m_arNext[STREAM_COUNT];  // next block of each stream
    bool m_arBusy[STREAM_COUNT];
    int m_iResult;

    // Each group below is touched only by the thread holding its stream.
    SHA_INFO m_oSha;

    MD4_CTX m_oChunk;  // the chunk being digested
    MD4_CTX m_oOuter;  // over the digests of the finished chunks
    unsigned char m_arFirstChunk[16];
    unsigned long long m_uiChunks;
    unsigned long long m_uiMd4Done;

    md5_t m_oPiece;
    unsigned long long m_uiPieceSize;
    unsigned long long m_uiMd5Done;
    std::vector<unsigned char> m_oPieces;
};

COnePass::COnePass(int iFd, unsigned long long uiSize, const stOnePassOpts& oOpts, unsigned int uiThreads)
    : m_iFd(iFd),
      m_uiSize(uiSize),
      m_uiBlockSize(oOpts.uiBlockSize),
      m_uiBlockCount((uiSize + oOpts.uiBlockSize - 1) / oOpts.uiBlockSize),
      m_uiRingBlocks(oOpts.uiBlocks),
      m_uiThreads(uiThreads),
      m_pProgress(oOpts.pProgress),
      m_iResult(ONEPASS_OK),
      m_uiChunks(0),
      m_uiMd4Done(0),
      m_uiPieceSize(oOpts.uiPieceSize != 0 ? oOpts.uiPieceSize : CHelper::GetDefaultPieceSize(uiSize)),
      m_uiMd5Done(0) {
    // One thread digests each block before it reads the next, so one buffer
    // does; more threads need room to read ahead while the others digest.
    if (m_uiRingBlocks == 0) m_uiRingBlocks = uiThreads == 1 ? 1 : std::min(kMaxRingBlocks, 2 * uiThreads);
    if (m_uiBlockCount > 0 && m_uiRingBlocks > m_uiBlockCount)
        m_uiRingBlocks = static_cast<unsigned int>(m_uiBlockCount);
    for (int i = 0; i < STREAM_COUNT; ++i) {
        m_arNext[i] = 0;
        m_arBusy[i] = false;
    }
    sha_init(&m_oSha);
    MD4Init(&m_oChunk);
    MD4Init(&m_oOuter);
    memset(m_arFirstChunk, 0, sizeof(m_arFirstChunk));
    md5_init(&m_oPiece);
}

int COnePass::Run(stFileDigests& oOut) {
    if (m_uiPieceSize == 0) return ONEPASS_OPEN_FAILED;
    if (m_uiBlockCount > 0 && !m_oRing.Allocate(static_cast<size_t>(m_uiRingBlocks) * m_uiBlockSize))
        return ONEPASS_NO_MEMORY;
    try {
        m_oPieces.resize(static_cast<size_t>((m_uiSize + m_uiPieceSize - 1) / m_uiPieceSize) * 16);
    } catch (const std::bad_alloc&) {
        return ONEPASS_NO_MEMORY;
    } catch (const std::length_error&) {
        return ONEPASS_NO_MEMORY;
    }

    // The calling thread is one of the workers; a helper that cannot be
    // started only leaves more of the work to the others. Helpers block every
    // signal, so that signals keep going to the caller's thread as they would
    // without them.
    std::vector<std::thread> oHelpers;
    sigset_t oAll;
    sigset_t oOld;
    sigfillset(&oAll);
    bool bMasked = m_uiThreads > 1 && pthread_sigmask(SIG_SETMASK, &oAll, &oOld) == 0;
    for (unsigned int i = 1; i < m_uiThreads; ++i) {
        try {
            oHelpers.emplace_back(&COnePass::Work, this);
        } catch (const std::system_error&) {
            break;
        } catch (const std::bad_alloc&) {
            break;
        }
    }
    if (bMasked) pthread_sigmask(SIG_SETMASK, &oOld, nullptr);
    Work();
    for (std::thread& oHelper : oHelpers) oHelper.join();
    if (m_iResult != ONEPASS_OK) return m_iResult;

    // Bytes past the size taken at the start mean the digests cover only a
    // part of what the file now holds.
    unsigned char cProbe;
    ssize_t iProbe;
    do {
        iProbe = pread(m_iFd, &cProbe, 1, static_cast<off_t>(m_uiSize));
    } while (iProbe < 0 && errno == EINTR);
    if (iProbe < 0) return ONEPASS_READ_FAILED;
    struct stat st;
    if (iProbe > 0 || fstat(m_iFd, &st) != 0 || static_cast<unsigned long long>(st.st_size) != m_uiSize)
        return ONEPASS_SIZE_CHANGED;

    if (m_uiChunks == 0) {
        MD4Final(oOut.Md4, &m_oChunk);  // the MD4 of empty input
    } else if (m_uiChunks == 1) {
        memcpy(oOut.Md4, m_arFirstChunk, sizeof(m_arFirstChunk));
    } else {
        MD4Final(oOut.Md4, &m_oOuter);
    }
    sha_final(oOut.Sha1, &m_oSha);
    oOut.Pieces.swap(m_oPieces);
    oOut.Size = m_uiSize;
    return ONEPASS_OK;
}

void COnePass::Work() {
    std::unique_lock<std::mutex> oLock(m_oMutex);
    while (m_iResult == ONEPASS_OK && !FinishedLocked()) {
        int iStream;
        unsigned long long uiBlock;
        if (!PickLocked(iStream, uiBlock)) {
            m_oChanged.wait(oLock);
            continue;
        }
        m_arBusy[iStream] = true;
        oLock.unlock();
        int iResult = DoTask(iStream, uiBlock);
        oLock.lock();
        m_arBusy[iStream] = false;
        if (iResult != ONEPASS_OK) {
            if (m_iResult == ONEPASS_OK) m_iResult = iResult;
        } else {
            m_arNext[iStream] = uiBlock + 1;
        }
        m_oChanged.notify_all();
    }
}

bool COnePass::FinishedLocked() const {
    for (int i = 0; i < STREAM_COUNT; ++i)
        if (m_arNext[i] < m_uiBlockCount) return false;
    return true;
}

// Reading goes first when a digest has caught up with it (that digest would
// otherwise wait for the block); else the digest furthest behind, the
// costliest of equals first, so that no stream falls far behind. With one
// thread and one buffer each block is read only after all three digests
// have had it, while it is still in the cache.
bool COnePass::PickLocked(int& iStream, unsigned long long& uiBlock) const {
    unsigned long long uiSlowest = m_uiBlockCount;
    unsigned long long uiFastest = 0;
    iStream = -1;
    for (int i = STREAM_MD5; i < STREAM_COUNT; ++i) {
        uiSlowest = std::min(uiSlowest, m_arNext[i]);
        uiFastest = std::max(uiFastest, m_arNext[i]);
        if (m_arBusy[i] || m_arNext[i] >= m_arNext[STREAM_READ]) continue;
        if (iStream < 0 || m_arNext[i] < m_arNext[iStream]) iStream = i;
    }
    bool bReadable = !m_arBusy[STREAM_READ] && m_arNext[STREAM_READ] < m_uiBlockCount &&
                     m_arNext[STREAM_READ] < uiSlowest + m_uiRingBlocks;
    if (bReadable && (iStream < 0 || uiFastest >= m_arNext[STREAM_READ])) iStream = STREAM_READ;
    if (iStream < 0) return false;
    uiBlock = m_arNext[iStream];
    return true;
}

int COnePass::DoTask(int iStream, unsigned long long uiBlock) {
    switch (iStream) {
        case STREAM_READ:
            return ReadBlock(uiBlock);
        case STREAM_SHA1:
            sha_update(&m_oSha, BlockData(uiBlock), static_cast<int>(BlockLen(uiBlock)));
            break;
        case STREAM_MD4:
            AddMd4(BlockData(uiBlock), BlockLen(uiBlock));
            break;
        default:
            AddMd5(BlockData(uiBlock), BlockLen(uiBlock));
            break;
    }
    return ONEPASS_OK;
}

int COnePass::ReadBlock(unsigned long long uiBlock) {
    unsigned char* p = BlockData(uiBlock);
    unsigned long long uiOff = uiBlock * m_uiBlockSize;
    unsigned long long uiLeft = BlockLen(uiBlock);
    while (uiLeft > 0) {
        ssize_t n = pread(m_iFd, p, static_cast<size_t>(uiLeft), static_cast<off_t>(uiOff));
        if (n < 0 && errno == EINTR) continue;
        // The end of the file before its size at opening: it shrank.
        if (n <= 0) return ONEPASS_READ_FAILED;
        p += n;
        uiOff += static_cast<unsigned long long>(n);
        uiLeft -= static_cast<unsigned long long>(n);
    }
    if (m_pProgress != nullptr) m_pProgress->OnDigestProgress(uiOff, m_uiSize);
    return ONEPASS_OK;
}

void COnePass::AddMd4(const unsigned char* p, unsigned long long uiLen) {
    while (uiLen > 0) {
        unsigned long long uiChunkEnd = std::min(m_uiSize, (m_uiMd4Done / kMd4ChunkSize + 1) * kMd4ChunkSize);
        unsigned long long n = std::min(uiLen, uiChunkEnd - m_uiMd4Done);
        MD4Update(&m_oChunk, const_cast<unsigned char*>(p), static_cast<unsigned int>(n));
        p += n;
        uiLen -= n;
        m_uiMd4Done += n;
        if (m_uiMd4Done == uiChunkEnd) {
            unsigned char arDigest[16];
            MD4Final(arDigest, &m_oChunk);
            if (m_uiChunks == 0) memcpy(m_arFirstChunk, arDigest, sizeof(arDigest));
            MD4Update(&m_oOuter, arDigest, sizeof(arDigest));
            ++m_uiChunks;
            MD4Init(&m_oChunk);
        }
    }
}

void COnePass::AddMd5(const unsigned char* p, unsigned long long uiLen) {
    while (uiLen > 0) {
        unsigned long long uiIndex = m_uiMd5Done / m_uiPieceSize;
        unsigned long long uiPieceEnd = std::min(m_uiSize, (uiIndex + 1) * m_uiPieceSize);
        unsigned long long n = std::min(uiLen, uiPieceEnd - m_uiMd5Done);
        md5_process(&m_oPiece, p, static_cast<unsigned int>(n));
        p += n;
        uiLen -= n;
        m_uiMd5Done += n;
        if (m_uiMd5Done == uiPieceEnd) {
            md5_finish(&m_oPiece, &m_oPieces[static_cast<size_t>(uiIndex) * 16]);
            md5_init(&m_oPiece);
        }
    }
}

// Closes without the sync() of CFileHelper: nothing was written.
class CReadFd {
public:
    explicit CReadFd(const std::string& strName)
        // Non-blocking, so a FIFO or a device cannot hold the open.
        : m_iFd(open(strName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_LARGEFILE)) {}
    ~CReadFd() {
        if (m_iFd >= 0) close(m_iFd);
    }
    CReadFd(const CReadFd&) = delete;
    CReadFd& operator=(const CReadFd&) = delete;
    int Get() const { return m_iFd; }

private:
    int m_iFd;
};

}  // namespace

int GetFileDigests(const std::string& strFileName, const stOnePassOpts& oOpts, stFileDigests& oOut) {
    CReadFd oFd(strFileName);
    if (oFd.Get() < 0) return ONEPASS_OPEN_FAILED;
    struct stat st;
    if (fstat(oFd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return ONEPASS_OPEN_FAILED;
    // Back to blocking reads: a regular file under a lock could otherwise
    // answer a read with EAGAIN.
    int iFlags = fcntl(oFd.Get(), F_GETFL);
    if (iFlags == -1 || fcntl(oFd.Get(), F_SETFL, iFlags & ~O_NONBLOCK) == -1) return ONEPASS_OPEN_FAILED;
    posix_fadvise(oFd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    stOnePassOpts oUse = oOpts;
    if (oUse.uiBlockSize == 0) oUse.uiBlockSize = ONEPASS_BLOCK_SIZE;
    oUse.uiBlockSize = std::min(oUse.uiBlockSize, ONEPASS_MAX_BLOCK_SIZE);
    unsigned int uiThreads = std::max(1U, std::min(oOpts.uiThreads, ONEPASS_MAX_THREADS));
    oUse.uiBlocks = std::min(oUse.uiBlocks, kMaxRingBlocks);

    COnePass oPass(oFd.Get(), static_cast<unsigned long long>(st.st_size), oUse, uiThreads);
    return oPass.Run(oOut);
}
