#include "md5.h"

#include <cstring>

namespace {

const unsigned int kBlock = 64;
const unsigned int kBlockMask = kBlock - 1;

inline md5_uint32 Load32LE(const unsigned char* p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    md5_uint32 v;
    std::memcpy(&v, p, sizeof(v));  // one plain load, at any alignment
    return v;
#else
    return (md5_uint32)p[0] | ((md5_uint32)p[1] << 8) | ((md5_uint32)p[2] << 16) | ((md5_uint32)p[3] << 24);
#endif
}

inline void Store32LE(unsigned char* p, md5_uint32 v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

inline md5_uint32 Rotl(md5_uint32 v, int s) { return (v << s) | (v >> (32 - s)); }

// Keeps the message word and constant summed apart from the round function.
// Clang otherwise reassociates the additions and puts the constant on the
// dependency chain, which costs about a fifth of the speed; GCC keeps the
// written order without help.
#if defined(__clang__)
#define ZQ_KEEP_SUM(v) __asm__("" : "+r"(v))
#else
#define ZQ_KEEP_SUM(v) (void)0
#endif

// Each step adds the message word and constant first: they do not depend on
// the previous step, so only the round function and rotation sit on the
// critical path. G is split into two disjoint terms (their sum equals their
// OR) so that the term without b can be added before b is known.
#define MD5_F(a, b, c, d, x, k, s) \
    a += (x) + (k);                \
    ZQ_KEEP_SUM(a);                \
    a += (d) ^ ((b) & ((c) ^ (d)));\
    a = Rotl(a, s) + (b)
#define MD5_G(a, b, c, d, x, k, s) \
    a += (x) + (k);                \
    ZQ_KEEP_SUM(a);                \
    a += (c) & ~(d);               \
    a += (b) & (d);                \
    a = Rotl(a, s) + (b)
#define MD5_H(a, b, c, d, x, k, s) \
    a += (x) + (k);                \
    ZQ_KEEP_SUM(a);                \
    a += ((c) ^ (d)) ^ (b);        \
    a = Rotl(a, s) + (b)
#define MD5_I(a, b, c, d, x, k, s) \
    a += (x) + (k);                \
    ZQ_KEEP_SUM(a);                \
    a += (c) ^ ((b) | ~(d));       \
    a = Rotl(a, s) + (b)

// Compresses len / 64 whole blocks straight from p (no alignment needed) and
// counts them in md_total.
void ProcessBlocks(md5_t* md5_p, const unsigned char* p, unsigned int len)
{
    md5_uint32 A = md5_p->md_A, B = md5_p->md_B, C = md5_p->md_C, D = md5_p->md_D;
    const unsigned char* const end = p + (len & ~kBlockMask);

    md5_uint32 low = md5_p->md_total[0] + (len & ~kBlockMask);
    if (low < md5_p->md_total[0]) {
        md5_p->md_total[1]++;
    }
    md5_p->md_total[0] = low;

    for (; p < end; p += kBlock) {
#define X(i) Load32LE(p + 4 * (i))
        md5_uint32 a = A, b = B, c = C, d = D;

        MD5_F(a, b, c, d, X(0), 0xd76aa478, 7);
        MD5_F(d, a, b, c, X(1), 0xe8c7b756, 12);
        MD5_F(c, d, a, b, X(2), 0x242070db, 17);
        MD5_F(b, c, d, a, X(3), 0xc1bdceee, 22);
        MD5_F(a, b, c, d, X(4), 0xf57c0faf, 7);
        MD5_F(d, a, b, c, X(5), 0x4787c62a, 12);
        MD5_F(c, d, a, b, X(6), 0xa8304613, 17);
        MD5_F(b, c, d, a, X(7), 0xfd469501, 22);
        MD5_F(a, b, c, d, X(8), 0x698098d8, 7);
        MD5_F(d, a, b, c, X(9), 0x8b44f7af, 12);
        MD5_F(c, d, a, b, X(10), 0xffff5bb1, 17);
        MD5_F(b, c, d, a, X(11), 0x895cd7be, 22);
        MD5_F(a, b, c, d, X(12), 0x6b901122, 7);
        MD5_F(d, a, b, c, X(13), 0xfd987193, 12);
        MD5_F(c, d, a, b, X(14), 0xa679438e, 17);
        MD5_F(b, c, d, a, X(15), 0x49b40821, 22);

        MD5_G(a, b, c, d, X(1), 0xf61e2562, 5);
        MD5_G(d, a, b, c, X(6), 0xc040b340, 9);
        MD5_G(c, d, a, b, X(11), 0x265e5a51, 14);
        MD5_G(b, c, d, a, X(0), 0xe9b6c7aa, 20);
        MD5_G(a, b, c, d, X(5), 0xd62f105d, 5);
        MD5_G(d, a, b, c, X(10), 0x02441453, 9);
        MD5_G(c, d, a, b, X(15), 0xd8a1e681, 14);
        MD5_G(b, c, d, a, X(4), 0xe7d3fbc8, 20);
        MD5_G(a, b, c, d, X(9), 0x21e1cde6, 5);
        MD5_G(d, a, b, c, X(14), 0xc33707d6, 9);
        MD5_G(c, d, a, b, X(3), 0xf4d50d87, 14);
        MD5_G(b, c, d, a, X(8), 0x455a14ed, 20);
        MD5_G(a, b, c, d, X(13), 0xa9e3e905, 5);
        MD5_G(d, a, b, c, X(2), 0xfcefa3f8, 9);
        MD5_G(c, d, a, b, X(7), 0x676f02d9, 14);
        MD5_G(b, c, d, a, X(12), 0x8d2a4c8a, 20);

        MD5_H(a, b, c, d, X(5), 0xfffa3942, 4);
        MD5_H(d, a, b, c, X(8), 0x8771f681, 11);
        MD5_H(c, d, a, b, X(11), 0x6d9d6122, 16);
        MD5_H(b, c, d, a, X(14), 0xfde5380c, 23);
        MD5_H(a, b, c, d, X(1), 0xa4beea44, 4);
        MD5_H(d, a, b, c, X(4), 0x4bdecfa9, 11);
        MD5_H(c, d, a, b, X(7), 0xf6bb4b60, 16);
        MD5_H(b, c, d, a, X(10), 0xbebfbc70, 23);
        MD5_H(a, b, c, d, X(13), 0x289b7ec6, 4);
        MD5_H(d, a, b, c, X(0), 0xeaa127fa, 11);
        MD5_H(c, d, a, b, X(3), 0xd4ef3085, 16);
        MD5_H(b, c, d, a, X(6), 0x04881d05, 23);
        MD5_H(a, b, c, d, X(9), 0xd9d4d039, 4);
        MD5_H(d, a, b, c, X(12), 0xe6db99e5, 11);
        MD5_H(c, d, a, b, X(15), 0x1fa27cf8, 16);
        MD5_H(b, c, d, a, X(2), 0xc4ac5665, 23);

        MD5_I(a, b, c, d, X(0), 0xf4292244, 6);
        MD5_I(d, a, b, c, X(7), 0x432aff97, 10);
        MD5_I(c, d, a, b, X(14), 0xab9423a7, 15);
        MD5_I(b, c, d, a, X(5), 0xfc93a039, 21);
        MD5_I(a, b, c, d, X(12), 0x655b59c3, 6);
        MD5_I(d, a, b, c, X(3), 0x8f0ccc92, 10);
        MD5_I(c, d, a, b, X(10), 0xffeff47d, 15);
        MD5_I(b, c, d, a, X(1), 0x85845dd1, 21);
        MD5_I(a, b, c, d, X(8), 0x6fa87e4f, 6);
        MD5_I(d, a, b, c, X(15), 0xfe2ce6e0, 10);
        MD5_I(c, d, a, b, X(6), 0xa3014314, 15);
        MD5_I(b, c, d, a, X(13), 0x4e0811a1, 21);
        MD5_I(a, b, c, d, X(4), 0xf7537e82, 6);
        MD5_I(d, a, b, c, X(11), 0xbd3af235, 10);
        MD5_I(c, d, a, b, X(2), 0x2ad7d2bb, 15);
        MD5_I(b, c, d, a, X(9), 0xeb86d391, 21);
#undef X

        A += a;
        B += b;
        C += c;
        D += d;
    }

    md5_p->md_A = A;
    md5_p->md_B = B;
    md5_p->md_C = C;
    md5_p->md_D = D;
}

const char kHexDigits[] = "0123456789abcdef";

// Value of one hex digit; anything else reads as 0.
unsigned int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9') {
        return (unsigned int)(ch - '0');
    }
    if (ch >= 'a' && ch <= 'f') {
        return (unsigned int)(ch - 'a' + 10);
    }
    if (ch >= 'A' && ch <= 'F') {
        return (unsigned int)(ch - 'A' + 10);
    }
    return 0;
}

}  // namespace

