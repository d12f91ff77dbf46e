// Inputs made to hurt: names that look like paths out of the directory or
// like terminal commands, sizes that claim gigabytes, a file of nothing but
// signatures, and an output location that cannot take the archive. Each
// must end in a valid archive or a clear message, with the input untouched
// and no file touched but the ones named.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/decode_testing.h"
#include "platform/platform_testing.h"
#include "support/library_state.h"
#include "support/repair_run.h"
#include "support/strict_zip.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"
#include "support/zlib_oracle.h"

namespace arcsalve::test {
namespace {

bool IsUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        size_t more = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 9;
        if (more == 9 || i + more >= s.size()) return false;
        for (size_t k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += more + 1;
    }
    return true;
}

// Everything below `root`, as paths relative to it.
std::vector<std::string> Tree(const std::string& root) {
    std::string listing;
    RunCommand("cd " + ShellQuote(root) + " && find . | LC_ALL=C sort", &listing);
    std::vector<std::string> paths;
    size_t at = 0;
    for (size_t nl; (nl = listing.find('\n', at)) != std::string::npos; at = nl + 1)
        paths.push_back(listing.substr(at, nl - at));
    return paths;
}

struct HostileName {
    const char* label;
    std::string name;
    uint16_t flags;
    uint16_t keptFlags;  // bit 11 stays only on real UTF-8
};

std::vector<HostileName> HostileNames() {
    std::string traversal;
    while (traversal.size() < 270) traversal += "../..//\\";
    traversal.resize(270);
    return {
        {"270 bytes of separators and ..", traversal, 0, 0},
        {"absolute path", "/etc/passwd", 0, 0},
        {"NUL inside", std::string("safe.txt\0../../evil", 19), 0, 0},
        {"terminal commands", "\x1b[2J\x1b]0;owned\x07\r\nfake: size = 1:  OK", 0, 0},
        {"invalid UTF-8 flagged as UTF-8", "bad\xc3(\xff.txt", 0x800, 0},
        {"right-to-left override", "invoice\xe2\x80\xaetxt.exe", 0x800, 0x800},
    };
}

Bytes HostileArchive() {
    ZipBuilder zip;
    for (const HostileName& h : HostileNames()) {
        EntrySpec e;
        e.name = h.name;
        e.flags = h.flags;
        e.data = ToBytes(std::string("payload of ") + h.label);
        zip.Add(e);
    }
    return zip.Finish().bytes();
}

// The library keeps names byte for byte (it never extracts, so no name can
// reach outside the archive), creates no file but the output, and hands the
// host valid UTF-8. The command prints what the library says about those
// names without letting a byte of them act on the terminal.
TEST(HostileNames, KeptByteForByteAndShownAsEscapes) {
    TempDir dir;
    const Bytes input = HostileArchive();
    WriteFile(dir.File("in.zip"), input);
    ASSERT_EQ(RunCommand("mkdir " + ShellQuote(dir.File("out"))), 0);
    RepairOutcome run = RunRepair(dir.File("in.zip"), dir.File("out"));
    ASSERT_EQ(run.result, 0u);
    std::vector<StrictEntry> entries;
    ASSERT_EQ(CheckStrictZipFile(run.outputPath, &entries), "") << run.Dump();
    const std::vector<HostileName> names = HostileNames();
    ASSERT_EQ(entries.size(), names.size()) << run.Dump();
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i].label);
        EXPECT_EQ(entries[i].name, names[i].name);
        EXPECT_EQ(entries[i].flags, names[i].keptFlags);
        EXPECT_EQ(entries[i].data, ToBytes(std::string("payload of ") + names[i].label));
    }
    for (const Message& m : run.messages) EXPECT_TRUE(IsUtf8(m.text)) << m.text;
    EXPECT_EQ(ReadFile(dir.File("in.zip")), input);
    EXPECT_EQ(Tree(dir.path()), (std::vector<std::string>{".", "./in.zip", "./out", "./out/in.zip", "./tmp"}));
    ExpectValidArchive(run.outputPath);

    std::string said;
    EXPECT_EQ(RunCommand(std::string(ARCSALVE_CLI_PATH) + " --no-progress -o " + ShellQuote(dir.File("tmp")) + " " +
                             ShellQuote(dir.File("in.zip")) + " </dev/null",
                         &said),
              0)
        << said;
    EXPECT_TRUE(IsUtf8(said)) << said;
    for (char c : said) {
        const unsigned char b = static_cast<unsigned char>(c);
        EXPECT_TRUE(b >= 0x20 ? b != 0x7F : b == '\n') << "byte " << int(b) << " in:\n" << said;
    }
    EXPECT_NE(said.find("\\x1B[2J\\x1B]0;owned\\x07\\x0D\\x0Afake: size = 1:  OK: size = "), std::string::npos)
        << said;
    EXPECT_NE(said.find("invoice\\u202Etxt.exe"), std::string::npos) << said;
    // CP437, as the name is stored without the UTF-8 flag now.
    EXPECT_NE(said.find("bad\xe2\x94\x9c(\xc2\xa0.txt"), std::string::npos) << said;
}

