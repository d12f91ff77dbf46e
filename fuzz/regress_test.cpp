// Replays the inputs the fuzz targets once failed on (tests/fixtures/regress/,
// see its README.md) through the whole-repair check the repair fuzzer runs.
// Built into the test program.
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "repair_check.h"
#include "support/harness.h"

namespace arcsalve::test {
namespace {

TEST(FuzzRegress, EveryKeptInputRepairsToAValidArchive) {
    const std::string regress = std::string(ARCSALVE_FIXTURES_DIR) + "/regress";
    DIR* dir = ::opendir(regress.c_str());
    ASSERT_NE(dir, nullptr);
    int replayed = 0;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name[0] == '.' || name == "README.md") continue;
        SCOPED_TRACE(name);
        Scratch scratch;
        ASSERT_EQ(std::system(("mkdir '" + scratch / "in" + "' '" + scratch / "out" + "'").c_str()), 0);
        const Bytes input = ReadFile(regress + "/" + name);
        size_t entries = 0;
        EXPECT_EQ(RepairAndCheck(input.data(), input.size(), scratch.path, &entries), "");
        // "name.entriesN.zip" wants at least N entries back.
        const size_t at = name.find(".entries");
        EXPECT_GE(entries, at == std::string::npos ? 0 : std::stoul(name.substr(at + 8)));
        ++replayed;
    }
    ::closedir(dir);
    EXPECT_GE(replayed, 2);
}

}  // namespace
}  // namespace arcsalve::test
