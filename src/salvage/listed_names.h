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
#include "common/string_ids.h"
#include "platform/platform.h"

namespace arcsalve {

// A central directory record the scan passed.
struct ListedRecord {
    uint64_t nameHash;
    uint64_t offset;  // of its signature in the input
};

// Offsets noted mostly in increasing order, packed: the difference to the
// one before in 7-bit groups, the whole offset of every 64th kept aside
// (with where its block starts) for a binary search; one below the offset
// before it goes to a plain list.
struct PackedOffsets {
    uint8_t* bytes = nullptr;
    size_t byteCount = 0;
    size_t byteCapacity = 0;
    uint64_t* marks = nullptr;  // pairs: a block's first offset, its first byte
    size_t markCount = 0;       // values
    size_t markCapacity = 0;
    size_t count = 0;
    uint64_t last = 0;
    uint64_t lowest = UINT64_MAX;
    uint64_t* odd = nullptr;
    size_t oddCount = 0;
    size_t oddCapacity = 0;
};

// Stretches of the input, each from an entry's local header to the end of
// its data, noted mostly in increasing order of their starts, packed: the
// start's difference to the one before and the length, in 7-bit groups;
// every 64th start kept aside with where its block starts and the furthest
// end before it, for a binary search. A few that come out of order are kept
// in a plain list; past those, or past the budget, the least start not kept
// is remembered, and from there no answer is sure.
struct PackedSpans {
    uint8_t* bytes = nullptr;
    size_t byteCount = 0;
    size_t byteCapacity = 0;
    uint64_t* marks = nullptr;  // triples: a block's first start, its first byte, the furthest end before it
    size_t markCount = 0;       // values
    size_t markCapacity = 0;
    size_t count = 0;
    uint64_t lastStart = 0;
    uint64_t furthestEnd = 0;
    uint64_t odd[2 * 16] = {};  // start, end
    int oddCount = 0;
    uint64_t unkeptFrom = UINT64_MAX;
};

// Reads of the input at offsets through a window of its bytes: the records
// of a central directory follow each other closely, and are read one after
// the other as the scan passes them and again as the new directory is
// written; a system call for each made the directory the slowest part of a
// run over many small entries. The window holds bytes of `input` only.
struct RecordWindow {
    FileHandle input = kNoFile;
    uint8_t* bytes = nullptr;  // kRecordWindowSize, allocated at the first read
    uint64_t start = 0;
    uint32_t length = 0;
};

// One scan's names: the hashes of the names of local headers read, the
// central directory records met, and the last end record met. What is kept
// of the local headers is bounded too: the hashes of the names of saved
// entries are not kept but taken again from the saved entries themselves
// (MarkFoundName), and only the offsets of all headers read, packed.
struct ListedNames {
    uint64_t* found = nullptr;  // hashes of the names read whose entries were not saved
    size_t foundCount = 0;
    size_t foundCapacity = 0;
    bool foundIncomplete = false;  // past the budget or out of memory: "not found" could be wrong
    PackedOffsets foundAt;         // offsets of the local headers whose names were read
    uint8_t* recordFound = nullptr;  // a bit per record: its name was found (PrepareFoundLookup)
    uint32_t* byHash = nullptr;      // the records' indices in name hash order, while marking
    // Where the hashes whose top hashBits bits are k start in the order
    // searched (byHash while marking, the records once sorted): a lookup
    // searches the few between hashStarts[k] and hashStarts[k + 1].
    uint32_t* hashStarts = nullptr;
    int hashBits = 0;
    ListedRecord* records = nullptr;  // in input order until SortListedRecords
    size_t recordCount = 0;
    size_t recordCapacity = 0;
    uint64_t lowestLocalOffset = UINT64_MAX;  // the least local header offset a kept record gives
    bool placesInOrder = true;  // the kept records give their local header offsets in increasing order
    uint64_t lastPlace = 0;
    // The header positions entries were found at through their records:
    // packed while they come in increasing order (as the records of a
    // directory do), the others in an open-addressing set (0 marks a free
    // slot; positions are stored + 1), within a budget.
    PackedOffsets takenInOrder;
    uint64_t* taken = nullptr;
    size_t takenCount = 0;
    size_t takenSlots = 0;  // a power of two, or 0
    bool endRecordSeen = false;
    uint64_t endRecord = 0;  // offset of the last end record's signature
    // Where the entries saved intact stand in the input: those the scan
    // found, and those found through their records.
    PackedSpans savedByScan;
    PackedSpans savedThroughRecords;
    RecordWindow window;  // the records are read through it
    RecordWindow places;  // and the local headers they lead to through this one
};

// Up to `count` bytes of the input from `offset`, through the window.
uint32_t ReadThroughWindow(RecordWindow& w, FileHandle input, uint64_t offset, void* out, uint32_t count);

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
// The entry whose name was noted last was saved: its name is marked from the
// saved entries instead (MarkFoundName).
void ForgetLastFoundName(ListedNames& names);

// The scan read a central directory record's signature at `offset` of the
// input: its name is read (positionally: the archive reader stays where it
// is) and the record kept, within a memory budget per run.
void NoteCentralRecord(ListedNames& names, FileHandle input, uint64_t offset);

// The scan read an end record's signature at `offset`.
void NoteEndRecord(ListedNames& names, uint64_t offset);

// Reads the record at `offset` and its name into a malloc'ed, NUL-terminated
// block (*name, which the caller frees). False, with *name null, when the
// record or its name cannot be read whole.
bool ReadCentralRecord(ListedNames& names, FileHandle input, uint64_t offset, CentralRecord* record, char** name);

// Once the scan is over: readies RecordNameFound and HeaderWasFound, once
// every saved entry's name was given to MarkFoundName and EndFoundMarking
// was called. False when the found names are incomplete (past the budget,
// or memory ran out), and no record may be called not found.
bool PrepareFoundLookup(ListedNames& names);
void MarkFoundName(ListedNames& names, const char* name, size_t length);
void EndFoundMarking(ListedNames& names);
bool RecordNameFound(const ListedNames& names, size_t record);
bool HeaderWasFound(const ListedNames& names, uint64_t offset);
// The least offset of a local header read; UINT64_MAX when none was.
uint64_t LowestFoundHeader(const ListedNames& names);

// An entry was saved intact from the input's bytes [start, end): its local
// header (or where it stood) to the end of its data.
void NoteSavedEntry(ListedNames& names, uint64_t start, uint64_t end, bool throughRecord);
// Whether `offset` falls inside an entry saved intact: 1 yes, 0 no, -1 not
// known (what was saved there could not all be kept in mind).
int InsideSavedEntry(const ListedNames& names, uint64_t offset);

// Whether an entry was already found through a record at header position
// `at`; TakePlace adds one (false when memory ran out). Two records that
// lead to one place (two copies of a directory) save its entry once.
bool PlaceTaken(const ListedNames& names, uint64_t at);
bool TakePlace(ListedNames& names, uint64_t at);

// Reports the record's entry with `text` (its name the one argument) at
// `level`: listed but not found (kTextListedNotFound, an error), or listed
// at the data of an entry already saved (kTextListedTwice, a warning);
// false when the record cannot be read again.
bool ReportListedRecord(RepairRun& run, ListedNames& names, uint64_t recordOffset, int32_t level, StringId text);

// The records whose names were not found, in increasing order of the local
// header offsets they give (then in input order): a malloc'ed array of
// *count, which the caller frees. Null (and *count 0) when the records give
// them in increasing order already (as one directory does), or when memory
// lacks: they are then taken in input order.
struct ListedPlace {
    uint64_t place;
    size_t record;
};
ListedPlace* RecordsByPlace(ListedNames& names, FileHandle input, size_t* count);

// Orders the records by name hash (and input order within one hash), for
// FirstListedWithName.
void SortListedRecords(ListedNames& names);

// The index of the first record (after SortListedRecords) whose name hash is
// that of `name`, or recordCount; the ones after it with the same hash follow.
size_t FirstListedWithName(const ListedNames& names, const char* name, size_t length);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_LISTED_NAMES_H
