// Entries whose sizes follow their data in a data descriptor, salvaged with
// REPAIR_TRAILING_DESCRIPTORS: the descriptor's four shapes, where stored data
// ends (and where it must not), where the reader stands after a deflate
// stream, the verdicts the descriptor drives, damaged and hostile data, and
// the classic result without the flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "common/data_descriptor.h"
#include "common/little_endian.h"
#include "common/zip_format.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "support/library_state.h"
#include "support/repair_run.h"
#include "support/scan_fixture.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"
#include "support/zipcrypto_writer.h"
#include "support/zlib_oracle.h"
#include "ui/password_prompt.h"

namespace arcsalve {
namespace {

using test::Bytes;
using test::Concat;
using test::ToBytes;

void Put32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(Bytes* out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}

struct Shape {
    const char* label;
    bool signature;
    bool zip64;
};
const Shape kShapes[] = {
    {"signature, 32-bit", true, false},
    {"signature, Zip64", true, true},
    {"no signature, 32-bit", false, false},
    {"no signature, Zip64", false, true},
};
const Shape& kSig32 = kShapes[0];
const Shape& kSig64 = kShapes[1];
const Shape& kBare32 = kShapes[2];

Bytes Descriptor(uint32_t crc, uint64_t compressed, uint64_t uncompressed, const Shape& shape) {
    Bytes out;
    if (shape.signature) Put32(&out, 0x08074B50);
    Put32(&out, crc);
    if (shape.zip64) {
        Put64(&out, compressed);
        Put64(&out, uncompressed);
    } else {
        Put32(&out, static_cast<uint32_t>(compressed));
        Put32(&out, static_cast<uint32_t>(uncompressed));
    }
    return out;
}

// A streamed entry as a writer to a pipe leaves it: flag bit 3, CRC-32 and
// sizes 0 in the local header; `data` is the data as stored (compressed).
test::EntrySpec StreamedSpec(const std::string& name, const Bytes& data, uint16_t method) {
    test::EntrySpec e;
    e.name = name;
    e.data = data;
    e.method = method;
    e.flags = kFlagDataDescriptor;
    e.crc = 0;
    e.compressedSize = 0;
    e.uncompressedSize = 0;
    return e;
}

// Local header, data and descriptor of a streamed entry holding `plain`.
Bytes StreamedEntry(const std::string& name, const Bytes& plain, uint16_t method, const Shape& shape) {
    Bytes data = method == 8 ? test::ZlibRawDeflate(plain, 6) : plain;
    Bytes out = test::LocalHeader(StreamedSpec(name, data, method));
    out.insert(out.end(), data.begin(), data.end());
    Bytes d = Descriptor(test::ZlibCrc32(plain), data.size(), plain.size(), shape);
    out.insert(out.end(), d.begin(), d.end());
    return out;
}

// The entry that follows in most archives below: found only when the scan
// resumes right after the streamed entry's descriptor (or before it).
const Bytes kNext = ToBytes("next!");
Bytes NextEntry() { return test::ZipBuilder().Stored("next.txt", kNext).bytes(); }

// Filler without "P", so that nothing in it looks like a signature.
Bytes Filler(size_t size, uint32_t seed) {
    Bytes b = test::PatternBytes(size, seed);
    std::replace(b.begin(), b.end(), uint8_t{'P'}, uint8_t{'Q'});
    return b;
}

class StreamedEntries : public test::ScanFixture {
protected:
    // These tests run with trailing descriptors read unless they say not.
    test::ScanOutcome Run(const Bytes& input, unsigned long flags = REPAIR_TRAILING_DESCRIPTORS) {
        return ScanFixture::Run(input, flags);
    }
    // The entry lines between "Beginning salvage operations..." and the summary.
    static std::vector<std::string> EntryLines(const test::ScanOutcome& run) {
        std::vector<std::string> out;
        for (const test::Message& m : EntryMessages(run)) out.push_back(m.text);
        return out;
    }
    // The rebuilt archive's entries, checked by Python and unzip.
    std::vector<Bytes> Saved() {
        std::vector<Bytes> data;
        for (const test::OracleEntry& e : ValidListing().entries) data.push_back(e.data);
        return data;
    }
};

// --- The descriptor's shapes ---------------------------------------------------

TEST(DataDescriptorShapes, EachShapeIsReadByTheMeasuredSize) {
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.label);
        Bytes d = Descriptor(0xCAFEF00D, 1000, 2345, shape);
        d.insert(d.end(), 8, 0xEE);  // whatever follows it
        DataDescriptor out{};
        ASSERT_EQ(MatchDataDescriptor(d.data(), d.size(), 1000, 2345, &out), 1);
        EXPECT_EQ(out.crc, 0xCAFEF00Du);
        EXPECT_EQ(out.compressedSize, 1000u);
        EXPECT_EQ(out.uncompressedSize, 2345u);
        EXPECT_EQ(out.length, (shape.signature ? 4 : 0) + (shape.zip64 ? 20 : 12));
        EXPECT_EQ(MatchDataDescriptor(d.data(), d.size(), 1001, 2345, &out), 0) << "size differs";
        // Cut short of its last byte: the shape does not fit (another may).
        EXPECT_FALSE(MatchDataDescriptor(d.data(), static_cast<size_t>(out.length) - 1, 1000, 2345, &out) &&
                     out.length == (shape.signature ? 4 : 0) + (shape.zip64 ? 20 : 12));
    }
}

