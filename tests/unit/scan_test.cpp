// The signature scan and the rebuilt archive: where signatures are found,
// where the scan resumes, the central directory and end record, the summary,
// and the ways a run ends early.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/little_endian.h"
#include "platform/platform_testing.h"
#include "support/library_state.h"
#include "support/repair_run.h"
#include "support/scan_fixture.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"

namespace arcsalve {
namespace {

using test::Bytes;
using test::Concat;
using test::ToBytes;

using ScanTest = test::ScanFixture;

Bytes EmptyArchive() {
    Bytes end(22, 0);
    StoreLE32(end.data(), 0x06054B50);
    return end;
}

// One real entry, found whole: behind false starts the state machine must
// see through (a second "P" restarts the match, a broken match is
// abandoned); inside a false header, rejected for an empty name or cut
// short by the input's end (the scan looks again right after the false
// signature); with names past the old 270-byte limit (4000: unzip, the
// second reader, cuts longer ones).
TEST_F(ScanTest, FindsTheOneRealEntry) {
    struct Case {
        std::string label;
        Bytes input;
        std::string name;
    };
    std::vector<Case> cases;
    const Bytes data = ToBytes("the entry's data");
    for (const char* prefix : {"P", "PK\x03", "PK", "PKPK", "PK\x03\x03", "PK\x03P", "xxPK\x01\x02"}) {
        cases.push_back({"after " + testing::PrintToString(std::string(prefix)),
                         test::ZipBuilder().Raw(ToBytes(prefix)).Stored("a.txt", data).bytes(), "a.txt"});
    }
    for (uint16_t nameLength : {0, 271, 0xFFFF}) {
        // The real entry starts 16 bytes into the fake header, so the fake
        // name length field is the real header's time, the fake extra
        // length its date.
        test::EntrySpec fake, real;
        fake.nameLength = nameLength;
        real.name = "real.txt";
        real.data = data;
        real.time = nameLength;
        Bytes fakeHeader = test::LocalHeader(fake);
        Bytes input = test::ZipBuilder().Raw(Bytes(fakeHeader.begin(), fakeHeader.begin() + 16)).Add(real).bytes();
        EXPECT_EQ(LoadLE16(input.data() + 26), nameLength);
        cases.push_back({"inside a header with name length " + std::to_string(nameLength), input, "real.txt"});
    }
    for (size_t length : {1, 270, 271, 4000}) {
        std::string name(length, 'n');
        cases.push_back({"name of " + std::to_string(length), test::ZipBuilder().Stored(name, data).bytes(), name});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScanOutcome run = Run(c.input);
        EXPECT_EQ(run.counters.filesFound, 1) << run.Dump();
        test::OracleListing listing = ValidListing();
        ASSERT_EQ(listing.entries.size(), 1u);
        EXPECT_EQ(listing.entries[0].name, ToBytes(c.name));
        EXPECT_EQ(listing.entries[0].data, data);
    }
}

// One damaged field of the first entry must not hide the untouched entries
// behind it: the scan looks again right after the damaged entry's signature.
// An entry whose header is lost is named, as a surviving central directory
// lists it, and counted as an error.
TEST_F(ScanTest, DamageNeverHidesTheEntriesBehindIt) {
    test::ZipBuilder zip;
    const Bytes data = ToBytes("0123456789abcdef");
    for (const char* name : {"one", "two", "three", "four"}) zip.Stored(name, data);
    const Bytes archive = zip.Finish().bytes();
    const struct Case {
        const char* label;
        size_t offset;  // of the 16-bit field in the first entry's header, or anywhere
        uint16_t value;
        std::vector<std::string> missing;
    } cases[] = {
        {"compressed size grown", 18 + 2, 0x0001, {}},
        {"extra length 0xFFFF", 28, 0xFFFF, {}},
        {"name length grown: the first entry loses its name", 26, 600, {"one"}},
        {"second entry's signature hit", zip.EntryOffset(1) + 2, 0x0503, {"two"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes damaged = archive;
        StoreLE16(&damaged[c.offset], c.value);
        test::ScanOutcome run = Run(damaged);
        test::OracleListing listing = ValidListing();
        std::vector<std::string> saved;
        for (const auto& e : listing.entries)
            if (e.data == data) saved.emplace_back(e.name.begin(), e.name.end());
        for (const char* name : {"two", "three", "four"}) {
            const bool lost = std::find(c.missing.begin(), c.missing.end(), name) != c.missing.end();
            EXPECT_NE(std::find(saved.begin(), saved.end(), name) == saved.end(), !lost) << name << run.Dump();
        }
        for (const std::string& name : c.missing) {
            const std::string line = "2|ERROR: " + name + " is listed in the archive's central directory but was not found";
            EXPECT_NE(run.Dump().find(line), std::string::npos) << run.Dump();
        }
        EXPECT_EQ(run.counters.listedNotFound, static_cast<int>(c.missing.size()));
    }
}

// A signature split across the reader's 1000-byte fills or its progress
// report (every 10,000 bytes), behind garbage full of false starts.
TEST_F(ScanTest, FindsSignaturesAcrossBufferSeams) {
    for (size_t seam : {1000, 10000, 20000}) {
        for (size_t back = 0; back <= 4; ++back) {
            SCOPED_TRACE(testing::Message() << "seam " << seam << " back " << back);
            Bytes garbage = test::PatternBytes(seam - back, static_cast<uint32_t>(seam + back));
            std::replace(garbage.begin(), garbage.end(), uint8_t{4}, uint8_t{5});
            for (size_t i = 0; i + 3 < garbage.size(); i += 97) {
                garbage[i] = 'P';
                garbage[i + 1] = 'K';
                garbage[i + 2] = 3;  // "PK", 3, and no byte 4 anywhere
            }
            test::ZipBuilder zip;
            zip.Raw(garbage).Stored("x", ToBytes("data"));
            test::ScanOutcome run = Run(zip.bytes());
            EXPECT_EQ(run.counters.filesFound, 1);
            EXPECT_EQ(run.Texts().at(1), "    x: size = 4:  OK");
        }
    }
}

TEST_F(ScanTest, GarbageOnlyGivesAnEmptyArchive) {
    for (size_t size : {0, 1, 5000, 25000}) {
        SCOPED_TRACE(size);
        test::ScanOutcome run = Run(test::PatternBytes(size, 99, true));
        EXPECT_EQ(run.Texts(), (std::vector<std::string>{"Beginning salvage operations...",
                                                         "No files found in archive.",
                                                         "Salvage attempt complete",
                                                         "  0 files found"}));
        EXPECT_EQ(run.messages[1].level, 2);
        EXPECT_EQ(run.output, EmptyArchive());
    }
}

// A saved entry whose recorded size swallowed the start of the next header:
// the scan looks again at the last 8 bytes it consumed and finds it.
TEST_F(ScanTest, SignatureInsideTheLastBytesOfAnEntryIsFound) {
    Bytes first = ToBytes("first entry");
    Bytes second = ToBytes("second entry");
    test::EntrySpec a;
    a.name = "a";
    a.data = first;
    a.compressedSize = static_cast<uint32_t>(first.size() + 4);
    test::ZipBuilder zip;
    zip.Add(a).Stored("b", second);
    test::ScanOutcome run = Run(zip.bytes());
    EXPECT_EQ(run.counters.filesFound, 2);
    test::OracleListing listing = ValidListing();
    ASSERT_EQ(listing.entries.size(), 2u);
    EXPECT_EQ(listing.entries[0].data, Concat(first, ToBytes("PK\x03\x04")));
    EXPECT_EQ(listing.entries[1].data, second);
}

TEST_F(ScanTest, InputEndingInsideAHeaderOrName) {
    test::ZipBuilder zip;
    zip.Stored("complete", ToBytes("kept"));
    test::EntrySpec cut;
    cut.name = "cut-name";
    Bytes header = test::LocalHeader(cut);
    struct Case {
        const char* label;
        size_t keep;
        bool prematureEnd;
    } cases[] = {{"inside the 26 header bytes", 20, false}, {"inside the name", 33, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Bytes input = Concat(zip.bytes(), Bytes(header.begin(), header.begin() + c.keep));
        test::ScanOutcome run = Run(input);
        EXPECT_EQ(run.counters.filesFound, 1);
        std::vector<std::string> texts = run.Texts();
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "Premature end-of-file found"),
                  c.prematureEnd ? 1 : 0);
        EXPECT_EQ(ValidListing().entries.size(), 1u);
    }
}

// Two whole archives one after the other become one; an empty entry whose
// name ends in "/" gets the directory attribute.
TEST_F(ScanTest, ConcatenatedArchivesBecomeOne) {
    test::ZipBuilder one, two;
    one.Stored("dir/", {}).Stored("full/", ToBytes("12345")).Finish();
    two.Stored("two/c", ToBytes("CCC")).Stored("file", {}).Finish();
    test::ScanOutcome run = Run(Concat(one.bytes(), two.bytes()));
    EXPECT_EQ(run.counters.filesFound, 4);
    test::OracleListing listing = ValidListing();
    ASSERT_EQ(listing.entries.size(), 4u);
    const char* names[] = {"dir/", "full/", "two/c", "file"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(listing.entries[i].name, ToBytes(names[i]));
        EXPECT_EQ(listing.entries[i].externalAttributes, i == 0 ? 0x10u : 0u);
    }
    EXPECT_EQ(listing.entries[2].data, ToBytes("CCC"));
}

TEST_F(ScanTest, SummaryListsTheCountersAboveZero) {
    test::EntrySpec shortOne;
    shortOne.name = "short";
    shortOne.data = ToBytes("12345");
    shortOne.uncompressedSize = 9;
    test::EntrySpec tokenized;
    tokenized.name = "tokenized";
    tokenized.method = 7;
    tokenized.data = ToBytes("zz");
    test::ZipBuilder zip;
    zip.Stored("fine", ToBytes("ok")).Add(shortOne).Add(tokenized);
    test::ScanOutcome run = Run(zip.bytes());
    std::vector<std::string> texts = run.Texts();
    ASSERT_GE(texts.size(), 5u);
    std::vector<std::string> summary(texts.end() - 5, texts.end());
    EXPECT_EQ(summary, (std::vector<std::string>{
                           "Salvage attempt complete", "  3 files found", "  1 unrecoverable files",
                           "  1 partially recoverable files", "Salvaged data stored in " + OutPath()}));
    EXPECT_EQ(run.counters.unrecoverable, 1);
    EXPECT_EQ(run.counters.partiallyRecoverable, 1);
}

// A central directory record that cannot be written whole: reported, and the
// archive is left without an end record and without a summary.
TEST_F(ScanTest, ShortWriteOfTheCentralDirectory) {
    test::ZipBuilder zip;
    zip.Stored("a", ToBytes("aaaa")).Stored("b", ToBytes("bbbb"));
    // Each entry writes its header and name (31 bytes), its data to the
    // temporary file (4) and to the archive (4), and its header again (30);
    // then the first record and its name (47) go through, and the second
    // record comes up 36 bytes short.
    PlatformInjectFault(PlatformFault::kShortWrite, 2 * 69 + 47 + 10);
    test::ScanOutcome run = Run(zip.bytes());
    ASSERT_FALSE(run.messages.empty());
    EXPECT_EQ(run.messages.back().text, "Unable to write to output file");
    EXPECT_EQ(run.messages.back().level, 2);
    EXPECT_EQ(run.output.size(), 2u * 35 + 47 + 10);
}

// The host stops the run while an entry is decoded: that entry leaves no
// trace, the ones before stay, and no central directory is written.
TEST_F(ScanTest, AbortDropsTheEntryInHand) {
    Bytes small = ToBytes("small entry");
    Bytes big = test::PatternBytes(40000, 4);
    test::ZipBuilder zip;
    zip.Stored("small", small).Stored("big", big).Stored("after", ToBytes("never reached"));
    test::ScanOutcome run = Run(zip.bytes(), 0, /*abortAt=*/1);
    EXPECT_EQ(run.Texts(), (std::vector<std::string>{"Beginning salvage operations...",
                                                     "    small: size = 11:  OK",
                                                     "Salvage Aborted"}));
    EXPECT_EQ(run.messages.back().level, 2);
    // The small entry's header, name and data; nothing of "big".
    EXPECT_EQ(run.output.size(), 30u + 5 + 11);
    EXPECT_FALSE(test::FileExists(dir_.LibraryTmp() + "/arcsalve.tmp"));
}

// A stop requested after the last entry: nothing is left to act on it, so the
// archive is completed normally.
TEST_F(ScanTest, AbortAfterTheLastEntryCompletesTheArchive) {
    test::ZipBuilder zip;
    zip.Stored("small", ToBytes("data")).Raw(test::PatternBytes(30000, 1, true));
    test::ScanOutcome run = Run(zip.bytes(), 0, 1);
    EXPECT_EQ(run.Texts().back(), "Salvaged data stored in " + OutPath());
    EXPECT_EQ(ValidListing().entries.size(), 1u);
}

}  // namespace
}  // namespace arcsalve
