// The resource center's reading of report requests: framing, decoding with
// every length checked, validation of the piece table against the rest, the
// response bytes and the journal line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rcenter_test_util.h"
#include "tpt_verify.h"

namespace {

using rctest::BodyLayout;
using rctest::BodyOf;
using rctest::Fields;
using rctest::LayoutOf;
using rctest::MakeInfo;
using rctest::PacketOf;
using zqtest::PutBigEndian32;
using rctest::RequestOf;

// Decodes from a heap block of exactly the body's size, so a read past the
// end is caught by the address sanitizer rather than landing in slack.
uint32 Decode(const std::string& body, rc_report_t& report) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[body.size() + 1]);
    memcpy(exact.get(), body.data(), body.size());
    return rc_decode_report(body.empty() ? nullptr : exact.get(), body.size(), report);
}

uint32 Check(const std::string& packet) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[packet.size() + 1]);
    memcpy(exact.get(), packet.data(), packet.size());
    rc_report_t report;
    return rc_check_request(exact.get(), packet.size(), report);
}

// A report decoded from the body the tool packs for info.
uint32 DecodeInfo(RSInfo& info, rc_report_t& report) { return Decode(BodyOf(info), report); }

std::string Tpt(const rc_report_t& r) { return std::string(r.Tpt.begin(), r.Tpt.end()); }
void SetTpt(rc_report_t& r, const std::string& t) { r.Tpt.assign(t.begin(), t.end()); }

// ---- framing ----

TEST(RcFrame, WaitsForAWholeHeaderThenForTheWholeLength) {
    RSInfo info;
    MakeInfo(info, 100000, 1);
    std::string packet = RequestOf(info, 7);
    zq_head_t head;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(packet.data());
    EXPECT_EQ(rc_frame(p, 39, head), RC_FRAME_PARTIAL);
    EXPECT_EQ(rc_frame(p, 40, head), RC_FRAME_PARTIAL);
    EXPECT_EQ(head.iLength, packet.size());
    EXPECT_EQ(rc_frame(p, packet.size() - 1, head), RC_FRAME_PARTIAL);
    EXPECT_EQ(rc_frame(p, packet.size(), head), RC_FRAME_WHOLE);
    EXPECT_EQ(rc_frame(p, packet.size() + 10, head), RC_FRAME_WHOLE);
    EXPECT_EQ(head.iSeq, 7u);
    EXPECT_EQ(head.iCmd, static_cast<uint32>(RC_CMD_REPORT));
}

TEST(RcFrame, LengthsOutsideTheLimitsAreInvalidAtOnce) {
    std::string packet = PacketOf(std::string(8, '\0'), 1);
    zq_head_t head;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(packet.data());
    for (uint32 len : {0u, 39u, 524289u, 0xFFFFFFFFu}) {
        PutBigEndian32(packet, 16, len);
        EXPECT_EQ(rc_frame(p, 40, head), RC_FRAME_INVALID) << len;
        EXPECT_EQ(head.iLength, len);
    }
    PutBigEndian32(packet, 16, 40);
    EXPECT_EQ(rc_frame(p, 40, head), RC_FRAME_WHOLE);
    PutBigEndian32(packet, 16, 524288);
    EXPECT_EQ(rc_frame(p, 48, head), RC_FRAME_PARTIAL);
}

TEST(RcFrame, AnotherVersionOrSignatureIsNotThisProtocol) {
    std::string packet = PacketOf(std::string(8, '\0'), 1);
    zq_head_t head;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(packet.data());
    PutBigEndian32(packet, 0, 101);
    EXPECT_EQ(rc_frame(p, packet.size(), head), RC_FRAME_INVALID);
    PutBigEndian32(packet, 0, 100);
    PutBigEndian32(packet, 4, 19781225);
    EXPECT_EQ(rc_frame(p, packet.size(), head), RC_FRAME_INVALID);
    // Flag and Reserved are not examined.
    PutBigEndian32(packet, 4, 19781224);
    PutBigEndian32(packet, 12, 9);
    packet[20] = 'x';
    EXPECT_EQ(rc_frame(p, packet.size(), head), RC_FRAME_WHOLE);
}

