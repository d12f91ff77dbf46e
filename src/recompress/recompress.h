// Writing one entry's salvaged data into the rebuilt archive, stored or
// deflated, at the output archive's current offset.
#ifndef ARCSALVE_RECOMPRESS_RECOMPRESS_H
#define ARCSALVE_RECOMPRESS_RECOMPRESS_H

#include <cstdint>

namespace arcsalve {

// Reads the temporary file at tempPath (size bytes), writes its data into
// g_outputFile and returns the number of compressed bytes written, or
// 0xFFFFFFFF on failure (reported with a message). Sets *method (0 or 8) and
// *crc (CRC-32 of the uncompressed data). `name` is the stored entry name.
uint32_t RecompressEntry(const char* name, const char* tempPath, uint32_t size,
                         uint32_t* method, uint32_t* crc);

constexpr uint32_t kRecompressFailed = 0xFFFFFFFFu;

}  // namespace arcsalve

#endif  // ARCSALVE_RECOMPRESS_RECOMPRESS_H
