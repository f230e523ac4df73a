// The report's bytes on the wire: the packet header and its operations, the
// request body packed from the record, and the request as a whole. Expected
// bytes are built by hand from the protocol's layout, never by the code under
// test.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "bytes.h"
#include "datareport_svr.h"
#include "log_capture.h"
#include "os_util.h"
#include "wire.h"

namespace {

using zqtest::BigEndian32;
using zqtest::PatternBytes;
using zqtest::ReadBigEndian32;

std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }
std::string Bytes(const DataBuf& buf) { return Bytes(buf.GetBegPnt(), buf.GetDataLen()); }

std::string BigEndian64(uint64_t v) { return BigEndian32(static_cast<uint32_t>(v >> 32)) + BigEndian32(static_cast<uint32_t>(v)); }
std::string BigEndian16(uint16_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

// The body's fields, read by walking the layout table; parsed is false when
// a length runs past the end or bytes are left over.
struct ParsedBody {
    bool parsed = false;
    uint32_t stamp = 0;
    uint32_t two = 0;
    std::string url, ref, name, ext;
    std::string hash, sid, fid;
    uint64_t size = 0;
    std::string tpt;
    std::string md4;
};

ParsedBody Parse(const std::string& body) {
    ParsedBody p;
    size_t pos = 0;
    auto take = [&](size_t n, std::string* out) {
        if (pos + n > body.size()) return false;
        if (out) *out = body.substr(pos, n);
        pos += n;
        return true;
    };
    auto text = [&](std::string* out) {
        std::string len;
        if (!take(2, &len)) return false;
        size_t n = (static_cast<unsigned char>(len[0]) << 8) | static_cast<unsigned char>(len[1]);
        return take(n, out);
    };
    std::string word, size, tlen;
    if (!take(4, &word)) return p;
    p.stamp = ReadBigEndian32(word, 0);
    if (!take(4, &word)) return p;
    p.two = ReadBigEndian32(word, 0);
    if (!text(&p.url) || !text(&p.ref) || !text(&p.name) || !text(&p.ext)) return p;
    if (!take(20, &p.hash) || !take(20, &p.sid) || !take(20, &p.fid) || !take(8, &size)) return p;
    p.size = (static_cast<uint64_t>(ReadBigEndian32(size, 0)) << 32) | ReadBigEndian32(size, 4);
    if (!take(4, &tlen) || !take(ReadBigEndian32(tlen, 0), &p.tpt) || !take(16, &p.md4)) return p;
    p.parsed = pos == body.size();
    return p;
}

Sha1Hash Sha1Of(uint32_t seed) {
    std::string b = PatternBytes(20, seed);
    return Sha1Hash(reinterpret_cast<const unsigned char*>(b.data()), 20);
}

// A record with distinct values everywhere and a piece table of three pieces.
void FillRecord(RSInfo& info) {
    info.Url = "http://example.invalid/dl/movie.mkv";
    info.Ref = ZQ_RC_REFERRER_URL;
    info.FileName = "movie.mkv";
    info.ExtName = "mkv";
    info.Hash = Sha1Of(1);
    info.SID = Sha1Of(2);
    info.FID = Sha1Of(3);
    std::string md4 = PatternBytes(16, 4);
    info.MD4 = Md5Hash(reinterpret_cast<const unsigned char*>(md4.data()), 16);
    info.Size = 3 * 32768 - 100;
    std::string pieces = PatternBytes(3 * 16, 5);
    ASSERT_TRUE(info.TptFile.Makeup(info.Size, 3, 32, reinterpret_cast<const unsigned char*>(pieces.data()), info.Hash));
}

std::string Packed(RSInfo& info) {
    DataBuf buf;
    EXPECT_TRUE(buf.Resize(512));
    EXPECT_TRUE(info.Pack2Buf(buf));
    return Bytes(buf);
}

// Header ---------------------------------------------------------------------

TEST(ZqHead, NewHeaderHoldsTheProtocolDefaults) {
    zq_head_t head;
    EXPECT_EQ(100u, head.iVer);
    EXPECT_EQ(19781224u, head.iSign);
    EXPECT_EQ(0u, head.iSeq);
    EXPECT_EQ(1u, head.iFlag);
    EXPECT_EQ(40u, head.iLength);
    EXPECT_EQ(0u, head.iCmd);
    EXPECT_EQ(std::string(16, '\0'), Bytes(head.Reserved, 16));
}

TEST(ZqHead, FieldsLieAtTheirWireOffsets) {
    EXPECT_EQ(40u, sizeof(zq_head_t));
    EXPECT_EQ(16u, offsetof(zq_head_t, iLength));
    EXPECT_EQ(20u, offsetof(zq_head_t, Reserved));
    EXPECT_EQ(36u, offsetof(zq_head_t, iCmd));
}

TEST(ZqHead, ReservedBytesAreCopiedOnlyWhenGiven) {
    zq_head_t head;
    head.SetHeadData(7, 3, 0x10907, nullptr);
    EXPECT_EQ(7u, head.iSeq);
    EXPECT_EQ(3u, head.iFlag);
    EXPECT_EQ(0x10907u, head.iCmd);
    EXPECT_EQ(std::string(16, '\0'), Bytes(head.Reserved, 16));

    std::string reserve = PatternBytes(16, 9);
    head.SetHeadData(8, 1, 0x10908, reinterpret_cast<uint8_t*>(&reserve[0]));
    EXPECT_EQ(reserve, Bytes(head.Reserved, 16));
    EXPECT_EQ(8u, head.iSeq);
}

TEST(ZqHead, NetworkOrderGivesTheBytesAsSent) {
    zq_head_t head;
    head.SetHeadData(0x01020304, 1, 0x10907, nullptr);
    head.SetMsgLen(0x0A0B0C0D);
    head.ToNetOrder();
    EXPECT_EQ(zqtest::PacketHead(0x0A0B0C0D, 0x10907, 0x01020304), Bytes(&head, sizeof(head)));
    EXPECT_EQ(0x0A0B0C0Du, zq_head_t::PeekLength(reinterpret_cast<const char*>(&head)));
    EXPECT_EQ(0x10907u, zq_head_t::PeekCmd(reinterpret_cast<const char*>(&head)));

    head.ToHostOrder();
    EXPECT_EQ(0x01020304u, head.iSeq);
    EXPECT_EQ(0x0A0B0C0Du, head.iLength);
    EXPECT_EQ(100u, head.iVer);
}

TEST(ZqHead, PeekReadsAnyHeaderBytes) {
    std::string packet = zqtest::PacketHead(524289, 0xFFFFFFFF) + "tail";
    EXPECT_EQ(524289u, zq_head_t::PeekLength(packet.data()));
    EXPECT_EQ(0xFFFFFFFFu, zq_head_t::PeekCmd(packet.data()));
}

// Request body -----------------------------------------------------------------

TEST(PackBody, FieldsFollowTheLayoutInOrder) {
    RSInfo info;
    FillRecord(info);
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    std::string body = Packed(info);
    uint32_t after = static_cast<uint32_t>(time(nullptr));

    ParsedBody p = Parse(body);
    ASSERT_TRUE(p.parsed);
    EXPECT_GE(p.stamp, before);
    EXPECT_LE(p.stamp, after);
    EXPECT_EQ(2u, p.two);
    EXPECT_EQ(info.Url, p.url);
    EXPECT_EQ(info.Ref, p.ref);
    EXPECT_EQ("movie.mkv", p.name);
    EXPECT_EQ("mkv", p.ext);
    EXPECT_EQ(Bytes(info.Hash.cVal, 20), p.hash);
    EXPECT_EQ(Bytes(info.SID.cVal, 20), p.sid);
    EXPECT_EQ(Bytes(info.FID.cVal, 20), p.fid);
    EXPECT_EQ(info.Size, p.size);
    EXPECT_EQ(Bytes(info.TptFile.GetBegPnt(), info.TptFile.GetDataLen()), p.tpt);
    EXPECT_EQ(Bytes(info.MD4.cVal, 16), p.md4);
}

TEST(PackBody, LengthIsFixedPartPlusTextsPlusTable) {
    RSInfo info;
    FillRecord(info);
    std::string body = Packed(info);
    size_t texts = info.Url.size() + info.Ref.size() + info.FileName.size() + info.ExtName.size();
    ASSERT_EQ(55u + 16 * 3, info.TptFile.GetDataLen());
    EXPECT_EQ(104 + texts + 55 + 16 * 3, body.size());
    // The table's length sits right before it, four bytes big-endian.
    size_t tptAt = 88 + texts;
    EXPECT_EQ(BigEndian32(55 + 16 * 3), body.substr(tptAt - 4, 4));
}

TEST(PackBody, SizeIsEightBytesBigEndian) {
    RSInfo info;
    FillRecord(info);
    info.Size = 1;
    std::string body = Packed(info);
    size_t texts = info.Url.size() + info.Ref.size() + info.FileName.size() + info.ExtName.size();
    EXPECT_EQ(std::string("\0\0\0\0\0\0\0\1", 8), body.substr(76 + texts, 8));

    info.Size = 0x0102030405060708ULL;
    body = Packed(info);
    EXPECT_EQ(BigEndian64(0x0102030405060708ULL), body.substr(76 + texts, 8));
}

TEST(PackBody, EmptyTextIsTwoZeroBytes) {
    RSInfo info;
    FillRecord(info);
    info.ExtName.clear();
    std::string body = Packed(info);
    size_t at = 14 + info.Url.size() + info.Ref.size() + info.FileName.size();
    EXPECT_EQ(std::string("\0\0", 2), body.substr(at, 2));
    ParsedBody p = Parse(body);
    ASSERT_TRUE(p.parsed);
    EXPECT_EQ("", p.ext);
    EXPECT_EQ(Bytes(info.Hash.cVal, 20), p.hash);
}

TEST(PackBody, EmptyPieceTableIsALengthOfZeroAndNoBytes) {
    RSInfo info;
    FillRecord(info);
    RSInfo bare;
    bare.Url = info.Url;
    bare.MD4 = info.MD4;
    bare.Size = 12;
    std::string body = Packed(bare);
    ParsedBody p = Parse(body);
    ASSERT_TRUE(p.parsed);
    EXPECT_EQ("", p.tpt);
    EXPECT_EQ(104 + bare.Url.size(), body.size());
    // Length 0, then the MD4 straight away.
    EXPECT_EQ(std::string(4, '\0') + Bytes(info.MD4.cVal, 16), body.substr(body.size() - 20));
}

TEST(PackBody, LongTextsSendTheLow16BitsOfTheirLength) {
    struct Case {
        size_t length;
        size_t sent;
    };
    for (Case c : {Case{65535, 65535}, Case{65536, 0}, Case{65541, 5}, Case{131072 + 300, 300}}) {
        RSInfo info;
        FillRecord(info);
        info.Url = PatternBytes(c.length, 11);
        std::string body = Packed(info);
        EXPECT_EQ(BigEndian16(static_cast<uint16_t>(c.sent)), body.substr(8, 2)) << c.length;
        ParsedBody p = Parse(body);
        ASSERT_TRUE(p.parsed) << c.length;
        EXPECT_EQ(info.Url.substr(0, c.sent), p.url) << c.length;
        // Every later field still where it belongs.
        EXPECT_EQ(info.Ref, p.ref) << c.length;
        EXPECT_EQ(Bytes(info.MD4.cVal, 16), p.md4) << c.length;
    }
}

TEST(PackBody, TextsAreTakenByCountNotByTerminator) {
    RSInfo info;
    FillRecord(info);
    info.FileName = std::string("a\0b.txt", 7);
    // A zero byte before the 65,536th: a terminator-based length would differ.
    info.Ref = std::string(10, 'r') + std::string(1, '\0') + std::string(65536 - 11, 'r');
    std::string body = Packed(info);
    ParsedBody p = Parse(body);
    ASSERT_TRUE(p.parsed);
    EXPECT_EQ(info.FileName, p.name);
    EXPECT_EQ("", p.ref);
    EXPECT_EQ(info.ExtName, p.ext);
}

TEST(PackBody, BufferThatCannotTakeItAllReportsFailure) {
    RSInfo info;
    FillRecord(info);
    unsigned char region[64];
    DataBuf buf;
    buf.Reset(region, sizeof(region));
    EXPECT_FALSE(info.Pack2Buf(buf));
}

// Whole request ---------------------------------------------------------------

TEST(PackRequest, HeaderOfARequestWithA200ByteBody) {
    RSInfo info;
    // 104 fixed bytes + 96 bytes of text + no piece table = 200.
    info.Url = std::string(60, 'u');
    info.Ref = std::string(20, 'r');
    info.FileName = "abcdefghijkl";
    info.ExtName = "wxyz";
    DataBuf body;
    zq_head_t head;
    ASSERT_TRUE(pack_rc_request(info, 1, body, head));
    ASSERT_EQ(200u, body.GetDataLen());
    const unsigned char expected[40] = {0x00, 0x00, 0x00, 0x64, 0x01, 0x2D, 0xD6, 0x68, 0x00, 0x00,
                                        0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xF0,
                                        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                        0x00, 0x01, 0x09, 0x07};
    EXPECT_EQ(Bytes(expected, 40), Bytes(&head, sizeof(head)));
}

TEST(PackRequest, LengthCountsHeaderAndBodyAndSequenceIsPassedThrough) {
    RSInfo info;
    FillRecord(info);
    DataBuf body;
    zq_head_t head;
    ASSERT_TRUE(pack_rc_request(info, 0xDEADBEEF, body, head));
    std::string bytes = Bytes(&head, sizeof(head));
    EXPECT_EQ(40 + body.GetDataLen(), ReadBigEndian32(bytes, 16));
    EXPECT_EQ(0xDEADBEEFu, ReadBigEndian32(bytes, 8));
    EXPECT_TRUE(Parse(Bytes(body)).parsed);
}

TEST(PackRequest, LargestRecordFitsTheGrowingBuffer) {
    RSInfo info;
    FillRecord(info);
    info.Url = PatternBytes(65535, 1);
    info.Ref = PatternBytes(65535, 2);
    info.FileName = PatternBytes(65535, 3);
    info.ExtName = PatternBytes(65535, 4);
    DataBuf body;
    zq_head_t head;
    ASSERT_TRUE(pack_rc_request(info, 2, body, head));
    EXPECT_EQ(104u + 4 * 65535 + info.TptFile.GetDataLen(), body.GetDataLen());
    ParsedBody p = Parse(Bytes(body));
    ASSERT_TRUE(p.parsed);
    EXPECT_EQ(info.ExtName, p.ext);
}

TEST(TimeHelpers, ElapsedTicksAndTheClockGoingBack) {
    zqtest::LogCapture log(3);
    uint32_t now = GetTickCount();
    // The tick wraps every 49.7 days; stay clear of the edges.
    if (now < 10000 || now > 0xFFFFFFFFu - 700000) GTEST_SKIP() << "tick too close to wrapping";
    EXPECT_LT(timeval_ms(now), 60000u);
    EXPECT_GE(timeval_ms(now - 5000), 5000u);
    EXPECT_GE(timeval_us(now - 5000), 5000000u);
    EXPECT_EQ(0u, timeval_ms(now + 600000));
    EXPECT_EQ(0u, timeval_us(now + 600000));
    EXPECT_TRUE(log.Contains("task time strange: start=" + std::to_string(now + 600000) + ", now=")) << log.Text();
}

}  // namespace
