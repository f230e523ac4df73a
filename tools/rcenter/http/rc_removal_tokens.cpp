#include "rc_removal_tokens.h"

#include <algorithm>

ERcTokenUse CRcRemovalTokens::Use(const std::string& strToken, uint32 uiTime, sint64 tNow) {
    Expire(tNow);
    std::string strKey = strToken;
    std::transform(strKey.begin(), strKey.end(), strKey.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (m_oSeen.count(strKey) != 0) return RC_TOKEN_SEEN;
    if (m_oSeen.size() >= m_iMaxTokens) return RC_TOKEN_FULL;
    m_oByExpiry.emplace(static_cast<sint64>(uiTime) + m_uiWindowS, strKey);
    m_oSeen.insert(std::move(strKey));
    return RC_TOKEN_FRESH;
}

// A token whose time is more than the window behind the clock is refused
// as stale before it gets here, so it need not be remembered.
void CRcRemovalTokens::Expire(sint64 tNow) {
    while (!m_oByExpiry.empty() && m_oByExpiry.begin()->first < tNow) {
        m_oSeen.erase(m_oByExpiry.begin()->second);
        m_oByExpiry.erase(m_oByExpiry.begin());
    }
}
