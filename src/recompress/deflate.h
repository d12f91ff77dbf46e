// The deflate compressor (RFC 1951): its state, its code tables and the
// functions of its two halves. The match finder (match_finder.cpp) turns the
// input into literals and (length, distance) pairs and decides where a block
// ends; the tree builder (huffman_trees.cpp) and the block writer
// (block_writer.cpp) turn each block into bits.
//
// The output is fixed to the byte by the rules of both halves: greedy
// matching over a 64 KiB window with hash chains of at most 128 candidates,
// every position inserted, blocks ended by item count or by a cost estimate,
// and for each block the cheapest of stored, fixed-code and dynamic-code
// forms, with ties going to the fixed codes.
//
// Internal to src/recompress/ (and its tests, fuzz target and benchmark).
#ifndef ARCSALVE_RECOMPRESS_DEFLATE_H
#define ARCSALVE_RECOMPRESS_DEFLATE_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/deflate_format.h"
#include "recompress/recompress_stream.h"

namespace arcsalve {

// --- Format facts (RFC 1951) and the compressor's fixed settings -------------

constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;

// The window holds two halves of 32 KiB. Input is read straight into it; when
// it is full the upper half slides down, so deflate's 32 KiB of history is
// always behind the current position.
constexpr uint32_t kWindowSize = 65536;
constexpr uint32_t kHalfWindow = 32768;
// A match needs kMaxMatch bytes ahead plus the next string's three hash
// bytes: the window is topped up whenever fewer than this lie ahead.
constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;
// The farthest match source: deflate allows 32 KiB, this compressor keeps a
// margin of kMinLookahead below it.
constexpr uint32_t kMaxDistance = kHalfWindow - kMinLookahead;
static_assert(kMaxDistance == 32506, "farthest match distance");
// The match comparison may run kMaxMatch - 1 bytes past the current position,
// and the hash reads two past it; near the end of the data these reads go past
// the window's last byte. The spare bytes make them safe; they stay zero (the
// state is cleared when it is obtained and nothing is ever read into them),
// so the output never depends on leftover memory.
constexpr uint32_t kWindowSpare = 320;
static_assert(kWindowSpare >= kMaxMatch + 8, "room for the 8-byte match comparison");

// Hash of the three bytes at a position: 15 bits, updated by shifting 5 bits
// per byte, so only the last three bytes count.
constexpr uint32_t kHashBits = 15;
constexpr uint32_t kHashSize = 1u << kHashBits;
constexpr uint32_t kHashShift = 5;
static_assert(kHashShift * kMinMatch == kHashBits, "three bytes fill the hash");
// Chain links are indexed by window position within a half.
constexpr uint32_t kChainMask = kHalfWindow - 1;
// The compressor's one setting: candidates examined per search.
constexpr uint32_t kChainLimit = 128;
// A second set of chains, keyed by a hash of four bytes, lets the search
// reach the candidates that can still win without stepping through the rest
// of the three-byte chain; it only speeds the search up and changes no
// result (match_finder.cpp).
constexpr uint32_t kQuadHashBits = 16;
constexpr uint32_t kQuadHashSize = 1u << kQuadHashBits;

// A block holds at most this many items (literals and matches); one bit per
// item in the flag buffer says which. Frequencies then fit 16 bits.
constexpr uint32_t kItemBufferSize = 32768;
constexpr uint32_t kMaxBlockItems = kItemBufferSize - 1;
constexpr uint32_t kFlagBufferSize = kItemBufferSize / 8;
// Every 4096 items the block is checked for being poorly matched.
constexpr uint32_t kBlockCheckInterval = 4096;

constexpr int kLiterals = 256;
constexpr int kEndOfBlock = 256;
constexpr int kLengthCodes = kDeflateLengthCodes;
constexpr int kLiteralLengthSymbols = kLiterals + 1 + kLengthCodes;  // 286
constexpr int kFixedLiteralSymbols = 288;  // 286 and 287 take part in the fixed code only
constexpr int kDistanceSymbols = kDeflateDistanceCodes;
constexpr int kCodeLengthSymbols = kDeflateCodeLengthCodes;
constexpr int kMaxCodeBits = 15;
constexpr int kMaxCodeLengthBits = 7;
// The code-length alphabet's repeat symbols.
constexpr int kRepeatPrevious = 16;  // previous length 3..6 times, 2 extra bits
constexpr int kRepeatZero3 = 17;     // zero 3..10 times, 3 extra bits
constexpr int kRepeatZero11 = 18;    // zero 11..138 times, 7 extra bits
// A tree of n symbols has at most 2n - 1 nodes; the heap is indexed from 1.
constexpr int kHeapSize = 2 * kLiteralLengthSymbols + 1;  // 573

constexpr uint8_t kCodeLengthExtraBits[kCodeLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                              0, 0, 0, 0, 0, 0, 2, 3, 7};
// The low `length` bits of code in reverse order. Huffman codes are sent
// most significant bit first while the bit writer sends least significant
// bit first, so codes are kept reversed.
constexpr uint32_t ReverseBits(uint32_t code, int length) {
    uint32_t result = 0;
    for (int i = 0; i < length; ++i) {
        result = (result << 1) | (code & 1);
        code >>= 1;
    }
    return result;
}

// --- Huffman trees --------------------------------------------------------------

// One tree entry: two 16-bit halves, each used twice over the tree's life.
struct TreeEntry {
    uint16_t freqOrCode;      // frequency while the tree is built; then the code, reversed
    uint16_t parentOrLength;  // parent node while the tree is built; then the code length
};

// The length/distance code maps and the fixed trees are the same for every
// entry and are made at compile time.
struct CodeMaps {
    int32_t baseLength[kLengthCodes];       // first (length - 3) of each length code
    uint8_t lengthCode[256];                // length code of each (length - 3)
    int32_t baseDistance[kDistanceSymbols]; // first (distance - 1) of each distance code
    // Distance code of each (distance - 1) d: entry d below 256, else entry
    // 256 + (d >> 7). Codes 16 and up cover whole multiples of 128.
    uint8_t distanceCode[512];
    TreeEntry fixedLiteralTree[kFixedLiteralSymbols];
    TreeEntry fixedDistanceTree[kDistanceSymbols];
};

constexpr CodeMaps MakeCodeMaps() {
    CodeMaps m{};
    int length = 0;
    for (int code = 0; code < kLengthCodes - 1; ++code) {
        m.baseLength[code] = length;
        for (int n = 0; n < (1 << kDeflateLengthExtra[code]); ++n)
            m.lengthCode[length++] = static_cast<uint8_t>(code);
    }
    // Length 258 could also be written as code 284 with extra bits 31; it has
    // its own code 285 without extra bits.
    m.baseLength[kLengthCodes - 1] = static_cast<int32_t>(kMaxMatch - kMinMatch);
    m.lengthCode[kMaxMatch - kMinMatch] = kLengthCodes - 1;
    int distance = 0;
    for (int code = 0; code < 16; ++code) {
        m.baseDistance[code] = distance;
        for (int n = 0; n < (1 << kDeflateDistanceExtra[code]); ++n)
            m.distanceCode[distance++] = static_cast<uint8_t>(code);
    }
    distance >>= 7;
    for (int code = 16; code < kDistanceSymbols; ++code) {
        m.baseDistance[code] = distance << 7;
        for (int n = 0; n < (1 << (kDeflateDistanceExtra[code] - 7)); ++n)
            m.distanceCode[256 + distance++] = static_cast<uint8_t>(code);
    }
    // The fixed literal/length code: canonical codes from the lengths.
    int counts[kMaxCodeBits + 1] = {};
    for (int n = 0; n < kFixedLiteralSymbols; ++n) {
        int bits = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
        m.fixedLiteralTree[n].parentOrLength = static_cast<uint16_t>(bits);
        ++counts[bits];
    }
    uint32_t next[kMaxCodeBits + 1] = {};
    uint32_t code = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + static_cast<uint32_t>(counts[bits - 1])) << 1;
        next[bits] = code;
    }
    for (int n = 0; n < kFixedLiteralSymbols; ++n) {
        int bits = m.fixedLiteralTree[n].parentOrLength;
        m.fixedLiteralTree[n].freqOrCode = static_cast<uint16_t>(ReverseBits(next[bits]++, bits));
    }
    for (int n = 0; n < kDistanceSymbols; ++n) {
        m.fixedDistanceTree[n].parentOrLength = 5;
        m.fixedDistanceTree[n].freqOrCode = static_cast<uint16_t>(ReverseBits(static_cast<uint32_t>(n), 5));
    }
    return m;
}

