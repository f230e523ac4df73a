// The report protocol's codec, shared by both ends: the 40-byte packet
// header, the request body (the record, packed by RSInfo::Pack2Buf and
// decoded by rc_decode_report), the 48-byte response, and the framing of the
// bytes a connection delivers. Everything here is a pure function of its
// arguments: no I/O, no logging, no global state, and no read outside the
// bytes it is given, whatever they hold. Integers are big-endian on the wire.
#ifndef ZQ_REPORT_WIRE_H
#define ZQ_REPORT_WIRE_H

#include <cstddef>
#include <string>
#include <vector>

#include "common_header.h"
#include "databuf.h"
#include "hashval.h"
#include "rc_record.h"

// Every packet, both ways, starts with this 40-byte header. The record is
// kept in host order until ToNetOrder, after which its 40 bytes are the
// header as sent.
struct zq_head_t {
    enum {
        HEAD_LEN = 40,
        MAX_PACKET_LEN = 524288,  // also a connection's read buffer in the tool
        VERSION = 100,
        SIGNATURE = 19781224,
        CMD_RC_INFO_REQ = 0x10907,
        CMD_RC_INFO_RSP = 0x10908,
        OFFSET_LENGTH = 16,
        OFFSET_CMD = 36,
    };

    zq_head_t();

    // pReserve, when not null, supplies the 16 reserved bytes.
    void SetHeadData(uint32_t seq, uint32_t flag, uint32_t cmd, uint8_t* pReserve);
    void SetMsgLen(uint32_t len);
    // Integers to network order; Reserved is raw and left alone.
    void ToNetOrder();
    // The inverse, for a header copied off the wire.
    void ToHostOrder();

    // The length and command fields of the packet at p, which must hold at
    // least HEAD_LEN bytes.
    static uint32_t PeekLength(const char* p);
    static uint32_t PeekCmd(const char* p);

    uint32_t iVer;
    uint32_t iSign;
    uint32_t iSeq;
    uint32_t iFlag;
    uint32_t iLength;
    uint8_t Reserved[16];
    uint32_t iCmd;
};

static_assert(sizeof(zq_head_t) == zq_head_t::HEAD_LEN, "the header is 40 bytes without padding");

enum : uint32 {
    RC_HEAD_LEN = zq_head_t::HEAD_LEN,
    RC_MAX_PACKET_LEN = zq_head_t::MAX_PACKET_LEN,
    RC_RESPONSE_LEN = 48,
    RC_PROTO_VERSION = zq_head_t::VERSION,
    RC_PROTO_SIGN = zq_head_t::SIGNATURE,
    RC_PROTO_FLAG = 1,
    RC_CMD_REPORT = zq_head_t::CMD_RC_INFO_REQ,
    RC_CMD_REPORT_RESPONSE = zq_head_t::CMD_RC_INFO_RSP,
    // The smallest body: four empty texts, no piece table.
    RC_MIN_REPORT_BODY = 104,
};

// dwResult of a response.
enum : uint32 {
    RC_RESULT_ACCEPTED = 0,
    RC_RESULT_KNOWN = 1,
    RC_RESULT_REJECTED = 2,
    RC_RESULT_NOT_STORED = 3,  // dwErrno is then the system's error number
};

// dwErrno of a rejection; RC_ERR_NONE for every other result. These are
// values the peer reads, not error returns of this code.
enum : uint32 {
    RC_ERR_NONE = 0,
    RC_ERR_MALFORMED = 1,      // a length runs past the body, or bytes are left over
    RC_ERR_TPT_UNREADABLE = 2, // no table, a truncated one, bytes after it, a wrong format or version
    RC_ERR_TPT_MISMATCH = 3,   // piece count, piece size or last-piece size disagree with Size
    RC_ERR_FID = 4,
    RC_ERR_SID = 5,
    RC_ERR_HASH = 6,           // the table's trailing SHA-1 differs from Hash
    RC_ERR_UNKNOWN_CMD = 7,
};

// A short lowercase description of a rejection number, for log lines.
const char* rc_errno_text(uint32 iErrno);

// Builds one report request for info: body packed into body (which is
// resized first), header with sequence number seq, length and command set and
// already in network order. False when the body could not be packed whole.
bool pack_rc_request(RSInfo& info, uint32_t seq, DataBuf& body, zq_head_t& head);

// Reads the header at p, which must hold RC_HEAD_LEN bytes, into host order.
void rc_read_head(const unsigned char* p, zq_head_t& oHead);

enum ERcFrame {
    RC_FRAME_PARTIAL,  // fewer bytes than the header or than its length: wait for more
    RC_FRAME_WHOLE,    // a whole packet of oHead.iLength bytes starts at p
    RC_FRAME_INVALID,  // a length outside 40..524,288, or not this protocol's version and signature
};

// What the unconsumed bytes of a connection start with. oHead is filled
// whenever a whole header is there, so an invalid one can be logged.
ERcFrame rc_frame(const unsigned char* p, size_t iLen, zq_head_t& oHead);

// One report request's body, field by field; owns copies of every byte.
struct rc_report_t {
    uint32 Time = 0;  // the sender's clock when it packed the record
    sint32 Kind = 0;  // the fixed value after the time stamp
    std::string Url;
    std::string Ref;
    std::string FileName;
    std::string ExtName;
    Sha1Hash Hash;
    Sha1Hash SID;
    Sha1Hash FID;
    uint64 Size = 0;
    std::vector<unsigned char> Tpt;  // the piece table's bytes
    Md5Hash MD4;
};

// Decodes a report body of exactly iLen bytes: RC_ERR_NONE, or
// RC_ERR_MALFORMED when a field or a length runs past the end or bytes are
// left over (oReport is then partly filled and must not be used).
uint32 rc_decode_report(const unsigned char* p, size_t iLen, rc_report_t& oReport);

// Fills oInfo with every field of a decoded report (the table as a copy), as
// the client's record of those fields would hold them.
void rc_fill_info(const rc_report_t& oReport, RSInfo& oInfo);

// The response to request iSeq: header (version, signature, iSeq, flag 1,
// length 48, zero Reserved, command 0x10908), then the two numbers.
void rc_make_response(uint32 iSeq, uint32 iResult, uint32 iErrno, unsigned char (&out)[RC_RESPONSE_LEN]);

// The two numbers of a response packet of iLen bytes (header included);
// false when its body holds fewer than 8 bytes. Bytes after them are ignored.
bool rc_decode_response(const unsigned char* p, size_t iLen, uint32& iResult, uint32& iErrno);

#endif
