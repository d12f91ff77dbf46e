#include "support/deflate_trace.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <utility>

namespace arcsalve {
namespace testing_support {
namespace {

struct BitInput {
    const uint8_t* data;
    size_t size;
    size_t bytePos = 0;
    int bitPos = 0;
    bool overrun = false;

    uint32_t Bit() {
        if (bytePos >= size) {
            overrun = true;
            return 0;
        }
        uint32_t b = (data[bytePos] >> bitPos) & 1;
        if (++bitPos == 8) {
            bitPos = 0;
            ++bytePos;
        }
        return b;
    }
    // n bits, least significant first (header fields and extra bits).
    uint32_t Bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= Bit() << i;
        return v;
    }
    void Align() {
        if (bitPos != 0) {
            bitPos = 0;
            ++bytePos;
        }
    }
};

// Canonical code from lengths: symbols sorted by (length, symbol); decoding
// walks the lengths, keeping the first code of each.
struct Code {
    int count[16] = {};
    std::vector<int> symbols;
};

// 0 ok, else a reason.
const char* BuildCode(const std::vector<int>& lengths, Code* code) {
    *code = Code();
    for (int len : lengths) {
        if (len < 0 || len > 15) return "length out of range";
        code->count[len]++;
    }
    code->count[0] = 0;
    int left = 1;
    for (int len = 1; len <= 15; ++len) {
        left = left * 2 - code->count[len];
        if (left < 0) return "over-subscribed code";
    }
    for (int len = 1; len <= 15; ++len)
        for (size_t s = 0; s < lengths.size(); ++s)
            if (lengths[s] == len) code->symbols.push_back(static_cast<int>(s));
    // Incomplete codes are allowed only for a single code of length 1.
    if (left > 0 && !(code->symbols.size() == 1 && code->count[1] == 1)) return "incomplete code";
    return nullptr;
}

int Decode(BitInput* in, const Code& code) {
    int first = 0;  // first code of the current length
    int index = 0;  // index of that code's symbol
    int value = 0;
    for (int len = 1; len <= 15; ++len) {
        value |= static_cast<int>(in->Bit());
        int count = code.count[len];
        if (value - first < count) return code.symbols[static_cast<size_t>(index + value - first)];
        index += count;
        first = (first + count) << 1;
        value <<= 1;
        if (in->overrun) return -1;
    }
    return -1;
}

constexpr int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                               33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

bool DecodeItems(BitInput* in, const Code& lit, const Code& dist, DeflateBlock* block,
                 std::vector<uint8_t>* out, std::string* error) {
    for (;;) {
        int sym = Decode(in, lit);
        if (sym < 0) return Fail(error, "bad literal/length code");
        if (sym < 256) {
            out->push_back(static_cast<uint8_t>(sym));
            block->items.push_back(Literal(static_cast<uint8_t>(sym)));
            continue;
        }
        if (sym == 256) return true;
        sym -= 257;
        if (sym >= 29) return Fail(error, "bad length symbol");
        uint32_t length = static_cast<uint32_t>(kLengthBase[sym]) + in->Bits(kLengthExtra[sym]);
        int dsym = Decode(in, dist);
        if (dsym < 0 || dsym >= 30) return Fail(error, "bad distance code");
        uint32_t distance = static_cast<uint32_t>(kDistBase[dsym]) + in->Bits(kDistExtra[dsym]);
        if (in->overrun) return Fail(error, "data ends inside a block");
        if (distance > out->size()) return Fail(error, "distance too far back");
        for (uint32_t i = 0; i < length; ++i) out->push_back((*out)[out->size() - distance]);
        block->items.push_back(Match(length, distance));
    }
}

}  // namespace

bool TraceDeflate(const uint8_t* data, size_t size, DeflateTrace* result, std::string* error) {
    *result = DeflateTrace();
    BitInput in{data, size};
    std::vector<uint8_t>& out = result->output;
    for (;;) {
        DeflateBlock block;
        size_t startSize = out.size();
        block.final = in.Bit() != 0;
        block.type = static_cast<int>(in.Bits(2));
        if (in.overrun) return Fail(error, "data ends before a block header");
        if (block.type == 0) {
            in.Align();
            if (in.bytePos + 4 > size) return Fail(error, "data ends inside LEN/NLEN");
            uint32_t len = data[in.bytePos] | (data[in.bytePos + 1] << 8);
            uint32_t nlen = data[in.bytePos + 2] | (data[in.bytePos + 3] << 8);
            if ((len ^ 0xFFFF) != nlen) return Fail(error, "NLEN is not the complement of LEN");
            in.bytePos += 4;
            if (in.bytePos + len > size) return Fail(error, "data ends inside a stored block");
            out.insert(out.end(), data + in.bytePos, data + in.bytePos + len);
            in.bytePos += len;
            block.storedLength = len;
        } else if (block.type == 1) {
            std::vector<int> litLengths(288);
            for (int s = 0; s < 288; ++s) litLengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
            Code lit, dist;
            BuildCode(litLengths, &lit);
            BuildCode(std::vector<int>(30, 5), &dist);
            if (!DecodeItems(&in, lit, dist, &block, &out, error)) return false;
        } else if (block.type == 2) {
            block.literalCodes = static_cast<int>(in.Bits(5)) + 257;
            block.distanceCodes = static_cast<int>(in.Bits(5)) + 1;
            block.codeLengthCodes = static_cast<int>(in.Bits(4)) + 4;
            if (block.literalCodes > 286 || block.distanceCodes > 30)
                return Fail(error, "too many length or distance codes");
            block.codeLengthLengths.assign(19, 0);
            for (int i = 0; i < block.codeLengthCodes; ++i)
                block.codeLengthLengths[kOrder[i]] = static_cast<int>(in.Bits(3));
            Code lengthCode;
            if (const char* why = BuildCode(block.codeLengthLengths, &lengthCode))
                return Fail(error, std::string("code-length code: ") + why);
            std::vector<int> lengths;
            block.codeLengthUses.assign(19, 0);
            int total = block.literalCodes + block.distanceCodes;
            while (static_cast<int>(lengths.size()) < total) {
                int sym = Decode(&in, lengthCode);
                if (sym < 0) return Fail(error, "bad code-length code");
                block.codeLengthUses[static_cast<size_t>(sym)]++;
                if (sym < 16) {
                    lengths.push_back(sym);
                    continue;
                }
                int repeat, value = 0;
                if (sym == 16) {
                    if (lengths.empty()) return Fail(error, "repeat without a previous length");
                    value = lengths.back();
                    repeat = 3 + static_cast<int>(in.Bits(2));
                } else if (sym == 17) {
                    repeat = 3 + static_cast<int>(in.Bits(3));
                } else {
                    repeat = 11 + static_cast<int>(in.Bits(7));
                }
                if (static_cast<int>(lengths.size()) + repeat > total) return Fail(error, "too many lengths");
                lengths.insert(lengths.end(), static_cast<size_t>(repeat), value);
            }
            block.literalLengths.assign(lengths.begin(), lengths.begin() + block.literalCodes);
            block.distanceLengths.assign(lengths.begin() + block.literalCodes, lengths.end());
            if (block.literalLengths[256] == 0) return Fail(error, "no end-of-block code");
            Code lit, dist;
            if (const char* why = BuildCode(block.literalLengths, &lit))
                return Fail(error, std::string("literal/length code: ") + why);
            if (const char* why = BuildCode(block.distanceLengths, &dist))
                return Fail(error, std::string("distance code: ") + why);
            if (!DecodeItems(&in, lit, dist, &block, &out, error)) return false;
        } else {
            return Fail(error, "block type 3");
        }
        if (in.overrun) return Fail(error, "data ends inside a block");
        block.inputLength = static_cast<uint32_t>(out.size() - startSize);
        bool final = block.final;
        result->blocks.push_back(std::move(block));
        if (final) break;
    }
    in.Align();
    result->bytesUsed = in.bytePos;
    return true;
}

int UnlimitedHuffmanDepth(const std::vector<uint32_t>& frequencies) {
    // Nodes carry (weight, depth of their deepest leaf).
    using Node = std::pair<uint64_t, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> heap;
    for (uint32_t f : frequencies)
        if (f != 0) heap.push({f, 0});
    if (heap.size() < 2) return 0;
    while (heap.size() > 1) {
        Node a = heap.top();
        heap.pop();
        Node b = heap.top();
        heap.pop();
        heap.push({a.first + b.first, std::max(a.second, b.second) + 1});
    }
    return heap.top().second;
}

}  // namespace testing_support
}  // namespace arcsalve
