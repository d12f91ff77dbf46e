// Where ZIP's fields end: a rebuilt archive must stay below 4 GiB (32-bit
// offsets and sizes), count more than 65,535 entries in a ZIP64 end record,
// and an input beyond 4 GiB must be read to its end like any other.
//
// The input beyond 4 GiB is a sparse file: its holes read as zeros, which
// the scan crosses quickly. The repair whose output really reaches 4 GiB
// writes several gigabytes and runs only with ARCSALVE_HUGE_TESTS=1.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/repair_run.h"
#include "support/strict_zip.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"
#include "salvage/scan_testing.h"

namespace arcsalve::test {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

std::string LimitMessage(const std::string& name) {
    return "ERROR (STOPPED): " + name + " would take the archive past 4 GB; it and the rest are not saved";
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    for (const std::string& t : texts)
        if (t == text) return true;
    return false;
}

// Writes each (offset, bytes) into a sparse file of `size` bytes.
void WriteSparse(const std::string& path, uint64_t size,
                 const std::vector<std::pair<uint64_t, Bytes>>& pieces) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    for (const auto& piece : pieces)
        ASSERT_EQ(::pwrite(fd, piece.second.data(), piece.second.size(), static_cast<off_t>(piece.first)),
                  static_cast<ssize_t>(piece.second.size()));
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
}

// A stored entry's local header, name and data.
Bytes StoredEntry(const std::string& name, const std::string& text) {
    return ZipBuilder().Stored(name, ToBytes(text)).bytes();
}

class ArchiveLimitTest : public ::testing::Test {
protected:
    void TearDown() override { SetArchiveSizeLimit(0); }
    TempDir dir_;
};

