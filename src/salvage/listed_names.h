// What a surviving central directory lists, checked against the entries the
// scan found. The scan never trusts the central directory to find entries,
// but when one survives, an entry it lists that no local header matched was
// lost (its header was hit, or lies behind damage), and the run must not end
// as if nothing was; and its records still hold what no local header has
// (the host system, attributes, comments).
//
// A record is kept as the hash of its name and its offset in the input: 16
// bytes, whatever the name's length. Everything else is read again from the
// input when it is wanted, and checked again then (the input is hostile).
#ifndef ARCSALVE_SALVAGE_LISTED_NAMES_H
#define ARCSALVE_SALVAGE_LISTED_NAMES_H

#include <cstddef>
#include <cstdint>

#include "common/repair_run.h"
#include "platform/platform.h"

namespace arcsalve {

// A central directory record the scan passed.
struct ListedRecord {
    uint64_t nameHash;
    uint64_t offset;  // of its signature in the input
};

// One scan's names: the hashes of the names of local headers read, the
// central directory records met, and the last end record met.
struct ListedNames {
    uint64_t* found = nullptr;  // hashes of the names of local headers read
    size_t foundCount = 0;
    size_t foundCapacity = 0;
    bool foundIncomplete = false;  // memory ran out: "not found" could be wrong
    uint64_t* foundAt = nullptr;   // offsets of the local headers whose names were read
    size_t foundAtCount = 0;
    size_t foundAtCapacity = 0;
    ListedRecord* records = nullptr;  // in input order until SortListedRecords
    size_t recordCount = 0;
    size_t recordCapacity = 0;
    uint64_t lowestLocalOffset = UINT64_MAX;  // the least local header offset a kept record gives
    // The header positions entries were found at through their records, as
    // an open-addressing set (0 marks a free slot; positions are stored + 1).
    uint64_t* taken = nullptr;
    size_t takenCount = 0;
    size_t takenSlots = 0;  // a power of two, or 0
    bool endRecordSeen = false;
    uint64_t endRecord = 0;  // offset of the last end record's signature
};

// A central directory record as read from the input. Every field is what
// the record says, nothing more: sizes and the local header's offset come
// from the ZIP64 extra block where the 32-bit field holds its marker.
struct CentralRecord {
    uint16_t madeBy;
    uint16_t flags;
    uint16_t method;
    uint16_t time;
    uint16_t date;
    uint32_t crc;
    uint64_t compressedSize;
    uint64_t uncompressedSize;
    uint16_t nameLength;
    uint16_t extraLength;
    uint16_t commentLength;
    uint32_t externalAttributes;
    uint64_t localHeaderOffset;
    uint64_t nameOffset;  // where its name starts in the input
};

// Frees the names and forgets everything.
void ReleaseListedNames(ListedNames& names);

// The scan read the name of the local header at `offset` (whatever became of
// its entry).
void NoteFoundName(ListedNames& names, const char* name, uint16_t length, uint64_t offset);

// The scan read a central directory record's signature at `offset` of the
// input: its name is read (positionally: the archive reader stays where it
// is) and the record kept, within a memory budget per run.
void NoteCentralRecord(ListedNames& names, FileHandle input, uint64_t offset);

// The scan read an end record's signature at `offset`.
void NoteEndRecord(ListedNames& names, uint64_t offset);

// Reads the record at `offset` and its name into a malloc'ed, NUL-terminated
// block (*name, which the caller frees). False, with *name null, when the
// record or its name cannot be read whole.
bool ReadCentralRecord(FileHandle input, uint64_t offset, CentralRecord* record, char** name);

// Once the scan is over: readies NameWasFound and HeaderWasFound. False when
// the found names are incomplete (memory ran out), and no record may be
// called not found.
bool PrepareFoundLookup(ListedNames& names);
bool NameWasFound(const ListedNames& names, uint64_t nameHash);
bool HeaderWasFound(const ListedNames& names, uint64_t offset);

// Whether an entry was already found through a record at header position
// `at`; TakePlace adds one (false when memory ran out). Two records that
// lead to one place (two copies of a directory) save its entry once.
bool PlaceTaken(const ListedNames& names, uint64_t at);
bool TakePlace(ListedNames& names, uint64_t at);

// Reports the record's entry as listed but not found (kTextListedNotFound,
// an error); false when the record cannot be read again.
bool ReportListedNotFound(RepairRun& run, uint64_t recordOffset);

// Orders the records by name hash (and input order within one hash), for
// FirstListedWithName.
void SortListedRecords(ListedNames& names);

// The index of the first record (after SortListedRecords) whose name hash is
// that of `name`, or recordCount; the ones after it with the same hash follow.
size_t FirstListedWithName(const ListedNames& names, const char* name, size_t length);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_LISTED_NAMES_H
