// The deflate compressor: exact bytes for known inputs; round trips through
// zlib's inflate for every size class and kind of data; and, for blocks of
// literals only, output identical to zlib's Huffman-only mode bit for bit
// (the same tree construction, tie order, length limiting, run coding of the
// code lengths and choice of block form), including trees that need their
// lengths cut to 15 and 7 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "recompress/deflate.h"
#include "recompress/recompress_stream.h"
#include "support/zlib_oracle.h"

namespace arcsalve {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Deflate(const Bytes& input, uint32_t* crc = nullptr) {
    RecompressStream stream;
    MemorySink sink;
    InitMemoryStream(&stream, input.data(), input.size(), &sink);
    EXPECT_EQ(DeflateEntry(&stream), 1);
    FinishSink(&stream);
    if (crc != nullptr) *crc = StreamCrc(&stream);
    return sink.bytes;
}

// One last block of the given literals, written by the block writer alone.
Bytes LiteralBlock(const Bytes& literals) {
    RecompressStream stream;
    MemorySink sink;
    InitMemoryStream(&stream, nullptr, 0, &sink);
    auto* state = static_cast<DeflateState*>(std::calloc(1, sizeof(DeflateState)));
    state->stream = &stream;
    ResetBitWriter(state);
    StartBlock(state);
    for (uint8_t b : literals) RecordItem(state, 0, b);
    EmitBlock(state, literals.data(), static_cast<uint32_t>(literals.size()), 1);
    FinishSink(&stream);
    std::free(state);
    return sink.bytes;
}

Bytes ZlibHuffmanOnly(const Bytes& literals) { return test::ZlibRawDeflate(literals, 6, 9, Z_HUFFMAN_ONLY); }

uint32_t g_seed = 1;
uint32_t Next() {
    g_seed = g_seed * 1103515245u + 12345u;
    return g_seed >> 8;
}

TEST(Deflate, KnownVectorsByteForByte) {
    Bytes abc;
    for (int i = 0; i < 40; ++i) abc.insert(abc.end(), {'a', 'b', 'c'});
    EXPECT_EQ(Deflate(Bytes(100, 'a')), (Bytes{0x4B, 0x4C, 0xA4, 0x3D, 0x00, 0x00}));
    EXPECT_EQ(Deflate(abc), (Bytes{0x4B, 0x4C, 0x4A, 0x4E, 0x1C, 0x08, 0x04, 0x00}));
    EXPECT_EQ(Deflate(Bytes()), (Bytes{0x03, 0x00}));  // a fixed-code last block of end-of-block alone
}

TEST(Deflate, RoundTripsEverySizeClassAndKind) {
    const size_t sizes[] = {1, 2, 3, 258, 259, 1024, 4096, 32767, 32768, 32769, 65535, 65536, 65537, 98304, 200001};
    for (int kind = 0; kind < 4; ++kind) {
        for (size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << ", " << size << " bytes");
            Bytes input(size);
            for (size_t i = 0; i < size; ++i) {
                const uint32_t r = Next();
                input[i] = kind == 0 ? static_cast<uint8_t>(r)                               // noise
                         : kind == 1 ? static_cast<uint8_t>("etaoin shrdlu"[r % 13])          // text-like
                         : kind == 2 ? static_cast<uint8_t>(i / 600 % 3)                      // runs
                                     : static_cast<uint8_t>(i % 2 ? i >> 9 : (i >> 1) & 0xFF);  // no 3-byte repeats
            }
            uint32_t crc = 0;
            Bytes compressed = Deflate(input, &crc);
            Bytes back;
            ASSERT_TRUE(test::ZlibRawInflate(compressed, &back));
            ASSERT_TRUE(back == input);
            EXPECT_EQ(crc, test::ZlibCrc32(input));
            // Noise goes out in stored blocks, runs in long matches.
            if (kind == 0) { EXPECT_LE(compressed.size(), size + size / 500 + 16); }
            if (kind == 2 && size > 1000) { EXPECT_LT(compressed.size(), size / 20); }
        }
    }
}

