// Whole repairs of traditionally encrypted archives through the library's
// public interface: made by Info-ZIP zip -P, by the test writer, and by the
// archivers of the corpus; damaged; checked with unzip -t and Python's
// zipfile, and against the original bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "crypt/cipher.h"
#include "support/crypt_fixture.h"
#include "support/zipcrypto_writer.h"
#include "support/zlib_oracle.h"
#include "ui/password_prompt.h"

namespace arcsalve {
namespace {

using test_crypt::Bytes;
using test_crypt::ZipEntry;

struct Host {
    std::vector<std::string> messages;     // "level|text"
    std::vector<std::string> answers;      // given in turn; then Skip
    size_t next = 0;
    std::vector<std::string> asked;
    int notices = 0;
};
Host g_host;

void ARCSALVE_CALLBACK OnMessage(int level, const char* text) {
    g_host.messages.push_back(std::to_string(level) + "|" + text);
}

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
        g_host = Host();
        ForgetPasswords();
        const char* old = std::getenv("TMPDIR");
        oldTmpdir_ = old ? old : "";
        hadTmpdir_ = old != nullptr;
        ASSERT_EQ(test_crypt::RunCommand("mkdir -p " + dir_.File("tmp") + " " + dir_.File("out")), 0);
        setenv("TMPDIR", dir_.File("tmp").c_str(), 1);
        SetMessageCallback(reinterpret_cast<CallbackAddress>(&OnMessage));
        SetPasswordCallback(reinterpret_cast<CallbackAddress>(&OnPassword));
        SetNoticeCallback(reinterpret_cast<CallbackAddress>(&OnNotice));
    }
    void TearDown() override {
        SetMessageCallback(0);
        SetPasswordCallback(0);
        SetNoticeCallback(0);
        if (hadTmpdir_) setenv("TMPDIR", oldTmpdir_.c_str(), 1);
        else unsetenv("TMPDIR");
        ForgetPasswords();
    }

    // Repairs `archive` (written as name) into the out directory; returns the
    // rebuilt archive's bytes.
    Bytes Repair(const Bytes& archive, const std::string& name = "damaged.zip") {
        std::string in = dir_.File(name);
        EXPECT_TRUE(test_crypt::WriteAll(in, archive));
        std::string out = dir_.File("out");
        std::vector<char> inPath(in.begin(), in.end()), outPath(out.begin(), out.end());
        inPath.push_back('\0');
        outPath.push_back('\0');
        EXPECT_EQ(RepairFile(inPath.data(), outPath.data(), REPAIR_OVERWRITE, nullptr), REPAIR_OK);
        Bytes rebuilt;
        EXPECT_TRUE(test_crypt::ReadAll(dir_.File("out/" + name), &rebuilt));
        return rebuilt;
    }

    // unzip -t and Python's zipfile both accept the archive.
    void ExpectValid(const std::string& name = "damaged.zip") {
        std::string path = dir_.File("out/" + name), out;
        EXPECT_EQ(test_crypt::RunCommand("unzip -t " + test_crypt::ShellQuote(path), &out), 0) << out;
        out.clear();
        EXPECT_EQ(test_crypt::RunCommand("python3 -c 'import sys,zipfile; "
                                         "sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' " +
                                             test_crypt::ShellQuote(path),
                                         &out),
                  0)
            << out;
    }

