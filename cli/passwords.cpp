#include "passwords.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "console.h"
#include "session.h"

namespace cli {
namespace {

// The library reads at most this many bytes of a password.
constexpr size_t kLongestPassword = PASSWORD_BUFFER_SIZE - 1;

struct PasswordState {
    std::vector<std::string> given;  // -p and --password-file, in order
    // The library asks again for the same entry only after a wrong password,
    // and tells so through the notice first: `retry` tells a new entry (start
    // the given passwords from the first) from another try at the same one.
    bool retry = false;
    size_t nextGiven = 0;
    bool lastWasGiven = false;  // the last answer came from the list, not the user
    bool hintShown = false;
    bool skipAll = false;  // the user asked no more: every later entry is skipped unasked
    // The last password typed, until the library's next question shows
    // whether it opened its entry (no notice came in between).
    std::string typed;
    std::vector<std::string> opened;
};
PasswordState g_passwords;

// Reads one line without its line end; false at end of input or on an error
// (Ctrl-C interrupts the read).
bool ReadLine(FILE* in, std::string* line) {
    line->clear();
    char chunk[256];
    bool any = false;
    while (std::fgets(chunk, sizeof chunk, in) != nullptr) {
        any = true;
        line->append(chunk);
        if (!line->empty() && line->back() == '\n') break;
    }
    if (!any) {
        std::clearerr(in);
        return false;
    }
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
    return true;
}

bool ReadPasswordFile(const std::string& name) {
    FILE* in = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(stderr, "arcsalve: cannot read password file %s: %s\n", name.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::string line;
    while (ReadLine(in, &line))
        if (!line.empty()) g_passwords.given.push_back(line);
    if (in != stdin) std::fclose(in);
    return true;
}

void WarnIfTooLong(const std::string& password, const char* what) {
    if (password.size() > kLongestPassword)
        Note("%s is longer than %zu characters: only its first %zu are used", what,
             kLongestPassword, kLongestPassword);
}

// What the user answered at the password prompt.
enum class Typed { kPassword, kSkip, kSkipAll };

// Asks on the terminal with echo off. Enter alone skips the entry; end of
// input (Ctrl-D: no password can be that) skips it and every later one. A
// question that Ctrl-C interrupted skips the entry; the stop follows.
Typed AskHidden(const char* name, std::string* typed) {
    EndProgress();
    std::fprintf(stderr, "Password for %s (Enter to skip, Ctrl-D to skip all): ", Printable(name).c_str());
    std::fflush(stderr);
    struct termios saved;
    const bool haveTerminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (haveTerminal) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    bool ok = ReadLine(stdin, typed);
    if (haveTerminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
    if (Interrupted()) return Typed::kSkip;
    if (!ok) return Typed::kSkipAll;
    return typed->empty() ? Typed::kSkip : Typed::kPassword;
}

// A typed password that brought no notice opened its entry.
void KeepTypedIfOpened() {
    std::string& typed = g_passwords.typed;
    if (typed.empty()) return;
    if (std::find(g_passwords.opened.begin(), g_passwords.opened.end(), typed) == g_passwords.opened.end())
        g_passwords.opened.push_back(typed);
    typed.clear();
}

int ARCSALVE_CALLBACK OnPassword(HWND, const char* name, char* password) {
    KeepTypedIfOpened();
    if (!g_passwords.retry) g_passwords.nextGiven = 0;
    g_passwords.retry = false;
    if (g_passwords.nextGiven < g_passwords.given.size()) {
        const std::string& p = g_passwords.given[g_passwords.nextGiven++];
        std::memcpy(password, p.data(), std::min(p.size(), kLongestPassword));
        g_passwords.lastWasGiven = true;
        return 1;
    }
    g_passwords.lastWasGiven = false;
    if (Interrupted() || g_passwords.skipAll) return 0;
    if (!CanAsk()) {
        if (!g_passwords.hintShown) {
            g_passwords.hintShown = true;
            Note(g_passwords.given.empty() ? "%s is encrypted: -p PASSWORD or --password-file FILE "
                                             "gives its password"
                                           : "%s is encrypted and none of the passwords given fits",
                 Printable(name).c_str());
        }
        return 0;
    }
    std::string typed;
    switch (AskHidden(name, &typed)) {
        case Typed::kSkip: return 0;
        case Typed::kSkipAll:
            g_passwords.skipAll = true;
            Note("no more password questions in this run: an encrypted entry that no known password opens "
                 "is skipped");
            return 0;
        case Typed::kPassword: break;
    }
    WarnIfTooLong(typed, "the password");
    std::memcpy(password, typed.data(), std::min(typed.size(), kLongestPassword));
    g_passwords.typed = typed.substr(0, kLongestPassword);
    return 1;
}

// The only notice is the one after a wrong password. One that came from the
// command line is not the user's mistake: it is passed over quietly, and the
// next one (or the question) follows.
void ARCSALVE_CALLBACK OnNotice(HWND, const char* text, const char* caption, unsigned long) {
    g_passwords.retry = true;
    g_passwords.typed.clear();
    if (g_passwords.lastWasGiven) return;
    Note("%s: %s", caption, text);
}

}  // namespace

bool PasswordsInit(const Options& options) {
    g_passwords = PasswordState();
    for (const PasswordSource& source : options.passwords) {
        if (!source.isFile) {
            g_passwords.given.push_back(source.value);
            continue;
        }
        if (!ReadPasswordFile(source.value)) return false;
    }
    for (const std::string& p : g_passwords.given) WarnIfTooLong(p, "a password given");
    return true;
}

int AskPassword(void*, const char* name, char* password) { return OnPassword(nullptr, name, password); }
void TellNotice(void*, const char* text, const char* caption) { OnNotice(nullptr, text, caption, 0); }

const std::vector<std::string>& OpenedPasswords() {
    KeepTypedIfOpened();
    return g_passwords.opened;
}

}  // namespace cli
