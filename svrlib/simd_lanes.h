// Internal to md4_lanes and md5_lanes: how streams share the lanes of a
// kernel, and the loads that turn one 64-byte block per lane into sixteen
// vectors of message words. The vector helpers carry their instruction set's
// target attribute and are only called from kernels compiled for it.
#ifndef ZQ_SIMD_LANES_H
#define ZQ_SIMD_LANES_H

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZQ_SIMD_X86 1
#endif

namespace simd_lanes {

const unsigned int kMaxLanes = 16;
const size_t kBlock = 64;

// Advances n (at most kMaxLanes) streams of blocks[i] whole blocks: each
// round hands every stream that still has blocks to kernel(idx, start, count,
// blocks), which moves lanes idx[0..count) on by the same number of blocks
// from block start[k] of their stream. Streams that run out leave the round;
// once fewer than two remain, the rounds stop, and done[i] says how many of
// stream i's blocks were done (the caller finishes the rest with its
// single-stream code).
template <class FKernel>
void FeedLanes(const size_t* blocks, unsigned int n, size_t* done, FKernel kernel) {
    for (unsigned int i = 0; i < n; ++i) done[i] = 0;
    for (;;) {
        unsigned int idx[kMaxLanes];
        size_t start[kMaxLanes];
        unsigned int count = 0;
        size_t least = 0;
        for (unsigned int i = 0; i < n; ++i) {
            if (done[i] >= blocks[i]) continue;
            size_t left = blocks[i] - done[i];
            if (count == 0 || left < least) least = left;
            idx[count] = i;
            start[count] = done[i];
            ++count;
        }
        if (count < 2) return;
        kernel(idx, start, count, least);
        for (unsigned int k = 0; k < count; ++k) done[idx[k]] += least;
    }
}

#ifdef ZQ_SIMD_X86

// Rows r[l] (lane l's 16 words) to columns: r[i] afterwards holds word i of
// every lane.
__attribute__((target("avx512f,avx512vl,avx512bw"), always_inline)) inline void Transpose16(__m512i r[16]) {
    __m512i t[16];
    for (int i = 0; i < 16; i += 2) {
        t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
    }
    // u[4g + c]: in 128-bit part k, word 4k + c of lanes 4g..4g+3.
    __m512i u[16];
    for (int g = 0; g < 16; g += 4) {
        u[g] = _mm512_unpacklo_epi64(t[g], t[g + 2]);
        u[g + 1] = _mm512_unpackhi_epi64(t[g], t[g + 2]);
        u[g + 2] = _mm512_unpacklo_epi64(t[g + 1], t[g + 3]);
        u[g + 3] = _mm512_unpackhi_epi64(t[g + 1], t[g + 3]);
    }
    for (int c = 0; c < 4; ++c) {
        __m512i v0 = _mm512_shuffle_i32x4(u[c], u[4 + c], 0x88);
        __m512i v1 = _mm512_shuffle_i32x4(u[c], u[4 + c], 0xdd);
        __m512i w0 = _mm512_shuffle_i32x4(u[8 + c], u[12 + c], 0x88);
        __m512i w1 = _mm512_shuffle_i32x4(u[8 + c], u[12 + c], 0xdd);
        r[c] = _mm512_shuffle_i32x4(v0, w0, 0x88);
        r[8 + c] = _mm512_shuffle_i32x4(v0, w0, 0xdd);
        r[4 + c] = _mm512_shuffle_i32x4(v1, w1, 0x88);
        r[12 + c] = _mm512_shuffle_i32x4(v1, w1, 0xdd);
    }
}

// Word i of the block at p[l] + off into lane l of w[i], for 16 lanes.
__attribute__((target("avx512f,avx512vl,avx512bw"), always_inline)) inline void LoadWords16(
    __m512i w[16], const unsigned char* const p[16], size_t off) {
    for (int l = 0; l < 16; ++l) w[l] = _mm512_loadu_si512(p[l] + off);
    Transpose16(w);
}

// The 8 x 8 transpose of words: r[i] afterwards holds word i of every row.
__attribute__((target("avx2"), always_inline)) inline void Transpose8(__m256i r[8]) {
    __m256i t[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
    }
    __m256i u[8];
    for (int g = 0; g < 8; g += 4) {
        u[g] = _mm256_unpacklo_epi64(t[g], t[g + 2]);
        u[g + 1] = _mm256_unpackhi_epi64(t[g], t[g + 2]);
        u[g + 2] = _mm256_unpacklo_epi64(t[g + 1], t[g + 3]);
        u[g + 3] = _mm256_unpackhi_epi64(t[g + 1], t[g + 3]);
    }
    for (int c = 0; c < 4; ++c) {
        r[c] = _mm256_permute2x128_si256(u[c], u[4 + c], 0x20);
        r[4 + c] = _mm256_permute2x128_si256(u[c], u[4 + c], 0x31);
    }
}

// Word i of the block at p[l] + off into lane l of w[i], for 8 lanes.
__attribute__((target("avx2"), always_inline)) inline void LoadWords8(__m256i w[16], const unsigned char* const p[8],
                                                                      size_t off) {
    __m256i lo[8];
    __m256i hi[8];
    for (int l = 0; l < 8; ++l) {
        lo[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + off));
        hi[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + off + 32));
    }
    Transpose8(lo);
    Transpose8(hi);
    for (int i = 0; i < 8; ++i) {
        w[i] = lo[i];
        w[8 + i] = hi[i];
    }
}

#endif

}  // namespace simd_lanes

#endif
