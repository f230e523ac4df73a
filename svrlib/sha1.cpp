#include "sha1.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZQ_SHA_X86 1
#endif

namespace {

const int kBlock = SHA_BLOCKSIZE;

inline SHA_LONG Load32BE(const SHA_BYTE* p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    SHA_LONG v;
    std::memcpy(&v, p, sizeof(v));
    return __builtin_bswap32(v);
#else
    return ((SHA_LONG)p[0] << 24) | ((SHA_LONG)p[1] << 16) | ((SHA_LONG)p[2] << 8) | (SHA_LONG)p[3];
#endif
}

inline void Store32BE(SHA_BYTE* p, SHA_LONG v)
{
    p[0] = (SHA_BYTE)(v >> 24);
    p[1] = (SHA_BYTE)(v >> 16);
    p[2] = (SHA_BYTE)(v >> 8);
    p[3] = (SHA_BYTE)v;
}

inline SHA_LONG Rotl(SHA_LONG v, int s) { return (v << s) | (v >> (32 - s)); }

// One round with the variables renamed instead of shifted: e takes the new
// value and b its rotation, the caller rotates the names.
#define SHA_STEP(a, b, e, f, k, w)             \
    e += Rotl(a, 5) + (f) + (w) + (SHA_LONG)(k); \
    b = Rotl(b, 30)
#define SHA_R1(a, b, c, d, e, w) SHA_STEP(a, b, e, (d) ^ ((b) & ((c) ^ (d))), 0x5a827999u, w)
#define SHA_R2(a, b, c, d, e, w) SHA_STEP(a, b, e, (b) ^ (c) ^ (d), 0x6ed9eba1u, w)
#define SHA_R3(a, b, c, d, e, w) SHA_STEP(a, b, e, ((b) & (c)) | ((d) & ((b) | (c))), 0x8f1bbcdcu, w)
#define SHA_R4(a, b, c, d, e, w) SHA_STEP(a, b, e, (b) ^ (c) ^ (d), 0xca62c1d6u, w)
// The schedule keeps only the last 16 words.
#define SHA_W0(t) (W[t] = Load32BE(p + 4 * (t)))
#define SHA_WX(t) \
    (W[(t) & 15] = Rotl(W[((t) - 3) & 15] ^ W[((t) - 8) & 15] ^ W[((t) - 14) & 15] ^ W[(t) & 15], 1))

void CompressPortable(SHA_LONG state[5], const SHA_BYTE* p, size_t blocks)
{
    SHA_LONG W[16];
    for (; blocks > 0; --blocks, p += kBlock) {
        SHA_LONG a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];

        SHA_R1(a, b, c, d, e, SHA_W0(0));
        SHA_R1(e, a, b, c, d, SHA_W0(1));
        SHA_R1(d, e, a, b, c, SHA_W0(2));
        SHA_R1(c, d, e, a, b, SHA_W0(3));
        SHA_R1(b, c, d, e, a, SHA_W0(4));
        SHA_R1(a, b, c, d, e, SHA_W0(5));
        SHA_R1(e, a, b, c, d, SHA_W0(6));
        SHA_R1(d, e, a, b, c, SHA_W0(7));
        SHA_R1(c, d, e, a, b, SHA_W0(8));
        SHA_R1(b, c, d, e, a, SHA_W0(9));
        SHA_R1(a, b, c, d, e, SHA_W0(10));
        SHA_R1(e, a, b, c, d, SHA_W0(11));
        SHA_R1(d, e, a, b, c, SHA_W0(12));
        SHA_R1(c, d, e, a, b, SHA_W0(13));
        SHA_R1(b, c, d, e, a, SHA_W0(14));
        SHA_R1(a, b, c, d, e, SHA_W0(15));
        SHA_R1(e, a, b, c, d, SHA_WX(16));
        SHA_R1(d, e, a, b, c, SHA_WX(17));
        SHA_R1(c, d, e, a, b, SHA_WX(18));
        SHA_R1(b, c, d, e, a, SHA_WX(19));

        SHA_R2(a, b, c, d, e, SHA_WX(20));
        SHA_R2(e, a, b, c, d, SHA_WX(21));
        SHA_R2(d, e, a, b, c, SHA_WX(22));
        SHA_R2(c, d, e, a, b, SHA_WX(23));
        SHA_R2(b, c, d, e, a, SHA_WX(24));
        SHA_R2(a, b, c, d, e, SHA_WX(25));
        SHA_R2(e, a, b, c, d, SHA_WX(26));
        SHA_R2(d, e, a, b, c, SHA_WX(27));
        SHA_R2(c, d, e, a, b, SHA_WX(28));
        SHA_R2(b, c, d, e, a, SHA_WX(29));
        SHA_R2(a, b, c, d, e, SHA_WX(30));
        SHA_R2(e, a, b, c, d, SHA_WX(31));
        SHA_R2(d, e, a, b, c, SHA_WX(32));
        SHA_R2(c, d, e, a, b, SHA_WX(33));
        SHA_R2(b, c, d, e, a, SHA_WX(34));
        SHA_R2(a, b, c, d, e, SHA_WX(35));
        SHA_R2(e, a, b, c, d, SHA_WX(36));
        SHA_R2(d, e, a, b, c, SHA_WX(37));
        SHA_R2(c, d, e, a, b, SHA_WX(38));
        SHA_R2(b, c, d, e, a, SHA_WX(39));

        SHA_R3(a, b, c, d, e, SHA_WX(40));
        SHA_R3(e, a, b, c, d, SHA_WX(41));
        SHA_R3(d, e, a, b, c, SHA_WX(42));
        SHA_R3(c, d, e, a, b, SHA_WX(43));
        SHA_R3(b, c, d, e, a, SHA_WX(44));
        SHA_R3(a, b, c, d, e, SHA_WX(45));
        SHA_R3(e, a, b, c, d, SHA_WX(46));
        SHA_R3(d, e, a, b, c, SHA_WX(47));
        SHA_R3(c, d, e, a, b, SHA_WX(48));
        SHA_R3(b, c, d, e, a, SHA_WX(49));
        SHA_R3(a, b, c, d, e, SHA_WX(50));
        SHA_R3(e, a, b, c, d, SHA_WX(51));
        SHA_R3(d, e, a, b, c, SHA_WX(52));
        SHA_R3(c, d, e, a, b, SHA_WX(53));
        SHA_R3(b, c, d, e, a, SHA_WX(54));
        SHA_R3(a, b, c, d, e, SHA_WX(55));
        SHA_R3(e, a, b, c, d, SHA_WX(56));
        SHA_R3(d, e, a, b, c, SHA_WX(57));
        SHA_R3(c, d, e, a, b, SHA_WX(58));
        SHA_R3(b, c, d, e, a, SHA_WX(59));

        SHA_R4(a, b, c, d, e, SHA_WX(60));
        SHA_R4(e, a, b, c, d, SHA_WX(61));
        SHA_R4(d, e, a, b, c, SHA_WX(62));
        SHA_R4(c, d, e, a, b, SHA_WX(63));
        SHA_R4(b, c, d, e, a, SHA_WX(64));
        SHA_R4(a, b, c, d, e, SHA_WX(65));
        SHA_R4(e, a, b, c, d, SHA_WX(66));
        SHA_R4(d, e, a, b, c, SHA_WX(67));
        SHA_R4(c, d, e, a, b, SHA_WX(68));
        SHA_R4(b, c, d, e, a, SHA_WX(69));
        SHA_R4(a, b, c, d, e, SHA_WX(70));
        SHA_R4(e, a, b, c, d, SHA_WX(71));
        SHA_R4(d, e, a, b, c, SHA_WX(72));
        SHA_R4(c, d, e, a, b, SHA_WX(73));
        SHA_R4(b, c, d, e, a, SHA_WX(74));
        SHA_R4(a, b, c, d, e, SHA_WX(75));
        SHA_R4(e, a, b, c, d, SHA_WX(76));
        SHA_R4(d, e, a, b, c, SHA_WX(77));
        SHA_R4(c, d, e, a, b, SHA_WX(78));
        SHA_R4(b, c, d, e, a, SHA_WX(79));
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#ifdef ZQ_SHA_X86

// Four rounds per instruction. The message quads W0..W3 rotate through m0..m3;
// each later quad is formed in place from the four before it. e0 and e1 take
// turns holding the state words from which the next quad's e is derived.
#define SHA_NI_SCHED(m0, m1, m2, m3) \
    m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3)
#define SHA_NI_QUAD(e_use, e_keep, w, f)    \
    e_use = _mm_sha1nexte_epu32(e_use, w);  \
    e_keep = abcd;                          \
    abcd = _mm_sha1rnds4_epu32(abcd, e_use, f)

__attribute__((target("sha,sse4.1,ssse3")))
void CompressShaNi(SHA_LONG state[5], const SHA_BYTE* p, size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1b);
    __m128i e0 = _mm_set_epi32((int)state[4], 0, 0, 0);
    __m128i e1;

