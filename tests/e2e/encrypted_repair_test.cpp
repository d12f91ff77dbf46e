// Whole repairs of traditionally encrypted archives through the library's
// public interface: made by Info-ZIP zip -P, by the test writer, and by the
// archivers of the corpus; damaged; checked with unzip -t and Python's
// zipfile, and against the original bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "crypt/cipher.h"
#include "support/crypt_fixture.h"
#include "support/repair_run.h"
#include "support/zip_builder.h"
#include "support/zipcrypto_writer.h"
#include "ui/password_prompt.h"

namespace arcsalve {
namespace {

using test_crypt::Bytes;
using test_crypt::ZipEntry;

struct Host {
    std::vector<std::string> answers;  // given in turn; then Skip
    size_t next = 0;
    std::vector<std::string> asked;
    int notices = 0;
};
Host g_host;

int ARCSALVE_CALLBACK OnPassword(HWND, const char* name, char* password) {
    g_host.asked.push_back(name);
    if (g_host.next >= g_host.answers.size()) return 0;
    std::strncpy(password, g_host.answers[g_host.next++].c_str(), PASSWORD_BUFFER_SIZE - 1);
    return 1;
}

void ARCSALVE_CALLBACK OnNotice(HWND, const char*, const char*, unsigned long) { ++g_host.notices; }

class EncryptedRepair : public testing::Test {
protected:
    void SetUp() override {
        ::mkdir(dir_.File("out").c_str(), 0755);
        SetPasswordCallback(reinterpret_cast<CallbackAddress>(&OnPassword));
        SetNoticeCallback(reinterpret_cast<CallbackAddress>(&OnNotice));
    }
    void TearDown() override {
        SetPasswordCallback(0);
        SetNoticeCallback(0);
        ForgetPasswords();
    }

    // Repairs `archive` (written as name) into out/ with a fresh host that
    // answers `answers`; the rebuilt archive must be valid for unzip and
    // Python. Returns its entries, each unencrypted (flags 0, version 20 in
    // the local header) and decompressed.
    std::vector<test::OracleEntry> Repair(const Bytes& archive, std::vector<std::string> answers,
                                          const std::string& name = "damaged.zip") {
        g_host = Host();
        g_host.answers = std::move(answers);
        ForgetPasswords();
        test::WriteFile(dir_.File(name), archive);
        run_ = test::RunRepair(dir_.File(name), dir_.File("out"), REPAIR_OVERWRITE);
        EXPECT_EQ(run_.result, REPAIR_OK);
        rebuilt_ = test::ReadFile(dir_.File("out/" + name));
        for (const ZipEntry& e : test_crypt::ListZip(rebuilt_)) EXPECT_EQ(rebuilt_[e.localOffset + 4], 20) << e.name;
        std::vector<test::OracleEntry> entries = test::ExpectValidArchive(dir_.File("out/" + name)).entries;
        for (const test::OracleEntry& e : entries) EXPECT_EQ(e.flags, 0u);
        return entries;
    }

    bool Said(const std::string& line, bool prefix = false) const {
        for (const test::Message& m : run_.messages) {
            std::string said = std::to_string(m.level) + "|" + m.text;
            if (prefix ? said.rfind(line, 0) == 0 : said == line) return true;
        }
        return false;
    }
    std::string Dump() const { return run_.Dump(); }

