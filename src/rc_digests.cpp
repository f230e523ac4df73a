#include "rc_digests.h"

#include <utility>

#include "filehelper.h"
#include "helper.h"
#include "onepass.h"
#include "progress_line.h"

namespace {

int three_passes(const std::string& strFileName, rc_digests_t& oDigests, bool bSleep, CProgressLine* pProgress) {
    // The size before the first pass and after the last: a file that grew
    // during the MD4 pass would otherwise pair the MD4 of its old bytes with
    // the SHA-1 and pieces of its new ones.
    unsigned long long uiSizeBefore = CFileHelper::GetContentSize(strFileName.c_str());
    // Same size is not the same file: a rewrite in place changes its times,
    // a replacement its inode, and the passes would mix both versions.
    std::string strBefore, strAfter;
    if (!CFileHelper::GetVersion(strFileName.c_str(), strBefore)) return RC_DIGESTS_MD4_FAILED;

    unsigned char arMd4[16];
    if (pProgress != nullptr) pProgress->StartPass(1, 3, "md4");
    if (!CHelper::GetFileMd4(strFileName, arMd4, bSleep, pProgress)) return RC_DIGESTS_MD4_FAILED;
    unsigned char arSha1[20];
    if (pProgress != nullptr) pProgress->StartPass(2, 3, "sha1");
    if (!CHelper::GetFileSha1(strFileName, arSha1, bSleep, pProgress)) return RC_DIGESTS_SHA1_FAILED;
    std::vector<std::vector<unsigned char> > oPieceHash;
    if (pProgress != nullptr) pProgress->StartPass(3, 3, "md5 pieces");
    if (!CHelper::GetFilePieceHashs(strFileName, oPieceHash, bSleep, pProgress)) return RC_DIGESTS_PIECES_FAILED;

    // The size of the content that was read, symbolic links followed, so the
    // size, the digests and the piece table describe the same bytes.
    unsigned long long iFileSize = CFileHelper::GetContentSize(strFileName.c_str());
    unsigned int uiPiece = CHelper::GetDefaultPieceSize(iFileSize);
    if (iFileSize == ~0ULL || uiPiece == 0 || iFileSize != uiSizeBefore) return RC_DIGESTS_PIECES_FAILED;
    if (!CFileHelper::GetVersion(strFileName.c_str(), strAfter) || strAfter != strBefore)
        return RC_DIGESTS_PIECES_FAILED;
    // A file that grew or shrank between the passes gives a piece count that
    // does not match its size; its digests describe no single version of it.
    if (oPieceHash.size() != (iFileSize + uiPiece - 1) / uiPiece) return RC_DIGESTS_PIECES_FAILED;

    oDigests.MD4 = Md5Hash(arMd4, sizeof(arMd4));
    oDigests.Hash = Sha1Hash(arSha1, sizeof(arSha1));
    oDigests.Size = iFileSize;
    oDigests.Pieces.clear();
    oDigests.Pieces.reserve(oPieceHash.size() * 16);
    for (const std::vector<unsigned char>& oDigest : oPieceHash)
        oDigests.Pieces.insert(oDigests.Pieces.end(), oDigest.begin(), oDigest.end());
    return RC_DIGESTS_OK;
}

int one_pass(const std::string& strFileName, rc_digests_t& oDigests, unsigned int uiThreads, ESimdLevel eSimd,
             uint64 uiPieceSize, CProgressLine* pProgress) {
    stOnePassOpts oOpts;
    oOpts.uiThreads = uiThreads;
    oOpts.eSimd = eSimd;
    oOpts.uiPieceSize = uiPieceSize;
    oOpts.pProgress = pProgress;
    if (pProgress != nullptr) pProgress->StartPass(1, 1, "md4+sha1+md5");
    stFileDigests oFile;
    switch (GetFileDigests(strFileName, oOpts, oFile)) {
        case ONEPASS_OK:
            break;
        case ONEPASS_SIZE_CHANGED:
            return RC_DIGESTS_PIECES_FAILED;
        default:
            return RC_DIGESTS_MD4_FAILED;
    }
    oDigests.MD4 = Md5Hash(oFile.Md4, sizeof(oFile.Md4));
    oDigests.Hash = Sha1Hash(oFile.Sha1, sizeof(oFile.Sha1));
    oDigests.Size = oFile.Size;
    oDigests.Pieces = std::move(oFile.Pieces);
    return RC_DIGESTS_OK;
}

}  // namespace

int compute_rc_digests(const std::string& strFileName, rc_digests_t& oDigests, const rc_digest_opts_t& oOpts) {
    // Only a regular file has a size that matches its content; opening a
    // FIFO or a device could also block the tool for good.
    if (!CFileHelper::IsRegularFile(strFileName.c_str())) return RC_DIGESTS_MD4_FAILED;
    int iResult = oOpts.Mode == RC_DIGEST_ONE_PASS
                      ? one_pass(strFileName, oDigests, oOpts.Threads, oOpts.Simd, oOpts.PieceSize, oOpts.Progress)
                      : three_passes(strFileName, oDigests, oOpts.Mode == RC_DIGEST_THROTTLED, oOpts.Progress);
    if (oOpts.Progress != nullptr) oOpts.Progress->Finish();
    return iResult;
}
