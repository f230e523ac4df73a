#include "tptFile.h"

#include <cstring>
#include <vector>

#include "helper.h"

namespace {

const unsigned int kDigestLen = 16;

void PutSizeLE(unsigned char* p, unsigned long long filesize) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(filesize >> (8 * i));
}

bool HasDigests(int tptSegCnt, const unsigned char* pTpt) {
    return pTpt != nullptr && tptSegCnt > 0 && tptSegCnt <= TPTFile::MAX_SEG_CNT;
}

}  // namespace

TPTFile::TPTFile() {}

TPTFile::~TPTFile() {}

bool TPTFile::Makeup(unsigned long long filesize, int segCnt, unsigned short segSize, const unsigned char* pTpt,
                     const Sha1Hash& filehash) {
    unsigned long long uiSegBytes = static_cast<unsigned long long>(segSize) * 1024;
    mTptHead.SegSize = segSize;
    mTptHead.SegCnt = static_cast<unsigned int>(segCnt);
    // Modulo 2^32, and with no pieces it comes out as one whole piece.
    mTptHead.LastSegSize = static_cast<unsigned int>(filesize - (static_cast<long long>(segCnt) - 1) * uiSegBytes);

    if (segCnt < 0 || segCnt > MAX_SEG_CNT) return false;
    if (segCnt > 0 && pTpt == nullptr) return false;
    if (segCnt > 1 && static_cast<long long>(static_cast<int>(mTptHead.LastSegSize)) > static_cast<long long>(uiSegBytes))
        return false;

    mFilehash = filehash;
    unsigned int uiDigests = static_cast<unsigned int>(segCnt) * kDigestLen;
    // Sized for everything below, so none of the writes has to grow it.
    if (!Resize(uiDigests + 256)) return false;
    if (!SetStruct(mTptHead) || !SetFixData(pTpt, uiDigests) || !SetStruct(mFilehash)) {
        mTptPieces.Reset();
        return false;
    }
    mTptPieces.ResetData(pBeg + sizeof(stTptHeadInfo), uiDigests);
    return true;
}

bool TPTFile::Resolve(unsigned char* pFileData, unsigned int len) {
    if (pFileData == nullptr || len == 0) return true;
    Reset(pFileData, len);
    if (!GetStruct(mTptHead)) return false;
    // The count comes from the data; in 64 bits it cannot wrap past the check.
    unsigned long long uiDigests = static_cast<unsigned long long>(mTptHead.SegCnt) * kDigestLen;
    if (uiDigests > GetFreeBufLen()) return false;
    const unsigned char* pDigests = nullptr;
    if (!GetFixData(pDigests, static_cast<unsigned int>(uiDigests))) return false;
    mTptPieces.ResetData(const_cast<unsigned char*>(pDigests), static_cast<unsigned int>(uiDigests));
    return GetStruct(mFilehash);
}

void TPTFile::SetTptData(void* buf, unsigned int len) {
    if (len >= MAX_TPT_DATA || (buf == nullptr && len > 0)) return;
    if (!Resize(len)) return;
    // The old view may point into the block Resize just released.
    mTptPieces.Reset();
    if (len > 0) memcpy(pCur, buf, len);
    pCur += len;
}

int tpt_read_shape(const unsigned char* pData, size_t uiLen, tpt_shape_t& oShape) {
    const size_t uiOverhead = sizeof(stTptHeadInfo) + 20;
    oShape = tpt_shape_t();
    if (pData == nullptr || uiLen < uiOverhead) return TPT_SHAPE_SHORT;
    stTptHeadInfo oHead;
    memcpy(&oHead, pData, sizeof(oHead));
    oShape.Pieces = oHead.SegCnt;
    oShape.SegSize = oHead.SegSize;
    oShape.LastSegSize = oHead.LastSegSize;
    oShape.Version = oHead.Version;
    if (memcmp(oHead.Format, "TPT", 3) != 0) return TPT_SHAPE_MARK;
    if (oHead.Version != 4) return TPT_SHAPE_VERSION;
    // In 64 bits the count from the data cannot wrap past the check.
    if (uiLen != uiOverhead + static_cast<unsigned long long>(kDigestLen) * oHead.SegCnt) return TPT_SHAPE_LENGTH;
    oShape.Digests = pData + sizeof(stTptHeadInfo);
    oShape.FileHash = oShape.Digests + static_cast<size_t>(kDigestLen) * oHead.SegCnt;
    if (oHead.SegCnt > static_cast<unsigned int>(TPTFile::MAX_SEG_CNT)) return TPT_SHAPE_TOO_MANY;
    unsigned long long uiPiece = static_cast<unsigned long long>(oHead.SegSize) * 1024;
    unsigned long long uiLast = oHead.LastSegSize;
    oShape.PieceSize = uiPiece;
    if (oHead.SegCnt == 0) {
        // The builder's empty table: one whole piece of an empty file's size.
        unsigned long long uiEmpty = CHelper::GetDefaultPieceSize(0);
        oShape.PieceSize = uiEmpty;
        return uiPiece == uiEmpty && uiLast == uiEmpty ? TPT_SHAPE_OK : TPT_SHAPE_GEOMETRY;
    }
    if (uiPiece == 0 || uiLast == 0 || uiLast > uiPiece) return TPT_SHAPE_GEOMETRY;
    oShape.Size = (oHead.SegCnt - 1) * uiPiece + uiLast;
    // Every table is cut at the piece size its file's size gives; any other
    // means the header is damaged, and the pieces could not be placed.
    if (CHelper::GetDefaultPieceSize(oShape.Size) != uiPiece) return TPT_SHAPE_PIECE_SIZE;
    return TPT_SHAPE_OK;
}

void CreateFid(Sha1Hash& Fid, unsigned long long filesize, int tptSegCnt, const unsigned char* pTpt) {
    if (!HasDigests(tptSegCnt, pTpt)) return;
    unsigned int uiDigests = static_cast<unsigned int>(tptSegCnt) * kDigestLen;
    std::vector<unsigned char> oInput(8 + uiDigests);
    PutSizeLE(oInput.data(), filesize);
    memcpy(oInput.data() + 8, pTpt, uiDigests);
    CHelper::DoSha1(oInput.data(), static_cast<unsigned int>(oInput.size()), Fid.cVal);
}

void CreateSid(Sha1Hash& Sid, unsigned long long filesize, int tptSegCnt, const unsigned char* pTpt) {
    if (!HasDigests(tptSegCnt, pTpt)) return;
    unsigned char arInput[3 * kDigestLen + 8];
    unsigned int uiLen = 0;
    memcpy(arInput, pTpt, kDigestLen);
    uiLen += kDigestLen;
    if (tptSegCnt > 1) {
        memcpy(arInput + uiLen, pTpt + static_cast<size_t>(tptSegCnt / 2) * kDigestLen, kDigestLen);
        uiLen += kDigestLen;
    }
    if (tptSegCnt > 2) {
        memcpy(arInput + uiLen, pTpt + static_cast<size_t>(tptSegCnt - 1) * kDigestLen, kDigestLen);
        uiLen += kDigestLen;
    }
    PutSizeLE(arInput + uiLen, filesize);
    uiLen += 8;
    CHelper::DoSha1(arInput, uiLen, Sid.cVal);
}
