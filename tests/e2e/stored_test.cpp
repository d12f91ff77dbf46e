// Whole repairs of archives of stored entries made by real archivers (Info-ZIP
// zip -0, Python's zipfile with ZIP_STORED), damaged the ways archives get
// damaged. Every result must be a valid archive for unzip and Python, holding
// every entry that survived byte for byte and the good prefix of a cut one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "support/crypt_fixture.h"
#include "support/repair_run.h"
#include "support/source_tree.h"
#include "support/temp_dir.h"

namespace arcsalve {
namespace {

using test::Bytes;
using test::OkLines;
using test::SourceFile;
using test::ToBytes;
using test::WriteTree;

// The files every archive holds, in archive order: an empty file, a
// directory, a 2 MB entry (across many reader fills and copy pieces), a
// 270-byte name and a file after them.
std::vector<SourceFile> SourceFiles() {
    std::string longName = "sub/" + std::string(200, 'a') + "/" + std::string(65, 'b');
    return {
        {"readme.txt", test::PatternBytes(5000, 1, true)},
        {"empty.txt", {}},
        {"sub/", {}},
        {"sub/big.bin", test::PatternBytes(2 * 1024 * 1024, 2)},
        {longName, test::PatternBytes(777, 3, true)},
        {"tail.txt", test::PatternBytes(1234, 4, true)},
    };
}

constexpr char kPythonWriter[] = R"(
import sys, zipfile
out, root = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
    for name in sys.argv[3:]:
        if name.endswith("/"):
            z.writestr(zipfile.ZipInfo(name), b"")
        else:
            z.write(root + "/" + name, name)
)";

class StoredRepair : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        files_ = SourceFiles();
        WriteTree(dir_.File("src"), files_);
        archive_ = Make(GetParam(), files_);
        ASSERT_FALSE(archive_.empty());
        entries_ = test_crypt::ListZip(archive_);
        ASSERT_EQ(entries_.size(), files_.size());
        ::mkdir(dir_.File("out").c_str(), 0755);
    }

    // An archive of the files made by the named archiver.
    Bytes Make(const std::string& archiver, const std::vector<SourceFile>& files) {
        std::string names = test::ShellNames(files);
        std::string out = dir_.File(archiver + ".zip");
        std::string command;
        if (archiver == "zip") {
            command = "cd " + test::ShellQuote(dir_.File("src")) + " && zip -0 -q " +
                      test::ShellQuote(out) + names;
        } else {
            test::WriteFile(dir_.File("writer.py"), ToBytes(kPythonWriter));
            command = "python3 " + test::ShellQuote(dir_.File("writer.py")) + " " +
                      test::ShellQuote(out) + " " + test::ShellQuote(dir_.File("src")) + names;
        }
        std::string log;
        EXPECT_EQ(test::RunCommand(command, &log), 0) << log;
        return test::ReadFile(out);
    }

    // Repairs `damaged` into out/ and checks the result against `expected`:
    // a valid archive holding exactly those entries, in order, byte for byte.
    test::RepairOutcome RepairAndCheck(const Bytes& damaged, const std::vector<SourceFile>& expected) {
        std::string input = dir_.File("damaged.zip");
        test::WriteFile(input, damaged);
        test::RepairOutcome run = test::RunRepair(input, dir_.File("out"));
        EXPECT_EQ(run.result, 0u) << run.Dump();
        EXPECT_EQ(run.outputPath, dir_.File("out") + "/damaged.zip");
        test::OracleListing listing = test::ExpectValidArchive(run.outputPath);
        EXPECT_EQ(listing.entries.size(), expected.size()) << run.Dump();
        for (size_t i = 0; i < std::min(listing.entries.size(), expected.size()); ++i) {
            SCOPED_TRACE(expected[i].name);
            EXPECT_EQ(listing.entries[i].name, ToBytes(expected[i].name));
            EXPECT_TRUE(listing.entries[i].data == expected[i].data)
                << "sizes " << listing.entries[i].data.size() << " and " << expected[i].data.size();
            bool directory = expected[i].name.back() == '/';
            EXPECT_EQ(listing.entries[i].externalAttributes, directory ? 0x10u : 0u);
        }
        EXPECT_FALSE(test::FileExists(dir_.LibraryTmp() + "/arcsalve.tmp"));
        return run;
    }

    size_t IndexOf(const std::string& name) const {
        for (size_t i = 0; i < files_.size(); ++i)
            if (files_[i].name == name) return i;
        ADD_FAILURE() << name;
        return 0;
    }

    test::TempDir dir_;
    std::vector<SourceFile> files_;
    Bytes archive_;
    std::vector<test_crypt::ZipEntry> entries_;
};

