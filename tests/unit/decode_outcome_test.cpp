// What DecodeEntry tells a caller that asks for the output check: the CRC-32
// and count of the plain bytes, taken on the way, with or without writing
// them, and the exact length of the compressed stream, which is what an
// intact entry's copy takes from the archive.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>

#include "common/run_flags.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "support/deflate_bits.h"
#include "support/library_state.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"
#include "support/zlib_oracle.h"

namespace arcsalve {
namespace {

using test::Bytes;

Bytes Header(uint16_t method, uint32_t compressed, uint32_t uncompressed) {
    test::EntrySpec e;
    e.name = "";
    e.method = method;
    e.compressedSize = compressed;
    e.uncompressedSize = uncompressed;
    e.crc = 0;
    return test::LocalHeader(e);
}

class DecodeOutcomeTest : public ::testing::Test {
protected:
    void SetUp() override { test::ClearRunFlags(); }
    void TearDown() override { test::ClearRunFlags(); }

    // Decodes `archive` (the entry's data first) as an entry of `method` whose
    // header says `compressed` bytes; into a file unless withoutOutput.
    int Decode(const Bytes& archive, uint16_t method, uint32_t compressed, uint32_t plainSize,
               bool withoutOutput, DecodeOutcome* outcome) {
        test::WriteFile(dir_.File("input.bin"), archive);
        test::OpenedInput input(dir_.File("input.bin"));
        FileHandle output = withoutOutput ? kNoFile : FileCreate(dir_.File("out.bin").c_str());
        char password[40] = {};
        Bytes header = Header(method, compressed, plainSize);
        int result = DecodeEntry(header.data(), output, 0, password, nullptr, outcome);
        if (!withoutOutput) FileClose(output);
        readerPosition_ = ReaderPosition();
        return result;
    }

