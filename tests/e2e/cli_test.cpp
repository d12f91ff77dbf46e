// The arcsalve command run as a subprocess without a terminal (standard input
// is /dev/null), checked against its exact output and exit status.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "support/api_fixture.h"

namespace {

using arcsalve::test_api::FileExists;
using arcsalve::test_api::MakeDir;
using arcsalve::test_api::ReadText;
using arcsalve::test_api::ScratchDir;
using arcsalve::test_api::WriteText;

const char kDamaged[] = "DAMAGED ARCHIVE BYTES";
const char kOld[] = "OLD OUTPUT";
const char kTryHelp[] = "Try 'arcsalve --help' for more information.\n";

// One stored entry's local header, name and data, as an archiver writes it;
// without a central directory after it, as when a download was cut short.
std::string StoredEntry(const std::string& name, const std::string& data) {
    auto le = [](std::string& out, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
    };
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    std::string out = "PK\3\4";
    le(out, 10, 2);      // version needed
    le(out, 0, 2);       // flags
    le(out, 0, 2);       // method: stored
    le(out, 0x6000, 2);  // time 12:00
    le(out, 0x58A1, 2);  // date 2024-05-01
    le(out, crc, 4);
    le(out, static_cast<uint32_t>(data.size()), 4);
    le(out, static_cast<uint32_t>(data.size()), 4);
    le(out, static_cast<uint32_t>(name.size()), 2);
    le(out, 0, 2);       // extra field length
    return out + name + data;
}

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(work.path().empty());
        MakeDir(work / "tmp");
        MakeDir(work / "archives");
    }

    // Runs the command in work/archives with TMPDIR work/tmp.
    CliRun Run(const std::vector<std::string>& args) {
        const std::string outFile = work / "stdout";
        const std::string errFile = work / "stderr";
        pid_t pid = ::fork();
        if (pid == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0 || ::chdir(Dir().c_str()) != 0) ::_exit(126);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::setenv("TMPDIR", (work / "tmp").c_str(), 1);
            ::unsetenv("ARCSALVE_LANGUAGE");
            for (const auto& e : env) ::setenv(e.first.c_str(), e.second.c_str(), 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(ARCSALVE_CLI_PATH));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(ARCSALVE_CLI_PATH, argv.data());
            ::_exit(127);
        }
        CliRun run;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.status = WEXITSTATUS(status);
        run.out = ReadText(outFile);
        run.err = ReadText(errFile);
        EXPECT_TRUE(TmpIsEmpty()) << "the private temporary directory was left behind";
        return run;
    }
    std::string Dir() const { return work / "archives"; }
    std::string In(const std::string& name) const { return Dir() + "/" + name; }
    bool TmpIsEmpty() const {
        DIR* d = ::opendir((work / "tmp").c_str());
        if (d == nullptr) return false;
        int entries = 0;
        while (struct dirent* e = ::readdir(d)) entries += e->d_name[0] != '.';
        ::closedir(d);
        return entries == 0;
    }

    ScratchDir work;
    std::vector<std::pair<std::string, std::string>> env;  // set in the command's environment
};

TEST_F(CliTest, HelpAndVersion) {
    for (const char* option : {"--help", "-h"}) {
        SCOPED_TRACE(option);
        CliRun run = Run({option});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind("Usage: arcsalve [OPTION]... ARCHIVE...\n", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("    5  a question (backup, overwrite) was not answered with yes\n"),
                  std::string::npos);
        EXPECT_EQ(run.err, "");
    }
    CliRun run = Run({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("arcsalve ", 0), 0u);
    EXPECT_EQ(run.err, "");
}

TEST_F(CliTest, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string firstLine;
    };
    const Case cases[] = {
        {{}, "arcsalve: no archive given\n"},
        {{"--bogus", "a.zip"}, "arcsalve: unknown option: --bogus\n"},
        {{"-x", "a.zip"}, "arcsalve: unknown option: -x\n"},
        {{"-qx", "a.zip"}, "arcsalve: unknown option: -x\n"},
        {{"a.zip", "-o"}, "arcsalve: option needs a value: -o\n"},
        {{"-o", "no-such-dir", "a.zip"}, "arcsalve: not a directory: no-such-dir\n"},
        {{"-o", "", "a.zip"}, "arcsalve: not a directory: ''\n"},
    };
    WriteText(In("a.zip"), kDamaged);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstLine);
        CliRun run = Run(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.firstLine + kTryHelp);
    }
    EXPECT_EQ(ReadText(In("a.zip")), kDamaged);
    EXPECT_FALSE(FileExists(In("a_BAK.zip")));
}

TEST_F(CliTest, UnreadableArchivesAreFileErrors) {
    MakeDir(In("dir.zip"));
    CliRun run = Run({"missing.zip"});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "error: File Error\narcsalve: missing.zip: No such file or directory\n");

    run = Run({"dir.zip"});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "error: File Error\narcsalve: dir.zip: not a regular file\n");
    EXPECT_FALSE(FileExists(In("dir_BAK.zip")));

    run = Run({std::string(5000, 'n') + ".zip"});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "error: File Error\narcsalve: " + std::string(5000, 'n') +
                           ".zip: name too long\n");
}

