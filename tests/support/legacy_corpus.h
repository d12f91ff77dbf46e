// Test code: the entries of an intact ZIP archive as its central directory
// lists them, with the offset of each entry's data, so that tests can hand a
// real archiver's compressed data straight to a decoder.
#ifndef ARCSALVE_TESTS_SUPPORT_LEGACY_CORPUS_H
#define ARCSALVE_TESTS_SUPPORT_LEGACY_CORPUS_H

#include <cstdint>
#include <string>
#include <vector>

namespace arcsalve::test {

struct CorpusEntry {
    std::string name;
    uint16_t method = 0;
    uint16_t flags = 0;      // from the local header
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint64_t dataOffset = 0;
};

// Empty when the archive has no readable end record.
std::vector<CorpusEntry> ListCorpusEntries(const std::vector<uint8_t>& archive);

// The .zip files of a directory, sorted; empty when it does not exist.
std::vector<std::string> ZipFilesIn(const std::string& directory);

// Where the real legacy archives are: the project's copies, and the
// copyleft ones beside the project (only when present).
std::string LegacyFixturesDir();
std::string LegacyCopyleftDir();

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_LEGACY_CORPUS_H
