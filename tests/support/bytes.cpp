#include "bytes.h"

namespace zqtest {

std::string PatternBytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 0x9e3779b9u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

std::string ToHex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

std::string ToHex(const std::string& bytes) {
    return ToHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string FirstWord(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return "";
    size_t end = text.find_first_of(" \t\r\n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string BigEndian32(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
    return out;
}

void PutBigEndian32(std::string& s, size_t offset, uint32_t v) { s.replace(offset, 4, BigEndian32(v)); }

uint32_t ReadBigEndian32(const std::string& s, size_t offset) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && offset + i < s.size(); ++i) v = (v << 8) | static_cast<unsigned char>(s[offset + i]);
    return v;
}

}  // namespace zqtest
