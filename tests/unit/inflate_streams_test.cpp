// Inflate on hand-assembled streams: the cases no ordinary encoder writes,
// the leniencies kept for old archivers, and damage at known places.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/run_flags.h"
#include "decode/decode_testing.h"
#include "platform/platform_testing.h"
#include "support/deflate_bits.h"
#include "support/frame_harness.h"
#include "support/library_state.h"

namespace arcsalve::test {
namespace {

class InflateStreams : public ::testing::Test {
protected:
    void SetUp() override { ClearRunFlags(); }
    void TearDown() override {
        InjectAllocFailure(-1);
        ClearRunFlags();
    }
};

const HuffmanCode& Fixed() {
    static const HuffmanCode code = FixedLiteralCode();
    return code;
}
const HuffmanCode& FixedDistance() {
    static const HuffmanCode code = FixedDistanceCode();
    return code;
}

// Length symbols: (symbol, base, extra bits) of RFC 1951 3.2.5.
struct LengthCode {
    uint32_t symbol, base, extra;
};
LengthCode LengthFor(uint32_t length) {
    static const uint16_t base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    int i = 28;
    while (base[i] > length) --i;
    return {257u + i, base[i], extra[i]};
}
LengthCode DistanceFor(uint32_t distance) {
    static const uint16_t base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                      193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const uint8_t extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    int i = 29;
    while (base[i] > distance) --i;
    return {static_cast<uint32_t>(i), base[i], extra[i]};
}

// Writes literals and matches with a given pair of codes.
struct SymbolWriter {
    BitWriter* w;
    const HuffmanCode& lit;
    const HuffmanCode& dist;
    void Literals(const std::string& text) {
        for (unsigned char c : text) lit.Write(w, c);
    }
    void Match(uint32_t length, uint32_t distance) {
        LengthCode l = LengthFor(length);
        lit.Write(w, l.symbol);
        w->Put(length - l.base, static_cast<int>(l.extra));
        LengthCode d = DistanceFor(distance);
        dist.Write(w, d.symbol);
        w->Put(distance - d.base, static_cast<int>(d.extra));
    }
    void End() { lit.Write(w, 256); }
};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Noise(size_t size, uint32_t seed) { return PatternBytes(size, seed, false); }

// A non-last stored block holding `data` (at most 65535 bytes).
void PutStored(BitWriter* w, const Bytes& data, bool last = false) {
    w->Put(last ? 1 : 0, 1);
    w->Put(0, 2);
    w->AlignToByte();
    w->Put(static_cast<uint32_t>(data.size()), 16);
    w->Put(static_cast<uint32_t>(data.size()) ^ 0xFFFF, 16);
    w->PutBytes(data);
}

TEST_F(InflateStreams, EmptyStoredBlockGivesEmptyFile) {
    FrameRun run = InflateThroughFrame({0x01, 0x00, 0x00, 0xFF, 0xFF});
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.output.empty());
}

TEST_F(InflateStreams, FixedBlockWithLiteralsAndOverlappingMatches) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    SymbolWriter s{&w, Fixed(), FixedDistance()};
    s.Literals("ab");
    s.Match(7, 2);      // overlapping: ababababa
    s.Match(258, 1);    // symbol 285: 258 bytes, no extra bits
    s.Literals("Z");
    s.Match(3, 11);
    s.End();
    Bytes expected = Text("ababababa");
    expected.insert(expected.end(), 258, 'a');
    expected.push_back('Z');
    for (int i = 0; i < 3; ++i) expected.push_back(expected[expected.size() - 11]);
    FrameRun run = InflateThroughFrame(w.Finish());
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);
}

