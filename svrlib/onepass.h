// GetFileDigests: one read of a file that gives, bit for bit, what CHelper's
// three digest passes give (the chunked MD4, the whole-file SHA-1 and the MD5
// of every piece), without throttle pauses and without sync(). The file is
// read front to back in large blocks into a small ring of buffers; with more
// than one thread, the reading and the three digests are handed out block by
// block to whichever thread is free. Every thread is joined before the call
// returns, memory stays bounded (the ring plus 16 bytes per piece), nothing
// is logged: the result says what went wrong, and oOut is written only on
// success.
#ifndef ZQ_ONEPASS_H
#define ZQ_ONEPASS_H

#include <string>
#include <vector>

#include "helper.h"

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

struct stOnePassOpts {
    unsigned int uiThreads = 1;                     // 1 to ONEPASS_MAX_THREADS; others are brought into range
    unsigned int uiBlockSize = ONEPASS_BLOCK_SIZE;  // bytes per read, 1 to ONEPASS_MAX_BLOCK_SIZE; 0 the default
    unsigned int uiBlocks = 0;                      // buffers in the ring; 0 picks by the thread count
    CDigestProgress* pProgress = nullptr;           // told after every block read; may be null
    // Bytes per piece MD5; 0 takes CHelper::GetDefaultPieceSize of the size.
    // Checking a file against a table made when it had another size needs
    // the table's pieces, not the ones its present size would give.
    unsigned long long uiPieceSize = 0;
};

enum {
    ONEPASS_OK = 0,
    ONEPASS_OPEN_FAILED = -1,   // missing, unreadable, or not a regular file
    ONEPASS_NO_MEMORY = -2,     // the ring or the piece list could not be allocated
    ONEPASS_READ_FAILED = -3,   // a read failed, or the file ended before its size at opening
    ONEPASS_SIZE_CHANGED = -4,  // the file held more bytes than that size, or has another size at the end
};

int GetFileDigests(const std::string& strFileName, const stOnePassOpts& oOpts, stFileDigests& oOut);

#endif
