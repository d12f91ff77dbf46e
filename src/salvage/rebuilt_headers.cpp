// The headers of the rebuilt archive (see rebuilt_headers.h).
#include "salvage/rebuilt_headers.h"

#include <cstring>

#include "common/little_endian.h"
#include "common/zip_format.h"
#include "salvage/directory_metadata.h"
#include "salvage/salvage_entry.h"

namespace arcsalve {
namespace {

// Central directory records say "made by version 2.0 on MS-DOS", or 4.5
// where a ZIP64 block is present, and need the version the local header
// needs (2.0, 5.1 for an AES entry kept encrypted), at least 4.5 with a
// ZIP64 block; a directory entry (a name ending in "/" with no data) gets
// the MS-DOS directory attribute.
constexpr uint16_t kVersionClassic = 20;
constexpr uint16_t kVersionZip64 = 45;
constexpr uint32_t kDosDirectoryAttribute = 0x10;

// A block's own header: its id and its data length.
constexpr int kBlockHeaderSize = 4;
// The longest ZIP64 block: three 8-byte values.
constexpr int kMaxZip64Block = kBlockHeaderSize + 3 * 8;

uint16_t NameLength(const SalvageEntry& entry) { return LoadLE16(entry.localHeader + kLhNameLength); }

bool WriteWhole(FileHandle output, const void* data, uint32_t count) {
    return count == 0 || FileWrite(output, data, count) == count;
}

// A ZIP64 block of `count` values into `block`; its length.
uint16_t BuildZip64Block(const uint64_t* values, int count, uint8_t block[kMaxZip64Block]) {
    if (count == 0) return 0;
    StoreLE16(block, kZip64ExtraId);
    StoreLE16(block + 2, static_cast<uint16_t>(8 * count));
    for (int i = 0; i < count; ++i) StoreLE64(block + kBlockHeaderSize + 8 * i, values[i]);
    return static_cast<uint16_t>(kBlockHeaderSize + 8 * count);
}

// The central record's ZIP64 values: those that reach zip64From, in the
// format's order.
int CentralZip64Values(const SalvageEntry& entry, uint64_t zip64From, uint64_t values[3]) {
    int count = 0;
    for (uint64_t v : {entry.uncompressedSize, entry.compressedSize, entry.localHeaderOffset})
        if (v >= zip64From) values[count++] = v;
    return count;
}

// The version a header needs: what its entry needs, and 4.5 with a ZIP64
// block.
uint16_t NeededVersion(uint16_t version, bool zip64) {
    return zip64 && version < kVersionZip64 ? kVersionZip64 : version;
}

// A 32-bit field: the value, or all ones when it is in the ZIP64 block.
uint32_t Field32(uint64_t value, bool inZip64) {
    return inZip64 ? kZip64Marker : static_cast<uint32_t>(value);
}

// Builds the central directory record of a saved entry from its local header
// and sizes; `zip64Length` is the length of its ZIP64 block.
void BuildCentralRecord(const SalvageEntry& entry, uint64_t zip64From, uint16_t zip64Length,
                        uint8_t record[kCentralRecordSize]) {
    const uint8_t* h = entry.localHeader;
    const uint16_t nameLength = NameLength(entry);
    const bool directory = entry.name[nameLength - 1] == '/' && entry.uncompressedSize == 0;
    const bool zip64 = zip64Length > 0 || entry.zip64;
    std::memset(record, 0, kCentralRecordSize);
    StoreLE32(record + 0, 0x02014B50);                // signature "PK", 1, 2
    StoreLE16(record + 4, RebuiltMadeBy(entry, zip64 ? kVersionZip64 : kVersionClassic));
    StoreLE16(record + 6, NeededVersion(LoadLE16(h + kLhVersion), zip64));
    StoreLE16(record + 8, LoadLE16(h + kLhFlags));     // bit 11 for a UTF-8 name; bits a kept method reads by
    StoreLE16(record + 10, LoadLE16(h + kLhMethod));
    StoreLE16(record + 12, LoadLE16(h + kLhTime));
    StoreLE16(record + 14, LoadLE16(h + kLhDate));
    StoreLE32(record + 16, LoadLE32(h + kLhCrc));
    StoreLE32(record + 20, Field32(entry.compressedSize, entry.compressedSize >= zip64From));
    StoreLE32(record + 24, Field32(entry.uncompressedSize, entry.uncompressedSize >= zip64From));
    StoreLE16(record + 28, nameLength);
    StoreLE16(record + 30, static_cast<uint16_t>(zip64Length + entry.carried.length));
    StoreLE16(record + 32, entry.commentLength);  // the comment follows the extra field
    // 34 disk, 36 internal attributes: 0.
    StoreLE32(record + 38, RebuiltAttributes(entry, directory ? kDosDirectoryAttribute : 0));
    StoreLE32(record + 42, Field32(entry.localHeaderOffset, entry.localHeaderOffset >= zip64From));
}

}  // namespace

bool CarryExtraBlock(ExtraBlocks& blocks, uint16_t id, const uint8_t* data, uint16_t size) {
    if (size > kMaxCarriedExtra - kBlockHeaderSize - blocks.length) return false;
    uint8_t* at = blocks.bytes + blocks.length;
    StoreLE16(at, id);
    StoreLE16(at + 2, size);
    if (size > 0) std::memcpy(at + kBlockHeaderSize, data, size);
    blocks.length = static_cast<uint16_t>(blocks.length + kBlockHeaderSize + size);
    return true;
}

bool LocalHeaderNeedsZip64(const SalvageEntry& entry, uint64_t zip64From) {
    return entry.uncompressedSize >= zip64From || entry.compressedSize >= zip64From;
}

bool WriteLocalHeader(FileHandle output, const SalvageEntry& entry) {
    uint8_t header[kLocalHeaderSize];
    std::memcpy(header, entry.localHeader, kLocalHeaderSize);
    uint8_t zip64[kMaxZip64Block];
    const uint64_t sizes[2] = {entry.uncompressedSize, entry.compressedSize};
    const uint16_t zip64Length = BuildZip64Block(sizes, entry.zip64 ? 2 : 0, zip64);
    StoreLE16(header + kLhVersion, NeededVersion(LoadLE16(header + kLhVersion), entry.zip64));
    StoreLE32(header + kLhCompressed, Field32(entry.compressedSize, entry.zip64));
    StoreLE32(header + kLhUncompressed, Field32(entry.uncompressedSize, entry.zip64));
    StoreLE16(header + kLhExtraLength, static_cast<uint16_t>(zip64Length + entry.carried.length));
    return WriteWhole(output, header, kLocalHeaderSize) && WriteWhole(output, entry.name, NameLength(entry)) &&
           WriteWhole(output, zip64, zip64Length) && WriteWhole(output, entry.carried.bytes, entry.carried.length);
}

bool EntryHasZip64(const SalvageEntry& entry, uint64_t zip64From) {
    uint64_t values[3];
    return entry.zip64 || CentralZip64Values(entry, zip64From, values) > 0;
}

bool WriteCentralRecord(FileHandle output, const SalvageEntry& entry, uint64_t zip64From) {
    uint64_t values[3];
    uint8_t zip64[kMaxZip64Block];
    const uint16_t zip64Length = BuildZip64Block(values, CentralZip64Values(entry, zip64From, values), zip64);
    uint8_t record[kCentralRecordSize];
    BuildCentralRecord(entry, zip64From, zip64Length, record);
    return WriteWhole(output, record, kCentralRecordSize) && WriteWhole(output, entry.name, NameLength(entry)) &&
           WriteWhole(output, zip64, zip64Length) && WriteWhole(output, entry.carried.bytes, entry.carried.length);
}

}  // namespace arcsalve
