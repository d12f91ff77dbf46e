// What a surviving central directory lists (see listed_names.h).
//
// Names are compared by a 64-bit hash: the found ones are only hashed, the
// listed ones kept as hash and record offset, and a record's name is read
// again for a message. What a run keeps of the records is bounded
// (kListedBudget bytes, a million records and more): an input made of
// central directory signatures costs neither memory nor reading without
// end. Past the budget the records are not kept; the ones kept so far are
// still checked and used.
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
// What is kept of the local headers read: the hashes of names whose entries
// were not saved (a run of false signatures makes many), and the packed
// offsets of all (a byte or two each for small entries).
constexpr size_t kFoundBudget = size_t{4} << 20;
constexpr size_t kFoundAtBudget = size_t{4} << 20;
constexpr size_t kMarkStride = 64;
// What is kept of the stretches of saved entries, per list (three or four
// bytes an entry for small ones).
constexpr size_t kSpansBudget = size_t{8} << 20;
// Most names are short: the record and up to this much of its name come in
// one read.
constexpr uint32_t kShortName = 512;
constexpr uint32_t kRecordWindowSize = 64 * 1024;


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

// Besides the signature: a name, a version needed below 256 and the first
// disk 0 (or 0xFFFF, moved to a ZIP64 field), as every writer puts them;
// four bytes of compressed data that only look like a signature almost
// never pass.
bool LooksLikeRecord(const uint8_t record[kCentralRecordSize]) {
    const uint16_t disk = LoadLE16(record + 34);
    return LoadLE16(record + 28) != 0 && record[7] == 0 && (disk == 0 || disk == 0xFFFF);
}

// A ZIP64 extra block (id 1) holds, 8 bytes each and in this order, the
// uncompressed size, the compressed size and the local header's offset,
// each only when its 32-bit field holds all ones.
void TakeZip64Fields(CentralRecord* r, const uint8_t* extra, uint32_t length) {
    uint64_t* fields[3] = {&r->uncompressedSize, &r->compressedSize, &r->localHeaderOffset};
    uint32_t size = 0;
    const uint8_t* block = FindExtraBlock(extra, length, kZip64ExtraId, &size);
    if (block == nullptr) return;
    uint32_t next = 0;
    for (uint64_t* field : fields) {
        if (*field != kZip64Marker) continue;
        if (next + 8 > size) return;
        *field = LoadLE64(block + next);
        next += 8;
    }
}

}  // namespace

void ReleaseListedNames(ListedNames& names) {
    std::free(names.found);
    std::free(names.records);
    std::free(names.foundAt.bytes);
    std::free(names.foundAt.marks);
    std::free(names.foundAt.odd);
    std::free(names.takenInOrder.bytes);
    std::free(names.takenInOrder.marks);
    std::free(names.recordFound);
    std::free(names.byHash);
    std::free(names.hashStarts);
    std::free(names.taken);
    std::free(names.window.bytes);
    std::free(names.places.bytes);
    for (PackedSpans* spans : {&names.savedByScan, &names.savedThroughRecords}) {
        std::free(spans->bytes);
        std::free(spans->marks);
    }
    names = ListedNames{};
}

// Appends a value to a malloc'ed array; false when it cannot grow.
bool Append(uint64_t** values, size_t* count, size_t* capacity, uint64_t value) {
    size_t bytes = *capacity * sizeof(uint64_t);
    void* block = *values;
    if (!Reserve(&block, &bytes, (*count + 1) * sizeof(uint64_t))) return false;
    *values = static_cast<uint64_t*>(block);
    *capacity = bytes / sizeof(uint64_t);
    (*values)[(*count)++] = value;
    return true;
}

