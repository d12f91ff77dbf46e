// The names a surviving central directory lists, checked against the entries
// the scan found. The scan never trusts the central directory to find
// entries, but when one survives, an entry it lists that no local header
// matched was lost (its header was hit, or lies behind damage), and the run
// must not end as if nothing was.
#ifndef ARCSALVE_SALVAGE_LISTED_NAMES_H
#define ARCSALVE_SALVAGE_LISTED_NAMES_H

#include <cstddef>
#include <cstdint>

#include "common/repair_run.h"
#include "platform/platform.h"

namespace arcsalve {

// One scan's names: the hashes of the names of local headers read, and the
// names the central directory records it met list.
struct ListedNames {
    uint64_t* found = nullptr;  // hashes of the names of local headers read
    size_t foundCount = 0;
    size_t foundCapacity = 0;
    bool foundIncomplete = false;  // memory ran out: "not found" could be wrong
    uint8_t* listed = nullptr;     // a head, the name, NUL; one after another
    size_t listedUsed = 0;
    size_t listedCapacity = 0;
};

// Frees the names and forgets everything.
void ReleaseListedNames(ListedNames& names);

// The scan read the name of a local header (whatever became of its entry).
void NoteFoundName(ListedNames& names, const char* name, uint16_t length);

// The scan read a central directory record's signature at `offset` of the
// input: its name is read (positionally: the archive reader stays where it
// is) and kept, within a memory budget per run.
void NoteCentralRecord(ListedNames& names, FileHandle input, uint64_t offset);

// Reports, once the scan is over, every listed name no local header had
// (kTextListedNotFound, an error) and returns their number.
int32_t ReportListedNamesNotFound(ListedNames& names, RepairRun& run);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_LISTED_NAMES_H
