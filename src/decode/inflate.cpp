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
// does the same work on the bulk of the data, a word of input at a time,
// and hands the stream back to the careful loop near the ends of the input
// buffer and the window, at the end of each block and on anything unusual,
// in exactly the state the careful loop would have reached. Resynchronising
// on damaged data can reuse the careful loop alone.
#include <cstddef>
#include <cstring>

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
// once a fixed block needed them. The fixed tables are the same for every
// block, so they are built once per entry and kept to its end: a stream of
// tiny fixed blocks (ten bits each) would otherwise rebuild them for every
// ten bits of input.
//
// The window is flat: `size` bytes of history (the window's size: the
// farthest a distance reaches), then the `size` bytes being filled, then
// kWindowSpare bytes that word-wide copies may run over. The write point
// (the workspace's windowPosition) runs from size to 2 * size; when the
// second half is full it goes to the file and becomes the history (Slide).
// So a copy never wraps round, and the bytes after the write point are free:
// nothing reads them before they are written. The history starts out zero:
// a distance that reaches before the entry's first byte reads zeros.
constexpr uint32_t kWindowSpare = 40;

struct InflateStream {
    DecodeWorkspace* ws;
    const InflateFormat* format;
    uint8_t* window;
    HuffEntry* fixedLengthTable;
    HuffEntry* fixedDistanceTable;
    int fixedLengthBits;
    int fixedDistanceBits;
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
    *wp = size;
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
    while (length > 0) {
        const uint32_t run = length < end - *wp ? length : end - *wp;
        CopyBehind(s->window + *wp, run, distance);
        *wp += run;
        length -= run;
        if (*wp == end) Slide(s, wp);
    }
}

// The fast loop. While the frame's input buffer holds at least
// kFastInputMargin plain bytes and the window has room, symbols are decoded
// from a 64-bit bit buffer refilled a word at a time straight from that
// buffer, up to three literals per refill, and matches are copied without a
// slide. Anything it does not handle at full speed (the end of the block, an
// invalid pattern, a match that would fill the window, a pair whose bits the
// buffer does not hold) ends it at the start of that symbol, where the
// careful loop takes over with a bit reader in exactly the state the careful
// loop alone would have there; see HandBack. The careful loop is the
// decoder's definition; the fast loop only ever does what it would do.
//
// Bits above `count` in the 64-bit buffer may hold the start of bytes not yet
// counted as read: a refill ORs the same bytes into the same places again,
// and nothing above `count` is ever consumed.
constexpr int32_t kFastInputMargin = 16;  // two refills of 8 bytes each
constexpr uint32_t kFastLiterals = 3;     // 3 codes of at most 15 bits fit the 56 bits of a refill
static_assert(kWindowSpare >= 8, "a copy's last word may run 7 bytes over");

struct FastBits {
    uint64_t buffer;
    uint32_t count;
    const uint8_t* in;
};

// Tops the buffer up to 56 to 63 bits with one 8-byte load.
inline void Refill(FastBits& b) {
    b.buffer |= LoadLE64(b.in) << b.count;
    b.in += (63 - b.count) >> 3;
    b.count |= 56;
}

// The entry of the code at bit *used of the buffer, links followed; *used
// grows by the code's length. Returns the invalid entry for a spare pattern.
inline const HuffEntry* Resolve(const HuffEntry* table, uint32_t lookupMask, uint64_t buffer, uint32_t* used) {
    const HuffEntry* e = table + ((buffer >> *used) & lookupMask);
    while (e->extra > kHuffLiteral) {
        if (e->extra == kHuffInvalid) return e;
        *used += e->bits;
        e = e->next + ((buffer >> *used) & ((uint32_t{1} << (e->extra - kHuffLinkBase)) - 1));
    }
    *used += e->bits;
    return e;
}

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
void HandBack(DecodeState* state, BitReader& br, FastBits& b, const uint8_t* start, uint32_t lookBits) {
    const int64_t loaded = b.in - start;
    const int64_t read = state->consumed + loaded;
    const int64_t symbolStart = 8 * read - b.count;
    int64_t keep = (symbolStart + lookBits + 7) / 8;
    if (keep < state->consumed) keep = state->consumed;
    const int64_t back = read > keep ? read - keep : 0;
    b.count -= static_cast<uint32_t>(8 * back);
    TakePlainInput(state, static_cast<int32_t>(loaded - back));
    br.buffer = static_cast<uint32_t>(b.buffer & ((uint64_t{1} << b.count) - 1));
    br.count = b.count;
}