namespace {

void PutVarint(uint8_t* bytes, size_t* count, uint64_t value) {
    for (;; value >>= 7) {
        bytes[(*count)++] = static_cast<uint8_t>((value & 0x7F) | (value > 0x7F ? 0x80 : 0));
        if (value <= 0x7F) return;
    }
}

uint64_t GetVarint(const uint8_t* bytes, size_t* at, size_t end) {
    uint64_t value = 0;
    for (int shift = 0; *at < end && shift < 64; shift += 7) {
        const uint8_t byte = bytes[(*at)++];
        value |= uint64_t{byte & 0x7Fu} << shift;
        if (!(byte & 0x80)) break;
    }
    return value;
}

// How many of the packed blocks (each `stride` marks, its first value
// first) start at or before `offset`: the one that may hold it is the last.
size_t BlocksUpTo(const uint64_t* marks, size_t markCount, size_t stride, uint64_t offset) {
    size_t low = 0, high = markCount / stride;
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (marks[stride * mid] <= offset) low = mid + 1;
        else high = mid;
    }
    return low;
}

size_t HeldBytes(const PackedOffsets& p) {
    return p.byteCapacity + (p.markCapacity + p.oddCapacity) * sizeof(uint64_t);
}

bool AddOffset(PackedOffsets& p, uint64_t offset) {
    if (offset < p.lowest) p.lowest = offset;
    if (p.count > 0 && offset < p.last) return Append(&p.odd, &p.oddCount, &p.oddCapacity, offset);
    if (p.count % kMarkStride == 0) {
        if (!Append(&p.marks, &p.markCount, &p.markCapacity, offset) ||
            !Append(&p.marks, &p.markCount, &p.markCapacity, p.byteCount))
            return false;
    } else {
        void* block = p.bytes;
        if (!Reserve(&block, &p.byteCapacity, p.byteCount + 10)) return false;
        p.bytes = static_cast<uint8_t*>(block);
        PutVarint(p.bytes, &p.byteCount, offset - p.last);
    }
    p.last = offset;
    ++p.count;
    return true;
}

bool HasOffset(const PackedOffsets& p, uint64_t offset) {
    if (std::binary_search(p.odd, p.odd + p.oddCount, offset)) return true;
    const size_t low = BlocksUpTo(p.marks, p.markCount, 2, offset);
    if (low == 0) return false;
    const size_t block = low - 1;
    uint64_t value = p.marks[2 * block];
    size_t at = static_cast<size_t>(p.marks[2 * block + 1]);
    const size_t end = 2 * block + 2 < p.markCount ? static_cast<size_t>(p.marks[2 * block + 3]) : p.byteCount;
    while (value < offset && at < end) value += GetVarint(p.bytes, &at, end);
    return value == offset;
}

// Keeps [start, end) in the packed list, or out of order in the plain one;
// false when neither can hold it.
bool AddSpan(PackedSpans& p, uint64_t start, uint64_t end) {
    if (p.count > 0 && start < p.lastStart) {
        if (p.oddCount == 16) return false;
        p.odd[2 * p.oddCount] = start;
        p.odd[2 * p.oddCount + 1] = end;
        ++p.oddCount;
        return true;
    }
    if (p.byteCapacity + p.markCapacity * sizeof(uint64_t) > kSpansBudget) return false;
    if (p.count % kMarkStride == 0) {
        if (!Append(&p.marks, &p.markCount, &p.markCapacity, start) ||
            !Append(&p.marks, &p.markCount, &p.markCapacity, p.byteCount) ||
            !Append(&p.marks, &p.markCount, &p.markCapacity, p.furthestEnd))
            return false;
        p.lastStart = start;
    }
    void* block = p.bytes;
    if (!Reserve(&block, &p.byteCapacity, p.byteCount + 20)) return false;
    p.bytes = static_cast<uint8_t*>(block);
    PutVarint(p.bytes, &p.byteCount, start - p.lastStart);
    PutVarint(p.bytes, &p.byteCount, end - start);
    p.lastStart = start;
    p.furthestEnd = std::max(p.furthestEnd, end);
    ++p.count;
    return true;
}

