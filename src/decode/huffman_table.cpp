// Building the multi-level decoding tables of canonical prefix codes.
//
// Deflate (and explode) transmit a prefix code as one length per symbol; the
// codes themselves follow from the canonical rule of RFC 1951 section 3.2.2:
// shorter codes first, and within one length, symbols in increasing order,
// each code the previous one plus 1. Deflate sends a code's first bit first,
// and the bit buffer holds the oldest bit lowest, so a table is indexed by the
// code bit-reversed.
//
// Layout: level 0 is one block of 2^l entries indexed by the next l bits.
// A code longer than l continues in a subtable reached through a link entry;
// level n covers code bits n*l to n*l + l - 1, and a subtable is only as wide
// as the codes under its prefix need (never more than l bits). Each block is
// allocated as one header entry followed by its entries; the headers chain the
// blocks of one table in creation order so that FreeHuffmanTable can find
// them all from the first.
//
// Codes that no symbol takes (an incomplete code) are extra codes of the
// longest length, after the real ones, and decode as kHuffInvalid: every
// index of every block holds an entry. Blocks start out filled with that
// entry, so a long run of spare codes (a single 15-bit code leaves 32767)
// costs one pass over its blocks rather than one placement per code.
#include "decode/huffman_table.h"

#include <cassert>

#include "decode/decode_frame.h"

namespace arcsalve {

namespace {

// Levels: with l >= 1 and codes of at most 16 bits there are at most 16.
constexpr uint32_t kMaxLevels = kHuffMaxLength;

// The blocks under construction: the newest block of each level and the
// code prefix (bits below the level's start) it serves.
struct TableBuilder {
    HuffEntry* first;       // level-0 block: the table handed out
    HuffEntry* lastHeader;  // header of the newest block: chain tail
    HuffEntry* block[kMaxLevels];
    uint32_t blockBits[kMaxLevels];
    uint32_t blockPrefix[kMaxLevels];
    int depth;  // deepest level whose block[] is current, -1 before any
};

// A block of 2^bits entries behind its header, appended to the chain. Every
// entry starts as the entry a spare code of the longest length would get in
// it; real codes and links overwrite theirs.
HuffEntry* NewBlock(TableBuilder* b, uint32_t bits, uint32_t spareBits) {
    size_t size = size_t{1} << bits;
    auto* header = static_cast<HuffEntry*>(MemoryAllocate((size + 1) * sizeof(HuffEntry)));
    if (header == nullptr) return nullptr;
    header->extra = 0;
    header->bits = 0;
    header->next = nullptr;
    HuffEntry spare{};
    spare.extra = kHuffInvalid;
    spare.bits = static_cast<uint8_t>(spareBits);
    spare.value = 0;
    for (size_t i = 1; i <= size; ++i) header[i] = spare;
    if (b->lastHeader != nullptr) b->lastHeader->next = header + 1;
    b->lastHeader = header;
    if (b->first == nullptr) b->first = header + 1;
    return header + 1;
}

// Width of a new block at level start w for the first code under its prefix,
// of length k, with `remaining` codes of length k still to place (this one
// included). A block the code passes through takes the full l bits; a block
// that holds the code itself grows from k - w bits while the codes that follow
// under its prefix still leave room, up to l bits or the longest code.
uint32_t BlockWidth(const uint32_t count[], uint32_t k, uint32_t w, uint32_t l, uint32_t kmax,
                    uint32_t remaining) {
    if (k - w > l) return l;
    uint32_t j = k - w;
    uint32_t limit = kmax - w < l ? kmax - w : l;
    int32_t room = (int32_t{1} << j) - static_cast<int32_t>(remaining);
    while (room > 0 && j < limit) {
        ++j;
        room = room * 2 - static_cast<int32_t>(count[w + j]);
    }
    return j;
}

// Makes sure every level from 0 to the code's own level has a block under the
// code's prefix; returns the code's level, or -1 when out of memory.
int OpenLevels(TableBuilder* b, const uint32_t count[], uint32_t reversed, uint32_t k, uint32_t l,
               uint32_t kmax, uint32_t remaining) {
    int target = static_cast<int>((k - 1) / l);
    for (int level = 0; level <= target; ++level) {
        uint32_t w = static_cast<uint32_t>(level) * l;
        uint32_t prefix = reversed & ((uint32_t{1} << w) - 1);
        if (level <= b->depth && b->blockPrefix[level] == prefix) continue;
        uint32_t j = BlockWidth(count, k, w, l, kmax, remaining);
        HuffEntry* block = NewBlock(b, j, kmax - w);
        if (block == nullptr) return -1;
        if (level > 0) {
            // Link from the level above, which passes this code through and
            // so is l bits wide.
            assert(b->blockBits[level - 1] == l);
            HuffEntry& link = b->block[level - 1][(reversed >> (w - l)) & ((uint32_t{1} << l) - 1)];
            link.extra = static_cast<uint8_t>(kHuffLinkBase + j);
            link.bits = static_cast<uint8_t>(l);
            link.next = block;
        }
        b->block[level] = block;
        b->blockBits[level] = j;
        b->blockPrefix[level] = prefix;
        b->depth = level;
    }
    return target;
}

}  // namespace

void FreeHuffmanTable(HuffEntry* table) {
    while (table != nullptr) {
        HuffEntry* header = table - 1;
        HuffEntry* next = header->next;
        MemoryFree(header);
        table = next;
    }
}

DecodeResult ShapeHuffmanCode(const uint8_t* lengths, uint32_t n, int lookupBits, HuffShape* shape) {
    assert(n <= kHuffMaxSymbols);
    uint32_t* count = shape->count;
    for (uint32_t k = 0; k <= kHuffMaxLength; ++k) count[k] = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (lengths[i] > kHuffMaxLength) return kDecodeBadCode;
        ++count[lengths[i]];
    }
    shape->spare = 0;
    if (count[0] == n) {
        shape->shortest = shape->longest = shape->lookupBits = 0;
        return kDecodeOk;
    }
    uint32_t kmin = 1;
    while (count[kmin] == 0) ++kmin;
    uint32_t kmax = kHuffMaxLength;
    while (count[kmax] == 0) --kmax;
    uint32_t l = lookupBits < static_cast<int>(kmin) ? kmin : static_cast<uint32_t>(lookupBits);
    if (l > kmax) l = kmax;
    shape->shortest = kmin;
    shape->longest = kmax;
    shape->lookupBits = l;

