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

// Length and distance symbols: (symbol, base, extra bits) of RFC 1951 3.2.5.
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
    void Length(uint32_t length) {
        LengthCode l = LengthFor(length);
        lit.Write(w, l.symbol);
        w->Put(length - l.base, static_cast<int>(l.extra));
    }
    void Match(uint32_t length, uint32_t distance) {
        Length(length);
        LengthCode d = DistanceFor(distance);
        dist.Write(w, d.symbol);
        w->Put(distance - d.base, static_cast<int>(d.extra));
    }
    void End() { lit.Write(w, 256); }
};

// The header of a fixed-code block, and a writer for its symbols.
SymbolWriter FixedBlock(BitWriter* w, bool last = true) {
    w->Put(last ? 1 : 0, 1);
    w->Put(1, 2);
    return {w, Fixed(), FixedDistance()};
}

// A stored block holding `data` (at most 65535 bytes); `nlen` overrides the
// complement of the length.
void PutStored(BitWriter* w, const Bytes& data, bool last = false, int nlen = -1) {
    w->Put(last ? 1 : 0, 1);
    w->Put(0, 2);
    w->AlignToByte();
    w->Put(static_cast<uint32_t>(data.size()), 16);
    w->Put(nlen >= 0 ? static_cast<uint32_t>(nlen) : static_cast<uint32_t>(data.size()) ^ 0xFFFF, 16);
    w->PutBytes(data);
}

// The start of a last dynamic block with a code-length code of one's own:
// HLIT, HDIST, HCLEN and the first hclen + 4 code-length code lengths in
// their transmission order.
void PutRawDynamicHeader(BitWriter* w, uint32_t hlit, uint32_t hdist, int hclen, const std::vector<uint8_t>& cl) {
    static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w->Put(1, 1);
    w->Put(2, 2);
    w->Put(hlit, 5);
    w->Put(hdist, 5);
    w->Put(static_cast<uint32_t>(hclen), 4);
    for (int i = 0; i < hclen + 4; ++i) w->Put(cl[kOrder[i]], 3);
}

// 256 nine-bit literals and the given end-of-block (and length 257) lengths;
// no distance codes unless given.
std::vector<uint8_t> NineBitLiterals(const std::vector<uint8_t>& tail) {
    std::vector<uint8_t> l(256 + tail.size(), 9);
    for (size_t i = 0; i < tail.size(); ++i) l[256 + i] = tail[i];
    return l;
}

struct StreamCase {
    std::string label;
    Bytes stream;
    Bytes expected;
};

// Streams that decode in full, each run twice through the frame (nothing
// may be left over from the first run).
TEST_F(InflateStreams, GoodStreams) {
    std::vector<StreamCase> cases;
    cases.push_back({"empty stored block", {0x01, 0x00, 0x00, 0xFF, 0xFF}, {}});
    {
        BitWriter w;
        SymbolWriter s = FixedBlock(&w);
        s.Literals("ab");
        s.Match(7, 2);    // overlapping: ababababa
        s.Match(258, 1);  // symbol 285: 258 bytes, no extra bits
        s.Literals("Z");
        s.Match(3, 11);
        s.End();
        Bytes expected = ToBytes("ababababa");
        expected.insert(expected.end(), 258, 'a');
        expected.push_back('Z');
        for (int i = 0; i < 3; ++i) expected.push_back(expected[expected.size() - 11]);
        cases.push_back({"fixed block, literals and overlapping matches", w.Finish(), expected});
    }
    {
        // The window starts cleared: a distance reaching before the entry's
        // first byte reads zeros, never an earlier entry's bytes.
        BitWriter w;
        SymbolWriter s = FixedBlock(&w);
        s.Literals("x");
        s.Match(4, 32768);
        s.Match(3, 100);
        s.End();
        cases.push_back({"distance before the first byte", w.Finish(), {'x', 0, 0, 0, 0, 0, 0, 0}});
    }
    {
        // HLIT 31 and HDIST 31: 288 literal/length and 32 distance codes;
        // distance codes 30 and 31 decode like 29, and a distance of 32768
        // reaches one full window back.
        Bytes history = PatternBytes(40000, 3);
        std::vector<uint8_t> litLengths(288, 9);                // 256 nine-bit literals: half the code space
        for (int i = 256; i < 288; ++i) litLengths[i] = 6;      // 32 six-bit codes: the other half
        HuffmanCode lit(litLengths), dist(std::vector<uint8_t>(32, 5));
        struct Copy {
            uint32_t code, extraValue, length;
        } copies[] = {{30, 0, 5}, {31, 100, 4}, {30, 8191, 6}, {29, 8191, 3}, {31, 8191, 7}};
        BitWriter w;
        PutStored(&w, history);
        PutDynamicHeader(&w, true, litLengths, dist.lengths);
        SymbolWriter s{&w, lit, dist};
        Bytes expected = history;
        for (const Copy& c : copies) {
            s.Length(c.length);
            dist.Write(&w, c.code);
            w.Put(c.extraValue, 13);
            for (uint32_t i = 0; i < c.length; ++i) expected.push_back(expected[expected.size() - 24577 - c.extraValue]);
        }
        s.Literals("q");
        s.End();
        expected.push_back('q');
        cases.push_back({"all codes and the longest distances", w.Finish(), expected});
    }
    {
        // A code-length sequence opening with a repeat code (16) repeats
        // length 0. Code-length code: 0..13 four bits, 14..17 five. Literal
        // lengths: 0..5 none (16 with extra 3: six zeros), 6..10 seven bits,
        // 11..256 eight bits: 5/128 + 246/256 = 1.
        std::vector<uint8_t> cl(19, 0);
        for (int i = 0; i <= 17; ++i) cl[i] = i <= 13 ? 4 : 5;
        HuffmanCode clCode(cl);
        std::vector<uint8_t> litLengths(257, 0);
        for (int i = 6; i <= 256; ++i) litLengths[i] = i < 11 ? 7 : 8;
        BitWriter w;
        PutRawDynamicHeader(&w, 0, 0, 15, cl);
        clCode.Write(&w, 16);
        w.Put(3, 2);
        for (int i = 6; i <= 256; ++i) clCode.Write(&w, litLengths[i]);
        clCode.Write(&w, 0);  // the one distance length: no distance codes
        HuffmanCode lit(litLengths);
        SymbolWriter{&w, lit, lit}.Literals("leading zeros");
        lit.Write(&w, 256);
        cases.push_back({"leading repeat code repeats zero", w.Finish(), ToBytes("leading zeros")});
    }
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.label);
        for (int round = 0; round < 2; ++round) {
            FrameRun run = InflateThroughFrame(c.stream);
            EXPECT_EQ(run.result, 1);
            EXPECT_EQ(run.output, c.expected);
        }
    }
}

