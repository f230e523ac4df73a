#include "report_wire.h"

#include <cstring>
#include <ctime>

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

}  // namespace

// Each length is cut to 16 bits and exactly that many bytes follow, so a long
// text can never desynchronise the fields behind it; the bytes are taken by
// count, never by terminator, so a text holding a zero byte is sent whole.
static bool pack_short_text(DataBuf& buf, const std::string& text) {
    unsigned short len = static_cast<unsigned short>(text.size());
    return buf.SetSData(reinterpret_cast<const unsigned char*>(text.data()), len);
}

bool RSInfo::Pack2Buf(DataBuf& buf) {
    bool ok = buf.SetValue<unsigned int>(static_cast<unsigned int>(time(nullptr)));
    ok = ok && buf.SetValue<int>(2);
    ok = ok && pack_short_text(buf, Url);
    ok = ok && pack_short_text(buf, Ref);
    ok = ok && pack_short_text(buf, FileName);
    ok = ok && pack_short_text(buf, ExtName);
    ok = ok && buf.SetStruct<Sha1Hash>(Hash);
    ok = ok && buf.SetStruct<Sha1Hash>(SID);
    ok = ok && buf.SetStruct<Sha1Hash>(FID);
    ok = ok && buf.SetValue<unsigned long long>(Size);
    ok = ok && buf.SetData(TptFile.GetBegPnt(), TptFile.GetDataLen());
    ok = ok && buf.SetStruct<Md5Hash>(MD4);
    return ok;
}

zq_head_t::zq_head_t() : iVer(VERSION), iSign(SIGNATURE), iSeq(0), iFlag(1), iLength(HEAD_LEN), iCmd(0) {
    memset(Reserved, 0, sizeof(Reserved));
}

void zq_head_t::SetHeadData(uint32_t seq, uint32_t flag, uint32_t cmd, uint8_t* pReserve) {
    iSeq = seq;
    iFlag = flag;
    iCmd = cmd;
    if (pReserve != nullptr) memcpy(Reserved, pReserve, sizeof(Reserved));
}

void zq_head_t::SetMsgLen(uint32_t len) { iLength = len; }

void zq_head_t::ToNetOrder() {
    iVer = Host2Net(iVer);
    iSign = Host2Net(iSign);
    iSeq = Host2Net(iSeq);
    iFlag = Host2Net(iFlag);
    iLength = Host2Net(iLength);
    iCmd = Host2Net(iCmd);
}

void zq_head_t::ToHostOrder() { ToNetOrder(); }

static uint32_t peek_be32(const char* p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return Net2Host(v);
}

uint32_t zq_head_t::PeekLength(const char* p) { return peek_be32(p + OFFSET_LENGTH); }

uint32_t zq_head_t::PeekCmd(const char* p) { return peek_be32(p + OFFSET_CMD); }

bool pack_rc_request(RSInfo& info, uint32_t seq, DataBuf& body, zq_head_t& head) {
    if (!body.Resize(info.TptFile.GetDataLen() + 512)) return false;
    if (!info.Pack2Buf(body)) return false;
    head = zq_head_t();
    // Reserved goes out as the constructor's zeros: nothing reads it, and
    // anything else would leak process memory onto the wire.
    head.SetHeadData(seq, 1, zq_head_t::CMD_RC_INFO_REQ, nullptr);
    head.SetMsgLen(body.GetDataLen() + zq_head_t::HEAD_LEN);
    head.ToNetOrder();
    return true;
}

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

void rc_read_head(const unsigned char* p, zq_head_t& oHead) {
    oHead.iVer = GetU32(p);
    oHead.iSign = GetU32(p + 4);
    oHead.iSeq = GetU32(p + 8);
    oHead.iFlag = GetU32(p + 12);
    oHead.iLength = GetU32(p + 16);
    memcpy(oHead.Reserved, p + 20, sizeof(oHead.Reserved));
    oHead.iCmd = GetU32(p + 36);
}

ERcFrame rc_frame(const unsigned char* p, size_t iLen, zq_head_t& oHead) {
    if (iLen < RC_HEAD_LEN) return RC_FRAME_PARTIAL;
    rc_read_head(p, oHead);
    if (oHead.iLength < RC_HEAD_LEN || oHead.iLength > RC_MAX_PACKET_LEN) return RC_FRAME_INVALID;
    // Bytes that are not this protocol's would be framed by a meaningless
    // length; better to drop the peer than to answer noise.
    if (oHead.iVer != RC_PROTO_VERSION || oHead.iSign != RC_PROTO_SIGN) return RC_FRAME_INVALID;
    if (iLen < oHead.iLength) return RC_FRAME_PARTIAL;
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

bool rc_decode_response(const unsigned char* p, size_t iLen, uint32& iResult, uint32& iErrno) {
    if (p == nullptr || iLen < RC_HEAD_LEN + 8) return false;
    iResult = GetU32(p + RC_HEAD_LEN);
    iErrno = GetU32(p + RC_HEAD_LEN + 4);
    return true;
}
