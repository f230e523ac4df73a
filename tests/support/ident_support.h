// Test helpers for file identification: reproducible file contents and
// sparse files with known bytes at chosen offsets (large sizes without
// writing gigabytes).
#ifndef ZQ_IDENT_SUPPORT_H
#define ZQ_IDENT_SUPPORT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zqtest {

// n bytes of a fixed pseudo-random sequence chosen by seed.
std::string PatternBytes(size_t n, uint32_t seed);

// Creates path with the given size, holes everywhere except the listed
// (offset, bytes) patches.
void WriteSparseFile(const std::string& path, uint64_t size,
                     const std::vector<std::pair<uint64_t, std::string> >& patches);

// Lowercase hex of raw bytes.
std::string ToHex(const std::string& bytes);
std::string ToHex(const unsigned char* p, size_t n);

// The first whitespace-separated word of a line of text output (a checksum tool's digest).
std::string FirstWord(const std::string& text);

// Piece-table header fields by value: members of a packed record must not
// bind to the references the assertion macros take.
template <class Tpt>
unsigned int SegCntOf(const Tpt& tpt) {
    return tpt.mTptHead.SegCnt;
}
template <class Tpt>
unsigned int SegSizeOf(const Tpt& tpt) {
    return tpt.mTptHead.SegSize;
}
template <class Tpt>
unsigned int LastSegSizeOf(const Tpt& tpt) {
    return tpt.mTptHead.LastSegSize;
}

}  // namespace zqtest

#endif
