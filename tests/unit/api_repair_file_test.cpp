// RepairFile's path derivation, backup questions, in-place move and file
// handling, with POSIX paths. Whatever the salvage writes into the rebuilt
// archive is not looked at here: only which files exist, what the damaged
// file still holds, the result and the paths the host is told.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/repair_file.h"
#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "common/run_flags.h"
#include "platform/platform.h"
#include "platform/platform_testing.h"
#include "support/api_fixture.h"

namespace arcsalve {
namespace {

using test_api::FileExists;
using test_api::HostRecorder;
using test_api::MakeDir;
using test_api::ReadText;
using test_api::ScratchDir;
using test_api::WriteText;

const char kDamaged[] = "DAMAGED ARCHIVE BYTES";
const char kOld[] = "OLD OUTPUT";

class RepairFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    void TearDown() override {
        PlatformClearFaults();
        if (!savedCwd.empty()) {
            EXPECT_EQ(::chdir(savedCwd.c_str()), 0);
        }
    }

    // D/ in a name stands for the scratch directory.
    std::string Expand(const std::string& name) const {
        return name.compare(0, 2, "D/") == 0 ? dir / name.substr(2) : name;
    }
    unsigned long Repair(const std::string& in, const char* out, unsigned long flags) {
        std::string input = Expand(in);
        std::string output = out != nullptr ? Expand(out) : "";
        return RepairFile(&input[0], out != nullptr ? &output[0] : nullptr, flags, nullptr);
    }
    std::string Source() const { return Paths(0); }
    std::string Output() const { return Paths(1); }
    std::string Extra() const { return Paths(2); }
    std::string Paths(int which) const {
        char* p[3] = {};
        GetFilePaths(&p[0], &p[1], &p[2]);
        return p[which];
    }
    void ExpectClosed() const {
        EXPECT_EQ(g_inputFile, kNoFile);
        EXPECT_EQ(g_outputFile, kNoFile);
    }