// Whether a kept stretch holds `offset`: the furthest end of all stretches
// that start at or before it lies past it.
bool SpanHolds(const PackedSpans& p, uint64_t offset) {
    for (int i = 0; i < p.oddCount; ++i)
        if (p.odd[2 * i] <= offset && offset < p.odd[2 * i + 1]) return true;
    const size_t low = BlocksUpTo(p.marks, p.markCount, 3, offset);
    if (low == 0) return false;
    const size_t block = low - 1;
    uint64_t start = p.marks[3 * block];
    uint64_t furthest = p.marks[3 * block + 2];
    size_t at = static_cast<size_t>(p.marks[3 * block + 1]);
    const size_t end = 3 * block + 3 < p.markCount ? static_cast<size_t>(p.marks[3 * block + 4]) : p.byteCount;
    while (at < end) {
        start += GetVarint(p.bytes, &at, end);
        const uint64_t length = GetVarint(p.bytes, &at, end);
        if (start > offset) break;
        furthest = std::max(furthest, start + length);
    }
    return offset < furthest;
}

uint64_t TopBits(uint64_t hash, int bits) { return bits == 0 ? 0 : hash >> (64 - bits); }

// Indexes the records' hashes, in increasing order as `hashAt(i)` gives
// them, by their top bits: about sixteen records a slot. Without memory there
// is no index, and lookups search all the records.
template <typename HashAt>
void IndexHashes(ListedNames& names, HashAt hashAt) {
    std::free(names.hashStarts);
    names.hashStarts = nullptr;
    const size_t count = names.recordCount;
    int bits = 0;
    while (bits < 28 && (size_t{16} << bits) < count) ++bits;
    const size_t slots = size_t{1} << bits;
    auto* starts = static_cast<uint32_t*>(std::malloc((slots + 1) * sizeof(uint32_t)));
    if (starts == nullptr) return;
    size_t i = 0;
    for (size_t slot = 0; slot <= slots; ++slot) {
        while (i < count && TopBits(hashAt(i), bits) < slot) ++i;
        starts[slot] = static_cast<uint32_t>(i);
    }
    names.hashStarts = starts;
    names.hashBits = bits;
}

// The stretch [*from, *to) of the indexed order where `hash` can stand.
void HashStretch(const ListedNames& names, uint64_t hash, size_t* from, size_t* to) {
    *from = 0;
    *to = names.recordCount;
    if (names.hashStarts == nullptr) return;
    const uint64_t slot = TopBits(hash, names.hashBits);
    *from = names.hashStarts[slot];
    *to = names.hashStarts[slot + 1];
}

void MarkHash(ListedNames& names, uint64_t hash) {
    size_t from, to;
    HashStretch(names, hash, &from, &to);
    const uint32_t* end = names.byHash + names.recordCount;
    const uint32_t* at = std::lower_bound(names.byHash + from, names.byHash + to, hash,
                                          [&](uint32_t i, uint64_t h) { return names.records[i].nameHash < h; });
    for (; at < end && names.records[*at].nameHash == hash; ++at)
        names.recordFound[*at / 8] = static_cast<uint8_t>(names.recordFound[*at / 8] | (1u << (*at % 8)));
}

}  // namespace

// The window is filled anew from `offset` when it does not hold all the
// bytes asked for; reads larger than the window (or without memory for it)
// go straight to the input.
uint32_t ReadThroughWindow(RecordWindow& w, FileHandle input, uint64_t offset, void* out, uint32_t count) {
    const bool held = w.input == input && offset >= w.start && offset - w.start <= w.length &&
                      w.length - (offset - w.start) >= count;
    if (!held) {
        if (w.bytes == nullptr && count <= kRecordWindowSize)
            w.bytes = static_cast<uint8_t*>(std::malloc(kRecordWindowSize));
        if (w.bytes == nullptr || count > kRecordWindowSize) return FileReadAt(input, offset, out, count);
        w.input = input;
        w.start = offset;
        w.length = FileReadAt(input, offset, w.bytes, kRecordWindowSize);
    }
    const uint64_t from = offset - w.start;
    const uint32_t got = from >= w.length ? 0 : std::min<uint32_t>(count, w.length - static_cast<uint32_t>(from));
    std::memcpy(out, w.bytes + from, got);
    return got;
}

