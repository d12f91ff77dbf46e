// The back half of the deflate compressor: each finished block is written in
// the cheapest of the three block forms of RFC 1951 (3.2.3 to 3.2.7).
#include "recompress/deflate.h"

namespace arcsalve {
namespace {

// BTYPE values, sent after the BFINAL bit.
constexpr uint32_t kStoredBlock = 0;
constexpr uint32_t kFixedBlock = 1;
constexpr uint32_t kDynamicBlock = 2;
// A stored block's LEN is 16 bits.
constexpr uint32_t kMaxStoredLength = 0xFFFF;

inline void PutCode(DeflateState* s, const TreeEntry* tree, int symbol) {
    PutBits(s, tree[symbol].freqOrCode, tree[symbol].parentOrLength);
}

}  // namespace

void EmitBlock(DeflateState* s, const uint8_t* bytes, uint32_t length, int last) {
    // The flags of the items after the last complete group of eight.
    s->flags[s->flagByteCount] = s->flagByte;

    HuffmanTreeInfo literalInfo = {s->literalTree, kCodeMaps.fixedLiteralTree, kDeflateLengthExtra,
                                   kLiterals + 1, kLiteralLengthSymbols, kMaxCodeBits, 0};
    HuffmanTreeInfo distanceInfo = {s->distanceTree, kCodeMaps.fixedDistanceTree, kDeflateDistanceExtra,
                                    0, kDistanceSymbols, kMaxCodeBits, 0};
    BuildHuffmanTree(s, &literalInfo);
    BuildHuffmanTree(s, &distanceInfo);
    int lastLengthIndex = BuildCodeLengthTree(s, literalInfo.largestSymbol, distanceInfo.largestSymbol);

    // Sizes in whole bytes, with the 3 header bits. A stored block costs its
    // bytes plus LEN and NLEN (its padding is not counted); it is chosen only
    // when it is no larger than the cheaper coded form, which needs the
    // block's bytes still in the window. Ties between the coded forms go to
    // the fixed codes.
    uint32_t dynamicBytes = (s->dynamicCost + 3 + 7) >> 3;
    uint32_t fixedBytes = (s->fixedCost + 3 + 7) >> 3;
    uint32_t best = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;
    uint32_t final = last ? 1 : 0;

    if (bytes != nullptr && length <= kMaxStoredLength && length + 4 <= best) {
        PutBits(s, (kStoredBlock << 1) | final, 3);
        EmitStoredData(s, bytes, length, 1);
    } else if (fixedBytes == best) {
        PutBits(s, (kFixedBlock << 1) | final, 3);
        EmitItems(s, kCodeMaps.fixedLiteralTree, kCodeMaps.fixedDistanceTree);
    } else {
        PutBits(s, (kDynamicBlock << 1) | final, 3);
        EmitTreeHeader(s, literalInfo.largestSymbol + 1, distanceInfo.largestSymbol + 1,
                       lastLengthIndex + 1);
        EmitItems(s, s->literalTree, s->distanceTree);
    }
    StartBlock(s);
    if (last) AlignBits(s);
}

// Sends the lengths of symbols 0..largest of tree in the runs that
// CountLengthRuns counted (it also wrote the guard after the last length).
void EmitLengthRuns(DeflateState* s, const TreeEntry* tree, int largestSymbol) {
    const TreeEntry* lengthTree = s->codeLengthTree;
    int previous = -1;
    int next = tree[0].parentOrLength;
    int count = 0;
    int maxCount = 7;
    int minCount = 4;
    if (next == 0) {
        maxCount = 138;
        minCount = 3;
    }
    for (int n = 0; n <= largestSymbol; ++n) {
        int current = next;
        next = tree[n + 1].parentOrLength;
        if (++count < maxCount && current == next) continue;
        if (count < minCount) {
            do PutCode(s, lengthTree, current);
            while (--count != 0);
        } else if (current != 0) {
            if (current != previous) {
                PutCode(s, lengthTree, current);
                --count;
            }
            PutCode(s, lengthTree, kRepeatPrevious);
            PutBits(s, static_cast<uint32_t>(count - 3), 2);
        } else if (count <= 10) {
            PutCode(s, lengthTree, kRepeatZero3);
            PutBits(s, static_cast<uint32_t>(count - 3), 3);
        } else {
            PutCode(s, lengthTree, kRepeatZero11);
            PutBits(s, static_cast<uint32_t>(count - 11), 7);
        }
        count = 0;
        previous = current;
        if (next == 0) {
            maxCount = 138;
            minCount = 3;
        } else if (current == next) {
            maxCount = 6;
            minCount = 3;
        } else {
            maxCount = 7;
            minCount = 4;
        }
    }
}

// A dynamic block's header: HLIT, HDIST, HCLEN, the code-length code's
// lengths in their fixed order, then the two trees' lengths run-length coded.
void EmitTreeHeader(DeflateState* s, int literalCodes, int distanceCodes, int codeLengthCodes) {
    PutBits(s, static_cast<uint32_t>(literalCodes - 257), 5);
    PutBits(s, static_cast<uint32_t>(distanceCodes - 1), 5);
    PutBits(s, static_cast<uint32_t>(codeLengthCodes - 4), 4);
    for (int i = 0; i < codeLengthCodes; ++i)
        PutBits(s, s->codeLengthTree[kDeflateCodeLengthOrder[i]].parentOrLength, 3);
    EmitLengthRuns(s, s->literalTree, literalCodes - 1);
    EmitLengthRuns(s, s->distanceTree, distanceCodes - 1);
}

// The block's items: a literal is its code; a match is its length code and
// extra bits, then its distance code and extra bits. The end-of-block code
// closes the block. A code and its extra bits go out as one put (at most
// 15 + 13 bits).
void EmitItems(DeflateState* s, const TreeEntry* literalTree, const TreeEntry* distanceTree) {
    uint32_t flag = 0;
    uint32_t distanceIndex = 0;
    uint32_t flagIndex = 0;
    for (uint32_t i = 0; i < s->itemCount; ++i) {
        if ((i & 7) == 0) flag = s->flags[flagIndex++];
        uint32_t value = s->literals[i];
        if ((flag & 1) == 0) {
            PutCode(s, literalTree, static_cast<int>(value));
        } else {
            uint32_t code = kCodeMaps.lengthCode[value];
            const TreeEntry& lengthEntry = literalTree[kLiterals + 1 + code];
            uint32_t extraBits = kDeflateLengthExtra[code];
            uint32_t extra = value - static_cast<uint32_t>(kCodeMaps.baseLength[code]);
            PutBits(s, lengthEntry.freqOrCode | (extra << lengthEntry.parentOrLength),
                    lengthEntry.parentOrLength + extraBits);
            uint32_t distance = s->distances[distanceIndex++];
            code = DistanceCode(distance);
            const TreeEntry& distanceEntry = distanceTree[code];
            extraBits = kDeflateDistanceExtra[code];
            extra = distance - static_cast<uint32_t>(kCodeMaps.baseDistance[code]);
            PutBits(s, distanceEntry.freqOrCode | (extra << distanceEntry.parentOrLength),
                    distanceEntry.parentOrLength + extraBits);
        }
        flag >>= 1;
    }
    PutCode(s, literalTree, kEndOfBlock);
}

// A stored block: pad to a byte, LEN and its complement NLEN (16 bits each,
// low byte first), then the bytes as they are.
void EmitStoredData(DeflateState* s, const uint8_t* bytes, uint32_t length, int withHeader) {
    AlignBits(s);
    if (withHeader) {
        WriteSinkByte(s->stream, static_cast<uint8_t>(length));
        WriteSinkByte(s->stream, static_cast<uint8_t>(length >> 8));
        WriteSinkByte(s->stream, static_cast<uint8_t>(~length));
        WriteSinkByte(s->stream, static_cast<uint8_t>(~length >> 8));
    }
    WriteSinkBytes(s->stream, bytes, length);
}

}  // namespace arcsalve