    for (; blocks > 0; --blocks, p += kBlock) {
        const __m128i abcdSave = abcd;
        const __m128i eSave = e0;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), byteSwap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), byteSwap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), byteSwap);

        e0 = _mm_add_epi32(e0, m0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        SHA_NI_QUAD(e1, e0, m1, 0);
        SHA_NI_QUAD(e0, e1, m2, 0);
        SHA_NI_QUAD(e1, e0, m3, 0);
        SHA_NI_SCHED(m0, m1, m2, m3);
        SHA_NI_QUAD(e0, e1, m0, 0);

        SHA_NI_SCHED(m1, m2, m3, m0);
        SHA_NI_QUAD(e1, e0, m1, 1);
        SHA_NI_SCHED(m2, m3, m0, m1);
        SHA_NI_QUAD(e0, e1, m2, 1);
        SHA_NI_SCHED(m3, m0, m1, m2);
        SHA_NI_QUAD(e1, e0, m3, 1);
        SHA_NI_SCHED(m0, m1, m2, m3);
        SHA_NI_QUAD(e0, e1, m0, 1);
        SHA_NI_SCHED(m1, m2, m3, m0);
        SHA_NI_QUAD(e1, e0, m1, 1);

        SHA_NI_SCHED(m2, m3, m0, m1);
        SHA_NI_QUAD(e0, e1, m2, 2);
        SHA_NI_SCHED(m3, m0, m1, m2);
        SHA_NI_QUAD(e1, e0, m3, 2);
        SHA_NI_SCHED(m0, m1, m2, m3);
        SHA_NI_QUAD(e0, e1, m0, 2);
        SHA_NI_SCHED(m1, m2, m3, m0);
        SHA_NI_QUAD(e1, e0, m1, 2);
        SHA_NI_SCHED(m2, m3, m0, m1);
        SHA_NI_QUAD(e0, e1, m2, 2);

        SHA_NI_SCHED(m3, m0, m1, m2);
        SHA_NI_QUAD(e1, e0, m3, 3);
        SHA_NI_SCHED(m0, m1, m2, m3);
        SHA_NI_QUAD(e0, e1, m0, 3);
        SHA_NI_SCHED(m1, m2, m3, m0);
        SHA_NI_QUAD(e1, e0, m1, 3);
        SHA_NI_SCHED(m2, m3, m0, m1);
        SHA_NI_QUAD(e0, e1, m2, 3);
        SHA_NI_SCHED(m3, m0, m1, m2);
        SHA_NI_QUAD(e1, e0, m3, 3);

        e0 = _mm_sha1nexte_epu32(e0, eSave);
        abcd = _mm_add_epi32(abcd, abcdSave);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1b));
    state[4] = (SHA_LONG)_mm_extract_epi32(e0, 3);
}

