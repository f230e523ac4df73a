#include "req_sig.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <memory>

#include "str_util.h"

namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
typedef std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> CipherCtxPtr;

const size_t kCipherOff = SIG_NONCE_LEN;
const size_t kTagOff = SIG_NONCE_LEN + SIG_PLAIN_LEN;
const size_t kRawLen = SIG_HEX_LEN / 2;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void PutBigEndian32(unsigned char* p, uint32 v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32 GetBigEndian32(const unsigned char* p) {
    return (static_cast<uint32>(p[0]) << 24) | (static_cast<uint32>(p[1]) << 16) | (static_cast<uint32>(p[2]) << 8) |
           p[3];
}

// Sets up the cipher with the secret, the nonce and the path as associated data.
bool StartGcm(EVP_CIPHER_CTX* pCtx, bool bEncrypt, const unsigned char* pSecret, const unsigned char* pNonce,
              const std::string& strPath) {
    if (strPath.size() > static_cast<size_t>(INT_MAX)) return false;
    const EVP_CIPHER* pCipher = EVP_aes_128_gcm();
    int iOk = bEncrypt ? EVP_EncryptInit_ex(pCtx, pCipher, nullptr, nullptr, nullptr)
                       : EVP_DecryptInit_ex(pCtx, pCipher, nullptr, nullptr, nullptr);
    if (iOk != 1) return false;
    if (EVP_CIPHER_CTX_ctrl(pCtx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(SIG_NONCE_LEN), nullptr) != 1) return false;
    iOk = bEncrypt ? EVP_EncryptInit_ex(pCtx, nullptr, nullptr, pSecret, pNonce)
                   : EVP_DecryptInit_ex(pCtx, nullptr, nullptr, pSecret, pNonce);
    if (iOk != 1) return false;
    if (strPath.empty()) return true;
    int iOutLen = 0;
    const unsigned char* pAad = reinterpret_cast<const unsigned char*>(strPath.data());
    const int iAadLen = static_cast<int>(strPath.size());
    iOk = bEncrypt ? EVP_EncryptUpdate(pCtx, nullptr, &iOutLen, pAad, iAadLen)
                   : EVP_DecryptUpdate(pCtx, nullptr, &iOutLen, pAad, iAadLen);
    return iOk == 1;
}

// Decrypts and verifies the raw token; false when the tag does not verify.
bool OpenRaw(const unsigned char* pSecret, unsigned char* pRaw, const std::string& strPath,
             unsigned char* pPlain) {
    CipherCtxPtr pCtx(EVP_CIPHER_CTX_new());
    if (pCtx == nullptr || !StartGcm(pCtx.get(), false, pSecret, pRaw, strPath)) return false;
    int iLen = 0;
    if (EVP_DecryptUpdate(pCtx.get(), pPlain, &iLen, pRaw + kCipherOff, static_cast<int>(SIG_PLAIN_LEN)) != 1)
        return false;
    if (EVP_CIPHER_CTX_ctrl(pCtx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(SIG_TAG_LEN), pRaw + kTagOff) != 1)
        return false;
    int iFinal = 0;
    return EVP_DecryptFinal_ex(pCtx.get(), pPlain + iLen, &iFinal) == 1;
}

}  // namespace

const char* SigResultText(ESigResult eResult) {
    switch (eResult) {
        case SIG_OK: return "ok";
        case SIG_BAD_LENGTH: return "bad length";
        case SIG_BAD_HEX: return "bad hex";
        case SIG_AUTH_FAILED: return "authentication failed";
        case SIG_WRONG_USER: return "wrong user";
        case SIG_STALE: return "stale";
    }
    return "unknown";
}

int SigFromHex(const char* pHex, size_t iHexLen, unsigned char* pOut, size_t iOutLen) {
    if (iHexLen != 2 * iOutLen) return -1;
    for (size_t i = 0; i < iOutLen; ++i) {
        if (!IsHexDigit(pHex[2 * i]) || !IsHexDigit(pHex[2 * i + 1])) return -1;
        pOut[i] = static_cast<unsigned char>((atoh(pHex[2 * i]) << 4) | atoh(pHex[2 * i + 1]));
    }
    return 0;
}

ESigResult SigCheck(const unsigned char* pSecret, const char* pSig, size_t iSigLen, const std::string& strPath,
                    uint32 uiExpectUser, sint64 tNow, uint32 uiWindowS, stSigFields& oFields) {
    if (iSigLen != SIG_HEX_LEN) return SIG_BAD_LENGTH;
    unsigned char aRaw[kRawLen];
    if (SigFromHex(pSig, iSigLen, aRaw, kRawLen) != 0) return SIG_BAD_HEX;
    unsigned char aPlain[SIG_PLAIN_LEN + 16];
    const bool bOpened = OpenRaw(pSecret, aRaw, strPath, aPlain);
    if (bOpened) {
        memcpy(oFields.Key, aPlain, SIG_KEY_LEN);
        oFields.Time = GetBigEndian32(aPlain + SIG_KEY_LEN);
        oFields.User = GetBigEndian32(aPlain + SIG_KEY_LEN + 4);
    }
    OPENSSL_cleanse(aPlain, sizeof(aPlain));
    if (!bOpened) return SIG_AUTH_FAILED;
    if (oFields.User != uiExpectUser) return SIG_WRONG_USER;
    const sint64 tAge = tNow - static_cast<sint64>(oFields.Time);
    if (tAge > static_cast<sint64>(uiWindowS) || -tAge > static_cast<sint64>(uiWindowS)) return SIG_STALE;
    return SIG_OK;
}

int SigMint(const unsigned char* pSecret, const stSigFields& oFields, const std::string& strPath,
            std::string& strToken) {
    unsigned char aRaw[kRawLen];
    unsigned char aPlain[SIG_PLAIN_LEN];
    if (SigRandomBytes(aRaw, SIG_NONCE_LEN) != 0) return -1;
    memcpy(aPlain, oFields.Key, SIG_KEY_LEN);
    PutBigEndian32(aPlain + SIG_KEY_LEN, oFields.Time);
    PutBigEndian32(aPlain + SIG_KEY_LEN + 4, oFields.User);

    CipherCtxPtr pCtx(EVP_CIPHER_CTX_new());
    int iLen = 0;
    int iFinal = 0;
    bool bOk = pCtx != nullptr && StartGcm(pCtx.get(), true, pSecret, aRaw, strPath) &&
               EVP_EncryptUpdate(pCtx.get(), aRaw + kCipherOff, &iLen, aPlain, static_cast<int>(SIG_PLAIN_LEN)) == 1 &&
               static_cast<size_t>(iLen) == SIG_PLAIN_LEN &&
               EVP_EncryptFinal_ex(pCtx.get(), aRaw + kCipherOff + iLen, &iFinal) == 1 && iFinal == 0 &&
               EVP_CIPHER_CTX_ctrl(pCtx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(SIG_TAG_LEN),
                                   aRaw + kTagOff) == 1;
    OPENSSL_cleanse(aPlain, sizeof(aPlain));
    if (!bOk) return -1;
    char szHex[SIG_HEX_LEN + 1];
    if (BinBufToHexStr(szHex, sizeof(szHex), aRaw, kRawLen) < 0) return -1;
    strToken.assign(szHex, SIG_HEX_LEN);
    return 0;
}

int SigRandomBytes(unsigned char* pOut, size_t iLen) {
    if (iLen > static_cast<size_t>(INT_MAX)) return -1;
    return RAND_bytes(pOut, static_cast<int>(iLen)) == 1 ? 0 : -1;
}