void NoteFoundName(ListedNames& names, const char* name, uint16_t length, uint64_t offset) {
    if (names.foundIncomplete) return;
    const uint64_t hash = HashName(reinterpret_cast<const uint8_t*>(name), length);
    if ((names.foundCount + 1) * sizeof(uint64_t) > kFoundBudget || HeldBytes(names.foundAt) > kFoundAtBudget ||
        !Append(&names.found, &names.foundCount, &names.foundCapacity, hash) || !AddOffset(names.foundAt, offset))
        names.foundIncomplete = true;
}

void ForgetLastFoundName(ListedNames& names) {
    if (!names.foundIncomplete && names.foundCount > 0) --names.foundCount;
}


void NoteCentralRecord(ListedNames& names, FileHandle input, uint64_t offset) {
    const size_t need = (names.recordCount + 1) * sizeof(ListedRecord);
    if (need > kListedBudget) return;
    uint8_t bytes[kCentralRecordSize + kShortName];
    const uint32_t got = ReadThroughWindow(names.window, input, offset, bytes, sizeof bytes);
    if (got < kCentralRecordSize || !LooksLikeRecord(bytes)) return;
    const uint16_t length = LoadLE16(bytes + 28);
    uint64_t hash;
    if (kCentralRecordSize + uint32_t{length} <= got) {
        hash = HashName(bytes + kCentralRecordSize, length);
    } else {
        auto* name = static_cast<uint8_t*>(std::malloc(length));
        const bool read = name != nullptr &&
                          ReadThroughWindow(names.window, input, offset + kCentralRecordSize, name, length) == length;
        hash = read ? HashName(name, length) : 0;
        std::free(name);
        if (!read) return;
    }
    size_t bytesHeld = names.recordCapacity * sizeof(ListedRecord);
    void* block = names.records;
    if (!Reserve(&block, &bytesHeld, need)) return;
    names.records = static_cast<ListedRecord*>(block);
    names.recordCapacity = bytesHeld / sizeof(ListedRecord);
    names.records[names.recordCount++] = ListedRecord{hash, offset};
    const uint32_t local = LoadLE32(bytes + 42);
    if (local != kZip64Marker && local < names.lowestLocalOffset) names.lowestLocalOffset = local;
    // A marker stands for an offset in the ZIP64 block, read only if the
    // order must be settled (RecordsByPlace).
    if (local == kZip64Marker || (names.recordCount > 1 && local < names.lastPlace)) names.placesInOrder = false;
    names.lastPlace = local;
}

void NoteEndRecord(ListedNames& names, uint64_t offset) {
    names.endRecordSeen = true;
    names.endRecord = offset;
}

bool ReadCentralRecord(ListedNames& names, FileHandle input, uint64_t offset, CentralRecord* r, char** name) {
    *name = nullptr;
    RecordWindow& w = names.window;
    uint8_t b[kCentralRecordSize];
    if (ReadThroughWindow(w, input, offset, b, kCentralRecordSize) != kCentralRecordSize || !LooksLikeRecord(b))
        return false;
    r->madeBy = LoadLE16(b + 4);
    r->flags = LoadLE16(b + 8);
    r->method = LoadLE16(b + 10);
    r->time = LoadLE16(b + 12);
    r->date = LoadLE16(b + 14);
    r->crc = LoadLE32(b + 16);
    r->compressedSize = LoadLE32(b + 20);
    r->uncompressedSize = LoadLE32(b + 24);
    r->nameLength = LoadLE16(b + 28);
    r->extraLength = LoadLE16(b + 30);
    r->commentLength = LoadLE16(b + 32);
    r->externalAttributes = LoadLE32(b + 38);
    r->localHeaderOffset = LoadLE32(b + 42);
    r->nameOffset = offset + kCentralRecordSize;
    auto* text = static_cast<char*>(std::malloc(r->nameLength + 1u));
    if (text == nullptr || ReadThroughWindow(w, input, r->nameOffset, text, r->nameLength) != r->nameLength) {
        std::free(text);
        return false;
    }
    text[r->nameLength] = '\0';
    *name = text;
    const bool marked = r->compressedSize == kZip64Marker || r->uncompressedSize == kZip64Marker ||
                        r->localHeaderOffset == kZip64Marker;
    if (!marked || r->extraLength == 0) return true;
    auto* extra = static_cast<uint8_t*>(std::malloc(r->extraLength));
    if (extra != nullptr) {
        const uint32_t got = ReadThroughWindow(w, input, r->nameOffset + r->nameLength, extra, r->extraLength);
        TakeZip64Fields(r, extra, got);
    }
    std::free(extra);
    return true;
}

