// Inflate: the decoder of compression methods 8 (deflate, RFC 1951) and 9
// (Deflate64).
//
// A deflate stream is a sequence of blocks, each with a 3-bit header (last-
// block bit, then a 2-bit type): stored (0), fixed Huffman codes (1), dynamic
// Huffman codes (2). Huffman blocks code literals, an end-of-block symbol and
// length/distance pairs that copy from the last 32768 bytes of output.
//
// Deflate64 is the same format with three codes changed: distances reach
// 65536 bytes back (distance codes 30 and 31: bases 32769 and 49153, 14
// extra bits each), and length symbol 285 is base 3 with 16 extra bits
// (lengths 3 to 65538) instead of 258. One decoder serves both, told apart
// by an InflateFormat: its value lists and its window size.
//
// Salvage comes first here: the decoder stops at the first error and the part
// of the window decoded so far is still written out, so the temporary file
// holds every byte of the entry that came before the damage, in order.
//
// Where this decoder is more lenient than RFC 1951, on purpose (old
// archivers wrote such streams and their data is still worth having):
//   - in deflate, distance codes 30 and 31 decode like code 29 (base 24577,
//     13 extra bits);
//   - a dynamic block may declare up to 288 literal/length and 32 distance
//     codes (symbols 286 and 287 are still errors when they occur);
//   - an incomplete distance code is accepted; its spare patterns are errors;
//   - a repeat code (16) before any length repeats length 0.
//
// Two loops decode a Huffman block. The careful loop (InflateCodes) defines
// the decoder: bits come through the frame's byte source one byte at a time,
// exactly when a request finds too few in the 32-bit buffer; it never reads
// further ahead than that, so the archive reader ends up where the scan
// expects it after the entry, and a damaged stream stops at the same bit
// with the same output whatever the buffering. The fast loop (InflateFast)
// does the same work on the bulk of the data, a word of input at a time, up
// to each block's end, and hands the stream back to the careful loop near
// the end of the input and on anything unusual, in exactly the state the
// careful loop would have reached. The careful loop's tables of a dynamic
// block are built only when the bits ahead cannot settle a symbol without
// them; the code lengths say all else either loop must know of them.
// Resynchronising on damaged data can reuse the careful loop alone.
#include <cstddef>
#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define ARCSALVE_INFLATE_BMI2 1
#include <cpuid.h>
#endif

#include "common/deflate_format.h"
#include "common/little_endian.h"
#include "decode/bit_reader.h"
#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "decode/huffman_table.h"
#include "decode/inflate_resync.h"

