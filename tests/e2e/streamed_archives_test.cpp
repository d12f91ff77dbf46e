// Whole repairs of archives written to a pipe, where every entry's CRC-32 and
// sizes follow its data in a data descriptor: Python's zipfile on a stream
// that cannot seek (stored and deflated), Info-ZIP zip writing to a pipe
// (plain and encrypted), bsdtar and jar where installed, and Python's
// archives rewritten without descriptor signatures. Each is repaired intact
// and damaged; the results must be valid for unzip and Python, hold every
// entry that survived byte for byte and the good prefix of a damaged one.
// Without REPAIR_TRAILING_DESCRIPTORS the same archives get the classic
// salvage, which trusts the local headers' zeros.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "common/little_endian.h"
#include "support/crypt_fixture.h"
#include "support/repair_run.h"
#include "support/source_tree.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"
#include "ui/password_prompt.h"

namespace arcsalve {
namespace {

using test::Bytes;
using test::Concat;
using test::OkLines;
using test::SourceFile;
using test::ToBytes;
using test::WriteTree;

// The files of every archive, in archive order. "nested.zip" is a stored
// archive inside the archive: its local headers, data descriptor signatures
// and central directory must not end its entry early.
std::vector<SourceFile> SourceFiles() {
    Bytes nested = Concat(test::ZipBuilder().Stored("in1.txt", ToBytes("first inner file")).bytes(),
                          ToBytes("PK\x07\x08 not a descriptor"));
    nested = test::ZipBuilder().Raw(nested).Stored("in2.txt", test::PatternBytes(3000, 21)).Finish().bytes();
    return {
        {"readme.txt", test::PatternBytes(6000, 1, true)},
        {"empty.txt", {}},
        {"sub/", {}},
        {"sub/big.bin", Concat(test::PatternBytes(400000, 2, true), test::PatternBytes(300000, 3))},
        {"nested.zip", nested},
        {"tail.txt", test::PatternBytes(1234, 4, true)},
    };
}

// Python's zipfile writing to a stream without seek or tell: every entry gets
// flag bit 3, zeros in its local header and a descriptor with signature.
constexpr char kPythonWriter[] = R"(
import io, sys, zipfile
class Pipe(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
out, root, method = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(out, "wb") as raw, zipfile.ZipFile(Pipe(raw), "w", method) as z:
    for name in sys.argv[4:]:
        if name.endswith("/"):
            z.mkdir(name[:-1])
        else:
            with open(root + "/" + name, "rb") as f, z.open(name, "w") as w:
                w.write(f.read())
)";

constexpr char kPassword[] = "streamed";

int AnswerPassword(HWND, const char*, char* password) {
    std::strcpy(password, kPassword);
    return 1;
}

struct Writer {
    const char* label;
    const char* tool;  // "" when the command needs nothing beyond python3 and zip
    bool dropSignatures;
    bool encrypted;
    bool hasDirectories;
};

// Drops the signature of every data descriptor, and the central directory,
// whose offsets no longer fit: what an old writer without signatures leaves
// after the archive was cut.
Bytes WithoutDescriptorSignatures(const Bytes& archive) {
    size_t centralDirectory = archive.size();
    for (size_t at = archive.size() - 22; at > 0; --at) {
        if (LoadLE32(archive.data() + at) == 0x06054B50u) {
            centralDirectory = LoadLE32(archive.data() + at + 16);
            break;
        }
    }
    Bytes out;
    size_t from = 0;
    for (const test_crypt::ZipEntry& e : test_crypt::ListZip(archive)) {
        if ((e.flags & 8) == 0) continue;
        size_t descriptor = e.dataOffset + e.compressedSize;
        EXPECT_EQ(LoadLE32(archive.data() + descriptor), 0x08074B50u) << e.name;
        out.insert(out.end(), archive.begin() + static_cast<long>(from), archive.begin() + static_cast<long>(descriptor));
        from = descriptor + 4;
    }
    out.insert(out.end(), archive.begin() + static_cast<long>(from), archive.begin() + static_cast<long>(centralDirectory));
    return out;
}

class StreamedRepair : public ::testing::TestWithParam<Writer> {
protected:
    void SetUp() override {
        const Writer& w = GetParam();
        if (*w.tool && test::RunCommand(std::string("command -v ") + w.tool + " >/dev/null") != 0)
            GTEST_SKIP() << w.tool << " is not installed";
        files_ = SourceFiles();
        if (!w.hasDirectories)
            files_.erase(std::remove_if(files_.begin(), files_.end(),
                                        [](const SourceFile& f) { return f.name.back() == '/'; }),
                         files_.end());
        WriteTree(dir_.File("src"), files_);
        archive_ = Make(w);
        ASSERT_FALSE(archive_.empty());
        entries_ = test_crypt::ListZip(archive_);
        ASSERT_EQ(entries_.size(), files_.size());
        // Most entries have their sizes after the data (Info-ZIP stores
        // nested.zip with its sizes in the header; directories have none).
        int streamed = 0;
        for (const test_crypt::ZipEntry& e : entries_)
            streamed += (e.flags & 8) != 0 && LoadLE32(archive_.data() + e.localOffset + 18) == 0;
        EXPECT_GE(streamed, 4);
        if (w.dropSignatures) archive_ = WithoutDescriptorSignatures(archive_);
        ::mkdir(dir_.File("out").c_str(), 0755);
        if (w.encrypted) SetPasswordCallback(reinterpret_cast<CallbackAddress>(&AnswerPassword));
    }
    void TearDown() override {
        SetPasswordCallback(0);
        ForgetPasswords();
    }

