// Whole salvages of deflated archives made by real archivers (Info-ZIP zip at
// levels 1, 6 and 9, Python's zipfile with ZIP_DEFLATED), intact and damaged,
// checked with Python's zipfile and unzip -t and against the original files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/repair_run.h"
#include "support/temp_dir.h"

namespace arcsalve::test {
namespace {

// The files every archive holds, in archive order. text.py spans several
// deflate blocks; noise.bin does not compress (zip stores it).
struct SourceFile {
    std::string name;
    Bytes data;
};

Bytes SourceText(size_t size, uint32_t seed) {
    static const char* kWords[] = {"def ", "return ", "self", ".value", " = ", "(", ")", ":\n", "    ",
                                   "if ", "import ", "archive", "entry", "for ", " in ", "[i]", "# note\n"};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const char* w = kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        if (rng() % 40 == 0) out.push_back(static_cast<uint8_t>('0' + rng() % 10));
    }
    out.resize(size);
    return out;
}

const std::vector<SourceFile>& Sources() {
    static const std::vector<SourceFile> files = [] {
        std::vector<SourceFile> f;
        f.push_back({"small.txt", ToBytes("hello, salvage\n")});
        f.push_back({"noise.bin", PatternBytes(40000, 17, false)});
        f.push_back({"text.py", SourceText(400000, 3)});
        f.push_back({"empty.txt", {}});
        f.push_back({"runs.dat", PatternBytes(150000, 5, true)});
        f.push_back({"nested.c", SourceText(60000, 9)});
        return f;
    }();
    return files;
}

constexpr size_t kTextIndex = 2;

enum class Maker { kZip1, kZip6, kZip9, kPython };

// Makes the archive in dir with the given archiver and returns its bytes.
Bytes MakeArchive(const TempDir& dir, Maker maker) {
    std::string src = dir.File("src");
    RunCommand("mkdir -p " + ShellQuote(src));
    std::string names;
    for (const SourceFile& f : Sources()) {
        WriteFile(src + "/" + f.name, f.data);
        names += " " + f.name;
    }
    std::string archive = dir.File("made.zip");
    std::string command;
    switch (maker) {
        case Maker::kZip1: command = "cd " + ShellQuote(src) + " && zip -q -X -1 " + ShellQuote(archive) + names; break;
        case Maker::kZip6: command = "cd " + ShellQuote(src) + " && zip -q -X -6 " + ShellQuote(archive) + names; break;
        case Maker::kZip9: command = "cd " + ShellQuote(src) + " && zip -q -X -9 " + ShellQuote(archive) + names; break;
        case Maker::kPython:
            command = "cd " + ShellQuote(src) + " && python3 -c 'import sys, zipfile\n"
                      "with zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED) as z:\n"
                      "    [z.write(n) for n in sys.argv[2:]]' " +
                      ShellQuote(archive) + names;
            break;
    }
    std::string output;
    EXPECT_EQ(RunCommand(command, &output), 0) << output;
    return ReadFile(archive);
}

// A local header as it stands in an archive.
struct LocalEntry {
    size_t offset;      // of the signature
    size_t dataOffset;  // of the first data byte
    uint32_t compressedSize;
    uint16_t method;
    std::string name;
};

uint32_t Le(const Bytes& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + i];
    return v;
}

// The local entries from the start of an archive written by an honest
// archiver (sizes in the local headers).
std::vector<LocalEntry> LocalEntries(const Bytes& zip) {
    std::vector<LocalEntry> entries;
    size_t at = 0;
    while (at + 30 <= zip.size() && Le(zip, at, 4) == 0x04034b50) {
        LocalEntry e;
        e.offset = at;
        e.method = static_cast<uint16_t>(Le(zip, at + 8, 2));
        e.compressedSize = Le(zip, at + 18, 4);
        uint32_t nameLength = Le(zip, at + 26, 2);
        uint32_t extraLength = Le(zip, at + 28, 2);
        e.name.assign(zip.begin() + static_cast<long>(at + 30), zip.begin() + static_cast<long>(at + 30 + nameLength));
        e.dataOffset = at + 30 + nameLength + extraLength;
        entries.push_back(e);
        at = e.dataOffset + e.compressedSize;
    }
    return entries;
}

// How many plain bytes zlib gets out of the first `take` bytes of a raw
// deflate stream: the part of the entry that comes before damage there.
size_t PlainBytesBefore(const Bytes& zip, const LocalEntry& e, size_t take) {
    z_stream z{};
    inflateInit2(&z, -15);
    Bytes out(1 << 22);
    z.next_in = const_cast<Bytef*>(zip.data() + e.dataOffset);
    z.avail_in = static_cast<uInt>(take);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    inflate(&z, Z_SYNC_FLUSH);
    size_t produced = z.total_out;
    inflateEnd(&z);
    return produced;
}

// Where each deflate block after the first begins in an entry's data (bit
// offset from its first data byte) and how many plain bytes come before it,
// as zlib sees the stream.
struct BlockStart {
    size_t bit;
    size_t plainBefore;
};