namespace arcsalve {

namespace {

// First-level widths of the decoding tables. Dynamic literal/length codes
// resolve most symbols in one 9-bit lookup and distance codes in one 6-bit
// lookup; the fixed codes' shortest lengths are 7 and 5, and code-length codes
// are at most 7 bits long.
constexpr int kLiteralLookupBits = 9;
constexpr int kDistanceLookupBits = 6;
constexpr int kFixedLiteralLookupBits = 7;
constexpr int kFixedDistanceLookupBits = 5;
constexpr int kCodeLengthLookupBits = 7;
// Every value list below has 32 entries (symbols 257..288, distance codes 0..31).
constexpr uint32_t kListLength = 32;

constexpr uint32_t kLiteralCodes = 288;  // 256 literals, end of block, 31 lengths (2 unused)
constexpr uint32_t kDistanceCodes = 32;  // 30 in RFC 1951, 2 more accepted here
constexpr uint32_t kFirstLengthSymbol = 257;

// What sets deflate and Deflate64 apart: the value lists of the decoding
// tables (the format's bases and extra bits from common/deflate_format.h,
// widened to 32 entries; length symbols 286 and 287 marked invalid, 99, so
// their table entries decode as errors), the window, and how many of the
// fixed code's 32 distance patterns are codes.
struct InflateFormat {
    uint16_t lengthBase[kListLength];
    uint16_t lengthExtra[kListLength];
    uint16_t distanceBase[kListLength];
    uint16_t distanceExtra[kListLength];
    uint32_t windowSize;
    uint32_t fixedDistanceCodes;
};

// Deflate: distance codes 30 and 31 repeat code 29. Deflate64: they reach
// on to 65536, and symbol 285 takes 16 extra bits.
constexpr InflateFormat MakeInflateFormat(bool deflate64) {
    InflateFormat f{};
    for (uint32_t i = 0; i < kListLength; ++i) {
        const bool length = i < uint32_t{kDeflateLengthCodes};
        f.lengthBase[i] = length ? kDeflateLengthBase[i] : 0;
        f.lengthExtra[i] = length ? kDeflateLengthExtra[i] : kHuffInvalid;
        const uint32_t d = i < uint32_t{kDeflateDistanceCodes} ? i : kDeflateDistanceCodes - 1;
        f.distanceBase[i] = kDeflateDistanceBase[d];
        f.distanceExtra[i] = kDeflateDistanceExtra[d];
    }
    f.windowSize = kWindowSize;
    f.fixedDistanceCodes = kDeflateDistanceCodes;
    if (deflate64) {
        f.lengthBase[kDeflateLengthCodes - 1] = 3;
        f.lengthExtra[kDeflateLengthCodes - 1] = 16;
        f.distanceBase[30] = 32769;
        f.distanceBase[31] = 49153;
        f.distanceExtra[30] = f.distanceExtra[31] = 14;
        f.windowSize = kLargeWindowSize;
        f.fixedDistanceCodes = 32;
    }
    return f;
}
constexpr InflateFormat kDeflate = MakeInflateFormat(false);
constexpr InflateFormat kDeflate64 = MakeInflateFormat(true);

static_assert(258 <= 3 + 255, "symbol 285 is the longest match deflate can code");
static_assert(24577 + (1u << 13) - 1 == kWindowSize, "the longest distance reaches exactly one window back");
static_assert(kDeflate64.distanceBase[31] + (1u << 14) - 1 == kLargeWindowSize &&
                  kDeflate64.distanceBase[30] + (1u << 14) == kDeflate64.distanceBase[31],
              "Deflate64's far distances continue code 29 and reach exactly its window back");
static_assert(kDeflate64.lengthExtra[28] <= kHuffMaxExtraBits, "table entries hold 16 extra bits");

// The bit reader of one Inflate call is held in locals while a block is
// decoded and kept in the workspace between blocks.
// One Inflate call: the workspace, the window, and the fixed codes' tables
// once a fixed block needed them (see SharedFixedTables).
//
// The window is flat: `size` bytes of history (the window's size: the
// farthest a distance reaches), then the `size` bytes being filled, then
// kWindowSpare bytes that word-wide copies may run over. The write point
// (the workspace's windowPosition) runs from size to 2 * size; when the
// second half is full it goes to the file and becomes the history (Slide).
// So a copy never wraps round, and the bytes after the write point are free:
// nothing reads them before they are written. A distance that reaches
// before the entry's first byte reads zeros: the history is cleared the
// first time a copy reaches into it before the window first slides (most
// entries never do, and a small one would pay more for clearing it than for
// decoding).
constexpr uint32_t kWindowSpare = 48;

struct FixedTables {
    HuffEntry* lengthTable;
    HuffEntry* distanceTable;
    int lengthBits;
    int distanceBits;
};
struct SharedFixedTables;

struct InflateStream {
    DecodeWorkspace* ws;
    const InflateFormat* format;
    uint8_t* window;
    const uint8_t* known;  // the window's lowest byte a copy may read as it is
    const FixedTables* fixed;  // the fixed codes' careful tables, once a fixed block needed them:
    const SharedFixedTables* shared;  // the process's (and their fast tables),
    FixedTables ownFixed;             // or, where it has none, the stream's own
    // The fast loop's tables (see BuildFastTable), allocated on first use:
    // the dynamic block's, then the fixed codes'. The dynamic ones are built
    // from the current block's code lengths, which stay here until its end.
    uint32_t* fastTables;
    bool fastFailed;  // no memory for them: the careful loop does all the work
    bool dynamicFastBuilt;
    bool fixedFastBuilt;
    const uint8_t* blockLengths;
    uint32_t blockLiteralCodes;
    uint32_t blockDistanceCodes;
    uint8_t lengths[kLiteralCodes + kDistanceCodes];  // a dynamic block's code lengths
};

BitReader LoadBits(InflateStream* s) {
    return BitReader{s->ws->owner, s->ws->bitBuffer, s->ws->bitCount, s->ws->bitsMadeUp};
}

void StoreBits(InflateStream* s, const BitReader& br) {
    s->ws->bitBuffer = br.buffer;
    s->ws->bitCount = br.count;
    s->ws->bitsMadeUp = br.madeUp;
}

// The window's second half is full: it goes to the file, then becomes the
// history. The file sees the same pieces as from a circular window: every
// `size` bytes, and the rest at the end.
void Slide(InflateStream* s, uint32_t* wp) {
    const uint32_t size = s->format->windowSize;
    WriteDecoded(s->ws->owner, s->window + size, s->ws->outputPosition, size);
    s->ws->outputPosition += size;
    std::memcpy(s->window, s->window + size, size);
    s->known = s->window;
    *wp = size;
}

// A copy reaches before the entry's first byte: the history reads as zeros.
inline void CheckHistory(InflateStream* s, const uint8_t* from) {
    if (from < s->known) {
        std::memset(s->window, 0, s->format->windowSize);
        s->known = s->window;
    }
}

inline void PutByte(InflateStream* s, uint32_t* wp, uint8_t byte) {
    s->window[(*wp)++] = byte;
    if (*wp == 2 * s->format->windowSize) Slide(s, wp);
}

// Copies `length` bytes from `distance` back (at most the history's size),
// with the effect of copying them one at a time: a copy that overlaps its
// own output repeats the most recent bytes. Eight bytes at a time where the
// distance allows it; the last piece may write up to 7 bytes past the copy,
// into bytes not yet written (or the spare bytes).
inline void CopyBehind(uint8_t* out, uint32_t length, uint32_t distance) {
    const uint8_t* in = out - distance;
    if (distance >= 8) {
        uint8_t* const end = out + length;
        do {
            std::memcpy(out, in, 8);
            out += 8;
            in += 8;
        } while (out < end);
    } else if (distance == 1) {
        std::memset(out, in[0], length);
    } else {
        for (uint32_t i = 0; i < length; ++i) out[i] = in[i];
    }
}

// A match through the careful path: a copy that fills the window slides it
// and goes on behind.
inline void CopyMatch(InflateStream* s, uint32_t* wp, uint32_t length, uint32_t distance) {
    const uint32_t end = 2 * s->format->windowSize;
    CheckHistory(s, s->window + *wp - distance);
    while (length > 0) {
        const uint32_t run = length < end - *wp ? length : end - *wp;
        CopyBehind(s->window + *wp, run, distance);
        *wp += run;
        length -= run;
        if (*wp == end) Slide(s, wp);
    }
}

// The fast loop's tables. The careful loop's tables (huffman_table.h) take a
// lookup per level and keep the symbol's meaning apart from its length; the
// fast loop wants one 32-bit word that says all of it, so that one lookup
// and one shift decode a literal, and one lookup, a mask and a shift a
// length or distance with its extra bits. They are built from the same code
// lengths as the careful tables, lazily (a block whose input never reaches
// the fast loop never pays for them), and decode every valid pattern to the
// same symbol; anything they do not describe hands the symbol back.
//
// An entry:
//   bits 0-7    bits the symbol takes from the buffer: its code and extra
//               bits (a link: the first level's width)
//   bits 8-11   the code's length (a link: the subtable's width)
//   bit 12      a link: value is the subtable's index in the same array
//   bit 13      the end of the block
//   bit 14      a literal: value is the byte
//   bit 15      a length or distance: value is the base, then extra bits
//   bits 16-31  value
// (In a length or distance entry bits 8-13 are the code's length alone, so
// the shift past the code needs no mask on a processor that takes a shift's
// amount modulo 64.)
// An entry with none of bits 12-15 (a symbol the format does not allow, a
// spare pattern of an incomplete code, Deflate64's longest length code)
// ends the fast loop.
//
// First levels of 11 bits (literal/length) and 8 bits (distance) resolve
// nearly every code of real data in one lookup; longer codes continue in a
// subtable as wide as the longest code under their prefix needs.
constexpr uint32_t kFastLiteralBits = 11;
constexpr uint32_t kFastDistanceBits = 8;
constexpr uint32_t kFastIsLink = 1u << 12;
constexpr uint32_t kFastIsEnd = 1u << 13;
constexpr uint32_t kFastIsLiteral = 1u << 14;
constexpr uint32_t kFastIsBase = 1u << 15;
// Each prefix with a subtable has at least one code longer than the first
// level, and a subtable is at most 2^(15 - first level bits) entries.
constexpr uint32_t FastTableSize(uint32_t firstBits, uint32_t symbols) {
    return (1u << firstBits) + symbols * (1u << (kHuffMaxLength - 1 - firstBits));
}
constexpr uint32_t kFastLiteralTableSize = FastTableSize(kFastLiteralBits, kLiteralCodes);
constexpr uint32_t kFastDistanceTableSize = FastTableSize(kFastDistanceBits, kDistanceCodes);
constexpr uint32_t kFastTablesSize = kFastLiteralTableSize + kFastDistanceTableSize;
static_assert(kFastTablesSize < 65536, "a link's index fits its 16 bits");

// Lengths and distances with up to this many extra bits are in the fast
// tables: all of deflate's, and Deflate64's far distances. Deflate64's
// longest length (16 extra bits) is the careful loop's, so that a pair the
// fast loop decodes takes at most 15 + 5 + 15 + 14 bits.
constexpr uint32_t kFastMostExtraBits = 14;

constexpr uint32_t FastEntry(uint32_t value, uint32_t flags, uint32_t codeLength, uint32_t totalBits) {
    return value << 16 | flags | codeLength << 8 | totalBits;
}

// Builds into table the fast table of the code given by lengths[0..n-1], a
// code the careful builder accepted (complete or incomplete, never
// over-subscribed). Symbols below firstListed decode to themselves
// (literals below 256; 256 and up end the loop); symbol firstListed + i to
// base[i] with extra[i] extra bits.
//
// The first level is filled in code-length order, starting as a table
// indexed by the shortest length's bits: each length's codes go into their
// one place, then the table doubles by copying itself, which repeats every
// code so far under each value of the next bit. That costs one store per
// code and a streamed copy, rather than a scattered store for every entry.
// Spare patterns stay 0.
void BuildFastTable(const uint8_t* lengths, uint32_t n, uint32_t firstListed, const uint16_t* base,
                    const uint16_t* extra, uint32_t firstBits, uint32_t* table) {
    uint32_t count[kHuffMaxLength + 1] = {};
    for (uint32_t i = 0; i < n; ++i) ++count[lengths[i]];
    count[0] = 0;
    // Symbols in canonical order: by code length, then by symbol.
    uint32_t start[kHuffMaxLength + 2] = {};
    for (uint32_t k = 1; k <= kHuffMaxLength; ++k) start[k + 1] = start[k] + count[k];
    uint16_t order[kLiteralCodes];
    {
        uint32_t next[kHuffMaxLength + 1];
        std::memcpy(next, start, sizeof next);
        for (uint32_t i = 0; i < n; ++i)
            if (lengths[i] != 0) order[next[lengths[i]]++] = static_cast<uint16_t>(i);
    }
    auto entryOf = [&](uint32_t symbol, uint32_t k) -> uint32_t {
        if (symbol < firstListed)
            return symbol < 256 ? FastEntry(symbol, kFastIsLiteral, k, k) : FastEntry(0, kFastIsEnd, k, k);
        const uint32_t x = extra[symbol - firstListed];
        return x <= kFastMostExtraBits ? FastEntry(base[symbol - firstListed], kFastIsBase, k, k + x) : 0;
    };
    uint32_t shortest = 1;
    while (shortest < firstBits && count[shortest] == 0) ++shortest;
    uint32_t size = 1u << shortest;
    std::memset(table, 0, size * sizeof(uint32_t));
    uint32_t code = 0;  // the next canonical code, first bit highest
    uint32_t k = 1;
    for (; k <= firstBits; ++k, code <<= 1) {
        for (uint32_t j = start[k]; j < start[k + 1]; ++j) table[ReverseBits(code++, k)] = entryOf(order[j], k);
        if (k >= shortest && k < firstBits) {
            std::memcpy(table + size, table, size * sizeof(uint32_t));
            size <<= 1;
        }
    }
    if (start[k] == start[kHuffMaxLength + 1]) return;
    // Longer codes: a subtable under each prefix, as wide as its longest
    // code needs. A prefix's entry (0 until now) holds that width first.
    const uint32_t mask = size - 1;
    uint16_t reversed[kLiteralCodes];
    uint16_t prefixes[kLiteralCodes];
    uint32_t prefixCount = 0;
    for (uint32_t c = code, kk = k; kk <= kHuffMaxLength; ++kk, c <<= 1) {
        for (uint32_t j = start[kk]; j < start[kk + 1]; ++j) {
            reversed[j] = static_cast<uint16_t>(ReverseBits(c++, kk));
            uint32_t& slot = table[reversed[j] & mask];
            if (slot == 0) prefixes[prefixCount++] = static_cast<uint16_t>(reversed[j] & mask);
            if (kk - firstBits > slot) slot = kk - firstBits;
        }
    }
    for (uint32_t j = 0, used = size; j < prefixCount; ++j) {
        const uint32_t width = table[prefixes[j]];
        table[prefixes[j]] = FastEntry(used, kFastIsLink, width, firstBits);
        std::memset(table + used, 0, (size_t{1} << width) * sizeof(uint32_t));
        used += 1u << width;
    }
    for (; k <= kHuffMaxLength; ++k) {
        for (uint32_t j = start[k]; j < start[k + 1]; ++j) {
            const uint32_t link = table[reversed[j] & mask];
            uint32_t* block = table + (link >> 16);
            const uint32_t blockSize = 1u << ((link >> 8) & 0xF);
            const uint32_t entry = entryOf(order[j], k);
            for (uint32_t i = reversed[j] >> firstBits; i < blockSize; i += 1u << (k - firstBits)) block[i] = entry;
        }
    }
}

// The fast tables of the block being decoded, built on first use; null when
// there is no memory for them (the careful loop then does all the work).
// A block without distance codes looks its distances up in a table of
// entries that end the fast loop: a length there is an error.
constexpr uint32_t kNoDistances[1u << kFastDistanceBits] = {};
struct FastTables {
    const uint32_t* literals;
    const uint32_t* distances;
    uint32_t endReach;          // see BlockCodes
};

// The fast loop. While the frame's input buffer holds at least
// kFastInputMargin plain bytes, symbols are decoded from a 64-bit bit
// buffer refilled a word at a time straight from that buffer, with the fast
// tables above; the window slides as the careful loop slides it, as long as
// that cannot cut the input off (the decoded-size limit is more than two
// windows away). It ends after the block's end-of-block code, which it
// decodes as the careful loop would (see BlockCodes); anything else it does
// not handle at full speed (an invalid pattern, a slide near the limit,
// Deflate64's longest length) ends it at the start of that symbol, where
// the careful loop takes over with a bit reader in exactly the state the
// careful loop alone would have there; see HandBack. The careful loop is
// the decoder's definition; the fast loop only ever does what it would do.
//
// Every bit of the 64-bit buffer is input: bits above `count` are the start
// of bytes not yet counted as read (a refill ORs the same bytes into the
// same places again), and nothing above `count` is ever consumed. After a
// refill (56 to 63 counted bits) the loop takes at most kFastPairBits bits
// before it looks up the next symbol's entry, so that lookup always sees at
// least 15 bits of real input: enough for a first-level entry, which is
// decoded ahead (while the current symbol is stored or copied) and used
// after the next refill. Links are followed only after a refill.
constexpr int32_t kFastInputMargin = 16;  // two refills of 8 bytes each
// The loop leaves up to 8 bytes more than that in the buffer, loaded and
// handed back; the buffer is topped up before the next run when fewer than
// this remain, so that the careful loop does not decode the symbols at each
// seam of the buffer.
constexpr int32_t kFastTopUp = 4 * kFastInputMargin;
constexpr uint32_t kFastLiterals = 3;     // literals per refill: one of up to 15 bits, two more of 11
constexpr uint32_t kFastPairBits = 15 + 5 + 15 + kFastMostExtraBits;  // the longest pair the fast tables hold
static_assert(kFastPairBits <= 56, "a pair lies within the bits a refill counts");
static_assert(15 + (kFastLiterals - 1) * kFastLiteralBits + kFastLiteralBits <= 56,
              "the entry looked up after the literals is real input");
static_assert(kFastPairBits + kFastLiteralBits <= 64, "the next entry after a pair is real");
constexpr uint32_t kFastCopyRun = 40;  // bytes a copy from 8 or more back writes at once, whatever its length
static_assert(kWindowSpare >= kFastCopyRun, "a short match's fixed copy runs over its end");

struct FastBits {
    uint64_t buffer;
    uint32_t count;
    const uint8_t* in;
};

// Where the fast loop stops, at the start of a symbol, the careful loop takes
// over. Its bit reader must then hold exactly what the careful loop alone
// would hold there, for the bytes it has read decide where a stream ends
// (the reader is left after the last whole byte read) and where a cut of the
// input (EndInput) strikes. The careful loop reads a byte only when a
// request finds too few bits; its next request, for the next symbol's
// lookBits, reaches to the symbol's start + lookBits. Every request of the
// symbols the fast loop decoded reached less far: a literal/length lookup at
// u for a code of k bits reaches at most u + k - 1 + lookBits (a subtable is
// at most lookBits wide), and a distance lookup for a code of k bits at most
// u + k - 1 + distance lookup bits, which is no further as long as those are
// at most lookBits + 1 (FastLoopFits). So the careful reader will have read
// whole bytes up to symbol start + lookBits, or what it had read before the
// fast loop began, whichever is more: the bytes loaded beyond that go back.
// (reach: how far past the symbol's start the careful reader's requests
// went, lookBits at least.)
void HandBack(DecodeState* state, BitReader& br, FastBits& b, const uint8_t* start, uint32_t reach) {
    const int64_t loaded = b.in - start;
    const int64_t read = state->consumed + loaded;
    const int64_t symbolStart = 8 * read - b.count;
    int64_t keep = (symbolStart + reach + 7) / 8;
    if (keep < state->consumed) keep = state->consumed;
    const int64_t back = read > keep ? read - keep : 0;
    b.count -= static_cast<uint32_t>(8 * back);
    TakePlainInput(state, static_cast<int32_t>(loaded - back));
    br.buffer = static_cast<uint32_t>(b.buffer & ((uint64_t{1} << b.count) - 1));
    br.count = b.count;
}

inline bool FastLoopFits(uint32_t lookBits, uint32_t distanceBits) { return distanceBits <= lookBits + 1; }

inline uint64_t LowBits64(uint64_t v, uint32_t n) { return v & ((uint64_t{1} << n) - 1); }

// The value of a length or distance entry: base plus the extra bits after
// its code.
inline uint32_t EntryValue(uint32_t entry, uint64_t bits) {
    return (entry >> 16) + static_cast<uint32_t>(LowBits64(bits, entry & 0xFF) >> ((entry >> 8) & 0x3F));
}

// A match of `length` bytes from `distance` back, written as if byte by byte
// (an overlapping copy repeats the last `distance` bytes) but a word at a
// time: kFastCopyRun bytes at once, which covers most matches without a
// loop (whose exit the processor mispredicts), and up to 7 past the end
// beyond that. Where the distance is shorter than a word, the repeating
// pattern is built once and stored a word at a time (three steps and a word
// at once, at most 32 bytes), rather than read back from bytes just
// written.
inline void CopyMatchFast(uint8_t* out, uint32_t length, uint32_t distance) {
    const uint8_t* in = out - distance;
    uint8_t* const end = out + length;
    if (distance >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + 8, in + 8, 8);
        std::memcpy(out + 16, in + 16, 8);
        std::memcpy(out + 24, in + 24, 8);
        std::memcpy(out + 32, in + 32, 8);
        for (out += kFastCopyRun, in += kFastCopyRun; out < end; out += 8, in += 8) std::memcpy(out, in, 8);
        return;
    }
    uint8_t pattern[8];
    for (uint32_t i = 0; i < 8; ++i) pattern[i] = i < distance ? in[i] : pattern[i - distance];
    // A whole number of periods per step keeps the pattern in phase: the
    // most that fit in 8 bytes (looked up: a division costs more than the
    // copy).
    static constexpr uint8_t kPeriodsStep[8] = {8, 8, 8, 6, 8, 5, 6, 7};
    const uint32_t step = kPeriodsStep[distance];
    std::memcpy(out, pattern, 8);
    std::memcpy(out + step, pattern, 8);
    std::memcpy(out + 2 * step, pattern, 8);
    for (out += 3 * step; out < end; out += step) std::memcpy(out, pattern, 8);
}

// Whether the window may slide without the output reaching the decoded-size
// limit, where the frame cuts the input off: the fast loop slides it only
// then (a match slides it twice at most).
inline bool QuietSlides(const InflateStream* s) {
    return s->ws->outputPosition + 2 * uint64_t{s->format->windowSize} <= s->ws->owner->decodedLimit;
}

// Decodes symbols of a Huffman block while the input lasts; see above. br
// and *wp are the careful loop's, at a symbol start, and are left at the
// symbol where the fast loop stopped, or after the end-of-block code: true.
// kHistoryUnread: the window has not slid yet nor its history been cleared
// (see CheckHistory), so each match checks how far back it reaches; the
// rest of an entry runs without that check.
template <bool kHistoryUnread>
[[gnu::always_inline]] inline bool InflateFast(InflateStream* s, BitReader& br, uint32_t* wp, const FastTables& t,
                                               uint32_t lookBits) {
    DecodeState* state = s->ws->owner;
    const uint8_t* const start = PlainInput(state);
    const uint8_t* const inLimit = start + PlainInputBuffered(state) - kFastInputMargin;
    const uint32_t* const literals = t.literals;
    const uint32_t* const distances = t.distances;
    constexpr uint32_t lmask = (1u << kFastLiteralBits) - 1;
    constexpr uint32_t dmask = (1u << kFastDistanceBits) - 1;
    uint8_t* const window = s->window;
    const uint32_t size = s->format->windowSize;
    // Three literals are written while out < outLimit; at outEnd the window
    // is full and slides.
    uint8_t* const outEnd = window + 2 * size;
    uint8_t* const outLimit = outEnd - kFastLiterals;
    uint8_t* out = window + *wp;
    uint64_t buffer = br.buffer;
    uint32_t count = br.count;
    const uint8_t* in = start;
    // Tops the buffer up to 56 to 63 bits with one 8-byte load.
    auto refill = [&] {
        buffer |= LoadLE64(in) << count;
        in += (63 - count) >> 3;
        count |= 56;
    };
    auto slide = [&] {
        uint32_t p = 2 * size;
        Slide(s, &p);
        out = window + p;
    };
    refill();
    uint32_t e = literals[buffer & lmask];
    bool ended = false;
    while (in <= inLimit) {
        refill();
        if (e & kFastIsLink) e = literals[(e >> 16) + ((buffer >> kFastLiteralBits) & ((1u << ((e >> 8) & 0xF)) - 1))];
        if (e & kFastIsLiteral) {
            if (out >= outLimit) {
                // Near the window's end: one literal, and the slide when
                // it fills the window.
                if (!QuietSlides(s)) break;
                buffer >>= e & 0xFF;
                count -= e & 0xFF;
                *out++ = static_cast<uint8_t>(e >> 16);
                e = literals[buffer & lmask];
                if (out == outEnd) slide();
                continue;
            }
            // Up to three literals, each next entry looked up before the
            // byte is stored. A literal that needs a subtable waits for the
            // next refill.
            buffer >>= e & 0xFF;
            count -= e & 0xFF;
            uint32_t next = literals[buffer & lmask];
            *out++ = static_cast<uint8_t>(e >> 16);
            e = next;
            if ((e & kFastIsLiteral) == 0) continue;
            buffer >>= e & 0xFF;
            count -= e & 0xFF;
            next = literals[buffer & lmask];
            *out++ = static_cast<uint8_t>(e >> 16);
            e = next;
            if ((e & kFastIsLiteral) == 0) continue;
            buffer >>= e & 0xFF;
            count -= e & 0xFF;
            next = literals[buffer & lmask];
            *out++ = static_cast<uint8_t>(e >> 16);
            e = next;
            continue;
        }
        // The end of the block, or an invalid pattern.
        if ((e & kFastIsBase) == 0) {
            ended = (e & kFastIsEnd) != 0;
            break;
        }
        const uint32_t lengthBits = e & 0xFF;
        const uint32_t length = EntryValue(e, buffer);
        const uint64_t rest = buffer >> lengthBits;
        uint32_t d = distances[rest & dmask];
        if (d & kFastIsLink) d = distances[(d >> 16) + ((rest >> kFastDistanceBits) & ((1u << ((d >> 8) & 0xF)) - 1))];
        // An invalid pattern (every one in a block without distance codes).
        if ((d & kFastIsBase) == 0) break;
        const uint32_t distanceBits = d & 0xFF;
        const uint32_t distance = EntryValue(d, rest);
        if (length >= static_cast<uint32_t>(outEnd - out)) {
            // A match that fills the window: copied as the careful loop
            // copies it, sliding on the way, where that cannot cut the
            // input off.
            if (!QuietSlides(s)) break;
            buffer = rest >> distanceBits;
            count -= lengthBits + distanceBits;
            e = literals[buffer & lmask];
            uint32_t p = static_cast<uint32_t>(out - window);
            CopyMatch(s, &p, length, distance);
            out = window + p;
            continue;
        }
        buffer = rest >> distanceBits;
        count -= lengthBits + distanceBits;
        e = literals[buffer & lmask];
        if (kHistoryUnread) CheckHistory(s, out - distance);
        CopyMatchFast(out, length, distance);
        out += length;
    }
    FastBits b{buffer, count, in};
    if (ended) {
        // The careful loop's lookup of the end-of-block code, then its bits.
        HandBack(state, br, b, start, t.endReach);
        br.Drop(e & 0xFF);
    } else {
        HandBack(state, br, b, start, lookBits);
    }
    *wp = static_cast<uint32_t>(out - window);
    return ended;
}

// The code lengths of the fixed codes (RFC 1951 3.2.6): literal/length
// lengths 8 (0..143), 9 (144..255), 7 (256..279), 8 (280..287); five-bit
// distance codes, 30 of them in deflate, whose 32 patterns leave two spare
// (distance codes 30 and 31 are errors in a fixed block), all 32 in
// Deflate64.
void FixedLiteralLengths(uint8_t lengths[kLiteralCodes]) {
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
}

void BuildFixedFastTables(const InflateFormat* f, uint32_t* literals, uint32_t* distances) {
    uint8_t lengths[kLiteralCodes];
    FixedLiteralLengths(lengths);
    BuildFastTable(lengths, kLiteralCodes, kFirstLengthSymbol, f->lengthBase, f->lengthExtra, kFastLiteralBits,
                   literals);
    std::memset(lengths, 5, f->fixedDistanceCodes);
    BuildFastTable(lengths, f->fixedDistanceCodes, 0, f->distanceBase, f->distanceExtra, kFastDistanceBits,
                   distances);
}

// The careful tables of the fixed codes (*t zeroed); on failure none.
DecodeResult BuildFixedTables(const InflateFormat* f, FixedTables* t) {
    uint8_t lengths[kLiteralCodes];
    FixedLiteralLengths(lengths);
    t->lengthBits = kFixedLiteralLookupBits;
    DecodeResult r = BuildHuffmanTable(lengths, kLiteralCodes, kFirstLengthSymbol, f->lengthBase, f->lengthExtra,
                                       kListLength, &t->lengthTable, &t->lengthBits);
    if (r == kDecodeOk) {
        std::memset(lengths, 5, f->fixedDistanceCodes);
        t->distanceBits = kFixedDistanceLookupBits;
        r = BuildHuffmanTable(lengths, f->fixedDistanceCodes, 0, f->distanceBase, f->distanceExtra, kListLength,
                              &t->distanceTable, &t->distanceBits);
        if (TableBuilt(r)) return kDecodeOk;
    }
    FreeHuffmanTable(t->lengthTable);
    FreeHuffmanTable(t->distanceTable);
    *t = FixedTables{};
    return r;
}

// The fixed codes' tables of a format, careful and fast, built at the
// first fixed block of the process and shared by every stream and thread
// from then on: a small entry is one fixed block, and building them cost
// more than decoding it. Null when there was no memory for them then: each
// stream builds its own.
struct SharedFixedTables {
    FixedTables careful;
    uint32_t literals[1u << kFastLiteralBits];
    uint32_t distances[1u << kFastDistanceBits];
};

SharedFixedTables* MakeSharedFixedTables(const InflateFormat* f) {
    auto* t = static_cast<SharedFixedTables*>(MemoryAllocate(sizeof(SharedFixedTables)));
    if (t == nullptr) return nullptr;
    *t = SharedFixedTables{};
    if (BuildFixedTables(f, &t->careful) != kDecodeOk) {
        MemoryFree(t);
        return nullptr;
    }
    BuildFixedFastTables(f, t->literals, t->distances);
    return t;
}

const SharedFixedTables* SharedFixedTablesOf(const InflateFormat* f) {
    if (f == &kDeflate64) {
        static const SharedFixedTables* const deflate64 = MakeSharedFixedTables(f);
        return deflate64;
    }
    static const SharedFixedTables* const deflate = MakeSharedFixedTables(f);
    return deflate;
}

// The fast tables of the current block, built when first needed; false
// when there is no memory for them.
bool PrepareFastTables(InflateStream* s, bool fixed, bool withDistances, FastTables* t) {
    if (fixed && s->shared != nullptr) {
        t->literals = s->shared->literals;
        t->distances = s->shared->distances;
        return true;
    }
    if (s->fastTables == nullptr) {
        if (s->fastFailed) return false;
        const size_t entries = kFastTablesSize + (1u << kFastLiteralBits) + (1u << kFastDistanceBits);
        s->fastTables = static_cast<uint32_t*>(MemoryAllocate(entries * sizeof(uint32_t)));
        if (s->fastTables == nullptr) {
            s->fastFailed = true;
            return false;
        }
    }
    // The fixed codes are at most 9 and 5 bits long: first levels only.
    uint32_t* literals = s->fastTables + (fixed ? kFastTablesSize : 0);
    uint32_t* distances = literals + (fixed ? 1u << kFastLiteralBits : kFastLiteralTableSize);
    const InflateFormat* f = s->format;
    if (fixed && !s->fixedFastBuilt) {
        BuildFixedFastTables(f, literals, distances);
        s->fixedFastBuilt = true;
    } else if (!fixed && !s->dynamicFastBuilt) {
        BuildFastTable(s->blockLengths, s->blockLiteralCodes, kFirstLengthSymbol, f->lengthBase, f->lengthExtra,
                       kFastLiteralBits, literals);
        if (withDistances)
            BuildFastTable(s->blockLengths + s->blockLiteralCodes, s->blockDistanceCodes, 0, f->distanceBase,
                           f->distanceExtra, kFastDistanceBits, distances);
        s->dynamicFastBuilt = true;
    }
    t->literals = literals;
    t->distances = withDistances ? distances : kNoDistances;
    return true;
}

// The codes of the block being decoded, as the careful loop sees them: its
// tables and their first-level widths. A dynamic block's tables are built
// only when the careful loop has a symbol to decode: the fast loop decodes
// most blocks whole, their end-of-block code included, and needs no more of
// the careful tables than how far a lookup in them reaches (endReach: the
// first level, and for an end-of-block code longer than that its subtable
// too), which follows from the code lengths alone.
struct BlockCodes {
    HuffEntry* lengthTable;
    HuffEntry* distanceTable;  // null: no distance codes
    uint32_t lengthBits;
    uint32_t distanceBits;
    bool hasDistances;
    bool fixed;
    bool built;
    uint32_t endReach;
    HuffShape lengthShape;  // a dynamic block's codes, as the tables would be built
    HuffShape distanceShape;
};

// Builds a dynamic block's careful tables from its code lengths, which the
// shapes checked: only memory can fail.
DecodeResult BuildBlockTables(InflateStream* s, BlockCodes* c) {
    const InflateFormat* f = s->format;
    int lbits = kLiteralLookupBits;
    DecodeResult r = BuildHuffmanTable(s->blockLengths, s->blockLiteralCodes, kFirstLengthSymbol, f->lengthBase,
                                       f->lengthExtra, kListLength, &c->lengthTable, &lbits);
    if (!TableBuilt(r)) return r;
    int dbits = kDistanceLookupBits;
    r = BuildHuffmanTable(s->blockLengths + s->blockLiteralCodes, s->blockDistanceCodes, 0, f->distanceBase,
                          f->distanceExtra, kListLength, &c->distanceTable, &dbits);
    if (!TableBuilt(r)) return r;
    c->built = true;
    return kDecodeOk;
}

// What a careful lookup of a code does to the bit reader, given the code's
// length k and its table's first-level width l: it asks for l bits, and
// for a longer code drops them and asks for the width of the subtable
// under them (j), then drops the rest of the code.
struct CarefulLookup {
    uint32_t k;
    uint32_t l;
    uint32_t j;
    void Apply(BitReader& br) const {
        br.Need(l);
        if (k > l) {
            br.Drop(l);
            br.Need(j);
            br.Drop(k - l);
        } else {
            br.Drop(k);
        }
    }
};

// Sizes a careful lookup of the code at the bottom of bits (n of them
// real): false when the code goes on beyond the first subtable, or beyond
// the real bits.
bool SizeLookup(const HuffShape& shape, uint64_t bits, uint32_t k, uint32_t n, CarefulLookup* lookup) {
    const uint32_t l = shape.lookupBits;
    if (k > n || k > 2 * l) return false;
    lookup->k = k;
    lookup->l = l;
    lookup->j = k > l ? HuffSubtableWidth(shape, ReverseBits(static_cast<uint32_t>(bits) & ((1u << l) - 1), l)) : 0;
    return true;
}

enum CarefulStep { kStepUnsure, kStepLiteral, kStepEnd, kStepPair };

// One step of the careful loop in a dynamic block whose careful tables are
// not built: the symbol, or length and distance, looked up in the fast
// tables in the bits ahead (the bit reader's and the frame's buffered
// input), then the bit reader asked and dropped exactly as the careful
// lookups would ask and drop. kStepUnsure, with nothing changed, when the
// bits ahead do not settle it (the input's end is near) or the codes are
// not plain (an invalid pattern, a length without distance codes, a
// distance code two subtables deep): the careful tables then decide.
// (Kept out of line: it runs a few times an entry, and inlined into the
// careful loop it costs the fast loop beside it registers.)
[[gnu::noinline]] CarefulStep StepWithoutTables(DecodeState* state, BitReader& br, const BlockCodes& c, const FastTables& t,
                              uint32_t* value, uint32_t* distance) {
    if (br.madeUp != 0) return kStepUnsure;
    uint64_t bits = br.buffer;
    uint32_t n = br.count;
    const uint8_t* in = PlainInput(state);
    for (int32_t i = 0, avail = PlainInputBuffered(state); i < avail && n <= 56; ++i, n += 8)
        bits |= uint64_t{in[i]} << n;
    uint32_t e = t.literals[bits & ((1u << kFastLiteralBits) - 1)];
    if (e & kFastIsLink)
        e = t.literals[(e >> 16) + ((bits >> kFastLiteralBits) & ((1u << ((e >> 8) & 0xF)) - 1))];
    const uint32_t total = e & 0xFF;
    CarefulLookup code{};
    if ((e & (kFastIsLiteral | kFastIsBase | kFastIsEnd)) == 0 || total > n ||
        !SizeLookup(c.lengthShape, bits, (e >> 8) & 0xF, n, &code))
        return kStepUnsure;
    if (e & (kFastIsLiteral | kFastIsEnd)) {
        code.Apply(br);
        *value = e >> 16;
        return e & kFastIsEnd ? kStepEnd : kStepLiteral;
    }
    const uint64_t rest = bits >> total;
    uint32_t d = t.distances[rest & ((1u << kFastDistanceBits) - 1)];
    if (d & kFastIsLink)
        d = t.distances[(d >> 16) + ((rest >> kFastDistanceBits) & ((1u << ((d >> 8) & 0xF)) - 1))];
    CarefulLookup far{};
    if ((d & kFastIsBase) == 0 || (d & 0xFF) > n - total ||
        !SizeLookup(c.distanceShape, rest, (d >> 8) & 0xF, n - total, &far))
        return kStepUnsure;
    code.Apply(br);
    *value = EntryValue(e, bits);
    br.Take(total - code.k);
    far.Apply(br);
    *distance = EntryValue(d, rest);
    br.Take((d & 0xFF) - far.k);
    return kStepPair;
}

// Decodes the literal/length and distance symbols of one Huffman block up to
// its end-of-block symbol: kDecodeOk at the end of the block; kDecodeBadData
// on a data error: an invalid pattern, a length without a distance code, or
// a symbol or copy that needs input which never arrived (or
// kDecodeNoMemory). Every byte decoded before the error is in the window (or
// already written). Compiled twice, see InflateCodes.
[[gnu::always_inline]] inline DecodeResult DecodeBlockSymbols(InflateStream* s, BlockCodes* c) {
    DecodeWorkspace* ws = s->ws;
    BitReader br = LoadBits(s);
    uint32_t wp = ws->windowPosition;
    const uint32_t lbits = c->lengthBits;
    const uint32_t dbits = c->distanceBits;
    const uint32_t end = 2 * s->format->windowSize;
    bool fast = FastLoopFits(lbits, dbits) && !ws->owner->carefulOnly;
    FastTables tables{};
    tables.endReach = c->endReach;
    DecodeResult result = kDecodeBadData;
    for (;;) {
        // The fast loop, run again as long as it stops only at the end of
        // the buffer and topping it up brings more.
        bool ended = false;
        for (int32_t before = -1; fast && br.madeUp == 0 && wp + kFastLiterals < end;) {
            if (PlainInputBuffered(ws->owner) < kFastTopUp) TopUpPlainInput(ws->owner);
            const int32_t buffered = PlainInputBuffered(ws->owner);
            if (buffered < kFastInputMargin || buffered <= before) break;
            if (tables.literals == nullptr) fast = PrepareFastTables(s, c->fixed, c->hasDistances, &tables);
            if (!fast) break;
            ended = s->known == s->window ? InflateFast<false>(s, br, &wp, tables, lbits)
                                          : InflateFast<true>(s, br, &wp, tables, lbits);
            before = PlainInputBuffered(ws->owner);
            if (ended || before >= kFastTopUp) break;
        }
        if (ended) {
            result = kDecodeOk;
            break;
        }
        if (!c->built) {
            // Near the end of the input: the careful loop's steps without
            // its tables, as long as that is sure.
            uint32_t value = 0;
            uint32_t distance = 0;
            CarefulStep step = kStepUnsure;
            if (!ws->owner->carefulOnly &&
                (tables.literals != nullptr || PrepareFastTables(s, false, c->hasDistances, &tables)))
                step = StepWithoutTables(ws->owner, br, *c, tables, &value, &distance);
            if (step == kStepLiteral) {
                if (br.UsedMissingInput()) break;
                PutByte(s, &wp, static_cast<uint8_t>(value));
                continue;
            }
            if (step == kStepEnd) {
                if (br.UsedMissingInput()) break;
                result = kDecodeOk;
                break;
            }
            if (step == kStepPair) {
                if (br.UsedMissingInput()) break;
                CopyMatch(s, &wp, value, distance);
                continue;
            }
            const DecodeResult r = BuildBlockTables(s, c);
            if (r != kDecodeOk) {
                result = r;
                break;
            }
        }
        const HuffEntry* e = DecodeSymbol<false>(br, c->lengthTable, lbits);
        if (e == nullptr || br.UsedMissingInput()) break;
        if (e->extra == kHuffLiteral) {
            PutByte(s, &wp, static_cast<uint8_t>(e->value));
            continue;
        }
        if (e->extra == kHuffEndOfBlock) {
            result = kDecodeOk;
            break;
        }
        uint32_t length = e->value + br.Take(e->extra);
        if (c->distanceTable == nullptr) break;
        e = DecodeSymbol<false>(br, c->distanceTable, dbits);
        if (e == nullptr) break;
        uint32_t distance = e->value + br.Take(e->extra);
        if (br.UsedMissingInput()) break;
        CopyMatch(s, &wp, length, distance);
    }
    StoreBits(s, br);
    ws->windowPosition = wp;
    return result;
}

DecodeResult DecodeBlockSymbolsBaseline(InflateStream* s, BlockCodes* c) { return DecodeBlockSymbols(s, c); }

#ifdef ARCSALVE_INFLATE_BMI2
// x86 processors with BMI2 (2013 on) shift by an amount in any register, in
// one instruction that leaves the flags alone; without it a shift by a
// variable amount goes through CL. The fast loop shifts its bit buffer by a
// table entry's bit count at every symbol, so the same source built for
// BMI2 runs several per cent faster; the processor is asked once.
__attribute__((target("bmi2"))) DecodeResult DecodeBlockSymbolsBmi2(InflateStream* s, BlockCodes* c) {
    return DecodeBlockSymbols(s, c);
}

bool DetectBmi2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_BMI2) != 0;
}
#endif

