// The salvage of one entry: what each outcome reports, counts and leaves in
// the rebuilt archive, the rewritten header, names in messages, passwords and
// the temporary file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "arcsalve/arcsalve.h"
#include "common/little_endian.h"
#include "common/zip_format.h"
#include "platform/platform_testing.h"
#include "support/library_state.h"
#include "support/repair_run.h"
#include "support/scan_fixture.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"
#include "support/zipcrypto_writer.h"
#include "ui/password_prompt.h"

namespace arcsalve {
namespace {

using test::Bytes;
using test::ToBytes;

using EntrySalvageTest = test::ScanFixture;

struct Outcome {
    int level;
    std::string text;
    int partial, unrecoverable;
    Bytes kept;  // the entry's data in the rebuilt archive
};

// Every way an entry's data can come out, with its one message and counter.
TEST_F(EntrySalvageTest, ReportsEachOutcomeOnce) {
    Bytes data = ToBytes("0123456789");
    struct Case {
        const char* label;
        test::EntrySpec entry;
        Outcome expected;
        Bytes after;  // between the entry and the next
    };
    auto entry = [&](auto tweak) {
        test::EntrySpec e;
        e.name = "f.txt";
        e.data = data;
        tweak(e);
        return e;
    };
    auto bit3 = [&](uint32_t crc) { return entry([&](test::EntrySpec& e) { e.flags = kFlagDataDescriptor; e.crc = crc; }); };
    auto descriptor = [](uint32_t crc) {
        Bytes d = {'P', 'K', 7, 8, 0, 0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0};
        for (int k = 0; k < 4; ++k) d[4 + k] = static_cast<uint8_t>(crc >> (8 * k));
        return d;
    };
    Case cases[] = {
        {"intact", entry([](test::EntrySpec&) {}),
         {0, "    f.txt: size = 10:  OK", 0, 0, data}, {}},
        {"size differs from the header", entry([](test::EntrySpec& e) { e.uncompressedSize = 12; }),
         {1, "WARNING: Size of f.txt is 10, should be 12", 1, 0, data}, {}},
        {"CRC-32 differs from the header", entry([](test::EntrySpec& e) { e.crc = 0x12345678; }),
         {2, "ERROR: File f.txt is corrupt.  CRC is A684C7C6, should be 12345678", 1, 0, data}, {}},
        // Bit 3: the descriptor after the data holds the CRC-32, whatever the
        // header says; without one the entry is kept but never called OK.
        {"bit 3, CRC 0, no descriptor", entry([](test::EntrySpec& e) { e.flags = kFlagDataDescriptor; e.crc = 0; }),
         {1, "WARNING: f.txt (size = 10) could not be verified: no CRC-32 was found to check it against", 0, 0, data}, {}},
        {"bit 3, CRC 0, descriptor with the data's CRC-32", bit3(0),
         {0, "    f.txt: size = 10:  OK", 0, 0, data}, descriptor(0xA684C7C6)},
        {"bit 3, CRC 0, descriptor with another CRC-32", bit3(0),
         {2, "ERROR: File f.txt is corrupt.  CRC is A684C7C6, should be 00000007", 1, 0, data}, descriptor(7)},
        {"bit 3, the header's CRC-32 fits, the descriptor's does not", bit3(0xA684C7C6),
         {0, "    f.txt: size = 10:  OK", 0, 0, data}, descriptor(7)},
        {"bit 3 with a wrong CRC that is not 0",
         entry([](test::EntrySpec& e) { e.flags = kFlagDataDescriptor; e.crc = 1; }),
         {2, "ERROR: File f.txt is corrupt.  CRC is A684C7C6, should be 00000001", 1, 0, data}, {}},
        {"size and CRC both wrong: counted once",
         entry([](test::EntrySpec& e) { e.uncompressedSize = 3; e.crc = 7; }),
         {1, "WARNING: Size of f.txt is 10, should be 3", 1, 0, data}, {}},
        {"method 7 has no decoder", entry([](test::EntrySpec& e) { e.method = 7; }),
         {2, "ERROR: File f.txt is corrupt.  Salvaged 0 of 10", 0, 1, {}}, {}},
        {"unknown method 10 decodes to nothing", entry([](test::EntrySpec& e) { e.method = 10; }),
         {1, "WARNING: Size of f.txt is 0, should be 10", 1, 0, {}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ZipBuilder zip;
        zip.Add(c.entry).Raw(c.after).Stored("next", ToBytes("n"));
        test::ScanOutcome run = Run(zip.bytes());
        std::vector<test::Message> messages = EntryMessages(run);
        ASSERT_EQ(messages.size(), 2u) << run.Dump();
        EXPECT_EQ(messages[0].level, c.expected.level);
        EXPECT_EQ(messages[0].text, c.expected.text);
        EXPECT_EQ(messages[1].text, "    next: size = 1:  OK");
        EXPECT_EQ(run.counters.filesFound, 2);
        EXPECT_EQ(run.counters.partiallyRecoverable, c.expected.partial);
        EXPECT_EQ(run.counters.unrecoverable, c.expected.unrecoverable);
        test::OracleListing listing = ValidListing();
        ASSERT_EQ(listing.entries.size(), 2u);
        EXPECT_EQ(listing.entries[0].data, c.expected.kept);
    }
}

// The archive ends inside a stored entry: everything that was read is kept.
TEST_F(EntrySalvageTest, TruncatedStoredEntryKeepsItsGoodPrefix) {
    Bytes data = test::PatternBytes(3000, 12);
    test::ZipBuilder zip;
    zip.Stored("first", ToBytes("ok")).Stored("big.bin", data);
    for (size_t present : {0, 1, 999, 1700, 2048, 2999}) {
        SCOPED_TRACE(present);
        Bytes input(zip.bytes().begin(), zip.bytes().end() - static_cast<long>(3000 - present));
        test::ScanOutcome run = Run(input);
        std::vector<test::Message> messages = EntryMessages(run);
        ASSERT_EQ(messages.size(), 2u) << run.Dump();
        EXPECT_EQ(messages[1].text, "ERROR: File big.bin is corrupt.  Salvaged " +
                                        std::to_string(present) + " of 3000");
        EXPECT_EQ(run.counters.unrecoverable, present == 0 ? 1 : 0);
        EXPECT_EQ(run.counters.partiallyRecoverable, present == 0 ? 0 : 1);
        test::OracleListing listing = ValidListing();
        ASSERT_EQ(listing.entries.size(), 2u);
        EXPECT_EQ(listing.entries[1].data, Bytes(data.begin(), data.begin() + static_cast<long>(present)));
    }
}

// The rewritten header: version 20, no extra field, flags cleared except bit
// 11, method, sizes and CRC of what was written; the central record agrees.
TEST_F(EntrySalvageTest, RewrittenHeaderDescribesTheNewData) {
    Bytes data = ToBytes("payload");
    test::EntrySpec e;
    e.name = "x/y.txt";
    e.data = data;
    e.version = 63;
    e.flags = 0x0806;  // deflate level bits and bit 11
    e.extra = test::PatternBytes(40, 2);
    test::ZipBuilder zip;
    zip.Add(e);
    test::ScanOutcome run = Run(zip.bytes());
    const uint8_t* h = run.output.data();
    ASSERT_GE(run.output.size(), 30u + 7 + 7);
    EXPECT_EQ(LoadLE32(h), 0x04034B50u);
    EXPECT_EQ(LoadLE16(h + kLhVersion), 20);
    EXPECT_EQ(LoadLE16(h + kLhFlags), kFlagUtf8);
    EXPECT_EQ(LoadLE16(h + kLhMethod), 0);
    EXPECT_EQ(LoadLE16(h + kLhTime), e.time);
    EXPECT_EQ(LoadLE16(h + kLhDate), e.date);
    EXPECT_EQ(LoadLE32(h + kLhCrc), test::ZlibCrc32(data));
    EXPECT_EQ(LoadLE32(h + kLhCompressed), 7u);
    EXPECT_EQ(LoadLE32(h + kLhUncompressed), 7u);
    EXPECT_EQ(LoadLE16(h + kLhExtraLength), 0);
    EXPECT_EQ(Bytes(h + 30, h + 37), ToBytes("x/y.txt"));
    EXPECT_EQ(Bytes(h + 37, h + 44), data);
    test::OracleListing listing = ValidListing();
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].flags, kFlagUtf8);
}

// Names in messages: CP437 converted, UTF-8 as it is; the rebuilt archive
// keeps the stored bytes, and bit 11 on exactly the names that read as
// UTF-8 - also an unflagged one, as Unix archivers write them, which the new
// "MS-DOS" host would otherwise make a reader take as CP437.
TEST_F(EntrySalvageTest, NamesAreShownInHostText) {
    struct Name {
        const char* stored;
        uint16_t flags;
        const char* shown;
        uint32_t rebuiltFlags;
    } names[] = {
        {"\x81" "ber.txt", 0, "\xC3\xBC" "ber.txt", 0},  // CP437 0x81 is u-umlaut
        {"\xC3\xBC" "ber.txt", kFlagUtf8, "\xC3\xBC" "ber.txt", kFlagUtf8},
        {"gr\xC3\xBC\xC3\x9F" "e.txt", 0, "gr\xC3\xBC\xC3\x9F" "e.txt", kFlagUtf8},
        {"plain.txt", 0, "plain.txt", 0},
    };
    test::ZipBuilder zip;
    for (const Name& n : names) {
        test::EntrySpec e;
        e.name = n.stored;
        e.flags = n.flags;
        e.data = ToBytes("1");
        zip.Add(e);
    }
    test::ScanOutcome run = Run(zip.bytes());
    std::vector<test::Message> messages = EntryMessages(run);
    test::OracleListing listing = ValidListing();
    ASSERT_EQ(messages.size(), 4u);
    ASSERT_EQ(listing.entries.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i].shown);
        EXPECT_EQ(messages[i].text, std::string("    ") + names[i].shown + ": size = 1:  OK");
        EXPECT_EQ(listing.entries[i].name, ToBytes(names[i].stored));
        EXPECT_EQ(listing.entries[i].flags, names[i].rebuiltFlags);
    }
}