// A 32-bit record whose uncompressed size is 0 reads as a Zip64 record's
// compressed size too: the expected size decides, else the 32-bit shape.
TEST(DataDescriptorShapes, WidthTieGoesByTheExpectedSize) {
    struct Case {
        const char* label;
        Bytes bytes;
        uint64_t compressed, expected;
        int length;
    } cases[] = {
        {"empty entry, 32-bit, next header after it",
         Concat(Descriptor(0, 0, 0, kSig32), ToBytes("PK\x03\x04\x14\x00\x08\x00")), 0, 0, 16},
        {"Zip64 record of 40 bytes", Descriptor(7, 40, 40, kSig64), 40, 40, 24},
        {"Zip64 record of an empty entry: 32-bit read fits and is taken", Descriptor(0, 0, 0, kSig64), 0, 0, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DataDescriptor out{};
        ASSERT_EQ(MatchDataDescriptor(c.bytes.data(), c.bytes.size(), c.compressed, c.expected, &out), 1);
        EXPECT_EQ(out.length, c.length);
    }
}

// --- Stored and deflated entries, every shape -------------------------------------

// Each shape ends the data, and the scan goes on right after it: for data
// that deflates well, for empty entries (directories, empty files), and for
// stored data holding what only looks like an end: a descriptor signature, a
// local header that validates, a descriptor whose size fits but whose CRC-32
// does not (with and without signature), and a CRC-32 that fits with a
// wrong size.
TEST_F(StreamedEntries, EveryShapeEndsTheDataAndTheScanGoesOnAfterIt) {
    Bytes trap = Filler(300, 1);
    Put32(&trap, 0x08074B50);  // a lone signature
    trap = Concat(trap, Filler(100, 2));
    trap = Concat(trap, test::ZipBuilder().Stored("inner.txt", ToBytes("inner")).bytes());
    trap = Concat(trap, Filler(100, 3));
    uint32_t at = static_cast<uint32_t>(trap.size());
    trap = Concat(trap, Descriptor(0x12345678, at, at, kSig32));  // size fits, CRC does not
    at = static_cast<uint32_t>(trap.size());
    trap = Concat(trap, Descriptor(0x9ABCDEF0, at, at, kBare32));
    at = static_cast<uint32_t>(trap.size());
    trap = Concat(trap, Descriptor(test::ZlibCrc32(trap), at + 1, at, kSig32));
    trap = Concat(trap, Filler(500, 4));
    struct Case {
        const char* label;
        Bytes plain;
        std::vector<uint16_t> methods;
    } cases[] = {
        {"compressible", test::PatternBytes(70000, 11, true), {0, 8}},
        {"empty", {}, {0, 8}},
        {"stored data that only looks like an end", trap, {0}},
    };
    for (const Case& c : cases) {
        for (uint16_t method : c.methods) {
            for (const Shape& shape : kShapes) {
                SCOPED_TRACE(std::string(c.label) + ", " + shape.label + (method ? ", deflated" : ", stored"));
                test::ScanOutcome run = Run(Concat(StreamedEntry("a.bin", c.plain, method, shape), NextEntry()));
                EXPECT_EQ(EntryLines(run),
                          (std::vector<std::string>{"    a.bin: size = " + std::to_string(c.plain.size()) + ":  OK",
                                                    "    next.txt: size = 5:  OK"}))
                    << run.Dump();
                EXPECT_EQ(Saved(), (std::vector<Bytes>{c.plain, kNext}));
            }
        }
    }
}

// --- Verdicts ---------------------------------------------------------------------

// The descriptor's CRC-32 and size stand in for the header's zeros. Stored
// data whose descriptor never proves itself keeps its bytes up to the next
// local header that validates, or to the end of the input.
TEST_F(StreamedEntries, DescriptorJudgesTheEntry) {
    const Bytes plain = Filler(4000, 5);
    const Bytes deflated = test::ZlibRawDeflate(plain, 6);
    auto entry = [&](uint16_t method, const Bytes& data, uint32_t crc, uint32_t size) {
        Bytes out = Concat(test::LocalHeader(StreamedSpec("x.bin", data, method)), data);
        return Concat(Concat(out, Descriptor(crc, data.size(), size, kSig32)), NextEntry());
    };
    Bytes flipped = plain;
    flipped[1234] ^= 0x40;
    const uint32_t crc = test::ZlibCrc32(plain);
    char crcLine[120];
    std::snprintf(crcLine, sizeof crcLine, "ERROR: File x.bin is corrupt.  CRC is %08X, should be %08X",
                  test::ZlibCrc32(flipped), crc);
    const Bytes head = Concat(test::LocalHeader(StreamedSpec("x.bin", plain, 0)), plain);
    const Bytes pk34 = Concat(Bytes{'P', 'K', 3, 4}, Bytes(26, 0));
    const std::string next = "    next.txt: size = 5:  OK";
    // 16 zero bytes read as a descriptor of no data whose CRC-32 (0) fits;
    // what follows it is no record, so it does not end the entry.
    const Bytes zeroed = Concat(Bytes(16, 0), plain);
    struct Case {
        const char* label;
        Bytes input;
        std::vector<std::string> lines;  // a line "" stands for any CRC error of x.bin
        int partial;
        std::vector<Bytes> saved;
    } cases[] = {
        {"stored, a byte flipped: the descriptor's size still ends it", entry(0, flipped, crc, 4000),
         {crcLine, next}, 1, {flipped, kNext}},
        {"stored, data starting with zero bytes is not cut empty",
         entry(0, zeroed, test::ZlibCrc32(zeroed), 4016), {"    x.bin: size = 4016:  OK", next}, 0, {zeroed, kNext}},
        {"deflated, descriptor's size differs", entry(8, deflated, crc, 4100),
         {"WARNING: Size of x.bin is 4000, should be 4100", next}, 1, {plain, kNext}},
        {"deflated, descriptor's CRC-32 differs", entry(8, deflated, crc ^ 1, 4000), {"", next}, 1, {plain, kNext}},
        {"deflated, no descriptor after a complete stream: kept as decoded, unverified",
         Concat(Concat(test::LocalHeader(StreamedSpec("x.bin", deflated, 8)), deflated), NextEntry()),
         {"WARNING: x.bin (size = 4000) could not be verified: no CRC-32 was found to check it against", next}, 0, {plain, kNext}},
        {"stored, no descriptor, next header follows", Concat(head, NextEntry()),
         {"ERROR: File x.bin is corrupt.  Salvaged 4000 of 0", next}, 1, {plain, kNext}},
        {"stored, no descriptor, input ends", head, {"ERROR: File x.bin is corrupt.  Salvaged 4000 of 0"}, 1, {plain}},
        {"stored, input ends inside the descriptor", Concat(head, Bytes{'P', 'K', 7, 8, 1, 2}),
         {"ERROR: File x.bin is corrupt.  Salvaged 4006 of 0"}, 1, {Concat(plain, Bytes{'P', 'K', 7, 8, 1, 2})}},
        {"stored, a rejected header (name length 0) does not end it", Concat(Concat(head, pk34), NextEntry()),
         {"ERROR: File x.bin is corrupt.  Salvaged 4030 of 0", next}, 1, {Concat(plain, pk34), kNext}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScanOutcome run = Run(c.input);
        std::vector<std::string> lines = EntryLines(run);
        ASSERT_EQ(lines.size(), c.lines.size()) << run.Dump();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (c.lines[i].empty()) {
                EXPECT_EQ(lines[i].rfind("ERROR: File x.bin is corrupt.  CRC is ", 0), 0u) << lines[i];
            } else {
                EXPECT_EQ(lines[i], c.lines[i]);
            }
        }
        EXPECT_EQ(run.counters.partiallyRecoverable, c.partial);
        EXPECT_EQ(Saved(), c.saved);
    }
}

// A damaged deflate stream may be decoded past the next entry's header before
// the error shows: that header is still found.
TEST_F(StreamedEntries, DamagedDeflateStreamDoesNotSwallowTheNextEntry) {
    // A stored block announcing 8192 bytes, of which only 100 are there.
    Bytes stream = {0x00, 0x00, 0x20, 0xFF, 0xDF};
    Bytes data = Filler(100, 7);
    stream = Concat(stream, data);
    Bytes input = Concat(test::LocalHeader(StreamedSpec("x.bin", stream, 8)), stream);
    input = Concat(input, Descriptor(0, stream.size(), 8192, kSig32));
    input = Concat(input, NextEntry());
    input = Concat(input, Filler(9000, 8));
    test::ScanOutcome run = Run(input);
    std::vector<std::string> lines = EntryLines(run);
    ASSERT_EQ(lines.size(), 2u) << run.Dump();
    EXPECT_EQ(lines[0].rfind("ERROR: File x.bin is corrupt.  Salvaged ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "    next.txt: size = 5:  OK");
    std::vector<Bytes> saved = Saved();
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), saved[0].begin())) << "the good prefix";
    EXPECT_EQ(saved[1], kNext);
}

