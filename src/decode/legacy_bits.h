// The bit reader of the three pre-deflate decoders (explode, unshrink,
// unreduce): bits are taken least significant first from the bytes that
// ReadCompressedByte delivers, the first byte supplying bits 0 to 7.
//
// Once the byte source has nothing more to give (the archive ended early, or
// the decoder asked for more than the compressed size plus the 10-byte
// allowance), the reader keeps the bit arithmetic going with zero bytes, so a
// table look-up may still peek past the last real bit, but it counts those
// stand-in bits. As they sit above every real bit in the buffer, a decoder has
// used one of them exactly when fewer bits remain than were made up:
// InputSpent(). The decoders stop there instead of turning made-up bits into
// output, so a truncated entry ends at its last real code rather than being
// padded with invented bytes up to its recorded size.
#ifndef ARCSALVE_DECODE_LEGACY_BITS_H
#define ARCSALVE_DECODE_LEGACY_BITS_H

#include <cstdint>
#include <memory>

#include "decode/decode_frame.h"

namespace arcsalve {

struct LegacyBits {
    DecodeState* state;
    uint32_t buffer;    // buffered bits, the oldest in bit 0
    uint32_t count;     // valid bits in buffer
    uint32_t madeUp;    // how many of the newest bits the input never supplied
};

inline LegacyBits StartBits(DecodeState* state) { return LegacyBits{state, 0, 0, 0}; }

// Makes sure at least n bits (n <= 16) are buffered. The 32-bit buffer never
// overflows: at most 15 bits stand before a byte is added.
inline void NeedBits(LegacyBits& bits, uint32_t n) {
    while (bits.count < n) {
        uint16_t slot = 0;
        if (bits.madeUp == 0 && ReadCompressedByte(bits.state, &slot) != 0) {
            bits.buffer |= static_cast<uint32_t>(slot & 0xFF) << bits.count;
        } else {
            // No byte: eight zero bits stand in. The source is not asked
            // again; once it has failed it has nothing more for this entry.
            bits.madeUp += 8;
        }
        bits.count += 8;
    }
}

inline uint32_t PeekBits(const LegacyBits& bits, uint32_t n) { return bits.buffer & kBitMask[n]; }

inline void DropBits(LegacyBits& bits, uint32_t n) {
    bits.buffer >>= n;
    bits.count -= n;
}

inline uint32_t TakeBits(LegacyBits& bits, uint32_t n) {
    NeedBits(bits, n);
    uint32_t value = PeekBits(bits, n);
    DropBits(bits, n);
    return value;
}

// True once a bit that the input never supplied has been consumed.
inline bool InputSpent(const LegacyBits& bits) { return bits.count < bits.madeUp; }

// Working memory from MemoryAllocate, released on every path out of a decoder.
struct BlockDeleter {
    void operator()(void* block) const { MemoryFree(block); }
};
template <typename T>
using BlockPtr = std::unique_ptr<T, BlockDeleter>;

template <typename T>
BlockPtr<T> AllocBlockOf(size_t bytes) {
    return BlockPtr<T>(static_cast<T*>(MemoryAllocate(bytes)));
}

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_LEGACY_BITS_H
