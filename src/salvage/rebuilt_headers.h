// The headers of the rebuilt archive: an entry's local header and its
// central directory record, each followed by its name and extra field.
//
// An extra field is a run of blocks: a 2-byte id, a 2-byte data length, the
// data. A rebuilt entry carries only blocks the salvage puts there on
// purpose (what the damaged archive's blocks described may not fit the new
// data); those given to CarryExtraBlock go into both headers alike.
//
// An entry's local header is written right before its data, once what the
// entry carries is settled (WriteLocalHeader; see BeginEntryData), and
// written again over itself once the data is out, with the final method,
// sizes and CRC-32. The two writes have the same length: the blocks must
// not change in between.
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

// The bytes of the entry's local header, name and extra field.
uint64_t LocalHeaderBytes(const SalvageEntry& entry);
// Writes them at the output's current position; true when all were written.
bool WriteLocalHeader(FileHandle output, const SalvageEntry& entry);

// The bytes of the entry's central directory record, name and extra field.
uint64_t CentralRecordBytes(const SalvageEntry& entry);
// Writes them at the output's current position; true when all were written.
bool WriteCentralRecord(FileHandle output, const SalvageEntry& entry);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_REBUILT_HEADERS_H
