// Whole repairs of archives made by real archivers, intact and damaged the
// ways archives get damaged: Info-ZIP zip (-0, -1, -6, -9, and writing to a
// pipe, plain and encrypted), Python's zipfile on a seekable file and on a
// stream that cannot seek (stored and deflated, also rewritten without
// descriptor signatures), bsdtar and jar where installed. Archives written
// to a pipe put every entry's CRC-32 and sizes in a data descriptor after its
// data; they are repaired with REPAIR_TRAILING_DESCRIPTORS. Every result must
// be valid for unzip and Python, hold every entry that survived byte for byte
// and the good prefix of a damaged one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

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
using test::PatternBytes;
using test::SourceFile;
using test::ToBytes;

constexpr size_t kCompressiblePart = 400000;  // of sub/big.bin, before its noise

// In archive order. "nested.zip" is a stored archive inside the archive: its
// local headers, descriptor signatures and central directory must not end
// its entry early. The long name is 270 bytes.
std::vector<SourceFile> SourceFiles() {
    Bytes nested = Concat(test::ZipBuilder().Stored("in1.txt", ToBytes("first inner file")).bytes(),
                          ToBytes("PK\x07\x08 not a descriptor"));
    nested = test::ZipBuilder().Raw(nested).Stored("in2.txt", PatternBytes(3000, 21)).Finish().bytes();
    return {
        {"readme.txt", PatternBytes(6000, 1, true)},
        {"empty.txt", {}},
        {"sub/", {}},
        {"sub/big.bin", Concat(PatternBytes(kCompressiblePart, 2, true), PatternBytes(300000, 3))},
        {"sub/" + std::string(200, 'a') + "/" + std::string(65, 'b'), PatternBytes(777, 5, true)},
        {"nested.zip", nested},
        {"tail.txt", PatternBytes(1234, 4, true)},
    };
}

// Python's zipfile: argv out, method, "pipe" for a stream without seek or
// tell (every entry gets bit 3, zeros in its local header and a descriptor
// with signature), then the names.
constexpr char kPythonWriter[] = R"(
import io, sys, zipfile
class Pipe(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
out, method, pipe = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "pipe"
with open(out, "wb") as raw, zipfile.ZipFile(Pipe(raw) if pipe else raw, "w", method) as z:
    for name in sys.argv[4:]:
        if name.endswith("/"):
            z.mkdir(name[:-1])
        else:
            with open(name, "rb") as f, z.open(name, "w") as w:
                w.write(f.read())
)";

constexpr char kPassword[] = "streamed";

int AnswerPassword(HWND, const char*, char* password) {
    std::strcpy(password, kPassword);
    return 1;
}

struct Writer {
    const char* label;
    const char* tool;     // must be installed; "" for python3 and zip
    const char* command;  // run in the source directory; OUT and the names follow
    unsigned long flags;  // of the repair
    bool dropSignatures;
    bool encrypted;
    bool directories;
};

constexpr unsigned long kTrailing = REPAIR_TRAILING_DESCRIPTORS;
const Writer kZip0 = {"zip_stored", "", "zip -q -X -0 OUT", 0, false, false, true};
const Writer kZip1 = {"zip_1", "", "zip -q -X -1 OUT", 0, false, false, true};
const Writer kZip6 = {"zip_6", "", "zip -q -X -6 OUT", 0, false, false, true};
const Writer kZip9 = {"zip_9", "", "zip -q -X -9 OUT", 0, false, false, true};
const Writer kPyStored = {"python_stored", "", "python3 ../writer.py OUT 0 file", 0, false, false, true};
const Writer kPyDeflated = {"python_deflated", "", "python3 ../writer.py OUT 8 file", 0, false, false, true};
const Writer kSeekable[] = {kZip0, kZip1, kZip6, kZip9, kPyStored, kPyDeflated};
const Writer kDeflating[] = {kZip1, kZip6, kZip9, kPyDeflated};
const Writer kStreamed[] = {
    {"python_stored_pipe", "", "python3 ../writer.py OUT 0 pipe", kTrailing, false, false, true},
    {"python_deflated_pipe", "", "python3 ../writer.py OUT 8 pipe", kTrailing, false, false, true},
    {"python_stored_no_signatures", "", "python3 ../writer.py OUT 0 pipe", kTrailing, true, false, true},
    {"python_deflated_no_signatures", "", "python3 ../writer.py OUT 8 pipe", kTrailing, true, false, true},
    // Info-ZIP streams (bit 3, sizes after the data) only to a pipe.
    {"zip_pipe", "", "zip -q -fz- - NAMES | cat > OUT", kTrailing, false, false, true},
    {"zip_pipe_encrypted", "", "zip -q -fz- -P streamed - NAMES | cat > OUT", kTrailing, false, true, true},
    {"bsdtar", "bsdtar", "bsdtar -n --format zip -cf - NAMES | cat > OUT", kTrailing, false, false, true},
    {"jar", "jar", "jar cMf OUT", kTrailing, false, false, false},
};

