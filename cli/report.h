// What the command found in each archive and did with it, entry by entry:
// the listing of --list and -v, and the JSON document of --json.
#ifndef ARCSALVE_CLI_REPORT_H
#define ARCSALVE_CLI_REPORT_H

#include <string>
#include <vector>

#include "arcsalve/arcsalve_c.h"

namespace cli {

// One entry as the library reported it (arcsalve_entry, copied).
struct EntryLine {
    std::string name;  // the stored bytes
    bool nameUtf8 = false;
    unsigned method = 0;
    bool encrypted = false;
    unsigned long long offset = 0;
    unsigned long long compressed = 0;
    unsigned long long uncompressed = 0;
    int verdict = ARCSALVE_ENTRY_LOST;
    unsigned long long saved = 0;
    bool throughDirectory = false;  // found through its central directory record
    // Recovered past damage: pieces (0: not), fill bytes, the map's ranges
    // (kind, offset, length) as listed and how many there are in all.
    unsigned pieces = 0;
    unsigned long long unknown = 0;
    size_t rangeCount = 0;
    std::vector<arcsalve_range> ranges;
};

// One archive of the run.
struct ArchiveReport {
    std::string input;  // as named on the command line
    bool test = false;  // salvaged into nothing
    arcsalve_result result{};  // counts and paths (zero when the library never ran)
    int status = 0;            // the archive's exit status
    bool listed = false;       // entries are kept for a listing or the JSON report
    std::vector<EntryLine> entries;  // only when listed: an archive may hold millions
};

// The entry callback of arcsalve_repair; `user` is the ArchiveReport.
void CollectEntry(void* user, const arcsalve_entry* entry);

// The listing of one archive on standard output: a heading, then one line
// per entry found (method, sizes, offset, verdict, name).
void PrintListing(const ArchiveReport& report);

// The whole run as one JSON document (see the README for its fields).
std::string JsonReport(const std::vector<ArchiveReport>& archives, int status);

// `bytes` as a JSON string: UTF-8 passes as it is, control characters and
// '"' and '\' are escaped, and each byte that is not part of well-formed
// UTF-8 becomes the lone surrogate \udcXX (XX the byte: 80 to FF), as
// Python's "surrogateescape" reads and writes them, so the bytes can be
// recovered exactly.
std::string JsonString(const std::string& bytes);

}  // namespace cli

#endif  // ARCSALVE_CLI_REPORT_H
