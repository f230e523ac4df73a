#include "md4emule.h"

#include <cstring>

namespace {

const unsigned int kBlock = 64;

inline UINT4 Load32LE(const unsigned char* p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    UINT4 v;
    std::memcpy(&v, p, sizeof(v));  // one plain load, at any alignment
    return v;
#else
    return (UINT4)p[0] | ((UINT4)p[1] << 8) | ((UINT4)p[2] << 16) | ((UINT4)p[3] << 24);
#endif
}

// Encode: words to little-endian bytes.
void Encode(unsigned char* output, const UINT4* input, unsigned int len)
{
    for (unsigned int i = 0, j = 0; j < len; ++i, j += 4) {
        output[j] = (unsigned char)input[i];
        output[j + 1] = (unsigned char)(input[i] >> 8);
        output[j + 2] = (unsigned char)(input[i] >> 16);
        output[j + 3] = (unsigned char)(input[i] >> 24);
    }
}

inline UINT4 Rotl(UINT4 v, int s) { return (v << s) | (v >> (32 - s)); }

// Keeps the message word and constant summed apart from the round function.
// Clang otherwise reassociates the additions and puts the constant on the
// dependency chain, which costs about a fifth of the speed; GCC keeps the
// written order without help.
#if defined(__clang__)
#define ZQ_KEEP_SUM(v) __asm__("" : "+r"(v))
#else
#define ZQ_KEEP_SUM(v) (void)0
#endif

// The message word is added before the round function so it stays off the
// dependency chain through b. In G the majority is formed as
// (b & (c | d)) | (c & d), leaving one AND and one OR after b is known.
#define MD4_FF(a, b, c, d, x, s)        \
    a += (x);                           \
    ZQ_KEEP_SUM(a);                     \
    a += (d) ^ ((b) & ((c) ^ (d)));     \
    a = Rotl(a, s)
#define MD4_GG(a, b, c, d, x, s)                           \
    a += (x) + 0x5a827999u;                                \
    ZQ_KEEP_SUM(a);                                        \
    a += ((b) & ((c) | (d))) | ((c) & (d));                \
    a = Rotl(a, s)
#define MD4_HH(a, b, c, d, x, s)        \
    a += (x) + 0x6ed9eba1u;             \
    ZQ_KEEP_SUM(a);                     \
    a += ((c) ^ (d)) ^ (b);             \
    a = Rotl(a, s)

// Compresses blocks whole blocks read straight from p, at any alignment.
void MD4Transform(UINT4 state[4], const unsigned char* p, size_t blocks)
{
    UINT4 A = state[0], B = state[1], C = state[2], D = state[3];

    for (; blocks > 0; --blocks, p += kBlock) {
#define X(i) Load32LE(p + 4 * (i))
        UINT4 a = A, b = B, c = C, d = D;

        MD4_FF(a, b, c, d, X(0), 3);
        MD4_FF(d, a, b, c, X(1), 7);
        MD4_FF(c, d, a, b, X(2), 11);
        MD4_FF(b, c, d, a, X(3), 19);
        MD4_FF(a, b, c, d, X(4), 3);
        MD4_FF(d, a, b, c, X(5), 7);
        MD4_FF(c, d, a, b, X(6), 11);
        MD4_FF(b, c, d, a, X(7), 19);
        MD4_FF(a, b, c, d, X(8), 3);
        MD4_FF(d, a, b, c, X(9), 7);
        MD4_FF(c, d, a, b, X(10), 11);
        MD4_FF(b, c, d, a, X(11), 19);
        MD4_FF(a, b, c, d, X(12), 3);
        MD4_FF(d, a, b, c, X(13), 7);
        MD4_FF(c, d, a, b, X(14), 11);
        MD4_FF(b, c, d, a, X(15), 19);

        MD4_GG(a, b, c, d, X(0), 3);
        MD4_GG(d, a, b, c, X(4), 5);
        MD4_GG(c, d, a, b, X(8), 9);
        MD4_GG(b, c, d, a, X(12), 13);
        MD4_GG(a, b, c, d, X(1), 3);
        MD4_GG(d, a, b, c, X(5), 5);
        MD4_GG(c, d, a, b, X(9), 9);
        MD4_GG(b, c, d, a, X(13), 13);
        MD4_GG(a, b, c, d, X(2), 3);
        MD4_GG(d, a, b, c, X(6), 5);
        MD4_GG(c, d, a, b, X(10), 9);
        MD4_GG(b, c, d, a, X(14), 13);
        MD4_GG(a, b, c, d, X(3), 3);
        MD4_GG(d, a, b, c, X(7), 5);
        MD4_GG(c, d, a, b, X(11), 9);
        MD4_GG(b, c, d, a, X(15), 13);

        MD4_HH(a, b, c, d, X(0), 3);
        MD4_HH(d, a, b, c, X(8), 9);
        MD4_HH(c, d, a, b, X(4), 11);
        MD4_HH(b, c, d, a, X(12), 15);
        MD4_HH(a, b, c, d, X(2), 3);
        MD4_HH(d, a, b, c, X(10), 9);
        MD4_HH(c, d, a, b, X(6), 11);
        MD4_HH(b, c, d, a, X(14), 15);
        MD4_HH(a, b, c, d, X(1), 3);
        MD4_HH(d, a, b, c, X(9), 9);
        MD4_HH(c, d, a, b, X(5), 11);
        MD4_HH(b, c, d, a, X(13), 15);
        MD4_HH(a, b, c, d, X(3), 3);
        MD4_HH(d, a, b, c, X(11), 9);
        MD4_HH(c, d, a, b, X(7), 11);
        MD4_HH(b, c, d, a, X(15), 15);
#undef X

        A += a;
        B += b;
        C += c;
        D += d;
    }

    state[0] = A;
    state[1] = B;
    state[2] = C;
    state[3] = D;
}

}  // namespace

void MD4Init(MD4_CTX* context)
{
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void MD4Update(MD4_CTX* context, unsigned char* input, unsigned int inputLen)
{
    unsigned int index = (context->count[0] >> 3) & 0x3f;

    UINT4 bits = (UINT4)inputLen << 3;
    context->count[0] += bits;
    if (context->count[0] < bits) {
        context->count[1]++;
    }
    context->count[1] += (UINT4)inputLen >> 29;

    unsigned int partLen = kBlock - index;
    unsigned int i = 0;
    if (inputLen >= partLen) {
        if (index != 0) {
            std::memcpy(&context->buffer[index], input, partLen);
            MD4Transform(context->state, context->buffer, 1);
            i = partLen;
            index = 0;
        }
        size_t blocks = (inputLen - i) / kBlock;
        MD4Transform(context->state, input + i, blocks);
        i += (unsigned int)(blocks * kBlock);
    }
    std::memcpy(&context->buffer[index], input + i, inputLen - i);
}

void MD4Final(unsigned char digest[16], MD4_CTX* context)
{
    unsigned char bits[8];
    Encode(bits, context->count, 8);

    // Pad to 56 modulo 64 so that the length closes the last block.
    unsigned char padding[kBlock] = {0x80};
    unsigned int index = (context->count[0] >> 3) & 0x3f;
    unsigned int padLen = (index < 56) ? (56 - index) : (120 - index);
    MD4Update(context, padding, padLen);
    MD4Update(context, bits, 8);

    Encode(digest, context->state, 16);
    std::memset(context, 0, sizeof(*context));
}
