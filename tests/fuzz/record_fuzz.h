// The center's record as zq_fetch reads it (fetch_parse_record) over
// arbitrary bytes. Whatever it accepts, written back out as JSON with every
// text escaped, must read back to the same record: the reader keeps the
// bytes of a text, and the cursor, exactly.
#ifndef ZQ_RECORD_FUZZ_H
#define ZQ_RECORD_FUZZ_H

#include <string>

#include "fetch_record.h"
#include "fuzz_harness.h"

namespace zqfuzz {

namespace recorddetail {

inline std::string Quoted(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace recorddetail

inline int RecordFuzz(const uint8_t* data, size_t size) {
    using namespace recorddetail;
    const std::string text(reinterpret_cast<const char*>(data), size);
    fetch_record_t rec;
    std::string why;
    if (fetch_parse_record(text, rec, why) != 0) {
        ZQ_FUZZ_CHECK(!why.empty());
        return 0;
    }
    ZQ_FUZZ_CHECK(rec.Urls.size() == rec.Files.size());
    std::string again = "{\"fid\": " + Quoted(rec.Fid) + ", \"size\": " + std::to_string(rec.Size) + ", \"locations\": [";
    for (size_t i = 0; i < rec.Urls.size(); ++i)
        again += (i > 0 ? ", " : "") + std::string("{\"url\": ") + Quoted(rec.Urls[i]) + ", \"file\": " + Quoted(rec.Files[i]) + "}";
    again += "]";
    if (!rec.Next.empty()) again += ", \"next\": " + rec.Next;
    again += "}";
    fetch_record_t back;
    ZQ_FUZZ_CHECK(fetch_parse_record(again, back, why) == 0);
    ZQ_FUZZ_CHECK(back.Fid == rec.Fid && back.Size == rec.Size && back.Urls == rec.Urls);
    ZQ_FUZZ_CHECK(back.Files == rec.Files && back.Next == rec.Next);
    return 0;
}

}  // namespace zqfuzz

#endif
