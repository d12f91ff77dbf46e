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
#include "support/temp_dir.h"

namespace arcsalve::test {
namespace {

struct SourceFile {
    std::string name;  // ending in "/": a directory
    Bytes data;
};

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
        std::string src = dir_.File("src");
        std::string names;
        RunCommand("mkdir -p " + ShellQuote(src + "/sub"));
        for (const SourceFile& f : Sources()) {
            if (f.name.back() != '/') WriteFile(src + "/" + f.name, f.data);
            names += " " + ShellQuote(f.name);
        }
        std::string archive = dir_.File("made" + level + ".zip");
        std::string log;
        EXPECT_EQ(RunCommand("cd " + ShellQuote(src) + " && zip -q -X " + level + " " + ShellQuote(archive) + names, &log), 0)
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

// Every entry of an intact zip -9 archive, deflated or stored, keeps its
// compressed data and method; the header is rewritten (version 20, flags 0,
// so zip's deflate-level bits go) with the same CRC-32. The messages are the
// ones the classic salvage gives.
TEST_F(KeepIntact, IntactZipNineArchiveKeepsEveryEntrysData) {
    Bytes zip = MakeArchive("-9");
    std::vector<LocalEntry> original = LocalEntries(zip);
    ASSERT_EQ(original.size(), Sources().size());
    ASSERT_EQ(original[kMain].method, 8);
    ASSERT_EQ(original[kNoise].method, 0);
    ASSERT_NE(original[kMain].flags & 6, 0);  // -9 marks "maximum compression"

    ScanOutcome kept;
    std::vector<LocalEntry> out = Salvage(zip, REPAIR_KEEP_INTACT, &kept);
    ASSERT_EQ(out.size(), original.size()) << kept.Dump();
    for (size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(original[i].name);
        EXPECT_EQ(out[i].name, original[i].name);
        EXPECT_EQ(out[i].method, original[i].method);
        EXPECT_TRUE(out[i].data == original[i].data);
        EXPECT_EQ(out[i].crc, original[i].crc);
        EXPECT_EQ(out[i].flags, 0);
        EXPECT_EQ(out[i].version, 20);
        EXPECT_TRUE(Salvaged(Sources()[i].name) == Sources()[i].data);
    }

    ScanOutcome classic;
    std::vector<LocalEntry> recompressed = Salvage(zip, 0, &classic);
    EXPECT_EQ(kept.Texts(), classic.Texts());
    EXPECT_EQ(kept.counters.filesFound, 6);
    EXPECT_EQ(kept.counters.partiallyRecoverable, 0);
    // Without the flag the same archive is compressed anew: the stored noise
    // is deflated, and main.c gets this library's own deflate.
    ASSERT_EQ(recompressed.size(), original.size());
    EXPECT_EQ(recompressed[kNoise].method, 8);
    EXPECT_FALSE(recompressed[kMain].data == original[kMain].data);
}

// Damaged archives: the entries that survived keep their data as it was;
// the damaged one is compressed anew from what was salvaged, and reported.
TEST_F(KeepIntact, DamagedArchiveKeepsIntactEntriesAndRecompressesTheRest) {
    Bytes zip = MakeArchive("-9");
    std::vector<LocalEntry> original = LocalEntries(zip);
    ASSERT_EQ(original.size(), Sources().size());
    size_t directory = 0;  // the central directory's offset: behind the last entry
    for (const LocalEntry& e : original) directory += 30 + e.name.size() + e.data.size();
    ASSERT_EQ(LoadLE32(zip.data() + directory), 0x02014B50u);
    // Offset of main.c's data: it is the first entry.
    const size_t mainData = 30 + original[kMain].name.size();

    struct Case {
        const char* label;
        Bytes damaged;
        std::vector<size_t> intact;  // source indexes kept byte for byte
        int32_t partial;
        const char* report;  // a message that must be there ("" none)
    };
    Bytes cutDirectory(zip.begin(), zip.begin() + static_cast<long>(directory));
    Bytes flipped = cutDirectory;
    for (size_t i = 0; i < 4; ++i) flipped[mainData + original[kMain].data.size() / 2 + i] ^= 0xA5;
    Bytes prefixed = Concat(PatternBytes(3000, 7, false), zip);
    std::replace(prefixed.begin(), prefixed.begin() + 3000, uint8_t{'P'}, uint8_t{'Q'});
    Case cases[] = {
        {"central directory cut off", cutDirectory, {0, 1, 2, 3, 4, 5}, 0, ""},
        {"garbage before the archive", prefixed, {0, 1, 2, 3, 4, 5}, 0, ""},
        {"bytes flipped in main.c, directory cut off", flipped, {1, 2, 3, 4, 5}, 1, "main.c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScanOutcome outcome;
        std::vector<LocalEntry> out = Salvage(c.damaged, REPAIR_KEEP_INTACT, &outcome);
        SCOPED_TRACE(outcome.Dump());
        ASSERT_EQ(out.size(), original.size());
        for (size_t i : c.intact) {
            SCOPED_TRACE(original[i].name);
            EXPECT_TRUE(out[i].data == original[i].data);
            EXPECT_EQ(out[i].method, original[i].method);
            EXPECT_TRUE(Salvaged(Sources()[i].name) == Sources()[i].data);
        }
        EXPECT_EQ(outcome.counters.partiallyRecoverable, c.partial);
        if (*c.report != '\0') {
            // Compressed anew: not the archive's data, and the salvaged bytes
            // with their own CRC-32.
            EXPECT_FALSE(out[kMain].data == original[kMain].data);
            EXPECT_NE(out[kMain].crc, original[kMain].crc);
            bool reported = false;
            for (const std::string& t : outcome.Texts())
                reported |= t.rfind(std::string("ERROR: File ") + c.report + " is corrupt.", 0) == 0 ||
                            t.rfind(std::string("WARNING: Size of ") + c.report, 0) == 0;
            EXPECT_TRUE(reported);
        }
    }
}

// A stored entry with flipped bytes decodes to the recorded size, so only its
// CRC-32 tells: it is not copied but compressed anew and reported by the CRC
// message; the stored entries around it stay stored, as they were.
TEST_F(KeepIntact, StoredEntryWithFlippedBytesIsNotCopied) {
    Bytes zip = MakeArchive("-0");
    std::vector<LocalEntry> original = LocalEntries(zip);
    ASSERT_EQ(original.size(), Sources().size());
    size_t notesData = 0;
    for (size_t i = 0; i < kNotes; ++i) notesData += 30 + original[i].name.size() + original[i].data.size();
    notesData += 30 + original[kNotes].name.size();
    ASSERT_EQ(original[kNotes].method, 0);
    Bytes damaged = zip;
    damaged[notesData + 1234] ^= 0x01;

    ScanOutcome outcome;
    std::vector<LocalEntry> out = Salvage(damaged, REPAIR_KEEP_INTACT, &outcome);
    ASSERT_EQ(out.size(), original.size()) << outcome.Dump();
    for (size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(original[i].name);
        if (i == kNotes) continue;
        EXPECT_EQ(out[i].method, 0);
        EXPECT_TRUE(out[i].data == original[i].data);
    }
    // 5000 bytes of text: the classic rule deflates it.
    EXPECT_EQ(out[kNotes].method, 8);
    Bytes expected = Sources()[kNotes].data;
    expected[1234] ^= 0x01;
    EXPECT_TRUE(Salvaged("sub/notes.txt") == expected);
    EXPECT_EQ(outcome.counters.partiallyRecoverable, 1);
    bool reported = false;
    for (const std::string& t : outcome.Texts()) reported |= t.rfind("ERROR: File sub/notes.txt is corrupt.  CRC is ", 0) == 0;
    EXPECT_TRUE(reported) << outcome.Dump();
}

// A write to the rebuilt archive that comes up short inside a kept entry's
// copy fails that entry as a failed re-compression does (its header and
// data are cut out again), and every later entry fails after it, as after
// any failed write of the run.
TEST_F(KeepIntact, ShortWriteDuringTheCopyDropsTheEntry) {
    Bytes zip = MakeArchive("-9");
    WriteFile(dir_.File("in.zip"), zip);
    // main.c's header and name go out, then 1000 bytes of its data.
    PlatformInjectFault(PlatformFault::kShortWrite, 30 + 6 + 1000);
    ScanOutcome outcome = RunScan(dir_.File("in.zip"), dir_.File("out.zip"), 0, REPAIR_KEEP_INTACT);
    PlatformClearFaults();
    // The failed write ends the run: the entries after it are not tried (they
    // would all fail the same way), and the end record cannot be written.
    std::vector<std::string> expected = {
        "Beginning salvage operations...", "Unable to re-compress main.c",
        "ERROR (STOPPED): A write failed (is the disk full?); nothing more can be saved",
        "Unable to write to output file"};
    EXPECT_EQ(outcome.Texts(), expected);
    EXPECT_TRUE(LocalEntries(outcome.output).empty());
}

// The host stops the repair while the first entry is checked: it leaves no
// trace and no message, as in the classic salvage.
TEST_F(KeepIntact, StopDuringTheCheckLeavesNoTrace) {
    Bytes zip = MakeArchive("-9");
    ASSERT_GT(LocalEntries(zip)[kMain].data.size(), 20000u);  // the first report falls inside it
    WriteFile(dir_.File("in.zip"), zip);
    ScanOutcome outcome = RunScan(dir_.File("in.zip"), dir_.File("out.zip"), 1, REPAIR_KEEP_INTACT);
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