// Without a terminal every question is told, with the option that answers it,
// and nothing is changed; the option then lets the repair go on.
TEST_F(CliTest, QuestionsWithoutATerminal) {
    WriteText(In("a.zip"), kDamaged);
    WriteText(In("a_BAK.zip"), kOld);
    CliRun run = Run({"a.zip"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "arcsalve: a.zip: the backup a_BAK.zip already exists; --use-backup salvages from "
              "it again (replaces a.zip)\n");
    EXPECT_EQ(ReadText(In("a.zip")), kDamaged);

    run = Run({"--use-backup", "a.zip"});
    EXPECT_EQ(run.status, 4);  // the backup holds no archive
    EXPECT_TRUE(EndsWith(run.out, "Damaged archive kept as a_BAK.zip\n")) << run.out;
    EXPECT_TRUE(EndsWith(run.err, "arcsalve: a.zip: nothing could be salvaged\n")) << run.err;
    EXPECT_EQ(ReadText(In("a_BAK.zip")), kOld);
    EXPECT_NE(ReadText(In("a.zip")), kDamaged);

    // The input is itself a backup.
    run = Run({"--no-prompt", "a_BAK.zip"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.err,
              "arcsalve: a_BAK.zip: the name marks a backup; --from-backup salvages it into "
              "a.zip (replaces a.zip), --no-backup-name-check treats the name as ordinary\n");
    run = Run({"--no-backup-name-check", "-q", "a_BAK.zip"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadText(In("a_BAK_BAK.zip")), kOld);

    // The rebuilt archive exists in the output directory.
    MakeDir(In("out"));
    WriteText(In("b.zip"), kDamaged);
    WriteText(In("out/b.zip"), kOld);
    run = Run({"-o", "out", "b.zip"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.err, "arcsalve: out/b.zip already exists; --force replaces it\n");
    EXPECT_EQ(ReadText(In("out/b.zip")), kOld);
    run = Run({"-o", "out", "--force", "b.zip"});
    EXPECT_EQ(run.status, 4);
    EXPECT_NE(ReadText(In("out/b.zip")), kOld);
    EXPECT_EQ(ReadText(In("b.zip")), kDamaged);
    EXPECT_FALSE(FileExists(In("b_BAK.zip")));
}

// The exit status follows what the repair reported: 0 all intact, 1 losses,
// 4 nothing in the rebuilt archive.
TEST_F(CliTest, OutcomesOfARepair) {
    WriteText(In("intact.zip"), StoredEntry("a.txt", "first file\n") +
                                    StoredEntry("b.txt", "second file\n"));
    CliRun run = Run({"intact.zip"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Beginning salvage operations...\n"
              "    a.txt: size = 11:  OK\n"
              "    b.txt: size = 12:  OK\n"
              "Salvage attempt complete\n"
              "  2 files found\n"
              "Salvaged data stored in intact.zip\n"
              "Damaged archive kept as intact_BAK.zip\n");
    EXPECT_EQ(run.err, "");

    // The README's example: two entries whole, the third cut in its middle.
    MakeDir(In("out"));
    run = Run({"-o", "out", std::string(ARCSALVE_SOURCE_DIR) + "/examples/damaged.zip"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Beginning salvage operations...\n"
              "    README.txt: size = 68:  OK\n"
              "    notes/todo.txt: size = 3120:  OK\n"
              "Salvage attempt complete\n"
              "  3 files found\n"
              "Salvaged data stored in out/damaged.zip\n");
    EXPECT_EQ(run.err,
              "ERROR: File notes/poem.txt is corrupt.  Salvaged 2923 of 9252\n"
              "error: 1 partially recoverable files\n");

    WriteText(In("garbage.zip"), kDamaged);
    run = Run({"-q", "garbage.zip"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "error: No files found in archive.\n"
              "arcsalve: garbage.zip: nothing could be salvaged\n");
}

// The library loaded by the command reads its texts from the catalogue named
// by ARCSALVE_LANGUAGE; texts it lacks stay as built in.
TEST_F(CliTest, TextsFromALanguageCatalogue) {
    WriteText(work / "lang.txt", "2\tErreur de fichier\n17\tD\xc3\xa9" "but du sauvetage...\n");
    env.emplace_back("ARCSALVE_LANGUAGE", work / "lang.txt");
    CliRun run = Run({"missing.zip"});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "error: Erreur de fichier\narcsalve: missing.zip: No such file or directory\n");

    WriteText(In("garbage.zip"), kDamaged);
    run = Run({"garbage.zip"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out.rfind("D\xc3\xa9" "but du sauvetage...\nSalvage attempt complete\n", 0), 0u)
        << run.out;
}

// Every archive is tried; the highest status wins.
TEST_F(CliTest, SeveralArchives) {
    WriteText(In("b.zip"), kDamaged);
    WriteText(In("b_BAK.zip"), kOld);
    CliRun run = Run({"missing.zip", "b.zip"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.out, "==> missing.zip <==\n\n==> b.zip <==\n");
    EXPECT_EQ(run.err,
              "error: File Error\n"
              "arcsalve: missing.zip: No such file or directory\n"
              "arcsalve: b.zip: the backup b_BAK.zip already exists; --use-backup salvages from "
              "it again (replaces b.zip)\n");
}

}  // namespace
