// The saved entries of one scan, kept until the central directory is
// written at the end: all that the directory needs of each (its local
// header, name, carried blocks and offset), packed one after another.
//
// An archive may hold millions of entries; what is held in memory is
// bounded (RunLimits::recordsInMemory bytes). Past that the packed entries
// go, in one write, to a temporary file where the run's other temporaries
// go, and are read back in large pieces when the directory is written. The
// file is removed when the records are released, on every way out of the
// scan. When it cannot be made or written, the entries stay in memory, as
// they did before there was such a file.
#ifndef ARCSALVE_SALVAGE_SAVED_RECORDS_H
#define ARCSALVE_SALVAGE_SAVED_RECORDS_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace arcsalve {

struct SalvageEntry;

struct SavedRecords {
    uint8_t* held = nullptr;  // packed entries not yet moved to the file
    size_t heldBytes = 0;
    size_t heldCapacity = 0;
    FileHandle spill = kNoFile;  // the temporary file, once made
    char spillPath[kMaxPath] = {};
    uint64_t spilled = 0;        // bytes written whole to it
    bool memoryOnly = false;     // no file: it could not be made or written, or a test writes none
};

// Packs the entry behind the others; past `budget` bytes in memory the
// packed entries move to the temporary file. False (nothing kept) when
// memory ran out.
bool KeepSavedRecord(SavedRecords& records, const SalvageEntry& entry, size_t budget);

// Calls visit for every kept entry in order, with the entry unpacked (its
// name valid during the call; the directory fields of directory_metadata.h
// cleared). Stops at the first false visit; false then, or when the
// temporary file could not be read back.
using SavedRecordVisit = bool (*)(void* context, SalvageEntry& entry);
bool VisitSavedRecords(SavedRecords& records, SavedRecordVisit visit, void* context);

// Where the next entry kept will start among the packed entries (file and
// memory as one sequence of bytes).
uint64_t SavedRecordsEnd(const SavedRecords& records);

// Reads the kept entries from `from` to `to` (SavedRecordsEnd values) one
// at a time, each unpacked into `entry` (its name in the cursor) until the
// next. Two cursors may read one SavedRecords at once.
struct SavedCursor {
    SavedRecords* records = nullptr;
    uint64_t at = 0;
    uint64_t to = 0;
    uint8_t* piece = nullptr;  // file bytes from pieceAt
    uint64_t pieceAt = 0;
    size_t pieceLength = 0;
    char* name = nullptr;
    SalvageEntry* entry = nullptr;
};
bool OpenSavedCursor(SavedCursor& cursor, SavedRecords& records, uint64_t from, uint64_t to);
// 1: the next entry is in cursor.entry; 0: none is left; -1: the file
// could not be read back.
int NextSavedRecord(SavedCursor& cursor);
void CloseSavedCursor(SavedCursor& cursor);

// Frees the memory, closes and removes the temporary file.
void ReleaseSavedRecords(SavedRecords& records);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_SAVED_RECORDS_H
