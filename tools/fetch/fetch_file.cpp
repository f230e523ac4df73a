#include "fetch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "md5_lanes.h"

namespace {

const size_t kHashBlock = 1U << 20;
// Pieces digested side by side in the lanes, read in one pread: at most 16
// of them and 16 MiB. A piece larger than that (files past 128 GiB) is
// digested alone, a block at a time.
const uint32 kWindow = 16;
const uint64 kWindowBytes = 16ULL << 20;

std::string errno_text(const char* pszWhat, const std::string& strPath) {
    return std::string(pszWhat) + " " + strPath + ": " + strerror(errno);
}

// Reads uiLen bytes at uiOffset; a file that ends early gives the bytes it has.
ssize_t read_at(int iFd, unsigned char* p, size_t uiLen, uint64 uiOffset) {
    size_t uiGot = 0;
    while (uiGot < uiLen) {
        ssize_t n = pread(iFd, p + uiGot, uiLen - uiGot, static_cast<off_t>(uiOffset + uiGot));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        uiGot += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(uiGot);
}

}  // namespace

CFetchFile::CFetchFile(const tpt_table_t& oTable) : m_oTable(oTable) { sha_init(&m_oSha); }

CFetchFile::~CFetchFile() {
    if (m_iFd >= 0) close(m_iFd);
}

uint64 CFetchFile::PieceBytes(uint32 uiPiece) const {
    uint64 uiStart = static_cast<uint64>(uiPiece) * m_oTable.PieceSize;
    if (uiStart >= m_oTable.Size) return 0;
    return std::min<uint64>(m_oTable.PieceSize, m_oTable.Size - uiStart);
}

int CFetchFile::Open(const std::string& strPath, bool bCreate, bool* pbResized, std::string& strWhy) {
    m_strPath = strPath;
    // A download's own file is never reached through a link: anyone who can
    // write the directory could aim one at the user's files.
    m_iFd = open(strPath.c_str(), O_RDWR | O_CLOEXEC | (bCreate ? O_CREAT | O_NOFOLLOW : 0), 0644);
    if (m_iFd < 0) {
        strWhy = errno == ELOOP ? "a symbolic link, not followed: " + strPath + " (remove it)"
                                : errno_text("cannot open", strPath);
        return -1;
    }
    struct stat st;
    if (fstat(m_iFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        strWhy = "not a regular file: " + strPath;
        return -1;
    }
    bool bResized = static_cast<uint64>(st.st_size) != m_oTable.Size;
    if (pbResized != nullptr) *pbResized = bResized;
    if (static_cast<uint64>(st.st_size) > m_oTable.Size && ftruncate(m_iFd, static_cast<off_t>(m_oTable.Size)) != 0) {
        strWhy = errno_text("cannot cut", strPath);
        return -1;
    }
    // A file of the right size is left as it is: even reserving space it
    // already has would change its modification time.
    if (m_oTable.Size == 0 || !bResized) return 0;
    // Reserving the space up front turns a disk too small into one clear
    // error before anything is fetched; file systems that cannot reserve
    // get the size alone and report a full disk at the write that hits it.
    int iErr = posix_fallocate(m_iFd, 0, static_cast<off_t>(m_oTable.Size));
    if (iErr == ENOSPC) {
        errno = iErr;
        strWhy = "no room for " + std::to_string(m_oTable.Size) + " bytes: " + errno_text("cannot extend", strPath);
        return -1;
    }
    if (iErr != 0 && ftruncate(m_iFd, static_cast<off_t>(m_oTable.Size)) != 0) {
        strWhy = errno_text("cannot extend", strPath);
        return -1;
    }
    return 0;
}

int CFetchFile::Check(std::vector<bool>& oGood, std::string& strWhy) {
    const uint32 uiPieces = m_oTable.Pieces;
    oGood.assign(uiPieces, false);
    // The SHA-1 runs ahead on its own thread and keeps its state at every
    // piece boundary, so that it can resume at the first bad piece instead
    // of starting over once the pieces are mended.
    std::vector<SHA_INFO> oStates(uiPieces + 1);
    std::atomic<uint32> uiFirstBad{uiPieces};
    std::atomic<bool> bShaFailed{false};
    std::atomic<uint32> uiShaReached{0};
    std::thread oSha([&]() {
        SHA_INFO oCtx;
        sha_init(&oCtx);
        std::vector<unsigned char> oBuf(kHashBlock);
        for (uint32 k = 0; k < uiPieces; ++k) {
            oStates[k] = oCtx;
            uiShaReached.store(k);
            if (k >= uiFirstBad.load()) return;
            uint64 uiOff = static_cast<uint64>(k) * m_oTable.PieceSize;
            uint64 uiLeft = PieceBytes(k);
            while (uiLeft > 0) {
                size_t uiWant = static_cast<size_t>(std::min<uint64>(uiLeft, oBuf.size()));
                ssize_t n = read_at(m_iFd, oBuf.data(), uiWant, uiOff);
                if (n != static_cast<ssize_t>(uiWant)) {
                    bShaFailed.store(true);
                    return;
                }
                sha_update(&oCtx, oBuf.data(), static_cast<int>(n));
                uiOff += uiWant;
                uiLeft -= uiWant;
            }
        }
        oStates[uiPieces] = oCtx;
        uiShaReached.store(uiPieces);
    });

    const uint64 uiPieceSize = m_oTable.PieceSize;
    const uint32 uiWindow = static_cast<uint32>(std::max<uint64>(1, std::min<uint64>(kWindow, kWindowBytes / uiPieceSize)));
    std::vector<unsigned char> oWindow(static_cast<size_t>(std::min(uiWindow * uiPieceSize, kWindowBytes)));
    bool bReadFailed = false;
    for (uint32 k0 = 0; k0 < uiPieces && !bReadFailed; k0 += uiWindow) {
        uint32 uiCount = std::min(uiWindow, uiPieces - k0);
        uint64 uiOff = static_cast<uint64>(k0) * uiPieceSize;
        if (PieceBytes(k0) > oWindow.size()) {
            unsigned char arMd5[16];
            if (StreamedMd5(k0, oWindow, arMd5) != 0) {
                bReadFailed = true;
                break;
            }
            oGood[k0] = memcmp(arMd5, &m_oTable.Digests[k0 * 16ULL], 16) == 0;
            if (!oGood[k0] && uiFirstBad.load() > k0) uiFirstBad.store(k0);
            continue;
        }
        uint64 uiWant = 0;
        for (uint32 i = 0; i < uiCount; ++i) uiWant += PieceBytes(k0 + i);
        ssize_t n = read_at(m_iFd, oWindow.data(), static_cast<size_t>(uiWant), uiOff);
        if (n != static_cast<ssize_t>(uiWant)) {
            bReadFailed = true;
            break;
        }
        const unsigned char* arData[kWindow];
        unsigned int arLen[kWindow];
        for (uint32 i = 0; i < uiCount; ++i) {
            arData[i] = oWindow.data() + static_cast<size_t>(i) * uiPieceSize;
            arLen[i] = static_cast<unsigned int>(PieceBytes(k0 + i));
        }
        unsigned char arOut[16 * kWindow];
        md5_lanes_digest(arData, arLen, uiCount, arOut, SIMD_AUTO);
        for (uint32 i = 0; i < uiCount; ++i) {
            oGood[k0 + i] = memcmp(arOut + 16 * i, &m_oTable.Digests[(k0 + i) * 16ULL], 16) == 0;
            if (!oGood[k0 + i] && uiFirstBad.load() > k0 + i) uiFirstBad.store(k0 + i);
        }
    }
    oSha.join();
    if (bReadFailed || bShaFailed.load()) {
        strWhy = errno_text("cannot read", m_strPath);
        return -1;
    }
    uint32 uiResume = std::min(uiFirstBad.load(), uiShaReached.load());
    m_oSha = oStates[uiResume];
    m_uiHashed = static_cast<uint64>(uiResume) * m_oTable.PieceSize;
    if (uiResume == uiPieces) m_uiHashed = m_oTable.Size;
    return 0;
}

int CFetchFile::StreamedMd5(uint32 uiPiece, std::vector<unsigned char>& oBuf, unsigned char* pMd5) {
    md5_t oCtx;
    md5_init(&oCtx);
    uint64 uiOff = static_cast<uint64>(uiPiece) * m_oTable.PieceSize;
    uint64 uiLeft = PieceBytes(uiPiece);
    while (uiLeft > 0) {
        size_t uiWant = static_cast<size_t>(std::min<uint64>(uiLeft, oBuf.size()));
        if (read_at(m_iFd, oBuf.data(), uiWant, uiOff) != static_cast<ssize_t>(uiWant)) return -1;
        md5_process(&oCtx, oBuf.data(), static_cast<unsigned int>(uiWant));
        uiOff += uiWant;
        uiLeft -= uiWant;
    }
    md5_finish(&oCtx, pMd5);
    return 0;
}

int CFetchFile::WritePiece(uint32 uiPiece, const unsigned char* pData, size_t uiLen, std::string& strWhy) {
    uint64 uiOff = static_cast<uint64>(uiPiece) * m_oTable.PieceSize;
    size_t uiPut = 0;
    while (uiPut < uiLen) {
        ssize_t n = pwrite(m_iFd, pData + uiPut, uiLen - uiPut, static_cast<off_t>(uiOff + uiPut));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            strWhy = errno == ENOSPC ? errno_text("disk full writing", m_strPath) : errno_text("cannot write", m_strPath);
            return -1;
        }
        uiPut += static_cast<size_t>(n);
    }
    return 0;
}

int CFetchFile::HashUpTo(uint32 uiDonePrefix, uint64 uiBudget, std::string& strWhy) {
    uint64 uiEnd = std::min<uint64>(static_cast<uint64>(uiDonePrefix) * m_oTable.PieceSize, m_oTable.Size);
    if (uiBudget > 0) uiEnd = std::min(uiEnd, m_uiHashed + uiBudget);
    if (m_uiHashed >= uiEnd) return 0;
    m_oBuf.resize(kHashBlock);
    while (m_uiHashed < uiEnd) {
        size_t uiWant = static_cast<size_t>(std::min<uint64>(uiEnd - m_uiHashed, m_oBuf.size()));
        ssize_t n = read_at(m_iFd, m_oBuf.data(), uiWant, m_uiHashed);
        if (n != static_cast<ssize_t>(uiWant)) {
            strWhy = errno_text("cannot read back", m_strPath);
            return -1;
        }
        sha_update(&m_oSha, m_oBuf.data(), static_cast<int>(n));
        m_uiHashed += uiWant;
    }
    return 0;
}

bool CFetchFile::FileSha1(Sha1Hash& oSha1) {
    if (m_uiHashed != m_oTable.Size) return false;
    SHA_INFO oCopy = m_oSha;
    sha_final(oSha1.cVal, &oCopy);
    return true;
}

int CFetchFile::Finish(const std::string& strFinal, std::string& strWhy) {
    if (fsync(m_iFd) != 0) {
        strWhy = errno_text("cannot sync", m_strPath);
        return -1;
    }
    if (strFinal.empty()) return 0;
    if (rename(m_strPath.c_str(), strFinal.c_str()) != 0) {
        strWhy = errno_text("cannot rename", m_strPath) + " to " + strFinal;
        return -1;
    }
    // The rename itself lasts only once the directory is on disk too.
    std::string::size_type pos = strFinal.rfind('/');
    std::string strDir = pos == std::string::npos ? "." : (pos == 0 ? "/" : strFinal.substr(0, pos));
    int iDir = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iDir >= 0) {
        fsync(iDir);
        close(iDir);
    }
    return 0;
}