    test::TempDir dir_;
    test::RepairOutcome run_;
    Bytes rebuilt_;
};

std::string NameOf(const test::OracleEntry& e) { return std::string(e.name.begin(), e.name.end()); }

Bytes Text(int lines, int salt) {
    std::string s;
    for (int i = 0; i < lines; ++i)
        s += "entry " + std::to_string(salt) + " line " + std::to_string(i * 31 % 977) + "\n";
    return test_crypt::ToBytes(s);
}

// zip -P archive of several entries, stored and deflated (Info-ZIP sets bit
// 3 and puts the time in the check byte), damaged three ways; repaired with
// the password, asked once, every entry comes out unencrypted and intact,
// and the entry cut by the truncation keeps its good prefix.
TEST_F(EncryptedRepair, InfoZipArchiveRepairedWithThePassword) {
    std::vector<std::pair<std::string, Bytes>> files = {
        {"a.txt", Text(400, 1)}, {"b.txt", Text(900, 2)}, {"c.bin", Text(50, 3)}, {"d.txt", Text(2000, 4)}};
    for (auto& f : files) test::WriteFile(dir_.File(f.first), f.second);
    ASSERT_EQ(test_crypt::RunCommand("cd " + dir_.path() +
                                     " && zip -q -X -P hunter2 src.zip a.txt b.txt && zip -q -X -0 -P hunter2 src.zip c.bin d.txt"),
              0);
    Bytes original = test::ReadFile(dir_.File("src.zip"));
    std::vector<ZipEntry> entries = test_crypt::ListZip(original);
    ASSERT_EQ(entries.size(), 4u);
    size_t centralStart = entries.back().dataOffset + entries.back().compressedSize + 16;
    struct Damage {
        const char* label;
        Bytes archive;
        size_t intact;  // entries expected intact
    } damages[] = {
        {"central directory cut off", Bytes(original.begin(), original.begin() + centralStart), 4},
        {"garbage prefix", test::Concat(test_crypt::ToBytes("garbage before the archive PK\x03 PK"), original), 4},
        {"truncated inside the last entry", Bytes(original.begin(), original.begin() + entries[3].dataOffset + 12 + 20000), 3},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.label);
        auto contents = Repair(d.archive, {"hunter2"});
        // The cut entry does not decode to its CRC-32 with the remembered
        // password: the host is asked for another before it fares as damaged.
        std::vector<std::string> asked{"a.txt"};
        if (d.intact < 4) asked.push_back("d.txt");
        EXPECT_EQ(g_host.asked, asked) << Dump();
        ASSERT_EQ(contents.size(), 4u) << Dump();
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(NameOf(contents[i]), files[i].first);
            // The stored entry cut short keeps 20000 bytes, its good prefix.
            Bytes expected = files[i].second;
            if (i >= d.intact) expected.resize(20000);
            EXPECT_EQ(contents[i].data, expected) << files[i].first;
        }
    }
}

// Without a password (no answer, or no callback at all) every encrypted
// entry is skipped: counted as undecryptable, cut out of the rebuilt
// archive, while the plain entries around it are kept. The scan goes on
// right after the 12 header bytes: a plain entry hidden in the skipped
// entry's data is found.
TEST_F(EncryptedRepair, SkippedEntriesAreCutOutAndTheScanResumesAfterTheHeader) {
    Bytes archive = test_crypt::BuildZip({test_crypt::Plain("plain1.txt", Text(30, 5)),
                                          test_crypt::Encrypted("secret.txt", Text(60, 6), "pw"),
                                          test_crypt::Plain("plain2.txt", Text(20, 7), 0)});
    // An encrypted stored entry whose "data" after its 12 header bytes is a
    // whole plain entry.
    Bytes innerZip = test_crypt::BuildZip({test_crypt::Plain("inner.txt", Text(10, 8), 0)});
    ZipEntry inner = test_crypt::ListZip(innerZip).at(0);
    Bytes innerLocal(innerZip.begin(), innerZip.begin() + inner.dataOffset + inner.compressedSize);
    test::EntrySpec wrap;
    wrap.name = "wrap.bin";
    wrap.flags = 1;
    wrap.crc = 0x44332211;
    wrap.uncompressedSize = static_cast<uint32_t>(innerLocal.size());
    wrap.data = test::Concat(test_crypt::EncryptionHeader("other", 0x44, 3), innerLocal);
    archive = test::Concat(test::ZipBuilder().Add(wrap).bytes(), archive);

    for (bool callback : {true, false}) {
        SCOPED_TRACE(callback ? "user skips" : "no password callback");
        if (!callback) SetPasswordCallback(0);
        std::vector<std::string> names;
        for (const auto& c : Repair(archive, {})) names.push_back(NameOf(c));
        EXPECT_EQ(names, (std::vector<std::string>{"inner.txt", "plain1.txt", "plain2.txt"})) << Dump();
        EXPECT_TRUE(Said("2|ERROR (SKIPPING FILE): Cannot decrypt wrap.bin")) << Dump();
        EXPECT_TRUE(Said("2|ERROR (SKIPPING FILE): Cannot decrypt secret.txt")) << Dump();
        EXPECT_TRUE(Said("2|  2 undecryptable files")) << Dump();
        EXPECT_EQ(g_host.asked.size(), callback ? 2u : 0u);
    }
}

