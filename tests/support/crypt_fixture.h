// Small helpers shared by the cipher, prompt and encrypted-archive tests:
// whole-file I/O that reports failure to the caller, and a reader of an
// archive's central directory (to find each entry's data without the
// library's own scan). Scratch directories and shell commands come from
// temp_dir.h, zlib from zlib_oracle.h.
#ifndef ARCSALVE_TESTS_SUPPORT_CRYPT_FIXTURE_H
#define ARCSALVE_TESTS_SUPPORT_CRYPT_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/zipcrypto_writer.h"

namespace arcsalve {
namespace test_crypt {

bool ReadAll(const std::string& path, Bytes* out);
bool WriteAll(const std::string& path, const Bytes& data);

using test::RunCommand;
using test::ShellQuote;
using test::ToBytes;

// One entry as its central directory record and local header describe it.
struct ZipEntry {
    std::string name;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t time = 0;      // from the local header
    uint32_t crc = 0;       // from the local header
    uint32_t compressedSize = 0;   // from the central record
    uint32_t uncompressedSize = 0; // from the central record
    size_t localOffset = 0;
    size_t dataOffset = 0;  // first byte after the local header, name and extra field
};

// Lists the entries of an intact archive through its central directory; an
// empty list when the archive cannot be read so.
std::vector<ZipEntry> ListZip(const Bytes& archive);

// Path of a legacy archive: the project's copy, or, for a copyleft one, the
// file beside the project ("" when that folder is absent).
std::string LegacyArchive(const std::string& name, bool copyleft);

}  // namespace test_crypt
}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_SUPPORT_CRYPT_FIXTURE_H
