// Entries whose CRC-32 and sizes follow the data in a data descriptor
// (general-purpose bit 3, sizes 0 in the local header), salvaged with
// REPAIR_TRAILING_DESCRIPTORS: the decode finds where the data ends, the
// descriptor there supplies the CRC-32 and size the entry is judged by, and
// the scan goes on right after it.
#ifndef ARCSALVE_SALVAGE_STREAMED_ENTRY_H
#define ARCSALVE_SALVAGE_STREAMED_ENTRY_H

#include <cstdint>

#include "common/data_descriptor.h"
#include "common/zip_format.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/salvage_entry.h"

namespace arcsalve {

// True when the run asked for trailing descriptors and the entry is stored or
// in a method whose stream ends by itself (EndsByItself), has flag bit 3 and a compressed size of 0 in its local header
// (or is encrypted and stored with both sizes equal: see the definition).
bool IsStreamedEntry(const RepairRun& run, const uint8_t header[kLocalHeaderSize]);

// What the verdict on a streamed entry goes by.
struct StreamedOutcome {
    int decoded;                // as DecodeEntry's result
    bool hasDescriptor;         // a descriptor was read after the data
    uint32_t crc;               // its CRC-32
    uint64_t uncompressedSize;  // its uncompressed size
};

// Decodes a streamed entry into `temp` and reads the descriptor after its
// data. dataStart is the input offset right after the name and extra field
// (where an encrypted entry's encryption header starts). The reader is left
// where the scan must go on: after the descriptor (or the data, when none
// follows), at the local header that ended damaged stored data, or back at
// the data's start after a damaged deflate stream or one that no descriptor
// follows: its decoder may have run past the next entry's header.
// With `tracked`, the output is checked on the way (DecodeStreamedEntry);
// temp may then be kNoFile, for a decode that only checks.
StreamedOutcome SalvageStreamedData(Salvage& s, const uint8_t header[kLocalHeaderSize], FileHandle temp,
                                    int encrypted, const char password[40], const uint8_t encHeader[12],
                                    uint64_t dataStart, DecodeOutcome* tracked);

// Data no decoder can walk to its end (AES-encrypted data is written to a
// pipe this way too: flag bit 3, sizes 0) ends at the first descriptor whose
// compressed size is its distance from dataStart, at least `shortest`, and
// that a record or the input's end follows. Searched within the run's
// allowance for reading input again; true and *out filled when found.
bool FindConfirmedDescriptor(Salvage& s, uint64_t dataStart, uint64_t shortest, DataDescriptor* out);

// Takes `bytes` from the run's allowance for reading input again (shared
// with the scan's look back over a damaged entry): true when it was left.
// Searches and rescans together may read at most a few times the input's
// size beyond the single pass, so damaged input costs linear time.
bool SpendRereadAllowance(Salvage& s, uint64_t bytes);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_STREAMED_ENTRY_H
