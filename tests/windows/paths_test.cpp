// The backup and overwrite questions with Windows paths: backslashes, drive
// letters, names that differ only in letter case, and Windows' own file
// sharing rules.
#include <gtest/gtest.h>

#include "win_support.h"

namespace wintest {
namespace {

class Paths : public DllTest {
protected:
    // A small archive at `name` inside the test directory.
    std::string Archive(const std::string& name) {
        std::string path = dir / name;
        EXPECT_TRUE(CopyFileA(FixturePath("stored.zip").c_str(), path.c_str(), FALSE));
        return path;
    }
};

TEST_F(Paths, InPlaceRepairKeepsTheDamagedFileAsBackup) {
    std::string input = Archive("a.zip");
    std::vector<uint8_t> original = ReadBytes(input);

    ASSERT_EQ(Repair(input, nullptr, 0), REPAIR_OK);
    EXPECT_EQ(SourcePath(), dir / "a_BAK.zip");
    EXPECT_EQ(OutputPath(), input);
    EXPECT_EQ(ReadBytes(dir / "a_BAK.zip"), original);
    std::vector<RebuiltEntry> rebuilt;
    std::string error;
    EXPECT_TRUE(ReadRebuiltArchive(input, &rebuilt, &error)) << error;

    // Again: the backup exists. The question first, then the answer.
    ASSERT_EQ(Repair(input, nullptr, 0), REPAIR_BACKUP_EXISTS);
    EXPECT_EQ(SourcePath(), dir / "a_BAK.zip");
    ASSERT_EQ(Repair(input, nullptr, REPAIR_USE_EXISTING_BACKUP), REPAIR_OK);
    EXPECT_EQ(ReadBytes(dir / "a_BAK.zip"), original);
    EXPECT_TRUE(ReadRebuiltArchive(input, &rebuilt, &error)) << error;
}

TEST_F(Paths, BackupAsInputWritesTheNameWithoutBak) {
    std::string input = Archive("a_BAK.zip");
    Archive("a.zip");
    ASSERT_EQ(Repair(input, nullptr, 0), REPAIR_INPUT_IS_BACKUP);
    EXPECT_EQ(OutputPath(), dir / "a.zip");
    // Answered: a.zip is replaced without the overwrite question.
    ASSERT_EQ(Repair(input, nullptr, REPAIR_ALLOW_BACKUP_INPUT), REPAIR_OK);
    EXPECT_EQ(SourcePath(), input);
    EXPECT_TRUE(FileExists(input));
    std::vector<RebuiltEntry> rebuilt;
    std::string error;
    EXPECT_TRUE(ReadRebuiltArchive(dir / "a.zip", &rebuilt, &error)) << error;
}

TEST_F(Paths, OutputDirectoryWithAndWithoutTrailingBackslash) {
    std::string input = Archive("a.zip");
    ASSERT_TRUE(CreateDirectoryA((dir / "out").c_str(), nullptr));
    for (const std::string& out : {dir / "out", dir / "out\\"}) {
        SCOPED_TRACE(out);
        DeleteFileA((dir / "out\\a.zip").c_str());
        ASSERT_EQ(Repair(input, out.c_str(), 0), REPAIR_OK);
        EXPECT_EQ(OutputPath(), dir / "out\\a.zip");
        ASSERT_EQ(Repair(input, out.c_str(), 0), REPAIR_OUTPUT_EXISTS);
        ASSERT_EQ(Repair(input, out.c_str(), REPAIR_OVERWRITE), REPAIR_OK);
    }
    EXPECT_FALSE(FileExists(dir / "a_BAK.zip"));
}

TEST_F(Paths, LetterCaseDoesNotMakeAnotherFile) {
    // The input's own directory named in other letter case is still the
    // input's directory: an in-place repair with a backup, not a 5006.
    std::string input = Archive("Mixed.zip");
    std::string upper = dir.path();
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(Repair(input, upper.c_str(), 0), REPAIR_OK);
    EXPECT_TRUE(FileExists(dir / "Mixed_BAK.zip"));
    // And a lower-case "_bak" is an ordinary name.
    std::string lower = Archive("b_bak.zip");
    ASSERT_EQ(Repair(lower, nullptr, 0), REPAIR_OK);
    EXPECT_TRUE(FileExists(dir / "b_bak_BAK.zip"));
}

TEST_F(Paths, FileErrors) {
    ASSERT_EQ(Repair(dir / "missing.zip", dir.path().c_str(), 0), REPAIR_ERR_FILE);
    EXPECT_EQ(Messages(), (std::vector<std::pair<int, std::string>>{{MESSAGE_FATAL, "File Error"}}));
    EXPECT_FALSE(FileExists(dir / "missing_BAK.zip"));

    // Another program has the archive open without sharing: Windows refuses
    // a second open, and the repair says so instead of reading under it.
    std::string input = Archive("busy.zip");
    HANDLE busy = CreateFileA(input.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CreateDirectoryA((dir / "out").c_str(), nullptr));
    Messages().clear();
    EXPECT_EQ(Repair(input, (dir / "out").c_str(), 0), REPAIR_ERR_FILE);
    EXPECT_EQ(TextsAt(MESSAGE_FATAL), std::vector<std::string>{"File Error"});
    CloseHandle(busy);

    // The output directory does not exist.
    Messages().clear();
    EXPECT_EQ(Repair(input, (dir / "nowhere").c_str(), 0), REPAIR_ERR_FILE);
    EXPECT_EQ(TextsAt(MESSAGE_FATAL), std::vector<std::string>{"File Error"});
}

TEST_F(Paths, NullInputLeavesThreeEmptyPaths) {
    char* paths[3] = {nullptr, nullptr, nullptr};
    ASSERT_EQ(dll.RepairFile(nullptr, nullptr, 0, nullptr), REPAIR_ERR_NO_INPUT);
    dll.GetFilePaths(&paths[0], &paths[1], &paths[2]);
    for (char* p : paths) {
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p, "");
    }
}

}  // namespace
}  // namespace wintest
