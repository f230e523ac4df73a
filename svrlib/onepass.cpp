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
#include <utility>

#include "filehelper.h"
#include "md4_lanes.h"
#include "md4emule.h"
#include "md5.h"
#include "md5_lanes.h"
#include "sha1.h"
#include "simd_lanes.h"

namespace {

const unsigned long long kMd4ChunkSize = 9728000;
const std::align_val_t kRingAlign{4096};
const unsigned int kMaxRingBlocks = 8;
// Bytes of pieces MD5'd side by side: 16 pieces up to 8 GiB files (1 MiB
// pieces), fewer lanes above, the single-stream MD5 once fewer than two
// pieces fit (pieces above 8 MiB, files above 64 GiB).
const unsigned long long kMd5WindowMax = 16ULL << 20;
// Bytes each MD4 lane reads at a time; a single chunk has nothing to share
// lanes with.
const unsigned int kMd4RowSize = 64U << 10;
const unsigned long long kMd4LaneMinChunks = 2;
// How far the reading may run ahead of the SHA-1 when other threads hold the
// other streams. Further ahead, the blocks the SHA-1 is about to take have
// left the cache by the time it takes them, and a single SHA-1 stream is
// slow to pull them back: with two threads, 512-bit lanes that finished
// their share early let the reading run a whole ring ahead, and the pass
// took 0.77 s for a cached 1 GiB file where the 256-bit lanes took 0.62 s;
// held to 4 MiB it takes 0.56 s.
const unsigned long long kReadLeadMax = 4ULL << 20;

// The four jobs of a pass. Each is held by at most one thread at a time and
// works strictly in order. Reading fills the ring front to back; SHA-1 (and
// the single-stream MD5 and MD4) follow it block by block; the MD5 lanes take
// a window of whole pieces once all of it is read; the MD4 lanes read their
// own rows and are kept within a row's worth of the reading, so that both
// stay in the same part of the file (and of the page cache). A ring slot is
// read again once every stream reading the ring is past it.
enum EStream {
    STREAM_READ = 0,
    STREAM_SHA1,
    STREAM_MD5,
    STREAM_MD4,
    STREAM_COUNT,
};

class CAlignedBuf {
public:
    CAlignedBuf() : m_pData(nullptr) {}
    ~CAlignedBuf() {
        if (m_pData != nullptr) ::operator delete(m_pData, kRingAlign);
    }
    CAlignedBuf(const CAlignedBuf&) = delete;
    CAlignedBuf& operator=(const CAlignedBuf&) = delete;

    bool Allocate(size_t uiBytes) {
        m_pData = static_cast<unsigned char*>(::operator new(uiBytes, kRingAlign, std::nothrow));
        return m_pData != nullptr;
    }
    unsigned char* Data() const { return m_pData; }

private:
    unsigned char* m_pData;
};

// Whether the file still ends at uiSize: ONEPASS_OK, or ONEPASS_SIZE_CHANGED
// when bytes follow it or its size is another now (digests taken up to
// uiSize would cover only a part of it), ONEPASS_READ_FAILED when the probe
// cannot be read.
int CheckEndsAt(int iFd, unsigned long long uiSize) {
    unsigned char cProbe;
    ssize_t iProbe;
    do {
        iProbe = pread(iFd, &cProbe, 1, static_cast<off_t>(uiSize));
    } while (iProbe < 0 && errno == EINTR);
    if (iProbe < 0) return ONEPASS_READ_FAILED;
    struct stat st;
    if (iProbe > 0 || fstat(iFd, &st) != 0 || static_cast<unsigned long long>(st.st_size) != uiSize)
        return ONEPASS_SIZE_CHANGED;
    return ONEPASS_OK;
}

// pread until uiLen bytes came; false when the file ends first or a read fails.
bool ReadFully(int iFd, unsigned char* p, unsigned long long uiLen, unsigned long long uiOff) {
    while (uiLen > 0) {
        ssize_t n = pread(iFd, p, static_cast<size_t>(uiLen), static_cast<off_t>(uiOff));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        uiOff += static_cast<unsigned long long>(n);
        uiLen -= static_cast<unsigned long long>(n);
    }
    return true;
}

class COnePass {
public:
    COnePass(int iFd, unsigned long long uiSize, const stOnePassOpts& oOpts, unsigned int uiThreads);