inline bool FastLoopFits(uint32_t lookBits, uint32_t distanceBits) { return distanceBits <= lookBits + 1; }

// Decodes symbols of a Huffman block while input and window room last; see
// above. br and *wp are the careful loop's, at a symbol start, and are left
// at the symbol where the fast loop stopped.
void InflateFast(InflateStream* s, BitReader& br, uint32_t* wp, const HuffEntry* lengthTable, uint32_t lookBits,
                 const HuffEntry* distanceTable, uint32_t distanceBits) {
    DecodeState* state = s->ws->owner;
    const uint8_t* const start = PlainInput(state);
    const uint8_t* const inLimit = start + PlainInputBuffered(state) - kFastInputMargin;
    const uint32_t lmask = (uint32_t{1} << lookBits) - 1;
    const uint32_t dmask = (uint32_t{1} << distanceBits) - 1;
    const uint32_t end = 2 * s->format->windowSize;
    uint8_t* const window = s->window;
    FastBits b{br.buffer, br.count, start};
    uint32_t w = *wp;
    while (b.in <= inLimit && w + kFastLiterals < end) {
        Refill(b);
        uint32_t used = 0;
        const HuffEntry* e = Resolve(lengthTable, lmask, b.buffer, &used);
        if (e->extra == kHuffLiteral) {
            uint32_t n = 0;
            do {
                window[w++] = static_cast<uint8_t>(e->value);
                b.buffer >>= used;
                b.count -= used;
                used = 0;
                if (++n == kFastLiterals) break;
                e = Resolve(lengthTable, lmask, b.buffer, &used);
            } while (e->extra == kHuffLiteral);
            if (n == kFastLiterals) continue;
            // The literals took up to 30 bits; a pair needs up to 48 (60 in
            // Deflate64). The bits of e stay where they are.
            Refill(b);
        }
        // End of block, an invalid pattern, or a length without distance codes.
        if (e->extra > kHuffMaxExtraBits || distanceTable == nullptr) break;
        const uint32_t length = e->value + static_cast<uint32_t>((b.buffer >> used) & ((uint32_t{1} << e->extra) - 1));
        used += e->extra;
        const HuffEntry* d = Resolve(distanceTable, dmask, b.buffer, &used);
        if (d->extra == kHuffInvalid) break;
        const uint32_t distance = d->value + static_cast<uint32_t>((b.buffer >> used) & ((uint32_t{1} << d->extra) - 1));
        used += d->extra;
        // Bits the buffer does not hold (Deflate64's longest pairs only), or
        // a match that would fill the window: the careful loop's.
        if (used > b.count || w + length >= end) break;
        b.buffer >>= used;
        b.count -= used;
        if (distance >= 8 && length <= 40) {
            // Most matches: five words, whatever the length, with no loop
            // to mispredict; what lands past the match is written over later.
            uint8_t* out = window + w;
            const uint8_t* in = out - distance;
            for (int k = 0; k < 5; ++k) std::memcpy(out + 8 * k, in + 8 * k, 8);
        } else {
            CopyBehind(window + w, length, distance);
        }
        w += length;
    }
    HandBack(state, br, b, start, lookBits);
    *wp = w;
}

// Decodes the literal/length and distance symbols of one Huffman block up to
// its end-of-block symbol. 0 at the end of the block; 1 on a data error: an
// invalid pattern, a length without a distance code, or a symbol or copy
// that needs input which never arrived. Every byte decoded before the error
// is in the window (or already written).
DecodeResult InflateCodes(InflateStream* s, const HuffEntry* lengthTable, const HuffEntry* distanceTable,
                 int lengthBits, int distanceBits) {
    DecodeWorkspace* ws = s->ws;
    BitReader br = LoadBits(s);
    uint32_t wp = ws->windowPosition;
    const uint32_t lbits = static_cast<uint32_t>(lengthBits);
    const uint32_t dbits = static_cast<uint32_t>(distanceBits);
    const uint32_t end = 2 * s->format->windowSize;
    const bool fast = FastLoopFits(lbits, dbits);
    DecodeResult result = kDecodeBadData;
    for (;;) {
        if (fast && br.madeUp == 0 && PlainInputBuffered(ws->owner) >= kFastInputMargin && wp + kFastLiterals < end)
            InflateFast(s, br, &wp, lengthTable, lbits, distanceTable, dbits);
        const HuffEntry* e = DecodeSymbol<false>(br, lengthTable, lbits);
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
        if (distanceTable == nullptr) break;
        e = DecodeSymbol<false>(br, distanceTable, dbits);
        if (e == nullptr) break;
        uint32_t distance = e->value + br.Take(e->extra);
        if (br.UsedMissingInput()) break;
        CopyMatch(s, &wp, length, distance);
    }
    StoreBits(s, br);
    ws->windowPosition = wp;
    return result;
}