    ScratchDir dir;
    HostRecorder host;
    std::string savedCwd;
};

TEST_F(RepairFileTest, NullInputEmptiesThePathsAndSaysNothing) {
    WriteText(dir / "a.zip", kDamaged);
    WriteText(dir / "a_BAK.zip", kDamaged);
    ASSERT_EQ(Repair("D/a.zip", nullptr, 0), REPAIR_BACKUP_EXISTS);  // fills the paths
    ASSERT_NE(Source(), "");

    EXPECT_EQ(RepairFile(nullptr, nullptr, 0, nullptr), REPAIR_ERR_NO_INPUT);
    EXPECT_EQ(Source(), "");
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(Extra(), "");
    EXPECT_TRUE(host.messages.empty());
    GetFilePaths(nullptr, nullptr, nullptr);  // any pointer may be left out
}

// Questions come back before anything is opened, moved or deleted, with the
// paths the host needs to ask them.
TEST_F(RepairFileTest, QuestionsAndTheirPaths) {
    struct Case {
        const char* label;
        std::vector<const char*> files;
        const char* input;
        const char* out;
        unsigned long flags;
        unsigned long result;
        const char* source;
        const char* output;
    };
    const Case cases[] = {
        {"backup exists", {"a.zip", "a_BAK.zip"}, "D/a.zip", nullptr, 0,
         REPAIR_BACKUP_EXISTS, "D/a_BAK.zip", "D/a.zip"},
        {"input is a backup", {"a_BAK.zip"}, "D/a_BAK.zip", nullptr, 0,
         REPAIR_INPUT_IS_BACKUP, "D/a_BAK.zip", "D/a.zip"},
        {"backup without extension", {"a_BAK"}, "D/a_BAK", nullptr, 0,
         REPAIR_INPUT_IS_BACKUP, "D/a_BAK", "D/a"},
        {"output exists", {"a.zip", "out/a.zip"}, "D/a.zip", "D/out", 0,
         REPAIR_OUTPUT_EXISTS, "D/a.zip", "D/out/a.zip"},
        {"output exists, trailing separator", {"a.zip", "out/a.zip"}, "D/a.zip", "D/out/", 0,
         REPAIR_OUTPUT_EXISTS, "D/a.zip", "D/out/a.zip"},
        {"backup exists, other directory: the backup is read", {"a.zip", "a_BAK.zip"},
         "D/a.zip", "D/out", 0, REPAIR_BACKUP_EXISTS, "D/a_BAK.zip", "D/out/a.zip"},
        {"backup input answers overwrite too", {"a_BAK.zip", "out/a.zip"}, "D/a_BAK.zip",
         "D/out", 0, REPAIR_INPUT_IS_BACKUP, "D/a_BAK.zip", "D/out/a.zip"},
        {"backup input with the wrong answer", {"a_BAK.zip"}, "D/a_BAK.zip", nullptr,
         REPAIR_USE_EXISTING_BACKUP | REPAIR_OVERWRITE, REPAIR_INPUT_IS_BACKUP, "D/a_BAK.zip",
         "D/a.zip"},
        {"double extension", {"a.tar.gz", "a.tar_BAK.gz"}, "D/a.tar.gz", nullptr, 0,
         REPAIR_BACKUP_EXISTS, "D/a.tar_BAK.gz", "D/a.tar.gz"},
        {"dotted directory, no extension", {"d.x/a", "d.x/a_BAK"}, "D/d.x/a", nullptr, 0,
         REPAIR_BACKUP_EXISTS, "D/d.x/a_BAK", "D/d.x/a"},
        {"empty output directory is the root", {"a.zip", "a_BAK.zip"}, "D/a.zip", "", 0,
         REPAIR_BACKUP_EXISTS, "D/a_BAK.zip", "/a.zip"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        std::string base = scratch.path();
        auto expand = [&](const std::string& s) {
            return s.compare(0, 2, "D/") == 0 ? base + "/" + s.substr(2) : s;
        };
        MakeDir(base + "/out");
        MakeDir(base + "/d.x");
        for (const char* f : c.files) WriteText(scratch / f, kDamaged);
        std::string input = expand(c.input);
        std::string out = c.out != nullptr ? expand(c.out) : "";
        host.messages.clear();

        EXPECT_EQ(RepairFile(&input[0], c.out != nullptr ? &out[0] : nullptr, c.flags, nullptr),
                  c.result);
        EXPECT_EQ(Source(), expand(c.source));
        EXPECT_EQ(Output(), expand(c.output));
        EXPECT_EQ(Extra(), "");
        EXPECT_TRUE(host.messages.empty());
        for (const char* f : c.files) EXPECT_EQ(ReadText(scratch / f), kDamaged) << f;
        ExpectClosed();
    }
}

TEST_F(RepairFileTest, InPlaceRepairMovesTheInputToItsBackup) {
    WriteText(dir / "a.zip", kDamaged);
    g_abortRequested = 1;
    g_writeFailed = 1;

    EXPECT_EQ(Repair("D/a.zip", nullptr, 0), REPAIR_OK);
    EXPECT_EQ(Source(), dir / "a_BAK.zip");
    EXPECT_EQ(Output(), dir / "a.zip");
    EXPECT_EQ(ReadText(dir / "a_BAK.zip"), kDamaged);
    EXPECT_NE(ReadText(dir / "a.zip"), kDamaged);  // rebuilt
    EXPECT_TRUE(host.AtLevel(MESSAGE_FATAL).empty());
    EXPECT_EQ(g_abortRequested, 0u);
    EXPECT_EQ(g_writeFailed, 0u);
    ExpectClosed();

    // Again: the backup is found, and with 0x10 salvaged from once more.
    WriteText(dir / "a.zip", kOld);
    EXPECT_EQ(Repair("D/a.zip", nullptr, 0), REPAIR_BACKUP_EXISTS);
    EXPECT_EQ(Source(), dir / "a_BAK.zip");
    EXPECT_EQ(ReadText(dir / "a.zip"), kOld);
    EXPECT_EQ(Repair("D/a.zip", nullptr, REPAIR_USE_EXISTING_BACKUP), REPAIR_OK);
    EXPECT_EQ(Source(), dir / "a_BAK.zip");
    EXPECT_EQ(ReadText(dir / "a_BAK.zip"), kDamaged);
    EXPECT_NE(ReadText(dir / "a.zip"), kOld);
    EXPECT_FALSE(FileExists(dir / "a_BAK_BAK.zip"));
}

TEST_F(RepairFileTest, BackupInputIsRebuiltUnderItsPlainName) {
    WriteText(dir / "a_BAK.zip", kDamaged);
    WriteText(dir / "a.zip", kOld);
    EXPECT_EQ(Repair("D/a_BAK.zip", nullptr, 0), REPAIR_INPUT_IS_BACKUP);
    EXPECT_EQ(Output(), dir / "a.zip");
    EXPECT_EQ(ReadText(dir / "a.zip"), kOld);

    // No 5006 although a.zip exists: answering 5002 allows replacing it.
    EXPECT_EQ(Repair("D/a_BAK.zip", nullptr, REPAIR_ALLOW_BACKUP_INPUT), REPAIR_OK);
    EXPECT_EQ(Source(), dir / "a_BAK.zip");
    EXPECT_NE(ReadText(dir / "a.zip"), kOld);
    EXPECT_EQ(ReadText(dir / "a_BAK.zip"), kDamaged);
    EXPECT_FALSE(FileExists(dir / "a_BAK_BAK.zip"));
}

// Names that are not backup names, and names without an extension or a
// directory, all repaired in place: where the damaged file goes. The names
// are given relative to the working directory, as a command line gives them.
TEST_F(RepairFileTest, InPlaceBackupNames) {
    struct Case {
        const char* label;
        const char* input;
        unsigned long flags;
        const char* backup;
    };
    const Case cases[] = {
        {"name without a directory", "a.zip", 0, "a_BAK.zip"},
        {"no backup name check", "a_BAK.zip", REPAIR_NO_BACKUP_NAME_CHECK, "a_BAK_BAK.zip"},
        {"lower-case _bak is ordinary", "a_bak.zip", 0, "a_bak_BAK.zip"},
        {"_BAK not at the end", "a_BAKE.zip", 0, "a_BAKE_BAK.zip"},
        {"no extension", "a", 0, "a_BAK"},
        {"dotted directory, no extension", "d.x/a", 0, "d.x/a_BAK"},
        {"_BAK in a directory name", "x_BAK.d/a", 0, "x_BAK.d/a_BAK"},
        {"hidden-file style name", ".zip", 0, "_BAK.zip"},
    };
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    savedCwd = cwd;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        ASSERT_EQ(::chdir(scratch.path().c_str()), 0);
        MakeDir("d.x");
        MakeDir("x_BAK.d");
        WriteText(c.input, kDamaged);
        std::string input = c.input;
        EXPECT_EQ(RepairFile(&input[0], nullptr, c.flags, nullptr), REPAIR_OK);
        EXPECT_EQ(Source(), c.backup);
        EXPECT_EQ(Output(), input);
        EXPECT_EQ(ReadText(c.backup), kDamaged);
        EXPECT_TRUE(FileExists(input));
        ASSERT_EQ(::chdir(cwd), 0);
    }
}

TEST_F(RepairFileTest, OutputDirectoryLeavesTheInputAlone) {
    MakeDir(dir / "out");
    WriteText(dir / "a.zip", kDamaged);
    EXPECT_EQ(Repair("D/a.zip", "D/out/", 0), REPAIR_OK);
    EXPECT_EQ(Source(), dir / "a.zip");
    EXPECT_EQ(Output(), dir / "out/a.zip");
    EXPECT_EQ(ReadText(dir / "a.zip"), kDamaged);
    EXPECT_TRUE(FileExists(dir / "out/a.zip"));
    EXPECT_FALSE(FileExists(dir / "a_BAK.zip"));
    // Now the output exists: 5006, and 0x02 replaces it.
    WriteText(dir / "out/a.zip", kOld);
    EXPECT_EQ(Repair("D/a.zip", "D/out", 0), REPAIR_OUTPUT_EXISTS);
    EXPECT_EQ(ReadText(dir / "out/a.zip"), kOld);
    EXPECT_EQ(Repair("D/a.zip", "D/out", REPAIR_OVERWRITE), REPAIR_OK);
    EXPECT_NE(ReadText(dir / "out/a.zip"), kOld);
    EXPECT_EQ(ReadText(dir / "a.zip"), kDamaged);

    // The input's own directory spelt differently is still an in-place
    // repair: taken as a different output, "replace it" would delete the input.
    MakeDir(dir / "sub");
    EXPECT_EQ(Repair("D/a.zip", "D/sub/..", REPAIR_OVERWRITE), REPAIR_OK);
    EXPECT_EQ(Source(), dir / "a_BAK.zip");
    EXPECT_EQ(Output(), dir / "sub/../a.zip");
    EXPECT_EQ(ReadText(dir / "a_BAK.zip"), kDamaged);
    EXPECT_TRUE(FileExists(dir / "a.zip"));
}

// An input that cannot be read ends with "File Error" before anything else
// happens: no backup is made, no output created or replaced.
TEST_F(RepairFileTest, UnreadableInputIsAFileError) {
    struct Case {
        const char* label;
        const char* input;
        const char* out;
        unsigned long flags;
    };
    const Case cases[] = {
        {"missing, in place", "a.zip", nullptr, 0},
        {"missing, output directory", "a.zip", "out", REPAIR_OVERWRITE},
        {"a directory", "sub.zip", nullptr, 0},
        {"a pipe (must not block)", "pipe.zip", nullptr, 0},
        {"missing backup of a backup input", "b_BAK.zip", nullptr, REPAIR_ALLOW_BACKUP_INPUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir scratch;
        MakeDir(scratch / "out");
        MakeDir(scratch / "sub.zip");
        ASSERT_EQ(::mkfifo((scratch / "pipe.zip").c_str(), 0600), 0);
        WriteText(scratch / "out/a.zip", kOld);
        WriteText(scratch / "b.zip", kOld);
        host.messages.clear();
        std::string input = scratch / c.input;
        std::string out = c.out != nullptr ? scratch / c.out : "";

        EXPECT_EQ(RepairFile(&input[0], c.out != nullptr ? &out[0] : nullptr, c.flags, nullptr),
                  REPAIR_ERR_FILE);
        EXPECT_EQ(host.AtLevel(MESSAGE_FATAL), std::vector<std::string>{"File Error"});
        EXPECT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(Source(), input);
        EXPECT_EQ(ReadText(scratch / "out/a.zip"), kOld);
        EXPECT_EQ(ReadText(scratch / "b.zip"), kOld);
        EXPECT_TRUE(FileExists(scratch / "sub.zip"));
        EXPECT_TRUE(FileExists(scratch / "pipe.zip"));
        EXPECT_FALSE(FileExists(scratch / "sub_BAK.zip"));
        EXPECT_FALSE(FileExists(scratch / "pipe_BAK.zip"));
        EXPECT_FALSE(FileExists(scratch / "a_BAK.zip"));
        ExpectClosed();
    }
}

// A backup move or an output creation that fails changes nothing: the
// damaged file keeps its name (a failed creation moves it back), so a repair
// that never ran leaves no trace. Running as root, a rename cannot be made to
// fail with permissions; the platform's fault injection stands in.
TEST_F(RepairFileTest, FailedMoveOrCreationChangesNothing) {
    const struct {
        PlatformFault fault;
        const char* out;
        unsigned long result;
        const char* message;
        const char* source;
    } cases[] = {
        {PlatformFault::kMoveFails, nullptr, REPAIR_ERR_BACKUP, "Error creating backup file", "D/a_BAK.zip"},
        {PlatformFault::kCreateFails, nullptr, REPAIR_ERR_FILE, "File Error", "D/a.zip"},
        {PlatformFault::kCreateFails, "D/out", REPAIR_ERR_FILE, "File Error", "D/a.zip"},
    };
    WriteText(dir / "a.zip", kDamaged);
    MakeDir(dir / "out");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message + std::string(c.out ? " with an output directory" : ""));
        host.messages.clear();
        PlatformInjectFault(c.fault);
        EXPECT_EQ(Repair("D/a.zip", c.out, 0), c.result);
        PlatformClearFaults();
        EXPECT_EQ(host.AtLevel(MESSAGE_FATAL), std::vector<std::string>{c.message});
        EXPECT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(Source(), Expand(c.source));
        EXPECT_EQ(ReadText(dir / "a.zip"), kDamaged);
        EXPECT_FALSE(FileExists(dir / "a_BAK.zip"));
        EXPECT_FALSE(FileExists(dir / "out/a.zip"));
        ExpectClosed();
    }
}

