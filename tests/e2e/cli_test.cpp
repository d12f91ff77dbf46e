// The arcsalve command run as a subprocess, checked against its exact output
// and exit status: without a terminal (standard input is a file), also on
// encrypted archives with passwords from -p and --password-file; and on a
// pseudo-terminal, where it asks its questions.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/api_fixture.h"
#include "support/crypt_fixture.h"
#include "support/repair_run.h"
#include "support/zip_builder.h"
#include "support/zipcrypto_writer.h"

namespace {

using arcsalve::test_api::FileExists;
using arcsalve::test_api::MakeDir;
using arcsalve::test_api::ReadText;
using arcsalve::test_api::ScratchDir;
using arcsalve::test_api::WriteText;

const char kDamaged[] = "DAMAGED ARCHIVE BYTES";
const char kOld[] = "OLD OUTPUT";
const char kTryHelp[] = "Try 'arcsalve --help' for more information.\n";

// Stored entries' local headers, names and data, as an archiver writes them;
// without a central directory after them, as when a download was cut short.
std::string StoredEntries(const std::vector<std::pair<std::string, std::string>>& files) {
    arcsalve::test::ZipBuilder zip;
    for (const auto& f : files) zip.Stored(f.first, arcsalve::test::ToBytes(f.second));
    return std::string(zip.bytes().begin(), zip.bytes().end());
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

    // Runs the command in work/archives with TMPDIR work/tmp and `input` on
    // its standard input; it must leave that private directory empty.
    CliRun Run(const std::vector<std::string>& args, const std::string& input = "") {
        using arcsalve::test::ShellQuote;
        WriteText(work / "stdin", input);
        std::string command = "cd " + ShellQuote(Dir()) + " && env -u ARCSALVE_LANGUAGE TMPDIR=" + ShellQuote(work / "tmp");
        for (const auto& e : env) command += " " + e.first + "=" + ShellQuote(e.second);
        command += " " + ShellQuote(ARCSALVE_CLI_PATH);
        for (const std::string& a : args) command += " " + ShellQuote(a);
        command += " <" + ShellQuote(work / "stdin") + " >" + ShellQuote(work / "stdout") + " 2>" + ShellQuote(work / "stderr");
        CliRun run;
        run.status = arcsalve::test::RunCommand("(" + command + ")");
        run.out = ReadText(work / "stdout");
        run.err = ReadText(work / "stderr");
        std::string left;
        EXPECT_EQ(arcsalve::test::RunCommand("ls -A " + ShellQuote(work / "tmp"), &left), 0);
        EXPECT_EQ(left, "") << "the private temporary directory was left behind";
        return run;
    }
    std::string Dir() const { return work / "archives"; }
    std::string In(const std::string& name) const { return Dir() + "/" + name; }

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
    const std::string longName = std::string(5000, 'n') + ".zip";
    const std::pair<std::string, std::string> cases[] = {
        {"missing.zip", "missing.zip: No such file or directory"},
        {"dir.zip", "dir.zip: not a regular file"},
        {longName, longName + ": name too long"},
    };
    for (const auto& c : cases) {
        CliRun run = Run({c.first});
        EXPECT_EQ(run.status, 3);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "error: File Error\narcsalve: " + c.second + "\n");
    }
    EXPECT_FALSE(FileExists(In("dir_BAK.zip")));
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
    EXPECT_EQ(run.status, 4);  // the backup holds no archive: nothing is replaced
    EXPECT_TRUE(EndsWith(run.err, "arcsalve: a.zip: nothing could be salvaged; the file was left as it was\n")) << run.err;
    EXPECT_EQ(ReadText(In("a_BAK.zip")), kOld);
    EXPECT_EQ(ReadText(In("a.zip")), kDamaged);

