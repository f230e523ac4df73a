// zq_rcenter's side of the protocol over arbitrary bytes from a client. The
// input is one connection's stream: it is framed by rc_frame as the server
// frames it, and every whole packet (an exact-size copy) goes through
// rc_check_request. The header is read again here, without the server's
// code, to say what the framing must be; a body that decodes must be exactly
// the bytes the client's own packer makes of the decoded fields, and neither
// one byte less nor one more may decode; a report that fails only on its
// identifiers must pass once they are the ones the client computes from its
// table; and an accepted report must make one journal line whose texts
// read back unchanged.
#ifndef ZQ_RCENTER_FUZZ_H
#define ZQ_RCENTER_FUZZ_H

#include <cstddef>
#include <memory>

#include "datareport_svr.h"
#include "fuzz_harness.h"
#include "rc_check.h"
#include "rc_tsv_line.h"
#include "tptFile.h"

namespace zqfuzz {

namespace rcdetail {

const size_t kTptHeadLen = sizeof(stTptHeadInfo);

inline uint32 BigEndian32(const unsigned char* p) {
    return (static_cast<uint32>(p[0]) << 24) | (static_cast<uint32>(p[1]) << 16) | (static_cast<uint32>(p[2]) << 8) |
           p[3];
}

// The bytes as a fresh heap block of exactly their size (at least one byte,
// so that an empty span still has an address).
inline std::unique_ptr<unsigned char[]> ExactCopy(const unsigned char* p, size_t n) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[n == 0 ? 1 : n]);
    if (n > 0) memcpy(copy.get(), p, n);
    return copy;
}

