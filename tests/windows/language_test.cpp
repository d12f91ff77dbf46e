// Where the texts come from: the DLL's own string table, or a language DLL
// named by ARCSALVE_LANGUAGE, opened when arcsalve.dll is loaded and released
// when it is unloaded.
#include <gtest/gtest.h>

#include "win_support.h"

namespace wintest {
namespace {

std::string LanguageDll() { return ProgramDirectory() + "arcsalve_test_language.dll"; }

// An input in which no entry can be found.
std::string JunkArchive(const TestDirectory& dir) {
    std::string path = dir / "junk.zip";
    WriteBytes(path, std::vector<uint8_t>(3000, 0x5a));
    return path;
}

TEST_F(DllTest, TextsFromItsOwnResources) {
    std::string out = dir / "out";
    ASSERT_TRUE(CreateDirectoryA(out.c_str(), nullptr));
    ASSERT_EQ(Repair(JunkArchive(dir), out.c_str(), 0), REPAIR_OK);
    EXPECT_EQ(TextsAt(MESSAGE_INFO),
              (std::vector<std::string>{"Beginning salvage operations...", "Salvage attempt complete",
                                        "  0 files found"}));
    EXPECT_EQ(TextsAt(MESSAGE_ERROR), std::vector<std::string>{"No files found in archive."});
}

class LanguageDllTest : public DllTest {
protected:
    void SetUp() override {
        SetEnvironmentVariableA("ARCSALVE_LANGUAGE", LanguageDll().c_str());
        DllTest::SetUp();
    }
    void TearDown() override {
        DllTest::TearDown();
        SetEnvironmentVariableA("ARCSALVE_LANGUAGE", nullptr);
    }
};

TEST_F(LanguageDllTest, TranslatedTextsAndFallbacks) {
    std::string out = dir / "out";
    ASSERT_TRUE(CreateDirectoryA(out.c_str(), nullptr));
    ASSERT_EQ(Repair(JunkArchive(dir), out.c_str(), 0), REPAIR_OK);
    // 17 and 18 translated; 21 missing from the language DLL and 22 with the
    // wrong conversions: both from the library's own table.
    EXPECT_EQ(TextsAt(MESSAGE_INFO), (std::vector<std::string>{"[de] Rettung beginnt...",
                                                                "Salvage attempt complete",
                                                                "  0 files found"}));
    EXPECT_EQ(TextsAt(MESSAGE_ERROR), std::vector<std::string>{"[de] Keine Dateien im Archiv gefunden."});

    // A message keeps 99 characters of a longer text.
    Messages().clear();
    ASSERT_EQ(Repair(dir / "missing.zip", out.c_str(), 0), REPAIR_ERR_FILE);
    std::vector<std::string> fatal = TextsAt(MESSAGE_FATAL);
    ASSERT_EQ(fatal.size(), 1u);
    EXPECT_EQ(fatal[0].size(), 99u);
    EXPECT_EQ(fatal[0].substr(0, 17), "[de] Dateifehler:");
}

// Whether anyone holds the file mapped as an image: then it cannot be opened
// for writing.
bool InUse(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return false;
}

TEST_F(LanguageDllTest, ReleasedWhenTheLibraryIsUnloaded) {
    // Held while arcsalve.dll is loaded (nobody can overwrite the texts in
    // use), released when it is unloaded.
    std::string copy = dir / "lang.dll";
    ASSERT_TRUE(CopyFileA(LanguageDll().c_str(), copy.c_str(), FALSE));
    UnloadArcsalve(&dll);
    EXPECT_FALSE(InUse(copy));
    SetEnvironmentVariableA("ARCSALVE_LANGUAGE", copy.c_str());
    std::string error;
    ASSERT_TRUE(LoadArcsalve(&dll, &error)) << error;
    EXPECT_TRUE(InUse(copy));
    UnloadArcsalve(&dll);
    EXPECT_FALSE(InUse(copy));
}

TEST_F(LanguageDllTest, MissingLanguageDllFallsBackToItsOwnTexts) {
    UnloadArcsalve(&dll);
    SetEnvironmentVariableA("ARCSALVE_LANGUAGE", (dir / "no-such.dll").c_str());
    std::string error;
    ASSERT_TRUE(LoadArcsalve(&dll, &error)) << error;
    dll.SetMessageCallback(AddressOf(RecordMessage));
    std::string out = dir / "out";
    ASSERT_TRUE(CreateDirectoryA(out.c_str(), nullptr));
    ASSERT_EQ(Repair(JunkArchive(dir), out.c_str(), 0), REPAIR_OK);
    EXPECT_EQ(TextsAt(MESSAGE_INFO).front(), "Beginning salvage operations...");
}

}  // namespace
}  // namespace wintest