DecodeResult InflateCodes(InflateStream* s, BlockCodes* c) {
#ifdef ARCSALVE_INFLATE_BMI2
    static const bool bmi2 = DetectBmi2();
    if (bmi2 && !s->ws->owner->baselineCode) return DecodeBlockSymbolsBmi2(s, c);
#endif
    return DecodeBlockSymbolsBaseline(s, c);
}

// A stored block: after the header, skip to a byte boundary; LEN (16 bits),
// its ones' complement NLEN, then LEN bytes as they are. The copy stops when
// the input ends (result 1) rather than filling the rest with made-up bytes.
// The bytes come a byte at a time from the bit buffer while it holds some,
// then straight from the frame's input buffer as many at once as it holds:
// the same bytes the byte-wise reader would take, with the window sliding
// at the same points.
DecodeResult InflateStoredBlock(InflateStream* s) {
    DecodeWorkspace* ws = s->ws;
    BitReader br = LoadBits(s);
    br.Drop(br.count % 8);
    uint32_t len = br.Take(16);
    br.Need(16);
    uint32_t nlen = br.Peek(16);
    DecodeResult result = kDecodeOk;
    if (len != (nlen ^ 0xFFFF)) {
        result = kDecodeBadData;
    } else {
        br.Drop(16);
        if (br.UsedMissingInput()) {
            len = 0;
            result = kDecodeBadData;
        }
        uint32_t wp = ws->windowPosition;
        const uint32_t end = 2 * s->format->windowSize;
        DecodeState* state = ws->owner;
        while (len > 0) {
            if (br.count == 0 && br.madeUp == 0) {
                if (PlainInputBuffered(state) == 0) TopUpPlainInput(state);
                const uint32_t buffered = static_cast<uint32_t>(PlainInputBuffered(state));
                if (buffered > 0) {
                    uint32_t n = len < buffered ? len : buffered;
                    if (n > end - wp) n = end - wp;
                    std::memcpy(s->window + wp, PlainInput(state), n);
                    TakePlainInput(state, static_cast<int32_t>(n));
                    wp += n;
                    len -= n;
                    if (wp == end) Slide(s, &wp);
                    continue;
                }
            }
            --len;
            uint8_t byte = static_cast<uint8_t>(br.Take(8));
            if (br.UsedMissingInput()) {
                result = kDecodeBadData;
                break;
            }
            PutByte(s, &wp, byte);
        }
        ws->windowPosition = wp;
    }
    StoreBits(s, br);
    return result;
}

