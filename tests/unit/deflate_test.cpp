// The deflate compressor: exact output for known inputs, the items the match
// finder chooses, and round trips through zlib's inflate for every size class
// and kind of data, with the format's limits checked block by block.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/deflate_trace.h"
#include "support/temp_dir.h"
#include "unit/deflate_test_util.h"

namespace arcsalve {
namespace {

using namespace testing_support;

Bytes Repeat(const std::string& s, size_t times) {
    Bytes b;
    for (size_t i = 0; i < times; ++i) b.insert(b.end(), s.begin(), s.end());
    return b;
}

// Everything the format and this compressor promise about a stream.
void ExpectWellFormed(const DeflateTrace& in) {
    size_t blockIndex = 0;
    for (const DeflateBlock& b : in.blocks) {
        SCOPED_TRACE(testing::Message() << "block " << blockIndex++ << " type " << b.type);
        EXPECT_EQ(b.final, &b == &in.blocks.back());
        EXPECT_LE(b.items.size(), kMaxBlockItems);
        EXPECT_LE(b.storedLength, 0xFFFFu);
        for (const DeflateItem& item : b.items) {
            if (item.length == 0) continue;
            ASSERT_GE(item.length, 3u);
            ASSERT_LE(item.length, 258u);
            ASSERT_GE(item.distance, 1u);
            ASSERT_LE(item.distance, kMaxDistance);
        }
        if (b.type == 2) {
            EXPECT_GE(b.codeLengthCodes, 4);
            for (int len : b.literalLengths) EXPECT_LE(len, 15);
            for (int len : b.distanceLengths) EXPECT_LE(len, 15);
            for (int len : b.codeLengthLengths) EXPECT_LE(len, 7);
        }
    }
}

// Deflates input, checks the CRC against zlib, inflates with zlib and with
// the trace decoder, and returns the trace.
DeflateTrace RoundTrip(const Bytes& input) {
    uint32_t crc = 0;
    int ok = 0;
    Bytes compressed = DeflateBytes(input, &crc, &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(crc, test::ZlibCrc32(input));
    Bytes inflated;
    EXPECT_TRUE(test::ZlibRawInflate(compressed, &inflated));
    EXPECT_TRUE(inflated == input) << "zlib gives back " << inflated.size() << " of "
                                   << input.size() << " bytes, or different ones";
    DeflateTrace trace;
    std::string error;
    EXPECT_TRUE(TraceDeflate(compressed.data(), compressed.size(), &trace, &error)) << error;
    EXPECT_EQ(trace.bytesUsed, compressed.size());
    ExpectWellFormed(trace);
    return trace;
}

std::vector<DeflateItem> AllItems(const DeflateTrace& in) {
    std::vector<DeflateItem> items;
    for (const DeflateBlock& b : in.blocks) items.insert(items.end(), b.items.begin(), b.items.end());
    return items;
}

std::string Describe(const std::vector<DeflateItem>& items) {
    std::string s;
    for (const DeflateItem& i : items)
        s += i.length == 0 ? "L" + std::to_string(i.literal) + " "
                           : "M" + std::to_string(i.length) + "@" + std::to_string(i.distance) + " ";
    return s;
}

TEST(Deflate, KnownVectorsByteForByte) {
    struct Case {
        const char* label;
        Bytes input;
        Bytes expected;
    } cases[] = {
        {"100 x 'a'", Bytes(100, 'a'), {0x4B, 0x4C, 0xA4, 0x3D, 0x00, 0x00}},
        {"'abc' x 40", Repeat("abc", 40), {0x4B, 0x4C, 0x4A, 0x4E, 0x1C, 0x08, 0x04, 0x00}},
        // No items: a fixed-code last block holding only end-of-block.
        {"empty", Bytes(), {0x03, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(DeflateBytes(c.input), c.expected);
    }
}

// The items chosen for short inputs. Window index 0 is never a match
// source; a match found past the end of the input (the window's spare bytes
// are zero) is cut to the input, and a cut below 3 leaves a literal.
TEST(Deflate, ItemsOfEdgeCases) {
    struct Case {
        const char* label;
        Bytes input;
        std::vector<DeflateItem> expected;
    } cases[] = {
        {"100 x 'a': two literals, then distance 1", Bytes(100, 'a'),
         {Literal('a'), Literal('a'), Match(98, 1)}},
        {"'abc' x 40: the repeat at index 3 has only index 0 behind it", Repeat("abc", 40),
         {Literal('a'), Literal('b'), Literal('c'), Literal('a'), Match(116, 3)}},
        {"a run of five at the start", Bytes(5, 'z'), {Literal('z'), Literal('z'), Match(3, 1)}},
        {"match into the zero spare bytes, cut to 4",
         test::ToBytes(std::string("Qabcd\0\0\0\0Xabcd", 14)),
         {Literal('Q'), Literal('a'), Literal('b'), Literal('c'), Literal('d'), Literal(0),
          Match(3, 1), Literal('X'), Match(4, 9)}},
        {"match into the zero spare bytes, cut below 3",
         test::ToBytes(std::string("Qab\0\0\0\0cdab", 11)),
         {Literal('Q'), Literal('a'), Literal('b'), Literal(0), Match(3, 1), Literal('c'),
          Literal('d'), Literal('a'), Literal('b')}},
        {"ties keep the nearer source", test::ToBytes("xabcd1abcd2abcd"),
         {Literal('x'), Literal('a'), Literal('b'), Literal('c'), Literal('d'), Literal('1'),
          Match(4, 5), Literal('2'), Match(4, 5)}},
        {"a longer match farther back wins", test::ToBytes("xabcdefgh1abcd2abcdefgh"),
         {Literal('x'), Literal('a'), Literal('b'), Literal('c'), Literal('d'), Literal('e'),
          Literal('f'), Literal('g'), Literal('h'), Literal('1'), Match(4, 9), Literal('2'),
          Match(8, 14)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DeflateTrace in = RoundTrip(c.input);
        EXPECT_EQ(Describe(AllItems(in)), Describe(c.expected));
    }
}

// The hash of the three bytes at each position, as the match finder keeps it.
std::vector<uint32_t> PositionHashes(const Bytes& b) {
    std::vector<uint32_t> h(b.size() >= 3 ? b.size() - 2 : 0);
    for (size_t i = 0; i < h.size(); ++i)
        h[i] = (static_cast<uint32_t>(b[i + 1]) << 5 ^ (b[i] & 0x1Fu) << 10 ^ b[i + 2]) & 0x7FFF;
    return h;
}

// Only the chain's head may lie exactly kMaxDistance back (the chain is
// walked only while its positions are nearer): a string at 1 whose hash no
// later position shares, repeated once the head is kMaxDistance or one more
// away. The filler is compressible (so the block is coded and its items can
// be seen) and shares no 3-byte string with the repeated one.
TEST(Deflate, FarthestMatchDistance) {
    for (uint32_t distance : {kMaxDistance, kMaxDistance + 1}) {
        SCOPED_TRACE(distance);
        Bytes input;
        for (uint64_t seed = 1;; ++seed) {
            TestRandom r(seed);
            input.assign(1, 'Q');
            for (int i = 0; i < 100; ++i) input.push_back(static_cast<uint8_t>(0x80 | r.Next()));
            while (input.size() < distance + 1) input.push_back(static_cast<uint8_t>(r.Below(32)));
            input.insert(input.end(), input.begin() + 1, input.begin() + 101);
            std::vector<uint32_t> h = PositionHashes(input);
            if (std::find(h.begin() + 2, h.begin() + distance + 1, h[1]) == h.begin() + distance + 1) break;
        }
        DeflateTrace in = RoundTrip(input);
        ASSERT_EQ(in.blocks.size(), 1u);
        ASSERT_NE(in.blocks[0].type, 0);
        std::vector<DeflateItem> items = AllItems(in);
        bool found = std::find(items.begin(), items.end(), Match(100, distance)) != items.end();
        EXPECT_EQ(found, distance == kMaxDistance);
    }
}

TEST(Deflate, RoundTripsEverySizeClass) {
    const size_t sizes[] = {0,     1,     2,     3,     99,    100,   101,    1023,  1024,
                            1025,  4096,  32767, 32768, 32769, 65534, 65535,  65536, 65537,
                            98303, 98304, 98305, 131072, 200001};
    struct Kind {
        const char* label;
        Bytes (*make)(size_t, uint64_t);
    } kinds[] = {
        {"text", TextBytes},
        {"random", RandomBytes},
        {"runs", [](size_t n, uint64_t seed) {
             TestRandom r(seed);
             Bytes b;
             while (b.size() < n) b.insert(b.end(), 1 + r.Below(600), static_cast<uint8_t>(r.Below(4)));
             b.resize(n);
             return b;
         }},
    };
    for (const Kind& kind : kinds) {
        for (size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << kind.label << " " << size);
            RoundTrip(kind.make(size, size + 1));
        }
    }
}

// Megabytes of three kinds, each with the block form it calls for:
// incompressible data goes out in stored blocks (each at most 65535 bytes,
// the entry still deflate data); long runs take the longest matches; text
// takes dynamic blocks and comes out near zlib's level 3, the nearest
// setting in effort (ours may be a little smaller or larger).
TEST(Deflate, LargeInputsTakeTheirBlockForms) {
    const Bytes noise = RandomBytes(3 << 20, 11);
    DeflateTrace in = RoundTrip(noise);
    size_t storedBytes = 0;
    for (const DeflateBlock& b : in.blocks) storedBytes += b.type == 0 ? b.storedLength : 0;
    EXPECT_GT(storedBytes, noise.size() * 9 / 10);

    TestRandom r(5);
    Bytes runs;
    while (runs.size() < (3u << 20)) runs.insert(runs.end(), 2000 + r.Below(100000), static_cast<uint8_t>(r.Next()));
    size_t longest = 0;
    for (const DeflateItem& item : AllItems(RoundTrip(runs))) longest += item.length == 258 && item.distance == 1;
    EXPECT_GT(longest, runs.size() / 258 * 9 / 10);

    const Bytes text = TextBytes(1 << 20, 3);
    size_t dynamic = 0;
    for (const DeflateBlock& b : RoundTrip(text).blocks) dynamic += b.type == 2;
    EXPECT_GT(dynamic, 0u);
    EXPECT_LT(DeflateBytes(text).size(), ZlibDeflate(text, 3).size() * 11 / 10);
}

// Mostly literals with a few long matches: after 4096 items the block is
// estimated to take under half its input, and ends there.
TEST(Deflate, PoorlyMatchedBlockEndsAt4096Items) {
    TestRandom r(9);
    Bytes input = RandomBytes(20000, 10);
    while (input.size() < 400000) {
        input.push_back(static_cast<uint8_t>(r.Next()));
        input.push_back(static_cast<uint8_t>(r.Next()));
        uint32_t from = static_cast<uint32_t>(input.size()) - 20000 + r.Below(19000);
        for (int i = 0; i < 60; ++i) input.push_back(input[from + static_cast<uint32_t>(i)]);
    }
    DeflateTrace in = RoundTrip(input);
    ASSERT_GE(in.blocks.size(), 2u);
    size_t at4096 = 0;
    for (const DeflateBlock& b : in.blocks) at4096 += b.items.size() == kBlockCheckInterval;
    EXPECT_GT(at4096, 0u);
}

// Only literals (no 3-byte string occurs twice): the item count alone ends
// the blocks, at 32767.
TEST(Deflate, BlocksEndAt32767Items) {
    // Big-endian 16-bit counters: each 3-byte string pins down its counter
    // as long as the counters stay below 0xFF00 (from there (h, 0xFF, h + 1)
    // can also be low byte, high byte, low byte of later counters).
    Bytes input;
    for (uint32_t i = 0; i < 0xFF00; ++i) {
        input.push_back(static_cast<uint8_t>(i >> 8));
        input.push_back(static_cast<uint8_t>(i));
    }
    DeflateTrace in = RoundTrip(input);
    ASSERT_EQ(in.blocks.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(in.blocks[i].type, 2);
        EXPECT_EQ(in.blocks[i].items.size(), kMaxBlockItems);
    }
    for (const DeflateItem& item : AllItems(in)) ASSERT_EQ(item.length, 0u);
}

}  // namespace
}  // namespace arcsalve