bool PrepareFoundLookup(ListedNames& names) {
    if (names.foundIncomplete) return false;
    PackedOffsets& at = names.foundAt;
    std::sort(at.odd, at.odd + at.oddCount);
    names.recordFound = static_cast<uint8_t*>(std::calloc(names.recordCount / 8 + 1, 1));
    names.byHash = static_cast<uint32_t*>(std::malloc(names.recordCount * sizeof(uint32_t) + 1));
    if (names.recordFound == nullptr || names.byHash == nullptr) {
        names.foundIncomplete = true;
        return false;
    }
    for (size_t i = 0; i < names.recordCount; ++i) names.byHash[i] = static_cast<uint32_t>(i);
    std::sort(names.byHash, names.byHash + names.recordCount, [&](uint32_t a, uint32_t b) {
        return names.records[a].nameHash < names.records[b].nameHash;
    });
    IndexHashes(names, [&](size_t i) { return names.records[names.byHash[i]].nameHash; });
    for (size_t i = 0; i < names.foundCount; ++i) MarkHash(names, names.found[i]);
    return true;
}

void MarkFoundName(ListedNames& names, const char* name, size_t length) {
    if (names.byHash != nullptr) MarkHash(names, HashName(reinterpret_cast<const uint8_t*>(name), length));
}

void EndFoundMarking(ListedNames& names) {
    std::free(names.byHash);
    names.byHash = nullptr;
    std::free(names.hashStarts);
    names.hashStarts = nullptr;
}

bool RecordNameFound(const ListedNames& names, size_t record) {
    return names.recordFound != nullptr && (names.recordFound[record / 8] >> (record % 8) & 1) != 0;
}

bool HeaderWasFound(const ListedNames& names, uint64_t offset) { return HasOffset(names.foundAt, offset); }

uint64_t LowestFoundHeader(const ListedNames& names) { return names.foundAt.lowest; }

void NoteSavedEntry(ListedNames& names, uint64_t start, uint64_t end, bool throughRecord) {
    PackedSpans& spans = throughRecord ? names.savedThroughRecords : names.savedByScan;
    if (end <= start || start >= spans.unkeptFrom) return;
    if (!AddSpan(spans, start, end)) spans.unkeptFrom = start;
}

int InsideSavedEntry(const ListedNames& names, uint64_t offset) {
    if (SpanHolds(names.savedByScan, offset) || SpanHolds(names.savedThroughRecords, offset)) return 1;
    return offset >= names.savedByScan.unkeptFrom || offset >= names.savedThroughRecords.unkeptFrom ? -1 : 0;
}

namespace {

size_t SlotOf(const uint64_t* slots, size_t count, uint64_t key) {
    size_t at = static_cast<size_t>((key * 0x9E3779B97F4A7C15u) >> 16) & (count - 1);
    while (slots[at] != 0 && slots[at] != key) at = (at + 1) & (count - 1);
    return at;
}

}  // namespace