inline constexpr CodeMaps kCodeMaps = MakeCodeMaps();
static_assert(kCodeMaps.lengthCode[0] == 0 && kCodeMaps.lengthCode[254] == 27 &&
                  kCodeMaps.lengthCode[255] == 28, "length codes 257, 284 and 285");
static_assert(kCodeMaps.baseDistance[29] == 24576 && kCodeMaps.distanceCode[256 + (32767 >> 7)] == 29,
              "distance code 29 covers 24577..32768");
static_assert(kCodeMaps.fixedLiteralTree[kEndOfBlock].parentOrLength == 7 &&
                  kCodeMaps.fixedLiteralTree[kEndOfBlock].freqOrCode == 0,
              "end of block is the fixed code 0000000");
static_assert(kCodeMaps.fixedLiteralTree[0].freqOrCode == ReverseBits(0x30, 8),
              "literal 0 is the fixed code 00110000");

// The distance code of (distance - 1).
inline uint32_t DistanceCode(uint32_t distanceMinusOne) {
    return distanceMinusOne < 256 ? kCodeMaps.distanceCode[distanceMinusOne]
                                  : kCodeMaps.distanceCode[256 + (distanceMinusOne >> 7)];
}

// What the tree builder needs to know about one of the three trees of a
// block.
struct HuffmanTreeInfo {
    TreeEntry* tree;             // leaves 0..symbols-1, then internal nodes
    const TreeEntry* fixedTree;  // the fixed code of the same symbols, or none
    const uint8_t* extraBits;    // extra bits of symbols from firstExtra on
    int firstExtra;
    int symbols;
    int lengthLimit;
    int largestSymbol;           // result: the largest symbol with a code
};

