// The steps of RepairFile that tests and the later stages reach directly.
#ifndef ARCSALVE_API_REPAIR_FILE_H
#define ARCSALVE_API_REPAIR_FILE_H

#include <cstdint>

#include "arcsalve/arcsalve.h"
#include "common/repair_run.h"

namespace arcsalve {

// What the input's name says before anything is opened: 0 for an ordinary
// archive, REPAIR_BACKUP_EXISTS when NAME_BAK.ext already stands beside it,
// REPAIR_INPUT_IS_BACKUP when the name itself ends in "_BAK" (unless
// REPAIR_NO_BACKUP_NAME_CHECK is set).
uint32_t ClassifyInputName(const char* path, unsigned long flags);

// Opens the damaged archive into the run's input and sets its size (1 for
// an empty file); 1 on success. On failure the input stays kNoFile.
int OpenInputArchive(RepairRun& run, const char* path);
// Creates (or truncates) the rebuilt archive into the run's output; 1 on
// success.
int OpenOutputArchive(RepairRun& run, const char* path);
// Closes whichever of the two archives is open.
void CloseArchives(RepairRun& run);

// RepairFile, with the run's size limits and password memory open to the
// caller: by default the format's own limits and the passwords the library
// remembers for its whole life (nullptr), as RepairFile has them. A test
// lowers the limits, to see what happens at a limit without writing
// gigabytes; a fuzz target gives each input a fresh memory, so that no input
// depends on the ones before it.
unsigned long Repair(const char* inPath, const char* outPath, unsigned long flags, HWND parent,
                     const RunLimits& limits = RunLimits{}, PasswordMemory* passwords = nullptr);

// A repair whose run the caller has set up (flags, limits, host hooks,
// password memory), as the C interface makes it; the run keeps the paths,
// counters and status for the caller to read afterwards.
unsigned long RepairWithRun(RepairRun& run, const char* inPath, const char* outPath);

}  // namespace arcsalve

#endif  // ARCSALVE_API_REPAIR_FILE_H
