// compute_rc_digests: reading one file for everything its record needs (the
// chunked MD4, the whole-file SHA-1 and the MD5 of every piece), in one of
// three named modes that all give the same digests. Neither prints nor logs;
// a progress line, when one is passed, shows how far the reading has got.
#ifndef ZQ_RC_DIGESTS_H
#define ZQ_RC_DIGESTS_H

#include <string>
#include <vector>

#include "common_header.h"
#include "hashval.h"
#include "simd_level.h"

class CProgressLine;

// What reading one file produces.
struct rc_digests_t {
    Md5Hash MD4;
    Sha1Hash Hash;
    std::vector<unsigned char> Pieces;  // 16-byte piece MD5s, concatenated in file order
    uint64 Size = 0;

    int PieceCount() const { return static_cast<int>(Pieces.size() / 16); }
};

// Results of compute_rc_digests: the pass that failed.
enum {
    RC_DIGESTS_OK = 0,
    RC_DIGESTS_MD4_FAILED = -1,  // also: missing, unreadable or not a regular file
    RC_DIGESTS_SHA1_FAILED = -2,
    RC_DIGESTS_PIECES_FAILED = -3,  // also: the file changed (size, times or inode) while it was read
};

// How the file is read.
enum rc_digest_mode {
    // Three passes (MD4, SHA-1, pieces), each pausing 1 ms every fifth read
    // and ending with a system-wide sync(): gentle on a busy server.
    RC_DIGEST_THROTTLED,
    // The same three passes without pauses or sync().
    RC_DIGEST_UNTHROTTLED,
    // One pass in large reads on Threads threads, no pauses, no sync().
    RC_DIGEST_ONE_PASS,
};

struct rc_digest_opts_t {
    rc_digest_mode Mode = RC_DIGEST_THROTTLED;
    unsigned int Threads = 1;  // RC_DIGEST_ONE_PASS only: 1 to 4, others brought into range
    // RC_DIGEST_ONE_PASS only: the vector kernels of the piece MD5s and chunk
    // MD4s; a level the processor lacks runs the widest one it has.
    ESimdLevel Simd = SIMD_AUTO;
    // Shows how far the reading has got; may be null. Cleared at the end.
    CProgressLine* Progress = nullptr;
    // RC_DIGEST_ONE_PASS only: bytes per piece instead of the size's own
    // (CHelper::GetDefaultPieceSize); 0 keeps the size's own.
    uint64 PieceSize = 0;
};

inline rc_digest_opts_t rc_digest_opts(rc_digest_mode eMode, unsigned int uiThreads = 1) {
    rc_digest_opts_t oOpts;
    oOpts.Mode = eMode;
    oOpts.Threads = uiThreads;
    return oOpts;
}

// Reads strFileName in oOpts.Mode. The three passes stop at the first
// failure. The one pass reports a read error, or a file that shrank under
// it, as the MD4 pass would (the first to read), and a file that grew,
// changed size or was rewritten in place as RC_DIGESTS_PIECES_FAILED, like
// the three passes finding another size or version at their end. oDigests is written only on success.
int compute_rc_digests(const std::string& strFileName, rc_digests_t& oDigests, const rc_digest_opts_t& oOpts);

#endif
