// What the central directory adds to the rebuilt records (see
// directory_metadata.h).
//
// The records are found by name hash (SortListedRecords) and read again
// from the input as the directory is written, one positional read per saved
// entry whose name a record lists: linear in the entries, whatever the
// directory's size.
#include "salvage/directory_metadata.h"

#include <cstdlib>
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "common/little_endian.h"
#include "common/zip_format.h"
#include "platform/platform.h"
#include "salvage/listed_names.h"

namespace arcsalve {
namespace {

// Records of one name read per entry at most: two or three copies of a
// directory are real (archives written one after another), thousands of
// records of one name that all differ are not, and must not cost a read
// each for every entry of that name.
constexpr int kRecordsPerName = 8;

// Whether the record describes the saved entry's data.
bool Describes(const CentralRecord& record, const char* recordName, const SalvageEntry& entry) {
    const uint8_t* h = entry.localHeader;
    const uint16_t length = LoadLE16(h + kLhNameLength);
    return record.nameLength == length && std::memcmp(recordName, entry.name, length) == 0 &&
           record.crc == LoadLE32(h + kLhCrc) && record.uncompressedSize == entry.uncompressedSize;
}

// Takes the first record, in input order, that describes the entry.
void MatchEntry(Salvage& s, SalvageEntry& entry) {
    ListedNames& names = s.listed;
    const uint16_t length = LoadLE16(entry.localHeader + kLhNameLength);
    const size_t first = FirstListedWithName(names, entry.name, length);
    const size_t last = first + kRecordsPerName < names.recordCount ? first + kRecordsPerName : names.recordCount;
    for (size_t i = first; i < last && names.records[i].nameHash == names.records[first].nameHash; ++i) {
        CentralRecord record;
        char* name;
        if (!ReadCentralRecord(names, s.run.input, names.records[i].offset, &record, &name)) continue;
        const bool same = Describes(record, name, entry);
        std::free(name);
        if (!same) continue;
        entry.described = true;
        entry.madeBy = record.madeBy;
        entry.externalAttributes = record.externalAttributes;
        entry.commentOffset = record.nameOffset + record.nameLength + record.extraLength;
        // A comment the input does not hold whole is left out.
        if (entry.commentOffset + record.commentLength <= s.run.inputSize) entry.commentLength = record.commentLength;
        return;
    }
}

// The end record's comment: its length is the record's last field, and the
// comment follows it, up to the end of the input in an undamaged archive. A
// length that runs past the end of the input gives nothing.
void TakeArchiveComment(Salvage& s) {
    const ListedNames& names = s.listed;
    uint8_t end[kEndRecordSize];
    if (!names.endRecordSeen || FileReadAt(s.run.input, names.endRecord, end, kEndRecordSize) != kEndRecordSize)
        return;
    const uint16_t length = LoadLE16(end + 20);
    if (names.endRecord + kEndRecordSize + length > s.run.inputSize) return;
    s.archiveCommentOffset = names.endRecord + kEndRecordSize;
    s.archiveCommentLength = length;
}

}  // namespace

void CarryOverDirectoryMetadata(Salvage& s) {
    if ((s.run.flags & REPAIR_DIRECTORY_METADATA) == 0) return;
    SortListedRecords(s.listed);
    s.describe = s.listed.recordCount > 0;
    TakeArchiveComment(s);
}

void DescribeSavedEntry(Salvage& s, SalvageEntry& entry) {
    if (s.describe) MatchEntry(s, entry);
}

uint16_t RebuiltMadeBy(const SalvageEntry& entry, uint16_t version) {
    return entry.described ? static_cast<uint16_t>((entry.madeBy & 0xFF00) | version) : version;
}

uint32_t RebuiltAttributes(const SalvageEntry& entry, uint32_t plainAttributes) {
    return entry.described ? entry.externalAttributes : plainAttributes;
}

}  // namespace arcsalve
