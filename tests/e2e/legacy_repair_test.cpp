// Whole repairs of real DOS-era archives (shrunk, reduced, imploded): the
// rebuilt archive holds every entry, with the CRC-32 its archiver recorded,
// as Python's zipfile and unzip read it. Damaged copies of them (cut short,
// bytes flipped) keep every intact entry and the good prefix of the damaged
// one.
#include <gtest/gtest.h>

#include "common/crc32.h"
#include "support/legacy_corpus.h"
#include "support/legacy_harness.h"
#include "support/repair_run.h"

namespace arcsalve::test {
namespace {

bool AnyEncrypted(const std::vector<CorpusEntry>& entries) {
    for (const CorpusEntry& e : entries)
        if (e.flags & 1) return true;
    return false;
}

std::string NameOf(const OracleEntry& e) { return std::string(e.name.begin(), e.name.end()); }

// Repairs every archive of `directory` (those without encrypted entries);
// returns how many entries were checked.
size_t RepairDirectory(const std::string& directory) {
    size_t checked = 0;
    for (const std::string& path : ZipFilesIn(directory)) {
        const std::vector<CorpusEntry> original = ListCorpusEntries(ReadFile(path));
        if (original.empty() || AnyEncrypted(original)) continue;
        SCOPED_TRACE(path);
        TempDir dir;
        const ScanOutcome outcome = RunScan(path, dir.File("out.zip"));
        EXPECT_EQ(outcome.counters.filesFound, static_cast<int32_t>(original.size())) << outcome.Dump();
        EXPECT_EQ(outcome.counters.unrecoverable, 0);
        EXPECT_EQ(outcome.counters.partiallyRecoverable, 0) << outcome.Dump();
        EXPECT_EQ(outcome.counters.systemErrors, 0);
        const OracleListing listing = ExpectValidArchive(dir.File("out.zip"));
        if (listing.entries.size() != original.size()) {
            ADD_FAILURE() << listing.entries.size() << " entries for " << original.size();
            continue;
        }
        for (size_t i = 0; i < original.size(); ++i) {
            SCOPED_TRACE(original[i].name);
            EXPECT_EQ(NameOf(listing.entries[i]), original[i].name);
            EXPECT_EQ(listing.entries[i].data.size(), original[i].uncompressedSize);
            EXPECT_EQ(Crc32Update(0, listing.entries[i].data.data(), listing.entries[i].data.size()), original[i].crc);
            ++checked;
        }
    }
    return checked;
}

TEST(LegacyRepair, PermissiveArchivesRepairWithEveryEntryIntact) {
    EXPECT_GE(RepairDirectory(LegacyFixturesDir()), 169u);
}

TEST(LegacyRepair, CopyleftArchivesRepairWithEveryEntryIntact) {
    if (ZipFilesIn(LegacyCopyleftDir()).empty()) GTEST_SKIP() << "no copyleft corpus beside the project";
    EXPECT_GE(RepairDirectory(LegacyCopyleftDir()), 100u);
}

// Damage to entry 1 of three-entry archives that mix methods: the archive is
// cut in the middle of that entry's data, or bytes there are flipped.
TEST(LegacyRepair, DamagedEntriesKeepTheirGoodPrefix) {
    const char* const kArchives[] = {
        "shrunk-pkzip-sharpcompress.zip",          // shrunk, shrunk, stored
        "reduced-f1-pkzip-sharpcompress.zip",      // shrunk, reduced, reduced
        "reduced-f4-pkzip-sharpcompress.zip",
        "imploded-mixed-pkzip-sharpcompress.zip",  // imploded 4K/2, stored, imploded 8K/3
    };
    for (const char* name : kArchives) {
        const std::string path = LegacyFixturesDir() + "/" + name;
        const Bytes archive = ReadFile(path);
        const std::vector<CorpusEntry> entries = ListCorpusEntries(archive);
        ASSERT_EQ(entries.size(), 3u) << name;
        TempDir dir;
        RunScan(path, dir.File("intact.zip"));
        const OracleListing reference = ExpectValidArchive(dir.File("intact.zip"));
        ASSERT_EQ(reference.entries.size(), 3u) << name;

        // Cut in the middle of entry 1's data: the entry keeps most of what
        // that half holds, as a prefix. Bytes flipped there: the entries
        // around it stay whole. Either way it is reported, alone.
        const CorpusEntry& hit = entries[1];
        const size_t middle = hit.dataOffset + hit.compressedSize / 2;
        Bytes flipped = archive;
        for (size_t i = 0; i < 4; ++i) flipped[middle + 7 * i] ^= 0x5A;
        for (bool cut : {true, false}) {
            SCOPED_TRACE(std::string(name) + (cut ? ", cut in entry 1" : ", bytes flipped in entry 1"));
            WriteFile(dir.File("damaged.zip"), cut ? Bytes(archive.begin(), archive.begin() + static_cast<long>(middle)) : flipped);
            const ScanOutcome outcome = RunScan(dir.File("damaged.zip"), dir.File("out.zip"));
            const OracleListing listing = ExpectValidArchive(dir.File("out.zip"));
            ASSERT_EQ(listing.entries.size(), cut ? 2u : 3u) << outcome.Dump();
            EXPECT_TRUE(listing.entries[0].data == reference.entries[0].data);
            if (cut) {
                EXPECT_TRUE(IsPrefixOf(listing.entries[1].data, reference.entries[1].data));
                EXPECT_GT(listing.entries[1].data.size(), reference.entries[1].data.size() / 4) << outcome.Dump();
            } else {
                EXPECT_TRUE(listing.entries[2].data == reference.entries[2].data);
            }
            EXPECT_EQ(outcome.counters.partiallyRecoverable + outcome.counters.unrecoverable, 1) << outcome.Dump();
        }
    }
}

}  // namespace
}  // namespace arcsalve::test
