#include "session.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace cli {
namespace {

// The library's fixed temporary file name inside TMPDIR.
const char kLibraryTempName[] = "arcsalve.tmp";

// Read by the signal handler: everything it needs is prepared beforehand in
// fixed buffers, since a handler may only make async-signal-safe calls.
struct SessionState {
    volatile sig_atomic_t stops = 0;       // stop requests so far
    volatile sig_atomic_t stopSignal = 0;  // what asked first: SIGINT, SIGTERM, SIGHUP, SIGPIPE
    bool haveDir = false;
    char dir[PATH_MAX] = {};
    char libraryTemp[PATH_MAX + sizeof kLibraryTempName] = {};
};
SessionState g_session;

void WriteStderr(const char* text) {
    ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

void RemoveTempDirNow() {
    if (!g_session.haveDir) return;
    ::unlink(g_session.libraryTemp);
    ::rmdir(g_session.dir);
}

// Ctrl-C, SIGTERM and SIGHUP all ask for a stop after the entry in hand, so
// that the archive being written is completed; a second one of any of them
// ends the process at once.
void OnStopSignal(int signal) {
    if (g_session.stops == 0) {
        // What happens next is told by whoever sees the flag: the progress
        // callback or a pending question.
        g_session.stopSignal = signal;
        g_session.stops = 1;
        return;
    }
    RemoveTempDirNow();
    WriteStderr("\narcsalve: interrupted\n");
    ::_exit(128 + signal);
}

void InstallHandler(int signal, void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a pending question read returns at once
    ::sigaction(signal, &action, nullptr);
}

// The private directory that is made the library's TMPDIR.
bool MakeTemporaryDirectory() {
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    std::string pattern = std::string(base) + "/arcsalve.XXXXXX";
    if (pattern.size() >= sizeof g_session.dir) {
        std::fprintf(stderr, "arcsalve: temporary directory name too long: %s\n", base);
        return false;
    }
    std::memcpy(g_session.dir, pattern.c_str(), pattern.size() + 1);
    if (::mkdtemp(g_session.dir) == nullptr) {
        std::fprintf(stderr, "arcsalve: cannot create a temporary directory in %s: %s\n", base,
                     std::strerror(errno));
        return false;
    }
    std::snprintf(g_session.libraryTemp, sizeof g_session.libraryTemp, "%s/%s", g_session.dir,
                  kLibraryTempName);
    g_session.haveDir = true;
    ::setenv("TMPDIR", g_session.dir, 1);
    return true;
}

}  // namespace

bool SessionBegin(bool makeTemporary) {
    if (makeTemporary && !MakeTemporaryDirectory()) return false;
    InstallHandler(SIGINT, OnStopSignal);
    InstallHandler(SIGTERM, OnStopSignal);
    InstallHandler(SIGHUP, OnStopSignal);
    // A reader that went away (arcsalve ... | head -1) must not kill the
    // command in the middle of an archive: the failed write is seen instead
    // and ends the run as a stop.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

void SessionEnd() {
    if (!g_session.haveDir) return;
    // Whatever is left inside (normally nothing: the library deletes its
    // temporary file after each entry) goes with the directory.
    if (DIR* d = ::opendir(g_session.dir)) {
        while (struct dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            std::string path = std::string(g_session.dir) + "/" + e->d_name;
            ::unlink(path.c_str());
        }
        ::closedir(d);
    }
    ::rmdir(g_session.dir);
    g_session.haveDir = false;
}

bool Interrupted() { return g_session.stops != 0; }

void RequestStop(int signal) {
    if (g_session.stops != 0) return;
    g_session.stopSignal = signal;
    g_session.stops = 1;
}

int StopStatus() { return 128 + (g_session.stopSignal != 0 ? g_session.stopSignal : SIGINT); }

}  // namespace cli