// Streams that fail, with the bytes that must reach the file before the
// failure. Each stream is: a good prefix, then the fault.
TEST_F(InflateStreams, DamageKeepsEverythingDecodedBeforeIt) {
    std::vector<StreamCase> cases;
    const Bytes big = PatternBytes(50000, 11);

    auto fixedWith = [&](const char* label, const Bytes& prefix, auto&& fault, bool last = true) {
        BitWriter w;
        if (!prefix.empty()) PutStored(&w, prefix);
        SymbolWriter s = FixedBlock(&w, last);
        s.Literals("hello");
        fault(&w, &s);
        cases.push_back({label, w.Finish(), Concat(prefix, ToBytes("hello"))});
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
        w.Put(3, 2);
        cases.push_back({"block type 3", w.Finish(), big});
    }
    {
        BitWriter w;
        PutStored(&w, ToBytes("first"));
        PutStored(&w, ToBytes("xxxxx"), true, 5);
        cases.push_back({"stored LEN/NLEN mismatch", w.Finish(), ToBytes("first")});
    }
    {
        // 100 bytes announced, 30 arrive: the 30 are kept, nothing made up.
        Bytes part = PatternBytes(30, 5);
        BitWriter w;
        PutStored(&w, part, true, 100 ^ 0xFFFF);
        Bytes stream = w.Finish();
        stream[1] = 100;
        cases.push_back({"stored block cut short", stream, part});
    }
    // Dynamic blocks; `prefix` goes in a stored block before, `last` is the
    // dynamic block's last-block bit, `body` writes its symbols.
    auto dynamicWith = [&](const char* label, const Bytes& prefix, bool last, std::vector<uint8_t> litLengths,
                           std::vector<uint8_t> distLengths, auto&& body, const std::string& decoded) {
        BitWriter w;
        if (!prefix.empty()) PutStored(&w, prefix);
        PutDynamicHeader(&w, last, litLengths, distLengths);
        HuffmanCode lit(litLengths);
        body(&w, lit);
        cases.push_back({label, w.Finish(), Concat(prefix, ToBytes(decoded))});
    };
    dynamicWith("literal-only dynamic block, then no last block", big, false, NineBitLiterals({1}), {0},
                [](BitWriter* w, const HuffmanCode& lit) {
                    SymbolWriter{w, lit, lit}.Literals("only");
                    lit.Write(w, 256);
                },
                "only");
    dynamicWith("length symbol in a block without distance codes", {}, true, NineBitLiterals({2, 2}), {0},
                [](BitWriter* w, const HuffmanCode& lit) {
                    SymbolWriter{w, lit, lit}.Literals("lit");
                    lit.Write(w, 257);
                    w->Put(0, 10);
                },
                "lit");
    // One 2-bit distance code (code 0: distance 1); its spare patterns fail
    // when met.
    dynamicWith("spare pattern of an incomplete distance code", {}, true, NineBitLiterals({2, 2}), {2},
                [](BitWriter* w, const HuffmanCode& lit) {
                    SymbolWriter{w, lit, lit}.Literals("ab");
                    lit.Write(w, 257);
                    w->PutCode(0, 2);
                    lit.Write(w, 257);
                    w->PutCode(1, 2);
                    w->Put(0, 8);
                },
                "abbbb");
    // An incomplete literal/length code fails at the block header even if no
    // spare pattern would be met.
    std::vector<uint8_t> twoCodes(257, 0);
    twoCodes['a'] = twoCodes[256] = 2;
    dynamicWith("incomplete literal/length code", ToBytes("before"), true, twoCodes, {0},
                [](BitWriter* w, const HuffmanCode& lit) {
                    lit.Write(w, 'a');
                    lit.Write(w, 256);
                },
                "");
    dynamicWith("over-subscribed codes", ToBytes("pre"), true, std::vector<uint8_t>(257, 1), {1},
                [](BitWriter*, const HuffmanCode&) {}, "");
    {
        // Code-length code: 0..7 four bits, 8..15 five, 17 and 18 three:
        // 8/16 + 8/32 + 2/8 = 1. Zero runs of 138 + 138 + 3 pass the 258
        // lengths HLIT and HDIST allow.
        std::vector<uint8_t> cl(19, 0);
        for (int i = 0; i < 16; ++i) cl[i] = i < 8 ? 4 : 5;
        cl[17] = cl[18] = 3;
        HuffmanCode clCode(cl);
        BitWriter w;
        PutStored(&w, ToBytes("kept"));
        PutRawDynamicHeader(&w, 0, 0, 15, cl);
        clCode.Write(&w, 18);
        w.Put(127, 7);
        clCode.Write(&w, 18);
        w.Put(127, 7);
        clCode.Write(&w, 17);
        w.Put(0, 3);
        w.Put(0, 16);
        cases.push_back({"code-length run past the end", w.Finish(), ToBytes("kept")});
    }
    {
        // A code-length code of a single 1-bit code (symbol 18 is "0"): the
        // pattern "1" is spare, and meeting it is a data error.
        BitWriter w;
        PutStored(&w, ToBytes("one"));
        std::vector<uint8_t> cl(19, 0);
        cl[18] = 1;
        PutRawDynamicHeader(&w, 0, 0, 0, cl);
        w.Put(0xFF, 8);
        w.Put(0, 16);
        cases.push_back({"spare pattern of the code-length code", w.Finish(), ToBytes("one")});
    }

    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.label);
        FrameRun run = InflateThroughFrame(c.stream);
        EXPECT_EQ(run.result, 0);
        ASSERT_EQ(run.output.size(), c.expected.size());
        EXPECT_TRUE(run.output == c.expected);
    }
}

