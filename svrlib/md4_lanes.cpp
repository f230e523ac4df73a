#include "md4_lanes.h"

#include <algorithm>

#include "simd_lanes.h"

namespace {

using simd_lanes::kBlock;
using simd_lanes::kMaxLanes;

// The 48 steps of RFC 1320 as STEP(round, a, b, c, d, word, shift).
#define ZQ_MD4_STEPS(STEP)       \
    STEP(F, a, b, c, d, 0, 3);   \
    STEP(F, d, a, b, c, 1, 7);   \
    STEP(F, c, d, a, b, 2, 11);  \
    STEP(F, b, c, d, a, 3, 19);  \
    STEP(F, a, b, c, d, 4, 3);   \
    STEP(F, d, a, b, c, 5, 7);   \
    STEP(F, c, d, a, b, 6, 11);  \
    STEP(F, b, c, d, a, 7, 19);  \
    STEP(F, a, b, c, d, 8, 3);   \
    STEP(F, d, a, b, c, 9, 7);   \
    STEP(F, c, d, a, b, 10, 11); \
    STEP(F, b, c, d, a, 11, 19); \
    STEP(F, a, b, c, d, 12, 3);  \
    STEP(F, d, a, b, c, 13, 7);  \
    STEP(F, c, d, a, b, 14, 11); \
    STEP(F, b, c, d, a, 15, 19); \
    STEP(G, a, b, c, d, 0, 3);   \
    STEP(G, d, a, b, c, 4, 5);   \
    STEP(G, c, d, a, b, 8, 9);   \
    STEP(G, b, c, d, a, 12, 13); \
    STEP(G, a, b, c, d, 1, 3);   \
    STEP(G, d, a, b, c, 5, 5);   \
    STEP(G, c, d, a, b, 9, 9);   \
    STEP(G, b, c, d, a, 13, 13); \
    STEP(G, a, b, c, d, 2, 3);   \
    STEP(G, d, a, b, c, 6, 5);   \
    STEP(G, c, d, a, b, 10, 9);  \
    STEP(G, b, c, d, a, 14, 13); \
    STEP(G, a, b, c, d, 3, 3);   \
    STEP(G, d, a, b, c, 7, 5);   \
    STEP(G, c, d, a, b, 11, 9);  \
    STEP(G, b, c, d, a, 15, 13); \
    STEP(H, a, b, c, d, 0, 3);   \
    STEP(H, d, a, b, c, 8, 9);   \
    STEP(H, c, d, a, b, 4, 11);  \
    STEP(H, b, c, d, a, 12, 15); \
    STEP(H, a, b, c, d, 2, 3);   \
    STEP(H, d, a, b, c, 10, 9);  \
    STEP(H, c, d, a, b, 6, 11);  \
    STEP(H, b, c, d, a, 14, 15); \
    STEP(H, a, b, c, d, 1, 3);   \
    STEP(H, d, a, b, c, 9, 9);   \
    STEP(H, c, d, a, b, 5, 11);  \
    STEP(H, b, c, d, a, 13, 15); \
    STEP(H, a, b, c, d, 3, 3);   \
    STEP(H, d, a, b, c, 11, 9);  \
    STEP(H, c, d, a, b, 7, 11);  \
    STEP(H, b, c, d, a, 15, 15)

#ifdef ZQ_SIMD_X86

#define ZQ_K_F 0
#define ZQ_K_G 0x5a827999
#define ZQ_K_H 0x6ed9eba1
// Truth tables over (b, c, d): choice, majority, parity.
#define ZQ_TL_F 0xca
#define ZQ_TL_G 0xe8
#define ZQ_TL_H 0x96
#define ZQ_STEP512(fn, a, b, c, d, i, s)                                                \
    a = _mm512_add_epi32(a, _mm512_add_epi32(w[i], _mm512_set1_epi32((int)ZQ_K_##fn))); \
    a = _mm512_add_epi32(a, _mm512_ternarylogic_epi32(b, c, d, ZQ_TL_##fn));            \
    a = _mm512_rol_epi32(a, s)

#define ZQ_AVX2 __attribute__((target("avx2"), always_inline)) inline
ZQ_AVX2 __m256i Md4F(__m256i b, __m256i c, __m256i d) {
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
ZQ_AVX2 __m256i Md4G(__m256i b, __m256i c, __m256i d) {
    return _mm256_or_si256(_mm256_and_si256(b, _mm256_or_si256(c, d)), _mm256_and_si256(c, d));
}
ZQ_AVX2 __m256i Md4H(__m256i b, __m256i c, __m256i d) { return _mm256_xor_si256(_mm256_xor_si256(b, c), d); }
#define ZQ_STEP256(fn, a, b, c, d, i, s)                                                \
    a = _mm256_add_epi32(a, _mm256_add_epi32(w[i], _mm256_set1_epi32((int)ZQ_K_##fn))); \
    a = _mm256_add_epi32(a, Md4##fn(b, c, d));                                          \
    a = _mm256_or_si256(_mm256_slli_epi32(a, s), _mm256_srli_epi32(a, 32 - (s)))

#endif

// MD4_CTX as the lane driver sees it; its count is in bits.
struct CMd4Digest {
    typedef MD4_CTX Ctx;
    static bool Whole(const Ctx* c) { return ((c->count[0] >> 3) & 63) == 0; }
    static void Single(Ctx* c, const unsigned char* p, unsigned int len) {
        MD4Update(c, const_cast<unsigned char*>(p), len);
    }
#ifdef ZQ_SIMD_X86
    static void GetState(const Ctx* c, uint32_t s[4]) {
        for (int j = 0; j < 4; ++j) s[j] = c->state[j];
    }
    static void PutState(Ctx* c, const uint32_t s[4], uint64_t bytes) {
        for (int j = 0; j < 4; ++j) c->state[j] = s[j];
        uint64_t count64 = ((static_cast<uint64_t>(c->count[1]) << 32) | c->count[0]) + bytes * 8;
        c->count[0] = static_cast<UINT4>(count64);
        c->count[1] = static_cast<UINT4>(count64 >> 32);
    }
    __attribute__((target("avx512f,avx512vl,avx512bw"), always_inline)) static inline void Rounds16(
        __m512i& a, __m512i& b, __m512i& c, __m512i& d, const __m512i w[16]) {
        ZQ_MD4_STEPS(ZQ_STEP512);
    }
    __attribute__((target("avx2"), always_inline)) static inline void Rounds8(__m256i& a, __m256i& b, __m256i& c,
                                                                             __m256i& d, const __m256i w[16]) {
        ZQ_MD4_STEPS(ZQ_STEP256);
    }
#endif
};

}  // namespace

void md4_lanes_update(MD4_CTX* const ctx[], const unsigned char* const data[], const unsigned int len[], unsigned int n,
                      ESimdLevel eLevel) {
    simd_lanes::Update<CMd4Digest>(ctx, data, len, n, eLevel);
}