// Passwords accepted in one repair are remembered in the next: a second
// archive with the same password is repaired without a question.
TEST_F(EncryptedRepair, RememberedPasswordsSurviveIntoTheNextRepair) {
    test_crypt::CryptEntry e = test_crypt::Encrypted("one.txt", Text(100, 9), "carry over");
    Bytes first = test_crypt::BuildZip({e});
    e.name = "two.txt";
    e.data = Text(100, 10);
    ASSERT_EQ(Repair(first, {"carry over"}, "first.zip").size(), 1u);
    // Repair() starts a fresh host and forgets; this run keeps the password.
    test::WriteFile(dir_.File("second.zip"), test_crypt::BuildZip({e}));
    g_host.asked.clear();
    run_ = test::RunRepair(dir_.File("second.zip"), dir_.File("out"), REPAIR_OVERWRITE);
    test::OracleListing second = test::ExpectValidArchive(dir_.File("out/second.zip"));
    EXPECT_TRUE(g_host.asked.empty());
    ASSERT_EQ(second.entries.size(), 1u);
    EXPECT_EQ(second.entries[0].data, e.data);
}

// A wrong password that passes the one-byte check decrypts to garbage: the
// entry is decoded again with the next candidate (here the host's next
// answer), and only a password that gave a verified entry is remembered.
// Without a right one the entry fares as damaged data (a stored entry of the
// right size with the wrong CRC), never as an intact entry, and the wrong
// password is not tried first on the next entry.
TEST_F(EncryptedRepair, WrongPasswordPassingTheCheckByteGivesWayToTheNext) {
    test_crypt::CryptEntry stored = test_crypt::Encrypted("stored.txt", Text(200, 11), "right", 0);
    test_crypt::CryptEntry deflated = test_crypt::Encrypted("deflated.txt", Text(200, 12), "right");
    Bytes archive = test_crypt::BuildZip({stored, deflated});
    std::vector<ZipEntry> entries = test_crypt::ListZip(archive);
    std::string wrong;
    for (int i = 0; wrong.empty() && i < 2000000; ++i) {
        std::string candidate = "w" + std::to_string(i);
        bool passes = true;
        for (const ZipEntry& e : entries)
            passes = passes && CheckPassword(candidate.c_str(), &archive[e.dataOffset], e.crc, e.time, e.flags);
        if (passes) wrong = candidate;
    }
    ASSERT_FALSE(wrong.empty());
    std::vector<test::OracleEntry> both = Repair(archive, {wrong, "right"});
    ASSERT_EQ(both.size(), 2u) << Dump();
    EXPECT_EQ(both[0].data, stored.data);
    EXPECT_EQ(both[1].data, deflated.data);
    EXPECT_EQ(g_host.asked, (std::vector<std::string>{"stored.txt", "stored.txt"})) << Dump();
    EXPECT_EQ(RememberedPasswordCount(), 1);
    EXPECT_STREQ(RememberedPassword(0), "right");

    for (auto& c : Repair(archive, {wrong})) EXPECT_NE(c.data, stored.data);
    EXPECT_TRUE(Said("2|ERROR: File stored.txt is corrupt.  CRC is ", true)) << Dump();
    EXPECT_FALSE(Said("0|    ", true)) << Dump();  // no entry reported OK
    EXPECT_EQ(RememberedPasswordCount(), 0);
}

