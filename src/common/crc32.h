// CRC-32 of the ZIP format: reflected polynomial 0xEDB88320, register preset
// to all ones, result complemented.
#ifndef ARCSALVE_COMMON_CRC32_H
#define ARCSALVE_COMMON_CRC32_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace arcsalve {

// Table 0 is the classic byte table: entry n is n run through eight shift
// steps of the reflected polynomial. Table k (1 to 7) holds the contribution
// of a byte that still has k more bytes to pass through the register, which
// lets Crc32Update fold eight bytes per step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

inline constexpr CrcTables kCrcTables = MakeCrcTables();
static_assert(kCrcTables[0][1] == 0x77073096u, "CRC table entry 1 of the ZIP polynomial");
static_assert(kCrcTables[0][255] == 0x2D02EF8Du, "CRC table entry 255 of the ZIP polynomial");

// One table step on a bare register, without the pre- and post-complement
// (the traditional cipher's key schedule uses it this way).
inline uint32_t Crc32Step(uint32_t reg, uint8_t byte) {
    return kCrcTables[0][(reg ^ byte) & 0xFF] ^ (reg >> 8);
}

// Continues a finished checksum over more bytes: Crc32Update(0, p, n) is the
// CRC-32 of p[0..n), and Crc32Update(Crc32Update(0, a, n), b, m) that of a
// followed by b (the same contract as zlib's crc32()). It runs the folding
// path when the processor has carry-less multiplication (x86 PCLMULQDQ with
// SSE4.1, checked once), the table path otherwise.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

// The two paths, for tests and benchmarks. Crc32UpdateClmul may only be called
// when Crc32HasClmul() is true; buffers under 64 bytes and the bytes before
// the first 16-byte boundary and after the last go through the table there.
uint32_t Crc32UpdateTable(uint32_t crc, const void* data, size_t size);
uint32_t Crc32UpdateClmul(uint32_t crc, const void* data, size_t size);
bool Crc32HasClmul();

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_CRC32_H