// ---- decoding ----

TEST(RcDecode, GivesBackEveryFieldTheToolPacked) {
    RSInfo info;
    MakeInfo(info, 100000, 2, "movie.part1.mkv");
    rc_report_t report;
    ASSERT_EQ(DecodeInfo(info, report), static_cast<uint32>(RC_ERR_NONE));
    EXPECT_EQ(report.Kind, 2);
    EXPECT_EQ(report.Url, info.Url);
    EXPECT_EQ(report.Ref, info.Ref);
    EXPECT_EQ(report.FileName, "movie.part1.mkv");
    EXPECT_EQ(report.ExtName, "mkv");
    EXPECT_EQ(report.Hash, info.Hash);
    EXPECT_EQ(report.SID, info.SID);
    EXPECT_EQ(report.FID, info.FID);
    EXPECT_EQ(report.MD4, info.MD4);
    EXPECT_EQ(report.Size, 100000u);
    EXPECT_EQ(Tpt(report), std::string(reinterpret_cast<const char*>(info.TptFile.GetBegPnt()),
                                       info.TptFile.GetDataLen()));
}

TEST(RcDecode, EmptyTextsAndAnEmptyTableDecode) {
    RSInfo info;
    info.Size = 0;
    rc_report_t report;
    std::string body = BodyOf(info);
    ASSERT_EQ(body.size(), static_cast<size_t>(RC_MIN_REPORT_BODY));
    ASSERT_EQ(Decode(body, report), static_cast<uint32>(RC_ERR_NONE));
    EXPECT_TRUE(report.Url.empty());
    EXPECT_TRUE(report.FileName.empty());
    EXPECT_TRUE(report.Tpt.empty());
}

TEST(RcDecode, EveryTruncationIsMalformedAndNothingIsReadPastIt) {
    RSInfo info;
    MakeInfo(info, 70000, 3);
    std::string body = BodyOf(info);
    for (size_t n = 0; n < body.size(); ++n) {
        rc_report_t report;
        EXPECT_EQ(Decode(body.substr(0, n), report), static_cast<uint32>(RC_ERR_MALFORMED)) << n;
    }
}

TEST(RcDecode, ATextLengthRunningPastThePacketIsMalformed) {
    RSInfo info;
    MakeInfo(info, 1000, 4);
    std::string body = BodyOf(info);
    rc_report_t report;
    // Url's length, then FileName's, each pointing past the end.
    std::string url = body;
    url[8] = '\xff';
    url[9] = '\xff';
    EXPECT_EQ(Decode(url, report), static_cast<uint32>(RC_ERR_MALFORMED));
    size_t fileLenOff = 8 + 2 + info.Url.size() + 2 + info.Ref.size();
    std::string file = body;
    uint32 rest = static_cast<uint32>(body.size() - fileLenOff - 2);
    file[fileLenOff] = static_cast<char>((rest + 1) >> 8);
    file[fileLenOff + 1] = static_cast<char>(rest + 1);
    EXPECT_EQ(Decode(file, report), static_cast<uint32>(RC_ERR_MALFORMED));
}