    // Code space: 2^kmin codes of length kmin; every length used takes its
    // codes, and what is left doubles at the next length.
    int32_t spare = int32_t{1} << kmin;
    for (uint32_t k = kmin; k < kmax; ++k) {
        spare -= static_cast<int32_t>(count[k]);
        if (spare < 0) return kDecodeBadCode;
        spare *= 2;
    }
    spare -= static_cast<int32_t>(count[kmax]);
    if (spare < 0) return kDecodeBadCode;
    shape->spare = static_cast<uint32_t>(spare);
    return spare > 0 && kmax != 1 ? kDecodeIncompleteCode : kDecodeOk;
}

uint32_t HuffSubtableWidth(const HuffShape& shape, uint32_t prefix) {
    const uint32_t l = shape.lookupBits;
    // The first code of each length; the spare patterns count as further
    // codes of the longest.
    uint32_t count[kHuffMaxLength + 1];
    for (uint32_t i = 0; i <= kHuffMaxLength; ++i) count[i] = shape.count[i];
    count[shape.longest] += shape.spare;
    uint32_t first[kHuffMaxLength + 1] = {};
    for (uint32_t i = 1, code = 0; i <= kHuffMaxLength; ++i) {
        first[i] = code;
        code = (code + count[i]) << 1;
    }
    // Canonical codes under one l-bit prefix are consecutive: the subtable
    // is opened for the shortest of them, the first in that order, and
    // sized from it as the builder does (BlockWidth).
    for (uint32_t k = l + 1; k <= shape.longest; ++k) {
        const uint32_t low = prefix << (k - l);
        const uint32_t high = (prefix + 1) << (k - l);
        const uint32_t from = first[k] > low ? first[k] : low;
        const uint32_t to = first[k] + count[k] < high ? first[k] + count[k] : high;
        if (from < to) return BlockWidth(count, k, l, l, shape.longest, first[k] + count[k] - from);
    }
    return 0;  // no code goes on under this prefix
}