// HLIT 31 and HDIST 31: 288 literal/length and 32 distance codes; distance
// codes 30 and 31 decode like 29, and a distance of 32768 reaches one full
// window back.
TEST_F(InflateStreams, DynamicBlockWithAllCodesAndTheLongestDistances) {
    Bytes history = Noise(40000, 3);
    std::vector<uint8_t> litLengths(288, 9);  // 256 nine-bit literals: half the code space
    for (int i = 256; i < 288; ++i) litLengths[i] = 6;  // 32 six-bit codes: the other half
    std::vector<uint8_t> distLengths(32, 5);
    HuffmanCode lit(litLengths), dist(distLengths);

    struct Copy {
        uint32_t code, extraValue, length;
    } copies[] = {{30, 0, 5}, {31, 100, 4}, {30, 8191, 6}, {29, 8191, 3}, {31, 8191, 7}};
    BitWriter w;
    PutStored(&w, history);
    PutDynamicHeader(&w, true, litLengths, distLengths);
    Bytes expected = history;
    for (const Copy& c : copies) {
        LengthCode l = LengthFor(c.length);
        lit.Write(&w, l.symbol);
        w.Put(c.length - l.base, static_cast<int>(l.extra));
        dist.Write(&w, c.code);
        w.Put(c.extraValue, 13);
        uint32_t distance = 24577 + c.extraValue;
        for (uint32_t i = 0; i < c.length; ++i) expected.push_back(expected[expected.size() - distance]);
    }
    lit.Write(&w, 'q');
    lit.Write(&w, 256);
    expected.push_back('q');
    FrameRun run = InflateThroughFrame(w.Finish());
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);
}

// A distance reaching before the entry's first byte reads zeros: the window
// starts cleared, so the output never depends on an earlier entry.
TEST_F(InflateStreams, DistanceBeforeTheFirstByteReadsZeros) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    SymbolWriter s{&w, Fixed(), FixedDistance()};
    s.Literals("x");
    s.Match(4, 32768);
    s.Match(3, 100);
    s.End();
    Bytes expected{'x', 0, 0, 0, 0, 0, 0, 0};
    for (int round = 0; round < 2; ++round) {  // the same twice: nothing left over
        FrameRun run = InflateThroughFrame(w.Finish());
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(run.output, expected);
    }
}

// A code-length sequence that opens with a repeat code (16) repeats length 0.
TEST_F(InflateStreams, LeadingRepeatCodeRepeatsZero) {
    // Code-length code: symbols 0..13 four bits, 14..17 five bits (complete).
    std::vector<uint8_t> cl(19, 0);
    for (int i = 0; i <= 13; ++i) cl[i] = 4;
    for (int i = 14; i <= 17; ++i) cl[i] = 5;
    HuffmanCode clCode(cl);
    static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

    // Literal/length lengths: symbols 0..5 none (the leading 16 with extra
    // value 3 repeats "length 0" six times), then 6..10 seven bits and
    // 11..256 eight bits: 5/128 + 246/256 = 1, a complete code.
    std::vector<uint8_t> litLengths(257, 0);
    for (int i = 6; i <= 256; ++i) litLengths[i] = i < 11 ? 7 : 8;
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(0, 5);   // HLIT: 257
    w.Put(0, 5);   // HDIST: 1
    w.Put(15, 4);  // HCLEN: 19
    for (int i = 0; i < 19; ++i) w.Put(cl[kOrder[i]], 3);
    clCode.Write(&w, 16);  // first symbol: repeat "the last length" 6 times
    w.Put(3, 2);
    for (int i = 6; i <= 256; ++i) clCode.Write(&w, litLengths[i]);
    clCode.Write(&w, 0);  // the one distance length: 0, no distance codes
    HuffmanCode lit(litLengths);
    for (char c : std::string("leading zeros")) lit.Write(&w, static_cast<uint8_t>(c));
    lit.Write(&w, 256);
    FrameRun run = InflateThroughFrame(w.Finish());
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, Text("leading zeros"));
}