// A stored block: after the header, skip to a byte boundary; LEN (16 bits),
// its ones' complement NLEN, then LEN bytes as they are. The copy stops when
// the input ends (result 1) rather than filling the rest with made-up bytes.
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
        for (; len > 0; --len) {
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

// Decodes the symbols of a dynamic block with its two tables, then frees them.
DecodeResult DecodeWithTables(InflateStream* s, HuffEntry* lengthTable, int lengthBits, HuffEntry* distanceTable,
                     int distanceBits) {
    DecodeResult r = InflateCodes(s, lengthTable, distanceTable, lengthBits, distanceBits);
    FreeHuffmanTable(lengthTable);
    FreeHuffmanTable(distanceTable);
    return r == kDecodeBadData ? kDecodeBadData : kDecodeOk;
}

// The tables of the fixed codes of RFC 1951 3.2.6: literal/length lengths 8
// (0..143), 9 (144..255), 7 (256..279), 8 (280..287); five-bit distance
// codes, 30 of them in deflate, whose 32 patterns leave two spare (distance
// codes 30 and 31 are errors in a fixed block), all 32 in Deflate64.
DecodeResult BuildFixedTables(InflateStream* s) {
    auto* lengths = static_cast<uint8_t*>(MemoryAllocate(kLiteralCodes));
    if (lengths == nullptr) return kDecodeNoMemory;
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    HuffEntry* lengthTable = nullptr;
    int lbits = kFixedLiteralLookupBits;
    const InflateFormat* f = s->format;
    DecodeResult r = BuildHuffmanTable(lengths, kLiteralCodes, kFirstLengthSymbol, f->lengthBase, f->lengthExtra,
                                       kListLength, &lengthTable, &lbits);
    if (r != kDecodeOk) {
        FreeHuffmanTable(lengthTable);
        MemoryFree(lengths);
        return r;
    }
    std::memset(lengths, 5, f->fixedDistanceCodes);
    HuffEntry* distanceTable = nullptr;
    int dbits = kFixedDistanceLookupBits;
    r = BuildHuffmanTable(lengths, f->fixedDistanceCodes, 0, f->distanceBase, f->distanceExtra, kListLength,
                          &distanceTable, &dbits);
    MemoryFree(lengths);
    if (!TableBuilt(r)) {
        FreeHuffmanTable(lengthTable);
        return r;
    }
    s->fixedLengthTable = lengthTable;
    s->fixedLengthBits = lbits;
    s->fixedDistanceTable = distanceTable;
    s->fixedDistanceBits = dbits;
    return kDecodeOk;
}

DecodeResult InflateFixedBlock(InflateStream* s) {
    if (s->fixedLengthTable == nullptr) {
        DecodeResult r = BuildFixedTables(s);
        if (r != kDecodeOk) return r;
    }
    DecodeResult r =
        InflateCodes(s, s->fixedLengthTable, s->fixedDistanceTable, s->fixedLengthBits, s->fixedDistanceBits);
    return r == kDecodeBadData ? kDecodeBadData : kDecodeOk;
}

// Reads the nl + nd code lengths of a dynamic block with the code-length
// code: 0..15 literal lengths, 16 repeats the last length 3..6 times (length
// 0 when nothing came before), 17 and 18 give runs of 3..10 and 11..138
// zeros. A run may cross from the literal/length lengths into the distance
// lengths, but not past their end.
DecodeResult ReadCodeLengths(InflateStream* s, const HuffEntry* table, int tableBits, uint8_t* lengths,
                             uint32_t total) {
    BitReader br = LoadBits(s);
    const uint32_t bits = static_cast<uint32_t>(tableBits);
    DecodeResult result = kDecodeOk;
    uint32_t filled = 0;
    uint8_t last = 0;
    while (filled < total) {
        br.Need(bits);
        const HuffEntry& e = table[br.Peek(bits)];
        // The code-length code is at most 7 bits, so `bits` reaches every
        // code and there are no links. A single 1-bit code leaves its other
        // pattern spare; meeting it is a data error.
        if (e.extra == kHuffInvalid) {
            result = kDecodeBadData;
            break;
        }
        br.Drop(e.bits);
        uint32_t symbol = e.value;
        if (symbol < 16) {
            lengths[filled++] = last = static_cast<uint8_t>(symbol);
            continue;
        }
        uint32_t repeat;
        uint8_t value = 0;
        if (symbol == 16) {
            repeat = 3 + br.Take(2);
            value = last;
        } else if (symbol == 17) {
            repeat = 3 + br.Take(3);
        } else {
            repeat = 11 + br.Take(7);
        }
        if (filled + repeat > total) {
            result = kDecodeBadData;
            break;
        }
        std::memset(lengths + filled, value, repeat);
        filled += repeat;
        last = value;
    }
    if (result == kDecodeOk && br.UsedMissingInput()) result = kDecodeBadData;
    StoreBits(s, br);
    return result;
}

// A block with its own codes: HLIT (5 bits) + 257 literal/length codes, HDIST
// (5 bits) + 1 distance codes, HCLEN (4 bits) + 4 code-length code lengths of
// 3 bits each in kDeflateCodeLengthOrder, then the code lengths themselves.
DecodeResult InflateDynamicBlock(InflateStream* s) {
    BitReader br = LoadBits(s);
    uint32_t nl = kFirstLengthSymbol + br.Take(5);
    uint32_t nd = 1 + br.Take(5);
    uint32_t nb = 4 + br.Take(4);
    auto* lengths = static_cast<uint8_t*>(MemoryAllocate(kLiteralCodes + kDistanceCodes));
    if (lengths == nullptr) {
        StoreBits(s, br);
        return kDecodeNoMemory;
    }
    for (uint32_t j = 0; j < kDeflateCodeLengthCodes; ++j) {
        lengths[kDeflateCodeLengthOrder[j]] = j < nb ? static_cast<uint8_t>(br.Take(3)) : 0;
    }
    StoreBits(s, br);

    HuffEntry* table = nullptr;
    int bits = kCodeLengthLookupBits;
    DecodeResult r = BuildHuffmanTable(lengths, kDeflateCodeLengthCodes, kDeflateCodeLengthCodes, nullptr, nullptr,
                              kListLength, &table, &bits);
    if (r == kDecodeOk && table == nullptr) r = kDecodeBadData;
    if (r != kDecodeOk) {
        FreeHuffmanTable(table);
        MemoryFree(lengths);
        return r;
    }
    r = ReadCodeLengths(s, table, bits, lengths, nl + nd);
    FreeHuffmanTable(table);
    if (r != kDecodeOk) {
        MemoryFree(lengths);
        return r;
    }

    HuffEntry* lengthTable = nullptr;
    int lbits = kLiteralLookupBits;
    r = BuildHuffmanTable(lengths, nl, kFirstLengthSymbol, s->format->lengthBase, s->format->lengthExtra,
                          kListLength, &lengthTable, &lbits);
    if (r == kDecodeOk && lengthTable == nullptr) r = kDecodeBadData;
    if (r != kDecodeOk) {
        FreeHuffmanTable(lengthTable);
        MemoryFree(lengths);
        return r;
    }
    // An incomplete distance code is used as it is; with no distance codes at
    // all the block can still hold literals.
    HuffEntry* distanceTable = nullptr;
    int dbits = kDistanceLookupBits;
    r = BuildHuffmanTable(lengths + nl, nd, 0, s->format->distanceBase, s->format->distanceExtra, kListLength,
                          &distanceTable, &dbits);
    MemoryFree(lengths);
    if (!TableBuilt(r)) {
        FreeHuffmanTable(lengthTable);
        return r;
    }
    return DecodeWithTables(s, lengthTable, lbits, distanceTable, dbits);
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
    std::memset(window, 0, format.windowSize);  // the history before the first byte
    ws->owner = state;
    ws->windowPosition = format.windowSize;
    InflateStream stream{ws, &format, window, nullptr, nullptr, 0, 0};

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
    FreeHuffmanTable(stream.fixedLengthTable);
    FreeHuffmanTable(stream.fixedDistanceTable);
    MemoryFree(window);
    MemoryFree(ws);
    if (RunStopped(state->status)) return 0;
    return ok;
}

}  // namespace

int Inflate(DecodeState* state) { return InflateStreamOf(state, kDeflate); }

int InflateDeflate64(DecodeState* state) { return InflateStreamOf(state, kDeflate64); }

}  // namespace arcsalve
