#include "post_form.h"

#include "str_util.h"

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Decodes one name or value into strOut.
EPostFormResult Decode(const char* pData, size_t iLen, std::string& strOut) {
    strOut.clear();
    strOut.reserve(iLen);
    for (size_t i = 0; i < iLen; ++i) {
        char c = pData[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (iLen - i < 3 || !IsHexDigit(pData[i + 1]) || !IsHexDigit(pData[i + 2])) return FORM_BAD_ESCAPE;
            c = static_cast<char>((atoh(pData[i + 1]) << 4) | atoh(pData[i + 2]));
            i += 2;
        }
        if (c == '\0') return FORM_NUL;
        strOut += c;
    }
    return FORM_OK;
}

}  // namespace

const char* PostFormResultText(EPostFormResult eResult) {
    switch (eResult) {
        case FORM_OK: return "ok";
        case FORM_TOO_LONG: return "too long";
        case FORM_TOO_MANY: return "too many pairs";
        case FORM_BAD_ESCAPE: return "invalid escape";
        case FORM_NUL: return "NUL byte";
    }
    return "unknown";
}

EPostFormResult CPostForm::Parse(const char* pData, size_t iLen) {
    m_Pairs.clear();
    if (iLen > POST_FORM_MAX_BYTES) return FORM_TOO_LONG;
    EPostFormResult eResult = FORM_OK;
    size_t iFrom = 0;
    while (iFrom <= iLen && eResult == FORM_OK) {
        size_t iEnd = iFrom;
        while (iEnd < iLen && pData[iEnd] != '&') ++iEnd;
        if (iEnd > iFrom) {
            if (m_Pairs.size() == POST_FORM_MAX_PAIRS) {
                eResult = FORM_TOO_MANY;
                break;
            }
            size_t iEq = iFrom;
            while (iEq < iEnd && pData[iEq] != '=') ++iEq;
            pair_t oPair;
            eResult = Decode(pData + iFrom, iEq - iFrom, oPair.first);
            if (eResult == FORM_OK && iEq < iEnd) eResult = Decode(pData + iEq + 1, iEnd - iEq - 1, oPair.second);
            if (eResult == FORM_OK) m_Pairs.push_back(std::move(oPair));
        }
        iFrom = iEnd + 1;
    }
    if (eResult != FORM_OK) m_Pairs.clear();
    return eResult;
}

const std::string* CPostForm::Get(const std::string& strName) const {
    for (const pair_t& oPair : m_Pairs) {
        if (oPair.first == strName) return &oPair.second;
    }
    return nullptr;
}
