// Whole salvages with REPAIR_KEEP_INTACT: entries that decode to exactly
// their recorded size and CRC-32 keep their original compressed data, byte
// for byte, with their method; every other entry is compressed anew as
// without the flag. Archives come from Info-ZIP zip (-9 and -0) and are
// checked with Python's zipfile and unzip -t.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "common/little_endian.h"
#include "platform/platform_testing.h"
#include "support/repair_run.h"
#include "support/source_tree.h"
#include "support/temp_dir.h"

namespace arcsalve::test {
namespace {

// Words of program text: compresses well, over several deflate blocks.
Bytes ProgramText(size_t size, uint32_t seed) {
    static const char* kWords[] = {"int ", "return ", "state", "->next", " = ", "(", ")", ";\n", "    ",
                                   "if ", "#include ", "entry", "for ", " < ", "[i]", "// why\n"};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        std::string w = kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
        out.insert(out.end(), w.begin(), w.end());
        if (rng() % 30 == 0) out.push_back(static_cast<uint8_t>('a' + rng() % 26));
    }
    out.resize(size);
    return out;
}

// In archive order. zip stores what does not compress (noise.bin) and the
// empty file and the directory; the rest is deflated.
const std::vector<SourceFile>& Sources() {
    static const std::vector<SourceFile> files = {
        {"main.c", ProgramText(300000, 1)},
        {"noise.bin", PatternBytes(30000, 2, false)},
        {"empty.txt", {}},
        {"sub/", {}},
        {"sub/notes.txt", PatternBytes(5000, 3, true)},
        {"tiny", ToBytes("ok\n")},
    };
    return files;
}

constexpr size_t kMain = 0;
constexpr size_t kNoise = 1;
constexpr size_t kNotes = 4;

// One entry of an archive, found by walking its local headers (the archives
// here and the rebuilt ones carry their sizes in the local headers).
struct LocalEntry {
    std::string name;
    uint16_t version = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    Bytes data;  // the compressed data
};

std::vector<LocalEntry> LocalEntries(const Bytes& zip) {
    std::vector<LocalEntry> entries;
    size_t at = 0;
    while (at + 30 <= zip.size() && LoadLE32(zip.data() + at) == 0x04034B50u) {
        const uint8_t* h = zip.data() + at;
        LocalEntry e;
        e.version = LoadLE16(h + 4);
        e.flags = LoadLE16(h + 6);
        e.method = LoadLE16(h + 8);
        e.crc = LoadLE32(h + 14);
        uint32_t compressed = LoadLE32(h + 18);
        size_t nameAt = at + 30;
        size_t dataAt = nameAt + LoadLE16(h + 26) + LoadLE16(h + 28);
        if (dataAt + compressed > zip.size()) break;
        e.name.assign(zip.begin() + static_cast<long>(nameAt), zip.begin() + static_cast<long>(nameAt + LoadLE16(h + 26)));
        e.data.assign(zip.begin() + static_cast<long>(dataAt), zip.begin() + static_cast<long>(dataAt + compressed));
        entries.push_back(e);
        at = dataAt + compressed;
    }
    return entries;
}

class KeepIntact : public ::testing::Test {
protected:
    // The sources archived by `zip -q -X <level>`.
    Bytes MakeArchive(const std::string& level) {
        WriteTree(dir_.File("src"), Sources());
        std::string archive = dir_.File("made" + level + ".zip");
        std::string log;
        EXPECT_EQ(RunCommand("cd " + ShellQuote(dir_.File("src")) + " && zip -q -X " + level + " " + ShellQuote(archive) +
                                 ShellNames(Sources()),
                             &log),
                  0)
            << log;
        return ReadFile(archive);
    }

    // Salvages `damaged` with the given flags; the result must be a valid
    // archive. Returns its local entries.
    std::vector<LocalEntry> Salvage(const Bytes& damaged, unsigned long flags, ScanOutcome* outcome) {
        WriteFile(dir_.File("damaged.zip"), damaged);
        *outcome = RunScan(dir_.File("damaged.zip"), dir_.File("repaired.zip"), 0, flags);
        listing_ = ExpectValidArchive(dir_.File("repaired.zip"));
        EXPECT_FALSE(FileExists(dir_.LibraryTmp() + "/arcsalve.tmp"));
        return LocalEntries(outcome->output);
    }

    // The salvaged data of the entry `name` (Python's reading of it).
    Bytes Salvaged(const std::string& name) const {
        for (const OracleEntry& e : listing_.entries)
            if (std::string(e.name.begin(), e.name.end()) == name) return e.data;
        ADD_FAILURE() << name << " not in the rebuilt archive";
        return {};
    }

