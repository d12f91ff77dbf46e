// The arcsalve command on a terminal (a pseudo-terminal): its questions are
// asked and the typed answer decides; Ctrl-C at a question stops the command.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/api_fixture.h"

namespace {

using arcsalve::test_api::FileExists;
using arcsalve::test_api::MakeDir;
using arcsalve::test_api::ReadText;
using arcsalve::test_api::ScratchDir;
using arcsalve::test_api::WriteText;

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
    EXPECT_EQ(yes.status, 4);  // the backup holds no archive
    EXPECT_EQ(ReadText(dir / "a_BAK.zip"), "BACKUP");
    EXPECT_NE(ReadText(dir / "a.zip"), "DAMAGED");

    // Replacing an existing output, answered yes.
    MakeDir(dir / "out");
    WriteText(dir / "b.zip", "DAMAGED");
    WriteText(dir / "out/b.zip", "OLD");
    TerminalRun replace = RunOnTerminal(dir.path(), {"-o", "out", "b.zip"}, "YES\r");
    EXPECT_TRUE(Shows(replace, "out/b.zip already exists. Replace it? [y/N] ")) << replace.screen;
    EXPECT_EQ(replace.status, 4);
    EXPECT_NE(ReadText(dir / "out/b.zip"), "OLD");
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