    // The input is itself a backup.
    run = Run({"--no-prompt", "a_BAK.zip"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.err,
              "arcsalve: a_BAK.zip: the name marks a backup; --from-backup salvages it into "
              "a.zip (it exists: --force lets it be replaced), --no-backup-name-check treats the name as ordinary\n");
    run = Run({"--no-backup-name-check", "-q", "a_BAK.zip"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadText(In("a_BAK.zip")), kOld);
    EXPECT_FALSE(FileExists(In("a_BAK_BAK.zip")));

    // The rebuilt archive exists in the output directory.
    MakeDir(In("out"));
    const std::string b = StoredEntries({{"b.txt", "b"}});
    WriteText(In("b.zip"), b);
    WriteText(In("out/b.zip"), kOld);
    run = Run({"-o", "out", "b.zip"});
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.err, "arcsalve: out/b.zip already exists; --force replaces it\n");
    EXPECT_EQ(ReadText(In("out/b.zip")), kOld);
    run = Run({"-o", "out", "--force", "b.zip"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(ReadText(In("out/b.zip")), kOld);
    EXPECT_EQ(ReadText(In("b.zip")), b);
    EXPECT_FALSE(FileExists(In("b_BAK.zip")));
}

// The exit status follows what the repair reported: 0 all intact, 1 losses,
// 4 nothing in the rebuilt archive.
TEST_F(CliTest, OutcomesOfARepair) {
    WriteText(In("intact.zip"), StoredEntries({{"a.txt", "first file\n"}, {"b.txt", "second file\n"}}));
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
              "arcsalve: garbage.zip: nothing could be salvaged; the file was left as it was\n");
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

// What the command leaves of the user's files, whatever happens: (files
// before, command, signal) -> (files after, exit status, a line it printed).
// A stop comes while the command is blocked writing its standard output to a
// full pipe (so always in the middle of the run): a real signal, or the pipe
// closed by its reader.
namespace safety {

const char kSmall[] = "@small";    // a damaged archive of two entries
const char kMany[] = "@many";      // one of 150 entries, far more lines than the pipe holds
const char kValid[] = "@valid";    // after: an archive unzip and Python read whole
const char kMissing[] = "@missing";
constexpr int kClosePipe = -1;

struct FileState {
    std::string name;
    std::string content;  // a marker above, "->TARGET" for a symbolic link, or the bytes
    mode_t mode = 0;      // checked (or given) when not 0
};

std::string Content(const std::string& marker) {
    if (marker == kSmall) return StoredEntries({{"a.txt", "first file\n"}, {"b.txt", "second\n"}});
    if (marker != kMany) return marker;
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 150; ++i) files.emplace_back(std::string(180, 'n') + std::to_string(i), "x");
    return StoredEntries(files);
}

struct Outcome {
    int status = -1;
    std::string printed;  // standard output and error
};

// Runs the command in `dir`, standard output into a pipe. With a signal (or
// kClosePipe) the pipe is left unread until it is full, so the command is
// blocked in the middle of its run; then the stop comes and the rest is read.
Outcome RunStopped(const std::string& dir, const std::vector<std::string>& args, int signal) {
    int out[2];
    if (::pipe(out) != 0) return {};
    ::fcntl(out[0], F_SETPIPE_SZ, 4096);  // one page: a few lines fill it
    const std::string errFile = dir + "/../stderr";
    pid_t pid = ::fork();
    if (pid == 0) {
        int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = ::open("/dev/null", O_RDONLY);
        if (::chdir(dir.c_str()) != 0 || err < 0 || in < 0) ::_exit(126);
        ::dup2(in, 0), ::dup2(out[1], 1), ::dup2(err, 2), ::close(out[0]);
        ::setenv("TMPDIR", (dir + "/..").c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(ARCSALVE_CLI_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ARCSALVE_CLI_PATH, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    Outcome o;
    if (signal != 0) {
        // Nearly full: a line no longer fits, or soon will not, with most of
        // the output still to come.
        const int nearlyFull = ::fcntl(out[0], F_GETPIPE_SZ) - 1024;
        int queued = 0;
        for (int wait = 0; wait < 2000 && ::ioctl(out[0], FIONREAD, &queued) == 0 && queued < nearlyFull; ++wait)
            ::usleep(5000);  // a hung command fails the test, not the suite
        if (signal == kClosePipe) ::close(out[0]);
        else ::kill(pid, signal);
    }
    char buffer[4096];
    ssize_t n;
    while (signal != kClosePipe && (n = ::read(out[0], buffer, sizeof buffer)) > 0) o.printed.append(buffer, n);
    if (signal != kClosePipe) ::close(out[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) o.status = WEXITSTATUS(status);
    o.printed += ReadText(errFile);
    return o;
}

TEST(CliFileSafety, FilesAreNeverLostOrSilentlyReplaced) {
    const std::string many = Content(kMany);
    const std::string stopped = "holds the entries salvaged before the stop, completed with a central directory";
    const struct {
        std::vector<FileState> before;
        std::vector<std::string> args;
        int signal;
        std::vector<FileState> after;
        int status;
        std::string message;
    } cases[] = {
        // Nothing salvaged, nothing moved.
        {{{"notes.txt", "plain text"}}, {"notes.txt"}, 0,
         {{"notes.txt", "plain text"}, {"notes_BAK.txt", kMissing}}, 4, "notes.txt: nothing could be salvaged; the file was left as it was"},
        // A stop leaves a complete archive under the final name, and the input whole.
        {{{"m.zip", kMany, 0600}}, {"m.zip"}, SIGINT, {{"m.zip", kValid, 0600}, {"m_BAK.zip", many}}, 130, "m.zip " + stopped},
        {{{"m.zip", kMany}}, {"m.zip"}, SIGTERM, {{"m.zip", kValid}, {"m_BAK.zip", many}}, 143, "the damaged archive is kept as m_BAK.zip"},
        {{{"m.zip", kMany}}, {"m.zip"}, SIGHUP, {{"m.zip", kValid}, {"m_BAK.zip", many}}, 129, "m.zip " + stopped},
        {{{"m.zip", kMany}}, {"m.zip"}, kClosePipe, {{"m.zip", kValid}, {"m_BAK.zip", many}}, 141, "m.zip " + stopped},
        {{{"m.zip", kMany}, {"out/m.zip", "OLD"}}, {"-f", "-o", "out", "m.zip"}, SIGTERM,
         {{"out/m.zip", kValid}, {"m.zip", many}}, 143, "out/m.zip " + stopped},
        // Permissions follow the damaged file, in place and into -o DIR.
        {{{"s.zip", kSmall, 0640}}, {"s.zip"}, 0, {{"s.zip", kValid, 0640}, {"s_BAK.zip", kSmall, 0640}}, 0, "Damaged archive kept as s_BAK.zip"},
        {{{"s.zip", kSmall, 0600}}, {"-o", "out", "s.zip"}, 0, {{"out/s.zip", kValid, 0600}, {"s.zip", kSmall}}, 0, "stored in out/s.zip"},
        // -o naming the archive's own directory is an in-place repair.
        {{{"s.zip", kSmall}}, {"-o", ".", "s.zip"}, 0, {{"s.zip", kValid}, {"s_BAK.zip", kSmall}}, 0, "s.zip: . is the archive's own directory: repairing in place"},
        // --from-backup replaces an existing file only with -f.
        {{{"r_BAK.zip", kSmall}, {"r.zip", "unrelated"}}, {"--from-backup", "r_BAK.zip"}, 0,
         {{"r.zip", "unrelated"}, {"r_BAK.zip", kSmall}}, 5, "r.zip already exists; --force replaces it"},
        {{{"r_BAK.zip", kSmall}, {"r.zip", "unrelated"}}, {"-f", "--from-backup", "r_BAK.zip"}, 0,
         {{"r.zip", kValid}, {"r_BAK.zip", kSmall}}, 0, "stored in r.zip"},
        // Two inputs of one run with one output: the second is refused.
        {{{"a/x.zip", kSmall}, {"b/x.zip", "PK\3\4 not this one"}}, {"-f", "-o", "out", "a/x.zip", "b/x.zip"}, 0,
         {{"out/x.zip", kValid}, {"b/x.zip", "PK\3\4 not this one"}}, 5,
         "b/x.zip: not repaired: out/x.zip holds what was salvaged from a/x.zip in this run"},
        // A backup that is not a regular file is never read, and nothing is deleted.
        {{{"u.zip", "keep me"}, {"other", kSmall}, {"u_BAK.zip", "->other"}}, {"--use-backup", "u.zip"}, 0,
         {{"u.zip", "keep me"}, {"other", kSmall}}, 3, "u_BAK.zip: not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + std::to_string(c.signal) + ": " + c.message);
        ScratchDir scratch;
        const std::string dir = scratch / "d";
        for (const char* sub : {"", "/out", "/a", "/b"}) MakeDir(dir + sub);
        for (const FileState& f : c.before) {
            const std::string path = dir + "/" + f.name;
            if (f.content.rfind("->", 0) == 0) ASSERT_EQ(::symlink(f.content.c_str() + 2, path.c_str()), 0);
            else WriteText(path, Content(f.content));
            if (f.mode != 0) ::chmod(path.c_str(), f.mode);
        }
        const Outcome o = RunStopped(dir, c.args, c.signal);
        EXPECT_EQ(o.status, c.status) << o.printed;
        EXPECT_NE(o.printed.find(c.message), std::string::npos) << o.printed;
        for (const FileState& f : c.after) {
            SCOPED_TRACE(f.name);
            const std::string path = dir + "/" + f.name;
            if (f.content == kMissing) EXPECT_FALSE(FileExists(path));
            else if (f.content == kValid) EXPECT_FALSE(arcsalve::test::ExpectValidArchive(path).entries.empty());
            else EXPECT_EQ(ReadText(path), Content(f.content));
            struct stat st;
            if (f.mode != 0 && ::stat(path.c_str(), &st) == 0) {
                EXPECT_EQ(st.st_mode & 0777, f.mode);
            }
        }
        std::string left;
        arcsalve::test::RunCommand("cd " + arcsalve::test::ShellQuote(dir) + " && find . -name '*.arcsalve*'", &left);
        EXPECT_EQ(left, "") << "a temporary archive was left behind";
    }
}

}  // namespace safety

// A damaged archive (its central directory cut off) of three entries sharing
// one password, one with another, and a plain one.
class EncryptedCli : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        namespace tc = arcsalve::test_crypt;
        std::vector<tc::CryptEntry> entries;
        for (int i = 0; i < 3; ++i)
            entries.push_back(tc::Encrypted("doc" + std::to_string(i) + ".txt", Text(200 + 100 * i, i), "open sesame"));
        entries.push_back(tc::Encrypted("other.txt", Text(50, 7), "second", 0));
        entries.push_back(tc::Plain("plain.txt", Text(20, 8)));
        for (const auto& e : entries) originals[e.name] = e.data;
        tc::Bytes archive = tc::BuildZip(entries);
        const tc::ZipEntry last = tc::ListZip(archive).back();
        archive.resize(last.dataOffset + last.compressedSize);
        WriteText(In("damaged.zip"), std::string(archive.begin(), archive.end()));
        MakeDir(In("out"));
    }

    static arcsalve::test::Bytes Text(int lines, int salt) {
        std::string s;
        for (int i = 0; i < lines; ++i) s += "text " + std::to_string(salt) + "/" + std::to_string(i) + "\n";
        return arcsalve::test::ToBytes(s);
    }

    // The names in the rebuilt archive, which unzip and Python accept; each
    // entry unencrypted and whole.
    std::vector<std::string> RebuiltNames() {
        std::vector<std::string> names;
        for (const auto& e : arcsalve::test::ExpectValidArchive(In("out/damaged.zip")).entries) {
            names.emplace_back(e.name.begin(), e.name.end());
            EXPECT_EQ(e.flags, 0u);
            EXPECT_EQ(e.data, originals[names.back()]) << names.back();
        }
        return names;
    }

    std::map<std::string, arcsalve::test::Bytes> originals;
};

const std::vector<std::string> kAll = {"doc0.txt", "doc1.txt", "doc2.txt", "other.txt", "plain.txt"};

// Passwords from -p, --password-file and standard input, wrong ones among
// them, in any order: every entry is saved, the wrong ones pass quietly,
// exit status 0.
TEST_F(EncryptedCli, GivenPasswordsOpenEveryEntry) {
    WriteText(In("pw.txt"), "nope\n\nsecond\r\n");
    const struct {
        std::vector<std::string> args;
        std::string input;
    } cases[] = {
        {{"-p", "second", "--password=open sesame"}, ""},
        {{"-p", "wrong", "-p", "open sesame", "-p", "also-wrong", "-p", "second"}, ""},
        {{"--password-file", "pw.txt", "-p", "open sesame"}, ""},
        {{"--password-file", "-"}, "open sesame\nsecond\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        std::vector<std::string> args = {"--no-progress", "-o", "out", "-f"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("damaged.zip");
        CliRun run = Run(args, c.input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find("    other.txt: size = " + std::to_string(originals["other.txt"].size()) + ":  OK\n"), std::string::npos) << run.out;
        EXPECT_EQ(RebuiltNames(), kAll);
    }
}

// No password, or none that fits, and no terminal: each encrypted entry is
// skipped and said to be so, with a hint once; the plain entry is saved and
// the exit status tells of losses. --no-prompt behaves the same. A password
// file that cannot be read is a usage error; one longer than 39 characters
// is announced as cut.
TEST_F(EncryptedCli, MissingPasswordsAndPasswordErrors) {
    const std::string noneGiven = "arcsalve: doc0.txt is encrypted: -p PASSWORD or --password-file FILE gives its password\n";
    const struct {
        std::vector<std::string> args;
        std::string hint;
        std::vector<std::string> saved;
        int undecryptable;
    } cases[] = {
        {{}, noneGiven, {"plain.txt"}, 4},
        {{"--no-prompt"}, noneGiven, {"plain.txt"}, 4},
        {{"-p", "second"}, "arcsalve: doc0.txt is encrypted and none of the passwords given fits\n",
         {"other.txt", "plain.txt"}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hint);
        std::vector<std::string> args = {"--no-progress", "-o", "out", "-f"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("damaged.zip");
        CliRun run = Run(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind(c.hint, 0), 0u) << run.err;
        EXPECT_NE(run.err.find("ERROR (SKIPPING FILE): Cannot decrypt doc1.txt\n"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("error: " + std::to_string(c.undecryptable) + " undecryptable files\n"), std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.find("Incorrect Password"), std::string::npos);
        EXPECT_EQ(RebuiltNames(), c.saved);
    }

    CliRun run = Run({"-o", "out", "--password-file", "missing.txt", "damaged.zip"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "arcsalve: cannot read password file missing.txt: No such file or directory\n");
    EXPECT_EQ(run.out, "");
    run = Run({"--no-progress", "-o", "out", "-f", "-p", std::string(45, 'x'), "-p", "second", "damaged.zip"});
    EXPECT_EQ(run.err.rfind("arcsalve: a password given is longer than 39 characters: only its first 39 are used\n", 0), 0u)
        << run.err;
}

// On a terminal (a pseudo-terminal) the questions are asked and the typed
// answer decides; Ctrl-C at a question stops the command.
struct TerminalRun {
    int status = -1;
    std::string screen;  // everything the terminal showed, echo included
};

// Runs the command on a new pseudo-terminal in `dir`; once the screen shows
// "[y/N] ", types `reply`.
TerminalRun RunOnTerminal(const std::string& dir, const std::vector<std::string>& args,
                          const std::string& reply) {
    TerminalRun run;
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::setenv("TMPDIR", dir.c_str(), 1);
        ::setenv("TERM", "xterm", 1);
        ::unsetenv("NO_COLOR");
        std::vector<char*> argv{const_cast<char*>(ARCSALVE_CLI_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ARCSALVE_CLI_PATH, argv.data());
        ::_exit(127);
    }
    if (pid < 0) return run;
    bool replied = false;
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) {  // a hung command fails the test, not the suite
            ::kill(pid, SIGKILL);
            break;
        }
        char buffer[512];
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the command has exited
        run.screen.append(buffer, static_cast<size_t>(n));
        if (!replied && run.screen.find("[y/N] ") != std::string::npos) {
            replied = true;
            ssize_t w = ::write(master, reply.data(), reply.size());
            (void)w;
        }
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    ::close(master);
    return run;
}

bool Shows(const TerminalRun& run, const std::string& text) {
    return run.screen.find(text) != std::string::npos;
}

TEST(CliTerminal, QuestionsAreAskedAndAnswered) {
    ScratchDir dir;
    WriteText(dir / "a.zip", "DAMAGED");
    WriteText(dir / "a_BAK.zip", "BACKUP");

    TerminalRun no = RunOnTerminal(dir.path(), {"a.zip"}, "n\r");
    EXPECT_TRUE(Shows(no, "a_BAK.zip already exists. Salvage from it again? (replaces a.zip) [y/N] ")) << no.screen;
    EXPECT_TRUE(Shows(no, "arcsalve: a.zip: not repaired")) << no.screen;
    EXPECT_EQ(no.status, 5);
    EXPECT_EQ(ReadText(dir / "a.zip"), "DAMAGED");

    // Only "y" or "yes" is yes.
    TerminalRun other = RunOnTerminal(dir.path(), {"a.zip"}, "sure\r");
    EXPECT_EQ(other.status, 5);
    EXPECT_EQ(ReadText(dir / "a.zip"), "DAMAGED");

    TerminalRun yes = RunOnTerminal(dir.path(), {"a.zip"}, "y\r");
    EXPECT_FALSE(Shows(yes, "not repaired")) << yes.screen;
    EXPECT_EQ(yes.status, 4);  // the backup holds no archive: nothing is replaced
    EXPECT_EQ(ReadText(dir / "a_BAK.zip"), "BACKUP");

    // Replacing an existing output, answered yes.
    MakeDir(dir / "out");
    WriteText(dir / "b.zip", "DAMAGED");
    WriteText(dir / "out/b.zip", "OLD");
    TerminalRun replace = RunOnTerminal(dir.path(), {"-o", "out", "b.zip"}, "YES\r");
    EXPECT_TRUE(Shows(replace, "out/b.zip already exists. Replace it? [y/N] ")) << replace.screen;
    EXPECT_EQ(replace.status, 4);
    EXPECT_EQ(ReadText(dir / "b.zip"), "DAMAGED");
}

TEST(CliTerminal, NoPromptCtrlCAndColouredErrors) {
    ScratchDir dir;
    WriteText(dir / "a.zip", "DAMAGED");
    WriteText(dir / "a_BAK.zip", "BACKUP");

    TerminalRun told = RunOnTerminal(dir.path(), {"--no-prompt", "a.zip"}, "");
    EXPECT_FALSE(Shows(told, "[y/N]"));
    EXPECT_TRUE(Shows(told, "--use-backup salvages from it again")) << told.screen;
    EXPECT_EQ(told.status, 5);

    TerminalRun stopped = RunOnTerminal(dir.path(), {"a.zip", "a.zip"}, "\x03");
    EXPECT_TRUE(Shows(stopped, "arcsalve: a.zip: not repaired (interrupted)")) << stopped.screen;
    EXPECT_EQ(stopped.screen.find("[y/N]"), stopped.screen.rfind("[y/N]"))
        << "the second archive must not be tried";
    EXPECT_EQ(stopped.status, 130);
    EXPECT_EQ(ReadText(dir / "a.zip"), "DAMAGED");
    EXPECT_FALSE(FileExists(dir / "arcsalve.tmp"));

    // Library errors are marked in colour on a terminal.
    TerminalRun missing = RunOnTerminal(dir.path(), {"missing.zip"}, "");
    EXPECT_TRUE(Shows(missing, "\033[1;31merror:\033[0m File Error")) << missing.screen;
    EXPECT_EQ(missing.status, 3);
}

}  // namespace
