// Byte strings for tests, built independently of the code under test:
// reproducible pseudo-random contents, lowercase hex, and big-endian 32-bit
// integers written, patched and read at an offset.
#ifndef ZQ_TEST_BYTES_H
#define ZQ_TEST_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zqtest {

// n bytes of a fixed pseudo-random sequence chosen by seed.
std::string PatternBytes(size_t n, uint32_t seed);

// Lowercase hex of raw bytes.
std::string ToHex(const std::string& bytes);
std::string ToHex(const unsigned char* p, size_t n);

// The first whitespace-separated word of a line of text output (a checksum tool's digest).
std::string FirstWord(const std::string& text);

// v as four bytes, most significant first.
std::string BigEndian32(uint32_t v);
// Overwrites the four bytes of s at offset with BigEndian32(v).
void PutBigEndian32(std::string& s, size_t offset, uint32_t v);
// The big-endian integer at offset; bytes past the end of s are not read.
uint32_t ReadBigEndian32(const std::string& s, size_t offset);

}  // namespace zqtest

#endif