// The fixed literal/length code is 7 to 9 bits long and its first level
// 7 bits wide: the end-of-block code (7 bits) is found at the first level.
DecodeResult InflateFixedBlock(InflateStream* s) {
    if (s->fixed == nullptr) {
        s->shared = SharedFixedTablesOf(s->format);
        if (s->shared != nullptr) {
            s->fixed = &s->shared->careful;
        } else {
            const DecodeResult r = BuildFixedTables(s->format, &s->ownFixed);
            if (r != kDecodeOk) return r;
            s->fixed = &s->ownFixed;
        }
    }
    const uint32_t lbits = static_cast<uint32_t>(s->fixed->lengthBits);
    BlockCodes c{};
    c.lengthTable = s->fixed->lengthTable;
    c.distanceTable = s->fixed->distanceTable;
    c.lengthBits = lbits;
    c.distanceBits = static_cast<uint32_t>(s->fixed->distanceBits);
    c.hasDistances = c.fixed = c.built = true;
    c.endReach = lbits;
    return InflateCodes(s, &c);
}

// The careful bit reader's arithmetic on bits taken straight from the
// frame's input buffer through a 64-bit buffer: `count` and `taken` follow
// what BitReader would hold and would have read, request by request, so
// that handing over (Finish) leaves the careful reader exactly as if it had
// done the reading itself. Only for bytes the buffer holds (see
// PlainInputBuffered); the caller keeps `in` far enough from their end.
struct BufferedBits {
    uint64_t bits;      // the input from the current bit on: `real` bits loaded, the rest zero or input
    uint32_t real;
    const uint8_t* in;  // the next byte not wholly in `bits`
    uint32_t count;     // BitReader's count
    int32_t taken;      // bytes BitReader would have read

