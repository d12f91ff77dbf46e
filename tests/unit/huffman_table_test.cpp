#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

TEST(HuffmanTable, NoCodesGivesNoTable) {
    std::vector<uint8_t> lengths(19, 0);
    HuffEntry dummy{};
    HuffEntry* table = &dummy;  // must be overwritten
    int l = 7;
    EXPECT_EQ(BuildHuffmanTable(lengths.data(), 19, 19, nullptr, nullptr, 32, &table, &l), kHuffOk);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(l, 0);
    FreeHuffmanTable(nullptr);
}

TEST(HuffmanTable, SingleOneBitCodeCountsAsComplete) {
    std::vector<uint8_t> lengths{0, 0, 1, 0};
    HuffEntry* table = nullptr;
    int l = 7;
    ASSERT_EQ(BuildHuffmanTable(lengths.data(), 4, 4, nullptr, nullptr, 32, &table, &l), kHuffOk);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(table[0].extra, kHuffLiteral);
    EXPECT_EQ(table[0].value, 2);
    EXPECT_EQ(table[0].bits, 1);
    EXPECT_EQ(table[1].extra, kHuffInvalid);
    FreeHuffmanTable(table);
}

TEST(HuffmanTable, ResultsForOversubscribedAndIncompleteCodes) {
    struct Case {
        const char* label;
        std::vector<uint8_t> lengths;
        int result;
    } cases[] = {
        {"{1,1,1}", {1, 1, 1}, kHuffOversubscribed},
        {"{2,2,2,2,1}", {2, 2, 2, 2, 1}, kHuffOversubscribed},
        {"last length over", {1, 2, 3, 3, 3}, kHuffOversubscribed},
        {"{1,2}", {1, 2}, kHuffIncomplete},
        {"one 2-bit code", {0, 2}, kHuffIncomplete},
        {"{1,2,2}", {1, 2, 2}, kHuffOk},
        {"a 16-bit pair", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 16}, kHuffOk},
        {"length above 16", {1, 17}, kHuffOversubscribed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HuffEntry dummy{};
        HuffEntry* sentinel = &dummy;
        HuffEntry* table = sentinel;
        int l = 3;
        int n = static_cast<int>(c.lengths.size());
        int result = BuildHuffmanTable(c.lengths.data(), n, n, nullptr, nullptr, 32, &table, &l);
        EXPECT_EQ(result, c.result);
        if (result >= kHuffOversubscribed) {
            EXPECT_EQ(table, sentinel);
            continue;
        }
        CheckEveryPattern(c.lengths, n, nullptr, nullptr, table, l);
        FreeHuffmanTable(table);
    }
}

TEST(HuffmanTable, PatternElevenOfOneTwoIsInvalid) {
    std::vector<uint8_t> lengths{1, 2};
    HuffEntry* table = nullptr;
    int l = 7;
    ASSERT_EQ(BuildHuffmanTable(lengths.data(), 2, 2, nullptr, nullptr, 32, &table, &l), kHuffIncomplete);
    EXPECT_EQ(l, 2);
    EXPECT_EQ(Walk(table, l, 0b00).value, 0);
    EXPECT_EQ(Walk(table, l, 0b10).value, 0);
    EXPECT_EQ(Walk(table, l, 0b01).value, 1);  // first bit 1, second bit 0
    EXPECT_EQ(Walk(table, l, 0b11).extra, kHuffInvalid);
    FreeHuffmanTable(table);
}

TEST(HuffmanTable, FixedDistanceCodeLeavesTwoInvalidPatterns) {
    Lists lists;
    std::vector<uint8_t> lengths(30, 5);
    HuffEntry* table = nullptr;
    int l = 5;
    ASSERT_EQ(BuildHuffmanTable(lengths.data(), 30, 0, lists.base, lists.extra, 32, &table, &l), kHuffIncomplete);
    EXPECT_EQ(l, 5);
    CheckEveryPattern(lengths, 0, lists.base, lists.extra, table, l);
    // Codes 11110 and 11111 are spare; reversed they index 01111 and 11111.
    EXPECT_EQ(table[0x0F].extra, kHuffInvalid);
    EXPECT_EQ(table[0x1F].extra, kHuffInvalid);
    EXPECT_EQ(table[0x07].value, lists.base[28]);  // 11100
    FreeHuffmanTable(table);
}

