// Running a whole salvage and judging its result with independent readers.
#ifndef ARCSALVE_TESTS_SUPPORT_REPAIR_RUN_H
#define ARCSALVE_TESTS_SUPPORT_REPAIR_RUN_H

#include <cstdint>
#include <string>
#include <vector>

#include "salvage/salvage_entry.h"
#include "support/library_state.h"
#include "support/temp_dir.h"

namespace arcsalve::test {

struct ScanOutcome {
    std::vector<Message> messages;
    std::vector<unsigned long> progress;
    SalvageCounters counters;
    Bytes output;  // the rebuilt archive
    // Message texts alone, and "level|text" lines for failure output.
    std::vector<std::string> Texts() const;
    std::string Dump() const;
};

// Runs the salvage scan over the archive at inputPath into outputPath, as
// RepairFile does once both files are open (OutputPath is set to
// outputPath). The run flags start clear, the repair's flags word is
// `flags`; injected platform faults stay. With abortAtProgressCall = n > 0
// the host answers 0 from its n-th progress report on.
ScanOutcome RunScan(const std::string& inputPath, const std::string& outputPath,
                    int abortAtProgressCall = 0, unsigned long flags = 0);

struct RepairOutcome {
    unsigned long result = 0;
    std::vector<Message> messages;
    SalvageCounters counters{};
    std::string outputPath;  // the rebuilt archive, from GetFilePaths
    std::vector<std::string> Texts() const;
    std::string Dump() const;
};

// Calls RepairFile(inputPath, outputDir, flags) with recording callbacks.
RepairOutcome RunRepair(const std::string& inputPath, const std::string& outputDir,
                        unsigned long flags = 0, int abortAtProgressCall = 0);

// One entry as Python's zipfile reads it from the central directory.
struct OracleEntry {
    Bytes name;  // as stored
    Bytes data;
    uint32_t flags = 0;
    uint32_t method = 0;
    uint32_t externalAttributes = 0;
};

struct OracleListing {
    std::string error;    // empty when the archive was read
    std::string testzip;  // "None" when every CRC-32 checks
    std::vector<OracleEntry> entries;
};

// Reads an archive with Python's zipfile (testzip, then every entry).
OracleListing ReadWithPython(const std::string& archive);

// `unzip -t -qq` on the archive: its exit status and output.
int UnzipTest(const std::string& archive, std::string* output = nullptr);

// Fails the current test unless Python's zipfile reads the archive whole with
// every CRC-32 right and `unzip -t` accepts it (an archive without entries it
// calls "empty", status 1); returns Python's listing.
OracleListing ExpectValidArchive(const std::string& archive);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_REPAIR_RUN_H
