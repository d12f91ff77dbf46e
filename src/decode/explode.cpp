// Explode: the decoder of compression method 6 ("imploded").
//
// Imploding is a sliding-window coder of literals and copies whose codes are
// Shannon-Fano codes. Two bits of the general-purpose flags choose the
// variant:
//   bit 1 (2): an 8192-byte dictionary, distances carry 7 low bits (else
//              4096 bytes and 6 low bits);
//   bit 2 (4): literals are coded with a third tree of 256 codes, and the
//              shortest copy is 3 bytes (else literals are 8 raw bits and the
//              shortest copy is 2 bytes).
//
// The entry's data start with the trees, byte-aligned, in the order literal
// (three trees only), length, distance; each is a run-length list of code
// lengths. The codes follow, least significant bit first:
//   1, literal                       (8 raw bits, or a literal-tree code)
//   0, low distance bits (6 or 7 raw), distance-tree code (upper 6 bits),
//      length-tree code, and for length code 63 eight more raw bits.
//
// A Shannon-Fano code of the format gives the longest codes the smallest
// values, the reverse of a canonical code built from the same lengths; for a
// complete code the two are bitwise complements. So the decoding tables are
// built canonically (BuildHuffmanTable) and looked up with the buffered bits
// inverted.
#include <cstring>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "decode/huffman_table.h"
#include "decode/bit_reader.h"

