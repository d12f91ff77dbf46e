// Unreduce (methods 2 to 5): streams from the test reducer for every factor,
// and hand-built streams for the exact meaning of V, E and T, the follower
// sets, and data that end early. No independent decoder of this method is
// at hand (Info-ZIP unzip is built without it), so the real archives of the
// corpus tests are the second opinion.
#include <gtest/gtest.h>

#include "decode/decode_testing.h"
#include "decode/decoders.h"
#include "support/legacy_bit_writer.h"
#include "support/legacy_harness.h"
#include "support/test_reducer.h"

namespace arcsalve::test {
namespace {

FrameRun RunUnreduce(int factor, const Bytes& stream, uint32_t size,
                            int64_t compressedSize = -1) {
    LegacyRunOptions options;
    options.uncompressedSize = size;
    options.compressedSize = compressedSize;
    return RunLegacy([factor](DecodeState* s) { return Unreduce(s, factor); }, stream, options);
}

// Text, binary, long runs and the escape byte itself, over 60 KB so that
// output leaves in several 9000-byte writes.
Bytes MixedData() {
    Bytes d = SampleText(30000, 11);
    d = Concat(d, Bytes(1000, 'r'));
    d = Concat(d, Bytes(500, 144));
    d = Concat(d, NoiseBytes(8000, 12, 20));
    d = Concat(d, NoiseBytes(3000, 13));
    return Concat(d, SampleText(20000, 14));
}

TEST(Unreduce, DecodesTestReducerStreamsForEveryFactor) {
    const Bytes data = MixedData();
    for (int factor = 1; factor <= 4; ++factor) {
        SCOPED_TRACE(factor);
        ReduceOptions options;
        options.factor = factor;
        ReduceStats stats;
        const Bytes stream = ReduceForTest(data, options, &stats);
        EXPECT_GT(stats.copies, 1000u);
        EXPECT_GT(stats.longCopies, 0u);
        EXPECT_GT(stats.literalDle, 0u);
        EXPECT_GT(stats.indexed, 1000u);
        // Factor 1's copies run to 385 bytes; the others' to 321, 289, 273.
        EXPECT_EQ(stats.longestCopy, 0x7Fu / (1u << (factor - 1)) + 3 + 255);

        const FrameRun run = RunUnreduce(factor, stream, static_cast<uint32_t>(data.size()));
        EXPECT_EQ(run.result, 1);
        EXPECT_TRUE(run.output == data) << "decoded " << run.output.size() << " of " << data.size();
    }
}

// A stream with every follower set empty: each symbol is 8 literal bits, so a
// test can lay down the inner stage's bytes (V, E, T) one by one.
TEST(Unreduce, CopyCodesOfTheInnerStage) {
    const Bytes history = NoiseBytes(1100, 21, 143);  // no 144 among them
    struct Case {
        const char* label;
        int factor;
        Bytes symbols;  // after the history
        size_t copyFrom, copyLength;   // expected copy, from offset in history
    };
    const Case cases[] = {
        // V = 0x47: length bits 7 -> 10 bytes; high bits 4 -> 4 * 256 + T + 1.
        {"factor 4, V = 0x47", 4, {144, 0x47, 5}, 1100 - (4 * 256 + 5 + 1), 10},
        // V = 0x4F: all four length bits set, E follows: 15 + 3 + E.
        {"factor 4, V = 0x4F with E", 4, {144, 0x4F, 7, 50}, 1100 - (4 * 256 + 50 + 1), 15 + 3 + 7},
        // Factor 1: seven length bits all ones -> 130 + E, here the longest, 385.
        {"factor 1, longest copy", 1, {144, 0xFF, 255, 3}, 1100 - (256 + 3 + 1), 385},
        {"factor 1, shortest long copy", 1, {144, 0x7F, 0, 99}, 1100 - 100, 130},
        {"factor 2, high bits 3", 2, {144, 0xC5, 9}, 1100 - (3 * 256 + 9 + 1), 8},
        {"factor 3, distance 1", 3, {144, 0x01, 0}, 1099, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes expected = history;
        for (size_t i = 0; i < c.copyLength; ++i) expected.push_back(expected[c.copyFrom + i]);
        const Bytes stream = ReduceRawSymbols(Concat(history, c.symbols));
        const FrameRun run = RunUnreduce(c.factor, stream, static_cast<uint32_t>(expected.size()));
        EXPECT_EQ(run.result, 1);
        EXPECT_TRUE(run.output == expected);
    }
}

// Follower sets: count[j] (6 bits) and followers, from 255 down to 0.
Bytes WithSets(const std::map<int, Bytes>& sets, LsbBitWriter& w) {
    for (int j = 255; j >= 0; --j) {
        auto it = sets.find(j);
        const size_t n = it == sets.end() ? 0 : it->second.size();
        w.Put(static_cast<uint32_t>(n), 6);
        for (size_t i = 0; i < n; ++i) w.Put(it->second[i], 8);
    }
    return w.Bytes();
}

TEST(Unreduce, FollowerSetsAndEscapes) {
    struct Case {
        const char* label;
        std::map<int, Bytes> sets;
        std::vector<std::pair<uint32_t, int>> bits;  // the symbol stream, field by field
        std::string expected;
    };
    const Case cases[] = {
        // Set of 0 = {'X'}: a one-entry set still takes a 1-bit index.
        // 144, 0 is a literal 144, and the symbol after it is read with last
        // character 0, so the set of 0 applies again.
        {"144, 0 and a one-entry set",
         {{0, {'X'}}},
         {{1, 1}, {144, 8}, /* set of 144 is empty: 8 bits */ {0, 8}, {0, 1}, {0, 1}},
         "\x90X"},
        // After a byte whose set is empty the symbol is 8 bits, no flag.
        {"empty set: no flag bit", {{0, {'X'}}}, {{0, 1}, {0, 1}, {'Y', 8}, {'Z', 8}}, "XYZ"},
        // A set of three takes a 2-bit index; index 3 lies beyond it and
        // selects a cleared slot: the byte 0.
        {"index beyond the set", {{0, {'a', 'b', 'c'}}}, {{0, 1}, {2, 2}, {'z', 8}, {0, 8}, {0, 1}, {3, 2}},
         std::string("cz\0\0", 4)},
        // A copy before the first byte yields zeros; one straddling the
        // start yields zeros, then the bytes that exist.
        {"copy from before the start", {}, {{'A', 8}, {144, 8}, {2, 8}, {9, 8}}, std::string("A\0\0\0\0\0", 6)},
        {"copy straddling the start", {}, {{'A', 8}, {'B', 8}, {144, 8}, {1, 8}, {2, 8}},
         std::string("AB\0AB\0", 6)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LsbBitWriter w;
        WithSets(c.sets, w);
        for (const auto& field : c.bits) w.Put(field.first, field.second);
        const FrameRun run = RunUnreduce(4, w.Bytes(), static_cast<uint32_t>(c.expected.size()));
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(std::string(run.output.begin(), run.output.end()), c.expected);
    }
}

// The recorded size bounds the output; data that end early fail, keeping
// every byte decoded before that point, not only whole 9000-byte blocks.
TEST(Unreduce, OutputBoundAndShortInput) {
    const Bytes data = Concat(SampleText(40000, 31), Bytes(600, 'q'));
    const Bytes stream = ReduceForTest(data);
    const Bytes half(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
    const size_t size = data.size();
    const int64_t whole = static_cast<int64_t>(stream.size());
    struct Case {
        const char* label;
        const Bytes& input;
        size_t size;
        int64_t compressedSize;
        int result;
        size_t minOutput, maxOutput;  // the output is a prefix of the data
    } cases[] = {
        {"a copy that would pass the recorded size is cut there", stream, size - 100, -1, 1, size - 100, size - 100},
        {"uncompressed size 0: the sets are read, nothing is written", stream, 0, -1, 1, 0, 0},
        {"data that end before the follower sets are complete", stream, size, 20, 0, 0, 0},
        {"one byte short", stream, size, whole - 1, 0, size - 1000, size - 1},
        {"two bytes short", stream, size, whole - 2, 0, size - 1300, size - 1},
        {"40 bytes short", stream, size, whole - 40, 0, size - 12700, size - 1},
        {"the archive ends inside the entry", half, size, whole, 0, size / 3, size - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const FrameRun run = RunUnreduce(4, c.input, static_cast<uint32_t>(c.size), c.compressedSize);
        EXPECT_EQ(run.result, c.result);
        EXPECT_TRUE(IsPrefixOf(run.output, data));
        EXPECT_GE(run.output.size(), c.minOutput);
        EXPECT_LE(run.output.size(), c.maxOutput);
    }
}

TEST(Unreduce, FlippedBytesEndCleanly) {
    const Bytes data = Concat(SampleText(20000, 41), NoiseBytes(5000, 42, 30));
    for (int factor = 1; factor <= 4; ++factor) {
        ReduceOptions options;
        options.factor = factor;
        const Bytes stream = ReduceForTest(data, options);
        for (uint32_t seed = 1; seed <= 10; ++seed) {
            SCOPED_TRACE(testing::Message() << "factor " << factor << " seed " << seed);
            Bytes damaged = stream;
            const Bytes noise = NoiseBytes(6, seed * 5 + factor);
            for (int i = 0; i < 3; ++i)
                damaged[(noise[2 * i] * 256u + noise[2 * i + 1]) * 7919u % damaged.size()] ^= 0x5A;
            const FrameRun run = RunUnreduce(factor, damaged, static_cast<uint32_t>(data.size()));
            EXPECT_LE(run.output.size(), data.size());
        }
    }
}

TEST(Unreduce, OutOfMemoryWritesNothing) {
    const Bytes data = SampleText(3000, 43);
    const Bytes stream = ReduceForTest(data);
    for (int64_t allowed = 0; allowed <= 2; ++allowed) {
        SCOPED_TRACE(allowed);
        InjectAllocFailure(allowed);
        const FrameRun run = RunUnreduce(4, stream, static_cast<uint32_t>(data.size()));
        InjectAllocFailure(-1);
        EXPECT_EQ(run.result, allowed == 2 ? 1 : 0);
        EXPECT_EQ(run.output.size(), allowed == 2 ? data.size() : 0u);
    }
}

}  // namespace
}  // namespace arcsalve::test
