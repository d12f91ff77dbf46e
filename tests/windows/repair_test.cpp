// Whole repairs through arcsalve.dll under Windows: real archives from other
// writers, salvaged into a new archive that zlib must read back entry by entry
// with the original names, sizes and CRC-32s.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "win_support.h"

namespace wintest {
namespace {

struct RepairCase {
    const char* archive;   // fixture name, without .zip
    const char* password;  // given by the host's password callback, or null
    const char* why;
};

void PrintTo(const RepairCase& c, std::ostream* os) { *os << c.archive; }

const RepairCase kRepairCases[] = {
    {"crypt_deflated", "12345678", "traditional encryption, deflated, check byte from the file time"},
    {"legacy_reduced", nullptr, "shrunk and reduced (factor 4) entries from PKZIP"},
    {"legacy_imploded", nullptr, "imploded and stored entries, one name in code page 437"},
    {"aes", "secret", "AES-256 from 7z, deciphered and authenticated through CNG"},
};

// The host's password callback: a console host answers the prompt itself,
// and its callback takes the place of the dialog.
struct PasswordAnswers {
    const char* password = nullptr;
    int asked = 0;
};
PasswordAnswers g_answers;

int ARCSALVE_CALLBACK AnswerPassword(HWND, const char*, char* password) {
    g_answers.asked++;
    if (g_answers.password == nullptr) return 0;
    lstrcpynA(password, g_answers.password, PASSWORD_BUFFER_SIZE);
    return 1;
}

class WholeRepair : public DllTest, public ::testing::WithParamInterface<RepairCase> {};

TEST_P(WholeRepair, SavesEveryEntry) {
    const RepairCase& c = GetParam();
    SCOPED_TRACE(c.why);
    std::string name = std::string(c.archive) + ".zip";
    std::string fixture = FixturePath(name);
    if (!FileExists(fixture)) GTEST_SKIP() << "no fixture " << fixture << " (corpus missing)";
    std::vector<ExpectedEntry> expected = ReadExpected(FixturePath(std::string(c.archive) + ".expect"));
    ASSERT_FALSE(expected.empty());

    ASSERT_TRUE(CreateDirectoryA((dir / "in").c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(fixture.c_str(), (dir / "in\\" + name).c_str(), TRUE));
    std::string out = dir / "out";
    ASSERT_TRUE(CreateDirectoryA(out.c_str(), nullptr));

    g_answers.password = c.password;
    dll.SetPasswordCallback(AddressOf(AnswerPassword));
    ASSERT_EQ(Repair(dir / "in\\" + name, out.c_str(), 0), REPAIR_OK);
    // Asked once: the entries share the password, which is remembered.
    EXPECT_EQ(g_answers.asked, c.password ? 1 : 0);
    EXPECT_EQ(SourcePath(), dir / "in\\" + name);
    EXPECT_EQ(OutputPath(), out + "\\" + name);
    // Read in place, never changed.
    EXPECT_EQ(ReadBytes(dir / "in\\" + name), ReadBytes(fixture));

    std::vector<RebuiltEntry> rebuilt;
    std::string error;
    ASSERT_TRUE(ReadRebuiltArchive(OutputPath(), &rebuilt, &error)) << error;
    ASSERT_EQ(rebuilt.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(rebuilt[i].name, expected[i].name);
        EXPECT_EQ(rebuilt[i].data.size(), expected[i].size);
        EXPECT_EQ(rebuilt[i].recorded_crc, expected[i].crc);
        EXPECT_EQ(rebuilt[i].flags, 0u);
    }

    ASSERT_FALSE(Messages().empty());
    EXPECT_EQ(Messages().front(), std::make_pair(0, std::string("Beginning salvage operations...")));
    EXPECT_TRUE(TextsAt(MESSAGE_ERROR).empty()) << TextsAt(MESSAGE_ERROR).front();
    std::vector<std::string> info = TextsAt(MESSAGE_INFO);
    EXPECT_NE(std::find(info.begin(), info.end(), "  " + std::to_string(expected.size()) + " files found"),
              info.end());
    EXPECT_EQ(info.back(), "Salvaged data stored in " + OutputPath());
    // The temporary file went with its entry.
    EXPECT_FALSE(FileExists(dir / "arcsalve.tmp"));
}

// Intact entries verified on every core: the archive and the messages of a
// run on the caller's thread alone.
TEST_F(DllTest, AllCoresChangeNothing) {
    const std::string fixture = FixturePath("stored.zip");
    if (!FileExists(fixture)) GTEST_SKIP() << "no fixture " << fixture;
    const std::string out = dir / "out";
    ASSERT_TRUE(CreateDirectoryA(out.c_str(), nullptr));
    std::vector<std::pair<std::vector<uint8_t>, std::vector<std::pair<int, std::string>>>> runs;
    for (unsigned long cores : {0ul, REPAIR_ALL_CORES}) {
        Messages().clear();
        ASSERT_EQ(Repair(fixture, out.c_str(), REPAIR_EXTENSIONS | REPAIR_OVERWRITE | cores), REPAIR_OK);
        runs.emplace_back(ReadBytes(OutputPath()), Messages());
    }
    EXPECT_EQ(runs[0], runs[1]);
}

// The backend's write-behind: a step back rewrites held bytes, the cut drops
// those past it, and a write the file refuses is reported by FileFlush.
TEST_F(DllTest, BufferedWritesLandWhereTheyBelong) {
    using namespace arcsalve;
    const std::string path = dir / "written";
    FileHandle h = FileCreate(path.c_str());
    FileBufferWrites(h);
    EXPECT_TRUE(FileWrite(h, "header+data", 11) == 11 && FileSeek(h, 6) && FileWrite(h, "D", 1) == 1);
    EXPECT_TRUE(FileTell(h) == 7 && FileSeek(h, 9) && FileTruncateHere(h) && FileFlush(h));
    FileClose(h);
    EXPECT_EQ(ReadBytes(path), std::vector<uint8_t>({'h', 'e', 'a', 'd', 'e', 'r', 'D', 'd', 'a'}));
    h = FileOpenRead(path.c_str());
    FileBufferWrites(h);
    EXPECT_EQ(FileWrite(h, "x", 1), 1u);
    EXPECT_EQ(FileFlush(h), 0);
    FileClose(h);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, WholeRepair, ::testing::ValuesIn(kRepairCases),
                         [](const ::testing::TestParamInfo<RepairCase>& info) {
                             return std::string(info.param.archive);
                         });

}  // namespace
}  // namespace wintest