std::vector<BlockStart> LaterBlockStarts(const Bytes& zip, const LocalEntry& e) {
    std::vector<BlockStart> starts;
    z_stream z{};
    inflateInit2(&z, -15);
    Bytes out(1 << 22);
    z.next_in = const_cast<Bytef*>(zip.data() + e.dataOffset);
    z.avail_in = e.compressedSize;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    // With Z_BLOCK inflate returns after each end-of-block code (bit 7 of
    // data_type), data_type's low 3 bits being the unused bits of the last
    // byte taken.
    while (inflate(&z, Z_BLOCK) == Z_OK) {
        if ((z.data_type & 128) != 0 && (z.data_type & 64) == 0 && z.total_out > 0)
            starts.push_back({z.total_in * 8 - static_cast<size_t>(z.data_type & 7), z.total_out});
    }
    inflateEnd(&z);
    return starts;
}

struct Expected {
    std::vector<std::string> intact;  // names that must come out byte-identical
    int32_t found = 0;
    int32_t partial = 0;
};

// Repairs `damaged` and checks the result against the originals. Returns the
// salvaged text.py (empty when it is not in the output).
Bytes RepairAndCheck(const TempDir& dir, const Bytes& damaged, const Expected& expected, ScanOutcome* outcome) {
    WriteFile(dir.File("damaged.zip"), damaged);
    *outcome = RunScan(dir.File("damaged.zip"), dir.File("repaired.zip"));
    SCOPED_TRACE(outcome->Dump());
    OracleListing listing = ExpectValidArchive(dir.File("repaired.zip"));
    std::multimap<std::string, Bytes> got;
    for (const OracleEntry& e : listing.entries) got.emplace(std::string(e.name.begin(), e.name.end()), e.data);
    for (const std::string& name : expected.intact) {
        SCOPED_TRACE(name);
        auto source = std::find_if(Sources().begin(), Sources().end(), [&](const SourceFile& f) { return f.name == name; });
        auto range = got.equal_range(name);
        EXPECT_NE(range.first, range.second);
        for (auto it = range.first; it != range.second; ++it) EXPECT_TRUE(it->second == source->data);
    }
    EXPECT_EQ(outcome->counters.filesFound, expected.found);
    EXPECT_EQ(outcome->counters.partiallyRecoverable, expected.partial);
    EXPECT_EQ(outcome->counters.unrecoverable, 0);
    EXPECT_EQ(outcome->counters.systemErrors, 0);
    auto text = got.find("text.py");
    return text == got.end() ? Bytes() : text->second;
}

std::vector<std::string> AllNames() {
    std::vector<std::string> names;
    for (const SourceFile& f : Sources()) names.push_back(f.name);
    return names;
}

class DeflatedArchives : public ::testing::TestWithParam<Maker> {};

TEST_P(DeflatedArchives, IntactArchiveComesOutIdentical) {
    TempDir dir;
    Bytes zip = MakeArchive(dir, GetParam());
    std::vector<LocalEntry> entries = LocalEntries(zip);
    ASSERT_EQ(entries.size(), Sources().size());
    EXPECT_EQ(entries[kTextIndex].method, 8);
    ScanOutcome outcome;
    RepairAndCheck(dir, zip, {AllNames(), 6, 0}, &outcome);
    EXPECT_NE(std::find(outcome.Texts().begin(), outcome.Texts().end(), "    text.py: size = 400000:  OK"),
              outcome.Texts().end());
}

// The ways of damage of the salvage pipeline, now with deflated entries.
TEST_P(DeflatedArchives, DamagedArchivesKeepWhatSurvived) {
    TempDir dir;
    Bytes zip = MakeArchive(dir, GetParam());
    std::vector<LocalEntry> entries = LocalEntries(zip);
    ASSERT_EQ(entries.size(), Sources().size());
    const LocalEntry& text = entries[kTextIndex];
    size_t directoryStart = entries.back().dataOffset + entries.back().compressedSize;
    ScanOutcome outcome;
    {
        SCOPED_TRACE("central directory cut off");
        RepairAndCheck(dir, Bytes(zip.begin(), zip.begin() + static_cast<long>(directoryStart)), {AllNames(), 6, 0},
                       &outcome);
    }
    {
        SCOPED_TRACE("garbage prefix");
        Bytes damaged = PatternBytes(5000, 99, false);
        damaged.insert(damaged.end(), zip.begin(), zip.end());
        RepairAndCheck(dir, damaged, {AllNames(), 6, 0}, &outcome);
    }
    {
        SCOPED_TRACE("two archives concatenated");
        RepairAndCheck(dir, Concat(zip, zip), {AllNames(), 12, 0}, &outcome);
    }
    {
        SCOPED_TRACE("text.py's header destroyed");
        Bytes damaged = zip;
        damaged[text.offset] = 'X';
        std::vector<std::string> others = AllNames();
        others.erase(others.begin() + kTextIndex);
        Bytes salvaged = RepairAndCheck(dir, damaged, {others, 5, 0}, &outcome);
        EXPECT_TRUE(salvaged.empty());
    }
    {
        SCOPED_TRACE("truncated inside text.py");
        size_t cut = text.compressedSize / 2;
        Bytes damaged(zip.begin(), zip.begin() + static_cast<long>(text.dataOffset + cut));
        Bytes salvaged = RepairAndCheck(dir, damaged, {{"small.txt", "noise.bin"}, 3, 1}, &outcome);
        // Exactly a prefix of the file, at least as long as what zlib gets
        // from the same bytes, and nothing made up after it.
        const Bytes& original = Sources()[kTextIndex].data;
        EXPECT_GE(salvaged.size(), PlainBytesBefore(zip, text, cut));
        ASSERT_LE(salvaged.size(), original.size());
        EXPECT_TRUE(std::equal(salvaged.begin(), salvaged.end(), original.begin()));
    }
}