// The matches chosen repeat exactly, however the search reaches them: a
// string whose only earlier copy is the chain's head at exactly the farthest
// distance, behind a four-byte string whose hash (not bytes) agrees with it;
// and text of 13 letters, where searches run into the candidate limit,
// followed by indented lines, where long chains of spaces end in rarer words.
TEST(Deflate, MatchChoicesArePinned) {
    Bytes limitCase(40000);  // no three bytes repeat
    for (size_t i = 0; i < limitCase.size(); ++i) limitCase[i] = static_cast<uint8_t>(i % 2 ? i >> 9 : (i >> 1) & 0xFF);
    const Bytes same = {0xF7, 0xFE, 0xFD, 0xFC}, stranger = {0x80, 0x81, 0xC2, 0x0A};
    for (size_t at : {1000, 1000 + 32506}) std::copy(same.begin(), same.end(), limitCase.begin() + at);
    std::copy(stranger.begin(), stranger.end(), limitCase.begin() + 20000);
    std::string text;
    for (uint32_t r = 7; text.size() < 350000; r = r * 1103515245u + 12345u)
        text += text.size() < 200000 ? std::string(1, "etaoin shrdlu"[(r >> 8) % 13])
            : std::string(r >> 6 & 12, ' ') + (r & 4096 ? "return self." : "value = ") + char(97 + r % 26) + '\n';
    EXPECT_EQ(test::ZlibCrc32(Deflate(limitCase)), 0xDDB07EC9u);
    EXPECT_EQ(test::ZlibCrc32(Deflate(Bytes(text.begin(), text.end()))), 0x7E7E162Fu);
}

// Literal blocks agree with zlib's Huffman-only output: many random
// frequency sets full of ties, one literal value alone, Fibonacci counts
// (codes of 20 bits cut to 15), and lengths whose code-length code needs
// its lengths cut to 7.
TEST(Deflate, LiteralBlocksMatchZlibHuffmanOnly) {
    std::vector<Bytes> blocks = {Bytes(3000, 'x')};
    for (int round = 0; round < 150; ++round) {
        const uint32_t alphabet = 1 + Next() % (round % 3 == 0 ? 256 : 40);
        std::vector<uint32_t> weights(alphabet);
        uint32_t total = 0;
        for (auto& w : weights) total += w = round % 2 ? 1 + Next() % 8 : 1u << (Next() % 12);
        Bytes literals(1 + Next() % (round % 5 == 0 ? 30000 : 3000));
        for (auto& b : literals) {
            uint32_t pick = Next() % total, v = 0;
            while (pick >= weights[v]) pick -= weights[v++];
            b = static_cast<uint8_t>(v * 255 / (alphabet > 1 ? alphabet - 1 : 1));
        }
        blocks.push_back(literals);
    }
    Bytes fibonacci;
    for (uint32_t i = 0, a = 1, b = 2; i < 20; ++i, b += a, a = b - a) fibonacci.insert(fibonacci.end(), a, static_cast<uint8_t>(i * 12));
    blocks.push_back(fibonacci);
    // Lengths 1..14 with these counts (a complete code with end-of-block as one of the 14-bit ones), dealt
    // round-robin from the commonest length down so that the code-length code's frequencies grow like
    // Fibonacci numbers and its lengths need cutting to 7.
    const int perLength[15] = {0, 1, 1, 0, 1, 1, 3, 3, 6, 9, 14, 22, 34, 55, 89};
    std::vector<std::vector<int>> groups(1, std::vector<int>(256 - 239, 0));
    for (int len = 14; len >= 1; --len)
        if (perLength[len] > 0) groups.push_back(std::vector<int>(static_cast<size_t>(perLength[len]), len));
    std::stable_sort(groups.begin(), groups.end(), [](const auto& x, const auto& y) { return x.size() > y.size(); });
    Bytes sevenBit;
    int symbol = 0;
    for (size_t round = 0; symbol < 256; ++round)
        for (const auto& g : groups)
            if (round < g.size()) {
                if (g[0] != 0) sevenBit.insert(sevenBit.end(), 1u << (14 - g[0]), static_cast<uint8_t>(symbol));
                ++symbol;
            }
    blocks.push_back(sevenBit);
    for (Bytes& literals : blocks) {
        for (size_t i = literals.size(); i > 1; --i) std::swap(literals[i - 1], literals[Next() % i]);
        SCOPED_TRACE(testing::Message() << literals.size() << " literals");
        ASSERT_EQ(LiteralBlock(literals), ZlibHuffmanOnly(literals));
    }
}

}  // namespace
}  // namespace arcsalve
