// The names a surviving central directory lists (see listed_names.h).
//
// Names are compared by a 64-bit hash: the found ones are only hashed, the
// listed ones kept whole for the messages. The listed names a run keeps are
// bounded (kListedBudget bytes of records and names): an input made of
// central directory signatures costs neither memory nor reading without end.
// Past the budget the records are not read; the names kept so far are still
// checked.
#include "salvage/listed_names.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "common/entry_name.h"
#include "common/little_endian.h"
#include "common/messages.h"
#include "common/zip_format.h"
#include "platform/platform.h"

namespace arcsalve {
namespace {

constexpr size_t kListedBudget = size_t{16} << 20;

// A listed name in the store: its hash, the record's flags, its length, and
// the name with a terminator right behind.
struct ListedHead {
    uint64_t hash;
    uint16_t flags;
    uint16_t length;
};

uint64_t HashName(const uint8_t* name, size_t length) {
    uint64_t h = 0xCBF29CE484222325u;  // 64-bit FNV-1a
    for (size_t i = 0; i < length; ++i) h = (h ^ name[i]) * 0x100000001B3u;
    return h;
}

// Grows a malloc'ed block to hold at least `need` bytes; false when it cannot.
bool Reserve(void** block, size_t* capacity, size_t need) {
    if (need <= *capacity) return true;
    size_t grown = std::max(need, *capacity * 2 + 4096);
    void* bigger = std::realloc(*block, grown);
    if (bigger == nullptr) return false;
    *block = bigger;
    *capacity = grown;
    return true;
}

}  // namespace

void ReleaseListedNames(ListedNames& names) {
    std::free(names.found);
    std::free(names.listed);
    names = ListedNames{};
}

void NoteFoundName(ListedNames& names, const char* name, uint16_t length) {
    size_t bytes = names.foundCapacity * sizeof(uint64_t);
    void* block = names.found;
    if (!Reserve(&block, &bytes, (names.foundCount + 1) * sizeof(uint64_t))) {
        names.foundIncomplete = true;
        return;
    }
    names.found = static_cast<uint64_t*>(block);
    names.foundCapacity = bytes / sizeof(uint64_t);
    names.found[names.foundCount++] = HashName(reinterpret_cast<const uint8_t*>(name), length);
}

void NoteCentralRecord(ListedNames& names, FileHandle input, uint64_t offset) {
    uint8_t record[kCentralRecordSize];
    if (FileReadAt(input, offset, record, kCentralRecordSize) != kCentralRecordSize) return;
    // Besides the signature: a name, a version needed below 256 and the
    // first disk 0 (or 0xFFFF, moved to a ZIP64 field), as every writer puts
    // them; four bytes of compressed data that only look like a signature
    // almost never pass.
    const uint16_t length = LoadLE16(record + 28);
    const uint16_t disk = LoadLE16(record + 34);
    if (length == 0 || record[7] != 0 || (disk != 0 && disk != 0xFFFF)) return;
    const size_t need = names.listedUsed + sizeof(ListedHead) + length + 1u;
    if (need > kListedBudget) return;
    void* block = names.listed;
    if (!Reserve(&block, &names.listedCapacity, need)) return;
    names.listed = static_cast<uint8_t*>(block);
    uint8_t* name = names.listed + names.listedUsed + sizeof(ListedHead);
    if (FileReadAt(input, offset + kCentralRecordSize, name, length) != length) return;
    name[length] = 0;
    ListedHead head{HashName(name, length), LoadLE16(record + 8), length};
    std::memcpy(names.listed + names.listedUsed, &head, sizeof head);
    names.listedUsed = need;
}

int32_t ReportListedNamesNotFound(ListedNames& names, RepairRun& run) {
    if (names.foundIncomplete) return 0;
    std::sort(names.found, names.found + names.foundCount);
    int32_t missing = 0;
    for (size_t at = 0; at < names.listedUsed;) {
        ListedHead head;
        std::memcpy(&head, names.listed + at, sizeof head);
        const char* name = reinterpret_cast<const char*>(names.listed + at + sizeof head);
        at += sizeof head + head.length + 1u;
        if (std::binary_search(names.found, names.found + names.foundCount, head.hash)) continue;
        char shown[kDisplayNameSize];
        EntryDisplayName(name, head.flags, shown, sizeof shown);
        EmitFormatted(run, MESSAGE_ERROR, kTextListedNotFound, shown);
        ++missing;
    }
    return missing;
}

}  // namespace arcsalve
