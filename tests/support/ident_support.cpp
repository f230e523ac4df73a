#include "ident_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

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

void WriteSparseFile(const std::string& path, uint64_t size,
                     const std::vector<std::pair<uint64_t, std::string> >& patches) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const auto& patch : patches) {
        if (!ok) break;
        ssize_t n = pwrite(fd, patch.second.data(), patch.second.size(), static_cast<off_t>(patch.first));
        ok = n == static_cast<ssize_t>(patch.second.size());
    }
    close(fd);
    if (!ok) throw std::runtime_error("cannot write " + path);
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

}  // namespace zqtest