// Where the central directory starts, from the end record (the archive's
// size when there is none).
size_t CentralDirectoryOffset(const Bytes& archive) {
    for (size_t at = archive.size() - 22; at > 0; --at)
        if (LoadLE32(archive.data() + at) == 0x06054B50u) return LoadLE32(archive.data() + at + 16);
    return archive.size();
}

// Drops the signature of every data descriptor, and the central directory,
// whose offsets no longer fit: what an old writer without signatures leaves
// after the archive was cut.
Bytes WithoutDescriptorSignatures(const Bytes& archive) {
    Bytes out;
    size_t from = 0;
    for (const test_crypt::ZipEntry& e : test_crypt::ListZip(archive)) {
        if ((e.flags & 8) == 0) continue;
        size_t descriptor = e.dataOffset + e.compressedSize;
        EXPECT_EQ(LoadLE32(archive.data() + descriptor), 0x08074B50u) << e.name;
        out.insert(out.end(), archive.begin() + static_cast<long>(from), archive.begin() + static_cast<long>(descriptor));
        from = descriptor + 4;
    }
    out.insert(out.end(), archive.begin() + static_cast<long>(from),
               archive.begin() + static_cast<long>(CentralDirectoryOffset(archive)));
    return out;
}

// How many plain bytes zlib gets out of the first `take` bytes of a raw
// deflate stream: the part of the entry that comes before damage there.
size_t PlainBytesBefore(const uint8_t* data, size_t take) {
    z_stream z{};
    inflateInit2(&z, -15);
    Bytes out(1 << 22);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(take);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    inflate(&z, Z_SYNC_FLUSH);
    size_t produced = z.total_out;
    inflateEnd(&z);
    return produced;
}

// Where each deflate block after the first begins (bit offset from the
// stream's first byte) and how many plain bytes come before it, as zlib sees
// the stream.
struct BlockStart {
    size_t bit;
    size_t plainBefore;
};

std::vector<BlockStart> LaterBlockStarts(const uint8_t* data, size_t size) {
    std::vector<BlockStart> starts;
    z_stream z{};
    inflateInit2(&z, -15);
    Bytes out(1 << 22);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    // With Z_BLOCK inflate returns after each end-of-block code (bit 7 of
    // data_type), data_type's low 3 bits being the unused bits of the last
    // byte taken.
    while (inflate(&z, Z_BLOCK) == Z_OK) {
        if ((z.data_type & 128) != 0 && (z.data_type & 64) == 0 && z.total_out > 0)
            starts.push_back({z.total_in * 8 - static_cast<size_t>(z.data_type & 7), z.total_out});
    }
    inflateEnd(&z);
    return starts;
}

