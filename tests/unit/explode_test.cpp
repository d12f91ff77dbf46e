// Explode (method 6): streams from the test imploder in all four variants,
// checked against their data and by Info-ZIP unzip as an independent decoder;
// hand-built trees for what no sound encoder writes.
#include <gtest/gtest.h>

#include "common/run_flags.h"
#include "decode/decode_testing.h"
#include "decode/decoders.h"
#include "platform/platform_testing.h"
#include "support/legacy_harness.h"
#include "support/test_imploder.h"

namespace arcsalve::test {
namespace {

FrameRun RunExplode(const Bytes& stream, uint16_t flags, uint32_t size, int64_t compressedSize = -1,
                    const Bytes& trailer = {}) {
    LegacyRunOptions options;
    options.uncompressedSize = size;
    options.compressedSize = compressedSize;
    options.trailer = trailer;
    return RunLegacy([flags](DecodeState* s) { return Explode(s, flags); }, stream, options);
}

// Text, long runs (length code 63 and distance 1), zeros and noise.
Bytes MixedData() {
    Bytes d = SampleText(70000, 51);
    d = Concat(d, Bytes(700, 'r'));
    d = Concat(d, NoiseBytes(5000, 52, 40));
    d = Concat(d, Bytes(3000, 0));
    d = Concat(d, NoiseBytes(2000, 53));
    return Concat(d, SampleText(30000, 54));
}

struct Variant {
    const char* label;
    bool largeDictionary;
    bool literalTree;
};
const Variant kVariants[] = {
    {"4K, two trees (flags 0)", false, false},
    {"8K, two trees (flags 2)", true, false},
    {"4K, three trees (flags 4)", false, true},
    {"8K, three trees (flags 6)", true, true},
};

Imploded ImplodeVariant(const Bytes& data, const Variant& v, bool zeroHistory = false,
                        ImplodeStats* stats = nullptr) {
    ImplodeOptions options;
    options.largeDictionary = v.largeDictionary;
    options.literalTree = v.literalTree;
    options.zeroHistory = zeroHistory;
    return ImplodeForTest(data, options, stats);
}

// Every variant, on mixed data and on data whose copies reach before the
// entry's first byte (until the first full window is written, that part
// reads as zeros). Info-ZIP unzip, where installed, decodes them too.
TEST(Explode, DecodesAllFourVariantsAndUnzipAgrees) {
    const Bytes mixed = MixedData();
    const Bytes zeroLed = Concat(Bytes(500, 0), SampleText(3000, 61));
    for (const Variant& v : kVariants) {
        for (bool zeroHistory : {false, true}) {
            SCOPED_TRACE(testing::Message() << v.label << (zeroHistory ? ", copies from before the start" : ""));
            const Bytes& data = zeroHistory ? zeroLed : mixed;
            ImplodeStats stats;
            const Imploded imploded = ImplodeVariant(data, v, zeroHistory, &stats);
            if (zeroHistory) {
                EXPECT_GT(stats.zeroReach, 0u);
            } else {
                EXPECT_GT(stats.copies, 1000u);
                EXPECT_GT(stats.distanceOne, 0u);
                EXPECT_GT(stats.longCopies, 0u);
                // Length code 63 plus 255: 320 with two trees, 321 with three.
                EXPECT_EQ(stats.longestCopy, v.literalTree ? 321u : 320u);
            }
            const FrameRun run = RunExplode(imploded.stream, imploded.flags, static_cast<uint32_t>(data.size()));
            EXPECT_EQ(run.result, 1);
            EXPECT_TRUE(run.output == data) << "decoded " << run.output.size() << " of " << data.size();
            if (HaveUnzip()) {
                EXPECT_EQ(UnzipComplaint(WrapInZip(imploded.stream, 6, imploded.flags, data)), "");
            }
        }
    }
}

// Entries of more than 200,000 compressed bytes index the distance table with
// 8 bits instead of 7; the output is the same either side of the line.
TEST(Explode, DistanceLookupWidthAt200000Bytes) {
    const Bytes text = SampleText(60000, 71);
    // Noise after the text brings the stream to just under 200,000 bytes, so
    // that a compressed size of 200,000 and one of 200,001 both end within
    // the 10-byte tolerance of where the decoder stops.
    size_t noise = 160000;
    Bytes data;
    Imploded imploded;
    for (int i = 0; i < 30; ++i) {
        data = Concat(text, NoiseBytes(noise, 72));
        imploded = ImplodeVariant(data, kVariants[0]);
        const int64_t gap = 199996 - static_cast<int64_t>(imploded.stream.size());
        if (gap >= -2 && gap <= 2) break;
        noise = static_cast<size_t>(static_cast<int64_t>(noise) + gap * 8 / 9 + (gap > 0 ? 1 : -1));
    }
    ASSERT_NEAR(static_cast<double>(imploded.stream.size()), 199996.0, 2.0);
    const Bytes padding(200011 - imploded.stream.size(), 0);
    for (int64_t compressedSize : {200000, 200001}) {
        SCOPED_TRACE(compressedSize);
        const FrameRun run =
            RunExplode(Concat(imploded.stream, padding), imploded.flags, static_cast<uint32_t>(data.size()),
                       compressedSize);
        EXPECT_EQ(run.result, 1);
        EXPECT_TRUE(run.output == data);
    }
}

// Trees that cannot be decoded: nothing is written and the entry fails.
TEST(Explode, BadTreesFailBeforeAnyOutput) {
    const std::vector<uint8_t> sixes(64, 6);      // 64 codes of 6 bits: complete
    std::vector<uint8_t> overfull(64, 6);
    overfull[0] = 5;                              // one code too many
    std::vector<uint8_t> incomplete(64, 6);
    incomplete[63] = 7;                           // one pattern of 7 bits unused
    std::vector<uint8_t> eights(256, 8);          // a complete literal tree
    struct Case {
        const char* label;
        uint16_t flags;
        Bytes trees;
    };
    const Case cases[] = {
        // Runs that add up to 63 lengths for a 64-symbol tree.
        {"length tree one short", 0, Concat(Bytes{3, 0xF5, 0xF5, 0xF5, 0xE5}, PackCodeLengths(sixes))},
        // A last run that would pass 64.
        {"length tree one long", 0, Concat(Bytes{4, 0xF5, 0xF5, 0xF5, 0xE5, 0x15}, PackCodeLengths(sixes))},
        {"distance tree one short", 0, Concat(PackCodeLengths(sixes), Bytes{3, 0xF5, 0xF5, 0xF5, 0xE5})},
        {"literal tree one short", 4, Concat(Bytes{15, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7,
                                                   0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xE7},
                                             Concat(PackCodeLengths(sixes), PackCodeLengths(sixes)))},
        {"over-subscribed length tree", 0, Concat(PackCodeLengths(overfull), PackCodeLengths(sixes))},
        {"incomplete distance tree", 0, Concat(PackCodeLengths(sixes), PackCodeLengths(incomplete))},
        {"incomplete literal tree", 4,
         Concat(PackCodeLengths(incomplete), Concat(PackCodeLengths(sixes), PackCodeLengths(sixes)))},
        {"trees cut off by the end of the input", 4, Concat(PackCodeLengths(eights), Bytes{3, 0xF5})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Bytes stream = Concat(c.trees, Bytes(64, 0xA5));
        const FrameRun run = RunExplode(stream, c.flags, 100);
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(run.output.empty());
    }
}

TEST(Explode, UncompressedSizeZeroReadsOnlyTheTrees) {
    const Imploded trees = ImplodeForTest({});
    const int64_t size = static_cast<int64_t>(trees.stream.size());
    struct Case {
        int64_t compressedSize;
        int result;
    };
    // Success needs the trees to end within 10 bytes of the compressed size.
    for (const Case c : {Case{size, 1}, Case{size + 10, 1}, Case{size + 11, 0}}) {
        SCOPED_TRACE(c.compressedSize);
        const FrameRun run = RunExplode(trees.stream, trees.flags, 0, c.compressedSize, Bytes(20, 0));
        EXPECT_EQ(run.result, c.result);
        EXPECT_TRUE(run.output.empty());
    }
}

// The data end early (the archive was cut, or the header claims more than
// there is): decoding stops at the last code the input holds, the entry
// fails, and every byte decoded before that point is in the file, not only
// the full 32768-byte windows.
TEST(Explode, InputEndingEarlyKeepsEveryDecodedByte) {
    const Bytes data = SampleText(60000, 81);
    for (const Variant& v : kVariants) {
        const Imploded imploded = ImplodeVariant(data, v);
        // About 40,000 bytes of output are held by the first part of the data.
        const size_t cut = imploded.stream.size() * 2 / 3;
        const Bytes head(imploded.stream.begin(), imploded.stream.begin() + static_cast<long>(cut));
        for (bool archiveEnds : {true, false}) {
            SCOPED_TRACE(testing::Message() << v.label << (archiveEnds ? ", archive ends" : ", size too small"));
            const FrameRun run = archiveEnds
                                     ? RunExplode(head, imploded.flags, static_cast<uint32_t>(data.size()),
                                                  static_cast<int64_t>(imploded.stream.size()))
                                     : RunExplode(imploded.stream, imploded.flags,
                                                  static_cast<uint32_t>(data.size()), static_cast<int64_t>(cut));
            EXPECT_EQ(run.result, 0);
            EXPECT_TRUE(IsPrefixOf(run.output, data));
            EXPECT_GT(run.output.size(), 36000u);
            EXPECT_LT(run.output.size(), 44000u);
        }
    }
}

TEST(Explode, FlippedBytesEndCleanly) {
    const Bytes data = Concat(SampleText(40000, 91), NoiseBytes(10000, 92, 50));
    for (const Variant& v : kVariants) {
        const Imploded imploded = ImplodeVariant(data, v);
        for (uint32_t seed = 1; seed <= 10; ++seed) {
            SCOPED_TRACE(testing::Message() << v.label << " seed " << seed);
            Bytes damaged = imploded.stream;
            const Bytes noise = NoiseBytes(6, seed);
            for (int i = 0; i < 3; ++i) damaged[(noise[2 * i] * 256u + noise[2 * i + 1]) * 7919u % damaged.size()] ^= 0x21;
            const FrameRun run = RunExplode(damaged, imploded.flags, static_cast<uint32_t>(data.size()));
            // The last copy may run past the recorded size, by less than one copy.
            EXPECT_LE(run.output.size(), data.size() + 321);
        }
    }
}

TEST(Explode, StopRequestsAndWriteFailuresFail) {
    const Bytes data = SampleText(100000, 95);
    const Imploded imploded = ImplodeForTest(data);
    {
        SCOPED_TRACE("stop requested");
        g_abortRequested = 1;
        const FrameRun run = RunExplode(imploded.stream, imploded.flags, static_cast<uint32_t>(data.size()));
        g_abortRequested = 0;
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(run.output.empty());
    }
    {
        SCOPED_TRACE("the second window's write comes up short");
        PlatformInjectFault(PlatformFault::kShortWrite, 40000);
        const FrameRun run = RunExplode(imploded.stream, imploded.flags, static_cast<uint32_t>(data.size()));
        PlatformClearFaults();
        const bool failed = g_writeFailed != 0;
        g_writeFailed = 0;
        EXPECT_TRUE(failed);
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(IsPrefixOf(run.output, data));
    }
}

// Out of memory at each allocation in turn: the entry fails, nothing is
// written, nothing leaks (the sanitizer build checks the last part).
TEST(Explode, OutOfMemoryAtEveryAllocation) {
    const Bytes data = SampleText(5000, 97);
    const Imploded imploded = ImplodeForTest(data);
    for (int64_t allowed = 0;; ++allowed) {
        SCOPED_TRACE(allowed);
        InjectAllocFailure(allowed);
        const FrameRun run = RunExplode(imploded.stream, imploded.flags, static_cast<uint32_t>(data.size()));
        InjectAllocFailure(-1);
        if (run.result == 1) {
            EXPECT_TRUE(run.output == data);
            EXPECT_GE(allowed, 5);  // workspace, lengths, three tables at least
            break;
        }
        EXPECT_TRUE(run.output.empty());
        ASSERT_LT(allowed, 100);
    }
}

}  // namespace
}  // namespace arcsalve::test
