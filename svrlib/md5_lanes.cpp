#include "md5_lanes.h"

#include <algorithm>

#include "simd_lanes.h"

namespace {

using simd_lanes::kBlock;
using simd_lanes::kMaxLanes;

// The 64 steps of RFC 1321 as STEP(round, a, b, c, d, word, constant, shift).
#define ZQ_MD5_STEPS(STEP)                            \
    STEP(F, a, b, c, d, 0, 0xd76aa478, 7);            \
    STEP(F, d, a, b, c, 1, 0xe8c7b756, 12);           \
    STEP(F, c, d, a, b, 2, 0x242070db, 17);           \
    STEP(F, b, c, d, a, 3, 0xc1bdceee, 22);           \
    STEP(F, a, b, c, d, 4, 0xf57c0faf, 7);            \
    STEP(F, d, a, b, c, 5, 0x4787c62a, 12);           \
    STEP(F, c, d, a, b, 6, 0xa8304613, 17);           \
    STEP(F, b, c, d, a, 7, 0xfd469501, 22);           \
    STEP(F, a, b, c, d, 8, 0x698098d8, 7);            \
    STEP(F, d, a, b, c, 9, 0x8b44f7af, 12);           \
    STEP(F, c, d, a, b, 10, 0xffff5bb1, 17);          \
    STEP(F, b, c, d, a, 11, 0x895cd7be, 22);          \
    STEP(F, a, b, c, d, 12, 0x6b901122, 7);           \
    STEP(F, d, a, b, c, 13, 0xfd987193, 12);          \
    STEP(F, c, d, a, b, 14, 0xa679438e, 17);          \
    STEP(F, b, c, d, a, 15, 0x49b40821, 22);          \
    STEP(G, a, b, c, d, 1, 0xf61e2562, 5);            \
    STEP(G, d, a, b, c, 6, 0xc040b340, 9);            \
    STEP(G, c, d, a, b, 11, 0x265e5a51, 14);          \
    STEP(G, b, c, d, a, 0, 0xe9b6c7aa, 20);           \
    STEP(G, a, b, c, d, 5, 0xd62f105d, 5);            \
    STEP(G, d, a, b, c, 10, 0x02441453, 9);           \
    STEP(G, c, d, a, b, 15, 0xd8a1e681, 14);          \
    STEP(G, b, c, d, a, 4, 0xe7d3fbc8, 20);           \
    STEP(G, a, b, c, d, 9, 0x21e1cde6, 5);            \
    STEP(G, d, a, b, c, 14, 0xc33707d6, 9);           \
    STEP(G, c, d, a, b, 3, 0xf4d50d87, 14);           \
    STEP(G, b, c, d, a, 8, 0x455a14ed, 20);           \
    STEP(G, a, b, c, d, 13, 0xa9e3e905, 5);           \
    STEP(G, d, a, b, c, 2, 0xfcefa3f8, 9);            \
    STEP(G, c, d, a, b, 7, 0x676f02d9, 14);           \
    STEP(G, b, c, d, a, 12, 0x8d2a4c8a, 20);          \
    STEP(H, a, b, c, d, 5, 0xfffa3942, 4);            \
    STEP(H, d, a, b, c, 8, 0x8771f681, 11);           \
    STEP(H, c, d, a, b, 11, 0x6d9d6122, 16);          \
    STEP(H, b, c, d, a, 14, 0xfde5380c, 23);          \
    STEP(H, a, b, c, d, 1, 0xa4beea44, 4);            \
    STEP(H, d, a, b, c, 4, 0x4bdecfa9, 11);           \
    STEP(H, c, d, a, b, 7, 0xf6bb4b60, 16);           \
    STEP(H, b, c, d, a, 10, 0xbebfbc70, 23);          \
    STEP(H, a, b, c, d, 13, 0x289b7ec6, 4);           \
    STEP(H, d, a, b, c, 0, 0xeaa127fa, 11);           \
    STEP(H, c, d, a, b, 3, 0xd4ef3085, 16);           \
    STEP(H, b, c, d, a, 6, 0x04881d05, 23);           \
    STEP(H, a, b, c, d, 9, 0xd9d4d039, 4);            \
    STEP(H, d, a, b, c, 12, 0xe6db99e5, 11);          \
    STEP(H, c, d, a, b, 15, 0x1fa27cf8, 16);          \
    STEP(H, b, c, d, a, 2, 0xc4ac5665, 23);           \
    STEP(I, a, b, c, d, 0, 0xf4292244, 6);            \
    STEP(I, d, a, b, c, 7, 0x432aff97, 10);           \
    STEP(I, c, d, a, b, 14, 0xab9423a7, 15);          \
    STEP(I, b, c, d, a, 5, 0xfc93a039, 21);           \
    STEP(I, a, b, c, d, 12, 0x655b59c3, 6);           \
    STEP(I, d, a, b, c, 3, 0x8f0ccc92, 10);           \
    STEP(I, c, d, a, b, 10, 0xffeff47d, 15);          \
    STEP(I, b, c, d, a, 1, 0x85845dd1, 21);           \
    STEP(I, a, b, c, d, 8, 0x6fa87e4f, 6);            \
    STEP(I, d, a, b, c, 15, 0xfe2ce6e0, 10);          \
    STEP(I, c, d, a, b, 6, 0xa3014314, 15);           \
    STEP(I, b, c, d, a, 13, 0x4e0811a1, 21);          \
    STEP(I, a, b, c, d, 4, 0xf7537e82, 6);            \
    STEP(I, d, a, b, c, 11, 0xbd3af235, 10);          \
    STEP(I, c, d, a, b, 2, 0x2ad7d2bb, 15);           \
    STEP(I, b, c, d, a, 9, 0xeb86d391, 21)

#ifdef ZQ_SIMD_X86

// The four round functions are exactly three-input logic functions, one
// instruction each; the truth tables are over (b, c, d).
#define ZQ_TL_F 0xca  // b ? c : d
#define ZQ_TL_G 0xe4  // d ? b : c
#define ZQ_TL_H 0x96  // b ^ c ^ d
#define ZQ_TL_I 0x39  // c ^ (b | ~d)
#define ZQ_STEP512(fn, a, b, c, d, i, k, s)                                        \
    a = _mm512_add_epi32(a, _mm512_add_epi32(w[i], _mm512_set1_epi32((int)(k)))); \
    a = _mm512_add_epi32(a, _mm512_ternarylogic_epi32(b, c, d, ZQ_TL_##fn));      \
    a = _mm512_add_epi32(_mm512_rol_epi32(a, s), b)

#define ZQ_AVX2 __attribute__((target("avx2"), always_inline)) inline
ZQ_AVX2 __m256i Md5F(__m256i b, __m256i c, __m256i d) {
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
ZQ_AVX2 __m256i Md5G(__m256i b, __m256i c, __m256i d) {
    return _mm256_or_si256(_mm256_and_si256(b, d), _mm256_andnot_si256(d, c));
}
ZQ_AVX2 __m256i Md5H(__m256i b, __m256i c, __m256i d) { return _mm256_xor_si256(_mm256_xor_si256(b, c), d); }
ZQ_AVX2 __m256i Md5I(__m256i b, __m256i c, __m256i d) {
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}
#define ZQ_STEP256(fn, a, b, c, d, i, k, s)                                        \
    a = _mm256_add_epi32(a, _mm256_add_epi32(w[i], _mm256_set1_epi32((int)(k)))); \
    a = _mm256_add_epi32(a, Md5##fn(b, c, d));                                    \
    a = _mm256_add_epi32(_mm256_or_si256(_mm256_slli_epi32(a, s), _mm256_srli_epi32(a, 32 - (s))), b)

#endif

// md5_t as the lane driver sees it; its total is in bytes.
struct CMd5Digest {
    typedef md5_t Ctx;
    static bool Whole(const Ctx* c) { return c->md_buf_len == 0; }
    static void Single(Ctx* c, const unsigned char* p, unsigned int len) { md5_process(c, p, len); }
#ifdef ZQ_SIMD_X86
    static void GetState(const Ctx* c, uint32_t s[4]) {
        s[0] = c->md_A;
        s[1] = c->md_B;
        s[2] = c->md_C;
        s[3] = c->md_D;
    }
    static void PutState(Ctx* c, const uint32_t s[4], uint64_t bytes) {
        c->md_A = s[0];
        c->md_B = s[1];
        c->md_C = s[2];
        c->md_D = s[3];
        uint64_t total = ((static_cast<uint64_t>(c->md_total[1]) << 32) | c->md_total[0]) + bytes;
        c->md_total[0] = static_cast<md5_uint32>(total);
        c->md_total[1] = static_cast<md5_uint32>(total >> 32);
    }
    __attribute__((target("avx512f,avx512vl,avx512bw"), always_inline)) static inline void Rounds16(
        __m512i& a, __m512i& b, __m512i& c, __m512i& d, const __m512i w[16]) {
        ZQ_MD5_STEPS(ZQ_STEP512);
    }
    __attribute__((target("avx2"), always_inline)) static inline void Rounds8(__m256i& a, __m256i& b, __m256i& c,
                                                                             __m256i& d, const __m256i w[16]) {
        ZQ_MD5_STEPS(ZQ_STEP256);
    }
#endif
};

}  // namespace

void md5_lanes_process(md5_t* const ctx[], const unsigned char* const data[], const unsigned int len[], unsigned int n,
                       ESimdLevel eLevel) {
    simd_lanes::Update<CMd5Digest>(ctx, data, len, n, eLevel);
}

void md5_lanes_digest(const unsigned char* const data[], const unsigned int len[], unsigned int n, unsigned char* out,
                      ESimdLevel eLevel) {
    const ESimdLevel eUse = SimdResolve(eLevel);
    for (unsigned int i = 0; i < n; i += kMaxLanes) {
        const unsigned int m = std::min(kMaxLanes, n - i);
        md5_t oCtx[kMaxLanes];
        md5_t* ctx[kMaxLanes];
        for (unsigned int k = 0; k < m; ++k) {
            md5_init(&oCtx[k]);
            ctx[k] = &oCtx[k];
        }
        simd_lanes::Update<CMd5Digest>(ctx, data + i, len + i, m, eUse);
        for (unsigned int k = 0; k < m; ++k) md5_finish(ctx[k], out + 16 * (i + k));
    }
}
