// Double-byte file names. In code page 932 (Japanese) the second byte of a
// character can be 0x5C, the value of '\\': "表" is 95 5C and "ソ" is 83 5C.
// Path scanning must step over whole characters, or it cuts a name inside a
// character. These tests run in a Wine process whose ANSI code page is 932
// (ctest starts it with LC_ALL=ja_JP.UTF-8).
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "win_support.h"

namespace wintest {
namespace {

const char kHyou[] = "\x95\x5c";  // 表
const char kSo[] = "\x83\x5c";    // ソ

class DoubleByte : public DllTest {
protected:
    void SetUp() override {
        if (GetACP() != 932) GTEST_SKIP() << "needs the ANSI code page 932";
        DllTest::SetUp();
    }
};

TEST_F(DoubleByte, NextCharStepsOverWholeCharacters) {
    std::string s = std::string(kHyou) + "\\a";
    const char* p = s.c_str();
    EXPECT_EQ(arcsalve::NextChar(p), p + 2);
    EXPECT_EQ(arcsalve::NextChar(p + 2), p + 3);
    EXPECT_EQ(arcsalve::PathsEqual(s.c_str(), (std::string(kHyou) + "\\A").c_str()), 1);
}

TEST_F(DoubleByte, InPlaceRepairOfADoubleByteName) {
    // dir\ソ\表.zip: a trail byte 0x5C in the directory and right before the
    // extension.
    std::string folder = dir / kSo;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    std::string input = folder + "\\" + kHyou + ".zip";
    ASSERT_TRUE(CopyFileA(FixturePath("stored.zip").c_str(), input.c_str(), TRUE));

    ASSERT_EQ(Repair(input, nullptr, 0), REPAIR_OK);
    EXPECT_EQ(SourcePath(), folder + "\\" + kHyou + "_BAK.zip");
    EXPECT_EQ(OutputPath(), input);
    EXPECT_EQ(ReadBytes(SourcePath()), ReadBytes(FixturePath("stored.zip")));
    std::vector<RebuiltEntry> rebuilt;
    std::string error;
    ASSERT_TRUE(ReadRebuiltArchive(input, &rebuilt, &error)) << error;
    EXPECT_EQ(rebuilt.size(), ReadExpected(FixturePath("stored.expect")).size());

    // The same name as a backup: "表_BAK.zip" gives "表.zip".
    ASSERT_EQ(Repair(SourcePath(), nullptr, 0), REPAIR_INPUT_IS_BACKUP);
    EXPECT_EQ(OutputPath(), input);
}

TEST_F(DoubleByte, OutputDirectoryEndingInATrailByte) {
    // "dir\ソ" ends in 0x5C, which is not a separator: "\" is still added.
    std::string folder = dir / kSo;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    std::string input = dir / "a.zip";
    ASSERT_TRUE(CopyFileA(FixturePath("stored.zip").c_str(), input.c_str(), TRUE));
    ASSERT_EQ(Repair(input, folder.c_str(), 0), REPAIR_OK);
    EXPECT_EQ(OutputPath(), folder + "\\a.zip");
    EXPECT_TRUE(FileExists(folder + "\\a.zip"));
}

}  // namespace
}  // namespace wintest