uint32_t HuffSubtableWidth(const HuffShape& shape, const uint8_t* lengths, uint32_t n, uint32_t symbol) {
    const uint32_t k = lengths[symbol];
    assert(k > shape.lookupBits && k <= 2 * shape.lookupBits);
    uint32_t code = 0;
    for (uint32_t i = 1; i < k; ++i) code = (code + shape.count[i]) << 1;
    for (uint32_t i = 0; i < symbol && i < n; ++i) code += lengths[i] == k ? 1 : 0;
    return HuffSubtableWidth(shape, code >> (k - shape.lookupBits));
}

DecodeResult BuildHuffmanTable(const uint8_t* lengths, uint32_t n, uint32_t s, const uint16_t* baseList,
                      const uint16_t* extraList, uint32_t listLength, HuffEntry** table,
                      int* lookupBits) {
    HuffShape shape;
    const DecodeResult verdict = ShapeHuffmanCode(lengths, n, *lookupBits, &shape);
    if (!TableBuilt(verdict)) return verdict;
    uint32_t* count = shape.count;
    *lookupBits = static_cast<int>(shape.lookupBits);
    if (count[0] == n) {
        *table = nullptr;
        return kDecodeOk;
    }
    const uint32_t kmin = shape.shortest;
    const uint32_t kmax = shape.longest;
    const uint32_t l = shape.lookupBits;
    const int32_t spare = static_cast<int32_t>(shape.spare);

    // Symbols with a code, by length and then by symbol number; the spare
    // codes follow them as further codes of the longest length.
    uint16_t order[kHuffMaxSymbols];
    uint32_t offset[kHuffMaxLength + 2] = {};
    for (uint32_t k = 1; k <= kHuffMaxLength; ++k) offset[k + 1] = offset[k] + count[k];
    for (uint32_t i = 0; i < n; ++i) {
        if (lengths[i] != 0) order[offset[lengths[i]]++] = static_cast<uint16_t>(i);
    }
    uint32_t realCodes = n - count[0];
    count[kmax] += static_cast<uint32_t>(spare);

    TableBuilder b{};
    b.depth = -1;
    uint32_t code = 0;  // canonical code of the current length, first bit highest
    uint32_t placed = 0;
    for (uint32_t k = kmin; k <= kmax; ++k, code <<= 1) {
        for (uint32_t remaining = count[k]; remaining > 0;) {
            uint32_t reversed = ReverseBits(code, k);
            int level = OpenLevels(&b, count, reversed, k, l, kmax, remaining);
            if (level < 0) {
                FreeHuffmanTable(b.first);
                return kDecodeNoMemory;
            }
            uint32_t w = static_cast<uint32_t>(level) * l;
            if (placed >= realCodes) {
                // Spare codes (all of the longest length) already stand in
                // their blocks as the entries blocks start with: skip to the
                // first one under another prefix, which may need new blocks.
                uint32_t span = uint32_t{1} << (k - w);
                uint32_t skip = span - (code & (span - 1));
                if (skip > remaining) skip = remaining;
                code += skip;
                placed += skip;
                remaining -= skip;
                continue;
            }
            HuffEntry entry{};
            entry.bits = static_cast<uint8_t>(k - w);
            if (order[placed] < s) {
                entry.extra = order[placed] < 256 ? kHuffLiteral : kHuffEndOfBlock;
                entry.value = order[placed];
            } else {
                uint32_t index = order[placed] - s;
                if (baseList == nullptr || extraList == nullptr || index >= listLength) {
                    FreeHuffmanTable(b.first);
                    return kDecodeBadCode;
                }
                entry.extra = static_cast<uint8_t>(extraList[index] & 0xFF);
                entry.value = baseList[index];
            }
            // The code's bits from w upward select its index; the bits above
            // the code's end are free, so it fills every 2^(k-w)-th entry.
            HuffEntry* block = b.block[level];
            uint32_t size = uint32_t{1} << b.blockBits[level];
            for (uint32_t i = reversed >> w; i < size; i += uint32_t{1} << (k - w)) block[i] = entry;
            ++code;
            ++placed;
            --remaining;
        }
    }

    *table = b.first;
    return verdict;
}

}  // namespace arcsalve
