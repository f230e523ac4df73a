#include "simd_level.h"

#include <cstring>

namespace {

bool CpuHas(ESimdLevel eLevel) {
#if defined(__x86_64__) || defined(__i386__)
    // __builtin_cpu_supports also checks that the kernel saves the wide registers.
    static const bool bAvx2 = __builtin_cpu_supports("avx2") != 0;
    static const bool bAvx512 = __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
                                __builtin_cpu_supports("avx512vl") != 0;
    // The 16-lane kernels fall back to the 8-lane ones for short groups.
    if (eLevel == SIMD_AVX512) return bAvx512 && bAvx2;
    if (eLevel == SIMD_AVX2) return bAvx2;
#endif
    return eLevel == SIMD_PORTABLE || eLevel == SIMD_AUTO;
}

const char* const kNames[] = {"auto", "portable", "avx2", "avx512"};

}  // namespace

bool SimdParseLevel(const char* pszText, ESimdLevel& eLevel) {
    if (pszText == nullptr) return false;
    for (int i = SIMD_AUTO; i <= SIMD_AVX512; ++i) {
        if (strcmp(pszText, kNames[i]) == 0) {
            eLevel = static_cast<ESimdLevel>(i);
            return true;
        }
    }
    return false;
}

const char* SimdLevelName(ESimdLevel eLevel) {
    return eLevel >= SIMD_AUTO && eLevel <= SIMD_AVX512 ? kNames[eLevel] : "unknown";
}

bool SimdSupported(ESimdLevel eLevel) { return CpuHas(eLevel); }

ESimdLevel SimdResolve(ESimdLevel eLevel) {
    int i = eLevel == SIMD_AUTO || eLevel > SIMD_AVX512 ? SIMD_AVX512 : eLevel;
    for (; i > SIMD_PORTABLE; --i)
        if (CpuHas(static_cast<ESimdLevel>(i))) break;
    return i < SIMD_PORTABLE ? SIMD_PORTABLE : static_cast<ESimdLevel>(i);
}

unsigned int SimdLanes(ESimdLevel eLevel) {
    switch (SimdResolve(eLevel)) {
        case SIMD_AVX512:
            return 16;
        case SIMD_AVX2:
            return 8;
        default:
            return 1;
    }
}