    TempDir dir_;
    OracleListing listing_;
};

// Entries that survived keep their compressed data and method, byte for
// byte; the header is rewritten (version 20, flags 0, so zip's deflate-level
// bits go) with the same CRC-32. A damaged entry is compressed anew from what
// was salvaged, and reported. A stored entry with flipped bytes decodes to
// its recorded size, so only its CRC-32 tells: it is not copied either.
TEST_F(KeepIntact, IntactEntriesKeepTheirDataAndDamagedOnesAreCompressedAnew) {
    const Bytes zip9 = MakeArchive("-9"), zip0 = MakeArchive("-0");
    const std::vector<LocalEntry> original9 = LocalEntries(zip9), original0 = LocalEntries(zip0);
    ASSERT_EQ(original9.size(), Sources().size());
    ASSERT_EQ(original0.size(), Sources().size());
    ASSERT_EQ(original9[kMain].method, 8);
    ASSERT_EQ(original9[kNoise].method, 0);
    ASSERT_NE(original9[kMain].flags & 6, 0);  // -9 marks "maximum compression"
    ASSERT_EQ(original0[kNotes].method, 0);
    // Where an entry's data starts, and the central directory: behind the last.
    auto dataOffset = [](const std::vector<LocalEntry>& entries, size_t index) {
        size_t at = 0;
        for (size_t i = 0; i < index; ++i) at += 30 + entries[i].name.size() + entries[i].data.size();
        return index < entries.size() ? at + 30 + entries[index].name.size() : at;
    };
    const size_t directory = dataOffset(original9, original9.size());
    ASSERT_EQ(LoadLE32(zip9.data() + directory), 0x02014B50u);

    Bytes cutDirectory(zip9.begin(), zip9.begin() + static_cast<long>(directory));
    Bytes flipped = cutDirectory;
    for (size_t i = 0; i < 4; ++i) flipped[dataOffset(original9, kMain) + original9[kMain].data.size() / 2 + i] ^= 0xA5;
    Bytes prefixed = Concat(PatternBytes(3000, 7, false), zip9);
    std::replace(prefixed.begin(), prefixed.begin() + 3000, uint8_t{'P'}, uint8_t{'Q'});
    Bytes storedFlipped = zip0;
    storedFlipped[dataOffset(original0, kNotes) + 1234] ^= 0x01;
    Bytes notesFlipped = Sources()[kNotes].data;
    notesFlipped[1234] ^= 0x01;

    const struct {
        const char* label;
        const Bytes& damaged;
        const std::vector<LocalEntry>& original;
        size_t damagedEntry;   // 6: none
        const char* report;    // how the damaged one is reported
        Bytes salvaged;        // its salvaged data, when known
    } cases[] = {
        {"intact", zip9, original9, 6, "", {}},
        {"central directory cut off", cutDirectory, original9, 6, "", {}},
        {"garbage before the archive", prefixed, original9, 6, "", {}},
        {"bytes flipped in main.c, directory cut off", flipped, original9, kMain, "ERROR: File main.c is corrupt.", {}},
        {"stored entry with a flipped byte", storedFlipped, original0, kNotes,
         "ERROR: File sub/notes.txt is corrupt.  CRC is ", notesFlipped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScanOutcome outcome;
        std::vector<LocalEntry> out = Salvage(c.damaged, REPAIR_KEEP_INTACT, &outcome);
        SCOPED_TRACE(outcome.Dump());
        ASSERT_EQ(out.size(), c.original.size());
        for (size_t i = 0; i < out.size(); ++i) {
            SCOPED_TRACE(c.original[i].name);
            EXPECT_EQ(out[i].name, c.original[i].name);
            EXPECT_EQ(out[i].flags, 0);
            EXPECT_EQ(out[i].version, 20);
            if (i == c.damagedEntry) continue;
            EXPECT_TRUE(out[i].data == c.original[i].data);
            EXPECT_EQ(out[i].method, c.original[i].method);
            EXPECT_EQ(out[i].crc, c.original[i].crc);
            EXPECT_TRUE(Salvaged(Sources()[i].name) == Sources()[i].data);
        }
        EXPECT_EQ(outcome.counters.filesFound, 6);
        EXPECT_EQ(outcome.counters.partiallyRecoverable, c.damagedEntry < 6 ? 1 : 0);
        if (c.damagedEntry >= 6) continue;
        // Compressed anew (the classic rule deflates 5000 bytes of text): not
        // the archive's data, and the salvaged bytes with their own CRC-32.
        const LocalEntry& damaged = out[c.damagedEntry];
        EXPECT_EQ(damaged.method, 8);
        EXPECT_FALSE(damaged.data == c.original[c.damagedEntry].data);
        EXPECT_NE(damaged.crc, c.original[c.damagedEntry].crc);
        EXPECT_TRUE(c.salvaged.empty() || Salvaged(Sources()[c.damagedEntry].name) == c.salvaged);
        const std::string name = Sources()[c.damagedEntry].name;
        bool reported = false;
        for (const std::string& t : outcome.Texts())
            reported |= t.rfind(c.report, 0) == 0 || t.rfind("WARNING: Size of " + name, 0) == 0;
        EXPECT_TRUE(reported);
    }

    // The messages are the ones the classic salvage gives, which compresses
    // every entry anew: the stored noise is deflated, and main.c gets this
    // library's own deflate.
    ScanOutcome kept, classic;
    Salvage(zip9, REPAIR_KEEP_INTACT, &kept);
    std::vector<LocalEntry> recompressed = Salvage(zip9, 0, &classic);
    EXPECT_EQ(kept.Texts(), classic.Texts());
    ASSERT_EQ(recompressed.size(), original9.size());
    EXPECT_EQ(recompressed[kNoise].method, 8);
    EXPECT_FALSE(recompressed[kMain].data == original9[kMain].data);
}

// A write to the rebuilt archive that comes up short inside a kept entry's
// copy fails that entry as a failed re-compression does (its header and data
// are cut out again); the failed write ends the run, and the end record
// cannot be written. The host stopping the repair while the first entry is
// checked leaves no trace and no message, as in the classic salvage.
TEST_F(KeepIntact, ShortWriteOrStopDuringTheCopyLeavesNoTrace) {
    Bytes zip = MakeArchive("-9");
    ASSERT_GT(LocalEntries(zip)[kMain].data.size(), 20000u);  // the first report falls inside it
    WriteFile(dir_.File("in.zip"), zip);
    // main.c's header and name go out, then 1000 bytes of its data.
    PlatformInjectFault(PlatformFault::kShortWrite, 30 + 6 + 1000);
    ScanOutcome outcome = RunScan(dir_.File("in.zip"), dir_.File("out.zip"), 0, REPAIR_KEEP_INTACT);
    PlatformClearFaults();
    EXPECT_EQ(outcome.Texts(), (std::vector<std::string>{
                                   "Beginning salvage operations...", "Unable to re-compress main.c",
                                   "ERROR (STOPPED): A write failed (is the disk full?); nothing more can be saved",
                                   "Unable to write to output file"}));
    EXPECT_TRUE(LocalEntries(outcome.output).empty());

    outcome = RunScan(dir_.File("in.zip"), dir_.File("out.zip"), 1, REPAIR_KEEP_INTACT);
    EXPECT_EQ(outcome.Texts(), (std::vector<std::string>{"Beginning salvage operations...", "Salvage Aborted"}));
    EXPECT_TRUE(outcome.output.empty());
}

// The command keeps intact entries by default; --recompress and --classic
// compress every entry anew.
TEST_F(KeepIntact, CommandKeepsByDefaultRecompressAndClassicDoNot) {
    Bytes zip = MakeArchive("-9");
    WriteFile(dir_.File("in.zip"), zip);
    RunCommand("mkdir -p " + ShellQuote(dir_.File("out")));
    std::vector<LocalEntry> original = LocalEntries(zip);
    struct Case {
        const char* options;
        bool kept;
    } cases[] = {{"", true}, {"--recompress", false}, {"--classic", false}, {"--classic --recompress", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        std::string log;
        int status = RunCommand(std::string(ARCSALVE_CLI_PATH) + " --no-prompt --no-progress -q -f " + c.options +
                                    " -o " + ShellQuote(dir_.File("out")) + " " + ShellQuote(dir_.File("in.zip")) +
                                    " </dev/null",
                                &log);
        EXPECT_EQ(status, 0) << log;
        std::vector<LocalEntry> out = LocalEntries(ReadFile(dir_.File("out/in.zip")));
        ASSERT_EQ(out.size(), original.size());
        EXPECT_EQ(out[kMain].data == original[kMain].data, c.kept);
        EXPECT_EQ(out[kNoise].method, c.kept ? 0 : 8);
    }
}

}  // namespace
}  // namespace arcsalve::test
