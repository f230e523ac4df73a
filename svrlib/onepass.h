// GetFileDigests: one read of a file that gives, bit for bit, what CHelper's
// three digest passes give (the chunked MD4, the whole-file SHA-1 and the MD5
// of every piece), without throttle pauses and without sync(). The file is
// read front to back in large blocks into a ring of buffers; the piece MD5s
// are taken a window of pieces at a time in the lanes of the vector kernels
// (md5_lanes), and the chunk MD4s either from the same read, one chunk after
// the other, or up to 16 chunks side by side, each read at its own position
// (md4_lanes). With more than one thread, the reading and the digests are
// handed out to whichever thread is free, SHA-1 first, so that with two
// threads one of them stays on the SHA-1 whenever it has bytes. Every thread is
// joined before the call returns, memory stays bounded (at most about 20 MiB
// with the default block size, plus 16 bytes per piece), nothing is logged:
// the result says what went wrong, and oOut is written only on success.
#ifndef ZQ_ONEPASS_H
#define ZQ_ONEPASS_H

#include <string>
#include <vector>

#include "helper.h"
#include "simd_level.h"

// One thread each for the reading and the three digests; more cannot help.
const unsigned int ONEPASS_MAX_THREADS = 4;
const unsigned int ONEPASS_BLOCK_SIZE = 1U << 20;
const unsigned int ONEPASS_MAX_BLOCK_SIZE = 64U << 20;

struct stFileDigests {
    unsigned char Md4[16];
    unsigned char Sha1[20];
    std::vector<unsigned char> Pieces;  // the 16-byte MD5 of every piece, in file order
    unsigned long long Size = 0;        // the size the file had when opened, and still has
};

// How the chunk MD4s get their bytes.
enum EMd4Read {
    // Up to 16 chunks side by side in the vector lanes, each read in 64 KiB
    // rows at its own position, next to the front-to-back read of the others:
    // the same bytes are read twice (one of the two from the page cache), at
    // up to 17 positions in turn. Fine in the page cache and on SSDs.
    MD4_READ_LANES = 0,
    // One chunk after the other from the front-to-back read: one position,
    // each byte read once; for spinning disks and files far from the cache.
    MD4_READ_SEQUENTIAL = 1,
};

struct stOnePassOpts {
    unsigned int uiThreads = 1;                     // 1 to ONEPASS_MAX_THREADS; others are brought into range
    unsigned int uiBlockSize = ONEPASS_BLOCK_SIZE;  // bytes per read, 1 to ONEPASS_MAX_BLOCK_SIZE; 0 the default
    unsigned int uiBlocks = 0;                      // buffers in the ring; 0 picks, and too few are raised
    CDigestProgress* pProgress = nullptr;           // told after every block read; may be null
    ESimdLevel eSimd = SIMD_AUTO;                   // the kernels; a level the processor lacks runs the next one down
    // Ignored (sequential) at the portable level and for one chunk, and at
    // SIMD_AUTO when ChooseMd4Read says sequential for the file.
    EMd4Read eMd4Read = MD4_READ_LANES;
    // Bytes per piece MD5; 0 takes CHelper::GetDefaultPieceSize of the size.
    // Checking a file against a table made when it had another size needs
    // the table's pieces, not the ones its present size would give.
    unsigned long long uiPieceSize = 0;
};

// The order SIMD_AUTO reads a file in. A file the page cache holds (at least
// ONEPASS_CACHED_PERCENT of its sampled pages) takes the lanes wherever it
// lives; otherwise a device on which seeks are costly takes the front-to-back
// read. iCachedPercent -1 (unknown) counts as not cached.
const int ONEPASS_CACHED_PERCENT = 99;
EMd4Read ChooseMd4Read(int iCachedPercent, bool bSeeksAreCostly);
// The same for an open file: CFileHelper::CachedPercent first, and only for a
// file not in the cache CFileHelper::SeeksAreCostly under strSysRoot.
EMd4Read ChooseMd4ReadForFile(int iFd, const std::string& strSysRoot = "/sys");

enum {
    ONEPASS_OK = 0,
    ONEPASS_OPEN_FAILED = -1,   // missing, unreadable, or not a regular file
    ONEPASS_NO_MEMORY = -2,     // the ring or the piece list could not be allocated
    ONEPASS_READ_FAILED = -3,   // a read failed, or the file ended before its size at opening
    // The file held more bytes than that size, has another size at the end,
    // or was rewritten in place or replaced while it was read.
    ONEPASS_SIZE_CHANGED = -4,
};

int GetFileDigests(const std::string& strFileName, const stOnePassOpts& oOpts, stFileDigests& oOut);

// Small files many at a time. A 16 KiB file alone keeps one lane of the
// vector kernels busy, and its single-stream MD5 and MD4 cost three times its
// SHA-1; side by side, the MD4s of the files and the MD5s of all their pieces
// fill the lanes. Each file is read whole into memory, so a file larger than
// ONEPASS_SMALL_FILE (or grown past it since its size was taken) goes through
// GetFileDigests on one thread instead. arResults[i] and arOut[i] are what
// GetFileDigests would give for arNames[i] on its own at the level eSimd.
const unsigned long long ONEPASS_SMALL_FILE = 1ULL << 20;
const size_t ONEPASS_SMALL_BATCH = 32;
void GetSmallFileDigests(const std::vector<std::string>& arNames, ESimdLevel eSimd, std::vector<int>& arResults,
                         std::vector<stFileDigests>& arOut);

#endif