bool CpuHasShaNi()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

#endif

typedef void (*CompressFn)(SHA_LONG state[5], const SHA_BYTE* p, size_t blocks);

std::atomic<int> g_forcePortable(0);

CompressFn ChosenCompress()
{
#ifdef ZQ_SHA_X86
    static const bool hasShaNi = CpuHasShaNi();
    if (hasShaNi && g_forcePortable.load(std::memory_order_relaxed) == 0) {
        return CompressShaNi;
    }
#endif
    return CompressPortable;
}

void AddBitCount(SHA_INFO* sha_info, SHA_LONG bytes)
{
    SHA_LONG lo = sha_info->count_lo + (bytes << 3);
    if (lo < sha_info->count_lo) {
        ++sha_info->count_hi;
    }
    sha_info->count_lo = lo;
    sha_info->count_hi += bytes >> 29;
}

}  // namespace

void sha_init(SHA_INFO* sha_info)
{
    sha_info->digest[0] = 0x67452301u;
    sha_info->digest[1] = 0xefcdab89u;
    sha_info->digest[2] = 0x98badcfeu;
    sha_info->digest[3] = 0x10325476u;
    sha_info->digest[4] = 0xc3d2e1f0u;
    sha_info->count_lo = 0;
    sha_info->count_hi = 0;
    sha_info->local = 0;
}

