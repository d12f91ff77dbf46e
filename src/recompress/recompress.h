// Writing one entry's salvaged data into the rebuilt archive, stored or
// deflated, at the output archive's current offset.
#ifndef ARCSALVE_RECOMPRESS_RECOMPRESS_H
#define ARCSALVE_RECOMPRESS_RECOMPRESS_H

#include <cstdint>

#include "common/repair_run.h"

namespace arcsalve {

// Reads the temporary file at tempPath (size bytes), writes its data into
// the run's output archive at its current offset and returns the number of
// compressed bytes written (at most RecompressedSizeBound(size)), or
// kRecompressFailed. Sets *method (0 stored, 8
// deflated) and *crc (CRC-32 of the uncompressed data); both stay 0 on
// failure. `name` is the entry name as host text (as every message shows
// it: converted from the OEM code page unless the entry is flagged UTF-8),
// used for the method choice and in kTextCannotRecompress on failure; a
// temporary file that cannot be opened gives kTextCannotOpen with tempPath. Fails
// once the run's writeFailed is raised (by this entry's writes, its last one
// included, or earlier in the run) and when the host asked to stop.
uint64_t RecompressEntry(RepairRun& run, const char* name, const char* tempPath, uint64_t size,
                         uint32_t* method, uint32_t* crc);

constexpr uint64_t kRecompressFailed = ~uint64_t{0};

// A bound on the compressed size of `size` bytes, known before they are
// compressed (the salvage needs it to lay out the entry's local header).
// Each deflate block is the cheapest of stored, fixed and dynamic codes, and
// the fixed codes spend at most 9 bits on a literal and fewer per byte on a
// match; an eighth more, and room for the block headers, bounds every block.
inline uint64_t RecompressedSizeBound(uint64_t size) { return size + size / 8 + 4096; }

}  // namespace arcsalve

#endif  // ARCSALVE_RECOMPRESS_RECOMPRESS_H
