// Unshrink (method 1): streams from the test shrinker, checked against the
// data they were made from and, where Info-ZIP unzip is installed, by unzip
// as an independent decoder; hand-built streams for what no sound encoder
// sends.
#include <gtest/gtest.h>

#include "decode/decode_testing.h"
#include "decode/decoders.h"
#include "support/legacy_bit_writer.h"
#include "support/legacy_harness.h"
#include "support/test_shrinker.h"

namespace arcsalve::test {
namespace {

FrameRun RunUnshrink(const Bytes& stream, LegacyRunOptions options = {}) {
    return RunLegacy([](DecodeState* s) { return Unshrink(s); }, stream, options);
}

struct ShrinkCase {
    const char* label;
    Bytes data;
    ShrinkOptions options;
    // What the stream must contain for the case to test what it claims.
    int minRaises, minClears, minUndefined;
    bool mustFill;
    // Info-ZIP unzip refuses a code sent while all 8192 codes are in use
    // (PKZIP always clears first); only that case is ours alone.
    bool unzipAccepts = true;
};

std::vector<ShrinkCase> ShrinkCases() {
    std::vector<ShrinkCase> cases;
    cases.push_back({"one byte", ToBytes("Z"), {}, 0, 0, 0, false});
    cases.push_back({"short text", ToBytes("TOBEORNOTTOBEORTOBEORNOT#"), {}, 0, 0, 0, false});
    // A run of one byte sends each new code before the decoder has it.
    cases.push_back({"run of one byte", Bytes(20000, 'a'), {}, 0, 0, 150, false});
    cases.push_back({"text, raises to 13 bits, clears when full", SampleText(300000, 1), {}, 4, 1, 1, true});
    cases.push_back({"random bytes fill the dictionary fast", NoiseBytes(60000, 2), {}, 4, 2, 0, true});
    {
        ShrinkOptions o;
        o.clearWhenFull = false;
        cases.push_back({"full dictionary, never cleared", NoiseBytes(80000, 3, 16), o, 4, 0, 0, true, false});
    }
    {
        // Clears in a dictionary that is not full: the freed codes are
        // reused from the lowest one up.
        ShrinkOptions o;
        o.clearBefore = {3000, 9000, 9100, 20000};
        cases.push_back({"partial clears mid-stream", SampleText(40000, 4), o, 1, 3, 0, false});
    }
    {
        ShrinkOptions o;
        o.ignoredControlBefore = {1, 500, 501, 7000};
        cases.push_back({"control code with sub-code 3", SampleText(10000, 5), o, 0, 0, 0, false});
    }
    return cases;
}

TEST(Unshrink, DecodesTestShrinkerStreamsAndUnzipAgrees) {
    for (const ShrinkCase& c : ShrinkCases()) {
        SCOPED_TRACE(c.label);
        ShrinkStats stats;
        const Bytes stream = ShrinkForTest(c.data, c.options, &stats);
        EXPECT_GE(stats.raises, c.minRaises);
        EXPECT_GE(stats.clears, c.minClears);
        EXPECT_GE(stats.undefinedCodes, c.minUndefined);
        EXPECT_EQ(stats.dictionaryFilled, c.mustFill);

        LegacyRunOptions options;
        options.uncompressedSize = static_cast<uint32_t>(c.data.size());
        const FrameRun run = RunUnshrink(stream, options);
        EXPECT_EQ(run.result, 1);
        EXPECT_TRUE(run.output == c.data) << "decoded " << run.output.size() << " of " << c.data.size();
        EXPECT_EQ(run.consumed, static_cast<int32_t>(stream.size()));

        if (c.unzipAccepts && HaveUnzip()) {
            EXPECT_EQ(UnzipComplaint(WrapInZip(stream, 1, 0, c.data)), "");
        }
    }
}

// Codes of a hand-built stream, each at the width the decoder expects.
struct Code {
    uint32_t value;
    int bits;
};

Bytes Pack(const std::vector<Code>& codes) {
    LsbBitWriter w;
    for (const Code& c : codes) w.Put(c.value, c.bits);
    return w.Bytes();
}

TEST(Unshrink, HandBuiltStreams) {
    struct Case {
        const char* label;
        std::vector<Code> codes;
        std::string expected;
    };
    const Case cases[] = {
        {"fewer than 9 bits: nothing", {{0x41, 8}}, ""},
        {"trailing bits that cannot form a code are ignored", {{'A', 9}, {'B', 9}, {0x7F, 6}}, "AB"},
        // Seven 9-bit codes leave 9 bits in the last byte; after the raise a
        // code takes 10, so the 'F' is not decoded.
        {"the end test after a raise uses the new width",
         {{'A', 9}, {'B', 9}, {'C', 9}, {'D', 9}, {'E', 9}, {256, 9}, {1, 9}, {'F', 9}},
         "ABCDE"},
        // Raises up to 13 bits, then a fifth raise that is ignored: the
        // next code is still read with 13 bits.
        {"a raise past 13 bits is ignored",
         {{'A', 9}, {256, 9}, {1, 9}, {256, 10}, {1, 10}, {256, 11}, {1, 11}, {256, 12}, {1, 12},
          {256, 13}, {1, 13}, {'B', 13}, {257, 13}},
         "ABAB"},
        // 300 is undefined and not the next free code: treated as the
        // previous string plus its first byte. Sent again, the walk loops
        // (its own undefined code is the previous code); the entry ends
        // cleanly with what was decoded.
        {"a looping chain ends the entry", {{'A', 9}, {'B', 9}, {300, 9}, {300, 9}, {'C', 9}}, "ABBB"},
        // A code freed by a clear becomes the prefix of a new entry; a
        // second clear must leave that free code alone (it is at or above
        // the next free code) instead of corrupting its marker.
        {"a clear after an entry whose prefix was freed",
         {{'A', 9}, {'B', 9}, {'C', 9}, {258, 9}, {256, 9}, {2, 9}, {'D', 9}, {256, 9}, {2, 9}, {258, 9}},
         "ABCBCDDD"},
        {"a first code above 255 gives its low byte", {{0x141, 9}, {'x', 9}}, "Ax"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const FrameRun run = RunUnshrink(Pack(c.codes));
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(std::string(run.output.begin(), run.output.end()), c.expected);
    }
}

// The archive ends inside the entry: decoding stops at the last whole code
// that the archive still holds instead of running on invented bits.
TEST(Unshrink, ArchiveEndingInsideTheEntryKeepsTheGoodPrefix) {
    const Bytes data = SampleText(50000, 7);
    const Bytes stream = ShrinkForTest(data);
    for (size_t keep : {size_t(0), size_t(1), size_t(2), stream.size() / 3, stream.size() - 1}) {
        SCOPED_TRACE(keep);
        LegacyRunOptions options;
        options.compressedSize = static_cast<int64_t>(stream.size());
        options.uncompressedSize = static_cast<uint32_t>(data.size());
        const Bytes cut(stream.begin(), stream.begin() + static_cast<long>(keep));
        const FrameRun run = RunUnshrink(cut, options);
        EXPECT_EQ(run.result, 1);
        ASSERT_LE(run.output.size(), data.size());
        EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), data.begin()));
        if (keep > 1000) {
            EXPECT_GT(run.output.size(), keep);
        }
    }
}