TEST_P(StoredRepair, IntactArchiveComesOutEntryForEntry) {
    test::RepairOutcome run = RepairAndCheck(archive_, files_);
    std::vector<std::string> expected = {"Beginning salvage operations..."};
    for (const std::string& line : OkLines(files_)) expected.push_back(line);
    expected.insert(expected.end(), {"Salvage attempt complete", "  6 files found",
                                     "Salvaged data stored in " + run.outputPath});
    EXPECT_EQ(run.Texts(), expected);
}

TEST_P(StoredRepair, ArchiveCutInsideAnEntryKeepsItsGoodPrefix) {
    size_t big = IndexOf("sub/big.bin");
    size_t present = 700001;
    Bytes damaged(archive_.begin(), archive_.begin() + static_cast<long>(entries_[big].dataOffset + present));
    std::vector<SourceFile> expected(files_.begin(), files_.begin() + static_cast<long>(big) + 1);
    expected.back().data.resize(present);
    test::RepairOutcome run = RepairAndCheck(damaged, expected);
    std::vector<std::string> texts = run.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "ERROR: File sub/big.bin is corrupt.  Salvaged 700001 of 2097152"),
              texts.end())
        << run.Dump();
    EXPECT_EQ(run.counters.filesFound, 4);
    EXPECT_EQ(run.counters.partiallyRecoverable, 1);
    EXPECT_EQ(run.counters.unrecoverable, 0);
}

TEST_P(StoredRepair, CentralDirectoryCutOff) {
    const test_crypt::ZipEntry& last = entries_.back();
    size_t end = last.dataOffset + last.compressedSize;
    test::RepairOutcome run = RepairAndCheck(Bytes(archive_.begin(), archive_.begin() + static_cast<long>(end)), files_);
    EXPECT_EQ(run.counters.filesFound, 6);
    EXPECT_EQ(run.counters.partiallyRecoverable, 0);
}

TEST_P(StoredRepair, GarbageBeforeTheArchive) {
    Bytes garbage = test::PatternBytes(7777, 5);
    std::replace(garbage.begin(), garbage.end(), uint8_t{'P'}, uint8_t{'Q'});
    test::RepairOutcome run = RepairAndCheck(test::Concat(garbage, archive_), files_);
    EXPECT_EQ(run.counters.filesFound, 6);
}

TEST_P(StoredRepair, TwoArchivesConcatenated) {
    std::vector<SourceFile> twice = files_;
    twice.insert(twice.end(), files_.begin(), files_.end());
    test::RepairOutcome run = RepairAndCheck(test::Concat(archive_, archive_), twice);
    EXPECT_EQ(run.counters.filesFound, 12);
}

// A destroyed local header takes its entry with it, and only it.
TEST_P(StoredRepair, OneEntryHeaderDestroyed) {
    size_t readme = IndexOf("readme.txt");
    Bytes damaged = archive_;
    std::fill_n(damaged.begin() + static_cast<long>(entries_[readme].localOffset), 30, uint8_t{0});
    std::vector<SourceFile> expected = files_;
    expected.erase(expected.begin() + static_cast<long>(readme));
    test::RepairOutcome run = RepairAndCheck(damaged, expected);
    EXPECT_EQ(run.counters.filesFound, 5);
    std::vector<std::string> texts = run.Texts();
    std::vector<std::string> oks = OkLines(expected);
    EXPECT_TRUE(std::equal(oks.begin(), oks.end(), texts.begin() + 1)) << run.Dump();
}

