// Entries found through their central directory record
// (REPAIR_DIRECTORY_RECOVERY): a record that names no entry the scan found
// still says where its local header stood. The data there is decoded and
// saved only when it comes out as exactly the record's CRC-32 and size: the
// record is a guide, never evidence.
#ifndef ARCSALVE_SALVAGE_DIRECTORY_RECOVERY_H
#define ARCSALVE_SALVAGE_DIRECTORY_RECOVERY_H

#include <cstdint>

#include "salvage/salvage_entry.h"

namespace arcsalve {

// The amounts by which the records' local header offsets may be off from
// where the headers stand in the input: the archive may start after other
// data (a self-extractor's program), and offsets count from its start.
constexpr int kMaxShifts = 3;
struct DirectoryShifts {
    int64_t shift[kMaxShifts];
    int count;
};

// The shifts worth trying, most likely first: the one the last end record
// implies (where the directory it describes really starts, less the offset
// it gives), the one from the first local header found to the least offset a
// record gives, and none.
DirectoryShifts ShiftsOf(Salvage& s);

// What RecoverListedEntry returns when the record's data proves itself only
// inside an entry saved intact already: nothing is saved.
constexpr int kListedAlreadySaved = 16;

// Looks for the entry of the record at `recordOffset` and saves it when its
// data proves itself and is not that of an entry saved already; the
// reader's position is the recovery's own. Returns the EntryResult of the
// save (the entry is then the list's tail), kListedAlreadySaved, or
// kHeaderRejected when nothing was saved.
int RecoverListedEntry(Salvage& s, uint64_t recordOffset, const DirectoryShifts& shifts);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_DIRECTORY_RECOVERY_H
