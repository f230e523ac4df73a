// An application/x-www-form-urlencoded body as name/value byte strings.
// Parse splits at '&' and at the first '=' of each pair, reads '+' as a space
// and decodes %XX; empty pairs ("a=1&&b=2", a trailing '&') are skipped. It
// returns FORM_OK or the one reason the whole form is refused, and then holds
// no pairs. Get answers the first pair of a name, so a repeated name cannot
// override an earlier one. The form owns copies; nothing borrows the input.
#ifndef ZQ_POST_FORM_H
#define ZQ_POST_FORM_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

enum EPostFormResult {
    FORM_OK = 0,
    FORM_TOO_LONG,    // more than POST_FORM_MAX_BYTES bytes
    FORM_TOO_MANY,    // more than POST_FORM_MAX_PAIRS pairs
    FORM_BAD_ESCAPE,  // '%' not followed by two hex digits
    FORM_NUL,         // a NUL byte, sent as is or as %00
};

const size_t POST_FORM_MAX_BYTES = 8192;
const size_t POST_FORM_MAX_PAIRS = 64;

// "too long", "too many pairs", "invalid escape", "NUL byte", "ok".
const char* PostFormResultText(EPostFormResult eResult);

class CPostForm {
public:
    typedef std::pair<std::string, std::string> pair_t;

    EPostFormResult Parse(const char* pData, size_t iLen);
    // The value of the first pair named strName, or null.
    const std::string* Get(const std::string& strName) const;
    // Every pair in the order sent, repeated names included.
    const std::vector<pair_t>& Pairs() const { return m_Pairs; }

private:
    std::vector<pair_t> m_Pairs;
};

#endif