namespace arcsalve {
namespace {

constexpr uint16_t kFlagLargeDictionary = 0x0002;
constexpr uint16_t kFlagLiteralTree = 0x0004;

constexpr uint32_t kLiteralSymbols = 256;
constexpr uint32_t kLengthSymbols = 64;
constexpr uint32_t kDistanceSymbols = 64;
// Length code 63 is followed by 8 raw bits added to its base.
constexpr uint32_t kLongLengthCode = 63;

// First-level widths of the tables. Distance codes get one more bit for
// large entries, where long distance codes are common.
constexpr int kLiteralLookupBits = 9;
constexpr int kLengthLookupBits = 7;
constexpr int kDistanceLookupBits = 7;
constexpr int kLargeDistanceLookupBits = 8;
constexpr int32_t kLargeEntry = 200000;

// A decoder that finishes within this many bytes of the compressed size
// (either way) ended where the encoder did: the bit buffer reads a byte or
// two ahead, and the frame allows 10 bytes past the end.
constexpr int32_t kCountTolerance = kEndOfDataAllowance;

constexpr uint32_t kWindowMask = kWindowSize - 1;
static_assert((kWindowSize & kWindowMask) == 0, "window positions wrap by masking");
static_assert(8192 + 320 < kWindowSize, "the dictionary and a whole copy fit in the window");

// Symbol i of the length tree is a base length of i + 2 (two trees) or
// i + 3 (three trees); only the last one takes extra bits.
struct ExplodeLists {
    uint16_t lengthBase2[kLengthSymbols];
    uint16_t lengthBase3[kLengthSymbols];
    uint16_t lengthExtra[kLengthSymbols];
    uint16_t distanceBase8K[kDistanceSymbols];  // upper distance bits, 7 low bits below
    uint16_t distanceBase4K[kDistanceSymbols];  // upper distance bits, 6 low bits below
};

constexpr ExplodeLists MakeExplodeLists() {
    ExplodeLists lists{};
    for (uint32_t i = 0; i < kLengthSymbols; ++i) {
        lists.lengthBase2[i] = static_cast<uint16_t>(i + 2);
        lists.lengthBase3[i] = static_cast<uint16_t>(i + 3);
        lists.lengthExtra[i] = i == kLongLengthCode ? 8 : 0;
        lists.distanceBase8K[i] = static_cast<uint16_t>(1 + 128 * i);
        lists.distanceBase4K[i] = static_cast<uint16_t>(1 + 64 * i);
    }
    return lists;
}
constexpr ExplodeLists kLists = MakeExplodeLists();
static_assert(kLists.lengthBase2[63] == 65 && kLists.lengthBase3[63] == 66, "longest base lengths");
static_assert(kLists.distanceBase8K[63] == 8065 && kLists.distanceBase4K[63] == 4033, "farthest bases");

// The decoding tables of one entry, released on every path.
struct ExplodeTables {
    HuffEntry* literal = nullptr;
    HuffEntry* length = nullptr;
    HuffEntry* distance = nullptr;
    int literalBits = kLiteralLookupBits;
    int lengthBits = kLengthLookupBits;
    int distanceBits = kDistanceLookupBits;
    ~ExplodeTables() {
        FreeHuffmanTable(literal);
        FreeHuffmanTable(length);
        FreeHuffmanTable(distance);
    }
};

// One compressed code-length list: a byte giving the number of data bytes
// less one, then data bytes, each a run: code length (low 4 bits) + 1,
// repeated (high 4 bits) + 1 times. Exactly n lengths must result.
DecodeResult ReadCodeLengths(BitReader& bits, uint8_t* lengths, uint32_t n) {
    const uint32_t runs = bits.Take(8) + 1;
    uint32_t stored = 0;
    for (uint32_t r = 0; r < runs; ++r) {
        const uint32_t b = bits.Take(8);
        const uint32_t length = (b & 0x0F) + 1;
        const uint32_t count = ((b >> 4) & 0x0F) + 1;
        if (stored + count > n) return kDecodeBadData;
        std::memset(lengths + stored, static_cast<int>(length), count);
        stored += count;
    }
    // A list cut short by the end of the input is not a list.
    if (bits.UsedMissingInput()) return kDecodeBadData;
    return stored == n ? kDecodeOk : kDecodeBadData;
}

// Reads one tree and builds its table. An incomplete code is refused: the
// complement rule above holds only for complete codes.
DecodeResult ReadTree(BitReader& bits, uint8_t* lengths, uint32_t n, uint32_t simple, const uint16_t* base,
             HuffEntry** table, int* lookupBits) {
    DecodeResult r = ReadCodeLengths(bits, lengths, n);
    if (r != kDecodeOk) return r;
    r = BuildHuffmanTable(lengths, n, simple, base, base ? kLists.lengthExtra : nullptr,
                          base ? kLengthSymbols : 0, table, lookupBits);
    if (r == kDecodeIncompleteCode) {
        FreeHuffmanTable(*table);
        *table = nullptr;
    }
    return r;
}

// The decode loop, one instance per variant: kLiteralTree (three trees) and
// kLowBits (7 for the 8192-byte dictionary, 6 for 4096). The base lists of
// lengths and distances came in with the tables.
//
// The window is 32768 bytes although the dictionary is at most 8192, so
// output leaves in full-window writes. Until the first write (u), a copy that
// reaches before the entry's first byte yields zeros for that part.
template <bool kLiteralTree, uint32_t kLowBits>
DecodeResult ExplodeCodes(DecodeWorkspace* ws, const ExplodeTables& t, BitReader bits) {
    DecodeState* const state = ws->owner;
    const RunStatus* const status = state->status;  // held here: window stores may alias the state
    uint8_t* const window = ws->window;
    int64_t left = state->uncompressedSize;
    uint32_t w = 0;
    bool beforeFirstWrite = true;

    while (left > 0) {
        if (RunStopped(status)) return kDecodeBadData;
        bits.Need(1);
        const uint32_t isLiteral = bits.buffer & 1;
        bits.Drop(1);
        if (isLiteral) {
            uint8_t literal;
            if (kLiteralTree) {
                const HuffEntry* e = DecodeSymbol<true>(bits, t.literal, t.literalBits);
                if (e == nullptr) break;
                literal = static_cast<uint8_t>(e->value);
            } else {
                literal = static_cast<uint8_t>(bits.Take(8));
            }
            if (bits.UsedMissingInput()) break;
            --left;
            window[w++] = literal;
            if (w == kWindowSize) {
                FlushWindow(ws, kWindowSize);
                w = 0;
                beforeFirstWrite = false;
            }
            continue;
        }

        const uint32_t low = bits.Take(kLowBits);
        const HuffEntry* de = DecodeSymbol<true>(bits, t.distance, t.distanceBits);
        if (de == nullptr) break;
        const HuffEntry* le = DecodeSymbol<true>(bits, t.length, t.lengthBits);
        if (le == nullptr) break;
        uint32_t n = le->value;
        if (le->extra != 0) n += bits.Take(8);
        if (bits.UsedMissingInput()) break;
        // The whole copy is made even when it passes the recorded size.
        left -= n;

        uint32_t d = w - low - de->value;
        do {
            d &= kWindowMask;
            uint32_t e = kWindowSize - (d > w ? d : w);
            if (e > n) e = n;
            n -= e;
            if (beforeFirstWrite && w <= d) {
                std::memset(window + w, 0, e);
                w += e;
                d += e;
            } else if (w - d >= e) {
                // Source and destination do not overlap (this includes a
                // source behind the wrap, d > w).
                std::memcpy(window + w, window + d, e);
                w += e;
                d += e;
            } else {
                // Distance shorter than the run: repeat recent bytes.
                do {
                    window[w++] = window[d++];
                } while (--e);
            }
            if (w == kWindowSize) {
                FlushWindow(ws, kWindowSize);
                w = 0;
                beforeFirstWrite = false;
            }
        } while (n != 0);
    }

    // The filled part of the window is written whether the loop finished or
    // met an invalid code or the end of the input: those bytes decoded
    // correctly and are the part of the entry that survived.
    if (!RunStopped(state->status)) FlushWindow(ws, w);
    if (left > 0) return kDecodeBadData;
    const int64_t off = state->consumed - state->compressedSize;
    return (off >= -kCountTolerance && off <= kCountTolerance) ? kDecodeOk : kDecodeCountOff;
}

DecodeResult DecodeImploded(DecodeWorkspace* ws, uint16_t flags) {
    auto lengths = AllocBlockOf<uint8_t>(kLiteralSymbols);
    if (!lengths) return kDecodeNoMemory;
    const bool largeDictionary = (flags & kFlagLargeDictionary) != 0;
    const bool literalTree = (flags & kFlagLiteralTree) != 0;

    ExplodeTables t;
    if (ws->owner->compressedSize > kLargeEntry) t.distanceBits = kLargeDistanceLookupBits;
    // The trees are byte-aligned; the codes start at the byte after them.
    BitReader bits = StartBits(ws->owner);
    DecodeResult r;
    if (literalTree) {
        r = ReadTree(bits, lengths.get(), kLiteralSymbols, kLiteralSymbols, nullptr, &t.literal, &t.literalBits);
        if (r != kDecodeOk) return r;
    }
    r = ReadTree(bits, lengths.get(), kLengthSymbols, 0, literalTree ? kLists.lengthBase3 : kLists.lengthBase2,
                 &t.length, &t.lengthBits);
    if (r != kDecodeOk) return r;
    r = ReadTree(bits, lengths.get(), kDistanceSymbols, 0,
                 largeDictionary ? kLists.distanceBase8K : kLists.distanceBase4K, &t.distance, &t.distanceBits);
    if (r != kDecodeOk) return r;
    lengths.reset();

    if (literalTree) {
        return largeDictionary ? ExplodeCodes<true, 7>(ws, t, bits) : ExplodeCodes<true, 6>(ws, t, bits);
    }
    return largeDictionary ? ExplodeCodes<false, 7>(ws, t, bits) : ExplodeCodes<false, 6>(ws, t, bits);
}

}  // namespace

int Explode(DecodeState* state, uint16_t flags) {
    auto workspace = AllocBlockOf<DecodeWorkspace>(sizeof(DecodeWorkspace));
    if (!workspace) return 0;
    DecodeWorkspace* ws = workspace.get();
    ws->owner = state;
    ws->outputPosition = 0;
    ws->windowPosition = 0;
    const DecodeResult r = DecodeImploded(ws, flags);
    if (RunStopped(state->status)) return 0;
    return r == kDecodeOk ? 1 : 0;
}

}  // namespace arcsalve