    test::TempDir dir_;
    uint64_t readerPosition_ = 0;
};

// Deflate streams of every block type, each followed by bytes of the next
// entry that the decoder's bit buffer may read ahead into: the stream length
// is where the stream really ends, whatever the header says and however far
// the decoder read. A stored entry's stream is its compressed size, checked
// over the pieces it is copied in. All with or without writing the output.
TEST_F(DecodeOutcomeTest, StreamLengthAndCheckOfTheOutput) {
    const Bytes text = test::PatternBytes(100000, 11, true);
    const Bytes noise = test::PatternBytes(70000, 12, false);
    struct Case {
        const char* label;
        Bytes plain;
        uint16_t method;
        int level;
        int strategy;
        int32_t headerSlack;  // header's compressed size minus the stream's
    } cases[] = {
        {"dynamic blocks", text, 8, 9, Z_DEFAULT_STRATEGY, 0},
        {"fixed blocks", text, 8, 6, Z_FIXED, 0},
        {"stored blocks", noise, 8, 0, Z_DEFAULT_STRATEGY, 0},
        {"incompressible at level 9", noise, 8, 9, Z_DEFAULT_STRATEGY, 0},
        {"empty", {}, 8, 9, Z_DEFAULT_STRATEGY, 0},
        {"one byte", {'x'}, 8, 1, Z_FIXED, 0},
        {"header says more", text, 8, 9, Z_DEFAULT_STRATEGY, 40},
        {"header says less", text, 8, 9, Z_DEFAULT_STRATEGY, -3},
        {"stored entry, empty", {}, 0, 0, 0, 0},
        {"stored entry, 999 bytes", Bytes(noise.begin(), noise.begin() + 999), 0, 0, 0, 0},
        {"stored entry, 1000 bytes", Bytes(noise.begin(), noise.begin() + 1000), 0, 0, 0, 0},
        {"stored entry, 25001 bytes", Bytes(noise.begin(), noise.begin() + 25001), 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes stream = c.method == 0 ? c.plain : test::ZlibRawDeflate(c.plain, c.level, 9, c.strategy);
        Bytes archive = test::Concat(stream, test::Concat(test::ToBytes("PK\3\4"), test::PatternBytes(60, 13)));
        for (bool withoutOutput : {false, true}) {
            SCOPED_TRACE(withoutOutput ? "without output" : "into a file");
            DecodeOutcome o{};
            uint32_t compressed = static_cast<uint32_t>(static_cast<int64_t>(stream.size()) + c.headerSlack);
            ASSERT_EQ(Decode(archive, c.method, compressed, static_cast<uint32_t>(c.plain.size()), withoutOutput, &o), 1);
            EXPECT_EQ(o.streamLength, static_cast<int64_t>(stream.size()));
            EXPECT_EQ(o.crc, test::ZlibCrc32(c.plain));
            EXPECT_EQ(o.produced, c.plain.size());
            EXPECT_EQ(o.inOrder, 1u);
            if (c.method == 0) {
                EXPECT_EQ(readerPosition_, stream.size());
            }
            if (withoutOutput) {
                EXPECT_FALSE(test::FileExists(dir_.File("out.bin")));
            } else {
                EXPECT_TRUE(test::ReadFile(dir_.File("out.bin")) == c.plain);
                std::remove(dir_.File("out.bin").c_str());
            }
            EXPECT_EQ(g_writeFailed, 0u);
        }
    }
}

// zlib gives the end-of-block symbol one of the longest codes, so its streams
// end exactly where the decoder stops reading. Here it has a 1-bit code
// beside 9-bit literals: the decoder's 9-bit lookup of that last symbol reads
// a byte past the stream, which is not part of it.
TEST_F(DecodeOutcomeTest, ByteReadAheadOfAShortLastCodeIsNotPartOfTheStream) {
    std::vector<uint8_t> literalLengths(257, 9);
    literalLengths[256] = 1;  // 1/2 + 256/512: a complete code
    HuffmanCode literals(literalLengths);
    for (size_t count : {size_t{1}, size_t{2}, size_t{6}, size_t{13}}) {
        SCOPED_TRACE(count);
        BitWriter w;
        PutDynamicHeader(&w, true, literalLengths, {1});
        Bytes plain;
        for (size_t i = 0; i < count; ++i) {
            plain.push_back(static_cast<uint8_t>('a' + i));
            literals.Write(&w, plain.back());
        }
        literals.Write(&w, 256);
        Bytes stream = w.Finish();
        Bytes archive = test::Concat(stream, test::PatternBytes(16, 15, false));
        DecodeOutcome o{};
        ASSERT_EQ(Decode(archive, 8, static_cast<uint32_t>(stream.size()), static_cast<uint32_t>(count), true, &o), 1);
        EXPECT_EQ(o.crc, test::ZlibCrc32(plain));
        EXPECT_EQ(o.streamLength, static_cast<int64_t>(stream.size()));
        EXPECT_EQ(readerPosition_, stream.size() + 1);  // the byte read ahead
    }
}

// A stream cut short decodes partly; the check still describes the bytes
// that came out, so the salvage can tell they are not the recorded ones.
TEST_F(DecodeOutcomeTest, CutStreamDescribesWhatCameOut) {
    Bytes plain = test::PatternBytes(200000, 31, true);
    Bytes stream = test::ZlibRawDeflate(plain, 9, 9, Z_DEFAULT_STRATEGY);
    Bytes cut(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
    DecodeOutcome o{};
    EXPECT_EQ(Decode(cut, 8, static_cast<uint32_t>(stream.size()), 200000, false, &o), 0);
    Bytes out = test::ReadFile(dir_.File("out.bin"));
    EXPECT_GT(out.size(), 0u);
    EXPECT_LT(out.size(), plain.size());
    EXPECT_EQ(o.produced, out.size());
    EXPECT_EQ(o.crc, test::ZlibCrc32(out));
}

}  // namespace
}  // namespace arcsalve