    Bytes Make(const Writer& w) {
        std::string names = test::ShellNames(files_);
        std::string out = dir_.File("made.zip");
        std::string cd = "cd " + test::ShellQuote(dir_.File("src")) + " && ";
        std::string label = w.label;
        std::string command;
        if (label.rfind("python", 0) == 0) {
            test::WriteFile(dir_.File("writer.py"), ToBytes(kPythonWriter));
            command = "python3 " + test::ShellQuote(dir_.File("writer.py")) + " " + test::ShellQuote(out) + " " +
                      test::ShellQuote(dir_.File("src")) + (label.find("stored") != std::string::npos ? " 0" : " 8") +
                      names;
        } else if (label.rfind("zip", 0) == 0) {
            // Info-ZIP streams (bit 3, sizes after the data) only when it
            // writes to a pipe.
            command = cd + "zip -q -fz- " + (w.encrypted ? std::string("-P ") + kPassword + " " : "") + "-" +
                      names + " | cat > " + test::ShellQuote(out);
        } else if (label == "bsdtar") {
            command = cd + "bsdtar -n --format zip -cf -" + names + " | cat > " + test::ShellQuote(out);
        } else {
            command = cd + "jar cMf " + test::ShellQuote(out) + names;
        }
        std::string log;
        EXPECT_EQ(test::RunCommand(command, &log), 0) << command << "\n" << log;
        return test::ReadFile(out);
    }