void md5_init(md5_t* md5_p)
{
    md5_p->md_A = 0x67452301;
    md5_p->md_B = 0xefcdab89;
    md5_p->md_C = 0x98badcfe;
    md5_p->md_D = 0x10325476;
    md5_p->md_total[0] = 0;
    md5_p->md_total[1] = 0;
    md5_p->md_buf_len = 0;
}

void md5_process(md5_t* md5_p, const void* buffer, unsigned int buf_len)
{
    const unsigned char* in = static_cast<const unsigned char*>(buffer);
    unsigned int len = buf_len;
    unsigned char* pending = reinterpret_cast<unsigned char*>(md5_p->md_buffer);

    if (md5_p->md_buf_len > 0) {
        unsigned int held = md5_p->md_buf_len;
        unsigned int add = sizeof(md5_p->md_buffer) - held;
        if (add > len) {
            add = len;
        }
        std::memcpy(pending + held, in, add);
        held += add;
        in += add;
        len -= add;
        if (held > kBlock) {
            ProcessBlocks(md5_p, pending, held & ~kBlockMask);
            // Source and destination cannot overlap: the rest is under one block.
            std::memcpy(pending, pending + (held & ~kBlockMask), held & kBlockMask);
            held &= kBlockMask;
        }
        md5_p->md_buf_len = held;
    }

    // Either the input is used up by now or the pending bytes are gone.
    if (len > kBlock) {
        ProcessBlocks(md5_p, in, len & ~kBlockMask);
        in += len & ~kBlockMask;
        len &= kBlockMask;
    }
    if (len > 0) {
        std::memcpy(pending, in, len);
        md5_p->md_buf_len = len;
    }
}

