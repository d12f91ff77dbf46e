#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "decode/huffman_table.h"

namespace arcsalve {
namespace {

struct Decoded {
    int extra;
    int value;
    int bits;  // code bits used (for an invalid pattern: up to its spare code's end)
};

// Walks a table the way the decoders do, for a bit pattern whose first bit is
// the lowest. Checks on the way that no subtable is wider than l bits.
Decoded Walk(const HuffEntry* table, int l, uint32_t pattern) {
    const HuffEntry* e = &table[pattern & ((1u << l) - 1)];
    int used = 0;
    while (e->extra > 16 && e->extra != kHuffInvalid) {
        EXPECT_LE(e->extra - 16, l);
        EXPECT_EQ(e->bits, l);
        used += e->bits;
        pattern >>= e->bits;
        e = &e->next[pattern & ((1u << (e->extra - 16)) - 1)];
    }
    return {e->extra, e->extra == kHuffInvalid ? -1 : e->value, used + e->bits};
}

// Canonical codes (RFC 1951 3.2.2), first bit in bit 0, computed apart from
// the builder.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    for (int k = 1; k <= 16; ++k) {
        for (size_t i = 0; i < lengths.size(); ++i) {
            if (lengths[i] != k) continue;
            uint32_t reversed = 0;
            for (int b = 0; b < k; ++b) reversed |= ((code >> b) & 1u) << (k - 1 - b);
            codes[i] = reversed;
            ++code;
        }
        code <<= 1;
    }
    return codes;
}

// Every pattern of kmax bits must decode to the symbol whose code is its
// prefix, using exactly that code's bits, or be invalid when no code is.
void CheckEveryPattern(const std::vector<uint8_t>& lengths, uint32_t s, const uint16_t* base,
                       const uint16_t* extra, const HuffEntry* table, int l) {
    int kmax = *std::max_element(lengths.begin(), lengths.end());
    std::vector<uint32_t> codes = CanonicalCodes(lengths);
    for (uint32_t pattern = 0; pattern < (1u << kmax); ++pattern) {
        int symbol = -1;
        for (size_t i = 0; i < lengths.size() && symbol < 0; ++i) {
            if (lengths[i] != 0 && (pattern & ((1u << lengths[i]) - 1)) == codes[i]) symbol = static_cast<int>(i);
        }
        Decoded d = Walk(table, l, pattern);
        if (symbol < 0) {
            ASSERT_EQ(d.extra, kHuffInvalid) << "pattern " << pattern;
            continue;
        }
        ASSERT_EQ(d.bits, lengths[symbol]) << "pattern " << pattern;
        if (static_cast<uint32_t>(symbol) < s) {
            ASSERT_EQ(d.value, symbol);
            ASSERT_EQ(d.extra, symbol < 256 ? kHuffLiteral : kHuffEndOfBlock);
        } else {
            ASSERT_EQ(d.value, base[symbol - s]);
            ASSERT_EQ(d.extra, extra[symbol - s]);
        }
    }
}

// A complete random code over n symbols with lengths up to maxLength: split
// random leaves of a code tree until there are n of them.
std::vector<uint8_t> RandomCompleteLengths(std::mt19937* rng, size_t n, int maxLength) {
    std::vector<uint8_t> leaves{0};
    while (leaves.size() < n) {
        size_t pick = (*rng)() % leaves.size();
        if (leaves[pick] >= maxLength) continue;
        ++leaves[pick];
        leaves.push_back(leaves[pick]);
    }
    std::shuffle(leaves.begin(), leaves.end(), *rng);
    return leaves;
}

struct Lists {
    uint16_t base[64];
    uint16_t extra[64];
    Lists() {
        for (int i = 0; i < 64; ++i) {
            base[i] = static_cast<uint16_t>(1000 + 7 * i);
            extra[i] = static_cast<uint16_t>(i % 14);
        }
    }
};

std::vector<uint8_t> With(size_t n, std::vector<std::pair<size_t, uint8_t>> set) {
    std::vector<uint8_t> lengths(n, 0);
    for (const auto& p : set) lengths[p.first] = p.second;
    return lengths;
}

