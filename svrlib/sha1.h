// SHA-1 message digest (FIPS 180-1). The context is a plain record owned by
// the caller and used by one thread at a time; the bit count is 64 bits wide.
// Blocks are compressed with the processor's SHA instructions when it has
// them (checked once at run time), otherwise with portable code.
#ifndef ZQ_SHA1_H
#define ZQ_SHA1_H

#include <cstdint>
#include <cstdio>

#define SHA_BLOCKSIZE 64
#define SHA_DIGESTSIZE 20

typedef uint32_t SHA_LONG;
typedef unsigned char SHA_BYTE;

typedef struct {
    SHA_LONG digest[5];           // chaining words H0 to H4
    SHA_LONG count_lo, count_hi;  // input bits so far, 64 bits in two words
    SHA_BYTE data[SHA_BLOCKSIZE]; // the block being filled
    int local;                    // bytes held in data
} SHA_INFO;

void sha_init(SHA_INFO* sha_info);
// A count of zero or less adds nothing.
void sha_update(SHA_INFO* sha_info, SHA_BYTE* buffer, int count);
void sha_final(unsigned char digest[20], SHA_INFO* sha_info);
// Compresses the full block held in data into digest.
void sha_transform(SHA_INFO* sha_info);
// Digests everything left in fin, read in 8192-byte blocks.
void sha_stream(unsigned char digest[20], SHA_INFO* sha_info, FILE* fin);
// Prints the digest as five space-separated groups of eight hex digits.
void sha_print(unsigned char digest[20]);
const char* sha_version(void);

// Nonzero forces the portable compression even where SHA instructions exist
// (so both paths can be checked on one machine); zero restores the choice.
// Process-wide and safe at any time: both compressions give the same digests.
void sha_force_portable(int force);
// 1 when blocks are currently compressed with the SHA instructions.
int sha_accelerated(void);

#endif