    bool Said(const std::string& line) const {
        for (const std::string& m : g_host.messages)
            if (m == line) return true;
        return false;
    }
    bool SaidPrefix(const std::string& prefix) const {
        for (const std::string& m : g_host.messages)
            if (m.rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::string Dump() const {
        std::string all;
        for (const std::string& m : g_host.messages) all += m + "\n";
        return all;
    }

    test::ScratchDir dir_;
    std::string oldTmpdir_;
    bool hadTmpdir_ = false;
};

// Entries of a rebuilt archive: each unencrypted (flags 0, version 20 in the
// local header and the central record) and decompressed.
std::vector<std::pair<std::string, Bytes>> Contents(const Bytes& rebuilt) {
    std::vector<std::pair<std::string, Bytes>> out;
    for (const ZipEntry& e : test_crypt::ListZip(rebuilt)) {
        EXPECT_EQ(e.flags, 0) << e.name;
        EXPECT_EQ(rebuilt[e.localOffset + 4], 20) << e.name;
        Bytes data(rebuilt.begin() + e.dataOffset, rebuilt.begin() + e.dataOffset + e.compressedSize);
        Bytes plain;
        if (e.method == 8) EXPECT_TRUE(test::ZlibRawInflate(data, &plain, true)) << e.name;
        else plain = data;
        out.emplace_back(e.name, plain);
    }
    return out;
}

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
    for (auto& f : files) ASSERT_TRUE(test_crypt::WriteAll(dir_.File(f.first), f.second));
    ASSERT_EQ(test_crypt::RunCommand("cd " + dir_.path() +
                                     " && zip -q -X -P hunter2 src.zip a.txt b.txt && zip -q -X -0 -P hunter2 src.zip c.bin d.txt"),
              0);
    Bytes original;
    ASSERT_TRUE(test_crypt::ReadAll(dir_.File("src.zip"), &original));
    std::vector<ZipEntry> entries = test_crypt::ListZip(original);
    ASSERT_EQ(entries.size(), 4u);
    size_t centralStart = entries.back().dataOffset + entries.back().compressedSize + 16;

    struct Damage {
        const char* label;
        Bytes archive;
        size_t intact;  // entries expected intact
    };
    Bytes noCentral(original.begin(), original.begin() + centralStart);
    Bytes prefixed = test_crypt::ToBytes("garbage before the archive PK\x03 PK");
    prefixed.insert(prefixed.end(), original.begin(), original.end());
    Bytes truncated(original.begin(), original.begin() + entries[3].dataOffset + 12 + 20000);
    std::vector<Damage> damages = {{"central directory cut off", noCentral, 4},
                                   {"garbage prefix", prefixed, 4},
                                   {"truncated inside the last entry", truncated, 3}};
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.label);
        g_host.messages.clear();
        g_host.asked.clear();
        g_host.answers = {"hunter2"};
        g_host.next = 0;
        ForgetPasswords();
        Bytes rebuilt = Repair(d.archive);
        EXPECT_EQ(g_host.asked, std::vector<std::string>{"a.txt"}) << Dump();
        auto contents = Contents(rebuilt);
        ASSERT_EQ(contents.size(), 4u) << Dump();
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(contents[i].first, files[i].first);
            if (i < d.intact) {
                EXPECT_EQ(contents[i].second, files[i].second) << files[i].first;
            } else {
                // The stored entry's good prefix: 20000 bytes of it.
                ASSERT_EQ(contents[i].second.size(), 20000u);
                EXPECT_TRUE(std::equal(contents[i].second.begin(), contents[i].second.end(),
                                       files[i].second.begin()));
            }
        }
        ExpectValid();
    }
}

