// The salvage's internal interface between the scan (scan.cpp) and the salvage
// of one entry (entry_salvage.cpp): the saved-entry records, the counters of
// the summary, and the steps of one entry's salvage.
#ifndef ARCSALVE_SALVAGE_SALVAGE_ENTRY_H
#define ARCSALVE_SALVAGE_SALVAGE_ENTRY_H

#include <cstddef>
#include <cstdint>

#include "common/zip_format.h"
#include "platform/platform.h"

namespace arcsalve {

// One saved entry, from its salvage until the central directory is written.
struct SalvageEntry {
    SalvageEntry* next;       // list link, null at the tail
    char* name;               // the name as stored, NUL-terminated, owned here
    uint64_t localHeaderOffset;  // where its local header stands in the new archive
    uint8_t localHeader[kLocalHeaderSize];  // the local header as finally written
};

// The counters of the summary, zeroed when a scan starts.
struct SalvageCounters {
    int32_t filesFound;
    int32_t unrecoverable;
    int32_t partiallyRecoverable;
    int32_t undecryptable;
    int32_t systemErrors;
    int32_t recompressFailed;  // entries dropped because their re-compression failed
    int32_t unverified;        // saved without a CRC-32 to check them against
    int32_t listedNotFound;    // named by a surviving central directory, never found
};

// --- scan.cpp -----------------------------------------------------------------

SalvageCounters& Counters();
// Appends a saved entry to the list, which then owns it (and its name).
void AppendSalvageEntry(SalvageEntry* entry);
// Frees a record and its name.
void ReleaseSalvageEntry(SalvageEntry* entry);

// --- entry_salvage.cpp ------------------------------------------------------

// Results of SalvageOneEntry, which tell the scan where to go on.
enum EntryResult : int {
    kEntrySaved = 0,     // written, listed and verified; the scan looks again at the last 8 bytes
    kHeaderRejected = 1, // nothing written; the scan goes on right after the signature
    kEntryDropped = 2,   // cut out again, or the input ended; the scan looks again from
                         // right after its signature
    kEntrySavedHere = 3, // written, listed and verified; the reader stands where the scan
                         // goes on (after a streamed entry's data descriptor)
    kEntryNotIntact = 4, // written and listed, but damaged or unverified: the scan looks
                         // again from right after its signature
};

// Salvages the entry whose local header signature was just read.
int SalvageOneEntry();

// Decodes, checks, reports and re-compresses one entry's data behind its
// header in the output; updates the 30-byte header copy with the method,
// sizes and CRC-32 of what was written. 1: keep the entry; 0: drop it.
int SalvageEntryData(uint8_t header[kLocalHeaderSize], const char* name);

// With flag bit 3 the CRC-32 and sizes also follow the data in a descriptor.
// Reads it where the header's compressed size says the data (from dataStart,
// encryption header included) ends; 1 and *out filled when one fits there.
int ReadTrailingDescriptor(const uint8_t header[kLocalHeaderSize], uint64_t dataStart,
                           struct DataDescriptor* out);

// Creates "arcsalve.tmp" in the temporary directory, private and without
// following links; path receives its path (kMaxPath bytes). Returns the
// handle, kInvalidFile on failure.
FileHandle CreateTempFile(char path[kMaxPath]);

// An entry name as messages show it, in host text: converted from UTF-8 when
// it reads as UTF-8 (well-formed, and flagged by bit 11 or not plain ASCII),
// else from CP437. A name longer than kShownNameBytes is shown by its first
// characters and "..." (only messages shorten names; the archive keeps them
// whole). Returns the length written into out.
size_t EntryDisplayName(const char* name, uint16_t flags, char* out, size_t capacity);

// The stored bytes of a name that messages show at most.
constexpr size_t kShownNameBytes = 270;
// Room for a displayed name: the bytes shown at three host bytes per CP437
// byte, the ellipsis, and a terminator.
constexpr size_t kDisplayNameSize = kShownNameBytes * 3 + 3 + 1;

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_SALVAGE_ENTRY_H