    // ONEPASS_OK with the digests in oOut, or the first failure.
    int Run(stFileDigests& oOut);

private:
    // What a picked task covers: bytes [uiFrom, uiTo) of the file, or for
    // the MD4 lanes nothing (they keep their own place).
    struct stTask {
        int iStream;
        unsigned long long uiFrom;
        unsigned long long uiTo;
    };

    void Work();
    bool PickLocked(stTask& oTask) const;
    bool FinishedLocked() const;
    unsigned long long RingFreeLocked() const;
    unsigned long long Md4LanePosLocked() const;
    int DoTask(const stTask& oTask);
    int ReadBlock(unsigned long long uiFrom, unsigned long long uiTo);
    void AddMd4(const unsigned char* p, unsigned long long uiLen);
    void AddMd5(const unsigned char* p, unsigned long long uiLen);
    void Md5Window(unsigned long long uiFrom, unsigned long long uiTo);
    int Md4Row();
    void AddChunkDigest(const unsigned char arDigest[16]);

    unsigned char* RingAt(unsigned long long uiOff) const { return m_oRing.Data() + uiOff % m_uiRingBytes; }
    // The ring bytes from uiOff up to uiEnd or the end of the ring, whichever comes first.
    unsigned long long RingRun(unsigned long long uiOff, unsigned long long uiEnd) const {
        return std::min(uiEnd - uiOff, m_uiRingBytes - uiOff % m_uiRingBytes);
    }
    unsigned long long BlockEnd(unsigned long long uiOff) const {
        return std::min(m_uiSize, (uiOff / m_uiBlockSize + 1) * m_uiBlockSize);
    }

    const int m_iFd;
    const unsigned long long m_uiSize;
    const unsigned int m_uiBlockSize;
    const unsigned int m_uiThreads;
    // Bytes the reading may be ahead of the SHA-1; with one thread the SHA-1
    // follows every block at once anyway.
    const unsigned long long m_uiReadLead;
    CDigestProgress* const m_pProgress;
    const ESimdLevel m_eSimd;
    const unsigned long long m_uiPieceSize;
    unsigned int m_uiRingBlocks;
    unsigned long long m_uiRingBytes;
    CAlignedBuf m_oRing;

    std::mutex m_oMutex;
    std::condition_variable m_oChanged;
    // Bytes each stream is done with; for the MD4 lanes see m_uiMd4Group.
    unsigned long long m_arDone[STREAM_COUNT];
    bool m_arBusy[STREAM_COUNT];
    int m_iResult;

    // Each group below is touched only by the thread holding its stream.
    SHA_INFO m_oSha;

    unsigned int m_uiMd5Lanes;  // pieces per window; below 2 the MD5 runs single-stream
    md5_t m_oPiece;
    std::vector<unsigned char> m_oPieces;

    MD4_CTX m_oChunk;  // the chunk being digested
    MD4_CTX m_oOuter;  // over the digests of the finished chunks
    unsigned char m_arFirstChunk[16];
    unsigned long long m_uiChunks;  // chunk digests taken so far