class ArchiverRepair : public ::testing::TestWithParam<Writer> {
protected:
    void SetUp() override {
        const Writer& w = GetParam();
        if (*w.tool && test::RunCommand(std::string("command -v ") + w.tool + " >/dev/null") != 0)
            GTEST_SKIP() << w.tool << " is not installed";
        files_ = SourceFiles();
        if (!w.directories)
            files_.erase(std::remove_if(files_.begin(), files_.end(),
                                        [](const SourceFile& f) { return f.name.back() == '/'; }),
                         files_.end());
        test::WriteTree(dir_.File("src"), files_);
        test::WriteFile(dir_.File("writer.py"), ToBytes(kPythonWriter));
        std::string command = w.command;
        command.replace(command.find("OUT"), 3, test::ShellQuote(dir_.File("made.zip")));
        size_t names = command.find(" NAMES");
        if (names == std::string::npos) command += test::ShellNames(files_);
        else command.replace(names, 6, test::ShellNames(files_));
        std::string log;
        ASSERT_EQ(test::RunCommand("cd " + test::ShellQuote(dir_.File("src")) + " && " + command, &log), 0)
            << command << "\n" << log;
        archive_ = test::ReadFile(dir_.File("made.zip"));
        entries_ = test_crypt::ListZip(archive_);
        ASSERT_EQ(entries_.size(), files_.size());
        directory_ = CentralDirectoryOffset(archive_);
        if (w.flags & kTrailing) {
            // Most entries have their sizes after the data (Info-ZIP stores
            // nested.zip with its sizes in the header; directories have none).
            int streamed = 0;
            for (size_t i = 0; i < entries_.size(); ++i) streamed += Streamed(i);
            EXPECT_GE(streamed, 4);
        }
        if (w.dropSignatures) {
            archive_ = WithoutDescriptorSignatures(archive_);
            directory_ = archive_.size();
        }
        ::mkdir(dir_.File("out").c_str(), 0755);
        if (w.encrypted) SetPasswordCallback(reinterpret_cast<CallbackAddress>(&AnswerPassword));
    }
    void TearDown() override {
        SetPasswordCallback(0);
        ForgetPasswords();
    }