TEST(RcDecode, ATableLengthRunningPastThePacketIsMalformed) {
    RSInfo info;
    MakeInfo(info, 1000, 5);
    std::string body = BodyOf(info);
    BodyLayout l = LayoutOf(body);
    rc_report_t report;
    for (uint32 t : {static_cast<uint32>(body.size() - l.tpt - 16 + 1), 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        std::string bad = body;
        PutBigEndian32(bad, l.tptLen, t);
        EXPECT_EQ(Decode(bad, report), static_cast<uint32>(RC_ERR_MALFORMED)) << t;
    }
}

TEST(RcDecode, BytesLeftOverAreMalformed) {
    RSInfo info;
    MakeInfo(info, 1000, 6);
    std::string body = BodyOf(info);
    rc_report_t report;
    EXPECT_EQ(Decode(body + '\0', report), static_cast<uint32>(RC_ERR_MALFORMED));
    // A table length one short leaves the last byte over.
    BodyLayout l = LayoutOf(body);
    std::string shorter = body;
    PutBigEndian32(shorter, l.tptLen, zqtest::ReadBigEndian32(body, l.tptLen) - 1);
    EXPECT_EQ(Decode(shorter, report), static_cast<uint32>(RC_ERR_MALFORMED));
}

// ---- validation ----

struct SizeCase {
    uint64 size;
    uint32 pieces;
};

class RcValidateSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RcValidateSizes, AConsistentReportIsValid) {
    RSInfo info;
    MakeInfo(info, GetParam().size, 7);
    rc_report_t report;
    ASSERT_EQ(DecodeInfo(info, report), static_cast<uint32>(RC_ERR_NONE));
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_NONE));
    EXPECT_EQ(report.Tpt.size(), 55u + 16u * GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(PieceSizeRule, RcValidateSizes,
                         ::testing::Values(SizeCase{0, 0}, SizeCase{1, 1}, SizeCase{32768, 1}, SizeCase{32769, 2},
                                           SizeCase{100000, 4}, SizeCase{2097152, 64}, SizeCase{2097153, 33},
                                           SizeCase{4294967296ULL, 8192}, SizeCase{4294967297ULL, 8177},
                                           SizeCase{549747425280ULL, 8192}));

class RcValidate : public ::testing::Test {
protected:
    void SetUp() override {
        MakeInfo(info, 100000, 8);
        ASSERT_EQ(DecodeInfo(info, report), static_cast<uint32>(RC_ERR_NONE));
        ASSERT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_NONE));
    }
    // Rewrites a little-endian header field of the table.
    void SetTptU32(size_t off, uint32 v) {
        for (int i = 0; i < 4; ++i) report.Tpt[off + i] = static_cast<unsigned char>(v >> (8 * i));
    }
    RSInfo info;
    rc_report_t report;
};

TEST_F(RcValidate, AnEmptyTableCannotBeChecked) {
    report.Tpt.clear();
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_UNREADABLE));
}

TEST_F(RcValidate, ATruncatedTableIsUnreadable) {
    std::string t = Tpt(report);
    for (size_t n : {size_t(1), size_t(34), size_t(35), size_t(50), t.size() - 1}) {
        SetTpt(report, t.substr(0, n));
        EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_UNREADABLE)) << n;
    }
}

TEST_F(RcValidate, BytesAfterTheTableAreUnreadable) {
    SetTpt(report, Tpt(report) + "x");
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_UNREADABLE));
}

TEST_F(RcValidate, AnotherFormatOrVersionIsUnreadable) {
    rc_report_t other = report;
    other.Tpt[2] = 'X';
    EXPECT_EQ(rc_validate_report(other), static_cast<uint32>(RC_ERR_TPT_UNREADABLE));
    other = report;
    other.Tpt[3] = 5;
    EXPECT_EQ(rc_validate_report(other), static_cast<uint32>(RC_ERR_TPT_UNREADABLE));
}

TEST_F(RcValidate, APieceCountThatDisagreesWithTheSizeIsRefused) {
    // Five digests where 100,000 bytes make four; the table stays whole.
    std::string t = Tpt(report);
    t.insert(35, std::string(16, 'd'));
    SetTpt(report, t);
    SetTptU32(9, 5);
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_MISMATCH));
}

TEST_F(RcValidate, APieceSizeThatBreaksTheRuleIsRefused) {
    report.Tpt[13] = 64;  // SegSize 64 KiB for a 100,000-byte file
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_MISMATCH));
}

TEST_F(RcValidate, ALastPieceSizeThatDisagreesIsRefused) {
    SetTptU32(15, 1697);
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_MISMATCH));
}