TEST(HuffmanTable, LookupBitsAreClampedToTheCodeLengths) {
    struct Case {
        const char* label;
        std::vector<uint8_t> lengths;
        int requested;
        int used;
    } cases[] = {
        {"lowered to the longest", {1, 2, 3, 4, 5, 6, 7, 7}, 9, 7},
        {"raised to the shortest", std::vector<uint8_t>(256, 8), 6, 8},
        {"kept", {1, 2, 3, 4, 5, 6, 7, 7}, 4, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HuffEntry* table = nullptr;
        int l = c.requested;
        uint32_t n = static_cast<uint32_t>(c.lengths.size());
        ASSERT_EQ(BuildHuffmanTable(c.lengths.data(), n, n, nullptr, nullptr, 32, &table, &l), kHuffOk);
        EXPECT_EQ(l, c.used);
        CheckEveryPattern(c.lengths, n, nullptr, nullptr, table, l);
        FreeHuffmanTable(table);
    }
}

TEST(HuffmanTable, SimpleSymbolsAndListedSymbols) {
    Lists lists;
    // Symbols 0, 255, 256 simple; 257 and 258 from the lists.
    std::vector<uint8_t> lengths(259, 0);
    lengths[0] = 2;
    lengths[255] = 2;
    lengths[256] = 2;
    lengths[257] = 3;
    lengths[258] = 3;
    HuffEntry* table = nullptr;
    int l = 9;
    ASSERT_EQ(BuildHuffmanTable(lengths.data(), 259, 257, lists.base, lists.extra, 32, &table, &l), kHuffOk);
    CheckEveryPattern(lengths, 257, lists.base, lists.extra, table, l);
    EXPECT_EQ(Walk(table, l, 0b01).extra, kHuffEndOfBlock);  // symbol 256: code 10, first bit lowest
    FreeHuffmanTable(table);

    // With s = 19 every symbol stands for itself as a literal.
    std::vector<uint8_t> clen{2, 2, 2, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    l = 7;
    ASSERT_EQ(BuildHuffmanTable(clen.data(), 19, 19, nullptr, nullptr, 32, &table, &l), kHuffOk);
    CheckEveryPattern(clen, 19, nullptr, nullptr, table, l);
    FreeHuffmanTable(table);
}

TEST(HuffmanTable, SymbolBeyondTheListsIsRefused) {
    Lists lists;
    std::vector<uint8_t> lengths(40, 0);
    lengths[0] = 1;
    lengths[35] = 1;  // list index 35 with list length 32
    HuffEntry* table = nullptr;
    int l = 6;
    EXPECT_EQ(BuildHuffmanTable(lengths.data(), 40, 0, lists.base, lists.extra, 32, &table, &l),
              kHuffOversubscribed);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(BuildHuffmanTable(lengths.data(), 40, 0, nullptr, nullptr, 32, &table, &l), kHuffOversubscribed);
    EXPECT_EQ(table, nullptr);
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

// A single 15-bit code: 32767 spare codes, the first level raised to 15 bits.
TEST(HuffmanTable, SingleLongCodeLeavesEveryOtherPatternInvalid) {
    Lists lists;
    std::vector<uint8_t> lengths(32, 0);
    lengths[7] = 15;
    HuffEntry* table = nullptr;
    int l = 6;
    ASSERT_EQ(BuildHuffmanTable(lengths.data(), 32, 0, lists.base, lists.extra, 32, &table, &l), kHuffIncomplete);
    EXPECT_EQ(l, 15);
    CheckEveryPattern(lengths, 0, lists.base, lists.extra, table, l);
    FreeHuffmanTable(table);
}

}  // namespace
}  // namespace arcsalve
