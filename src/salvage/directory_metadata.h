// What the damaged archive's central directory records about an entry and
// its local header does not (REPAIR_DIRECTORY_METADATA): the host system and
// external attributes (a Unix mode and file type, a symbolic link among
// them), the file comment, and the archive comment of the end record.
//
// A record is believed about an entry only when it describes the data that
// was salvaged: the same name, byte for byte, the same CRC-32 and the same
// uncompressed size. An entry no record matches keeps what every rebuilt
// entry has ("made by MS-DOS", no attributes but a directory's, no comment).
#ifndef ARCSALVE_SALVAGE_DIRECTORY_METADATA_H
#define ARCSALVE_SALVAGE_DIRECTORY_METADATA_H

#include <cstdint>

#include "salvage/salvage_entry.h"

namespace arcsalve {

// After the scan, before the central directory is written: readies the
// records and end record the scan passed for DescribeSavedEntry (they are
// reordered, SortListedRecords) and takes the archive comment.
void CarryOverDirectoryMetadata(Salvage& s);

// Fills a saved entry's described fields from the first record that
// describes it, as the central directory is written; none when the
// metadata is not carried over.
void DescribeSavedEntry(Salvage& s, SalvageEntry& entry);

// The "version made by" and external attributes of an entry's rebuilt
// central record: a matching record's host system with the version this
// library writes (`version`), and its attributes; otherwise MS-DOS and
// `plainAttributes`.
uint16_t RebuiltMadeBy(const SalvageEntry& entry, uint16_t version);
uint32_t RebuiltAttributes(const SalvageEntry& entry, uint32_t plainAttributes);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_DIRECTORY_METADATA_H
