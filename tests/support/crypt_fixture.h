// Small helpers shared by the cipher, prompt and encrypted-archive tests:
// a private temporary directory, whole-file I/O, shell commands, and a
// reader of an archive's central directory (to find each entry's data
// without the library's own scan).
#ifndef ARCSALVE_TESTS_SUPPORT_CRYPT_FIXTURE_H
#define ARCSALVE_TESTS_SUPPORT_CRYPT_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/zipcrypto_writer.h"

namespace arcsalve {
namespace test_crypt {

// A directory made with mkdtemp under $TMPDIR (or /tmp), removed with all it
// holds when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool ReadAll(const std::string& path, Bytes* out);
bool WriteAll(const std::string& path, const Bytes& data);
Bytes ToBytes(const std::string& text);

// Runs a shell command; returns its exit status (-1 when it did not exit).
// `output`, when given, receives what it wrote to stdout and stderr.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Quotes a string for the shell.
std::string ShellQuote(const std::string& text);

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

// Raw inflate (zlib) of data; false when the stream is not complete.
bool InflateRaw(const Bytes& data, Bytes* out);

// Path of a legacy archive: the project's copy, or, for a copyleft one, the
// file beside the project ("" when that folder is absent).
std::string LegacyArchive(const std::string& name, bool copyleft);

}  // namespace test_crypt
}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_SUPPORT_CRYPT_FIXTURE_H
