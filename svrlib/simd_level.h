// Which vector instructions the multi-lane digests (md5_lanes, md4_lanes)
// may use. The processor is asked once, at first use; a caller may force any
// level (tests do, to check every kernel against the single-stream code), and
// a forced level the processor lacks is never executed: SimdResolve brings it
// down to the widest level that is there. Plain functions, safe from any thread.
#ifndef ZQ_SIMD_LEVEL_H
#define ZQ_SIMD_LEVEL_H

enum ESimdLevel {
    SIMD_AUTO = 0,      // the widest level this processor has
    SIMD_PORTABLE = 1,  // the single-stream code, one lane after the other
    SIMD_AVX2 = 2,      // 8 lanes of 32 bits
    SIMD_AVX512 = 3,    // 16 lanes (AVX-512 F, BW and VL)
};

// "auto", "portable", "avx2" or "avx512"; false, level untouched, for anything else.
bool SimdParseLevel(const char* pszText, ESimdLevel& eLevel);
const char* SimdLevelName(ESimdLevel eLevel);
// Whether the processor (and the kernel) let this level run; auto and portable always do.
bool SimdSupported(ESimdLevel eLevel);
// The level that runs when eLevel is asked for: auto becomes the widest
// supported level, an unsupported level the widest supported one below it.
ESimdLevel SimdResolve(ESimdLevel eLevel);
// Lanes the resolved level advances at once: 1, 8 or 16.
unsigned int SimdLanes(ESimdLevel eLevel);

#endif
