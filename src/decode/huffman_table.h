// Multi-level decoding tables for the prefix codes of inflate and explode.
//
// A code is given as one length per symbol (0: the symbol has no code). The
// table's first level is indexed directly by the next `lookup bits` bits of
// the bit buffer (least significant bit first, as deflate delivers them);
// codes longer than that continue in subtables. Decoding:
//
//   entry = table[LowBits(bitBuffer, lookupBits)]
//   while entry.extra > kHuffLiteral:    // a link (or 99: invalid)
//       drop entry.bits; entry = entry.next[LowBits(bitBuffer, entry.extra - kHuffLinkBase)]
//   drop entry.bits; act on entry.extra
#ifndef ARCSALVE_DECODE_HUFFMAN_TABLE_H
#define ARCSALVE_DECODE_HUFFMAN_TABLE_H

#include <cstdint>

#include "decode/decode_frame.h"

namespace arcsalve {

// The low `length` bits of code (up to 16) in reverse order: single bits,
// pairs, nibbles and bytes swapped at once.
inline uint32_t ReverseBits(uint32_t code, uint32_t length) {
    code &= (1u << length) - 1;
    code = ((code & 0x5555) << 1) | ((code >> 1) & 0x5555);
    code = ((code & 0x3333) << 2) | ((code >> 2) & 0x3333);
    code = ((code & 0x0F0F) << 4) | ((code >> 4) & 0x0F0F);
    code = ((code & 0x00FF) << 8) | ((code >> 8) & 0x00FF);
    return code >> (16 - length);
}

// What an entry means, by its `extra` field.
// 0..16: base `value` + that many extra bits (Deflate64's longest length
// takes 16).
constexpr uint8_t kHuffMaxExtraBits = 16;
constexpr uint8_t kHuffEndOfBlock = 30;    // a simple symbol of 256 or more
constexpr uint8_t kHuffLiteral = 31;       // a simple symbol below 256
// 33..48: link: drop `bits`, index `next` by the next (extra - 32) bits.
constexpr uint8_t kHuffLinkBase = 32;
constexpr uint8_t kHuffInvalid = 99;       // no symbol has this bit pattern

struct HuffEntry {
    uint8_t extra;  // see the constants above
    uint8_t bits;   // bit-buffer bits to drop when this entry is taken
    union {
        uint16_t value;   // symbol or base value
        HuffEntry* next;  // link entries: the subtable
    };
};

// Largest code length and symbol count the builder accepts.
constexpr uint32_t kHuffMaxLength = 16;
constexpr uint32_t kHuffMaxSymbols = 288;

// Builds the decoding table of the code given by lengths[0..n-1].
// Symbols 0..s-1 are simple: they decode to themselves (extra 16 below 256,
// 15 from 256 on). Symbol s + i decodes to baseList[i] with extraList[i]
// extra bits; both lists hold listLength entries and may be null when every
// symbol is simple. *lookupBits is the requested first-level width on entry
// (1 or more) and the width used on return: raised to the shortest code
// length and lowered to the longest.
//
// Results: kDecodeOk (a complete code: table built; or no symbol has a code:
// *table = nullptr, *lookupBits = 0), kDecodeIncompleteCode (table built,
// spare patterns decode as kHuffInvalid; a single code of length 1 counts as
// complete), kDecodeBadCode (over-subscribed, a length above 16 or a symbol
// beyond the value lists: no table), kDecodeNoMemory (no table; nothing
// leaks). The table takes its memory from
// MemoryAllocate and is released with FreeHuffmanTable.
DecodeResult BuildHuffmanTable(const uint8_t* lengths, uint32_t n, uint32_t s, const uint16_t* baseList,
                      const uint16_t* extraList, uint32_t listLength, HuffEntry** table,
                      int* lookupBits);

// What BuildHuffmanTable makes of a code, found without building it: the
// result it returns (never kDecodeNoMemory), the first-level width it uses,
// and what its subtables' widths follow from. A decoder that looks codes up
// in tables of its own learns from it how far the built table's lookups
// reach, and builds the table only when it needs it.
struct HuffShape {
    uint32_t count[kHuffMaxLength + 1];  // codes of each length (count[0]: symbols without one)
    uint32_t shortest;
    uint32_t longest;
    uint32_t spare;       // patterns of the longest length no symbol takes
    uint32_t lookupBits;  // the first level's width; 0 when no symbol has a code
};
DecodeResult ShapeHuffmanCode(const uint8_t* lengths, uint32_t n, int lookupBits, HuffShape* shape);

// The width of the subtable BuildHuffmanTable makes under a first-level
// entry that links on: the number of bits a second lookup takes, for codes
// of at most twice the first level's length. prefix: the code's first
// lookupBits bits, first bit highest; or the code of a symbol, with the
// lengths and n given to the shape.
uint32_t HuffSubtableWidth(const HuffShape& shape, uint32_t prefix);
uint32_t HuffSubtableWidth(const HuffShape& shape, const uint8_t* lengths, uint32_t n, uint32_t symbol);

// Frees every block of a table built above; nullptr is allowed.
void FreeHuffmanTable(HuffEntry* table);

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_HUFFMAN_TABLE_H