bool PlaceTaken(const ListedNames& names, uint64_t at) {
    if (names.takenInOrder.count > 0 && HasOffset(names.takenInOrder, at)) return true;
    return names.takenSlots > 0 && names.taken[SlotOf(names.taken, names.takenSlots, at + 1)] == at + 1;
}

bool TakePlace(ListedNames& names, uint64_t at) {
    PackedOffsets& inOrder = names.takenInOrder;
    if (inOrder.count == 0 || at >= inOrder.last) return AddOffset(inOrder, at);
    // Kept at most half full, so that a probe ends soon.
    if (2 * (names.takenCount + 1) > names.takenSlots) {
        const size_t slots = names.takenSlots ? names.takenSlots * 2 : 64;
        if (slots * sizeof(uint64_t) > kListedBudget / 4) return false;
        auto* grown = static_cast<uint64_t*>(std::calloc(slots, sizeof(uint64_t)));
        if (grown == nullptr) return false;
        for (size_t i = 0; i < names.takenSlots; ++i)
            if (names.taken[i] != 0) grown[SlotOf(grown, slots, names.taken[i])] = names.taken[i];
        std::free(names.taken);
        names.taken = grown;
        names.takenSlots = slots;
    }
    names.taken[SlotOf(names.taken, names.takenSlots, at + 1)] = at + 1;
    ++names.takenCount;
    return true;
}

bool ReportListedRecord(RepairRun& run, ListedNames& names, uint64_t recordOffset, int32_t level, StringId text) {
    CentralRecord record;
    char* name;
    if (!ReadCentralRecord(names, run.input, recordOffset, &record, &name)) return false;
    char shown[kDisplayNameSize];
    EntryDisplayName(name, record.flags, shown, sizeof shown);
    std::free(name);
    EmitFormatted(run, level, text, shown);
    return true;
}

ListedPlace* RecordsByPlace(ListedNames& names, FileHandle input, size_t* count) {
    *count = 0;
    if (names.placesInOrder) return nullptr;
    size_t pending = 0;
    for (size_t i = 0; i < names.recordCount; ++i) pending += RecordNameFound(names, i) ? 0 : 1;
    if (pending == 0 || pending * sizeof(ListedPlace) > kListedBudget) return nullptr;
    auto* places = static_cast<ListedPlace*>(std::malloc(pending * sizeof(ListedPlace)));
    if (places == nullptr) return nullptr;
    for (size_t i = 0; i < names.recordCount; ++i) {
        if (RecordNameFound(names, i)) continue;
        CentralRecord record;
        char* name;
        // One that cannot be read again goes last; it is not followed.
        const bool read = ReadCentralRecord(names, input, names.records[i].offset, &record, &name);
        std::free(name);
        places[(*count)++] = ListedPlace{read ? record.localHeaderOffset : UINT64_MAX, i};
    }
    std::stable_sort(places, places + *count, [](const ListedPlace& a, const ListedPlace& b) { return a.place < b.place; });
    return places;
}

void SortListedRecords(ListedNames& names) {
    std::sort(names.records, names.records + names.recordCount, [](const ListedRecord& a, const ListedRecord& b) {
        return a.nameHash != b.nameHash ? a.nameHash < b.nameHash : a.offset < b.offset;
    });
    IndexHashes(names, [&](size_t i) { return names.records[i].nameHash; });
}

size_t FirstListedWithName(const ListedNames& names, const char* name, size_t length) {
    const uint64_t hash = HashName(reinterpret_cast<const uint8_t*>(name), length);
    size_t from, to;
    HashStretch(names, hash, &from, &to);
    const ListedRecord* begin = names.records;
    const ListedRecord* end = begin + names.recordCount;
    const ListedRecord* at = std::lower_bound(begin + from, begin + to, hash,
                                              [](const ListedRecord& r, uint64_t h) { return r.nameHash < h; });
    return at < end && at->nameHash == hash ? static_cast<size_t>(at - begin) : names.recordCount;
}

}  // namespace arcsalve
