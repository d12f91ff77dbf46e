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
// Bits come through the frame's byte source one byte at a time, exactly when
// a request finds too few in the 32-bit buffer; the decoder never reads
// further ahead than that, so the archive reader ends up where the scan
// expects it after the entry.
#include <cstddef>
#include <cstring>

#include "common/deflate_format.h"
#include "decode/bit_reader.h"
#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "decode/huffman_table.h"

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
// One Inflate call: the workspace, and the fixed codes' tables once a fixed
// block needed them. The fixed tables are the same for every block, so they are built once
// per entry and kept to its end: a stream of tiny fixed blocks (ten bits
// each) would otherwise rebuild them for every ten bits of input.
struct InflateStream {
    DecodeWorkspace* ws;
    const InflateFormat* format;
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

// Puts one byte into the window of `size` bytes; a full window goes to the
// file.
inline void PutByte(DecodeWorkspace* ws, uint32_t* wp, uint8_t byte, uint32_t size) {
    ws->window[(*wp)++] = byte;
    if (*wp == size) {
        FlushWindow(ws, size);
        *wp = 0;
    }
}

// Copies n bytes from in to out, for regions that do not overlap. Matches are
// mostly short, so the common lengths are done with a few fixed-size moves
// (which never touch a byte outside either region) instead of a library call.
inline void CopyApart(uint8_t* out, const uint8_t* in, uint32_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t head, tail;
        std::memcpy(&head, in, 8);
        std::memcpy(&tail, in + n - 8, 8);
        std::memcpy(out, &head, 8);
        std::memcpy(out + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t head, tail;
        std::memcpy(&head, in, 4);
        std::memcpy(&tail, in + n - 4, 4);
        std::memcpy(out, &head, 4);
        std::memcpy(out + n - 4, &tail, 4);
    } else if (n < 4) {
        for (uint32_t i = 0; i < n; ++i) out[i] = in[i];
    } else {
        std::memcpy(out, in, n);
    }
}

// Copies `length` bytes from `distance` back, with the effect of copying them
// one at a time: a copy that overlaps its own output repeats the most recent
// bytes. The window of `size` bytes (a power of two, at least the distance)
// is circular; a distance that reaches before the entry's first byte reads
// the zeros the window was cleared to.
inline void CopyMatch(DecodeWorkspace* ws, uint32_t* wp, uint32_t length, uint32_t distance, uint32_t size) {
    uint8_t* window = ws->window;
    uint32_t source = *wp - distance;
    while (length > 0) {
        source &= size - 1;
        uint32_t run = size - (source > *wp ? source : *wp);
        if (run > length) run = length;
        length -= run;
        uint8_t* out = window + *wp;
        const uint8_t* in = window + source;
        uint32_t gap = source > *wp ? source - *wp : *wp - source;
        if (gap >= run) {
            CopyApart(out, in, run);
        } else if (source > *wp) {
            // Reading ahead of the write point (a distance near the window's
            // size, across its end): nothing read was written by this copy.
            std::memmove(out, in, run);
        } else if (gap == 1) {
            std::memset(out, in[0], run);
        } else if (gap >= 8) {
            // Each 8-byte piece reads only bytes already in place.
            uint32_t i = 0;
            for (; i + 8 <= run; i += 8) std::memcpy(out + i, in + i, 8);
            for (; i < run; ++i) out[i] = in[i];
        } else {
            // Short periods (2..7), or source == *wp (a distance of the
            // window's size: every byte is already itself).
            for (uint32_t i = 0; i < run; ++i) out[i] = in[i];
        }
        *wp += run;
        source += run;
        if (*wp == size) {
            FlushWindow(ws, size);
            *wp = 0;
        }
    }
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
    const uint32_t size = s->format->windowSize;
    DecodeResult result = kDecodeBadData;
    for (;;) {
        const HuffEntry* e = DecodeSymbol<false>(br, lengthTable, lbits);
        if (e == nullptr || br.UsedMissingInput()) break;
        if (e->extra == kHuffLiteral) {
            PutByte(ws, &wp, static_cast<uint8_t>(e->value), size);
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
        CopyMatch(ws, &wp, length, distance, size);
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
            PutByte(ws, &wp, byte, s->format->windowSize);
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
// part of the window is written out before the workspace goes. The
// workspace is allocated only as far as the format's window reaches.
int InflateStreamOf(DecodeState* state, const InflateFormat& format) {
    const size_t bytes = offsetof(DecodeWorkspace, window) + format.windowSize;
    auto* ws = static_cast<DecodeWorkspace*>(MemoryAllocate(bytes));
    if (ws == nullptr) return 0;
    std::memset(ws, 0, bytes);  // window included: see CopyMatch
    ws->owner = state;
    InflateStream stream{ws, &format, nullptr, nullptr, 0, 0};

    int ok = 1;
    uint32_t last = 0;
    while (!last && !RunStopped(state->status)) {
        if (InflateBlock(&stream, &last) != kDecodeOk) {
            ok = 0;
            break;
        }
    }
    FlushWindow(ws, ws->windowPosition);
    // The stream ends inside the last byte whose bits it used; whole bytes
    // still in the bit buffer were read ahead and lie behind it. (Bits made
    // up after the input ran dry sit above every real bit; a stream that
    // ended well never used them.)
    if (ok && ws->bitCount >= ws->bitsMadeUp)
        state->unusedInput = static_cast<int32_t>((ws->bitCount - ws->bitsMadeUp) / 8);
    FreeHuffmanTable(stream.fixedLengthTable);
    FreeHuffmanTable(stream.fixedDistanceTable);
    MemoryFree(ws);
    if (RunStopped(state->status)) return 0;
    return ok;
}

}  // namespace

int Inflate(DecodeState* state) { return InflateStreamOf(state, kDeflate); }

int InflateDeflate64(DecodeState* state) { return InflateStreamOf(state, kDeflate64); }

}  // namespace arcsalve
