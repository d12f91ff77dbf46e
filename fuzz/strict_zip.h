// A small, strict ZIP reader of our own, for the fuzzers and the tests: it
// checks a rebuilt archive the way a careful extractor would, without any
// leniency. Accepted: one end record (its comment running exactly to the end
// of the file), an optional ZIP64 end record and locator in front of it, a
// central directory that ends where the end record starts and holds exactly
// the records it announces, and for every record a local header that agrees
// with it, stored or deflated data (inflated by zlib, which must end exactly
// at the compressed size) of the recorded size and CRC-32, no encryption but
// AES entries, whose data is opaque without the password and only framed.
// Entries may not overlap each other or the central directory.
//
// Needs only the standard library and zlib (no gtest), so fuzz targets link
// it as well as the test program.
#ifndef ARCSALVE_TESTS_SUPPORT_STRICT_ZIP_H
#define ARCSALVE_TESTS_SUPPORT_STRICT_ZIP_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace arcsalve::test {

struct StrictEntry {
    std::string name;            // as stored
    uint16_t flags = 0;          // general purpose flags of the central record
    uint16_t method = 0;         // 0 or 8; 99 for AES; any with opaqueMethods
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;           // uncompressed
    uint64_t localOffset = 0;    // offset of its local header
    uint64_t dataEnd = 0;        // offset just past its data (and descriptor, if any)
    std::vector<uint8_t> data;   // the entry's bytes, when asked for
};

struct StrictOptions {
    // Keep each entry's data in StrictEntry::data (tests of small archives).
    bool keepData = true;
    // Local header sizes and CRC-32 may be 0 with bit 3 set and the real
    // values in a data descriptor after the data (archives written by
    // streaming archivers). Rebuilt archives never need it.
    bool allowDescriptors = false;
    // The entries and the central directory must cover the file without a
    // gap or a byte in front, as a rebuilt archive does.
    bool contiguous = true;
    // Entries in methods other than stored and deflated are taken as opaque
    // data (only their place is checked; kept, the data is the compressed
    // bytes): a rebuilt archive keeps them in their own method, verified
    // (bzip2, LZMA ...) or copied as they were (then maybe still encrypted,
    // with their descriptor). Otherwise such an entry is refused.
    bool opaqueMethods = false;
};

// Reads `size` bytes at `offset` into `out`; returns the count read.
using StrictReadAt = std::function<size_t(uint64_t offset, void* out, size_t size)>;

// Checks an archive of fileSize bytes read through readAt. Returns "" when
// it is accepted, else a line saying what is wrong; `entries` (optional)
// receives the entries in central directory order.
std::string CheckStrictZip(const StrictReadAt& readAt, uint64_t fileSize,
                           std::vector<StrictEntry>* entries, const StrictOptions& options);

// The same over bytes in memory, and over a file.
std::string CheckStrictZip(const uint8_t* data, size_t size, std::vector<StrictEntry>* entries,
                           const StrictOptions& options = StrictOptions());
std::string CheckStrictZipFile(const std::string& path, std::vector<StrictEntry>* entries,
                               const StrictOptions& options = StrictOptions());

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_STRICT_ZIP_H