    // Repairs `damaged` into out/ and checks the rebuilt archive against
    // `expected`, entry for entry. The entry named prefixOnly must start with
    // the expected data's first prefixLength bytes instead of equalling it,
    // and with onlyPrefix hold nothing beyond the expected data.
    test::RepairOutcome RepairAndCheck(const Bytes& damaged, const std::vector<SourceFile>& expected,
                                       const std::string& prefixOnly = "", size_t prefixLength = 0,
                                       bool onlyPrefix = false, unsigned long flags = ~0ul) {
        std::string input = dir_.File("damaged.zip");
        test::WriteFile(input, damaged);
        test::RepairOutcome run =
            test::RunRepair(input, dir_.File("out"), REPAIR_OVERWRITE | (flags == ~0ul ? GetParam().flags : flags));
        EXPECT_EQ(run.result, 0u) << run.Dump();
        EXPECT_EQ(run.outputPath, dir_.File("out") + "/damaged.zip");
        EXPECT_EQ(run.counters.systemErrors, 0) << run.Dump();
        test::OracleListing listing = test::ExpectValidArchive(run.outputPath);
        EXPECT_EQ(listing.entries.size(), expected.size()) << run.Dump();
        for (size_t i = 0; i < std::min(listing.entries.size(), expected.size()); ++i) {
            SCOPED_TRACE(expected[i].name);
            const Bytes& got = listing.entries[i].data;
            const Bytes& want = expected[i].data;
            EXPECT_EQ(listing.entries[i].name, ToBytes(expected[i].name));
            EXPECT_EQ(listing.entries[i].externalAttributes, expected[i].name.back() == '/' ? 0x10u : 0u);
            if (expected[i].name != prefixOnly) {
                EXPECT_TRUE(got == want) << "sizes " << got.size() << " and " << want.size();
            } else if (onlyPrefix) {
                EXPECT_GE(got.size(), prefixLength);
                EXPECT_TRUE(got.size() <= want.size() && std::equal(got.begin(), got.end(), want.begin()));
            } else {
                EXPECT_TRUE(got.size() >= prefixLength &&
                            std::equal(want.begin(), want.begin() + static_cast<long>(prefixLength), got.begin()))
                    << "the good prefix";
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
    Bytes Prefix(size_t length) const { return Bytes(archive_.begin(), archive_.begin() + static_cast<long>(length)); }
    static bool Starts(const std::vector<std::string>& texts, const std::string& prefix) {
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
    }

    test::TempDir dir_;
    std::vector<SourceFile> files_;
    Bytes archive_;
    std::vector<test_crypt::ZipEntry> entries_;
    size_t directory_ = 0;
};

TEST_P(ArchiverRepair, IntactAndDamagedArchivesKeepWhatSurvived) {
    const bool plainStored = !GetParam().encrypted;  // stored data can be checked byte for byte
    const size_t n = files_.size();
    {
        SCOPED_TRACE("intact");
        test::RepairOutcome run = RepairAndCheck(archive_, files_);
        std::vector<std::string> expected = {"Beginning salvage operations..."};
        for (const std::string& line : OkLines(files_)) expected.push_back(line);
        expected.insert(expected.end(), {"Salvage attempt complete", "  " + std::to_string(n) + " files found",
                                         "Salvaged data stored in " + run.outputPath});
        EXPECT_EQ(run.Texts(), expected);
    }
    {
        // With every extension, an intact entry that is not encrypted keeps
        // its original compressed data: its recorded CRC-32 and size prove it.
        SCOPED_TRACE("intact, every extension");
        test::RepairOutcome run = RepairAndCheck(archive_, files_, "", 0, false, REPAIR_EXTENSIONS);
        EXPECT_EQ(run.counters.partiallyRecoverable, 0) << run.Dump();
        std::vector<test_crypt::ZipEntry> rebuilt = test_crypt::ListZip(test::ReadFile(run.outputPath));
        ASSERT_EQ(rebuilt.size(), n);
        for (size_t i = 0; i < n && !GetParam().encrypted; ++i) {  // encrypted: written decrypted, compressed anew
            SCOPED_TRACE(entries_[i].name);
            EXPECT_EQ(rebuilt[i].method, entries_[i].method);
            EXPECT_EQ(rebuilt[i].compressedSize, entries_[i].compressedSize);
            EXPECT_EQ(rebuilt[i].flags & 8, 0);
        }
    }
    if (GetParam().flags & kTrailing) {
        // Without the flag the local header's zeros are believed: no streamed
        // entry with data comes out whole or with its real size, and none of
        // them is called OK.
        SCOPED_TRACE("intact, classic salvage");
        test::WriteFile(dir_.File("in.zip"), archive_);
        test::RepairOutcome run = test::RunRepair(dir_.File("in.zip"), dir_.File("out"), REPAIR_OVERWRITE);
        EXPECT_EQ(run.result, 0u);
        std::vector<std::string> texts = run.Texts();
        for (size_t i = 0; i < n; ++i) {
            const std::string& name = files_[i].name;
            SCOPED_TRACE(name);
            auto line = std::find_if(texts.begin(), texts.end(), [&](const std::string& t) {
                return t.find(" " + name + ":") != std::string::npos || t.find(" " + name + " ") != std::string::npos;
            });
            ASSERT_NE(line, texts.end()) << run.Dump();
            if (files_[i].data.empty() || !Streamed(i)) continue;
            if (Stored(i))
                EXPECT_EQ(*line, "WARNING: " + name + " (size = 0) could not be verified: no CRC-32 was found to check it against");
            else
                EXPECT_EQ(line->rfind("ERROR: File " + name + " is corrupt.  Salvaged ", 0), 0u) << *line;
        }
    }
    {
        SCOPED_TRACE("central directory cut off");
        EXPECT_EQ(RepairAndCheck(Prefix(directory_), files_).counters.partiallyRecoverable, 0);
    }
    {
        SCOPED_TRACE("garbage before the archive");
        Bytes garbage = PatternBytes(7777, 5);
        std::replace(garbage.begin(), garbage.end(), uint8_t{'P'}, uint8_t{'Q'});
        EXPECT_EQ(RepairAndCheck(Concat(garbage, archive_), files_).counters.filesFound, static_cast<int>(n));
    }
    {
        SCOPED_TRACE("two archives concatenated");
        std::vector<SourceFile> twice = files_;
        twice.insert(twice.end(), files_.begin(), files_.end());
        test::RepairOutcome run = RepairAndCheck(Concat(archive_, archive_), twice);
        EXPECT_EQ(run.counters.filesFound, static_cast<int>(2 * n));
        EXPECT_EQ(run.counters.partiallyRecoverable, 0) << run.Dump();
    }
    const size_t readme = IndexOf("readme.txt");
    {
        // A destroyed local header takes its entry with it, and only it.
        SCOPED_TRACE("readme.txt's header destroyed");
        Bytes damaged = archive_;
        std::fill_n(damaged.begin() + static_cast<long>(entries_[readme].localOffset), 30, uint8_t{0});
        std::vector<SourceFile> expected = files_;
        expected.erase(expected.begin() + static_cast<long>(readme));
        test::RepairOutcome run = RepairAndCheck(damaged, expected);
        EXPECT_EQ(run.counters.filesFound, static_cast<int>(n - 1));
        std::vector<std::string> texts = run.Texts(), oks = OkLines(expected);
        EXPECT_TRUE(texts.size() > oks.size() && std::equal(oks.begin(), oks.end(), texts.begin() + 1)) << run.Dump();
    }
    {
        // Stored data keeps every byte up to the cut; a deflate stream what
        // zlib gets from the same bytes, and nothing made up after it.
        SCOPED_TRACE("cut inside sub/big.bin");
        size_t big = IndexOf("sub/big.bin");
        const test_crypt::ZipEntry& e = entries_[big];
        size_t cut = e.dataOffset + e.compressedSize / 2;
        std::vector<SourceFile> expected(files_.begin(), files_.begin() + static_cast<long>(big) + 1);
        size_t prefix = GetParam().encrypted ? 100000
                        : Stored(big)        ? cut - e.dataOffset
                                             : PlainBytesBefore(archive_.data() + e.dataOffset, cut - e.dataOffset);
        test::RepairOutcome run = RepairAndCheck(Prefix(cut), expected, "sub/big.bin", prefix, true);
        EXPECT_EQ(run.counters.partiallyRecoverable, 1) << run.Dump();
        EXPECT_EQ(run.counters.unrecoverable, 0) << run.Dump();
        std::string report = "ERROR: File sub/big.bin is corrupt.";
        if (Stored(big) && plainStored && GetParam().flags == 0) report += "  Salvaged " + std::to_string(prefix) + " of 700000";
        EXPECT_TRUE(Starts(run.Texts(), report)) << run.Dump();
    }
    {
        // Stored data keeps its size and every byte but the flipped one, and
        // only its CRC-32 tells; a deflate stream keeps what it decoded before
        // the damage, and may also decode to its end with another size.
        SCOPED_TRACE("byte flipped inside readme.txt");
        Bytes damaged = archive_;
        size_t at = entries_[readme].compressedSize * 2 / 3;
        damaged[entries_[readme].dataOffset + at] ^= 0x55;
        std::vector<SourceFile> expected = files_;
        size_t prefix = 1000;
        if (Stored(readme) && plainStored) {
            expected[readme].data[at] ^= 0x55;
            prefix = expected[readme].data.size();
        }
        test::RepairOutcome run = RepairAndCheck(damaged, expected, "readme.txt", prefix);
        std::vector<std::string> texts = run.Texts(), oks = OkLines(files_);
        for (size_t i = 0; i < n; ++i)
            EXPECT_TRUE(i == readme || std::find(texts.begin(), texts.end(), oks[i]) != texts.end()) << oks[i];
        if (Stored(readme) && plainStored) {
            EXPECT_EQ(texts.at(1).rfind("ERROR: File readme.txt is corrupt.  CRC is ", 0), 0u) << run.Dump();
        } else {
            EXPECT_TRUE(texts.at(1).rfind("ERROR: File readme.txt is corrupt.", 0) == 0 ||
                        texts.at(1).rfind("WARNING: Size of readme.txt is ", 0) == 0)
                << run.Dump();
        }
        EXPECT_EQ(run.counters.partiallyRecoverable + run.counters.unrecoverable, 1) << run.Dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Seekable, ArchiverRepair, ::testing::ValuesIn(kSeekable),
                         [](const ::testing::TestParamInfo<Writer>& info) { return std::string(info.param.label); });
INSTANTIATE_TEST_SUITE_P(Streamed, ArchiverRepair, ::testing::ValuesIn(kStreamed),
                         [](const ::testing::TestParamInfo<Writer>& info) { return std::string(info.param.label); });

// Damage inside sub/big.bin's deflate stream.
// Flipped bytes: the entry keeps every byte decoded before the damage and is
// reported (the decoder usually falls back into step and reaches the end with
// a wrong size or CRC-32), the others are untouched. A block header made
// block type 3 stops the decoder: the entry keeps exactly the blocks before.
using DeflatedEntry = ArchiverRepair;

TEST_P(DeflatedEntry, DamageInsideTheStreamKeepsWhatCameBefore) {
    const size_t big = IndexOf("sub/big.bin");
    const test_crypt::ZipEntry& e = entries_[big];
    ASSERT_EQ(e.method, 8);
    const uint8_t* stream = archive_.data() + e.dataOffset;
    const Bytes& original = files_[big].data;
    const std::vector<BlockStart> starts = LaterBlockStarts(stream, e.compressedSize);
    ASSERT_FALSE(starts.empty());
    // The compressible part is coded first; the noise comes in stored blocks.
    size_t textEnd = e.compressedSize;
    for (const BlockStart& s : starts) {
        if (s.plainBefore >= kCompressiblePart) {
            textEnd = s.bit / 8;
            break;
        }
    }
    for (double where : {0.3, 0.6, 0.9}) {
        SCOPED_TRACE(testing::Message() << "bytes flipped at " << where << " of the coded text");
        size_t at = static_cast<size_t>(static_cast<double>(textEnd) * where);
        Bytes damaged = archive_;
        for (size_t i = 0; i < 3; ++i) damaged[e.dataOffset + at + i] ^= 0x5A;
        size_t good = PlainBytesBefore(stream, at);
        test::RepairOutcome run = RepairAndCheck(damaged, files_, "sub/big.bin", good);
        EXPECT_EQ(run.counters.partiallyRecoverable, 1) << run.Dump();
        EXPECT_TRUE(Starts(run.Texts(), "ERROR: File sub/big.bin is corrupt.") ||
                    Starts(run.Texts(), "WARNING: Size of sub/big.bin"))
            << run.Dump();
    }
    {
        const BlockStart& block = starts[starts.size() / 2];
        SCOPED_TRACE(testing::Message() << "block header at bit " << block.bit << " made type 3");
        Bytes damaged = archive_;
        for (size_t bit : {block.bit + 1, block.bit + 2})
            damaged[e.dataOffset + bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        test::RepairOutcome run = RepairAndCheck(damaged, files_, "sub/big.bin", block.plainBefore, true);
        std::string expected = "ERROR: File sub/big.bin is corrupt.  Salvaged " + std::to_string(block.plainBefore) +
                               " of " + std::to_string(original.size());
        EXPECT_TRUE(Starts(run.Texts(), expected)) << run.Dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, DeflatedEntry, ::testing::ValuesIn(kDeflating),
                         [](const ::testing::TestParamInfo<Writer>& info) { return std::string(info.param.label); });

// The host stops the repair while a 2 MB stored entry is copied: the entries
// before it stay, it leaves no trace, and no central directory is written.
TEST(ArchiverRepairAbort, StopLeavesNoTraceOfTheEntryInHand) {
    test::TempDir dir;
    std::vector<SourceFile> files = {{"readme.txt", PatternBytes(5000, 1, true)},
                                     {"empty.txt", {}},
                                     {"sub/", {}},
                                     {"sub/big.bin", PatternBytes(2 * 1024 * 1024, 2)}};
    test::WriteTree(dir.File("src"), files);
    std::string log;
    ASSERT_EQ(test::RunCommand("cd " + test::ShellQuote(dir.File("src")) + " && zip -0 -q -X ../in.zip" +
                                   test::ShellNames(files),
                               &log),
              0)
        << log;
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
        saved.emplace_back(out.begin() + static_cast<long>(at) + 30, out.begin() + static_cast<long>(at) + 30 + nameLength);
        at += 30 + nameLength + LoadLE32(out.data() + at + 18);
    }
    EXPECT_EQ(saved, (std::vector<std::string>{"readme.txt", "empty.txt", "sub/"}));
    EXPECT_EQ(at, out.size());
    EXPECT_FALSE(test::FileExists(dir.LibraryTmp() + "/arcsalve.tmp"));
}

// Info-ZIP reading the data from a pipe as well as writing to one: an entry
// named "-" whose sizes it learns only at the end, with and without the end
// record. The command reads descriptors by default; --classic runs without.
TEST(StreamedPipes, ZipFromPipeToPipeAndTheClassicOption) {
    test::TempDir dir;
    Bytes data = PatternBytes(200000, 6, true);
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
    for (size_t cut : {archive.size(), archive.size() - 22}) {
        SCOPED_TRACE(cut);
        test::WriteFile(dir.File("cut.zip"), Bytes(archive.begin(), archive.begin() + static_cast<long>(cut)));
        test::RepairOutcome run = test::RunRepair(dir.File("cut.zip"), dir.File("out"), REPAIR_OVERWRITE | kTrailing);
        EXPECT_EQ(run.Texts().at(1), "    -: size = 200000:  OK") << run.Dump();
        test::OracleListing listing = test::ExpectValidArchive(run.outputPath);
        ASSERT_EQ(listing.entries.size(), 1u);
        EXPECT_TRUE(listing.entries[0].data == data);
    }
    for (const char* options : {"", "--classic "}) {
        SCOPED_TRACE(options);
        std::string output;
        EXPECT_EQ(test::RunCommand(std::string(ARCSALVE_CLI_PATH) + " --no-prompt --no-progress -f " + options + "-o " +
                                       test::ShellQuote(dir.File("out")) + " " + test::ShellQuote(dir.File("in.zip")) +
                                       " </dev/null",
                                   &output),
                  *options ? 1 : 0)
            << output;
        EXPECT_NE(output.find(*options ? "ERROR: File - is corrupt.  Salvaged " : "    -: size = 200000:  OK"),
                  std::string::npos)
            << output;
    }
}

// Info-ZIP zip on Unix stores UTF-8 names without flag bit 11: its central
// directory's "made on Unix" tells readers the names are in the system's
// character set. The rebuilt archive says "made on MS-DOS", so those names
// must gain bit 11, or readers that honour it (Python's zipfile, 7-Zip,
// Windows) would show them as CP437. The central directory is cut off, so
// the names come from the local headers.
TEST(UnixNames, UnflaggedUtf8NamesGainTheUtf8Flag) {
    test::TempDir dir;
    std::vector<SourceFile> files = {{"caf\xC3\xA9/na\xC3\xAFve.txt", PatternBytes(5000, 3, true)},
                                     {"plain.txt", ToBytes("ascii")}};
    test::WriteTree(dir.File("src"), files);
    ASSERT_EQ(test::RunCommand("cd " + test::ShellQuote(dir.File("src")) + " && LC_ALL=C.UTF-8 zip -q -X ../made.zip" +
                               test::ShellNames(files)),
              0);
    Bytes zip = test::ReadFile(dir.File("made.zip"));
    zip.resize(CentralDirectoryOffset(zip));
    test::WriteFile(dir.File("cut.zip"), zip);
    ::mkdir(dir.File("out").c_str(), 0755);
    test::RepairOutcome run = test::RunRepair(dir.File("cut.zip"), dir.File("out"));
    test::OracleListing listing = test::ExpectValidArchive(run.outputPath);
    ASSERT_EQ(listing.entries.size(), 2u) << run.Dump();
    EXPECT_EQ(listing.entries[0].name, ToBytes(files[0].name));
    EXPECT_EQ(listing.entries[0].flags & 0x800, 0x800u);
    EXPECT_EQ(listing.entries[1].flags & 0x800, 0u);
}

}  // namespace
}  // namespace arcsalve
