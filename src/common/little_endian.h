// Little-endian field access for ZIP records, byte by byte, so that no record
// is ever read through a misaligned or type-punned pointer.
#ifndef ARCSALVE_COMMON_LITTLE_ENDIAN_H
#define ARCSALVE_COMMON_LITTLE_ENDIAN_H

#include <cstdint>

namespace arcsalve {

inline uint16_t LoadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t LoadLE64(const uint8_t* p) { return uint64_t(LoadLE32(p)) | uint64_t(LoadLE32(p + 4)) << 32; }
inline void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void StoreLE64(uint8_t* p, uint64_t v) {
    StoreLE32(p, static_cast<uint32_t>(v));
    StoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_LITTLE_ENDIAN_H
