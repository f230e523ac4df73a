#include "rc_check.h"

#include <cstring>
#include <vector>

#include "helper.h"
#include "tptFile.h"

namespace {

const size_t kTptHeadLen = sizeof(stTptHeadInfo);
const size_t kTptTailLen = 20;
const size_t kDigestLen = 16;

// The table's header fields, read by value from the packed record.
struct tpt_shape_t {
    unsigned int SegCnt;
    unsigned int SegSize;
    unsigned int LastSegSize;
};

}  // namespace

uint32 rc_validate_report(const rc_report_t& oReport) {
    // An empty table is what a file too large for one is sent with; without
    // its digests nothing of the report can be checked.
    if (oReport.Tpt.empty()) return RC_ERR_TPT_UNREADABLE;
    // Resolve reads in place from a writable buffer; it gets its own copy.
    std::vector<unsigned char> oTable(oReport.Tpt);
    TPTFile oTpt;
    if (!oTpt.Resolve(oTable.data(), static_cast<unsigned int>(oTable.size()))) return RC_ERR_TPT_UNREADABLE;
    tpt_shape_t shape = {oTpt.mTptHead.SegCnt, oTpt.mTptHead.SegSize, oTpt.mTptHead.LastSegSize};
    short iVersion = oTpt.mTptHead.Version;
    if (memcmp(oTpt.mTptHead.Format, "TPT", 3) != 0 || iVersion != 4) return RC_ERR_TPT_UNREADABLE;
    // Resolve stops after the trailing hash; anything beyond it is not a table.
    uint64 iWhole = kTptHeadLen + static_cast<uint64>(shape.SegCnt) * kDigestLen + kTptTailLen;
    if (iWhole != oTable.size()) return RC_ERR_TPT_UNREADABLE;

    // Past this size the piece size no longer fits the table's 16-bit KiB
    // field, so no table can describe the file.
    if (oReport.Size > RC_TPT_MAX_FILE_SIZE) return RC_ERR_TPT_MISMATCH;
    uint64 iPiece = CHelper::GetDefaultPieceSize(oReport.Size);
    uint64 iCount = (oReport.Size + iPiece - 1) / iPiece;
    // The builder's own formula: modulo 2^32, one whole piece for an empty file.
    uint32 iLast = static_cast<uint32>(oReport.Size - (iCount - 1) * iPiece);
    if (shape.SegCnt != iCount || shape.SegSize != (iPiece >> 10) || shape.LastSegSize != iLast)
        return RC_ERR_TPT_MISMATCH;

    const unsigned char* pDigests = oTable.data() + kTptHeadLen;
    int iSegCnt = static_cast<int>(shape.SegCnt);
    Sha1Hash oFid;
    Sha1Hash oSid;
    CreateFid(oFid, oReport.Size, iSegCnt, iSegCnt > 0 ? pDigests : nullptr);
    CreateSid(oSid, oReport.Size, iSegCnt, iSegCnt > 0 ? pDigests : nullptr);
    if (oFid != oReport.FID) return RC_ERR_FID;
    if (oSid != oReport.SID) return RC_ERR_SID;
    if (oTpt.mFilehash != oReport.Hash) return RC_ERR_HASH;
    return RC_ERR_NONE;
}

uint32 rc_check_request(const unsigned char* p, size_t iLen, rc_report_t& oReport) {
    if (p == nullptr || iLen < RC_HEAD_LEN) return RC_ERR_MALFORMED;
    zq_head_t head;
    rc_read_head(p, head);
    if (head.iLength != iLen) return RC_ERR_MALFORMED;
    if (head.iCmd != RC_CMD_REPORT) return RC_ERR_UNKNOWN_CMD;
    uint32 iErr = rc_decode_report(p + RC_HEAD_LEN, iLen - RC_HEAD_LEN, oReport);
    if (iErr != RC_ERR_NONE) return iErr;
    return rc_validate_report(oReport);
}
