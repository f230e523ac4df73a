#include "req_sig.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "str_util.h"

namespace {

const unsigned char kSecret[SIG_SECRET_LEN] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                               0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const std::string kPath = "/v1/resources/0123456789abcdef0123456789abcdef01234567/remove";
const sint64 kNow = 1765000000;

stSigFields Fields(uint32 user, uint32 time) {
    stSigFields f;
    for (size_t i = 0; i < SIG_KEY_LEN; ++i) f.Key[i] = static_cast<unsigned char>(0xa0 + i);
    f.Time = time;
    f.User = user;
    return f;
}

std::string Mint(uint32 user, uint32 time, const std::string& path = kPath, const unsigned char* secret = kSecret) {
    std::string token;
    EXPECT_EQ(0, SigMint(secret, Fields(user, time), path, token));
    return token;
}

ESigResult Check(const std::string& token, uint32 user, const std::string& path = kPath) {
    stSigFields opened;
    return SigCheck(kSecret, token.data(), token.size(), path, user, kNow, SIG_DEFAULT_WINDOW_S, opened);
}

// The token exactly as the documented layout describes it, built with the
// cipher directly, in upper-case hex.
std::string HandMadeToken(const unsigned char* nonce, const unsigned char* plain) {
    unsigned char raw[SIG_HEX_LEN / 2];
    memcpy(raw, nonce, 12);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, kSecret, nonce));
    EXPECT_EQ(1, EVP_EncryptUpdate(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(kPath.data()),
                                   static_cast<int>(kPath.size())));
    EXPECT_EQ(1, EVP_EncryptUpdate(ctx, raw + 12, &len, plain, 24));
    EXPECT_EQ(1, EVP_EncryptFinal_ex(ctx, raw + 36, &len));
    EXPECT_EQ(1, EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, raw + 36));
    EVP_CIPHER_CTX_free(ctx);
    char hex[SIG_HEX_LEN + 1];
    BinBufToHexStr(hex, sizeof(hex), raw, sizeof(raw));
    for (char& c : hex) c = static_cast<char>(toupper(c));
    return std::string(hex, SIG_HEX_LEN);
}

}  // namespace

TEST(SigFormat, OpensATokenBuiltFromTheDocumentedLayout) {
    const unsigned char nonce[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    unsigned char plain[24];
    for (int i = 0; i < 16; ++i) plain[i] = static_cast<unsigned char>(0x10 * i + 1);
    const unsigned char tail[8] = {0x69, 0x34, 0x8b, 0x80, 0x00, 0x01, 0x02, 0x03};  // 1765051264, 66051
    memcpy(plain + 16, tail, 8);
    std::string token = HandMadeToken(nonce, plain);
    stSigFields opened;
    ASSERT_EQ(SIG_OK, SigCheck(kSecret, token.data(), token.size(), kPath, 66051, 1765051264, 0, opened));
    EXPECT_EQ(0, memcmp(opened.Key, plain, 16));
    EXPECT_EQ(1765051264u, opened.Time);
    EXPECT_EQ(66051u, opened.User);
}

TEST(SigCheck, AMintedTokenOpensAndEachTakesAFreshNonce) {
    const std::string a = Mint(7, static_cast<uint32>(kNow));
    EXPECT_EQ(SIG_OK, Check(a, 7));
    EXPECT_NE(a.substr(0, 24), Mint(7, static_cast<uint32>(kNow)).substr(0, 24));
}

TEST(SigCheck, EveryChangedDigitFailsAuthentication) {
    const std::string token = Mint(7, static_cast<uint32>(kNow));
    for (size_t i = 0; i < token.size(); ++i) {
        std::string bad = token;
        bad[i] = bad[i] == '0' ? '8' : '0';
        EXPECT_EQ(SIG_AUTH_FAILED, Check(bad, 7)) << "digit " << i;
    }
}

TEST(SigCheck, AnotherPathSecretOrUserIsRefused) {
    const std::string token = Mint(7, static_cast<uint32>(kNow));
    EXPECT_EQ(SIG_AUTH_FAILED, Check(token, 7, kPath.substr(0, kPath.size() - 1)));
    EXPECT_EQ(SIG_AUTH_FAILED, Check(token, 7, kPath + "?x=1"));
    unsigned char other[SIG_SECRET_LEN];
    memcpy(other, kSecret, sizeof(other));
    other[15] ^= 1;
    EXPECT_EQ(SIG_AUTH_FAILED, Check(Mint(7, static_cast<uint32>(kNow), kPath, other), 7));
    EXPECT_EQ(SIG_WRONG_USER, Check(token, 8));
}

TEST(SigCheck, TheWindowHoldsEitherSideOfNowInclusive) {
    EXPECT_EQ(SIG_OK, Check(Mint(7, static_cast<uint32>(kNow - 300)), 7));
    EXPECT_EQ(SIG_OK, Check(Mint(7, static_cast<uint32>(kNow + 300)), 7));
    EXPECT_EQ(SIG_STALE, Check(Mint(7, static_cast<uint32>(kNow - 301)), 7));
    EXPECT_EQ(SIG_STALE, Check(Mint(7, static_cast<uint32>(kNow + 301)), 7));
    // A wrong user is named before the time.
    EXPECT_EQ(SIG_WRONG_USER, Check(Mint(7, 0), 8));
}

TEST(SigCheck, LengthThenHexAreCheckedBeforeTheCipher) {
    const std::string token = Mint(7, static_cast<uint32>(kNow));
    EXPECT_EQ(SIG_BAD_LENGTH, Check(token.substr(1), 7));
    EXPECT_EQ(SIG_BAD_LENGTH, Check(token.substr(2), 7));
    EXPECT_EQ(SIG_BAD_LENGTH, Check(token + "00", 7));
    EXPECT_EQ(SIG_BAD_LENGTH, Check("", 7));
    std::string upper = token;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(SIG_OK, Check(upper, 7));
    for (char c : {'g', ' ', 'x', '\0'}) {
        std::string bad = token;
        bad[50] = c;
        EXPECT_EQ(SIG_BAD_HEX, Check(bad, 7)) << static_cast<int>(c);
    }
}