// Damaged data (bytes flipped anywhere) never crashes or hangs; whatever
// comes out is written and the result stays 1.
TEST(Unshrink, FlippedBytesEndCleanly) {
    const Bytes data = Concat(SampleText(30000, 8), NoiseBytes(30000, 9));
    const Bytes stream = ShrinkForTest(data);
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        Bytes damaged = stream;
        const Bytes noise = NoiseBytes(8, seed);
        for (int i = 0; i < 4; ++i) {
            const size_t at = (noise[2 * i] * 256u + noise[2 * i + 1]) * 7919u % damaged.size();
            damaged[at] ^= static_cast<uint8_t>(noise[i] | 1);
        }
        LegacyRunOptions options;
        options.uncompressedSize = static_cast<uint32_t>(data.size());
        const FrameRun run = RunUnshrink(damaged, options);
        EXPECT_EQ(run.result, 1);
    }
}

// Out of memory for the workspace or any table: result 0, nothing written.
TEST(Unshrink, OutOfMemoryWritesNothing) {
    const Bytes data = SampleText(3000, 10);
    const Bytes stream = ShrinkForTest(data);
    for (int64_t allowed = 0; allowed <= 4; ++allowed) {
        SCOPED_TRACE(allowed);
        InjectAllocFailure(allowed);
        const FrameRun run = RunUnshrink(stream);
        InjectAllocFailure(-1);
        EXPECT_EQ(run.result, allowed == 4 ? 1 : 0);
        EXPECT_EQ(run.output.size(), allowed == 4 ? data.size() : 0u);
    }
}

}  // namespace
}  // namespace arcsalve::test