// Five stored entries of 1000 bytes (".zip" names: stored again, so their
// sizes stay as they are); the limit lets the first `fit` of
// them in. The entry that does not fit is cut out again, the scan ends
// there, and the archive of the others is complete and valid.
TEST_F(ArchiveLimitTest, EntryPastTheLimitEndsTheScanWithAValidArchive) {
    ZipBuilder zip;
    for (int i = 0; i < 5; ++i) zip.Stored("e" + std::to_string(i) + ".zip", PatternBytes(1000, i));
    WriteFile(dir_.File("in.zip"), zip.bytes());
    const uint64_t whole = RunScan(dir_.File("in.zip"), dir_.File("out.zip")).output.size();
    // Each entry takes 30 + 6 + 1000 bytes and 46 + 6 in the directory.
    ASSERT_EQ(whole, 5u * (1036 + 52) + 22);

    struct Case {
        uint64_t limit;
        size_t saved;
    };
    const Case cases[] = {{whole, 5}, {whole - 1, 4}, {2 * 1088 + 22, 2}, {1088 + 21, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        SetArchiveSizeLimit(c.limit);
        ScanOutcome run = RunScan(dir_.File("in.zip"), dir_.File("out.zip"));
        std::vector<StrictEntry> entries;
        ASSERT_EQ(CheckStrictZipFile(dir_.File("out.zip"), &entries), "");
        ASSERT_EQ(entries.size(), c.saved);
        EXPECT_LE(run.output.size(), c.limit);
        const bool stopped = c.saved < 5;
        EXPECT_EQ(Contains(run.Texts(), LimitMessage("e" + std::to_string(c.saved) + ".zip")), stopped)
            << run.Dump();
        EXPECT_EQ(run.counters.systemErrors, stopped ? 1 : 0);
        EXPECT_EQ(run.counters.filesFound, static_cast<int32_t>(stopped ? c.saved + 1 : 5));
        EXPECT_EQ(run.Texts().back(), "Salvaged data stored in " + dir_.File("out.zip"));
    }
    SetArchiveSizeLimit(0);
    ExpectValidArchive(dir_.File("out.zip"));
}

// 65,535 entries still fit the end record; one more needs the ZIP64 end
// record, which Python's zipfile, unzip and the strict reader all follow.
TEST(ManyEntries, PastSixtyFiveThousandTheCountGoesIntoAZip64EndRecord) {
    for (uint32_t count : {65535u, 65536u}) {
        SCOPED_TRACE(count);
        TempDir dir;
        ZipBuilder input;
        for (uint32_t i = 0; i < count; ++i)
            input.Stored("e" + std::to_string(i), Bytes(1, static_cast<uint8_t>('a' + i % 26)));
        WriteFile(dir.File("in.zip"), input.bytes());
        ScanOutcome run = RunScan(dir.File("in.zip"), dir.File("out.zip"));
        EXPECT_EQ(run.counters.filesFound, static_cast<int32_t>(count));
        std::vector<StrictEntry> entries;
        ASSERT_EQ(CheckStrictZipFile(dir.File("out.zip"), &entries), "");
        ASSERT_EQ(entries.size(), count);
        EXPECT_EQ(entries.back().name, "e" + std::to_string(count - 1));
        const Bytes& out = run.output;
        const uint8_t* end = out.data() + out.size() - 22;
        EXPECT_EQ(end[8] | end[9] << 8, 0xFFFF);
        const bool zip64 = out.size() >= 98 && std::string(out.end() - 98, out.end() - 94) == "PK\6\6";
        EXPECT_EQ(zip64, count > 65535);
        if (!zip64) continue;
        // Python and unzip check every CRC-32 (without extracting 65,000 files).
        std::string said;
        EXPECT_EQ(RunCommand("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                             "print(len(z.infolist()), z.testzip())' " + ShellQuote(dir.File("out.zip")),
                             &said), 0);
        EXPECT_EQ(said, std::to_string(count) + " None\n");
        EXPECT_EQ(UnzipTest(dir.File("out.zip"), &said), 0) << said;
    }
}

// Entries before, inside and beyond the first 4 GiB of a 4.5 GiB input,
// with nothing but zeros between them.
TEST(HugeInput, EntriesBeyondFourGibibytesAreFoundAndProgressStaysAPercentage) {
    TempDir dir;
    const uint64_t size = 4 * kGiB + kGiB / 2;
    WriteSparse(dir.File("in.zip"), size,
                {{0, StoredEntry("first.txt", "at the start")},
                 {3 * kGiB, StoredEntry("middle.txt", "three gibibytes in")},
                 {4 * kGiB - 20, StoredEntry("across.txt", "its header crosses 4 GiB")},
                 {4 * kGiB + 1000, StoredEntry("late.txt", "past 4 GiB")}});
    ScanOutcome run = RunScan(dir.File("in.zip"), dir.File("out.zip"));
    OracleListing listing = ExpectValidArchive(dir.File("out.zip"));
    ASSERT_EQ(listing.entries.size(), 4u) << run.Dump();
    EXPECT_EQ(listing.entries[3].data, ToBytes("past 4 GiB"));
    EXPECT_EQ(run.counters.filesFound, 4);
    ASSERT_FALSE(run.progress.empty());
    for (unsigned long p : run.progress) ASSERT_TRUE(p >= 1 && p <= 100) << p;
    EXPECT_GE(run.progress.back(), 99u);
}

Bytes Zeros(size_t n) { return Bytes(n, 0); }

uint32_t CrcOfZeros(uint64_t n) {
    const Bytes chunk = Zeros(1 << 20);
    uLong crc = crc32(0, nullptr, 0);
    for (uint64_t done = 0; done < n; done += chunk.size())
        crc = crc32(crc, chunk.data(), static_cast<uInt>(std::min<uint64_t>(chunk.size(), n - done)));
    return static_cast<uint32_t>(crc);
}

// Three stored entries of 1.5 GiB of zeros, named so that they are stored
// again: the third would take the rebuilt archive past 4 GiB. Writes about
// 6 GB; opt-in.
TEST(HugeInput, RebuiltArchiveStopsBelowFourGibibytes) {
    if (std::getenv("ARCSALVE_HUGE_TESTS") == nullptr) GTEST_SKIP() << "set ARCSALVE_HUGE_TESTS=1";
    TempDir dir;
    const uint32_t each = static_cast<uint32_t>(kGiB + kGiB / 2);
    const uint32_t crc = CrcOfZeros(each);
    std::vector<std::pair<uint64_t, Bytes>> pieces;
    uint64_t at = 0;
    for (const char* name : {"a.zip", "b.zip", "c.zip"}) {
        EntrySpec e;
        e.name = name;
        e.crc = crc;
        e.compressedSize = each;
        e.uncompressedSize = each;
        pieces.emplace_back(at, LocalHeader(e));
        at += pieces.back().second.size() + each;
    }
    WriteSparse(dir.File("in.zip"), at, pieces);
    ASSERT_EQ(::mkdir(dir.File("out").c_str(), 0700), 0);
    RepairOutcome run = RunRepair(dir.File("in.zip"), dir.File("out"));
    ASSERT_EQ(run.result, 0u);
    EXPECT_TRUE(Contains(run.Texts(), LimitMessage("c.zip"))) << run.Dump();
    EXPECT_EQ(run.counters.systemErrors, 1);
    StrictOptions options;
    options.keepData = false;
    std::vector<StrictEntry> entries;
    ASSERT_EQ(CheckStrictZipFile(run.outputPath, &entries, options), "");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].size, each);
}

}  // namespace
}  // namespace arcsalve::test