TEST_F(RcValidate, ASizeTheTableDoesNotDescribeIsRefused) {
    report.Size = 100001;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_MISMATCH));
    report.Size = 549747425281ULL;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_MISMATCH));
    report.Size = ~0ULL;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_TPT_MISMATCH));
}

TEST_F(RcValidate, AWrongFidIsRefused) {
    report.FID.cVal[19] ^= 1;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_FID));
}

TEST_F(RcValidate, AChangedPieceDigestNoLongerGivesTheFid) {
    report.Tpt[35 + 16 + 3] ^= 0x80;  // the second digest, which the SID does not sample
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_FID));
}

TEST_F(RcValidate, AMismatchedSidIsRefused) {
    report.SID.cVal[0] ^= 1;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_SID));
}

TEST_F(RcValidate, ATableSha1OtherThanTheHashIsRefused) {
    report.Hash.cVal[7] ^= 1;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_HASH));
    report.Hash = info.Hash;
    report.Tpt[report.Tpt.size() - 1] ^= 1;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_HASH));
}

TEST_F(RcValidate, TheFirstFailingCheckNamesTheRejection) {
    report.FID.cVal[0] ^= 1;
    report.SID.cVal[0] ^= 1;
    report.Hash.cVal[0] ^= 1;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_FID));
}

// The verifier and the center read a table's shape in one place: whatever
// one of them refuses as a table, the other refuses too.
TEST(RcValidateShape, TheCenterAndTheVerifierRefuseTheSameTables) {
    for (uint64 size : {uint64(0), uint64(100000)}) {
        RSInfo info;
        MakeInfo(info, size, 12);
        rc_report_t good;
        ASSERT_EQ(DecodeInfo(info, good), static_cast<uint32>(RC_ERR_NONE));
        std::vector<rc_report_t> bad(4, good);
        bad[0].Tpt[13] = static_cast<unsigned char>(bad[0].Tpt[13] + 1);  // SegSize
        for (int b = 0; b < 4; ++b) bad[1].Tpt[15 + b] = static_cast<unsigned char>(32769 >> (8 * b));  // LastSegSize
        bad[2].Tpt[3] = 3;                                                // Version
        bad[3].Tpt.push_back(0);
        tpt_table_t table;
        std::string why;
        EXPECT_EQ(tpt_parse(good.Tpt.data(), good.Tpt.size(), table, why), 0) << size << ": " << why;
        EXPECT_EQ(rc_validate_report(good), static_cast<uint32>(RC_ERR_NONE)) << size;
        for (size_t i = 0; i < bad.size(); ++i) {
            EXPECT_EQ(tpt_parse(bad[i].Tpt.data(), bad[i].Tpt.size(), table, why), -1) << size << ", case " << i;
            uint32 err = rc_validate_report(bad[i]);
            EXPECT_TRUE(err == RC_ERR_TPT_UNREADABLE || err == RC_ERR_TPT_MISMATCH) << size << ", case " << i << ": " << err;
        }
    }
}

TEST(RcValidateEmptyFile, TheToolsEmptyFileReportIsValidWithZeroIdentifiers) {
    RSInfo info;
    MakeInfo(info, 0, 9);
    EXPECT_TRUE(info.FID.IsZero());
    rc_report_t report;
    ASSERT_EQ(DecodeInfo(info, report), static_cast<uint32>(RC_ERR_NONE));
    EXPECT_EQ(report.Tpt.size(), 55u);
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_NONE));
    report.FID.cVal[0] = 1;
    EXPECT_EQ(rc_validate_report(report), static_cast<uint32>(RC_ERR_FID));
}

// ---- whole requests ----

TEST(RcCheckRequest, AGoodRequestPassesWithItsBodyDecoded) {
    RSInfo info;
    MakeInfo(info, 40000, 10);
    std::string packet = RequestOf(info, 3);
    rc_report_t report;
    EXPECT_EQ(rc_check_request(reinterpret_cast<const unsigned char*>(packet.data()), packet.size(), report),
              static_cast<uint32>(RC_ERR_NONE));
    EXPECT_EQ(report.FID, info.FID);
}

