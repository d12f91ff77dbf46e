// The headers of the rebuilt archive (see rebuilt_headers.h).
#include "salvage/rebuilt_headers.h"

#include <cstring>

#include "common/little_endian.h"
#include "common/zip_format.h"
#include "salvage/directory_metadata.h"
#include "salvage/salvage_entry.h"

namespace arcsalve {
namespace {

// Central directory records say "made by version 2.0 on MS-DOS" and need
// the version the local header needs (2.0, or 5.1 for an AES entry kept
// encrypted); a directory entry (a name ending in "/" with no data) gets the
// MS-DOS directory attribute.
constexpr uint16_t kVersionMadeBy = 20;
constexpr uint32_t kDosDirectoryAttribute = 0x10;

// A block's own header: its id and its data length.
constexpr int kBlockHeaderSize = 4;

uint16_t NameLength(const SalvageEntry& entry) { return LoadLE16(entry.localHeader + kLhNameLength); }

bool WriteWhole(FileHandle output, const void* data, uint32_t count) {
    return count == 0 || FileWrite(output, data, count) == count;
}

// Builds the central directory record of a saved entry from its local header.
void BuildCentralRecord(const SalvageEntry& entry, uint8_t record[kCentralRecordSize]) {
    const uint8_t* h = entry.localHeader;
    const uint16_t nameLength = NameLength(entry);
    const uint32_t size = LoadLE32(h + kLhUncompressed);
    const bool directory = entry.name[nameLength - 1] == '/' && size == 0;
    std::memset(record, 0, kCentralRecordSize);
    StoreLE32(record + 0, 0x02014B50);                // signature "PK", 1, 2
    StoreLE16(record + 4, RebuiltMadeBy(entry, kVersionMadeBy));
    StoreLE16(record + 6, LoadLE16(h + kLhVersion));
    StoreLE16(record + 8, LoadLE16(h + kLhFlags));     // bit 11 for a UTF-8 name; bits a kept method reads by
    StoreLE16(record + 10, LoadLE16(h + kLhMethod));
    StoreLE16(record + 12, LoadLE16(h + kLhTime));
    StoreLE16(record + 14, LoadLE16(h + kLhDate));
    StoreLE32(record + 16, LoadLE32(h + kLhCrc));
    StoreLE32(record + 20, LoadLE32(h + kLhCompressed));
    StoreLE32(record + 24, size);
    StoreLE16(record + 28, nameLength);
    StoreLE16(record + 30, entry.carried.length);
    StoreLE16(record + 32, entry.commentLength);  // the comment follows the extra field
    // 34 disk, 36 internal attributes: 0.
    StoreLE32(record + 38, RebuiltAttributes(entry, directory ? kDosDirectoryAttribute : 0));
    StoreLE32(record + 42, static_cast<uint32_t>(entry.localHeaderOffset));
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

uint64_t LocalHeaderBytes(const SalvageEntry& entry) {
    return kLocalHeaderSize + uint64_t{NameLength(entry)} + entry.carried.length;
}

bool WriteLocalHeader(FileHandle output, const SalvageEntry& entry) {
    uint8_t header[kLocalHeaderSize];
    std::memcpy(header, entry.localHeader, kLocalHeaderSize);
    StoreLE16(header + kLhExtraLength, entry.carried.length);
    return WriteWhole(output, header, kLocalHeaderSize) && WriteWhole(output, entry.name, NameLength(entry)) &&
           WriteWhole(output, entry.carried.bytes, entry.carried.length);
}

uint64_t CentralRecordBytes(const SalvageEntry& entry) {
    return kCentralRecordSize + uint64_t{NameLength(entry)} + entry.carried.length;
}

bool WriteCentralRecord(FileHandle output, const SalvageEntry& entry) {
    uint8_t record[kCentralRecordSize];
    BuildCentralRecord(entry, record);
    return WriteWhole(output, record, kCentralRecordSize) && WriteWhole(output, entry.name, NameLength(entry)) &&
           WriteWhole(output, entry.carried.bytes, entry.carried.length);
}

}  // namespace arcsalve
