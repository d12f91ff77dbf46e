// The command line of `arcsalve`: what the user asked for.
#ifndef ARCSALVE_CLI_OPTIONS_H
#define ARCSALVE_CLI_OPTIONS_H

#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "arcsalve/arcsalve_c.h"

namespace cli {

// Exit statuses of the command (also listed in --help and the README).
enum ExitStatus : int {
    kExitIntact = 0,      // every entry found was saved intact
    kExitLosses = 1,      // repaired, but some entries are damaged or missing
    kExitUsage = 2,       // bad command line
    kExitFileError = 3,   // an archive could not be read, written or backed up
    kExitNothing = 4,     // nothing could be salvaged: the rebuilt archive is empty
    kExitUnanswered = 5,  // a question (backup, overwrite) stopped the repair
    kExitInterrupted = 130,  // Ctrl-C (128 + SIGINT, as shells report it); see StopStatus
};

// A password to try on encrypted entries (-p), or a file of them, one per
// line (--password-file; "-" is standard input).
struct PasswordSource {
    bool isFile = false;
    std::string value;
};

struct Options {
    // REPAIR_* flags that answer the library's questions, and the library's
    // extensions, all on unless --recompress or --classic. Safe handling of
    // the files (REPAIR_SAFE_FILES) is always on: --classic chooses how
    // entries are salvaged, never whether a stop may leave a broken archive.
    unsigned long flags = REPAIR_EXTENSIONS | REPAIR_SAFE_FILES;
    // Directory for the rebuilt archives; empty: repair in place.
    std::string outputDir;
    bool noPrompt = false;    // never ask; tell which option answers instead
    bool quiet = false;       // only warnings and errors
    bool noProgress = false;  // no progress bar even on a terminal
    bool testOnly = false;    // --test, --list: salvage into nothing, write no file
    bool listing = false;     // --list, -v: a line per entry after each archive
    bool json = false;        // --json: the report as JSON on standard output
    unsigned workers = ARCSALVE_ALL_CORES;  // -j: threads verifying intact entries
    std::vector<PasswordSource> passwords;  // in the order given
    std::vector<std::string> archives;
};

enum class ParseOutcome {
    kRun,    // options are in *options; go on
    kDone,   // --help or --version was printed; exit 0
    kUsage,  // a usage error was printed; exit kExitUsage
};

// Parses argv (getopt_long; options may follow archive names, "--" ends
// them). Prints help, version and usage errors itself.
ParseOutcome ParseOptions(int argc, char** argv, Options* options);

// Makes the -o directory with its missing parents (mode 0777 less the umask).
// Prints why when it cannot, and returns false.
bool MakeOutputDir(const std::string& dir);

}  // namespace cli

#endif  // ARCSALVE_CLI_OPTIONS_H
