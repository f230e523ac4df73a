#include "rc_check.h"

#include "tptFile.h"

uint32 rc_validate_report(const rc_report_t& oReport) {
    // An empty table is what a file too large for one is sent with; without
    // its digests nothing of the report can be checked.
    if (oReport.Tpt.empty()) return RC_ERR_TPT_UNREADABLE;
    tpt_shape_t oShape;
    int iShape = tpt_read_shape(oReport.Tpt.data(), oReport.Tpt.size(), oShape);
    // Bytes that are no table at all are unreadable; a table of a geometry
    // no file has can describe no report's size.
    if (iShape >= TPT_SHAPE_SHORT && iShape <= TPT_SHAPE_LENGTH) return RC_ERR_TPT_UNREADABLE;

    // Past this size the piece size no longer fits the table's 16-bit KiB
    // field, so no table can describe the file.
    if (oReport.Size > RC_TPT_MAX_FILE_SIZE) return RC_ERR_TPT_MISMATCH;
    if (iShape != TPT_SHAPE_OK || oShape.Size != oReport.Size) return RC_ERR_TPT_MISMATCH;

    int iSegCnt = static_cast<int>(oShape.Pieces);
    Sha1Hash oFid;
    Sha1Hash oSid;
    CreateFid(oFid, oReport.Size, iSegCnt, iSegCnt > 0 ? oShape.Digests : nullptr);
    CreateSid(oSid, oReport.Size, iSegCnt, iSegCnt > 0 ? oShape.Digests : nullptr);
    if (oFid != oReport.FID) return RC_ERR_FID;
    if (oSid != oReport.SID) return RC_ERR_SID;
    if (Sha1Hash(oShape.FileHash, 20) != oReport.Hash) return RC_ERR_HASH;
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
