// The report protocol as the resource center sees it: the framing of the
// bytes a connection delivers, the decoding and validation of one report
// request, the 48-byte response and the journal line of an accepted report.
// Everything here is a pure function of its arguments: no I/O, no logging, no
// global state, and no read outside the bytes it is given, whatever they hold.
#ifndef ZQ_RC_WIRE_H
#define ZQ_RC_WIRE_H

#include <ctime>
#include <string>
#include <vector>

#include "common_header.h"
#include "datareport_svr.h"
#include "hashval.h"

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

// dwErrno of a rejection; RC_ERR_NONE for every other result.
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

// The header's fields in host order (Reserved is never examined).
struct rc_head_t {
    uint32 Ver = 0;
    uint32 Sign = 0;
    uint32 Seq = 0;
    uint32 Flag = 0;
    uint32 Length = 0;
    uint32 Cmd = 0;
};

// Reads the header at p, which must hold RC_HEAD_LEN bytes.
void rc_read_head(const unsigned char* p, rc_head_t& oHead);

enum ERcFrame {
    RC_FRAME_PARTIAL,  // fewer bytes than the header or than its length: wait for more
    RC_FRAME_WHOLE,    // a whole packet of oHead.Length bytes starts at p
    RC_FRAME_INVALID,  // a length outside 40..524,288, or not this protocol's version and signature
};

// What the unconsumed bytes of a connection start with. oHead is filled
// whenever a whole header is there, so an invalid one can be logged.
ERcFrame rc_frame(const unsigned char* p, size_t iLen, rc_head_t& oHead);

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

// Checks the piece table against the rest of a decoded report, in this
// order: it parses (2), agrees with Size and the piece-size rule (3), gives
// back the sent FID (4) and SID (5), and ends with the sent Hash (6).
// RC_ERR_NONE when everything holds.
uint32 rc_validate_report(const rc_report_t& oReport);

// Everything a request packet (header included, iLen bytes) is checked for:
// its header's length equals iLen, its command is a report (7 otherwise),
// its body decodes and validates. oReport holds the decoded body when the
// result is RC_ERR_NONE.
uint32 rc_check_request(const unsigned char* p, size_t iLen, rc_report_t& oReport);

// The response to request iSeq: header (version, signature, iSeq, flag 1,
// length 48, zero Reserved, command 0x10908), then the two numbers.
void rc_make_response(uint32 iSeq, uint32 iResult, uint32 iErrno, unsigned char (&out)[RC_RESPONSE_LEN]);

// One journal line for an accepted report received at tNow, ending in a
// newline: tab-separated key=value fields, "time" first (UTC, ISO 8601), then
// every field zq_ident prints under its name, then file, ext, url and ref.
std::string rc_journal_line(const rc_report_t& oReport, time_t tNow);

// A text as it appears in a journal value: backslash, tab, newline, carriage
// return and the other control bytes are escaped (\\, \t, \n, \r, \xHH), so a
// value never splits a line or a field; other bytes are kept as they are.
std::string rc_journal_escape(const std::string& strText);

#endif
