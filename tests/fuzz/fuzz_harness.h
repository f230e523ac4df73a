// What every fuzz harness shares. A harness is an inline function
// `int name(const uint8_t*, size_t)` in <target>_fuzz.h, run by the libFuzzer
// program <target>_fuzz and replayed over kept inputs by the unit tests. A
// failed ZQ_FUZZ_CHECK stops the fuzzer (abort: libFuzzer keeps the input as a
// crash) unless a test installed a hook that records it instead; then the
// function returns -1 at once, so checks go in functions returning int, 0
// when every check passed.
#ifndef ZQ_FUZZ_HARNESS_H
#define ZQ_FUZZ_HARNESS_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace zqfuzz {

typedef void (*FailHook)(const char* file, int line, const char* what);

inline FailHook& OnFail() {
    static FailHook hook = nullptr;
    return hook;
}

inline void Fail(const char* file, int line, const char* what) {
    if (OnFail() != nullptr) {
        OnFail()(file, line, what);
        return;
    }
    fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    abort();
}

// A directory of this process's own under $TMPDIR (or /tmp), made on first
// use and removed with its contents when the process ends normally.
class ScratchDir {
public:
    static const std::string& Path() {
        static ScratchDir dir;
        return dir.m_path;
    }

    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

private:
    ScratchDir() {
        const char* base = getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zqfuzz.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        m_path = buf.data();
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }

    std::string m_path;
};

// Writes bytes to path, replacing it; false when it cannot be fully written.
inline bool WriteBytes(const std::string& path, const std::string& bytes) {
    FILE* fp = fopen(path.c_str(), "wb");
    if (fp == nullptr) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    if (fclose(fp) != 0) ok = false;
    return ok;
}

// The input cut at every occurrence of sep (the separators dropped).
inline std::vector<std::string> SplitInput(const uint8_t* data, size_t size, const std::string& sep) {
    std::vector<std::string> parts;
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t from = 0;
    for (;;) {
        size_t at = all.find(sep, from);
        if (at == std::string::npos) break;
        parts.push_back(all.substr(from, at - from));
        from = at + sep.size();
    }
    parts.push_back(all.substr(from));
    return parts;
}

// Takes an input apart from the front: numbers and byte strings, zeros once
// it is used up, so that any input is a complete program.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(size), m_pos(0) {}

    size_t Left() const { return m_size - m_pos; }
    bool Empty() const { return m_pos >= m_size; }
    uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    // Little-endian; each part read in its own statement, so in input order.
    uint16_t U16() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t U32() {
        uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    uint64_t U64() {
        uint64_t low = U32();
        return low | (static_cast<uint64_t>(U32()) << 32);
    }
    // Up to n bytes, fewer when the input runs out.
    std::string Bytes(size_t n) {
        size_t take = n < Left() ? n : Left();
        std::string out(reinterpret_cast<const char*>(m_data + m_pos), take);
        m_pos += take;
        return out;
    }
    std::string Rest() { return Bytes(Left()); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos;
};

// Changes the working directory for one scope and goes back to the old one.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir) : m_oldFd(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        m_ok = m_oldFd >= 0 && chdir(dir.c_str()) == 0;
    }
    ~ScopedCwd() {
        if (m_oldFd >= 0) {
            if (fchdir(m_oldFd) != 0) perror("fchdir");
            close(m_oldFd);
        }
    }
    bool ok() const { return m_ok; }

    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    int m_oldFd;
    bool m_ok;
};

}  // namespace zqfuzz

#define ZQ_FUZZ_CHECK(cond)                                  \
    do {                                                     \
        if (!(cond)) {                                       \
            ::zqfuzz::Fail(__FILE__, __LINE__, #cond);       \
            return -1;                                       \
        }                                                    \
    } while (0)

#endif
