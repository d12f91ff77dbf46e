// The salvage loop: scans the damaged archive for local headers, salvages each
// entry, and writes the central directory and the summary.
#ifndef ARCSALVE_SALVAGE_SCAN_H
#define ARCSALVE_SALVAGE_SCAN_H

#include "common/repair_run.h"

namespace arcsalve {

// Runs with the run's input open for reading, its output open and empty,
// and its status clear. Reports everything through messages. Returns the
// number of entries in the completed archive, or -1 when it was left without
// its central directory (a stop without REPAIR_SAFE_FILES, a failed write).
int ScanAndRebuild(RepairRun& run);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_SCAN_H