// Undoes rc_tsv_escape; false for a sequence it never writes.
inline bool Unescape(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
            case '\\': out += '\\'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 'x': {
                if (i + 2 >= text.size()) return false;
                unsigned value = 0;
                for (int k = 1; k <= 2; ++k) {
                    char h = text[i + static_cast<size_t>(k)];
                    value <<= 4;
                    if (h >= '0' && h <= '9') {
                        value |= static_cast<unsigned>(h - '0');
                    } else if (h >= 'a' && h <= 'f') {
                        value |= static_cast<unsigned>(h - 'a' + 10);
                    } else {
                        return false;
                    }
                }
                out += static_cast<char>(value);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

// One journal line of an accepted report.
inline int CheckJournalLine(const rc_report_t& report) {
    const std::string line = rc_tsv_line(report, 1700000000);
    ZQ_FUZZ_CHECK(!line.empty() && line.back() == '\n');
    ZQ_FUZZ_CHECK(line.find('\n') == line.size() - 1);
    ZQ_FUZZ_CHECK(line.find('\r') == std::string::npos);
    std::vector<std::string> fields = SplitInput(reinterpret_cast<const uint8_t*>(line.data()), line.size() - 1, "\t");
    ZQ_FUZZ_CHECK(fields.size() > 5);
    ZQ_FUZZ_CHECK(fields[0] == "time=2023-11-14T22:13:20Z");
    for (const std::string& field : fields) {
        size_t eq = field.find('=');
        ZQ_FUZZ_CHECK(eq != std::string::npos && eq > 0);
        for (char c : field) ZQ_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    const std::string* texts[] = {&report.FileName, &report.ExtName, &report.Url, &report.Ref};
    const char* keys[] = {"file=", "ext=", "url=", "ref="};
    for (size_t i = 0; i < 4; ++i) {
        const std::string& field = fields[fields.size() - 4 + i];
        const size_t keyLen = strlen(keys[i]);
        ZQ_FUZZ_CHECK(field.compare(0, keyLen, keys[i]) == 0);
        std::string back;
        ZQ_FUZZ_CHECK(Unescape(field.substr(keyLen), back));
        ZQ_FUZZ_CHECK(back == *texts[i]);
    }
    return 0;
}

// A report the server accepts: its line, and each identifier guarding it.
inline int CheckAccepted(const rc_report_t& report) {
    if (CheckJournalLine(report) != 0) return -1;
    rc_report_t bad = report;
    bad.FID.cVal[7] ^= 0x01;
    ZQ_FUZZ_CHECK(rc_validate_report(bad) == RC_ERR_FID);
    bad = report;
    bad.SID.cVal[19] ^= 0x80;
    ZQ_FUZZ_CHECK(rc_validate_report(bad) == RC_ERR_SID);
    bad = report;
    bad.Hash.cVal[0] ^= 0xff;
    ZQ_FUZZ_CHECK(rc_validate_report(bad) == RC_ERR_HASH);
    return 0;
}

// A decoded body: packed again by the client, it is the same bytes.
inline int CheckRoundTrip(const rc_report_t& report, const unsigned char* body, size_t len) {
    if (report.Tpt.size() >= TPTFile::MAX_TPT_DATA) return 0;  // more than the client's table holds
    RSInfo info;
    rc_fill_info(report, info);
    ZQ_FUZZ_CHECK(info.TptFile.GetDataLen() == report.Tpt.size());
    DataBuf packed;
    zq_head_t head;
    ZQ_FUZZ_CHECK(pack_rc_request(info, 7, packed, head));
    ZQ_FUZZ_CHECK(packed.GetDataLen() == len);
    // The time stamp and the value after it are the sender's; the client
    // writes its own clock and 2 there.
    ZQ_FUZZ_CHECK(BigEndian32(body) == report.Time);
    ZQ_FUZZ_CHECK(static_cast<sint32>(BigEndian32(body + 4)) == report.Kind);
    ZQ_FUZZ_CHECK(memcmp(packed.GetBegPnt() + 8, body + 8, len - 8) == 0);
    return 0;
}

// One whole packet of len bytes, as the server checks it.
inline int CheckPacket(const unsigned char* packet, size_t len) {
    rc_report_t report;
    const uint32 err = rc_check_request(packet, len, report);
    ZQ_FUZZ_CHECK(err <= RC_ERR_UNKNOWN_CMD);
    if (BigEndian32(packet + 36) != RC_CMD_REPORT) {
        ZQ_FUZZ_CHECK(err == RC_ERR_UNKNOWN_CMD);
        return 0;
    }
    const size_t bodyLen = len - RC_HEAD_LEN;
    std::unique_ptr<unsigned char[]> body = ExactCopy(packet + RC_HEAD_LEN, bodyLen);
    rc_report_t decoded;
    if (rc_decode_report(body.get(), bodyLen, decoded) != RC_ERR_NONE) {
        ZQ_FUZZ_CHECK(err == RC_ERR_MALFORMED);
        return 0;
    }
    ZQ_FUZZ_CHECK(bodyLen >= RC_MIN_REPORT_BODY);
    ZQ_FUZZ_CHECK(err != RC_ERR_MALFORMED && err != RC_ERR_UNKNOWN_CMD);
    ZQ_FUZZ_CHECK(err == rc_validate_report(decoded));
    if (CheckRoundTrip(decoded, body.get(), bodyLen) != 0) return -1;

    // Exactly this many bytes decode: one fewer runs short, one more is left over.
    rc_report_t other;
    std::unique_ptr<unsigned char[]> shorter = ExactCopy(body.get(), bodyLen - 1);
    ZQ_FUZZ_CHECK(rc_decode_report(shorter.get(), bodyLen - 1, other) == RC_ERR_MALFORMED);
    std::string longer(reinterpret_cast<const char*>(body.get()), bodyLen);
    longer += '\0';
    std::unique_ptr<unsigned char[]> longerCopy =
        ExactCopy(reinterpret_cast<const unsigned char*>(longer.data()), longer.size());
    ZQ_FUZZ_CHECK(rc_decode_report(longerCopy.get(), longer.size(), other) == RC_ERR_MALFORMED);

    if (err == RC_ERR_NONE) return CheckAccepted(decoded);
    if (err != RC_ERR_FID && err != RC_ERR_SID && err != RC_ERR_HASH) return 0;
    // The table is sound and agrees with the size: the identifiers the
    // client computes from it must be the ones the server wants.
    const unsigned char* table = decoded.Tpt.data();
    unsigned int segCnt = 0;
    memcpy(&segCnt, table + offsetof(stTptHeadInfo, SegCnt), sizeof(segCnt));
    const unsigned char* digests = segCnt > 0 ? table + kTptHeadLen : nullptr;
    rc_report_t fixed = decoded;
    fixed.FID = Sha1Hash();
    fixed.SID = Sha1Hash();
    CreateFid(fixed.FID, fixed.Size, static_cast<int>(segCnt), digests);
    CreateSid(fixed.SID, fixed.Size, static_cast<int>(segCnt), digests);
    fixed.Hash = Sha1Hash(table + decoded.Tpt.size() - sizeof(Sha1Hash), static_cast<int>(sizeof(Sha1Hash)));
    ZQ_FUZZ_CHECK(rc_validate_report(fixed) == RC_ERR_NONE);
    return CheckAccepted(fixed);
}

}  // namespace rcdetail

inline int RcenterFuzz(const uint8_t* data, size_t size) {
    using namespace rcdetail;
    size_t pos = 0;
    for (;;) {
        const size_t left = size - pos;
        std::unique_ptr<unsigned char[]> rest = ExactCopy(data + pos, left);
        zq_head_t head;
        const ERcFrame frame = rc_frame(rest.get(), left, head);
        if (left < RC_HEAD_LEN) {
            ZQ_FUZZ_CHECK(frame == RC_FRAME_PARTIAL);
            return 0;
        }
        const unsigned char* p = rest.get();
        const uint32 length = BigEndian32(p + 16);
        ZQ_FUZZ_CHECK(head.iVer == BigEndian32(p) && head.iSign == BigEndian32(p + 4));
        ZQ_FUZZ_CHECK(head.iSeq == BigEndian32(p + 8) && head.iFlag == BigEndian32(p + 12));
        ZQ_FUZZ_CHECK(head.iLength == length && head.iCmd == BigEndian32(p + 36));
        const bool bad = length < RC_HEAD_LEN || length > RC_MAX_PACKET_LEN || head.iVer != RC_PROTO_VERSION ||
                         head.iSign != RC_PROTO_SIGN;
        if (bad) {
            ZQ_FUZZ_CHECK(frame == RC_FRAME_INVALID);
            return 0;
        }
        if (left < length) {
            ZQ_FUZZ_CHECK(frame == RC_FRAME_PARTIAL);
            return 0;
        }
        ZQ_FUZZ_CHECK(frame == RC_FRAME_WHOLE);
        // The same packet with its last byte still to come waits for it.
        zq_head_t again;
        ZQ_FUZZ_CHECK(rc_frame(p, length - 1, again) == RC_FRAME_PARTIAL);

        std::unique_ptr<unsigned char[]> packet = ExactCopy(p, length);
        if (CheckPacket(packet.get(), length) != 0) return -1;
        pos += length;
    }
}

}  // namespace zqfuzz

#endif
