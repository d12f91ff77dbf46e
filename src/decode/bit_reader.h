// The one bit reader of the decoders, and the table-driven symbol decoder
// that inflate and explode share.
//
// Bits are taken least significant first from the bytes that
// ReadCompressedByte delivers, the first byte supplying bits 0 to 7. A
// request for n bits (n <= 16) pulls whole bytes only while fewer than n are
// buffered, so the 32-bit buffer never overflows and the decoder never reads
// further ahead than it must: the archive reader ends up where the scan
// expects it after the entry.
//
// Once the byte source has nothing more to give (the archive ended early, or
// the decoder asked for more than the compressed size plus the 10-byte
// allowance), the reader keeps the bit arithmetic going with zero bytes, so
// a table look-up may still peek past the last real bit, but it counts those
// made-up bits and does not ask the source again. As they sit above every
// real bit in the buffer, a decoder has used one of them exactly when fewer
// bits remain than were made up: UsedMissingInput(). The decoders stop there
// instead of turning made-up bits into output, so a truncated entry ends at
// its last real code rather than being padded with invented bytes.
#ifndef ARCSALVE_DECODE_BIT_READER_H
#define ARCSALVE_DECODE_BIT_READER_H

#include <cstdint>

#include "decode/decode_frame.h"
#include "decode/huffman_table.h"

namespace arcsalve {

// The low n bits of v (n <= 16). Computed rather than looked up: the mask is
// on the critical path of every symbol, and a shift is quicker than a load.
inline uint32_t LowBits(uint32_t v, uint32_t n) { return v & ((uint32_t{1} << n) - 1); }

struct BitReader {
    DecodeState* state;
    uint32_t buffer;  // buffered bits, the oldest in bit 0
    uint32_t count;   // valid bits in buffer
    uint32_t madeUp;  // how many of the newest bits the input never supplied

    void Need(uint32_t n) {
        while (count < n) {
            uint16_t slot = 0;
            if (madeUp == 0 && ReadCompressedByte(state, &slot) != 0) {
                buffer |= static_cast<uint32_t>(slot & 0xFF) << count;
            } else {
                // No byte: eight zero bits stand in. Once the source has
                // failed it has nothing more for this entry.
                madeUp += 8;
            }
            count += 8;
        }
    }
    uint32_t Peek(uint32_t n) const { return LowBits(buffer, n); }
    void Drop(uint32_t n) {
        buffer >>= n;
        count -= n;
    }
    uint32_t Take(uint32_t n) {
        Need(n);
        uint32_t v = Peek(n);
        Drop(n);
        return v;
    }
    // True once a bit that the input never supplied has been consumed.
    bool UsedMissingInput() const { return count < madeUp; }
};

inline BitReader StartBits(DecodeState* state) { return BitReader{state, 0, 0, 0}; }

// Decodes one symbol: looks up the first lookupBits bits, follows link
// entries down to the code's own entry and drops the code's bits. Returns
// null for a pattern no symbol takes. With kInverted the buffered bits are
// looked up complemented (explode's Shannon-Fano codes are the complements
// of canonical ones).
template <bool kInverted>
inline const HuffEntry* DecodeSymbol(BitReader& bits, const HuffEntry* table, uint32_t lookupBits) {
    bits.Need(lookupBits);
    const HuffEntry* e = table + LowBits(kInverted ? ~bits.buffer : bits.buffer, lookupBits);
    while (e->extra > kHuffLiteral) {
        if (e->extra == kHuffInvalid) return nullptr;
        bits.Drop(e->bits);
        const uint32_t width = e->extra - kHuffLinkBase;
        bits.Need(width);
        e = e->next + LowBits(kInverted ? ~bits.buffer : bits.buffer, width);
    }
    bits.Drop(e->bits);
    return e;
}

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_BIT_READER_H