// Hostile encrypted headers: compressed sizes below 12 (the data length is
// negative), and an archive that ends inside the 12-byte encryption header
// (the missing bytes are read as 0, so the right password fails the check
// but for a 1 in 256 chance, and the entry is skipped). Nothing crashes, and
// the output is a valid archive.
TEST_F(EncryptedRepair, ShortAndTruncatedEncryptionHeaders) {
    test_crypt::CryptEntry e = test_crypt::Encrypted("short.txt", Text(5, 13), "pw", 0);
    Bytes archive = test_crypt::BuildZip({e});
    ZipEntry entry = test_crypt::ListZip(archive).at(0);
    for (uint32_t csize : {0u, 1u, 11u, 12u}) {
        SCOPED_TRACE(csize);
        Bytes damaged = archive;
        for (int k = 0; k < 4; ++k) damaged[entry.localOffset + 18 + k] = static_cast<uint8_t>(csize >> (8 * k));
        auto contents = Repair(damaged, {"pw"});
        ASSERT_EQ(contents.size(), 1u) << Dump();
        EXPECT_LT(contents[0].data.size(), e.data.size());
        EXPECT_TRUE(std::equal(contents[0].data.begin(), contents[0].data.end(), e.data.begin()));
        EXPECT_EQ(g_host.asked.size(), 2u);  // once more after the short decode
    }
    for (size_t keep : {0, 1, 6, 11}) {
        SCOPED_TRACE(keep);
        EXPECT_TRUE(Repair(Bytes(archive.begin(), archive.begin() + entry.dataOffset + keep), {"pw"}).empty());
        EXPECT_EQ(rebuilt_.size(), 22u) << Dump();  // the end record alone
        EXPECT_TRUE(Said("2|ERROR (SKIPPING FILE): Cannot decrypt short.txt")) << Dump();
        EXPECT_EQ(g_host.notices, 1);
    }
}

// The corpus's encrypted archives made by other archivers: every entry is
// salvaged and matches what unzip -p extracts with the password.
TEST_F(EncryptedRepair, CorpusArchivesSalvagedWhole) {
    const struct {
        bool copyleft;
        const char* file;
        const char* password;
    } cases[] = {
        {false, "zipcrypto-stored-sharpcompress.zip", "test"},
        {false, "zipcrypto-deflated-dd-infozip30-libarchive.zip", "12345678"},
        {true, "zipcrypto-deflated-7zip1900-puren-tonbo.zip", "password"},
        {true, "zipcrypto-deflated-p7zip1602-puren-tonbo.zip", "password"},
        {true, "zipcrypto-stored-7zip1900-puren-tonbo.zip", "password"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = test_crypt::LegacyArchive(c.file, c.copyleft);
        if (path.empty()) continue;
        std::vector<ZipEntry> entries = test_crypt::ListZip(test::ReadFile(path));
        auto contents = Repair(test::ReadFile(path), {c.password}, c.file);
        ASSERT_EQ(contents.size(), entries.size()) << Dump();
        EXPECT_EQ(g_host.asked.size(), 1u);
        for (size_t i = 0; i < entries.size(); ++i) {
            SCOPED_TRACE(entries[i].name);
            std::string expected;
            ASSERT_EQ(test_crypt::RunCommand("(unzip -p -P " + std::string(c.password) + " " +
                                                 test_crypt::ShellQuote(path) + " " +
                                                 test_crypt::ShellQuote(entries[i].name) + " 2>/dev/null)",
                                             &expected),
                      0);
            EXPECT_EQ(NameOf(contents[i]), entries[i].name);
            EXPECT_EQ(contents[i].data, test_crypt::ToBytes(expected));
        }
    }
}

}  // namespace
}  // namespace arcsalve
