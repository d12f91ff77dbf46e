#include "console.h"

#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "arcsalve/arcsalve.h"
#include "session.h"

namespace cli {
namespace {

constexpr int kBarWidth = 40;
// The bar is redrawn at most this often (milliseconds), and only when what
// it shows has changed: a terminal over a slow link must not be flooded.
constexpr int64_t kRedrawInterval = 100;
// An archive's name beside the bar is cut to its last this many characters,
// so that the bar stays on one line of an ordinary terminal.
constexpr size_t kLabelLength = 30;

// How progress is shown: not at all, as a bar redrawn in place, or (where
// the terminal cannot move the cursor: TERM=dumb) as a line at each quarter.
enum class BarStyle { kNone, kRedraw, kLines };

// Progress of the archive in hand. The library reports the position of its
// reader, which goes back when the scan looks over an entry again or
// re-reads a damaged one; the bar shows the furthest point reached, so it
// never steps back within an archive.
struct ProgressState {
    std::string label;        // the archive's name, shown in runs over several
    unsigned long shown = 0;  // the furthest percentage reported
    unsigned long drawn = 0;  // the percentage on screen (or on the last line)
    bool reported = false;    // any progress came for this archive
    bool everDrawn = false;
    int64_t drawnAt = 0;      // when it was last drawn, in milliseconds
};

struct ConsoleState {
    bool quiet = false;
    BarStyle bar = BarStyle::kNone;
    bool colour = false;    // standard error is a terminal that takes colour
    bool canAsk = false;    // standard input is a terminal and asking is allowed
    bool barDrawn = false;  // the cursor stands at the end of a drawn bar
    bool stopTold = false;  // the user was told that Ctrl-C stops the repair
    // In a run over several archives the "==> NAME <==" headings on standard
    // output tell which archive a message is about. Where they do not stand
    // in the same stream as the warnings and errors (-q, or the two streams
    // go to different files), each warning and error names its archive.
    bool headingsApart = false;
    std::string archivePrefix;  // "NAME: " when messages name their archive
    FILE* info = stdout;    // where information goes
    ProgressState progress;
};
ConsoleState g_console;

// Standard output that cannot be written (its reader has gone) ends the
// run as a stop: the archive in hand is completed, and nothing more is
// printed there.
void FlushStdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) RequestStop(SIGPIPE);
}

void ClearBar() {
    if (!g_console.barDrawn) return;
    std::fputs("\r\033[K", stderr);
    g_console.barDrawn = false;
}

