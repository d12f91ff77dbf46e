// The names a surviving central directory lists, checked against the entries
// the scan found. The scan never trusts the central directory to find
// entries, but when one survives, an entry it lists that no local header
// matched was lost (its header was hit, or lies behind damage), and the run
// must not end as if nothing was.
#ifndef ARCSALVE_SALVAGE_LISTED_NAMES_H
#define ARCSALVE_SALVAGE_LISTED_NAMES_H

#include <cstdint>

namespace arcsalve {

// Forgets everything (called when a scan starts).
void ResetListedNames();

// The scan read the name of a local header (whatever became of its entry).
void NoteFoundName(const char* name, uint16_t length);

// The scan read a central directory record's signature at `offset` of the
// input: its name is read (positionally: the archive reader stays where it
// is) and kept, within a memory budget per run.
void NoteCentralRecord(uint64_t offset);

// Reports, once the scan is over, every listed name no local header had
// (message 34, an error) and returns their number.
int32_t ReportListedNamesNotFound();

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_LISTED_NAMES_H
