// Identifiers of fixed files against answers computed once outside our code
// (tests/support/known_answers.py: hashlib for MD5 and SHA-1, MD4 from RFC
// 1320, the identifiers from their description), so a formula misread in
// the code and in a test alike still fails here. Every way of reading the
// file must give the same answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files.h"
#include "hashval.h"
#include "rc_digests.h"
#include "rc_record.h"
#include "helper.h"

namespace {

struct Known {
    uint64_t size;
    uint32_t pieceSize;
    uint32_t pieces;
    const char* md4;
    const char* sha1;
    const char* sid;
    const char* fid;
    const char* table;  // the whole table in hex, or its first 35 bytes when long
    const char* tableSha1;
    size_t tableBytes;
};

const Known kKnown[] = {
    // one byte
    {1, 32768, 1, "bde52cb31de33e46245e05fbdbd6fb24", "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8", "1fe8d05c5a831c13cd274201186c99d24d3dc77e", "17635f3a3ccace4c70d568624dd14805b5dae619",
     "54505404000000000001000000200001000000000000000000000000000000000000000cc175b9c0f1b6a831c399e26977266186f7e437faa5a7fce15d1ddcb9eaeaea377667b8", "187aa3db8873c61f5405c050ac51a49affc9dcfc", 71},
    // exactly one piece
    {32768, 32768, 1, "46f6c61b70042bd08894792abb294379", "9dbe5260858a0f960c062aa8f8d3914ff5bde250", "1250cadb4fd8277036f0af2da6b232bf94aa4ae3", "117fb2c37fb852de1c88904f22b1c411f37f8e3e",
     "5450540400000000000100000020000080000000000000000000000000000000000000a9ab613dcfcd605013eccd686ace89229dbe5260858a0f960c062aa8f8d3914ff5bde250", "cb6d48e27fffedb087c9b058a5f47f7efd5b9ff3", 71},
    // one byte past the 2 MiB step (sparse)
    {2097153, 65536, 33, "9ce42945400b47b26222cef3ae9885e5", "69d5b930d94540c401a9b9b21ef0d3f66e985d81", "16125ec750e9a8e515c98df3423b291630be9358", "c710ca1ff5a0ee607ade029c72fa786e3b29b1e1",
     "5450540400000000002100000040000100000000000000000000000000000000000000", "9a638c14259dcdf63bb77774788dce990fc7c52b", 583},
    // one byte past the first MD4 chunk (sparse)
    {9728001, 65536, 149, "06329e9dba1373512c06386fe29e3c65", "baee781d9c46776c85485d48ee262655a4f25634", "8317e400519dab926b3e4daa68a5d8d3ac84e108", "bef8df574df6d32d5c563ec81d03c98c137f902f",
     "5450540400000000009500000040000170000000000000000000000000000000000000", "9e7985f4880f7bd563faa2181a9847d6ecc40bda", 2439},
};

// The files' bytes: "a", then i % 251 for the 32 KiB piece, then zeros.
std::string WriteKnownFile(const zqtest::TempDir& dir, const Known& k) {
    const std::string path = dir.file("known_" + std::to_string(k.size));
    if (k.size == 1) {
        zqtest::WriteFile(path, "a");
    } else if (k.size == 32768) {
        std::string data(32768, '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
        zqtest::WriteFile(path, data);
    } else {
        zqtest::WriteSparseFile(path, k.size, {});
    }
    return path;
}

std::string Sha1Hex(const unsigned char* p, size_t n) {
    unsigned char out[20];
    CHelper::DoSha1(p, static_cast<unsigned int>(n), out);
    return HashBytesToHex(out, 20);
}

class KnownAnswers : public ::testing::TestWithParam<rc_digest_mode> {};

TEST_P(KnownAnswers, EveryFixedFileGivesItsDigestsIdentifiersAndTable) {
    zqtest::TempDir dir;
    for (const Known& k : kKnown) {
        SCOPED_TRACE("size " + std::to_string(k.size));
        rc_digests_t digests;
        ASSERT_EQ(compute_rc_digests(WriteKnownFile(dir, k), digests, rc_digest_opts(GetParam(), 2)), RC_DIGESTS_OK);
        RSInfo info;
        fill_rc_info(digests, "known.bin", "http://x/known.bin", info);
        EXPECT_EQ(info.MD4.Hex(), k.md4);
        EXPECT_EQ(info.Hash.Hex(), k.sha1);
        EXPECT_EQ(info.SID.Hex(), k.sid);
        EXPECT_EQ(info.FID.Hex(), k.fid);
        const unsigned char* table = info.TptFile.GetBegPnt();
        const size_t bytes = info.TptFile.GetDataLen();
        ASSERT_EQ(bytes, k.tableBytes);
        const std::string shown = std::string(k.table);
        EXPECT_EQ(HashBytesToHex(table, static_cast<unsigned int>(shown.size() / 2)), shown);
        EXPECT_EQ(Sha1Hex(table, bytes), k.tableSha1);
    }
}

INSTANTIATE_TEST_SUITE_P(ReadingWays, KnownAnswers,
                         ::testing::Values(RC_DIGEST_UNTHROTTLED, RC_DIGEST_ONE_PASS));

}  // namespace