// Encrypted entries: the 12-byte encryption header counts in the
// descriptor's compressed size; the CRC-32 is that of the decrypted data.
int AnswerSecret(HWND, const char*, char* password) {
    std::strcpy(password, "secret");
    return 1;
}

TEST_F(StreamedEntries, EncryptedEntries) {
    const Bytes plain = Filler(20000, 9);
    std::vector<test_crypt::CryptEntry> entries;
    for (uint16_t method : {uint16_t{0}, uint16_t{8}}) {
        test_crypt::CryptEntry e = test_crypt::Encrypted(method ? "d.bin" : "s.bin", plain, "secret", method);
        e.dataDescriptor = true;
        e.sizesInLocalHeader = false;
        entries.push_back(e);
    }
    entries.push_back(test_crypt::Plain("next.txt", kNext, 0));
    SetPasswordCallback(reinterpret_cast<CallbackAddress>(&AnswerSecret));
    Bytes archive = test_crypt::BuildZip(entries);
    test::ScanOutcome run = Run(archive);
    EXPECT_EQ(EntryLines(run), (std::vector<std::string>{"    s.bin: size = 20000:  OK", "    d.bin: size = 20000:  OK",
                                                         "    next.txt: size = 5:  OK"}))
        << run.Dump();
    EXPECT_EQ(Saved(), (std::vector<Bytes>{plain, plain, kNext}));
}