int64_t NowMilliseconds() {
    struct timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void DrawBar(unsigned long percent) {
    int filled = static_cast<int>(percent) * kBarWidth / 100;
    std::fprintf(stderr, "\r%3lu%% [%.*s%*s]%s%s", percent, filled,
                 "########################################", kBarWidth - filled, "",
                 g_console.progress.label.empty() ? "" : " ", g_console.progress.label.c_str());
    std::fflush(stderr);
    g_console.barDrawn = true;
}

// Shows the furthest percentage when it differs from what is shown, no
// sooner than kRedrawInterval after the last drawing unless `now` (the end
// of the archive). A bar that a message took away counts as changed.
void ShowProgress(bool now) {
    ProgressState& p = g_console.progress;
    if (g_console.bar == BarStyle::kLines) {
        const unsigned long quarter = p.shown / 25 * 25;
        if (quarter <= p.drawn) return;
        std::fprintf(stderr, "progress: %lu%%%s%s\n", quarter, p.label.empty() ? "" : " ", p.label.c_str());
        std::fflush(stderr);
        p.drawn = quarter;
        return;
    }
    if (g_console.barDrawn && p.drawn == p.shown) return;
    const int64_t time = NowMilliseconds();
    if (!now && p.everDrawn && time - p.drawnAt < kRedrawInterval) return;
    DrawBar(p.shown);
    p.drawn = p.shown;
    p.drawnAt = time;
    p.everDrawn = true;
}

// The last kLabelLength characters of a name (UTF-8 continuation bytes are
// not characters), after "..." when it was cut.
std::string ShortLabel(const std::string& name) {
    size_t start = name.size();
    for (size_t chars = 0; start > 0 && chars < kLabelLength; ) {
        --start;
        if ((static_cast<unsigned char>(name[start]) & 0xC0) != 0x80) ++chars;
    }
    return start == 0 ? name : "..." + name.substr(start);
}

// Warnings and errors go to standard error with a marker ("error:",
// "warning:"), coloured on a terminal. Texts that carry their own marker
// ("ERROR (SKIPPING FILE): ...", "WARNING: ...") keep it, coloured up to its
// colon, instead of getting a second one. The library indents its summary
// counters for a plain log; after a marker the indentation only gets in the
// way.
void PrintMarked(const char* marker, const char* colour, const char* text) {
    while (*text == ' ') ++text;
    std::fputs(g_console.archivePrefix.c_str(), stderr);
    const size_t word = std::strlen(marker) - 1;  // the marker without its colon
    const char* colon = std::strchr(text, ':');
    if (strncasecmp(text, marker, word) == 0 && colon != nullptr) {
        const int head = static_cast<int>(colon - text + 1);
        if (g_console.colour)
            std::fprintf(stderr, "\033[%sm%.*s\033[0m%s\n", colour, head, text, colon + 1);
        else
            std::fprintf(stderr, "%s\n", text);
        return;
    }
    if (g_console.colour)
        std::fprintf(stderr, "\033[%sm%s\033[0m %s\n", colour, marker, text);
    else
        std::fprintf(stderr, "%s %s\n", marker, text);
}


bool IsUnsafe(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

// The library gives the size of an entry that it does not know (streamed:
// the header holds 0 and no data descriptor was reached) as 0, "Salvaged N
// of 0"; the command shows it as "Salvaged N of unknown size". Only the
// library's own English text is recognised; a catalogue's text is shown as
// it is.
std::string WithUnknownSize(const std::string& text) {
    static const std::string kSalvaged = "Salvaged ", kOfZero = " of 0";
    if (text.size() < kOfZero.size() || text.compare(text.size() - kOfZero.size(), kOfZero.size(), kOfZero) != 0)
        return text;
    const size_t end = text.size() - kOfZero.size();
    size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) --start;
    if (start == end || start < kSalvaged.size() ||
        text.compare(start - kSalvaged.size(), kSalvaged.size(), kSalvaged) != 0)
        return text;
    return text.substr(0, end) + " of unknown size";
}

// MESSAGE_FATAL ("File Error", "Error creating backup file") says only that
// the call failed: it is counted but not shown, since the command finds out
// and tells why (main.cpp), and the reason comes first and alone.
void ARCSALVE_CALLBACK OnMessage(int level, const char* raw) {
    // A quiet run shows no line per entry: none is made printable.
    if (level == MESSAGE_INFO && g_console.quiet) return;
    ClearBar();
    const std::string safe = WithUnknownSize(Printable(raw));
    const char* text = safe.c_str();
    switch (level) {
        case MESSAGE_INFO:
            std::fprintf(g_console.info, "%s\n", text);
            if (g_console.info == stdout) FlushStdout();
            return;
        case MESSAGE_WARNING:
            PrintMarked("warning:", "1;33", text);
            return;
        case MESSAGE_FATAL:  // the command says which file and why instead
            return;
        default:
            PrintMarked("error:", "1;31", text);
            return;
    }
}

// Answering 0 is how a host stops a repair: after Ctrl-C every report gets 0.
unsigned long ARCSALVE_CALLBACK OnProgress(unsigned long percent) {
    if (Interrupted()) {
        if (!g_console.stopTold) {
            g_console.stopTold = true;
            ClearBar();
            std::fputs("arcsalve: stopping after the entry in hand (Ctrl-C again to quit now)\n",
                       stderr);
        }
        return 0;
    }
    if (g_console.bar == BarStyle::kNone) return 1;
    ProgressState& p = g_console.progress;
    p.reported = true;
    p.shown = std::max(p.shown, std::min(percent, 100ul));
    ShowProgress(false);
    return 1;
}

void VPrint(FILE* out, const char* prefix, const char* format, va_list args) {
    ClearBar();
    std::fputs(prefix, out);
    std::vfprintf(out, format, args);
    std::fputc('\n', out);
    if (out == stdout) FlushStdout();
    else std::fflush(out);
}

// Waits until a line can be read; false when a stop came first, even if it
// came just before the wait began: the stop signals stay blocked from the
// test of the flag until ppoll atomically unblocks them for the wait.
bool WaitForInput() {
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupt, signal);
    sigprocmask(SIG_BLOCK, &interrupt, &previous);
    bool ready = false;
    while (!Interrupted()) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        int r = ::ppoll(&p, 1, nullptr, &previous);
        if (r > 0) {
            ready = true;
            break;
        }
        if (r < 0 && errno != EINTR) {
            ready = true;  // let the read report the problem
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ready;
}

}  // namespace