// Streams that fail, with the bytes that must reach the file before the
// failure. Each stream is: a good prefix, then the fault.
TEST_F(InflateStreams, DamageKeepsEverythingDecodedBeforeIt) {
    struct Case {
        const char* label;
        Bytes stream;
        Bytes expected;
    };
    std::vector<Case> cases;
    Bytes big = Noise(50000, 11);

    auto fixedWith = [&](const char* label, const Bytes& prefix, auto&& fault, bool last = true) {
        BitWriter w;
        if (!prefix.empty()) PutStored(&w, prefix);
        w.Put(last ? 1 : 0, 1);
        w.Put(1, 2);
        SymbolWriter s{&w, Fixed(), FixedDistance()};
        s.Literals("hello");
        fault(&w, &s);
        Bytes expected = prefix;
        expected.insert(expected.end(), {'h', 'e', 'l', 'l', 'o'});
        cases.push_back({label, w.Finish(), expected});
    };
    fixedWith("symbol 286 in a fixed block", big, [](BitWriter* w, SymbolWriter*) { Fixed().Write(w, 286); });
    fixedWith("symbol 287 in a fixed block", {}, [](BitWriter* w, SymbolWriter*) { Fixed().Write(w, 287); });
    fixedWith("distance code 30 in a fixed block", big, [](BitWriter* w, SymbolWriter*) {
        Fixed().Write(w, 257);
        FixedDistance().Write(w, 30);
    });
    fixedWith("no last block", big, [](BitWriter*, SymbolWriter* s) { s->End(); }, false);
    fixedWith("stream cut inside a symbol", {}, [](BitWriter* w, SymbolWriter*) { w->Put(0x5, 3); });
    {
        BitWriter w;
        PutStored(&w, big);
        w.Put(1, 1);
        w.Put(3, 2);  // block type 3
        cases.push_back({"block type 3", w.Finish(), big});
    }
    {
        BitWriter w;
        PutStored(&w, Text("first"));
        w.Put(1, 1);
        w.Put(0, 2);
        w.AlignToByte();
        w.Put(5, 16);
        w.Put(5, 16);  // NLEN is not ~LEN
        w.PutBytes(Text("xxxxx"));
        cases.push_back({"stored LEN/NLEN mismatch", w.Finish(), Text("first")});
    }
    {
        // A stored block announcing 100 bytes of which 30 arrive: the 30 are
        // kept, nothing is made up for the rest.
        BitWriter w;
        w.Put(1, 1);
        w.Put(0, 2);
        w.AlignToByte();
        w.Put(100, 16);
        w.Put(100 ^ 0xFFFF, 16);
        Bytes part = Noise(30, 5);
        w.PutBytes(part);
        cases.push_back({"stored block cut short", w.Finish(), part});
    }
    {
        // Literal-only dynamic block: all distance lengths 0. Literals decode,
        // the first length symbol fails.
        std::vector<uint8_t> litLengths(257, 0);
        for (int i = 0; i < 256; ++i) litLengths[i] = 9;
        litLengths[256] = 1;
        std::vector<uint8_t> distLengths(1, 0);
        BitWriter w;
        PutStored(&w, big);
        PutDynamicHeader(&w, false, litLengths, distLengths);
        HuffmanCode lit(litLengths);
        for (char c : std::string("only")) lit.Write(&w, static_cast<uint8_t>(c));
        Bytes expected = big;
        expected.insert(expected.end(), {'o', 'n', 'l', 'y'});
        lit.Write(&w, 256);
        cases.push_back({"literal-only dynamic block, then no last block", w.Finish(), expected});
    }
    {
        std::vector<uint8_t> litLengths(258, 0);
        for (int i = 0; i < 256; ++i) litLengths[i] = 9;
        litLengths[256] = 2;
        litLengths[257] = 2;
        std::vector<uint8_t> distLengths(1, 0);
        BitWriter w;
        PutDynamicHeader(&w, true, litLengths, distLengths);
        HuffmanCode lit(litLengths);
        for (char c : std::string("lit")) lit.Write(&w, static_cast<uint8_t>(c));
        lit.Write(&w, 257);
        w.Put(0, 10);
        cases.push_back({"length symbol in a block without distance codes", w.Finish(), Text("lit")});
    }
    {
        // Incomplete distance code: one 2-bit code (distance code 0); its
        // spare patterns fail when met.
        std::vector<uint8_t> litLengths(258, 0);
        for (int i = 0; i < 256; ++i) litLengths[i] = 9;
        litLengths[256] = 2;
        litLengths[257] = 2;
        std::vector<uint8_t> distLengths{2};
        HuffmanCode lit(litLengths);
        BitWriter w;
        PutDynamicHeader(&w, true, litLengths, distLengths);
        for (char c : std::string("ab")) lit.Write(&w, static_cast<uint8_t>(c));
        lit.Write(&w, 257);
        w.PutCode(0, 2);  // distance code 0: distance 1
        lit.Write(&w, 257);
        w.PutCode(1, 2);  // spare pattern
        w.Put(0, 8);
        cases.push_back({"spare pattern of an incomplete distance code", w.Finish(), Text("abbbb")});
    }
    {
        // Incomplete literal/length code: the block fails at its header even
        // if no spare pattern would be met.
        std::vector<uint8_t> litLengths(257, 0);
        litLengths['a'] = 2;
        litLengths[256] = 2;
        std::vector<uint8_t> distLengths(1, 0);
        BitWriter w;
        PutStored(&w, Text("before"));
        PutDynamicHeader(&w, true, litLengths, distLengths);
        HuffmanCode lit(litLengths);
        lit.Write(&w, 'a');
        lit.Write(&w, 256);
        cases.push_back({"incomplete literal/length code", w.Finish(), Text("before")});
    }
    {
        // A zero run that goes past HLIT + HDIST lengths.
        BitWriter w;
        PutStored(&w, Text("kept"));
        w.Put(1, 1);
        w.Put(2, 2);
        w.Put(0, 5);
        w.Put(0, 5);
        w.Put(15, 4);
        // Code-length code: 0..7 four bits, 8..15 five bits, 17 and 18
        // three bits: 8/16 + 8/32 + 2/8 = 1.
        std::vector<uint8_t> cl(19, 0);
        for (int i = 0; i < 16; ++i) cl[i] = i < 8 ? 4 : 5;
        cl[17] = cl[18] = 3;
        static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        for (int i = 0; i < 19; ++i) w.Put(cl[kOrder[i]], 3);
        HuffmanCode clCode(cl);
        clCode.Write(&w, 18);
        w.Put(127, 7);  // 138 zeros
        clCode.Write(&w, 18);
        w.Put(127, 7);  // 276
        clCode.Write(&w, 17);
        w.Put(0, 3);    // 279 of 258 allowed
        w.Put(0, 16);
        cases.push_back({"code-length run past the end", w.Finish(), Text("kept")});
    }
    {
        // Code-length code of a single 1-bit code: its other pattern is
        // spare, and meeting it is a data error.
        BitWriter w;
        PutStored(&w, Text("one"));
        w.Put(1, 1);
        w.Put(2, 2);
        w.Put(0, 5);
        w.Put(0, 5);
        w.Put(0, 4);         // HCLEN: 4 lengths (16, 17, 18, 0)
        w.Put(0, 3);
        w.Put(0, 3);
        w.Put(1, 3);         // symbol 18 has the one code, "0"
        w.Put(0, 3);
        w.Put(0xFF, 8);      // pattern 1: spare
        w.Put(0, 16);
        cases.push_back({"spare pattern of the code-length code", w.Finish(), Text("one")});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FrameRun run = InflateThroughFrame(c.stream);
        EXPECT_EQ(run.result, 0);
        ASSERT_EQ(run.output.size(), c.expected.size());
        EXPECT_TRUE(run.output == c.expected);
    }
}