// Sizes that claim gigabytes over a few real bytes. Sizes from 2^31 on
// deliver no data at all; a size just below it reads to the end of the input.
// Either way the run completes quickly into a valid archive, and the honest
// entry behind the liar is found (the scan looks again right after the
// damaged entry's signature).
TEST(HostileSizes, EntriesClaimingGigabytesEndInAValidArchive) {
    struct Case {
        const char* label;
        uint16_t method;
        uint32_t compressed;
        uint32_t size;
    };
    const Case cases[] = {
        {"stored, 4 GiB", 0, 0xFFFFFFFF, 0xFFFFFFFF},
        {"deflated, 4 GiB", 8, 0xFFFFFFFF, 0xFFFFFFFF},
        {"stored, 2 GiB - 1, reads to the end", 0, 0x7FFFFFFF, 0x7FFFFFFF},
        {"deflated, 2 GiB - 1", 8, 0x7FFFFFFF, 0xFFFFFFFF},
        {"shrunk, 4 GiB", 1, 0xFFFFFFFF, 0xFFFFFFFF},
        {"imploded, 2 GiB - 1", 6, 0x7FFFFFFF, 0x7FFFFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        EntrySpec liar;
        liar.name = "liar.bin";
        liar.method = c.method;
        liar.compressedSize = c.compressed;
        liar.uncompressedSize = c.size;
        liar.data = c.method == 8 ? Bytes{0x4B, 0x4C, 0x4A, 0x06, 0x00} : ToBytes("abc");  // deflate of "abc"
        ZipBuilder zip;
        zip.Add(liar).Stored("honest.txt", ToBytes("still here"));
        WriteFile(dir.File("in.zip"), zip.bytes());
        ScanOutcome run = RunScan(dir.File("in.zip"), dir.File("out.zip"));
        EXPECT_EQ(run.Texts().back(), "Salvaged data stored in " + dir.File("out.zip")) << run.Dump();
        std::vector<StrictEntry> entries;
        ASSERT_EQ(CheckStrictZipFile(dir.File("out.zip"), &entries), "");
        ASSERT_EQ(entries.size(), 2u) << run.Dump();
        EXPECT_EQ(entries[1].name, "honest.txt");
        ExpectValidArchive(dir.File("out.zip"));
    }
}

// A stream that expands beyond what an entry can hold (4 GiB - 2 bytes; here
// lowered to 100,000) stops decoding there: the part that fits is saved as a
// damaged entry, and the scan goes on through the rest of its data.
TEST(HostileSizes, DecompressionBombStopsAtTheSizeLimit) {
    TempDir dir;
    const Bytes zeros(1000000, 0);
    EntrySpec bomb;
    bomb.name = "bomb.bin";
    bomb.method = 8;
    bomb.plain = zeros;
    bomb.data = ZlibRawDeflate(zeros, 9, 9, Z_DEFAULT_STRATEGY);
    EXPECT_FALSE(bomb.data.empty()) << "zlib failed";
    ZipBuilder zip;
    zip.Add(bomb).Stored("after.txt", ToBytes("still here"));
    WriteFile(dir.File("in.zip"), zip.bytes());
    SetDecodedSizeLimit(100000);
    ScanOutcome run = RunScan(dir.File("in.zip"), dir.File("out.zip"));
    SetDecodedSizeLimit(0);
    EXPECT_EQ(run.Texts()[1], "ERROR: File bomb.bin is corrupt.  Salvaged 100000 of 1000000") << run.Dump();
    OracleListing listing = ExpectValidArchive(dir.File("out.zip"));
    ASSERT_EQ(listing.entries.size(), 2u) << run.Dump();
    EXPECT_EQ(listing.entries[0].data, Bytes(100000, 0));
    EXPECT_EQ(listing.entries[1].data, ToBytes("still here"));
}

// Four million bytes of "PK\3\4": every signature's header announces an
// encrypted entry with a name of 1027 bytes, which cannot be decrypted. The
// scan looks again right after each one while the run's allowance for
// reading twice lasts, then goes on behind them: the run ends, in linear
// time, with an empty archive.
TEST(HostileSignatures, AMillionSignaturesEndInAnEmptyArchive) {
    TempDir dir;
    Bytes input;
    input.reserve(4000000);
    for (int i = 0; i < 1000000; ++i) input.insert(input.end(), {'P', 'K', 3, 4});
    WriteFile(dir.File("in.zip"), input);
    ScanOutcome run = RunScan(dir.File("in.zip"), dir.File("out.zip"));
    EXPECT_GT(run.counters.undecryptable, 0);
    EXPECT_EQ(run.counters.filesFound, run.counters.undecryptable);
    EXPECT_EQ(run.output.size(), 22u);
    EXPECT_EQ(CheckStrictZipFile(dir.File("out.zip"), nullptr), "");
}

// A disk that fills up while an entry is written: the run says so once and
// stops, instead of calling every later entry corrupt; the damaged archive,
// moved to its backup name, is left as it was.
TEST(HostileOutput, FullDiskOrReadOnlyLocationSaysSoAndKeepsTheInput) {
    TempDir dir;
    ZipBuilder zip;
    zip.Stored("a.txt", ToBytes("aaaa")).Stored("b.zip", PatternBytes(40000, 2)).Stored("c.txt", ToBytes("cc"));
    WriteFile(dir.File("in.zip"), zip.bytes());
    ClearRunFlags();
    // "a.txt" goes through whole (header and name 35, data to the temporary
    // file and the archive 4 + 4, header again 30), "b.zip" breaks off in
    // its data.
    PlatformInjectFault(PlatformFault::kShortWrite, 73 + 35 + 5000);
    RepairOutcome run = RunRepair(dir.File("in.zip"), dir.path());  // in place
    PlatformClearFaults();
    ASSERT_EQ(run.result, 0u);
    const std::vector<std::string> texts = run.Texts();
    ASSERT_GE(texts.size(), 3u) << run.Dump();
    EXPECT_EQ(texts[1], "    a.txt: size = 4:  OK");
    EXPECT_EQ(texts[texts.size() - 2], "ERROR (STOPPED): A write failed (is the disk full?); nothing more can be saved")
        << run.Dump();
    EXPECT_EQ(texts.back(), "Unable to write to output file");
    for (const std::string& t : texts) EXPECT_EQ(t.find("c.txt"), std::string::npos) << t;
    EXPECT_EQ(ReadFile(dir.File("in_BAK.zip")), zip.bytes());

    // An output directory that cannot take a file: a file error before
    // anything is salvaged, and the input stays as it was.
    run = RunRepair(dir.File("in_BAK.zip"), "/proc", REPAIR_ALLOW_BACKUP_INPUT);
    EXPECT_EQ(run.result, 3u);
    EXPECT_EQ(run.Dump(), "-1|File Error\n");
    EXPECT_EQ(ReadFile(dir.File("in_BAK.zip")), zip.bytes());
}

}  // namespace
}  // namespace arcsalve::test