// A stream that ends exactly at the end of the archive, with its last symbol
// in the last byte, decodes in full even though the bit buffer's read-ahead
// (9 bits for a 1-bit end-of-block code) finds nothing more to read. One
// byte short, the end-of-block code is incomplete.
TEST_F(InflateStreams, LastSymbolInTheArchivesLastByte) {
    HuffmanCode lit(NineBitLiterals({1}));
    for (int count = 0; count < 8; ++count) {
        SCOPED_TRACE(testing::Message() << "literals before the end: " << count);
        BitWriter w;
        PutDynamicHeader(&w, true, lit.lengths, {0});
        std::string text(static_cast<size_t>(count), 'k');
        SymbolWriter{&w, lit, lit}.Literals(text);
        lit.Write(&w, 256);
        Bytes stream = w.Finish();
        FrameRun run = InflateThroughFrame(stream);
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(run.output, ToBytes(text));
        stream.pop_back();
        EXPECT_EQ(InflateThroughFrame(stream).result, 0);
    }
}

// The 10-byte allowance: a stream whose recorded compressed size is too small
// still decodes when the rest of it follows in the archive, as far as the
// allowance reaches.
TEST_F(InflateStreams, CompressedSizeTooSmallByLessThanTheAllowance) {
    BitWriter w;
    PutStored(&w, ToBytes("stored part"), true);
    Bytes stream = w.Finish();
    FrameRun run = InflateThroughFrame(stream, static_cast<int64_t>(stream.size()) - 8);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, ToBytes("stored part"));
    run = InflateThroughFrame(stream, static_cast<int64_t>(stream.size()) - 11);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, ToBytes("stored par"));
}

TEST_F(InflateStreams, RunFlagsStopBetweenBlocks) {
    BitWriter w;
    for (int i = 0; i < 3; ++i) PutStored(&w, PatternBytes(40000, static_cast<uint32_t>(i)), i == 2);
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
    PutStored(&w, ToBytes("ok "));
    SymbolWriter s = FixedBlock(&w);
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
        EXPECT_EQ(run.output, succeeded ? ToBytes("ok fixed") : allowed == 0 ? Bytes() : ToBytes("ok "));
    }
    EXPECT_TRUE(succeeded);
}

}  // namespace
}  // namespace arcsalve::test