void sha_update(SHA_INFO* sha_info, SHA_BYTE* buffer, int count)
{
    if (count <= 0) {
        return;
    }
    AddBitCount(sha_info, (SHA_LONG)count);
    const CompressFn compress = ChosenCompress();

    if (sha_info->local > 0) {
        int room = kBlock - sha_info->local;
        if (room > count) {
            room = count;
        }
        std::memcpy(sha_info->data + sha_info->local, buffer, (size_t)room);
        sha_info->local += room;
        buffer += room;
        count -= room;
        if (sha_info->local < kBlock) {
            return;
        }
        compress(sha_info->digest, sha_info->data, 1);
        sha_info->local = 0;
    }

    const size_t blocks = (size_t)count / kBlock;
    if (blocks > 0) {
        compress(sha_info->digest, buffer, blocks);
        buffer += blocks * kBlock;
        count -= (int)(blocks * kBlock);
    }
    std::memcpy(sha_info->data, buffer, (size_t)count);
    sha_info->local = count;
}

void sha_final(unsigned char digest[20], SHA_INFO* sha_info)
{
    const CompressFn compress = ChosenCompress();
    // local is below a block for any context that went through sha_update.
    int used = sha_info->local & (kBlock - 1);

    sha_info->data[used++] = 0x80;
    if (used > kBlock - 8) {
        std::memset(sha_info->data + used, 0, (size_t)(kBlock - used));
        compress(sha_info->digest, sha_info->data, 1);
        used = 0;
    }
    std::memset(sha_info->data + used, 0, (size_t)(kBlock - 8 - used));
    Store32BE(sha_info->data + 56, sha_info->count_hi);
    Store32BE(sha_info->data + 60, sha_info->count_lo);
    compress(sha_info->digest, sha_info->data, 1);
    sha_info->local = 0;

    for (int i = 0; i < 5; ++i) {
        Store32BE(digest + 4 * i, sha_info->digest[i]);
    }
}

void sha_transform(SHA_INFO* sha_info)
{
    ChosenCompress()(sha_info->digest, sha_info->data, 1);
}

void sha_stream(unsigned char digest[20], SHA_INFO* sha_info, FILE* fin)
{
    SHA_BYTE data[8192];
    sha_init(sha_info);
    if (fin != nullptr) {
        size_t got;
        while ((got = std::fread(data, 1, sizeof(data), fin)) > 0) {
            sha_update(sha_info, data, (int)got);
        }
    }
    sha_final(digest, sha_info);
}

void sha_print(unsigned char digest[20])
{
    for (int group = 0; group < 5; ++group) {
        const unsigned char* p = digest + 4 * group;
        std::printf("%02x%02x%02x%02x%s", p[0], p[1], p[2], p[3], group < 4 ? " " : "\n");
    }
}

const char* sha_version(void)
{
    return "SHA-1";
}

void sha_force_portable(int force)
{
    g_forcePortable.store(force != 0 ? 1 : 0, std::memory_order_relaxed);
}

int sha_accelerated(void)
{
    return ChosenCompress() == CompressPortable ? 0 : 1;
}