// --- The compressor's state ------------------------------------------------

// One per deflated entry, obtained zeroed (which also clears the window) and
// released by DeflateEntry.
struct DeflateState {
    RecompressStream* stream;

    // Match finder.
    uint32_t chainLimit;
    uint32_t position;      // window index of the byte being coded
    int32_t blockStart;     // window index of the block's first byte; negative once slid out
    uint32_t lookahead;     // valid bytes from position on
    uint32_t endOfInput;    // set once a read of the source delivered nothing
    uint32_t hash;          // rolling hash, last updated with the byte at position + 2
    uint32_t matchStart;    // source of the best match of the last search

    // The current block's items.
    uint32_t itemCount;
    uint32_t distanceCount;
    uint32_t flagByteCount;
    uint8_t flagByte;       // flags of the items since the last complete flag byte
    uint8_t flagBit;        // the bit of flagByte the next item takes

    // Tree builder.
    TreeEntry literalTree[kHeapSize];
    TreeEntry distanceTree[2 * kDistanceSymbols + 1];
    TreeEntry codeLengthTree[2 * kCodeLengthSymbols + 1];
    uint16_t lengthCounts[kMaxCodeBits + 1];
    int32_t heap[kHeapSize];  // the heap from index 1; removal order from the top down
    int32_t heapLength;
    int32_t heapTop;
    uint8_t depth[kHeapSize];
    uint32_t dynamicCost;     // bits of the block with dynamic codes, header bits excluded
    uint32_t fixedCost;       // bits of the block with the fixed codes, header bits excluded

    // Bit writer: bits not yet written, the oldest in the lowest bit. It
    // holds up to 64 bits and writes four bytes at a time; the byte stream is
    // the same as any LSB-first writer's.
    uint64_t bitBuffer;
    uint32_t bitCount;

    uint8_t flags[kFlagBufferSize];         // item i's flag: bit i % 8 of byte i / 8; 1 = match
    uint8_t literals[kItemBufferSize];      // per item: the literal, or length - 3
    uint16_t distances[kItemBufferSize];    // per match: distance - 1
    // Per hash of three bytes: its latest position (low half; 0 = none) and
    // the number of positions entered with it, modulo 2^16 (high half). One
    // word, so an insertion touches one cache line for both.
    uint32_t hashHeads[kHashSize];
    uint16_t chainLinks[kHalfWindow];       // previous position with the same hash; 0 = none
    // Per position: the previous position with the same four-byte hash
    // (low half; 0 = none), and its number in its three-byte chain (high
    // half: the hash's count when it was entered), so that the difference
    // of two members' numbers is how many links apart they are. One word,
    // since the search reads both of each candidate it visits.
    uint32_t quadSlots[kHalfWindow];
    uint16_t quadHeads[kQuadHashSize];      // as hashHeads' positions, for the four-byte hash
    uint8_t window[kWindowSize + kWindowSpare];
};

// --- Match finder (match_finder.cpp) -----------------------------------------

// Clears the hash chains and reads the first input.
void InitMatcher(DeflateState* state);
// Codes the whole input; stops early, without the final block, when a write
// failed or the run is being stopped.
void CompressGreedy(DeflateState* state);
// Slides the window when it is full and reads more input behind the lookahead.
void RefillWindow(DeflateState* state);

// --- Trees (huffman_trees.cpp) ---------------------------------------------------

