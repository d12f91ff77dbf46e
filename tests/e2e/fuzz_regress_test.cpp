// Replays the inputs that the fuzz targets once failed on
// (tests/fixtures/regress/, see its README.md) through the whole-repair
// check the repair fuzzer runs, and checks that check's strict reader on
// archives made by Python's zipfile, whole and damaged.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/repair_check.h"
#include "support/strict_zip.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"

namespace arcsalve::test {
namespace {

const std::string kRegressDir = std::string(ARCSALVE_FIXTURES_DIR) + "/regress";

std::vector<std::string> RegressionInputs() {
    std::vector<std::string> names;
    DIR* dir = ::opendir(kRegressDir.c_str());
    if (dir == nullptr) return names;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name[0] != '.' && name != "README.md") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// "name.entriesN.zip" wants at least N entries back; other names none.
size_t EntriesWanted(const std::string& name) {
    size_t at = name.find(".entries");
    return at == std::string::npos ? 0 : std::stoul(name.substr(at + 8));
}

TEST(FuzzRegress, EveryKeptInputRepairsToAValidArchive) {
    const std::vector<std::string> names = RegressionInputs();
    ASSERT_FALSE(names.empty()) << "no inputs in " << kRegressDir;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TempDir dir;
        ASSERT_EQ(RunCommand("mkdir " + ShellQuote(dir.File("in")) + " " + ShellQuote(dir.File("out"))), 0);
        const Bytes input = ReadFile(kRegressDir + "/" + name);
        size_t entries = 0;
        EXPECT_EQ(RepairAndCheck(input.data(), input.size(), dir.path(), &entries), "");
        EXPECT_GE(entries, EntriesWanted(name));
    }
}

// An archive by Python's zipfile: two deflated entries and a stored one.
Bytes PythonArchive(const TempDir& dir) {
    const std::string path = dir.File("py.zip");
    const std::string script =
        "import zipfile,sys\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    z.writestr('a.txt', 'salvage ' * 200)\n"
        "    z.writestr('b/', '')\n"
        "    z.writestr('c.bin', bytes(range(256)), compress_type=zipfile.ZIP_STORED)\n";
    WriteFile(dir.File("make.py"), ToBytes(script));
    EXPECT_EQ(RunCommand("python3 " + ShellQuote(dir.File("make.py")) + " " + ShellQuote(path)), 0);
    return ReadFile(path);
}

size_t Find(const Bytes& b, const char* signature, size_t from = 0) {
    const std::string s(signature, 4);
    auto at = std::search(b.begin() + static_cast<long>(from), b.end(), s.begin(), s.end());
    return static_cast<size_t>(at - b.begin());
}

TEST(StrictZipReader, AcceptsZipfileArchiveAndRefusesDamage) {
    TempDir dir;
    const Bytes good = PythonArchive(dir);
    ASSERT_FALSE(good.empty());
    std::vector<StrictEntry> entries;
    ASSERT_EQ(CheckStrictZip(good.data(), good.size(), &entries), "");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "a.txt");
    EXPECT_EQ(entries[0].data.size(), 1600u);
    EXPECT_EQ(entries[2].data.size(), 256u);

    const size_t central = Find(good, "PK\1\2");
    const size_t end = good.size() - 22;
    struct Damage {
        const char* label;
        size_t offset;  // byte to change (XOR 0x01), or the length to cut to
        bool cut;
    };
    const Damage cases[] = {
        {"cut before the central directory", central, true},
        {"cut inside the end record", good.size() - 3, true},
        {"deflated data changed", 40, false},
        {"stored data changed", central - 3, false},
        {"central CRC-32 changed", central + 16, false},
        {"end record count changed", end + 10, false},
        {"end record offset changed", end + 16, false},
        {"local method changed", 8, false},
        {"local name changed", 30, false},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.label);
        Bytes bad = good;
        if (d.cut) bad.resize(d.offset);
        else bad[d.offset] ^= 0x01;
        EXPECT_NE(CheckStrictZip(bad.data(), bad.size(), nullptr), "");
    }
    // Bytes in front move every entry away from where the directory says.
    const Bytes prefixed = Concat(ToBytes("junk"), good);
    EXPECT_NE(CheckStrictZip(prefixed.data(), prefixed.size(), nullptr), "");
}

}  // namespace
}  // namespace arcsalve::test