// Flipped bytes in a stored entry: the size is right but the CRC-32 is not,
// so the entry is reported as corrupt (and kept, with its real CRC-32).
TEST_P(StoredRepair, FlippedBytesAreReportedNotPassedAsOk) {
    size_t tail = IndexOf("tail.txt");
    Bytes damaged = archive_;
    damaged[entries_[tail].dataOffset + 100] ^= 0x20;
    std::vector<SourceFile> expected = files_;
    expected[tail].data[100] ^= 0x20;
    test::RepairOutcome run = RepairAndCheck(damaged, expected);
    std::vector<std::string> texts = run.Texts();
    auto corrupt = std::find_if(texts.begin(), texts.end(), [](const std::string& t) {
        return t.rfind("ERROR: File tail.txt is corrupt.  CRC is ", 0) == 0;
    });
    EXPECT_NE(corrupt, texts.end()) << run.Dump();
    EXPECT_EQ(run.counters.partiallyRecoverable, 1);
}

// The command's exit status follows the outcome: 0 all intact, 1 losses,
// 4 nothing found.
TEST_P(StoredRepair, CommandExitStatusTellsTheOutcome) {
    size_t big = IndexOf("sub/big.bin");
    Bytes garbage = test::PatternBytes(5000, 9);
    std::replace(garbage.begin(), garbage.end(), uint8_t{'P'}, uint8_t{'Q'});
    struct Case {
        const char* label;
        Bytes input;
        int status;
    } cases[] = {
        {"intact", archive_, 0},
        {"cut inside an entry", Bytes(archive_.begin(), archive_.begin() + static_cast<long>(entries_[big].dataOffset + 10)), 1},
        {"garbage", garbage, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string input = dir_.File("cli.zip");
        test::WriteFile(input, c.input);
        std::string output;
        int status = test::RunCommand(std::string(ARCSALVE_CLI_PATH) + " --no-prompt --no-progress -f -o " +
                                          test::ShellQuote(dir_.File("out")) + " " + test::ShellQuote(input) +
                                          " </dev/null",
                                      &output);
        EXPECT_EQ(status, c.status) << output;
        EXPECT_NE(output.find("files found"), std::string::npos) << output;
    }
}

INSTANTIATE_TEST_SUITE_P(Archivers, StoredRepair, ::testing::Values("zip", "python"));

// The host stops the repair while the 2 MB entry is copied: the entries
// before it stay, it leaves no trace, and no central directory is written.
TEST(StoredRepairAbort, StopLeavesNoTraceOfTheEntryInHand) {
    test::TempDir dir;
    std::vector<SourceFile> files = SourceFiles();
    WriteTree(dir.File("src"), files);
    std::string names = test::ShellNames(files);
    std::string log;
    ASSERT_EQ(test::RunCommand("cd " + test::ShellQuote(dir.File("src")) + " && zip -0 -q -X ../in.zip" + names, &log), 0) << log;
    ::mkdir(dir.File("out").c_str(), 0755);
    test::RepairOutcome run = test::RunRepair(dir.File("in.zip"), dir.File("out"), 0, /*abortAt=*/1);
    EXPECT_EQ(run.result, 0u);
    EXPECT_EQ(run.Texts(), (std::vector<std::string>{
                               "Beginning salvage operations...", "    readme.txt: size = 5000:  OK",
                               "    empty.txt: size = 0:  OK", "    sub/: size = 0:  OK", "Salvage Aborted"}))
        << run.Dump();
    // Three local headers with their names and data, nothing else.
    Bytes out = test::ReadFile(run.outputPath);
    std::vector<std::string> saved;
    size_t at = 0;
    while (at + 30 <= out.size() && LoadLE32(out.data() + at) == 0x04034B50u) {
        uint16_t nameLength = LoadLE16(out.data() + at + 26);
        saved.emplace_back(out.begin() + static_cast<long>(at) + 30,
                           out.begin() + static_cast<long>(at) + 30 + nameLength);
        at += 30 + nameLength + LoadLE32(out.data() + at + 18);
    }
    EXPECT_EQ(saved, (std::vector<std::string>{"readme.txt", "empty.txt", "sub/"}));
    EXPECT_EQ(at, out.size());
    EXPECT_FALSE(test::FileExists(dir.LibraryTmp() + "/arcsalve.tmp"));
}

}  // namespace
}  // namespace arcsalve
