#include "rc_wire.h"

#include <cstring>

#include "datareport_svr.h"
#include "helper.h"
#include "tptFile.h"

namespace {

uint32 GetU32(const unsigned char* p) {
    return (static_cast<uint32>(p[0]) << 24) | (static_cast<uint32>(p[1]) << 16) | (static_cast<uint32>(p[2]) << 8) |
           static_cast<uint32>(p[3]);
}

void PutU32(unsigned char* p, uint32 v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// A read cursor over a fixed span: every Take either yields the next n bytes
// or fails and leaves the cursor alone, so nothing is ever read past the end.
class CBodyReader {
public:
    CBodyReader(const unsigned char* p, size_t iLen) : m_p(p), m_iLeft(iLen) {}

    const unsigned char* Take(size_t n) {
        if (n > m_iLeft) return nullptr;
        const unsigned char* p = m_p;
        m_p += n;
        m_iLeft -= n;
        return p;
    }
    bool U16(uint32& v) {
        const unsigned char* p = Take(2);
        if (p == nullptr) return false;
        v = (static_cast<uint32>(p[0]) << 8) | p[1];
        return true;
    }
    bool U32(uint32& v) {
        const unsigned char* p = Take(4);
        if (p == nullptr) return false;
        v = GetU32(p);
        return true;
    }
    bool U64(uint64& v) {
        uint32 hi = 0;
        uint32 lo = 0;
        if (m_iLeft < 8) return false;
        U32(hi);
        U32(lo);
        v = (static_cast<uint64>(hi) << 32) | lo;
        return true;
    }
    bool Text(std::string& s) {
        uint32 n = 0;
        if (!U16(n)) return false;
        const unsigned char* p = Take(n);
        if (p == nullptr) return false;
        s.assign(reinterpret_cast<const char*>(p), n);
        return true;
    }
    template <int N>
    bool Hash(HashVal<N>& h) {
        const unsigned char* p = Take(sizeof(h.cVal));
        if (p == nullptr) return false;
        h = HashVal<N>(p, static_cast<int>(sizeof(h.cVal)));
        return true;
    }
    size_t Left() const { return m_iLeft; }

private:
    const unsigned char* m_p;
    size_t m_iLeft;
};

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

const char* rc_errno_text(uint32 iErrno) {
    switch (iErrno) {
        case RC_ERR_NONE:
            return "none";
        case RC_ERR_MALFORMED:
            return "malformed body";
        case RC_ERR_TPT_UNREADABLE:
            return "piece table unreadable";
        case RC_ERR_TPT_MISMATCH:
            return "piece table disagrees with the size";
        case RC_ERR_FID:
            return "fid mismatch";
        case RC_ERR_SID:
            return "sid mismatch";
        case RC_ERR_HASH:
            return "piece table sha1 differs from the hash";
        case RC_ERR_UNKNOWN_CMD:
            return "unknown command";
        default:
            return "unknown";
    }
}

void rc_read_head(const unsigned char* p, rc_head_t& oHead) {
    oHead.Ver = GetU32(p);
    oHead.Sign = GetU32(p + 4);
    oHead.Seq = GetU32(p + 8);
    oHead.Flag = GetU32(p + 12);
    oHead.Length = GetU32(p + 16);
    oHead.Cmd = GetU32(p + 36);
}

ERcFrame rc_frame(const unsigned char* p, size_t iLen, rc_head_t& oHead) {
    if (iLen < RC_HEAD_LEN) return RC_FRAME_PARTIAL;
    rc_read_head(p, oHead);
    if (oHead.Length < RC_HEAD_LEN || oHead.Length > RC_MAX_PACKET_LEN) return RC_FRAME_INVALID;
    // Bytes that are not this protocol's would be framed by a meaningless
    // length; better to drop the peer than to answer noise.
    if (oHead.Ver != RC_PROTO_VERSION || oHead.Sign != RC_PROTO_SIGN) return RC_FRAME_INVALID;
    if (iLen < oHead.Length) return RC_FRAME_PARTIAL;
    return RC_FRAME_WHOLE;
}

uint32 rc_decode_report(const unsigned char* p, size_t iLen, rc_report_t& oReport) {
    CBodyReader in(p, iLen);
    uint32 iKind = 0;
    uint32 iTptLen = 0;
    if (!in.U32(oReport.Time) || !in.U32(iKind)) return RC_ERR_MALFORMED;
    oReport.Kind = static_cast<sint32>(iKind);
    if (!in.Text(oReport.Url) || !in.Text(oReport.Ref) || !in.Text(oReport.FileName) || !in.Text(oReport.ExtName))
        return RC_ERR_MALFORMED;
    if (!in.Hash(oReport.Hash) || !in.Hash(oReport.SID) || !in.Hash(oReport.FID)) return RC_ERR_MALFORMED;
    if (!in.U64(oReport.Size) || !in.U32(iTptLen)) return RC_ERR_MALFORMED;
    const unsigned char* pTpt = in.Take(iTptLen);
    if (pTpt == nullptr) return RC_ERR_MALFORMED;
    oReport.Tpt.assign(pTpt, pTpt + iTptLen);
    if (!in.Hash(oReport.MD4)) return RC_ERR_MALFORMED;
    if (in.Left() != 0) return RC_ERR_MALFORMED;
    return RC_ERR_NONE;
}

void rc_fill_info(const rc_report_t& oReport, RSInfo& oInfo) {
    oInfo.Url = oReport.Url;
    oInfo.Ref = oReport.Ref;
    oInfo.FileName = oReport.FileName;
    oInfo.ExtName = oReport.ExtName;
    oInfo.Hash = oReport.Hash;
    oInfo.SID = oReport.SID;
    oInfo.FID = oReport.FID;
    oInfo.MD4 = oReport.MD4;
    oInfo.Size = oReport.Size;
    oInfo.TptFile.SetTptData(const_cast<unsigned char*>(oReport.Tpt.data()), static_cast<unsigned int>(oReport.Tpt.size()));
}

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
    rc_head_t head;
    rc_read_head(p, head);
    if (head.Length != iLen) return RC_ERR_MALFORMED;
    if (head.Cmd != RC_CMD_REPORT) return RC_ERR_UNKNOWN_CMD;
    uint32 iErr = rc_decode_report(p + RC_HEAD_LEN, iLen - RC_HEAD_LEN, oReport);
    if (iErr != RC_ERR_NONE) return iErr;
    return rc_validate_report(oReport);
}

void rc_make_response(uint32 iSeq, uint32 iResult, uint32 iErrno, unsigned char (&out)[RC_RESPONSE_LEN]) {
    memset(out, 0, sizeof(out));
    PutU32(out, RC_PROTO_VERSION);
    PutU32(out + 4, RC_PROTO_SIGN);
    PutU32(out + 8, iSeq);
    PutU32(out + 12, RC_PROTO_FLAG);
    PutU32(out + 16, RC_RESPONSE_LEN);
    PutU32(out + 36, RC_CMD_REPORT_RESPONSE);
    PutU32(out + 40, iResult);
    PutU32(out + 44, iErrno);
}

std::string rc_journal_escape(const std::string& strText) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(strText.size());
    for (char c : strText) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 0x0f];
                } else {
                    out += c;
                }
                break;
        }
    }
    return out;
}

std::string rc_journal_line(const rc_report_t& oReport, time_t tNow) {
    struct tm tmNow;
    char szTime[32] = "";
    if (gmtime_r(&tNow, &tmNow) != nullptr) strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%SZ", &tmNow);

    // The same fields, names and formatting as zq_ident's, from a record
    // filled with what was sent.
    RSInfo oInfo;
    rc_fill_info(oReport, oInfo);

    std::string line = "time=";
    line += szTime;
    for (const rc_field_t& oField : rc_info_fields(oInfo)) {
        line += '\t';
        line += oField.Key;
        line += '=';
        line += oField.Value;
    }
    line += "\tfile=" + rc_journal_escape(oReport.FileName);
    line += "\text=" + rc_journal_escape(oReport.ExtName);
    line += "\turl=" + rc_journal_escape(oReport.Url);
    line += "\tref=" + rc_journal_escape(oReport.Ref);
    line += '\n';
    return line;
}
