// Building ZIP archives byte by byte, for the cases no archiver writes:
// lying sizes, bad name lengths, odd flags, headers inside data, garbage.
#ifndef ARCSALVE_TESTS_SUPPORT_ZIP_BUILDER_H
#define ARCSALVE_TESTS_SUPPORT_ZIP_BUILDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace arcsalve::test {

// CRC-32 of the ZIP format, computed by zlib (an independent oracle).
uint32_t ZlibCrc32(const Bytes& data);

// One entry as it stands in the archive. `data` is what follows the name and
// extra field, exactly as written (compressed, and with its encryption header
// when encrypted). Unset fields default to what an honest writer would put:
// the CRC-32 and size of `plain` (or of `data` when `plain` is unset).
struct EntrySpec {
    std::string name;
    Bytes data;
    std::optional<Bytes> plain;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint16_t version = 20;
    uint16_t time = 0x6C2A;  // 13:33:20
    uint16_t date = 0x5A8F;  // 2025-04-15
    std::optional<uint32_t> crc;
    std::optional<uint32_t> compressedSize;
    std::optional<uint32_t> uncompressedSize;
    std::optional<uint16_t> nameLength;  // announced length; the name bytes are written as given
    Bytes extra;
};

// The 30-byte local header, name and extra field of an entry.
Bytes LocalHeader(const EntrySpec& entry);

class ZipBuilder {
public:
    // Appends a local header, name, extra field and data.
    ZipBuilder& Add(const EntrySpec& entry);
    // Shorthand: a stored, unencrypted entry.
    ZipBuilder& Stored(const std::string& name, const Bytes& data);
    // Appends bytes as they are.
    ZipBuilder& Raw(const Bytes& bytes);
    // Appends a central directory for every entry added so far and the end
    // record.
    ZipBuilder& Finish();

    const Bytes& bytes() const { return bytes_; }
    // Offset of the i-th added entry's local header.
    size_t EntryOffset(size_t i) const { return offsets_.at(i); }

private:
    Bytes bytes_;
    std::vector<EntrySpec> entries_;
    std::vector<size_t> offsets_;
};

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_ZIP_BUILDER_H
