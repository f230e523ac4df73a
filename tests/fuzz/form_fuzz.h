// The form parser (CPostForm) over arbitrary bodies. The verdict must be the
// one the body's text calls for: too long exactly above 8 KiB, otherwise a
// refusal only where the body holds a bad escape, a NUL or more than 64
// pairs; an accepted form has one pair per non-empty '&' segment, answers
// each name with its first value, and parses back to the same pairs once
// written out with every byte escaped.
#ifndef ZQ_FORM_FUZZ_H
#define ZQ_FORM_FUZZ_H

#include <string>
#include <vector>

#include "fuzz_harness.h"
#include "post_form.h"

namespace zqfuzz {

namespace formdetail {

inline bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

inline std::string EscapeAll(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += '%';
        out += kHex[u >> 4];
        out += kHex[u & 15];
    }
    return out;
}

}  // namespace formdetail

inline int FormFuzz(const uint8_t* data, size_t size) {
    using namespace formdetail;
    const std::string body(reinterpret_cast<const char*>(data), size);
    CPostForm form;
    const EPostFormResult result = form.Parse(body.data(), body.size());
    ZQ_FUZZ_CHECK((result == FORM_TOO_LONG) == (size > POST_FORM_MAX_BYTES));
    if (result == FORM_TOO_LONG) return 0;

    bool badEscape = false;
    bool nul = body.find('\0') != std::string::npos;
    for (size_t i = 0; i < size; ++i) {
        if (body[i] != '%') continue;
        if (i + 2 >= size || !IsHex(body[i + 1]) || !IsHex(body[i + 2])) {
            badEscape = true;
        } else if (body[i + 1] == '0' && body[i + 2] == '0') {
            nul = true;
        }
    }
    size_t segments = 0;
    for (const std::string& part : SplitInput(data, size, "&")) segments += part.empty() ? 0 : 1;

    if (result != FORM_OK) {
        ZQ_FUZZ_CHECK(form.Pairs().empty());
        ZQ_FUZZ_CHECK(result != FORM_BAD_ESCAPE || badEscape);
        ZQ_FUZZ_CHECK(result != FORM_NUL || nul);
        ZQ_FUZZ_CHECK(result != FORM_TOO_MANY || segments > POST_FORM_MAX_PAIRS);
        return 0;
    }
    ZQ_FUZZ_CHECK(!badEscape && !nul && segments <= POST_FORM_MAX_PAIRS);
    ZQ_FUZZ_CHECK(form.Pairs().size() == segments);
    std::string again;
    for (const CPostForm::pair_t& pair : form.Pairs()) {
        ZQ_FUZZ_CHECK(pair.first.find('\0') == std::string::npos && pair.second.find('\0') == std::string::npos);
        const std::string* first = form.Get(pair.first);
        ZQ_FUZZ_CHECK(first != nullptr);
        for (const CPostForm::pair_t& earlier : form.Pairs()) {
            if (earlier.first != pair.first) continue;
            ZQ_FUZZ_CHECK(first == &earlier.second);
            break;
        }
        again += (again.empty() ? "" : "&") + EscapeAll(pair.first) + "=" + EscapeAll(pair.second);
    }
    // Written out, every byte is three; only what fits the limit is read back.
    if (again.size() > POST_FORM_MAX_BYTES) return 0;
    CPostForm back;
    ZQ_FUZZ_CHECK(back.Parse(again.data(), again.size()) == FORM_OK);
    ZQ_FUZZ_CHECK(back.Pairs() == form.Pairs());
    return 0;
}

}  // namespace zqfuzz

#endif