TEST(RcCheckRequest, AnotherCommandIsUnknown) {
    RSInfo info;
    MakeInfo(info, 40000, 11);
    std::string body = BodyOf(info);
    EXPECT_EQ(Check(PacketOf(body, 1, RC_CMD_REPORT_RESPONSE)), static_cast<uint32>(RC_ERR_UNKNOWN_CMD));
    EXPECT_EQ(Check(PacketOf(body, 1, 0)), static_cast<uint32>(RC_ERR_UNKNOWN_CMD));
}

TEST(RcCheckRequest, AHeaderLengthOtherThanThePacketIsMalformed) {
    RSInfo info;
    MakeInfo(info, 40000, 12);
    std::string packet = RequestOf(info, 1);
    EXPECT_EQ(Check(packet.substr(0, packet.size() - 1)), static_cast<uint32>(RC_ERR_MALFORMED));
    EXPECT_EQ(Check(packet.substr(0, 39)), static_cast<uint32>(RC_ERR_MALFORMED));
    // A header alone: no body to decode.
    EXPECT_EQ(Check(PacketOf("", 1)), static_cast<uint32>(RC_ERR_MALFORMED));
}

// ---- response ----

TEST(RcResponse, FortyEightBytesWithTheRequestsSequenceNumber) {
    unsigned char out[RC_RESPONSE_LEN];
    rc_make_response(0x01020304, 3, 28, out);
    const unsigned char expect[RC_RESPONSE_LEN] = {
        0x00, 0x00, 0x00, 0x64, 0x01, 0x2D, 0xD6, 0x68, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x01,
        0x00, 0x00, 0x00, 0x30, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
        0,    0,    0,    0,    0x00, 0x01, 0x09, 0x08, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x1C};
    EXPECT_EQ(memcmp(out, expect, sizeof(expect)), 0);
}

// ---- journal line ----

TEST(RcJournalLine, TimeFirstThenZqIdentsFieldsThenTheTexts) {
    RSInfo info;
    MakeInfo(info, 100000, 13, "clip.avi");
    rc_report_t report;
    ASSERT_EQ(DecodeInfo(info, report), static_cast<uint32>(RC_ERR_NONE));
    std::string line = rc_tsv_line(report, 86400 + 3661);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);

    std::vector<std::pair<std::string, std::string> > expect;
    expect.emplace_back("time", "1970-01-02T01:01:01Z");
    for (const rc_field_t& f : rc_info_fields(info)) expect.emplace_back(f.Key, f.Value);
    expect.emplace_back("file", "clip.avi");
    expect.emplace_back("ext", "avi");
    expect.emplace_back("url", "http://downloads.example.com/clip.avi");
    expect.emplace_back("ref", ZQ_RC_REFERRER_URL);
    EXPECT_EQ(Fields(line.substr(0, line.size() - 1)), expect);
}

TEST(RcJournalLine, TextsCannotSplitTheLineOrItsFields) {
    RSInfo info;
    MakeInfo(info, 1000, 14);
    rc_report_t report;
    ASSERT_EQ(DecodeInfo(info, report), static_cast<uint32>(RC_ERR_NONE));
    report.FileName = std::string("a\tb\nc\\d\re\x01\x7f=\xc3\xa9", 14);
    report.Url = std::string("\0x", 2);
    std::string line = rc_tsv_line(report, 0);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    auto fields = Fields(line.substr(0, line.size() - 1));
    ASSERT_EQ(fields.size(), 13u);
    EXPECT_EQ(fields[9].first, "file");
    EXPECT_EQ(fields[9].second, "a\\tb\\nc\\\\d\\re\\x01\\x7f=\xc3\xa9");
    EXPECT_EQ(fields[11].second, "\\x00x");
}

}  // namespace