// Names too long for the path buffers are refused whole, never cut (a cut
// name could reach some other file).
TEST_F(RepairFileTest, OverlongPathsAreFileErrors) {
    const std::string longName(kMaxPath + 10, 'a');
    const std::string almost = dir.path() + "/" + std::string(kMaxPath - 3 - dir.path().size(), 'b');
    const std::string deepOut(kMaxPath - 2, 'c');
    struct Case {
        const char* label;
        std::string input;
        const char* out;
    };
    const Case cases[] = {
        {"input longer than the buffer", "/" + longName, nullptr},
        {"backup name does not fit", almost, nullptr},
        {"output path does not fit", dir / "a.zip", deepOut.c_str()},
    };
    WriteText(dir / "a.zip", kDamaged);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        host.messages.clear();
        std::string input = c.input;
        std::string out = c.out != nullptr ? c.out : "";
        EXPECT_EQ(RepairFile(&input[0], c.out != nullptr ? &out[0] : nullptr, 0, nullptr),
                  REPAIR_ERR_FILE);
        EXPECT_EQ(host.AtLevel(MESSAGE_FATAL), std::vector<std::string>{"File Error"});
        EXPECT_EQ(Source(), "");
        EXPECT_EQ(Output(), "");
        ExpectClosed();
    }
    EXPECT_EQ(ReadText(dir / "a.zip"), kDamaged);
}

TEST_F(RepairFileTest, InputSizeIsSixtyFourBitAndOneWhenEmpty) {
    WriteText(dir / "empty.zip", "");
    MakeDir(dir / "out");
    EXPECT_EQ(Repair("D/empty.zip", "D/out/", 0), REPAIR_OK);
    EXPECT_EQ(g_inputSize, 1u);

    // A sparse file beyond 4 GiB costs no disk space.
    const uint64_t big = (uint64_t{5} << 30) + 7;
    int fd = ::open((dir / "big.zip").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(big)), 0);
    ::close(fd);
    ASSERT_EQ(OpenInputArchive((dir / "big.zip").c_str()), 1);
    EXPECT_EQ(g_inputSize, big);
    CloseArchives();
    ExpectClosed();
}

}  // namespace
}  // namespace arcsalve
