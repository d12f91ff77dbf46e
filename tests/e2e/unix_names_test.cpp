// Info-ZIP zip on Unix stores UTF-8 names without flag bit 11: its central
// directory's "made on Unix" tells readers the names are in the system's
// character set. The rebuilt archive says "made on MS-DOS", so those names
// must gain bit 11, or readers that honour it (Python's zipfile, 7-Zip,
// Windows) would show them as CP437.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/repair_run.h"
#include "support/temp_dir.h"

namespace arcsalve::test {
namespace {

TEST(UnixNames, UnflaggedUtf8NamesGainTheUtf8Flag) {
    TempDir dir;
    const std::string src = dir.File("src");
    const std::string accented = "caf\xC3\xA9";                  // café
    const std::string file = accented + "/na\xC3\xAFve.txt";     // naïve.txt
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(src + "/" + accented)), 0);
    const Bytes data = PatternBytes(5000, 3, true);
    WriteFile(src + "/" + file, data);
    WriteFile(src + "/plain.txt", ToBytes("ascii"));
    const std::string made = dir.File("made.zip");
    ASSERT_EQ(RunCommand("cd " + ShellQuote(src) + " && LC_ALL=C.UTF-8 zip -q -X -r " + ShellQuote(made) +
                         " " + ShellQuote(file) + " plain.txt"),
              0);

    // Cut the central directory off, so the names come from local headers.
    Bytes zip = ReadFile(made);
    const std::string signature = "PK\x01\x02";
    auto cd = std::search(zip.begin(), zip.end(), signature.begin(), signature.end());
    ASSERT_NE(cd, zip.end());
    zip.erase(cd, zip.end());
    WriteFile(dir.File("cut.zip"), zip);

    ASSERT_EQ(RunCommand("mkdir " + ShellQuote(dir.File("out"))), 0);
    RepairOutcome run = RunRepair(dir.File("cut.zip"), dir.File("out"));
    ASSERT_FALSE(run.outputPath.empty()) << run.Dump();
    OracleListing listing = ExpectValidArchive(run.outputPath);
    ASSERT_EQ(listing.entries.size(), 2u) << run.Dump();
    EXPECT_EQ(listing.entries[0].name, ToBytes(file));
    EXPECT_EQ(listing.entries[0].flags & 0x800, 0x800u);
    EXPECT_EQ(listing.entries[1].flags & 0x800, 0u);
}

}  // namespace
}  // namespace arcsalve::test