// Without a password (no answer, or no callback at all) every encrypted
// entry is skipped: string 10, counted as undecryptable, cut out of the
// rebuilt archive, while the plain entries around it are kept. The scan goes
// on right after the 12 header bytes: a plain entry hidden in the skipped
// entry's data is found.
TEST_F(EncryptedRepair, SkippedEntriesAreCutOutAndTheScanResumesAfterTheHeader) {
    Bytes archive = test_crypt::BuildZip({test_crypt::Plain("plain1.txt", Text(30, 5)),
                                          test_crypt::Encrypted("secret.txt", Text(60, 6), "pw"),
                                          test_crypt::Plain("plain2.txt", Text(20, 7), 0)});

    // An encrypted stored entry whose "data" after its 12 header bytes is a
    // whole plain entry: found only if the scan resumes right after them.
    Bytes innerZip = test_crypt::BuildZip({test_crypt::Plain("inner.txt", Text(10, 8), 0)});
    std::vector<ZipEntry> innerEntries = test_crypt::ListZip(innerZip);
    Bytes innerLocal(innerZip.begin(), innerZip.begin() + innerEntries[0].dataOffset + innerEntries[0].compressedSize);
    Bytes wrapper = {'P', 'K', 3, 4, 20, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44};
    uint32_t size = static_cast<uint32_t>(12 + innerLocal.size());
    for (int k = 0; k < 4; ++k) wrapper.push_back(static_cast<uint8_t>(size >> (8 * k)));
    for (int k = 0; k < 4; ++k) wrapper.push_back(static_cast<uint8_t>(innerLocal.size() >> (8 * k)));
    wrapper.insert(wrapper.end(), {8, 0, 0, 0});
    for (char c : std::string("wrap.bin")) wrapper.push_back(static_cast<uint8_t>(c));
    Bytes header = test_crypt::EncryptionHeader("other", 0x44, 3);
    wrapper.insert(wrapper.end(), header.begin(), header.end());
    wrapper.insert(wrapper.end(), innerLocal.begin(), innerLocal.end());
    archive.insert(archive.begin(), wrapper.begin(), wrapper.end());

    for (bool callback : {true, false}) {
        SCOPED_TRACE(callback ? "user skips" : "no password callback");
        g_host.messages.clear();
        g_host.asked.clear();
        if (!callback) SetPasswordCallback(0);
        Bytes rebuilt = Repair(archive);
        auto contents = Contents(rebuilt);
        std::vector<std::string> names;
        for (auto& c : contents) names.push_back(c.first);
        EXPECT_EQ(names, (std::vector<std::string>{"inner.txt", "plain1.txt", "plain2.txt"})) << Dump();
        EXPECT_TRUE(Said("2|ERROR (SKIPPING FILE): Cannot decrypt wrap.bin")) << Dump();
        EXPECT_TRUE(Said("2|ERROR (SKIPPING FILE): Cannot decrypt secret.txt")) << Dump();
        EXPECT_TRUE(Said("2|  2 undecryptable files")) << Dump();
        EXPECT_EQ(g_host.asked.size(), callback ? 2u : 0u);
        ExpectValid();
    }
}

// Passwords accepted in one repair are remembered in the next: a second
// archive with the same password is repaired without a question.
TEST_F(EncryptedRepair, RememberedPasswordsSurviveIntoTheNextRepair) {
    test_crypt::CryptEntry e = test_crypt::Encrypted("one.txt", Text(100, 9), "carry over");
    Bytes first = test_crypt::BuildZip({e});
    e.name = "two.txt";
    e.data = Text(100, 10);
    Bytes second = test_crypt::BuildZip({e});
    g_host.answers = {"carry over"};
    auto c1 = Contents(Repair(first, "first.zip"));
    auto c2 = Contents(Repair(second, "second.zip"));
    EXPECT_EQ(g_host.asked, std::vector<std::string>{"one.txt"});
    ASSERT_EQ(c1.size(), 1u);
    ASSERT_EQ(c2.size(), 1u);
    EXPECT_EQ(c2[0].second, e.data);
}