    void Need(uint32_t n) {
        bits |= LoadLE64(in) << real;
        in += (63 - real) >> 3;
        real |= 56;
        while (count < n) {
            count += 8;
            ++taken;
        }
    }
    uint32_t Peek(uint32_t n) const { return LowBits(static_cast<uint32_t>(bits), n); }
    void Drop(uint32_t n) {
        bits >>= n;
        real -= n;
        count -= n;
    }
    uint32_t Take(uint32_t n) {
        Need(n);
        const uint32_t v = Peek(n);
        Drop(n);
        return v;
    }
    void Finish(DecodeState* state, BitReader& br) const {
        TakePlainInput(state, taken);
        br.buffer = static_cast<uint32_t>(bits & ((uint64_t{1} << count) - 1));
        br.count = count;
    }
};

// The code-length code's table: indexed by its longest length's bits, an
// entry holds the symbol and, above bit 5, its code's length; 0 for a spare
// pattern.
constexpr uint32_t kCodeLengthTableSize = 1u << 7;

void BuildCodeLengthTable(const uint8_t* lengths, const HuffShape& shape, uint16_t* table) {
    const uint32_t size = 1u << shape.lookupBits;
    std::memset(table, 0, size * sizeof(uint16_t));
    uint32_t next[8] = {};
    for (uint32_t k = 1, code = 0; k < 8; ++k) {
        next[k] = code;
        code = (code + shape.count[k]) << 1;
    }
    for (uint32_t symbol = 0; symbol < kDeflateCodeLengthCodes; ++symbol) {
        const uint32_t k = lengths[symbol];
        if (k == 0) continue;
        for (uint32_t i = ReverseBits(next[k]++, k); i < size; i += 1u << k)
            table[i] = static_cast<uint16_t>(k << 5 | symbol);
    }
}

