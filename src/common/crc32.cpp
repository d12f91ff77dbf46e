#include "common/crc32.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define ARCSALVE_CRC_CLMUL 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace arcsalve {

uint32_t Crc32UpdateTable(uint32_t crc, const void* data, size_t size) {
    const auto& t = kCrcTables;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = ~crc;
    while (size >= 8) {
        uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                           uint32_t(p[3]) << 24);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        size -= 8;
    }
    while (size--) c = Crc32Step(c, *p++);
    return ~c;
}

#ifdef ARCSALVE_CRC_CLMUL

// Folding with carry-less multiplication. The register is kept as a 128-bit
// remainder-in-progress: 128 bits of message M followed by D more bits equal,
// modulo P, M * x^D. Splitting M into its two 64-bit halves H (earlier bits,
// the low qword in this bit-reflected order) and L, each half is multiplied by
// the constant x^(D+64) or x^D mod P (reduced to 32 bits, so the products stay
// within 96 bits) and the two products are added to the 128 bits that lie D
// bits further on. Four such registers run side by side over 64-byte strides
// (D = 512) to keep the multiplier busy; they are then folded into one
// (D = 128), the last 128 bits are reduced to 64, then 32 bits with x^64 mod P,
// and Barrett reduction gives the 32-bit remainder.
//
// Each constant is x^n mod P bit-reflected in 32 bits and shifted left once
// (a carry-less product of reflected operands comes out one bit short);
// scripts/crc32_constants.py derives them all from the polynomial.
namespace {

constexpr uint64_t kFold4Low = 0x154442BD4;   // x^(4*128+32) mod P
constexpr uint64_t kFold4High = 0x1C6E41596;  // x^(4*128-32) mod P
constexpr uint64_t kFold1Low = 0x1751997D0;   // x^(128+32) mod P
constexpr uint64_t kFold1High = 0x0CCAA009E;  // x^(128-32) mod P
constexpr uint64_t kFold64 = 0x163CD6124;     // x^64 mod P
constexpr uint64_t kBarrettMu = 0x1F7011641;  // floor(x^64 / P), reflected in 33 bits
constexpr uint64_t kBarrettP = 0x1DB710641;   // P, reflected in 33 bits

#define ARCSALVE_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

ARCSALVE_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Folds the 16-byte aligned blocks of p[0..size), size a multiple of 16 and at
// least 64, into the (uncomplemented) register c. On 32-bit x86 the incoming
// stack may be only 4-byte aligned, hence the realignment at the entry.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
ARCSALVE_CLMUL_TARGET uint32_t FoldBlocks(uint32_t c, const uint8_t* p, size_t size) {
    const __m128i* v = reinterpret_cast<const __m128i*>(p);
    __m128i x0 = _mm_xor_si128(_mm_load_si128(v), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = _mm_load_si128(v + 1), x2 = _mm_load_si128(v + 2), x3 = _mm_load_si128(v + 3);
    v += 4;
    size_t blocks = size / 16 - 4;
    const __m128i k4 = _mm_set_epi64x(static_cast<long long>(kFold4High), static_cast<long long>(kFold4Low));
    for (; blocks >= 4; blocks -= 4, v += 4) {
        x0 = Fold(x0, k4, _mm_load_si128(v));
        x1 = Fold(x1, k4, _mm_load_si128(v + 1));
        x2 = Fold(x2, k4, _mm_load_si128(v + 2));
        x3 = Fold(x3, k4, _mm_load_si128(v + 3));
    }
    const __m128i k1 = _mm_set_epi64x(static_cast<long long>(kFold1High), static_cast<long long>(kFold1Low));
    __m128i x = Fold(Fold(Fold(x0, k1, x1), k1, x2), k1, x3);
    for (; blocks > 0; --blocks) x = Fold(x, k1, _mm_load_si128(v++));

    // 128 to 96 bits: the earlier half lies 64 bits before the later one and the
    // CRC appends 32 zero bits, so it is multiplied by x^96 mod P onto it.
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, k1, 0x10));
    // 96 to 64 bits: the earliest 32 bits times x^64 mod P onto the rest.
    const __m128i k64 = _mm_set_epi64x(0, static_cast<long long>(kFold64));
    x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, mask32), k64, 0x00));
    // Barrett: q = floor(x / P) from the low 32 bits and mu, then x - q * P.
    const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kBarrettMu), static_cast<long long>(kBarrettP));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, mask32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, q), 1));
}

bool DetectClmul() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
    return (c & bit_PCLMUL) != 0 && (c & bit_SSE4_1) != 0;
}

}  // namespace

bool Crc32HasClmul() {
    static const bool has = DetectClmul();
    return has;
}

uint32_t Crc32UpdateClmul(uint32_t crc, const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t head = (16 - (reinterpret_cast<uintptr_t>(p) & 15)) & 15;
    if (size < 64 || size - head < 64) return Crc32UpdateTable(crc, p, size);
    crc = Crc32UpdateTable(crc, p, head);
    size_t body = (size - head) & ~size_t(15);
    crc = ~FoldBlocks(~crc, p + head, body);
    return Crc32UpdateTable(crc, p + head + body, size - head - body);
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
    return Crc32HasClmul() ? Crc32UpdateClmul(crc, data, size) : Crc32UpdateTable(crc, data, size);
}

#else  // no carry-less multiplication on this target: the table only

bool Crc32HasClmul() { return false; }

uint32_t Crc32UpdateClmul(uint32_t crc, const void* data, size_t size) {
    return Crc32UpdateTable(crc, data, size);
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
    return Crc32UpdateTable(crc, data, size);
}

#endif

}  // namespace arcsalve