// Flipped bytes inside a deflated entry: the entry keeps every byte decoded
// before the damage and is reported, and the others are untouched. Inside
// Huffman-coded data the decoder usually falls back into step and reaches the
// end with a wrong size or CRC-32; a damaged block header (next test) stops it.
TEST_P(DeflatedArchives, FlippedBytesInsideADeflatedEntry) {
    TempDir dir;
    Bytes zip = MakeArchive(dir, GetParam());
    std::vector<LocalEntry> entries = LocalEntries(zip);
    ASSERT_EQ(entries.size(), Sources().size());
    const LocalEntry& text = entries[kTextIndex];
    const Bytes& original = Sources()[kTextIndex].data;
    std::vector<std::string> others = AllNames();
    others.erase(others.begin() + kTextIndex);
    for (double where : {0.3, 0.6, 0.95}) {
        SCOPED_TRACE(testing::Message() << "damage at " << where << " of the data");
        size_t at = static_cast<size_t>(static_cast<double>(text.compressedSize) * where);
        Bytes damaged = zip;
        for (size_t i = 0; i < 3; ++i) damaged[text.dataOffset + at + i] ^= 0x5A;
        ScanOutcome outcome;
        Bytes salvaged = RepairAndCheck(dir, damaged, {others, 6, 1}, &outcome);
        size_t good = PlainBytesBefore(zip, text, at);
        ASSERT_GE(salvaged.size(), good);
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + static_cast<long>(good), salvaged.begin()));
        bool reported = false;
        for (const std::string& t : outcome.Texts()) {
            // Found as a decoding error, or (rarely) decoded to the end with
            // a wrong size or CRC-32.
            reported |= t.rfind("ERROR: File text.py is corrupt.", 0) == 0 || t.rfind("WARNING: Size of text.py", 0) == 0;
        }
        EXPECT_TRUE(reported);
    }
}

// A block header in the middle of a deflated entry made block type 3: the
// entry keeps exactly the blocks before it and is reported as corrupt with
// that many bytes salvaged.
TEST_P(DeflatedArchives, DamagedBlockHeaderInsideADeflatedEntry) {
    TempDir dir;
    Bytes zip = MakeArchive(dir, GetParam());
    std::vector<LocalEntry> entries = LocalEntries(zip);
    ASSERT_EQ(entries.size(), Sources().size());
    const LocalEntry& text = entries[kTextIndex];
    std::vector<BlockStart> starts = LaterBlockStarts(zip, text);
    ASSERT_FALSE(starts.empty());
    const BlockStart& block = starts[starts.size() / 2];
    Bytes damaged = zip;
    for (size_t bit : {block.bit + 1, block.bit + 2}) damaged[text.dataOffset + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    std::vector<std::string> others = AllNames();
    others.erase(others.begin() + kTextIndex);
    ScanOutcome outcome;
    Bytes salvaged = RepairAndCheck(dir, damaged, {others, 6, 1}, &outcome);
    const Bytes& original = Sources()[kTextIndex].data;
    ASSERT_EQ(salvaged.size(), block.plainBefore);
    EXPECT_TRUE(std::equal(salvaged.begin(), salvaged.end(), original.begin()));
    std::string expected = "ERROR: File text.py is corrupt.  Salvaged " + std::to_string(block.plainBefore) + " of 400000";
    EXPECT_NE(std::find(outcome.Texts().begin(), outcome.Texts().end(), expected), outcome.Texts().end())
        << outcome.Dump();
}

INSTANTIATE_TEST_SUITE_P(Archivers, DeflatedArchives,
                         ::testing::Values(Maker::kZip1, Maker::kZip6, Maker::kZip9, Maker::kPython),
                         [](const testing::TestParamInfo<Maker>& info) {
                             switch (info.param) {
                                 case Maker::kZip1: return std::string("Zip1");
                                 case Maker::kZip6: return std::string("Zip6");
                                 case Maker::kZip9: return std::string("Zip9");
                                 case Maker::kPython: return std::string("PythonZipfile");
                             }
                             return std::string("Unknown");
                         });

}  // namespace
}  // namespace arcsalve::test