// --- The reader after a deflate stream ----------------------------------------------

// When the stream ends, the reader stands on the byte right after its last
// one, however far the byte source had read ahead.
TEST_F(StreamedEntries, ReaderStandsRightAfterTheStream) {
    struct Case {
        const char* label;
        Bytes plain;
    } cases[] = {
        {"empty", {}},
        {"short text", ToBytes("hello, hello, hello")},
        {"compressible, several chunks", test::PatternBytes(300000, 12, true)},
        {"noise: stored blocks", test::PatternBytes(100000, 13)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes stream = test::ZlibRawDeflate(c.plain, 6);
        test::WriteFile(dir_.File("in.bin"), Concat(stream, Bytes(3000, 'Z')));
        test::OpenedInput input(dir_.File("in.bin"));
        FileHandle out = FileCreate(dir_.File("out.bin").c_str());
        uint8_t header[kLocalHeaderSize] = {'P', 'K', 3, 4};
        StoreLE16(header + kLhMethod, 8);
        StoreLE16(header + kLhFlags, kFlagDataDescriptor);
        char password[40] = {};
        StreamedData search{UINT64_MAX, 0};
        EXPECT_EQ(DecodeStreamedEntry(header, out, 0, password, nullptr, &search), 1);
        EXPECT_EQ(ReaderPosition(), stream.size());
        uint8_t next = 0;
        EXPECT_EQ(ReadByte(&next), 1);
        EXPECT_EQ(next, 'Z');
        FileClose(out);
        EXPECT_EQ(test::ReadFile(dir_.File("out.bin")), c.plain);
    }
}

// --- Without the flag --------------------------------------------------------------

// The classic salvage trusts the local header's sizes: a stored streamed
// entry comes out empty (never called OK: no descriptor stands where the
// header says the data ends) and a deflated one with what its first 10 bytes
// decode to; the scan then walks through their data.
TEST_F(StreamedEntries, WithoutTheFlagTheHeaderIsTrusted) {
        const Bytes plain = Filler(5000, 10);
    const Bytes noise = test::PatternBytes(5000, 14);  // deflates to a stored block
    Bytes input = Concat(StreamedEntry("s.bin", plain, 0, kSig32), StreamedEntry("d.bin", noise, 8, kSig32));
    input = Concat(input, NextEntry());
    test::ScanOutcome run = Run(input, 0);
    const std::string unverified = "WARNING: s.bin (size = 0) could not be verified: no CRC-32 was found to check it against";
    EXPECT_EQ(EntryLines(run), (std::vector<std::string>{unverified,
                                                         "ERROR: File d.bin is corrupt.  Salvaged 5 of 0",
                                                         "    next.txt: size = 5:  OK"}))
        << run.Dump();
    EXPECT_EQ(Saved(), (std::vector<Bytes>{{}, Bytes(noise.begin(), noise.begin() + 5), kNext}));
    // Other extension bits do not turn it on.
    run = Run(input, 0x40 | 0x80);
    EXPECT_EQ(EntryLines(run)[0], unverified);
}

// Entries of other methods keep the classic salvage even with the flag, and
// so do streamed entries whose header gives a compressed size.
TEST_F(StreamedEntries, OnlyStoredAndDeflatedEntriesWithZeroSizeAreStreamed) {
    test::EntrySpec shrunk = StreamedSpec("shrunk", Filler(40, 15), 1);
    test::EntrySpec sized = StreamedSpec("sized", ToBytes("abcdef"), 0);
    sized.compressedSize = 6;
    sized.uncompressedSize = 6;
    sized.crc = test::ZlibCrc32(ToBytes("abcdef"));
    Bytes input = test::ZipBuilder().Add(sized).bytes();
    input = Concat(input, Descriptor(*sized.crc, 6, 6, kSig32));
    input = Concat(input, test::ZipBuilder().Add(shrunk).bytes());
    input = Concat(input, NextEntry());
    test::ScanOutcome with = Run(input);
    test::ScanOutcome without = Run(input, 0);
    EXPECT_EQ(with.Texts(), without.Texts());
    EXPECT_EQ(with.output, without.output);
    EXPECT_EQ(EntryLines(with)[0], "    sized: size = 6:  OK");
}

// The host stops the repair while a long stored entry is searched: it leaves
// no trace, and the entry before it stays.
TEST_F(StreamedEntries, StopDuringTheSearchLeavesNoTrace) {
    Bytes input = Concat(NextEntry(), StreamedEntry("long.bin", Filler(3000000, 16), 0, kSig32));
    test::ScanOutcome run = ScanFixture::Run(input, REPAIR_TRAILING_DESCRIPTORS, /*abortAt=*/2);
    EXPECT_EQ(run.Texts(), (std::vector<std::string>{"Beginning salvage operations...", "    next.txt: size = 5:  OK",
                                                     "Salvage Aborted"}))
        << run.Dump();
    EXPECT_EQ(run.output.size(), 30u + 8 + kNext.size());
}

// --- Hostile input (the time these take is measured, never asserted) --------------

// 100,000 descriptor signatures, each with a size field that fits where it
// stands, and none with the right CRC-32: the search stays one pass.
TEST_F(StreamedEntries, ManyFalseDescriptorsInStoredData) {
    Bytes plain;
    plain.reserve(100000 * 16 + 16);
    for (uint32_t i = 0; i < 100000; ++i) {
        uint32_t at = static_cast<uint32_t>(plain.size());
        Bytes fake = Descriptor(i + 1, at, at, kSig32);
        plain.insert(plain.end(), fake.begin(), fake.end());
    }
    test::ScanOutcome run = Run(Concat(StreamedEntry("fakes", plain, 0, kSig32), NextEntry()));
    EXPECT_EQ(EntryLines(run), (std::vector<std::string>{"    fakes: size = 1600000:  OK",
                                                         "    next.txt: size = 5:  OK"}))
        << run.Dump();
}

// Many stored streamed entries without descriptors: each is searched to the
// end of the input only while the run's allowance lasts; every one still
// ends at the header of the next.
TEST_F(StreamedEntries, ManyEntriesWithoutDescriptors) {
    const int count = 1000;
    Bytes input;
    std::vector<Bytes> expected;
    for (int i = 0; i < count; ++i) {
        Bytes plain = Filler(2000, static_cast<uint32_t>(100 + i));
        Bytes header = test::LocalHeader(StreamedSpec("f" + std::to_string(i), plain, 0));
        input.insert(input.end(), header.begin(), header.end());
        input.insert(input.end(), plain.begin(), plain.end());
        expected.push_back(plain);
    }
    test::ScanOutcome run = Run(input);
    EXPECT_EQ(run.counters.filesFound, count);
    EXPECT_EQ(run.counters.partiallyRecoverable, count);
    EXPECT_EQ(Saved(), expected);
}

}  // namespace
}  // namespace arcsalve