// Hand-picked codes: the result, the lookup width actually used (-1: not
// checked), and every bit pattern decoded. A refused code leaves the caller's
// table pointer alone; no codes at all gives no table.
TEST(HuffmanTable, HandPickedCodes) {
    const Lists lists;
    struct Case {
        const char* label;
        std::vector<uint8_t> lengths;
        uint32_t s;          // symbols below s stand for themselves
        bool withLists;      // the others take base and extra from the lists (32 long)
        int requested, result, used;
    } cases[] = {
        {"no codes", std::vector<uint8_t>(19, 0), 19, false, 7, kHuffOk, 0},
        {"a single 1-bit code counts as complete", {0, 0, 1, 0}, 4, false, 7, kHuffOk, 1},
        {"{1,1,1}", {1, 1, 1}, 3, false, 3, kHuffOversubscribed, -1},
        {"{2,2,2,2,1}", {2, 2, 2, 2, 1}, 5, false, 3, kHuffOversubscribed, -1},
        {"last length over", {1, 2, 3, 3, 3}, 5, false, 3, kHuffOversubscribed, -1},
        {"length above 16", {1, 17}, 2, false, 3, kHuffOversubscribed, -1},
        {"{1,2}: pattern 11 is spare", {1, 2}, 2, false, 7, kHuffIncomplete, 2},
        {"one 2-bit code", {0, 2}, 2, false, 3, kHuffIncomplete, -1},
        {"{1,2,2}", {1, 2, 2}, 3, false, 3, kHuffOk, -1},
        {"a 16-bit pair", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 16}, 17, false, 3, kHuffOk, -1},
        {"lookup lowered to the longest code", {1, 2, 3, 4, 5, 6, 7, 7}, 8, false, 9, kHuffOk, 7},
        {"lookup raised to the shortest code", std::vector<uint8_t>(256, 8), 256, false, 6, kHuffOk, 8},
        {"lookup kept", {1, 2, 3, 4, 5, 6, 7, 7}, 8, false, 4, kHuffOk, 4},
        {"fixed distance code: two spare patterns", std::vector<uint8_t>(30, 5), 0, true, 5, kHuffIncomplete, 5},
        {"literals, end of block and listed symbols", With(259, {{0, 2}, {255, 2}, {256, 2}, {257, 3}, {258, 3}}),
         257, true, 9, kHuffOk, -1},
        {"code-length code", {2, 2, 2, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 19, false, 7, kHuffOk, -1},
        {"single 15-bit code: first level raised to 15", With(32, {{7, 15}}), 0, true, 6, kHuffIncomplete, 15},
        {"symbol beyond the lists", With(40, {{0, 1}, {35, 1}}), 0, true, 6, kHuffOversubscribed, -1},
        {"listed symbol without lists", With(40, {{0, 1}, {35, 1}}), 0, false, 6, kHuffOversubscribed, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HuffEntry sentinel{};
        HuffEntry* table = &sentinel;
        int l = c.requested;
        uint32_t n = static_cast<uint32_t>(c.lengths.size());
        const uint16_t* base = c.withLists ? lists.base : nullptr;
        const uint16_t* extra = c.withLists ? lists.extra : nullptr;
        ASSERT_EQ(BuildHuffmanTable(c.lengths.data(), n, c.s, base, extra, 32, &table, &l), c.result);
        if (c.result >= kHuffOversubscribed) {
            EXPECT_EQ(table, &sentinel);
            continue;
        }
        if (c.used >= 0) {
            EXPECT_EQ(l, c.used);
        }
        if (c.used == 0) {
            EXPECT_EQ(table, nullptr);
            continue;
        }
        CheckEveryPattern(c.lengths, c.s, base, extra, table, l);
        FreeHuffmanTable(table);
    }
    FreeHuffmanTable(nullptr);
}

// Long codes through one or several subtable levels: complete random codes,
// and incomplete ones with one or many spare codes, decoded for every bit
// pattern.
TEST(HuffmanTable, RandomCodesDecodeThroughSubtables) {
    Lists lists;
    std::mt19937 rng(1951);
    struct Shape {
        uint32_t n, s;
        int maxLength, lookup;
    } shapes[] = {
        {288, 257, 15, 9},  // dynamic literal/length: two levels
        {30, 0, 15, 6},     // dynamic distance: three levels
        {19, 19, 7, 7},     // code-length code
        {64, 0, 16, 1},     // one bit per level
        {256, 256, 13, 4},  // explode-like literal code
        {40, 8, 12, 5},
    };
    for (const Shape& shape : shapes) {
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(testing::Message() << "n " << shape.n << " lookup " << shape.lookup << " round " << round);
            std::vector<uint8_t> lengths = RandomCompleteLengths(&rng, shape.n, shape.maxLength);
            if (round % 3 == 1) {
                *std::max_element(lengths.begin(), lengths.end()) = 0;
            } else if (round % 3 == 2) {
                for (auto& len : lengths) {
                    if (rng() % 10 < 6) len = 0;
                }
                lengths[rng() % lengths.size()] = static_cast<uint8_t>(1 + rng() % shape.maxLength);
            }
            // Kraft sum in units of 2^-16: the code is complete at 2^16.
            uint32_t kraft = 0;
            int used = 0, kmax = 0;
            for (uint8_t len : lengths) {
                if (len == 0) continue;
                kraft += 1u << (16 - len);
                ++used;
                kmax = std::max(kmax, static_cast<int>(len));
            }
            if (kraft > (1u << 16)) continue;  // the random thinning can over-fill
            int expected = kraft == (1u << 16) || (used == 1 && kmax == 1) ? kHuffOk : kHuffIncomplete;
            HuffEntry* table = nullptr;
            int l = shape.lookup;
            int result = BuildHuffmanTable(lengths.data(), shape.n, shape.s, lists.base, lists.extra, 64, &table, &l);
            ASSERT_EQ(result, expected);
            CheckEveryPattern(lengths, shape.s, lists.base, lists.extra, table, l);
            FreeHuffmanTable(table);
        }
    }
}

}  // namespace
}  // namespace arcsalve