void md5_finish(md5_t* md5_p, void* signature)
{
    unsigned char* pending = reinterpret_cast<unsigned char*>(md5_p->md_buffer);
    unsigned int bytes = md5_p->md_buf_len;

    md5_uint32 low = md5_p->md_total[0] + bytes;
    md5_uint32 high = md5_p->md_total[1] + (low < md5_p->md_total[0] ? 1 : 0);

    // 0x80, zeros up to 56 modulo 64, then the bit count: one extra block
    // when the length no longer fits behind the pending bytes.
    int pad = (int)(kBlock - 8) - (int)bytes;
    if (pad <= 0) {
        pad += (int)kBlock;
    }
    pending[bytes] = 0x80;
    std::memset(pending + bytes + 1, 0, (size_t)pad - 1);
    bytes += (unsigned int)pad;
    Store32LE(pending + bytes, low << 3);
    Store32LE(pending + bytes + 4, (high << 3) | (low >> 29));
    bytes += 8;

    ProcessBlocks(md5_p, pending, bytes);
    md5_p->md_total[0] = low;
    md5_p->md_total[1] = high;
    md5_p->md_buf_len = 0;
    md5_get_result(md5_p, signature);
}

void md5_get_result(const md5_t* md5_p, void* result)
{
    unsigned char* out = static_cast<unsigned char*>(result);
    Store32LE(out, md5_p->md_A);
    Store32LE(out + 4, md5_p->md_B);
    Store32LE(out + 8, md5_p->md_C);
    Store32LE(out + 12, md5_p->md_D);
}

void md5_buffer(const char* buffer, unsigned int buf_len, void* signature)
{
    md5_t md5;
    md5_init(&md5);
    md5_process(&md5, buffer, buf_len);
    md5_finish(&md5, signature);
}

void md5_sig_to_string(void* signature, char* str, const int str_len)
{
    const unsigned char* sig = static_cast<const unsigned char*>(signature);
    int used = 0;
    for (int i = 0; i < MD5_SIZE && str_len - used >= 2; ++i) {
        str[used++] = kHexDigits[sig[i] >> 4];
        str[used++] = kHexDigits[sig[i] & 0x0f];
    }
    if (str_len - used >= 1) {
        str[used] = '\0';
    }
}

void md5_sig_from_string(void* signature, const char* str)
{
    unsigned char* sig = static_cast<unsigned char*>(signature);
    bool ended = false;
    for (int i = 0; i < MD5_SIZE; ++i) {
        unsigned int high = 0, low = 0;
        if (!ended && str[2 * i] != '\0') {
            high = HexValue(str[2 * i]);
            if (str[2 * i + 1] != '\0') {
                low = HexValue(str[2 * i + 1]);
            } else {
                ended = true;
            }
        } else {
            ended = true;
        }
        sig[i] = (unsigned char)((high << 4) | low);
    }
}