// One symbol of the code lengths of a dynamic block: 0..15 a length, 16
// repeats the last length 3..6 times (length 0 when nothing came before),
// 17 and 18 give runs of 3..10 and 11..138 zeros. A run may cross from the
// literal/length lengths into the distance lengths, but not past their end.
// The code-length code is at most 7 bits, so `bits` reaches every code. A
// single 1-bit code leaves its other pattern spare; meeting it is a data
// error.
template <typename Bits>
inline DecodeResult ReadCodeLength(Bits& br, const uint16_t* table, uint32_t bits, uint8_t* lengths,
                                   uint32_t total, uint32_t* filled, uint8_t* last) {
    br.Need(bits);
    const uint32_t e = table[br.Peek(bits)];
    if (e == 0) return kDecodeBadData;
    br.Drop(e >> 5);
    const uint32_t symbol = e & 31;
    if (symbol < 16) {
        lengths[(*filled)++] = *last = static_cast<uint8_t>(symbol);
        return kDecodeOk;
    }
    uint32_t repeat;
    uint8_t value = 0;
    if (symbol == 16) {
        repeat = 3 + br.Take(2);
        value = *last;
    } else if (symbol == 17) {
        repeat = 3 + br.Take(3);
    } else {
        repeat = 11 + br.Take(7);
    }
    if (*filled + repeat > total) return kDecodeBadData;
    std::memset(lengths + *filled, value, repeat);
    *filled += repeat;
    *last = value;
    return kDecodeOk;
}

