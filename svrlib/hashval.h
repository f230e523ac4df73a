// HashVal<N>: a digest held as its raw bytes (4 x N of them, in the order the
// digest function wrote them), all zero by default. A plain value: copied
// whole, written to and read from buffers as bytes. Md5Hash holds an MD5 or
// MD4 digest, Sha1Hash a SHA-1 digest or one of the identifiers.
#ifndef ZQ_HASHVAL_H
#define ZQ_HASHVAL_H

#include <cstring>
#include <string>

// Lowercase hexadecimal of len bytes, high nibble first.
std::string HashBytesToHex(const unsigned char* pData, unsigned int len);

// Byte-aligned, so it may sit at any offset of a packed record (the piece
// table's header holds one at offset 19).
template <int N>
struct __attribute__((packed)) HashVal {
    union {
        int iVal[N];
        unsigned char cVal[4 * N];
    };

    HashVal() { memset(cVal, 0, sizeof(cVal)); }
    // Copies only a value of exactly the right length; anything else gives zeros.
    HashVal(const unsigned char* pData, int len) {
        if (pData != nullptr && len == static_cast<int>(sizeof(cVal))) {
            memcpy(cVal, pData, sizeof(cVal));
        } else {
            memset(cVal, 0, sizeof(cVal));
        }
    }
    HashVal(const HashVal& rhs) = default;
    HashVal& operator=(const HashVal& rhs) = default;

    bool operator==(const HashVal& rhs) const { return memcmp(cVal, rhs.cVal, sizeof(cVal)) == 0; }
    bool operator!=(const HashVal& rhs) const { return !(*this == rhs); }

    bool IsZero() const {
        for (unsigned char c : cVal) {
            if (c != 0) return false;
        }
        return true;
    }
    std::string Hex() const { return HashBytesToHex(cVal, sizeof(cVal)); }
};

typedef HashVal<4> Md5Hash;
typedef HashVal<5> Sha1Hash;

static_assert(sizeof(Md5Hash) == 16, "Md5Hash is its 16 digest bytes");
static_assert(sizeof(Sha1Hash) == 20, "Sha1Hash is its 20 digest bytes");
static_assert(alignof(Sha1Hash) == 1, "hash values need no alignment");

#endif
