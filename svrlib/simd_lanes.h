// Internal to md4_lanes and md5_lanes: how streams share the lanes of a
// kernel (one driver for both digests, told about a digest's context by a
// small traits struct), and the loads that turn one 64-byte block per lane
// into sixteen vectors of message words. The vector helpers carry their
// instruction set's target attribute and are only called from kernels
// compiled for it.
#ifndef ZQ_SIMD_LANES_H
#define ZQ_SIMD_LANES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "simd_level.h"

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

#ifdef ZQ_SIMD_X86

// GCC 12 takes the undefined source register inside _mm512_rol_epi32 (in
// the rounds inlined into the kernels below) for an uninitialised variable.
// Only the kernels are spared the warning; the includer keeps it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The frame of every kernel: st[j][l] is state word j of lane l, p[l] lane
// l's data; each block's words go through TDigest's rounds (Rounds16 or
// Rounds8, compiled for the same instruction set and inlined) and are added
// to the state, which moves every lane on by blocks whole blocks.
template <class TDigest>
__attribute__((target("avx512f,avx512vl,avx512bw"))) void Kernel16(uint32_t st[4][kMaxLanes],
                                                                   const unsigned char* const p[kMaxLanes],
                                                                   size_t blocks) {
    __m512i A = _mm512_loadu_si512(st[0]);
    __m512i B = _mm512_loadu_si512(st[1]);
    __m512i C = _mm512_loadu_si512(st[2]);
    __m512i D = _mm512_loadu_si512(st[3]);
    for (size_t off = 0; off < blocks * kBlock; off += kBlock) {
        __m512i w[16];
        LoadWords16(w, p, off);
        __m512i a = A, b = B, c = C, d = D;
        TDigest::Rounds16(a, b, c, d, w);
        A = _mm512_add_epi32(A, a);
        B = _mm512_add_epi32(B, b);
        C = _mm512_add_epi32(C, c);
        D = _mm512_add_epi32(D, d);
    }
    _mm512_storeu_si512(st[0], A);
    _mm512_storeu_si512(st[1], B);
    _mm512_storeu_si512(st[2], C);
    _mm512_storeu_si512(st[3], D);
}

template <class TDigest>
__attribute__((target("avx2"))) void Kernel8(uint32_t st[4][kMaxLanes], const unsigned char* const p[kMaxLanes],
                                             size_t blocks) {
    __m256i A = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(st[0]));
    __m256i B = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(st[1]));
    __m256i C = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(st[2]));
    __m256i D = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(st[3]));
    for (size_t off = 0; off < blocks * kBlock; off += kBlock) {
        __m256i w[16];
        LoadWords8(w, p, off);
        __m256i a = A, b = B, c = C, d = D;
        TDigest::Rounds8(a, b, c, d, w);
        A = _mm256_add_epi32(A, a);
        B = _mm256_add_epi32(B, b);
        C = _mm256_add_epi32(C, c);
        D = _mm256_add_epi32(D, d);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(st[0]), A);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(st[1]), B);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(st[2]), C);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(st[3]), D);
}

// Moves count (2 to 16) lanes on by blocks whole blocks: lane k is context
// ctx[idx[k]] reading from block start[k] of its data. Spare lanes of a
// kernel repeat the first lane and are thrown away. TDigest supplies
// GetState, PutState (which also counts the bytes) and the rounds.
template <class TDigest>
void RunRound(ESimdLevel eLevel, typename TDigest::Ctx* const ctx[], const unsigned char* const data[],
              const unsigned int* idx, const size_t* start, unsigned int count, size_t blocks) {
    const unsigned int width = eLevel == SIMD_AVX512 && count > 8 ? 16 : 8;
    for (unsigned int k0 = 0; k0 < count; k0 += width) {
        const unsigned int used = std::min(width, count - k0);
        uint32_t st[4][kMaxLanes];
        const unsigned char* p[kMaxLanes];
        for (unsigned int l = 0; l < width; ++l) {
            const unsigned int k = k0 + (l < used ? l : 0);
            uint32_t s[4];
            TDigest::GetState(ctx[idx[k]], s);
            for (int j = 0; j < 4; ++j) st[j][l] = s[j];
            p[l] = data[idx[k]] + start[k] * kBlock;
        }
        if (width == 16) {
            Kernel16<TDigest>(st, p, blocks);
        } else {
            Kernel8<TDigest>(st, p, blocks);
        }
        const uint64_t bytes = static_cast<uint64_t>(blocks) * kBlock;
        for (unsigned int l = 0; l < used; ++l) {
            const uint32_t s[4] = {st[0][l], st[1][l], st[2][l], st[3][l]};
            TDigest::PutState(ctx[idx[k0 + l]], s, bytes);
        }
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

// Adds len[i] bytes of data[i] to ctx[i] for n streams, kMaxLanes at a
// time: the whole blocks in the lanes of eLevel's kernels, the rest (and a
// context holding a partial block, which cannot join a lane) with the
// digest's single-stream code. TDigest supplies Ctx, Whole (no partial block
// held) and Single, and for the vector levels what RunRound needs.
template <class TDigest>
void Update(typename TDigest::Ctx* const ctx[], const unsigned char* const data[], const unsigned int len[],
            unsigned int n, ESimdLevel eLevel) {
    const ESimdLevel eUse = SimdResolve(eLevel);
    for (unsigned int g = 0; g < n; g += kMaxLanes) {
        const unsigned int m = std::min(kMaxLanes, n - g);
        size_t done[kMaxLanes];
        for (unsigned int i = 0; i < m; ++i) done[i] = 0;
#ifdef ZQ_SIMD_X86
        if (eUse != SIMD_PORTABLE) {
            size_t blocks[kMaxLanes];
            for (unsigned int i = 0; i < m; ++i) blocks[i] = TDigest::Whole(ctx[g + i]) ? len[g + i] / kBlock : 0;
            FeedLanes(blocks, m, done, [&](const unsigned int* idx, const size_t* start, unsigned int count,
                                           size_t least) {
                RunRound<TDigest>(eUse, ctx + g, data + g, idx, start, count, least);
            });
        }
#else
        (void)eUse;
#endif
        for (unsigned int i = 0; i < m; ++i) {
            const unsigned int skip = static_cast<unsigned int>(done[i] * kBlock);
            TDigest::Single(ctx[g + i], data[g + i] + skip, len[g + i] - skip);
        }
    }
}

}  // namespace simd_lanes

#endif
