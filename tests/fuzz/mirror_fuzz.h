// A mirror's answer head as zq_fetch reads it (fetch_http): the first line
// of the input is taken as a Content-Range value, the second as a
// Content-Length. Whatever is accepted must read back the same from its
// canonical form, hold FIRST <= LAST, and nothing refused may be canonical.
#ifndef ZQ_MIRROR_FUZZ_H
#define ZQ_MIRROR_FUZZ_H

#include <string>

#include "fetch_http.h"
#include "fuzz_harness.h"

namespace zqfuzz {

inline int MirrorFuzz(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t nl = text.find('\n');
    const std::string range = text.substr(0, nl);
    const std::string length = nl == std::string::npos ? std::string() : text.substr(nl + 1);
    unsigned long long first = 0, last = 0, total = 0;
    bool hasTotal = false;
    if (fetch_content_range(range, first, last, hasTotal, total)) {
        ZQ_FUZZ_CHECK(first <= last);
        const std::string again = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                  (hasTotal ? std::to_string(total) : std::string("*"));
        unsigned long long f2 = 0, l2 = 0, t2 = 0;
        bool h2 = false;
        ZQ_FUZZ_CHECK(fetch_content_range(again, f2, l2, h2, t2));
        ZQ_FUZZ_CHECK(f2 == first && l2 == last && h2 == hasTotal && (!hasTotal || t2 == total));
    }
    unsigned long long value = 0;
    if (fetch_http_number(length, value)) {
        unsigned long long again = 0;
        ZQ_FUZZ_CHECK(fetch_http_number(std::to_string(value), again) && again == value);
        for (char c : length) ZQ_FUZZ_CHECK(c >= '0' && c <= '9');
    }
    return 0;
}

}  // namespace zqfuzz

#endif
