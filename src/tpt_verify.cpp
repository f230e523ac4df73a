#include "tpt_verify.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "helper.h"
#include "tptFile.h"

namespace {

const size_t kDigestLen = 16;
const size_t kTableOverhead = sizeof(stTptHeadInfo) + 20;

std::string Format(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* pszFormat, ...) {
    char szLine[256];
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(szLine, sizeof(szLine), pszFormat, ap);
    va_end(ap);
    return szLine;
}

unsigned long long Ull(uint64 v) { return static_cast<unsigned long long>(v); }

}  // namespace

int tpt_parse(const unsigned char* pData, size_t uiLen, tpt_table_t& oTable, std::string& strWhy) {
    if (pData != nullptr && uiLen >= TPTFile::MAX_TPT_DATA) {
        strWhy = Format("%zu bytes are more than any piece table holds", uiLen);
        return -1;
    }
    tpt_shape_t oShape;
    switch (tpt_read_shape(pData, uiLen, oShape)) {
        case TPT_SHAPE_OK:
            break;
        case TPT_SHAPE_SHORT:
            strWhy = Format("%zu bytes are too few for a piece table (at least %zu)", uiLen, kTableOverhead);
            return -1;
        case TPT_SHAPE_MARK:
            strWhy = "no TPT mark at its start";
            return -1;
        case TPT_SHAPE_VERSION:
            strWhy = Format("version %d, only 4 is known", static_cast<int>(oShape.Version));
            return -1;
        case TPT_SHAPE_LENGTH:
            if (uiLen < kTableOverhead + kDigestLen * static_cast<uint64>(oShape.Pieces)) {
                strWhy = Format("%zu bytes are too few for the %u pieces the table counts", uiLen, oShape.Pieces);
            } else {
                strWhy = Format("%zu bytes where %u pieces take %llu", uiLen, oShape.Pieces,
                                Ull(kTableOverhead + kDigestLen * static_cast<uint64>(oShape.Pieces)));
            }
            return -1;
        case TPT_SHAPE_TOO_MANY:
            strWhy = Format("%u pieces, more than %d", oShape.Pieces, static_cast<int>(TPTFile::MAX_SEG_CNT));
            return -1;
        case TPT_SHAPE_PIECE_SIZE:
            strWhy = Format("pieces of %llu bytes, where a %llu-byte file has pieces of %u", Ull(oShape.PieceSize),
                            Ull(oShape.Size), CHelper::GetDefaultPieceSize(oShape.Size));
            return -1;
        default:
            strWhy = Format("a last piece of %u bytes with pieces of %llu", oShape.LastSegSize,
                            Ull(static_cast<uint64>(oShape.SegSize) * 1024));
            return -1;
    }
    oTable.Pieces = oShape.Pieces;
    oTable.PieceSize = oShape.PieceSize;
    oTable.Size = oShape.Size;
    oTable.Digests.assign(oShape.Digests, oShape.Digests + kDigestLen * oShape.Pieces);
    oTable.FileHash = Sha1Hash(oShape.FileHash, 20);
    return 0;
}

tpt_verdict_t tpt_verify(const tpt_table_t& oTable, const std::vector<unsigned char>& oPieces, uint64 uiFileSize,
                         const Sha1Hash& oFileSha1) {
    tpt_verdict_t oVerdict;
    oVerdict.Pieces = oTable.Pieces;
    oVerdict.PieceSize = oTable.PieceSize;
    oVerdict.TableSize = oTable.Size;
    oVerdict.FileSize = uiFileSize;
    oVerdict.FileSha1 = oFileSha1;
    uint32 uiHeld = static_cast<uint32>(std::min<size_t>(oPieces.size() / kDigestLen, oTable.Pieces));
    for (uint32 k = 0; k < uiHeld; ++k) {
        const unsigned char* pExpected = &oTable.Digests[k * kDigestLen];
        const unsigned char* pActual = &oPieces[k * kDigestLen];
        if (memcmp(pExpected, pActual, kDigestLen) == 0) continue;
        tpt_damage_t oDamage;
        oDamage.Piece = k;
        oDamage.First = k * oTable.PieceSize;
        oDamage.Last = std::min((k + 1) * oTable.PieceSize, oTable.Size) - 1;
        oDamage.Expected = Md5Hash(pExpected, kDigestLen);
        oDamage.Actual = Md5Hash(pActual, kDigestLen);
        oVerdict.Damaged.push_back(oDamage);
    }
    oVerdict.MissingFirst = uiHeld;
    oVerdict.MissingCount = oTable.Pieces - uiHeld;
    oVerdict.Sha1Differs = oVerdict.Damaged.empty() && oVerdict.MissingCount == 0 && !oVerdict.SizeDiffers() &&
                           !(oFileSha1 == oTable.FileHash);
    return oVerdict;
}

std::vector<std::string> tpt_verdict_lines(const tpt_verdict_t& oVerdict, const std::string& strFile) {
    std::vector<std::string> oLines;
    for (const tpt_damage_t& oDamage : oVerdict.Damaged) {
        oLines.push_back(Format("piece %u: bytes %llu-%llu: expected %s, actual %s", oDamage.Piece,
                                Ull(oDamage.First), Ull(oDamage.Last), oDamage.Expected.Hex().c_str(),
                                oDamage.Actual.Hex().c_str()));
    }
    if (oVerdict.MissingCount > 0) {
        uint32 uiEnd = oVerdict.MissingFirst + oVerdict.MissingCount - 1;
        std::string strPieces = oVerdict.MissingCount == 1 ? Format("piece %u", uiEnd)
                                                           : Format("pieces %u-%u", oVerdict.MissingFirst, uiEnd);
        oLines.push_back(strPieces + Format(": bytes %llu-%llu: missing, past the end of the file",
                                            Ull(oVerdict.MissingFirst * oVerdict.PieceSize),
                                            Ull(oVerdict.TableSize - 1)));
    }
    if (oVerdict.SizeDiffers()) {
        oLines.push_back(Format("size: %llu bytes, the table says %llu", Ull(oVerdict.FileSize),
                                Ull(oVerdict.TableSize)));
    }
    if (oVerdict.Sha1Differs) {
        oLines.push_back("sha1: every piece matches, but the whole file's SHA-1 is " + oVerdict.FileSha1.Hex());
    }
    uint32 uiBad = static_cast<uint32>(oVerdict.Damaged.size()) + oVerdict.MissingCount;
    if (oVerdict.IsIntact()) {
        oLines.push_back(strFile + Format(": intact: %u pieces, %llu bytes", oVerdict.Pieces, Ull(oVerdict.FileSize)));
        return oLines;
    }
    std::string strSummary = strFile + Format(": damaged: %u of %u pieces bad, %llu bytes", uiBad, oVerdict.Pieces,
                                              Ull(oVerdict.FileSize));
    if (oVerdict.SizeDiffers()) strSummary += Format(" where the table has %llu", Ull(oVerdict.TableSize));
    oLines.push_back(strSummary);
    return oLines;
}