// A wrong password that passes the one-byte check is accepted like a right
// one; the data decrypts to garbage, which fares as damaged data (a stored
// entry of the right size with the wrong CRC, a deflated one that does not
// inflate), never as a crash or as an intact entry.
TEST_F(EncryptedRepair, WrongPasswordPassingTheCheckByteGivesDamagedData) {
    test_crypt::CryptEntry stored = test_crypt::Encrypted("stored.txt", Text(200, 11), "right", 0);
    test_crypt::CryptEntry deflated = test_crypt::Encrypted("deflated.txt", Text(200, 12), "right");
    Bytes archive = test_crypt::BuildZip({stored, deflated});
    std::vector<ZipEntry> entries = test_crypt::ListZip(archive);
    // A wrong password that passes both headers' checks.
    std::string wrong;
    for (int i = 0; wrong.empty() && i < 2000000; ++i) {
        std::string candidate = "w" + std::to_string(i);
        bool passes = true;
        for (const ZipEntry& e : entries)
            passes = passes && CheckPassword(candidate.c_str(), &archive[e.dataOffset], e.crc, e.time, e.flags);
        if (passes) wrong = candidate;
    }
    ASSERT_FALSE(wrong.empty());
    g_host.answers = {wrong};
    Bytes rebuilt = Repair(archive);
    auto contents = Contents(rebuilt);
    for (auto& c : contents) EXPECT_NE(c.second, c.first == "stored.txt" ? stored.data : deflated.data);
    EXPECT_TRUE(SaidPrefix("2|ERROR: File stored.txt is corrupt.  CRC is ")) << Dump();
    EXPECT_TRUE(SaidPrefix("2|ERROR: File deflated.txt is corrupt.  Salvaged ")) << Dump();
    EXPECT_FALSE(SaidPrefix("0|    ")) << Dump();  // no entry reported OK
    EXPECT_EQ(g_host.asked.size(), 1u);
    ExpectValid();
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
        g_host = Host();
        g_host.answers = {"pw"};
        ForgetPasswords();
        auto contents = Contents(Repair(damaged));
        ASSERT_EQ(contents.size(), 1u) << Dump();
        EXPECT_LT(contents[0].second.size(), e.data.size());
        EXPECT_TRUE(std::equal(contents[0].second.begin(), contents[0].second.end(), e.data.begin()));
        EXPECT_EQ(g_host.asked.size(), 1u);
        ExpectValid();
    }
    for (size_t keep : {0, 1, 6, 11}) {
        SCOPED_TRACE(keep);
        Bytes cut(archive.begin(), archive.begin() + entry.dataOffset + keep);
        g_host = Host();
        g_host.answers = {"pw"};
        ForgetPasswords();
        Bytes rebuilt = Repair(cut);
        EXPECT_EQ(rebuilt.size(), 22u) << Dump();  // the end record alone
        EXPECT_TRUE(Said("2|ERROR (SKIPPING FILE): Cannot decrypt short.txt")) << Dump();
        EXPECT_EQ(g_host.notices, 1);
    }
}

struct CorpusCase {
    bool copyleft;
    const char* file;
    const char* password;
};

// The corpus's encrypted archives made by other archivers: every entry is
// salvaged and matches what unzip -p extracts with the password.
TEST_F(EncryptedRepair, CorpusArchivesSalvagedWhole) {
    const CorpusCase cases[] = {
        {false, "zipcrypto-stored-sharpcompress.zip", "test"},
        {false, "zipcrypto-deflated-dd-infozip30-libarchive.zip", "12345678"},
        {true, "zipcrypto-deflated-7zip1900-puren-tonbo.zip", "password"},
        {true, "zipcrypto-deflated-p7zip1602-puren-tonbo.zip", "password"},
        {true, "zipcrypto-stored-7zip1900-puren-tonbo.zip", "password"},
    };
    for (const CorpusCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = test_crypt::LegacyArchive(c.file, c.copyleft);
        if (path.empty()) continue;
        Bytes archive;
        ASSERT_TRUE(test_crypt::ReadAll(path, &archive));
        std::vector<ZipEntry> entries = test_crypt::ListZip(archive);
        g_host = Host();
        g_host.answers = {c.password};
        ForgetPasswords();
        auto contents = Contents(Repair(archive, c.file));
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
            EXPECT_EQ(contents[i].first, entries[i].name);
            EXPECT_EQ(contents[i].second, test_crypt::ToBytes(expected));
        }
        ExpectValid(c.file);
    }
}

}  // namespace
}  // namespace arcsalve