// The block result codes for a bad header: over-subscribed codes.
TEST_F(InflateStreams, OversubscribedCodesFail) {
    std::vector<uint8_t> litLengths(257, 1);  // 257 one-bit codes
    std::vector<uint8_t> distLengths(1, 1);
    BitWriter w;
    PutStored(&w, Text("pre"));
    PutDynamicHeader(&w, true, litLengths, distLengths);
    FrameRun run = InflateThroughFrame(w.Finish());
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, Text("pre"));
}

// A stream that ends exactly at the end of the archive, with its last symbol
// in the last byte, decodes in full even though the bit buffer's read-ahead
// (9 bits for a 1-bit end-of-block code) finds nothing more to read.
TEST_F(InflateStreams, LastSymbolInTheArchivesLastByte) {
    std::vector<uint8_t> litLengths(257, 9);
    litLengths[256] = 1;
    HuffmanCode lit(litLengths);
    for (int count = 0; count < 8; ++count) {
        SCOPED_TRACE(testing::Message() << "literals before the end: " << count);
        BitWriter w;
        PutDynamicHeader(&w, true, litLengths, std::vector<uint8_t>(1, 0));
        std::string text(static_cast<size_t>(count), 'k');
        for (char c : text) lit.Write(&w, static_cast<uint8_t>(c));
        lit.Write(&w, 256);
        Bytes stream = w.Finish();
        // Nothing follows the stream in the archive, and the compressed size
        // covers it exactly.
        FrameRun run = InflateThroughFrame(stream);
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(run.output, Text(text));
        // One byte short: the end-of-block code is incomplete.
        stream.pop_back();
        run = InflateThroughFrame(stream);
        EXPECT_EQ(run.result, 0);
    }
}

