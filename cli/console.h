// What the user sees and answers: the library's messages, the progress bar,
// the command's own notes and its questions.
#ifndef ARCSALVE_CLI_CONSOLE_H
#define ARCSALVE_CLI_CONSOLE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "options.h"

namespace cli {

// Decides once what the terminal allows: colour and the progress bar only
// when standard error is a terminal, questions only when standard input is.
// With --json standard output carries the report alone: information goes
// to standard error as well.
void ConsoleInit(const Options& options);

// The message and progress callbacks of arcsalve_repair (`user` unused).
void ConsoleMessage(void* user, int level, const char* text);
int ConsoleProgress(void* user, unsigned percent);

// Text from an archive (entry names inside the library's messages) made
// safe for a terminal: control characters (C0, DEL, C1), the Unicode
// direction overrides and bytes that are not UTF-8 are shown as \xNN or
// \uNNNN escapes, so a name can never move the cursor, clear the screen,
// start a new line or reorder what follows it.
std::string Printable(const char* text);

// BeginArchive also makes warnings and errors name the archive in a run over
// several, where the headings of standard output do not stand beside them.
// Progress: drawn on a terminal (standard error) as a bar redrawn in place,
// at most about ten times a second and only when its percentage changes; as
// a line at each quarter where TERM=dumb. BeginArchive starts the bar of the
// next archive (named on it when the run has several). EndProgress removes
// the bar; `complete` (the scan read the archive to its end) shows 100%
// first, when progress was shown for the archive at all.
void BeginArchive(const std::string& name, bool several);
void EndProgress(bool complete = false);

// The command's own lines: Info on standard output (not with --quiet), Note
// on standard error as "arcsalve: ...".
void Info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Questions: CanAsk says whether one may be asked at all.
bool CanAsk();
enum class Answer { kYes, kNo, kInterrupted };
// Prints "question [y/N] " on standard error and reads a line; only "y" or
// "yes" (any case) is yes. End of input is no.
Answer Ask(const std::string& question);

// The code point of the UTF-8 sequence at p (n bytes available, n > 0) and
// its length; length 0 when the bytes are not well-formed UTF-8.
size_t DecodeUtf8(const unsigned char* p, size_t n, uint32_t* cp);

}  // namespace cli

#endif  // ARCSALVE_CLI_CONSOLE_H