int ARCSALVE_CALLBACK AnswerPw(HWND, const char*, char* password) {
    std::snprintf(password, PASSWORD_BUFFER_SIZE, "pw");
    return 1;
}

// Without a password the entry is cut out and counted as undecryptable; the
// scan goes on after its encryption header and finds the next entry. With
// it, the entry is written in the clear: no encryption header, flags 0,
// version 20.
TEST_F(EntrySalvageTest, EncryptedEntry) {
    test_crypt::CryptEntry secret;
    secret.name = "secret.txt";
    secret.data = test::PatternBytes(5000, 3);
    secret.password = "pw";
    secret.method = 0;
    test_crypt::CryptEntry open = secret;
    open.name = "open.txt";
    open.encrypted = false;
    for (bool withPassword : {false, true}) {
        SCOPED_TRACE(withPassword ? "with the password" : "without");
        ForgetPasswords();
        SetPasswordCallback(withPassword ? reinterpret_cast<CallbackAddress>(&AnswerPw) : 0);
        test::ScanOutcome run = Run(test_crypt::BuildZip({secret, open}));
        std::vector<test::Message> messages = EntryMessages(run);
        ASSERT_EQ(messages.size(), 2u) << run.Dump();
        test::OracleListing listing = ValidListing();
        ASSERT_EQ(listing.entries.size(), withPassword ? 2u : 1u);
        EXPECT_EQ(listing.entries.back().name, ToBytes("open.txt"));
        if (withPassword) {
            EXPECT_EQ(messages[0].text, "    secret.txt: size = 5000:  OK");
            EXPECT_EQ(LoadLE16(run.output.data() + kLhFlags), 0);
            EXPECT_EQ(LoadLE16(run.output.data() + kLhVersion), 20);
            EXPECT_EQ(listing.entries[0].data, secret.data);
        } else {
            EXPECT_EQ(messages[0].level, 2);
            EXPECT_EQ(messages[0].text, "ERROR (SKIPPING FILE): Cannot decrypt secret.txt");
            EXPECT_EQ(run.counters.undecryptable, 1);
            EXPECT_EQ(run.Texts().at(run.Texts().size() - 2), "  1 undecryptable files");
        }
    }
}

