// The tree builder and the block writer, driven directly with blocks of
// literals. zlib's Huffman-only mode codes such blocks with the classic tree
// construction (same tie order, same length limiting, same run coding of the
// lengths, same choice of block form), so for literal-only blocks the two
// outputs must agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/deflate_trace.h"
#include "unit/deflate_test_util.h"

namespace arcsalve {
namespace {

using namespace testing_support;

Bytes OurLiteralBlock(const Bytes& literals) {
    BlockRig rig;
    for (uint8_t b : literals) RecordItem(rig.state, 0, b);
    EmitBlock(rig.state, literals.data(), static_cast<uint32_t>(literals.size()), 1);
    FinishSink(&rig.stream);
    return rig.sink.bytes;
}

DeflateBlock TraceSingleBlock(const Bytes& compressed, const Bytes& literals) {
    DeflateTrace in;
    std::string error;
    EXPECT_TRUE(TraceDeflate(compressed.data(), compressed.size(), &in, &error)) << error;
    EXPECT_TRUE(in.output == literals);
    EXPECT_EQ(in.blocks.size(), 1u);
    Bytes inflated;
    EXPECT_TRUE(test::ZlibRawInflate(compressed, &inflated));
    EXPECT_TRUE(inflated == literals);
    return in.blocks.empty() ? DeflateBlock() : in.blocks[0];
}

// Bytes with the given count of each value, in a shuffled order.
Bytes FromCounts(const std::vector<uint32_t>& counts, uint64_t seed) {
    Bytes b;
    for (size_t v = 0; v < counts.size(); ++v) b.insert(b.end(), counts[v], static_cast<uint8_t>(v));
    TestRandom r(seed);
    for (size_t i = b.size(); i > 1; --i) std::swap(b[i - 1], b[r.Below(static_cast<uint32_t>(i))]);
    return b;
}

int MaxOf(const std::vector<int>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// Many random frequency sets, full of ties: small alphabets, flat and
// skewed weights, blocks from one byte to 30000. First the degenerate trees:
// one literal value beside end-of-block, whose dynamic block still sends a
// distance code (symbols 0 and 1 made up, one bit each).
TEST(DeflateTrees, LiteralBlocksMatchZlibHuffmanOnly) {
    {
        SCOPED_TRACE("one literal value");
        Bytes literals(3000, 'x');
        Bytes ours = OurLiteralBlock(literals);
        EXPECT_EQ(ours, ZlibDeflate(literals, 6, Z_HUFFMAN_ONLY));
        DeflateBlock block = TraceSingleBlock(ours, literals);
        ASSERT_EQ(block.type, 2);
        EXPECT_EQ(block.distanceLengths, (std::vector<int>{1, 1}));
        EXPECT_EQ(block.literalLengths['x'], 1);
    }
    TestRandom r(1);
    for (int round = 0; round < 200; ++round) {
        uint32_t alphabet = 1 + r.Below(round % 3 == 0 ? 256 : 40);
        uint32_t length = 1 + r.Below(round % 5 == 0 ? 30000 : 3000);
        std::vector<uint32_t> weights(alphabet);
        for (auto& w : weights) w = round % 2 ? 1 + r.Below(8) : 1u << r.Below(12);
        uint32_t total = 0;
        for (uint32_t w : weights) total += w;
        Bytes literals(length);
        for (auto& b : literals) {
            uint32_t pick = r.Below(total);
            uint32_t v = 0;
            while (pick >= weights[v]) pick -= weights[v++];
            b = static_cast<uint8_t>(v * 255 / (alphabet > 1 ? alphabet - 1 : 1));
        }
        SCOPED_TRACE(testing::Message() << "round " << round << ", " << alphabet << " symbols, "
                                        << length << " bytes");
        Bytes ours = OurLiteralBlock(literals);
        ASSERT_EQ(ours, ZlibDeflate(literals, 6, Z_HUFFMAN_ONLY));
        TraceSingleBlock(ours, literals);
    }
}

// Fibonacci frequencies make the deepest possible tree: with end-of-block
// (frequency 1) in front of 1, 2, 3, 5 ... 10946, every join takes the tree
// so far and the next symbol, so 21 symbols need codes of up to 20 bits,
// which are cut to 15.
TEST(DeflateTrees, LiteralCodesAreLimitedTo15Bits) {
    std::vector<uint32_t> counts(256, 0);
    uint32_t a = 1, b = 2;
    for (int i = 0; i < 20; ++i) {
        counts[static_cast<size_t>(i * 12)] = a;
        uint32_t next = a + b;
        a = b;
        b = next;
    }
    Bytes literals = FromCounts(counts, 2);
    ASSERT_LT(literals.size(), kMaxBlockItems);
    std::vector<uint32_t> frequencies = counts;
    frequencies.push_back(1);  // end of block
    EXPECT_EQ(UnlimitedHuffmanDepth(frequencies), 20);

    Bytes ours = OurLiteralBlock(literals);
    DeflateBlock block = TraceSingleBlock(ours, literals);
    ASSERT_EQ(block.type, 2);
    EXPECT_EQ(MaxOf(block.literalLengths), 15);
    EXPECT_EQ(ours, ZlibDeflate(literals, 6, Z_HUFFMAN_ONLY));
}

// Literal frequencies of 2^(14 - L) give exactly the lengths L; choosing
// how many symbols get each length, and never three equal lengths in a row,
// makes the code-length code's frequencies Fibonacci-like, so its lengths
// (at most 7) need cutting too.
TEST(DeflateTrees, CodeLengthCodesAreLimitedTo7Bits) {
    // How many symbols get each length 1..14; the code is complete:
    // the sum of count * 2^(14 - L) is 2^14. One length-14 symbol is
    // end-of-block.
    const int perLength[15] = {0, 1, 1, 0, 1, 1, 3, 3, 6, 9, 14, 22, 34, 55, 90};
    std::vector<int> pool;
    for (int len = 14; len >= 1; --len)
        for (int i = 0; i < perLength[len] - (len == 14 ? 1 : 0); ++i) pool.push_back(len);
    while (pool.size() < 256) pool.push_back(0);
    // Deal the lengths out round-robin from the most common down, so equal
    // lengths never stand next to each other.
    std::vector<std::vector<int>> groups;
    for (int len : pool) {
        auto it = std::find_if(groups.begin(), groups.end(), [&](const std::vector<int>& g) { return g[0] == len; });
        if (it == groups.end()) groups.push_back({len});
        else it->push_back(len);
    }
    std::sort(groups.begin(), groups.end(), [](const auto& x, const auto& y) { return x.size() > y.size(); });
    std::vector<int> lengths;
    for (size_t round = 0; lengths.size() < 256; ++round)
        for (const auto& g : groups)
            if (round < g.size()) lengths.push_back(g[round]);
    std::vector<uint32_t> counts(256);
    for (size_t s = 0; s < 256; ++s) counts[s] = lengths[s] ? 1u << (14 - lengths[s]) : 0;
    Bytes literals = FromCounts(counts, 3);

    Bytes ours = OurLiteralBlock(literals);
    DeflateBlock block = TraceSingleBlock(ours, literals);
    ASSERT_EQ(block.type, 2);
    for (size_t s = 0; s < 256; ++s) ASSERT_EQ(block.literalLengths[s], lengths[s]) << s;
    EXPECT_GT(UnlimitedHuffmanDepth(block.codeLengthUses), 7);
    EXPECT_EQ(MaxOf(block.codeLengthLengths), 7);
    EXPECT_EQ(ours, ZlibDeflate(literals, 6, Z_HUFFMAN_ONLY));
}

// The made-up symbols are paid for in advance: they leave both costs as
// they were.
TEST(DeflateTrees, MadeUpSymbolsCostNothing) {
    BlockRig rig;
    HuffmanTreeInfo info = {rig.state->distanceTree, kCodeMaps.fixedDistanceTree,
                            kDistanceExtraBits, 0, kDistanceSymbols, kMaxCodeBits, 0};
    BuildHuffmanTree(rig.state, &info);
    EXPECT_EQ(info.largestSymbol, 1);
    EXPECT_EQ(rig.state->dynamicCost, 0u);
    EXPECT_EQ(rig.state->fixedCost, 0u);
}

}  // namespace
}  // namespace arcsalve