// Bytes of plain input the code lengths are read from the buffer with,
// beyond the point reached: a symbol takes at most 14 bits, and the 8-byte
// loads run ahead of that.
constexpr int32_t kCodeLengthMargin = 32;
// The most a block's code lengths take: 320 symbols of 7 + 7 bits.
constexpr int32_t kCodeLengthsMost = (kLiteralCodes + kDistanceCodes) * 14 / 8;

// Reads the nl + nd code lengths of a dynamic block with the code-length
// code (whose lengths, shaped, are lengths[0..18] on entry). From the
// frame's buffer while it holds enough, then through the careful reader.
DecodeResult ReadCodeLengths(InflateStream* s, const HuffShape& shape, uint8_t* lengths, uint32_t total) {
    uint16_t table[kCodeLengthTableSize];
    BuildCodeLengthTable(lengths, shape, table);
    const uint32_t bits = shape.lookupBits;
    DecodeState* state = s->ws->owner;
    BitReader br = LoadBits(s);
    DecodeResult result = kDecodeOk;
    uint32_t filled = 0;
    uint8_t last = 0;
    if (br.madeUp == 0) {
        if (PlainInputBuffered(state) < kCodeLengthsMost + kCodeLengthMargin) TopUpPlainInput(state);
        const int32_t buffered = PlainInputBuffered(state);
        if (buffered >= kCodeLengthMargin) {
            BufferedBits fast{br.buffer, br.count, PlainInput(state), br.count, 0};
            const uint8_t* const limit = PlainInput(state) + buffered - kCodeLengthMargin;
            while (filled < total && fast.in <= limit && result == kDecodeOk)
                result = ReadCodeLength(fast, table, bits, lengths, total, &filled, &last);
            fast.Finish(state, br);
        }
    }
    while (filled < total && result == kDecodeOk)
        result = ReadCodeLength(br, table, bits, lengths, total, &filled, &last);
    if (result == kDecodeOk && br.UsedMissingInput()) result = kDecodeBadData;
    StoreBits(s, br);
    return result;
}