// The temporary file cannot be created: reported with its path (one
// separator between directory and name, whatever TMPDIR ends with).
TEST_F(EntrySalvageTest, TemporaryFileFailureIsASystemError) {
    for (std::string suffix : {"", "/"}) {
        SCOPED_TRACE(suffix);
        ::setenv("TMPDIR", (dir_.LibraryTmp() + suffix).c_str(), 1);
        test::ZipBuilder zip;
        zip.Stored("a", ToBytes("aaa"));
        PlatformInjectFault(PlatformFault::kCreatePrivateFails);
        test::ScanOutcome run = Run(zip.bytes());
        std::vector<test::Message> messages = EntryMessages(run);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text,
                  "ERROR (SKIPPING FILE): Unable to create temp file " + dir_.LibraryTmp() + "/arcsalve.tmp");
        EXPECT_EQ(run.counters.systemErrors, 1);
        EXPECT_EQ(run.Texts().at(run.Texts().size() - 2), "  1 system errors");
        EXPECT_EQ(ValidListing().entries.size(), 0u);
    }
}

// A link planted under the temporary file's name is replaced, never written
// through, and nothing is left behind.
TEST_F(EntrySalvageTest, TemporaryFileNeverFollowsALink) {
    std::string victim = dir_.File("victim");
    test::WriteFile(victim, ToBytes("precious"));
    std::string tempName = dir_.LibraryTmp() + "/arcsalve.tmp";
    ASSERT_EQ(::symlink(victim.c_str(), tempName.c_str()), 0);
    test::ZipBuilder zip;
    zip.Stored("a", test::PatternBytes(3000, 1));
    test::ScanOutcome run = Run(zip.bytes());
    EXPECT_EQ(run.counters.filesFound, 1);
    EXPECT_EQ(test::ReadFile(victim), ToBytes("precious"));
    EXPECT_FALSE(test::FileExists(tempName));
    EXPECT_EQ(ValidListing().entries.size(), 1u);
}

}  // namespace
}  // namespace arcsalve
