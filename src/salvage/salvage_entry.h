// The salvage's internal interface between the scan (scan.cpp) and the salvage
// of one entry (entry_salvage.cpp): the saved-entry records, the counters of
// the summary, and the steps of one entry's salvage.
#ifndef ARCSALVE_SALVAGE_SALVAGE_ENTRY_H
#define ARCSALVE_SALVAGE_SALVAGE_ENTRY_H

#include <cstddef>
#include <cstdint>

#include "common/repair_run.h"
#include "common/zip_format.h"
#include "platform/platform.h"
#include "decode/decode_frame.h"
#include "salvage/archive_reader.h"
#include "salvage/listed_names.h"
#include "salvage/rebuilt_headers.h"
#include "salvage/saved_records.h"

namespace arcsalve {

// An AES entry kept encrypted needs version 5.1 to be extracted.
constexpr uint16_t kVersionNeededAes = 51;

// One saved entry, from its salvage until the central directory is written
// (packed in between, saved_records.h).
struct SalvageEntry {
    char* name;               // the name as stored, NUL-terminated, owned here
    uint64_t localHeaderOffset;  // where its local header stands in the new archive
    uint64_t inputOffset;        // where its local header stood in the damaged archive
    // The local header: as read, then as finally written (method, flags,
    // time, CRC-32; the sizes below fill its size fields).
    uint8_t localHeader[kLocalHeaderSize];
    // Its data's sizes in the new archive: bounds on them when its local
    // header is first written, then the final ones.
    uint64_t compressedSize;
    uint64_t uncompressedSize;
    bool zip64;               // its local header has the ZIP64 block (rebuilt_headers.h)
    ExtraBlocks carried;      // extra blocks for both its headers (rebuilt_headers.h)
    // What a central directory record of the damaged archive adds to the
    // entry's own record (REPAIR_DIRECTORY_METADATA), when one matches it.
    bool described;               // the fields below come from such a record
    uint16_t madeBy;              // its "version made by": the host system in the upper byte
    uint16_t commentLength;       // its file comment, read from the input when written
    uint32_t externalAttributes;
    uint64_t commentOffset;
};

// One scan's state: the run, the reader over its input, the saved entries in
// input order, and what streamed entries read twice.
struct Salvage {
    RepairRun& run;
    ArchiveReader reader;
    SavedRecords saved;    // the saved entries in input order but the last
    SalvageEntry* tail;    // the last one saved, not yet packed
    uint32_t records;      // entries saved, the last included
    uint64_t extraRead;    // input read again for streamed entries so far
    ListedNames listed;    // the names found, and those a central directory lists
    // The damaged archive's comment, carried over (REPAIR_DIRECTORY_METADATA).
    uint64_t archiveCommentOffset = 0;
    uint16_t archiveCommentLength = 0;
    bool describe = false;  // records are matched to the entries (directory_metadata.h)
    // The entry in hand was found through its central directory record, its
    // lost local header at this offset of the input.
    bool throughDirectory = false;
    uint64_t listedAt = 0;
    // Where the entries found through their records start among the saved
    // ones (SavedRecordsEnd), once the scan is over; UINT64_MAX before.
    uint64_t recoveredFrom = UINT64_MAX;
    // The entry in hand's sizes from its ZIP64 block where the header's
    // 32-bit fields cannot hold them (their marker stays there); else 0.
    uint64_t largeCompressed = 0;
    uint64_t largeUncompressed = 0;
    // The entry in hand's header declares sizes that may need 64 bits (a
    // ZIP64 marker in a size field, or version 4.5 needed): its data and
    // output are not held to 4 GiB when their length follows them.
    bool wideSizes = false;
    struct VerifyAhead* ahead = nullptr;  // the verification workers (verify_ahead.h), if any
};

// The sizes the entry in hand recorded: its header's, or the larger ones of
// its ZIP64 block.
uint64_t RecordedUncompressed(const Salvage& s, const uint8_t header[kLocalHeaderSize]);
uint64_t RecordedCompressed(const Salvage& s, const uint8_t header[kLocalHeaderSize]);

// The decoders' context for the entry in hand: the scan's reader, the run's
// status, the entry's large sizes, and the most it may decode to: the run's
// limit, or more when its ZIP64 block records more.
DecodeContext DecodeContextOf(Salvage& s);

// --- scan.cpp -----------------------------------------------------------------

// Packs the entry saved last away (a new entry is about to be written);
// false when memory ran out.
bool SettleLastEntry(Salvage& s);
// Makes a saved entry the last one, which then owns it (and its name); the
// one before must be settled.
void AppendSalvageEntry(Salvage& s, SalvageEntry* entry);
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
int SalvageOneEntry(Salvage& s);

// Salvages an entry whose local header is lost, with `header` made from its
// central directory record (extra length 0), the reader at its data, and
// `at` where its header stood; the entry is saved, reported and listed as
// SalvageOneEntry does. Returns an EntryResult.
int SalvageListedEntry(Salvage& s, const uint8_t header[kLocalHeaderSize], const char* name, uint64_t at);

// Reports an entry saved whole: "OK", or "OK (found through the central
// directory)" for one found through its record.
void EmitEntryOk(Salvage& s, const char* shown, uint64_t size);

// Decodes, checks, reports and re-compresses one entry's data behind its
// header in the output; updates the entry's header copy with the method,
// sizes and CRC-32 of what was written. 0: drop the entry; keep it: 1 not
// intact, 2 intact and compressed anew, 3 intact and kept as it was. An AES
// entry (aes not null) carries its 0x9901 block only when it is copied still
// encrypted (kept, or unverified).
int SalvageEntryData(Salvage& s, SalvageEntry& entry, const AesEntry* aes);

// Writes the entry's local header, name and carried extra blocks where the
// entry starts in the output (its localHeaderOffset) and leaves the output
// right after them, where its data goes: called right before the data is
// written, once the blocks are settled and the entry holds its sizes or
// bounds on them (they decide the ZIP64 block). Again after a failed copy,
// it starts the entry over. True when all was written; false raises the
// run's writeFailed.
bool BeginEntryData(Salvage& s, SalvageEntry& entry);

// With flag bit 3 the CRC-32 and sizes also follow the data in a descriptor.
// Reads it where the header's compressed size says the data (from dataStart,
// encryption header included) ends; 1 and *out filled when one fits there.
int ReadTrailingDescriptor(Salvage& s, const uint8_t header[kLocalHeaderSize], uint64_t dataStart,
                           struct DataDescriptor* out);

// --- aes_entry.cpp -----------------------------------------------------------

// An AES entry whose password is in run.password, with the archive reader
// after its salt and verification value (dataStart: at the salt): copied
// whole, still encrypted, when a decode that writes nothing proves it intact
// (1, reported). 0 when it must be dropped (a stop, a failed write);
// kNotIntact (keep_intact.h) with the reader back where it was.
int KeepAesIfIntact(Salvage& s, SalvageEntry& entry, const char* shown, const AesEntry& aes,
                    const AesPrefix& prefix, uint64_t dataStart);

// An AES entry that no password opens (or, with noDecoder, whose method
// inside has no decoder here), copied whole as it was and reported as not
// verified: 1; 0 after a failed write; -1 when its recorded extent does not
// lie in the input, so there is nothing to copy.
int CopyAesUnverified(Salvage& s, SalvageEntry& entry, const char* shown, const AesEntry& aes, uint64_t dataStart,
                      bool noDecoder);

// Creates the file `name` in the temporary directory, private and without
// following links; path receives its path (kMaxPath bytes). Returns the
// handle, kInvalidFile on failure.
FileHandle CreateTempFile(char path[kMaxPath], const char* name);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_SALVAGE_ENTRY_H