    unsigned int m_uiMd4Lanes;  // chunks side by side; 0 when MD4 follows the ring
    unsigned long long m_uiChunkCount;
    unsigned long long m_uiMd4Group;  // group of m_uiMd4Lanes chunks being read
    unsigned long long m_uiMd4Row;    // next row in the group
    MD4_CTX m_arLane[simd_lanes::kMaxLanes];
    CAlignedBuf m_oRows;
};

COnePass::COnePass(int iFd, unsigned long long uiSize, const stOnePassOpts& oOpts, unsigned int uiThreads)
    : m_iFd(iFd),
      m_uiSize(uiSize),
      m_uiBlockSize(oOpts.uiBlockSize),
      m_uiThreads(uiThreads),
      m_uiReadLead(uiThreads == 1 ? uiSize : std::max<unsigned long long>(kReadLeadMax, m_uiBlockSize)),
      m_pProgress(oOpts.pProgress),
      m_eSimd(SimdResolve(oOpts.eSimd)),
      m_uiPieceSize(oOpts.uiPieceSize != 0 ? oOpts.uiPieceSize : CHelper::GetDefaultPieceSize(uiSize)),
      m_uiRingBlocks(oOpts.uiBlocks),
      m_uiRingBytes(0),
      m_iResult(ONEPASS_OK),
      m_uiMd5Lanes(0),
      m_uiChunks(0),
      m_uiMd4Lanes(0),
      m_uiChunkCount((uiSize + kMd4ChunkSize - 1) / kMd4ChunkSize),
      m_uiMd4Group(0),
      m_uiMd4Row(0) {
    const unsigned int uiLanes = SimdLanes(m_eSimd);
    if (uiLanes > 1 && m_uiPieceSize > 0) {
        unsigned long long uiFit = kMd5WindowMax / m_uiPieceSize;
        m_uiMd5Lanes = static_cast<unsigned int>(std::min<unsigned long long>(uiLanes, uiFit));
        if (m_uiMd5Lanes < 2) m_uiMd5Lanes = 0;
    }
    if (uiLanes > 1 && oOpts.eMd4Read == MD4_READ_LANES && m_uiChunkCount >= kMd4LaneMinChunks)
        m_uiMd4Lanes = uiLanes;

    // One thread digests each block before it reads the next, so one buffer
    // does; more threads need room to read ahead while the others digest. A
    // window of pieces must fit with one block to spare, or reading would
    // wait for the MD5 that waits for it.
    const unsigned int uiAhead = uiThreads == 1 ? 0 : 2;
    unsigned int uiLeast = 1;
    if (m_uiMd5Lanes > 0) {
        unsigned long long uiWindow = static_cast<unsigned long long>(m_uiMd5Lanes) * m_uiPieceSize;
        uiLeast = static_cast<unsigned int>((uiWindow + m_uiBlockSize - 1) / m_uiBlockSize) + 1;
    }
    if (m_uiRingBlocks == 0) {
        m_uiRingBlocks = m_uiMd5Lanes > 0 ? uiLeast + uiAhead
                                          : (uiThreads == 1 ? 1 : std::min(kMaxRingBlocks, 2 * uiThreads));
    }
    m_uiRingBlocks = std::max(m_uiRingBlocks, uiLeast);
    const unsigned long long uiBlockCount = (uiSize + m_uiBlockSize - 1) / m_uiBlockSize;
    if (uiBlockCount > 0 && m_uiRingBlocks > uiBlockCount) m_uiRingBlocks = static_cast<unsigned int>(uiBlockCount);
    m_uiRingBytes = static_cast<unsigned long long>(m_uiRingBlocks) * m_uiBlockSize;

    for (int i = 0; i < STREAM_COUNT; ++i) {
        m_arDone[i] = 0;
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
    if (m_uiSize > 0 && !m_oRing.Allocate(static_cast<size_t>(m_uiRingBytes))) return ONEPASS_NO_MEMORY;
    if (m_uiMd4Lanes > 0 && !m_oRows.Allocate(static_cast<size_t>(m_uiMd4Lanes) * kMd4RowSize))
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

    const int iEnd = CheckEndsAt(m_iFd, m_uiSize);
    if (iEnd != ONEPASS_OK) return iEnd;

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
        stTask oTask;
        if (!PickLocked(oTask)) {
            m_oChanged.wait(oLock);
            continue;
        }
        m_arBusy[oTask.iStream] = true;
        oLock.unlock();
        int iResult = DoTask(oTask);
        oLock.lock();
        m_arBusy[oTask.iStream] = false;
        if (iResult != ONEPASS_OK) {
            if (m_iResult == ONEPASS_OK) m_iResult = iResult;
        } else if (oTask.iStream != STREAM_MD4 || m_uiMd4Lanes == 0) {
            m_arDone[oTask.iStream] = oTask.uiTo;
        }
        m_oChanged.notify_all();
    }
}

bool COnePass::FinishedLocked() const {
    for (int i = 0; i < STREAM_COUNT; ++i)
        if (m_arDone[i] < m_uiSize) return false;
    return true;
}

// The first byte some stream reading the ring still needs.
unsigned long long COnePass::RingFreeLocked() const {
    unsigned long long uiLow = std::min(m_arDone[STREAM_SHA1], m_arDone[STREAM_MD5]);
    if (m_uiMd4Lanes == 0) uiLow = std::min(uiLow, m_arDone[STREAM_MD4]);
    return uiLow;
}

// How far into the file the MD4 lanes have come, counted like the ring's
// streams: whole groups before, plus the rows read of this one.
unsigned long long COnePass::Md4LanePosLocked() const {
    const unsigned long long uiFirstChunk = m_uiMd4Group * m_uiMd4Lanes;
    if (uiFirstChunk >= m_uiChunkCount) return m_uiSize;
    const unsigned long long uiLanes = std::min<unsigned long long>(m_uiMd4Lanes, m_uiChunkCount - uiFirstChunk);
    return std::min(m_uiSize, uiFirstChunk * kMd4ChunkSize + m_uiMd4Row * kMd4RowSize * uiLanes);
}

// SHA-1 first, whenever it has bytes: it is the slowest stream, so the pass
// takes as long as the SHA-1 and the time it waited. Then the MD4 lanes if
// they fell a row behind the reading, the reading (at most m_uiReadLead
// ahead of the SHA-1), the MD5, the single-stream MD4, and the MD4 lanes up to
// a row ahead of the reading. With one thread this reads a block and digests
// it while it is still in the cache.
bool COnePass::PickLocked(stTask& oTask) const {
    const unsigned long long uiRead = m_arDone[STREAM_READ];
    const bool bMd4Left = m_arDone[STREAM_MD4] < m_uiSize && !m_arBusy[STREAM_MD4];
    const unsigned long long uiMd4Pos = m_uiMd4Lanes > 0 ? Md4LanePosLocked() : 0;

    if (!m_arBusy[STREAM_SHA1] && m_arDone[STREAM_SHA1] < uiRead) {
        oTask = {STREAM_SHA1, m_arDone[STREAM_SHA1], BlockEnd(m_arDone[STREAM_SHA1])};
        return true;
    }
    if (bMd4Left && m_uiMd4Lanes > 0 && (uiMd4Pos + m_uiMd4Lanes * kMd4RowSize <= uiRead || uiRead == m_uiSize)) {
        oTask = {STREAM_MD4, 0, 0};
        return true;
    }
    if (!m_arBusy[STREAM_READ] && uiRead < m_uiSize &&
        uiRead / m_uiBlockSize < RingFreeLocked() / m_uiBlockSize + m_uiRingBlocks &&
        uiRead < m_arDone[STREAM_SHA1] + m_uiReadLead) {
        oTask = {STREAM_READ, uiRead, BlockEnd(uiRead)};
        return true;
    }
    const unsigned long long uiMd5 = m_arDone[STREAM_MD5];
    if (!m_arBusy[STREAM_MD5] && uiMd5 < uiRead) {
        if (m_uiMd5Lanes == 0) {
            oTask = {STREAM_MD5, uiMd5, BlockEnd(uiMd5)};
            return true;
        }
        unsigned long long uiEnd = std::min(m_uiSize, uiMd5 + m_uiMd5Lanes * m_uiPieceSize);
        if (uiEnd <= uiRead) {
            oTask = {STREAM_MD5, uiMd5, uiEnd};
            return true;
        }
    }
    if (bMd4Left && m_uiMd4Lanes == 0 && m_arDone[STREAM_MD4] < uiRead) {
        oTask = {STREAM_MD4, m_arDone[STREAM_MD4], BlockEnd(m_arDone[STREAM_MD4])};
        return true;
    }
    if (bMd4Left && m_uiMd4Lanes > 0 && uiMd4Pos < uiRead + m_uiMd4Lanes * kMd4RowSize) {
        oTask = {STREAM_MD4, 0, 0};
        return true;
    }
    return false;
}

int COnePass::DoTask(const stTask& oTask) {
    const unsigned long long uiLen = oTask.uiTo - oTask.uiFrom;
    switch (oTask.iStream) {
        case STREAM_READ:
            return ReadBlock(oTask.uiFrom, oTask.uiTo);
        case STREAM_SHA1:
            sha_update(&m_oSha, RingAt(oTask.uiFrom), static_cast<int>(uiLen));
            break;
        case STREAM_MD4:
            if (m_uiMd4Lanes > 0) return Md4Row();
            AddMd4(RingAt(oTask.uiFrom), uiLen);
            break;
        default:
            if (m_uiMd5Lanes > 0) {
                Md5Window(oTask.uiFrom, oTask.uiTo);
            } else {
                AddMd5(RingAt(oTask.uiFrom), uiLen);
            }
            break;
    }
    return ONEPASS_OK;
}

int COnePass::ReadBlock(unsigned long long uiFrom, unsigned long long uiTo) {
    // The end of the file before its size at opening: it shrank.
    if (!ReadFully(m_iFd, RingAt(uiFrom), uiTo - uiFrom, uiFrom)) return ONEPASS_READ_FAILED;
    if (m_pProgress != nullptr) m_pProgress->OnDigestProgress(uiTo, m_uiSize);
    return ONEPASS_OK;
}

void COnePass::AddChunkDigest(const unsigned char arDigest[16]) {
    if (m_uiChunks == 0) memcpy(m_arFirstChunk, arDigest, 16);
    MD4Update(&m_oOuter, const_cast<unsigned char*>(arDigest), 16);
    ++m_uiChunks;
}

void COnePass::AddMd4(const unsigned char* p, unsigned long long uiLen) {
    unsigned long long uiPos = m_arDone[STREAM_MD4];
    while (uiLen > 0) {
        unsigned long long uiChunkEnd = std::min(m_uiSize, (uiPos / kMd4ChunkSize + 1) * kMd4ChunkSize);
        unsigned long long n = std::min(uiLen, uiChunkEnd - uiPos);
        MD4Update(&m_oChunk, const_cast<unsigned char*>(p), static_cast<unsigned int>(n));
        p += n;
        uiLen -= n;
        uiPos += n;
        if (uiPos == uiChunkEnd) {
            unsigned char arDigest[16];
            MD4Final(arDigest, &m_oChunk);
            AddChunkDigest(arDigest);
            MD4Init(&m_oChunk);
        }
    }
}

void COnePass::AddMd5(const unsigned char* p, unsigned long long uiLen) {
    unsigned long long uiPos = m_arDone[STREAM_MD5];
    while (uiLen > 0) {
        unsigned long long uiIndex = uiPos / m_uiPieceSize;
        unsigned long long uiPieceEnd = std::min(m_uiSize, (uiIndex + 1) * m_uiPieceSize);
        unsigned long long n = std::min(uiLen, uiPieceEnd - uiPos);
        md5_process(&m_oPiece, p, static_cast<unsigned int>(n));
        p += n;
        uiLen -= n;
        uiPos += n;
        if (uiPos == uiPieceEnd) {
            md5_finish(&m_oPiece, &m_oPieces[static_cast<size_t>(uiIndex) * 16]);
            md5_init(&m_oPiece);
        }
    }
}

// The pieces of [uiFrom, uiTo) side by side. A piece the ring's end cuts in
// two goes through the lanes in two calls.
void COnePass::Md5Window(unsigned long long uiFrom, unsigned long long uiTo) {
    const unsigned int uiCount = static_cast<unsigned int>((uiTo - uiFrom + m_uiPieceSize - 1) / m_uiPieceSize);
    md5_t arCtx[simd_lanes::kMaxLanes];
    md5_t* arPtr[simd_lanes::kMaxLanes];
    const unsigned char* arData[simd_lanes::kMaxLanes];
    unsigned int arLen[simd_lanes::kMaxLanes];
    unsigned long long arPos[simd_lanes::kMaxLanes];
    unsigned long long arEnd[simd_lanes::kMaxLanes];
    for (unsigned int i = 0; i < uiCount; ++i) {
        md5_init(&arCtx[i]);
        arPtr[i] = &arCtx[i];
        arPos[i] = uiFrom + i * m_uiPieceSize;
        arEnd[i] = std::min(uiTo, arPos[i] + m_uiPieceSize);
    }
    for (int iPart = 0; iPart < 2; ++iPart) {
        for (unsigned int i = 0; i < uiCount; ++i) {
            arData[i] = RingAt(arPos[i]);
            arLen[i] = arPos[i] < arEnd[i] ? static_cast<unsigned int>(RingRun(arPos[i], arEnd[i])) : 0;
            arPos[i] += arLen[i];
        }
        md5_lanes_process(arPtr, arData, arLen, uiCount, m_eSimd);
    }
    const size_t uiFirst = static_cast<size_t>(uiFrom / m_uiPieceSize);
    for (unsigned int i = 0; i < uiCount; ++i) md5_finish(&arCtx[i], &m_oPieces[(uiFirst + i) * 16]);
}

// One row of the current group: up to kMd4RowSize bytes of each of its
// chunks, read at the chunks' own places; the group's chunk digests go to
// the outer MD4 in order once its last row is in.
int COnePass::Md4Row() {
    const unsigned long long uiFirstChunk = m_uiMd4Group * m_uiMd4Lanes;
    const unsigned int uiLanes =
        static_cast<unsigned int>(std::min<unsigned long long>(m_uiMd4Lanes, m_uiChunkCount - uiFirstChunk));
    if (m_uiMd4Row == 0)
        for (unsigned int k = 0; k < uiLanes; ++k) MD4Init(&m_arLane[k]);
    MD4_CTX* arPtr[simd_lanes::kMaxLanes];
    const unsigned char* arData[simd_lanes::kMaxLanes];
    unsigned int arLen[simd_lanes::kMaxLanes];
    bool bLast = true;
    for (unsigned int k = 0; k < uiLanes; ++k) {
        const unsigned long long uiStart = (uiFirstChunk + k) * kMd4ChunkSize;
        const unsigned long long uiChunkLen = std::min(kMd4ChunkSize, m_uiSize - uiStart);
        const unsigned long long uiOff = m_uiMd4Row * kMd4RowSize;
        const unsigned long long n =
            uiOff < uiChunkLen ? std::min<unsigned long long>(kMd4RowSize, uiChunkLen - uiOff) : 0;
        if (uiOff + n < uiChunkLen) bLast = false;
        arPtr[k] = &m_arLane[k];
        arData[k] = m_oRows.Data() + static_cast<size_t>(k) * kMd4RowSize;
        arLen[k] = static_cast<unsigned int>(n);
        if (!ReadFully(m_iFd, m_oRows.Data() + static_cast<size_t>(k) * kMd4RowSize, n, uiStart + uiOff))
            return ONEPASS_READ_FAILED;
    }
    md4_lanes_update(arPtr, arData, arLen, uiLanes, m_eSimd);
    std::lock_guard<std::mutex> oLock(m_oMutex);
    ++m_uiMd4Row;
    if (bLast) {
        for (unsigned int k = 0; k < uiLanes; ++k) {
            unsigned char arDigest[16];
            MD4Final(arDigest, &m_arLane[k]);
            AddChunkDigest(arDigest);
        }
        ++m_uiMd4Group;
        m_uiMd4Row = 0;
        if (m_uiMd4Group * m_uiMd4Lanes >= m_uiChunkCount) m_arDone[STREAM_MD4] = m_uiSize;
    }
    return ONEPASS_OK;
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

// Whether the file CReadFd opened is a regular file, with its stat; if so it
// is back in blocking mode, since a regular file under a lock could otherwise
// answer a read with EAGAIN.
bool ReadyRegular(const CReadFd& oFd, struct stat& st) {
    if (oFd.Get() < 0 || fstat(oFd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    int iFlags = fcntl(oFd.Get(), F_GETFL);
    return iFlags != -1 && fcntl(oFd.Get(), F_SETFL, iFlags & ~O_NONBLOCK) != -1;
}

}  // namespace

// The chunk lanes' reads at up to 17 places would cost a seek each on a
// spinning disk or a network file system, and there the front-to-back read
// wins; but a disk that calls itself rotational may not spin (a virtual
// disk), and a file in the page cache costs no seek at all, while the
// front-to-back MD4 is one slow stream (a cached 1 GiB file: about 1.6 times
// the time of the lanes with one thread). The threshold leans to the front
// to back: on a real spinning disk each 64 KiB lane row not in the cache
// may cost a seek (about 8 ms), so 1 % of a 1 GiB file missing (164 rows)
// already costs more than the lanes save on all of it (about 0.6 s).
EMd4Read ChooseMd4Read(int iCachedPercent, bool bSeeksAreCostly) {
    if (iCachedPercent >= ONEPASS_CACHED_PERCENT) return MD4_READ_LANES;
    return bSeeksAreCostly ? MD4_READ_SEQUENTIAL : MD4_READ_LANES;
}

EMd4Read ChooseMd4ReadForFile(int iFd, const std::string& strSysRoot) {
    int iCached = CFileHelper::CachedPercent(iFd);
    if (iCached >= ONEPASS_CACHED_PERCENT) return MD4_READ_LANES;
    return ChooseMd4Read(iCached, CFileHelper::SeeksAreCostly(iFd, strSysRoot));
}

int GetFileDigests(const std::string& strFileName, const stOnePassOpts& oOpts, stFileDigests& oOut) {
    CReadFd oFd(strFileName);
    struct stat st;
    if (!ReadyRegular(oFd, st)) return ONEPASS_OPEN_FAILED;
    posix_fadvise(oFd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    stOnePassOpts oUse = oOpts;
    if (oUse.uiBlockSize == 0) oUse.uiBlockSize = ONEPASS_BLOCK_SIZE;
    oUse.uiBlockSize = std::min(oUse.uiBlockSize, ONEPASS_MAX_BLOCK_SIZE);
    unsigned int uiThreads = std::max(1U, std::min(oOpts.uiThreads, ONEPASS_MAX_THREADS));
    oUse.uiBlocks = std::min(oUse.uiBlocks, kMaxRingBlocks);
    if (oUse.eSimd == SIMD_AUTO && ChooseMd4ReadForFile(oFd.Get()) == MD4_READ_SEQUENTIAL)
        oUse.eMd4Read = MD4_READ_SEQUENTIAL;

    // The version at the start, to tell a file rewritten in place at the
    // same size (or replaced) while it was read from one that held still.
    std::string strBefore, strAfter;
    if (!CFileHelper::GetVersion(strFileName.c_str(), strBefore)) return ONEPASS_OPEN_FAILED;
    COnePass oPass(oFd.Get(), static_cast<unsigned long long>(st.st_size), oUse, uiThreads);
    stFileDigests oDigests;
    int iResult = oPass.Run(oDigests);
    if (iResult != ONEPASS_OK) return iResult;
    if (!CFileHelper::GetVersion(strFileName.c_str(), strAfter) || strAfter != strBefore) return ONEPASS_SIZE_CHANGED;
    oOut = std::move(oDigests);
    return ONEPASS_OK;
}

namespace {

// ReadSmallFile's answer for a file too large to be read whole.
const int kNotSmall = 1;

// One small file read whole, with its version checked around the read as
// GetFileDigests checks it; on failure the result and no bytes.
int ReadSmallFile(const std::string& strFileName, std::vector<unsigned char>& oBytes) {
    CReadFd oFd(strFileName);
    struct stat st;
    if (!ReadyRegular(oFd, st)) return ONEPASS_OPEN_FAILED;
    const unsigned long long uiSize = static_cast<unsigned long long>(st.st_size);
    if (uiSize > ONEPASS_SMALL_FILE) return kNotSmall;
    std::string strBefore, strAfter;
    if (!CFileHelper::GetVersion(strFileName.c_str(), strBefore)) return ONEPASS_OPEN_FAILED;
    try {
        oBytes.resize(static_cast<size_t>(uiSize));
    } catch (const std::bad_alloc&) {
        return ONEPASS_NO_MEMORY;
    }
    if (!ReadFully(oFd.Get(), oBytes.data(), uiSize, 0)) return ONEPASS_READ_FAILED;
    const int iEnd = CheckEndsAt(oFd.Get(), uiSize);
    if (iEnd != ONEPASS_OK) return iEnd;
    if (!CFileHelper::GetVersion(strFileName.c_str(), strAfter) || strAfter != strBefore) return ONEPASS_SIZE_CHANGED;
    return ONEPASS_OK;
}

}  // namespace

void GetSmallFileDigests(const std::vector<std::string>& arNames, ESimdLevel eSimd, std::vector<int>& arResults,
                         std::vector<stFileDigests>& arOut) {
    const size_t n = arNames.size();
    arResults.assign(n, ONEPASS_OK);
    arOut.assign(n, stFileDigests());
    std::vector<std::vector<unsigned char>> arBytes(n);
    std::vector<size_t> arRead;  // the files read whole
    for (size_t i = 0; i < n; ++i) {
        int iResult = ReadSmallFile(arNames[i], arBytes[i]);
        if (iResult == kNotSmall) {
            stOnePassOpts oOpts;
            oOpts.eSimd = eSimd;
            iResult = GetFileDigests(arNames[i], oOpts, arOut[i]);
        } else if (iResult == ONEPASS_OK) {
            arRead.push_back(i);
        }
        arResults[i] = iResult;
    }

    // A file of one MD4 chunk or less has the MD4 of its bytes, and the
    // file's SHA-1 is one stream whatever the level.
    const size_t m = arRead.size();
    std::vector<MD4_CTX> arMd4(m);
    std::vector<MD4_CTX*> arMd4Ptr(m);
    std::vector<const unsigned char*> arData(m);
    std::vector<unsigned int> arLen(m);
    std::vector<const unsigned char*> arPieceData;
    std::vector<unsigned int> arPieceLen;
    std::vector<size_t> arPieceCount(m);
    static const unsigned char s_cNone = 0;  // where an empty file's bytes are, for the digests' sake
    for (size_t k = 0; k < m; ++k) {
        const size_t i = arRead[k];
        const std::vector<unsigned char>& oBytes = arBytes[i];
        MD4Init(&arMd4[k]);
        arMd4Ptr[k] = &arMd4[k];
        arData[k] = oBytes.empty() ? &s_cNone : oBytes.data();
        arLen[k] = static_cast<unsigned int>(oBytes.size());
        SHA_INFO oSha;
        sha_init(&oSha);
        sha_update(&oSha, const_cast<unsigned char*>(arData[k]), static_cast<int>(oBytes.size()));
        sha_final(arOut[i].Sha1, &oSha);
        arOut[i].Size = oBytes.size();
        const unsigned long long uiPiece = CHelper::GetDefaultPieceSize(oBytes.size());
        for (unsigned long long uiOff = 0; uiOff < oBytes.size(); uiOff += uiPiece) {
            arPieceData.push_back(oBytes.data() + uiOff);
            arPieceLen.push_back(static_cast<unsigned int>(std::min<unsigned long long>(uiPiece, oBytes.size() - uiOff)));
            ++arPieceCount[k];
        }
    }
    md4_lanes_update(arMd4Ptr.data(), arData.data(), arLen.data(), static_cast<unsigned int>(m), eSimd);
    std::vector<unsigned char> arPieces(arPieceData.size() * 16);
    md5_lanes_digest(arPieceData.data(), arPieceLen.data(), static_cast<unsigned int>(arPieceData.size()),
                     arPieces.data(), eSimd);
    size_t uiPieceAt = 0;
    for (size_t k = 0; k < m; ++k) {
        stFileDigests& oOut = arOut[arRead[k]];
        MD4Final(oOut.Md4, &arMd4[k]);
        oOut.Pieces.assign(arPieces.begin() + static_cast<std::ptrdiff_t>(uiPieceAt * 16),
                           arPieces.begin() + static_cast<std::ptrdiff_t>((uiPieceAt + arPieceCount[k]) * 16));
        uiPieceAt += arPieceCount[k];
    }
}