// How far the careful loop's lookup of the end-of-block code reaches past
// the code's start: the first level, and a subtable's width more when the
// code is longer. 0: the block has no end-of-block code.
uint32_t EndOfBlockReach(const HuffShape& shape, const uint8_t* lengths, uint32_t n) {
    const uint32_t k = lengths[kFirstLengthSymbol - 1];
    if (k == 0) return 0;
    if (k <= shape.lookupBits) return shape.lookupBits;
    return shape.lookupBits + HuffSubtableWidth(shape, lengths, n, kFirstLengthSymbol - 1);
}

// A block with its own codes: HLIT (5 bits) + 257 literal/length codes, HDIST
// (5 bits) + 1 distance codes, HCLEN (4 bits) + 4 code-length code lengths of
// 3 bits each in kDeflateCodeLengthOrder, then the code lengths themselves.
// Each code is judged as the table builder would judge it: the code-length
// and literal/length codes must be complete, the distance code may be
// incomplete or empty.
DecodeResult InflateDynamicBlock(InflateStream* s) {
    BitReader br = LoadBits(s);
    uint32_t nl = kFirstLengthSymbol + br.Take(5);
    uint32_t nd = 1 + br.Take(5);
    uint32_t nb = 4 + br.Take(4);
    uint8_t* const lengths = s->lengths;
    for (uint32_t j = 0; j < kDeflateCodeLengthCodes; ++j) {
        lengths[kDeflateCodeLengthOrder[j]] = j < nb ? static_cast<uint8_t>(br.Take(3)) : 0;
    }
    StoreBits(s, br);

    HuffShape shape;
    DecodeResult r = ShapeHuffmanCode(lengths, kDeflateCodeLengthCodes, kCodeLengthLookupBits, &shape);
    if (r == kDecodeOk && shape.lookupBits == 0) r = kDecodeBadData;
    if (r != kDecodeOk) return r;
    r = ReadCodeLengths(s, shape, lengths, nl + nd);
    if (r != kDecodeOk) return r;

    r = ShapeHuffmanCode(lengths, nl, kLiteralLookupBits, &shape);
    if (r == kDecodeOk && shape.lookupBits == 0) r = kDecodeBadData;
    if (r != kDecodeOk) return r;
    BlockCodes c{};
    c.lengthShape = shape;
    c.lengthBits = shape.lookupBits;
    c.endReach = EndOfBlockReach(shape, lengths, nl);
    // An incomplete distance code is used as it is; with no distance codes at
    // all the block can still hold literals.
    r = ShapeHuffmanCode(lengths + nl, nd, kDistanceLookupBits, &c.distanceShape);
    if (!TableBuilt(r)) return r;
    c.distanceBits = c.distanceShape.lookupBits;
    c.hasDistances = c.distanceBits != 0;
    s->blockLengths = lengths;
    s->blockLiteralCodes = nl;
    s->blockDistanceCodes = nd;
    s->dynamicFastBuilt = false;
    r = InflateCodes(s, &c);
    FreeHuffmanTable(c.lengthTable);
    FreeHuffmanTable(c.distanceTable);
    s->blockLengths = nullptr;
    return r;
}

// One block: the last-block bit, the 2-bit type, and the block itself.
DecodeResult InflateBlock(InflateStream* s, uint32_t* last) {
    BitReader br = LoadBits(s);
    *last = br.Take(1);
    uint32_t type = br.Take(2);
    StoreBits(s, br);
    switch (type) {
        case 0: return InflateStoredBlock(s);
        case 1: return InflateFixedBlock(s);
        case 2: return InflateDynamicBlock(s);
        default: return kDecodeBadData;
    }
}

// Decodes blocks until the last one, the first error, or a run flag. The run
// flags are looked at between blocks only. Whatever the outcome, the filled
// part of the window is written out before the workspace goes. Inflate
// has a window of its own (see InflateStream): the workspace is allocated
// without the shared one.
int InflateStreamOf(DecodeState* state, const InflateFormat& format) {
    const size_t bytes = offsetof(DecodeWorkspace, window);
    auto* ws = static_cast<DecodeWorkspace*>(MemoryAllocate(bytes));
    if (ws == nullptr) return 0;
    std::memset(ws, 0, bytes);
    auto* window = static_cast<uint8_t*>(MemoryAllocate(2 * format.windowSize + kWindowSpare));
    if (window == nullptr) {
        MemoryFree(ws);
        return 0;
    }
    ws->owner = state;
    ws->windowPosition = format.windowSize;
    InflateStream stream{};
    stream.ws = ws;
    stream.format = &format;
    stream.window = window;
    stream.known = window + format.windowSize;  // nothing before the first byte yet

    int ok = 1;
    uint32_t last = 0;
    while (!last && !RunStopped(state->status)) {
        if (InflateBlock(&stream, &last) != kDecodeOk) {
            ok = 0;
            break;
        }
    }
    WriteDecoded(state, window + format.windowSize, ws->outputPosition, ws->windowPosition - format.windowSize);
    if (state->resync != nullptr) {
        ws->outputPosition += ws->windowPosition - format.windowSize;
        ok = ResumeAfterDamage(state, ws, format.windowSize == kLargeWindowSize, ok);
    }
    // The stream ends inside the last byte whose bits it used; whole bytes
    // still in the bit buffer were read ahead and lie behind it. (Bits made
    // up after the input ran dry sit above every real bit; a stream that
    // ended well never used them.)
    if (ok && ws->bitCount >= ws->bitsMadeUp)
        state->unusedInput = static_cast<int32_t>((ws->bitCount - ws->bitsMadeUp) / 8);
    FreeHuffmanTable(stream.ownFixed.lengthTable);
    FreeHuffmanTable(stream.ownFixed.distanceTable);
    MemoryFree(stream.fastTables);
    MemoryFree(window);
    MemoryFree(ws);
    if (RunStopped(state->status)) return 0;
    return ok;
}

}  // namespace

int Inflate(DecodeState* state) { return InflateStreamOf(state, kDeflate); }

int InflateDeflate64(DecodeState* state) { return InflateStreamOf(state, kDeflate64); }

}  // namespace arcsalve