// Clears the block's frequencies, costs and item counters.
void StartBlock(DeflateState* state);
// Builds a Huffman tree with lengths limited to info->lengthLimit from the
// frequencies, adds its cost to the block's costs and assigns the codes.
void BuildHuffmanTree(DeflateState* state, HuffmanTreeInfo* info);
void AssignBitLengths(DeflateState* state, HuffmanTreeInfo* info);
void AssignCodes(DeflateState* state, TreeEntry* tree, int largestSymbol);
// Counts the code-length symbols that send lengths 0..largest of tree.
void CountLengthRuns(DeflateState* state, TreeEntry* tree, int largestSymbol);
// Builds the code-length tree for the two trees; returns the index, in
// kDeflateCodeLengthOrder, of the last code-length length to send.
int BuildCodeLengthTree(DeflateState* state, int largestLiteral, int largestDistance);

// --- Block output (block_writer.cpp) -----------------------------------------

// Writes the current block, `length` input bytes (which are at `bytes` when
// still in the window, else bytes is null), and starts the next one. The last
// block is padded to a byte boundary.
void EmitBlock(DeflateState* state, const uint8_t* bytes, uint32_t length, int last);
void EmitLengthRuns(DeflateState* state, const TreeEntry* tree, int largestSymbol);
void EmitTreeHeader(DeflateState* state, int literalCodes, int distanceCodes, int codeLengthCodes);
void EmitItems(DeflateState* state, const TreeEntry* literalTree, const TreeEntry* distanceTree);
void EmitStoredData(DeflateState* state, const uint8_t* bytes, uint32_t length, int withHeader);

// Bit writer. Appends the low `count` bits of value (which has no higher
// bits), count 1..32; whole 32-bit words go to the sink as they fill.
inline void PutBits(DeflateState* state, uint32_t value, uint32_t count) {
    state->bitBuffer |= static_cast<uint64_t>(value) << state->bitCount;
    state->bitCount += count;
    if (state->bitCount >= 32) {
        WriteSinkWord32(state->stream, static_cast<uint32_t>(state->bitBuffer));
        state->bitBuffer >>= 32;
        state->bitCount -= 32;
    }
}

// Sends the pending bits padded with zeros to a byte boundary.
inline void AlignBits(DeflateState* state) {
    while (state->bitCount > 0) {
        WriteSinkByte(state->stream, static_cast<uint8_t>(state->bitBuffer));
        state->bitBuffer >>= 8;
        state->bitCount = state->bitCount > 8 ? state->bitCount - 8 : 0;
    }
    state->bitBuffer = 0;
}

inline void ResetBitWriter(DeflateState* state) {
    state->bitBuffer = 0;
    state->bitCount = 0;
}

// Records a literal (distance 0, value the byte) or a match (distance
// 1..32506, value length - 3); true when the block should end here. Inline:
// the match finder records every item through it.
inline bool RecordItem(DeflateState* s, uint32_t distance, uint32_t value) {
    s->literals[s->itemCount++] = static_cast<uint8_t>(value);
    if (distance == 0) {
        s->literalTree[value].freqOrCode++;
    } else {
        --distance;
        s->literalTree[kLiterals + 1 + kCodeMaps.lengthCode[value]].freqOrCode++;
        s->distanceTree[DistanceCode(distance)].freqOrCode++;
        s->distances[s->distanceCount++] = static_cast<uint16_t>(distance);
        s->flagByte = static_cast<uint8_t>(s->flagByte | s->flagBit);
    }
    s->flagBit = static_cast<uint8_t>(s->flagBit << 1);
    if ((s->itemCount & 7) == 0) {
        s->flags[s->flagByteCount++] = s->flagByte;
        s->flagByte = 0;
        s->flagBit = 1;
    }
    // A block of mostly literals whose items would take less than half its
    // input length (8 bits per item plus the distances' share) is ended
    // early: the data has changed character and fresh trees will serve the
    // rest better.
    if ((s->itemCount & (kBlockCheckInterval - 1)) == 0) {
        uint64_t estimate = static_cast<uint64_t>(s->itemCount) * 8;
        for (int code = 0; code < kDistanceSymbols; ++code)
            estimate += static_cast<uint64_t>(s->distanceTree[code].freqOrCode) *
                        (5u + kDeflateDistanceExtra[code]);
        estimate >>= 3;
        int64_t input = static_cast<int64_t>(s->position) - s->blockStart;
        if (s->distanceCount < s->itemCount / 2 && static_cast<int64_t>(estimate) < input / 2)
            return true;
    }
    return s->itemCount == kMaxBlockItems;
}

}  // namespace arcsalve

#endif  // ARCSALVE_RECOMPRESS_DEFLATE_H