    // Repairs `damaged` into out/ with `flags` and checks the rebuilt archive
    // against `expected`, entry for entry; a damaged entry's data must start
    // with `expected` data's first prefixOnly bytes instead of equalling it.
    test::RepairOutcome RepairAndCheck(const Bytes& damaged, const std::vector<SourceFile>& expected,
                                       const std::string& prefixOnly = "", size_t prefixLength = 0,
                                       unsigned long flags = REPAIR_TRAILING_DESCRIPTORS) {
        std::string input = dir_.File("damaged.zip");
        test::WriteFile(input, damaged);
        test::RepairOutcome run = test::RunRepair(input, dir_.File("out"), REPAIR_OVERWRITE | flags);
        EXPECT_EQ(run.result, 0u) << run.Dump();
        test::OracleListing listing = test::ExpectValidArchive(run.outputPath);
        EXPECT_EQ(listing.entries.size(), expected.size()) << run.Dump();
        for (size_t i = 0; i < std::min(listing.entries.size(), expected.size()); ++i) {
            SCOPED_TRACE(expected[i].name);
            const Bytes& got = listing.entries[i].data;
            EXPECT_EQ(listing.entries[i].name, ToBytes(expected[i].name));
            if (expected[i].name == prefixOnly) {
                EXPECT_GE(got.size(), prefixLength);
                EXPECT_TRUE(got.size() >= prefixLength && std::equal(expected[i].data.begin(), expected[i].data.begin() + static_cast<long>(prefixLength),
                                       got.begin()))
                    << "the good prefix";
            } else {
                EXPECT_TRUE(got == expected[i].data) << "sizes " << got.size() << " and " << expected[i].data.size();
            }
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
    bool Stored(size_t i) const { return entries_[i].method == 0; }
    bool Streamed(size_t i) const {
        return (entries_[i].flags & 8) != 0 && LoadLE32(archive_.data() + entries_[i].localOffset + 18) == 0;
    }

    test::TempDir dir_;
    std::vector<SourceFile> files_;
    Bytes archive_;
    std::vector<test_crypt::ZipEntry> entries_;
};

TEST_P(StreamedRepair, IntactArchiveComesOutEntryForEntry) {
    test::RepairOutcome run = RepairAndCheck(archive_, files_);
    std::vector<std::string> expected = {"Beginning salvage operations..."};
    for (const std::string& line : OkLines(files_)) expected.push_back(line);
    expected.insert(expected.end(), {"Salvage attempt complete", "  " + std::to_string(files_.size()) + " files found",
                                     "Salvaged data stored in " + run.outputPath});
    EXPECT_EQ(run.Texts(), expected);
}

// With every extension, an intact entry that is not encrypted keeps its
// original compressed data: the descriptor's CRC-32 and size prove it.
TEST_P(StreamedRepair, IntactEntriesKeepTheirDataWithEveryExtension) {
    test::RepairOutcome run = RepairAndCheck(archive_, files_, "", 0, REPAIR_EXTENSIONS);
    EXPECT_EQ(run.counters.partiallyRecoverable, 0) << run.Dump();
    std::vector<test_crypt::ZipEntry> rebuilt = test_crypt::ListZip(test::ReadFile(run.outputPath));
    ASSERT_EQ(rebuilt.size(), entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
        SCOPED_TRACE(entries_[i].name);
        if (GetParam().encrypted) continue;  // written decrypted, compressed anew
        EXPECT_EQ(rebuilt[i].method, entries_[i].method);
        EXPECT_EQ(rebuilt[i].compressedSize, entries_[i].compressedSize);
        EXPECT_EQ(rebuilt[i].flags & 8, 0);
    }
}

TEST_P(StreamedRepair, CentralDirectoryCutOff) {
    // The last descriptor ends where the central directory starts (archives
    // rewritten without signatures have lost theirs already).
    size_t end = archive_.size();
    for (size_t at = GetParam().dropSignatures ? 0 : archive_.size() - 22; at > 0; --at) {
        if (LoadLE32(archive_.data() + at) == 0x06054B50u) {
            end = LoadLE32(archive_.data() + at + 16);
            break;
        }
    }
    test::RepairOutcome run = RepairAndCheck(Bytes(archive_.begin(), archive_.begin() + static_cast<long>(end)), files_);
    EXPECT_EQ(run.counters.partiallyRecoverable, 0) << run.Dump();
}

TEST_P(StreamedRepair, ArchiveCutInsideAnEntryKeepsItsGoodPrefix) {
    size_t big = IndexOf("sub/big.bin");
    size_t cut = entries_[big].dataOffset + entries_[big].compressedSize / 2;
    std::vector<SourceFile> expected(files_.begin(), files_.begin() + static_cast<long>(big) + 1);
    // Stored data keeps every byte up to the cut; a deflate stream at least
    // the first of its blocks (all of it is compressible there).
    size_t prefix = Stored(big) ? cut - entries_[big].dataOffset : 100000;
    test::RepairOutcome run =
        RepairAndCheck(Bytes(archive_.begin(), archive_.begin() + static_cast<long>(cut)), expected, "sub/big.bin", prefix);
    EXPECT_EQ(run.counters.partiallyRecoverable, 1) << run.Dump();
    std::vector<std::string> texts = run.Texts();
    EXPECT_NE(std::find_if(texts.begin(), texts.end(),
                           [](const std::string& t) { return t.rfind("ERROR: File sub/big.bin is corrupt.", 0) == 0; }),
              texts.end())
        << run.Dump();
}

// A byte flipped inside the first entry: every other entry comes out intact
// and OK; the damaged one is reported and keeps its good prefix.
TEST_P(StreamedRepair, FlippedByteInsideAnEntry) {
    size_t readme = IndexOf("readme.txt");
    Bytes damaged = archive_;
    size_t at = entries_[readme].compressedSize * 2 / 3;
    damaged[entries_[readme].dataOffset + at] ^= 0x55;
    std::vector<SourceFile> expected = files_;
    // Stored data keeps its size and every byte but the flipped one; a
    // deflate stream keeps what it decoded before the damage.
    size_t prefix = 1000;
    if (Stored(readme) && !GetParam().encrypted) {
        expected[readme].data[at] ^= 0x55;
        prefix = expected[readme].data.size();
    }
    test::RepairOutcome run = RepairAndCheck(damaged, expected, "readme.txt", prefix);
    std::vector<std::string> texts = run.Texts();
    for (size_t i = 0; i < files_.size(); ++i) {
        if (i == readme) continue;
        EXPECT_NE(std::find(texts.begin(), texts.end(), OkLines(files_)[i]), texts.end()) << run.Dump();
    }
    // Damaged deflate data may also decode to a complete stream of another size.
    EXPECT_TRUE(texts[1].rfind("ERROR: File readme.txt is corrupt.", 0) == 0 ||
                texts[1].rfind("WARNING: Size of readme.txt is ", 0) == 0)
        << run.Dump();
    EXPECT_EQ(run.counters.partiallyRecoverable + run.counters.unrecoverable, 1) << run.Dump();
}

TEST_P(StreamedRepair, TwoArchivesConcatenated) {
    std::vector<SourceFile> twice = files_;
    twice.insert(twice.end(), files_.begin(), files_.end());
    test::RepairOutcome run = RepairAndCheck(Concat(archive_, archive_), twice);
    EXPECT_EQ(run.counters.filesFound, static_cast<int>(twice.size()));
    EXPECT_EQ(run.counters.partiallyRecoverable, 0) << run.Dump();
}

// Without the flag the local header's zeros are believed: no entry with data
// comes out whole, and none is reported with its real size.
TEST_P(StreamedRepair, WithoutTheFlagTheClassicSalvageRuns) {
    std::string input = dir_.File("in.zip");
    test::WriteFile(input, archive_);
    test::RepairOutcome run = test::RunRepair(input, dir_.File("out"), REPAIR_OVERWRITE);
    EXPECT_EQ(run.result, 0u);
    std::vector<std::string> texts = run.Texts();
    for (const SourceFile& f : files_) {
        SCOPED_TRACE(f.name);
        auto line = std::find_if(texts.begin(), texts.end(), [&](const std::string& t) {
            return t.find(" " + f.name + ":") != std::string::npos || t.find(" " + f.name + " ") != std::string::npos;
        });
        ASSERT_NE(line, texts.end()) << run.Dump();
        if (f.data.empty() || !Streamed(IndexOf(f.name))) continue;
        if (Stored(IndexOf(f.name)))
            EXPECT_EQ(*line, "    " + f.name + ": size = 0:  OK");
        else
            EXPECT_EQ(line->rfind("ERROR: File " + f.name + " is corrupt.  Salvaged ", 0), 0u) << *line;
    }
}

const Writer kWriters[] = {
    {"python_stored", "", false, false, true},
    {"python_deflated", "", false, false, true},
    {"python_stored_no_signatures", "", true, false, true},
    {"python_deflated_no_signatures", "", true, false, true},
    {"zip_pipe", "", false, false, true},
    {"zip_pipe_encrypted", "", false, true, true},
    {"bsdtar", "bsdtar", false, false, true},
    {"jar", "jar", false, false, false},
};

INSTANTIATE_TEST_SUITE_P(Writers, StreamedRepair, ::testing::ValuesIn(kWriters),
                         [](const ::testing::TestParamInfo<Writer>& info) { return std::string(info.param.label); });

// Info-ZIP reading the data from a pipe as well as writing to one: an entry
// named "-" whose sizes it learns only at the end.
TEST(StreamedPipes, ZipFromPipeToPipe) {
    test::TempDir dir;
    Bytes data = test::PatternBytes(200000, 6, true);
    test::WriteFile(dir.File("data.bin"), data);
    std::string log;
    ASSERT_EQ(test::RunCommand("cat " + test::ShellQuote(dir.File("data.bin")) + " | zip -q -fz- - - | cat > " +
                                   test::ShellQuote(dir.File("in.zip")),
                               &log),
              0)
        << log;
    Bytes archive = test::ReadFile(dir.File("in.zip"));
    ASSERT_GE(archive.size(), 30u);
    EXPECT_EQ(LoadLE16(archive.data() + 6) & 8, 8) << "sizes after the data";
    ::mkdir(dir.File("out").c_str(), 0755);
    for (size_t cut : {archive.size(), archive.size() - 22}) {  // with and without the end record
        SCOPED_TRACE(cut);
        test::WriteFile(dir.File("cut.zip"), Bytes(archive.begin(), archive.begin() + static_cast<long>(cut)));
        test::RepairOutcome run =
            test::RunRepair(dir.File("cut.zip"), dir.File("out"), REPAIR_OVERWRITE | REPAIR_TRAILING_DESCRIPTORS);
        EXPECT_EQ(run.Texts().at(1), "    -: size = 200000:  OK") << run.Dump();
        test::OracleListing listing = test::ExpectValidArchive(run.outputPath);
        ASSERT_EQ(listing.entries.size(), 1u);
        EXPECT_TRUE(listing.entries[0].data == data);
    }
}

// The command reads descriptors by default; --classic runs without them.
TEST(StreamedCommand, ClassicOptionTurnsTheExtensionsOff) {
    test::TempDir dir;
    std::vector<SourceFile> files = {{"a.txt", test::PatternBytes(3000, 5, true)}};
    WriteTree(dir.File("src"), files);
    test::WriteFile(dir.File("writer.py"), ToBytes(kPythonWriter));
    std::string log;
    ASSERT_EQ(test::RunCommand("python3 " + test::ShellQuote(dir.File("writer.py")) + " " +
                                   test::ShellQuote(dir.File("in.zip")) + " " + test::ShellQuote(dir.File("src")) +
                                   " 0 a.txt",
                               &log),
              0)
        << log;
    ::mkdir(dir.File("out").c_str(), 0755);
    struct Case {
        const char* options;
        const char* line;
    } cases[] = {
        {"", "    a.txt: size = 3000:  OK"},
        {"--classic ", "    a.txt: size = 0:  OK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        std::string output;
        int status = test::RunCommand(std::string(ARCSALVE_CLI_PATH) + " --no-prompt --no-progress -f " + c.options +
                                          "-o " + test::ShellQuote(dir.File("out")) + " " +
                                          test::ShellQuote(dir.File("in.zip")) + " </dev/null",
                                      &output);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find(c.line), std::string::npos) << output;
    }
}

}  // namespace
}  // namespace arcsalve