// The code point of the UTF-8 sequence at p (n bytes available) and its
// length; length 0 when the bytes are not well-formed UTF-8.
size_t DecodeUtf8(const unsigned char* p, size_t n, uint32_t* cp) {
    size_t more;
    uint32_t lowest;
    if (p[0] < 0x80) {
        *cp = p[0];
        return 1;
    }
    if ((p[0] & 0xE0) == 0xC0) more = 1, lowest = 0x80;
    else if ((p[0] & 0xF0) == 0xE0) more = 2, lowest = 0x800;
    else if ((p[0] & 0xF8) == 0xF0) more = 3, lowest = 0x10000;
    else return 0;
    if (n <= more) return 0;
    uint32_t value = p[0] & (0x3F >> more);
    for (size_t k = 1; k <= more; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        value = value << 6 | (p[k] & 0x3F);
    }
    if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return more + 1;
}

void ConsoleInit(const Options& options) {
    const bool stderrTty = ::isatty(STDERR_FILENO) != 0;
    const char* term = std::getenv("TERM");
    const char* noColour = std::getenv("NO_COLOR");
    g_console.quiet = options.quiet;
    const bool dumb = term != nullptr && std::strcmp(term, "dumb") == 0;
    if (stderrTty && !options.quiet && !options.noProgress)
        g_console.bar = dumb ? BarStyle::kLines : BarStyle::kRedraw;
    g_console.colour = stderrTty && (noColour == nullptr || *noColour == '\0') && !dumb;
    g_console.canAsk = !options.noPrompt && ::isatty(STDIN_FILENO) != 0;
    g_console.info = options.json ? stderr : stdout;
    // With --json the headings go to standard error too, beside the messages.
    struct stat out, err;
    g_console.headingsApart = options.quiet || (!options.json && (::fstat(STDOUT_FILENO, &out) != 0 ||
                                                                  ::fstat(STDERR_FILENO, &err) != 0 ||
                                                                  out.st_dev != err.st_dev || out.st_ino != err.st_ino));
}

void ConsoleMessage(void*, int level, const char* text) { OnMessage(level, text); }
int ConsoleProgress(void*, unsigned percent) { return OnProgress(percent) != 0; }

std::string Printable(const char* text) {
    std::string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t left = std::strlen(text);
    while (left > 0) {
        uint32_t cp = 0;
        size_t n = DecodeUtf8(p, left, &cp);
        char escape[12];
        if (n == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", p[0]);
            out += escape;
            n = 1;
        } else if (IsUnsafe(cp)) {
            std::snprintf(escape, sizeof escape, cp < 0x80 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(cp));
            out += escape;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
        left -= n;
    }
    return out;
}

void BeginArchive(const std::string& name, bool several) {
    g_console.progress = ProgressState();
    if (several) g_console.progress.label = ShortLabel(Printable(name.c_str()));
    g_console.archivePrefix = several && g_console.headingsApart ? Printable(name.c_str()) + ": " : "";
}

void EndProgress(bool complete) {
    ProgressState& p = g_console.progress;
    if (complete && p.reported) {
        p.shown = 100;
        ShowProgress(true);
    }
    ClearBar();
}

void Info(const char* format, ...) {
    if (g_console.quiet) return;
    va_list args;
    va_start(args, format);
    VPrint(g_console.info, "", format, args);
    va_end(args);
}

void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPrint(stderr, "arcsalve: ", format, args);
    va_end(args);
}

bool CanAsk() { return g_console.canAsk; }

Answer Ask(const std::string& question) {
    ClearBar();
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    if (!WaitForInput()) {
        std::fputc('\n', stderr);
        return Answer::kInterrupted;
    }
    char line[256];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        std::clearerr(stdin);
        std::fputc('\n', stderr);
        return Interrupted() ? Answer::kInterrupted : Answer::kNo;
    }
    // A long answer is read to its end so that it cannot answer the next question.
    if (std::strchr(line, '\n') == nullptr) {
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
    char* word = line;
    while (std::isspace(static_cast<unsigned char>(*word))) ++word;
    size_t n = 0;
    while (word[n] != '\0' && !std::isspace(static_cast<unsigned char>(word[n]))) ++n;
    if ((n == 1 && std::tolower(static_cast<unsigned char>(word[0])) == 'y') ||
        (n == 3 && strncasecmp(word, "yes", 3) == 0))
        return Answer::kYes;
    return Interrupted() ? Answer::kInterrupted : Answer::kNo;
}

}  // namespace cli
