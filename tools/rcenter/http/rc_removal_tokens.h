// CRcRemovalTokens: the removal tokens the center has accepted, kept while their
// time could still pass the window, so a token is used once. Memory is
// bounded by the window (a token is let go once its time is outside it) and
// by a hard cap: when the cap is reached with tokens still live, a new one is
// refused (RC_TOKEN_FULL) rather than an old one forgotten, since a
// forgotten token could be used again. Single-threaded.
#ifndef ZQ_RC_REMOVAL_TOKENS_H
#define ZQ_RC_REMOVAL_TOKENS_H

#include <cstddef>
#include <map>
#include <string>
#include <unordered_set>

#include "common_header.h"

enum ERcTokenUse {
    RC_TOKEN_FRESH,  // first use: now remembered
    RC_TOKEN_SEEN,   // used before
    RC_TOKEN_FULL,   // not remembered: the cap is reached; refuse the request
};

class CRcRemovalTokens {
public:
    enum : size_t { DEFAULT_MAX_TOKENS = 16384 };

    explicit CRcRemovalTokens(uint32 uiWindowS, size_t iMaxTokens = DEFAULT_MAX_TOKENS)
        : m_uiWindowS(uiWindowS), m_iMaxTokens(iMaxTokens) {}

    // A token that opened with the time uiTime, judged at tNow. The token's
    // hex is compared without regard to case: both spell the same bytes.
    ERcTokenUse Use(const std::string& strToken, uint32 uiTime, sint64 tNow);
    size_t Size() const { return m_oSeen.size(); }

private:
    void Expire(sint64 tNow);

    uint32 m_uiWindowS;
    size_t m_iMaxTokens;
    std::unordered_set<std::string> m_oSeen;
    std::multimap<sint64, std::string> m_oByExpiry;  // last second a token can pass -> token
};

#endif
