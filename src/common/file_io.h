// The file routines that the decoders (temporary file) and the re-compressor
// (temporary file and output archive) share, over the platform layer.
#ifndef ARCSALVE_COMMON_FILE_IO_H
#define ARCSALVE_COMMON_FILE_IO_H

#include <cstdint>

#include "platform/platform.h"

namespace arcsalve {

// Number of bytes read; 0 when the read fails or the file is at its end.
uint32_t ReadFileBytes(FileHandle h, void* buffer, uint32_t count);
// Number of bytes written; fewer than count on a short write, 0 on failure.
uint32_t WriteFileBytes(FileHandle h, const void* buffer, uint32_t count);
// Moves the file position to offset bytes from the start.
void SeekFromStart(FileHandle h, uint64_t offset);

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_FILE_IO_H
