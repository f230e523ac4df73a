// Signed requests: a token that proves its holder knows the server's 16-byte
// secret, binds one request path and one user number, and expires. A token is
// the hex (either case) of nonce (12 bytes) | ciphertext (24) | tag (16),
// 104 digits: AES-128-GCM under the secret, with the path as sent (no query)
// as associated data, over key (16) | time (u32 big-endian Unix seconds) |
// user (u32 big-endian). Calls return a value; nothing throws or logs, so the
// secret and the opened key stay with the caller.
#ifndef ZQ_REQ_SIG_H
#define ZQ_REQ_SIG_H

#include <cstddef>
#include <string>

#include "common_header.h"

const size_t SIG_SECRET_LEN = 16;
const size_t SIG_NONCE_LEN = 12;
const size_t SIG_KEY_LEN = 16;
const size_t SIG_PLAIN_LEN = SIG_KEY_LEN + 4 + 4;
const size_t SIG_TAG_LEN = 16;
const size_t SIG_HEX_LEN = 2 * (SIG_NONCE_LEN + SIG_PLAIN_LEN + SIG_TAG_LEN);
const uint32 SIG_DEFAULT_WINDOW_S = 300;

// Checked in this order; the first that fails is the verdict.
enum ESigResult {
    SIG_OK = 0,
    SIG_BAD_LENGTH,   // not SIG_HEX_LEN characters
    SIG_BAD_HEX,      // a character that is not a hex digit
    SIG_AUTH_FAILED,  // the tag does not verify: another secret or path, or a changed byte
    SIG_WRONG_USER,   // opened, but for another user
    SIG_STALE,        // opened, but its time is outside the window
};

// "ok", "bad length", "bad hex", "authentication failed", "wrong user", "stale".
const char* SigResultText(ESigResult eResult);

struct stSigFields {
    unsigned char Key[SIG_KEY_LEN];
    uint32 Time;
    uint32 User;
};

// Exactly 2 * iOutLen hex digits (either case) into pOut; 0, or -1 with
// pOut unspecified.
int SigFromHex(const char* pHex, size_t iHexLen, unsigned char* pOut, size_t iOutLen);

// Opens a token and checks it: the tag, then oExpectUser, then that its time
// is within uiWindowS seconds of tNow either way. oFields holds what was
// opened whenever the tag verified (SIG_OK, SIG_WRONG_USER, SIG_STALE).
ESigResult SigCheck(const unsigned char* pSecret, const char* pSig, size_t iSigLen, const std::string& strPath,
                    uint32 uiExpectUser, sint64 tNow, uint32 uiWindowS, stSigFields& oFields);

// A token for oFields on strPath (lowercase hex) under a fresh random nonce.
// 0, or -1 when no random bytes or no cipher could be had.
int SigMint(const unsigned char* pSecret, const stSigFields& oFields, const std::string& strPath,
            std::string& strToken);

// Cryptographically random bytes; 0 or -1.
int SigRandomBytes(unsigned char* pOut, size_t iLen);

#endif