// The 10-byte allowance: a stream whose recorded compressed size is too small
// still decodes when the rest of it follows in the archive, as far as the
// allowance reaches.
TEST_F(InflateStreams, CompressedSizeTooSmallByLessThanTheAllowance) {
    BitWriter w;
    PutStored(&w, Text("stored part"), true);
    Bytes stream = w.Finish();
    FrameRun run = InflateThroughFrame(stream, static_cast<int64_t>(stream.size()) - 8);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, Text("stored part"));
    run = InflateThroughFrame(stream, static_cast<int64_t>(stream.size()) - 11);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, Text("stored par"));
}

TEST_F(InflateStreams, RunFlagsStopBetweenBlocks) {
    BitWriter w;
    for (int i = 0; i < 3; ++i) PutStored(&w, Noise(40000, static_cast<uint32_t>(i)), i == 2);
    Bytes stream = w.Finish();

    g_abortRequested = 1;
    FrameRun run = InflateThroughFrame(stream);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output.empty());
    ClearRunFlags();

    // A short write while the first block is flushed: the block runs to its
    // end, the next one never starts.
    PlatformInjectFault(PlatformFault::kShortWrite, 1000);
    run = InflateThroughFrame(stream);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(g_writeFailed, 1u);
    EXPECT_LT(run.consumed, 80000);
}

TEST_F(InflateStreams, OutOfMemoryFailsCleanly) {
    BitWriter w;
    PutStored(&w, Text("ok "));
    w.Put(1, 1);
    w.Put(1, 2);
    SymbolWriter s{&w, Fixed(), FixedDistance()};
    s.Literals("fixed");
    s.End();
    Bytes stream = w.Finish();
    // Allocations: workspace, length list, literal table blocks, distance table.
    bool succeeded = false;
    for (int allowed = 0; allowed < 300 && !succeeded; ++allowed) {
        SCOPED_TRACE(testing::Message() << "allocations allowed: " << allowed);
        InjectAllocFailure(allowed);
        FrameRun run = InflateThroughFrame(stream);
        InjectAllocFailure(-1);
        succeeded = run.result == 1;
        EXPECT_EQ(run.output, succeeded ? Text("ok fixed") : allowed == 0 ? Bytes() : Text("ok "));
    }
    EXPECT_TRUE(succeeded);
}

}  // namespace
}  // namespace arcsalve::test
