// The headers of the rebuilt archive: an entry's local header and its
// central directory record, each followed by its name and extra field.
//
// An extra field is a run of blocks: a 2-byte id, a 2-byte data length, the
// data. A rebuilt entry carries only blocks the salvage puts there on
// purpose (what the damaged archive's blocks described may not fit the new
// data); those given to CarryExtraBlock go into both headers alike.
//
// An entry's local header is written right before its data, once what the
// entry carries is settled (see BeginEntryData), and written again over
// itself once the data is out, with the final method, sizes and CRC-32. The
// two writes have the same length: the blocks must not change in between.
//
// ZIP64. A size or offset from the run's zip64From on (4 GiB - 1 bytes; a
// test lowers it) goes into a ZIP64 block (id 0x0001) of 8-byte values, and
// its 32-bit field says 0xFFFFFFFF; such a header needs version 4.5.
// - The central record's block holds only the values that need it, in the
//   order uncompressed size, compressed size, local header offset.
// - The local header's block holds both sizes, and it is there whenever the
//   sizes the entry holds at its first write reach zip64From: those are
//   its final sizes or bounds on them (the re-compression's output is only
//   bounded then), so the block's room is kept even where the final sizes
//   fit after all; readers take the values from a block whose values would
//   have fit. A local header holds no offset.
// Both headers carry the entry's other blocks after the ZIP64 block.
#ifndef ARCSALVE_SALVAGE_REBUILT_HEADERS_H
#define ARCSALVE_SALVAGE_REBUILT_HEADERS_H

#include <cstdint>

#include "platform/platform.h"

namespace arcsalve {

struct SalvageEntry;

// Room for the blocks an entry carries: a few short blocks (an AES entry's
// 11-byte 0x9901 block, time stamps), never a copy of a whole extra field.
constexpr int kMaxCarriedExtra = 64;

// The blocks carried into both headers, as they are stored.
struct ExtraBlocks {
    uint16_t length;                 // bytes used
    uint8_t bytes[kMaxCarriedExtra];
};

// Appends a block of `size` data bytes with header id `id`; false (nothing
// added) when it does not fit.
bool CarryExtraBlock(ExtraBlocks& blocks, uint16_t id, const uint8_t* data, uint16_t size);

// Whether the entry's local header takes the ZIP64 block, by the sizes it
// holds now (final, or bounds on the final ones).
bool LocalHeaderNeedsZip64(const SalvageEntry& entry, uint64_t zip64From);

// Writes the entry's local header, name and extra field at the output's current position; true when all were written.
bool WriteLocalHeader(FileHandle output, const SalvageEntry& entry);

// Whether either of the entry's headers has a ZIP64 block.
bool EntryHasZip64(const SalvageEntry& entry, uint64_t zip64From);

// Writes the entry's central directory record, name and extra field at the output's current position; true when all were written.
bool WriteCentralRecord(FileHandle output, const SalvageEntry& entry, uint64_t zip64From);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_REBUILT_HEADERS_H
