// MD4 message digest (RFC 1320) behind the classic init/update/final calls.
// The context is a plain record owned by the caller (usually on its stack) and
// used by one thread at a time; the bit count is 64 bits wide, so inputs over
// 4 GiB digest correctly. MD4Final wipes the context.
#ifndef ZQ_MD4EMULE_H
#define ZQ_MD4EMULE_H

#include <cstdint>

typedef uint32_t UINT4;

typedef struct {
    UINT4 state[4];           // chaining words A, B, C, D
    UINT4 count[2];           // input bits so far, modulo 2^64, low word first
    unsigned char buffer[64]; // input not yet compressed (fewer than 64 bytes)
} MD4_CTX;

void MD4Init(MD4_CTX* context);
void MD4Update(MD4_CTX* context, unsigned char* input, unsigned int inputLen);
// Writes the 16-byte digest, then overwrites the whole context with zeros.
void MD4Final(unsigned char digest[16], MD4_CTX* context);

#endif
