// Entries found through their central directory record (see
// directory_recovery.h).
//
// Where a lost header's data starts is not written anywhere the damage left:
// the record gives the offset of the header, whose name and extra field come
// before the data, and a local extra field is often not the central one
// (Info-ZIP writes both time stamps locally, one centrally). So a few starts
// are tried, each only as far as a decode that writes nothing: the header's
// own lengths when its fixed part is still there, the record's name and
// extra lengths, the name with no extra field, and the end of each extra
// block that follows the name as a chain of (id, size) blocks would. The
// first start whose data decodes to the record's CRC-32 and size is the
// entry's. Every decode is paid from the run's allowance for reading input
// again, so a directory of forged records costs at most a few times the
// input's size.
#include "salvage/directory_recovery.h"

#include <cstdlib>
#include <cstring>

#include "common/little_endian.h"
#include "common/zip_format.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "salvage/listed_names.h"
#include "salvage/streamed_entry.h"

namespace arcsalve {
namespace {

// Starts tried per header position, and how far after the name the walk
// over extra blocks looks (real local extra fields are tens of bytes).
constexpr int kMaxStarts = 6;
constexpr uint32_t kExtraWindow = 256;
constexpr uint16_t kVersionNeeded = 20;
// The ZIP64 end record (without extensible data) and its locator.
constexpr uint32_t kZip64EndSize = 56;
constexpr uint32_t kLocatorSize = 20;
// What a decoder may have read past an entry's data (the scan looks at as
// much again after a saved entry).
constexpr uint64_t kReadPastData = 8;

struct Starts {
    uint64_t at[kMaxStarts];
    int count;
};

void AddStart(Starts& starts, uint64_t at) {
    for (int i = 0; i < starts.count; ++i)
        if (starts.at[i] == at) return;
    if (starts.count < kMaxStarts) starts.at[starts.count++] = at;
}

void AddShift(DirectoryShifts& shifts, int64_t shift) {
    for (int i = 0; i < shifts.count; ++i)
        if (shifts.shift[i] == shift) return;
    if (shifts.count < kMaxShifts) shifts.shift[shifts.count++] = shift;
}

// Encrypted data would need a password, and sizes past 32 bits do not fit
// the rebuilt archive: such records are not followed. (A method without a
// decoder fails the proof like damaged data.)
bool Decodable(const CentralRecord& r) {
    return (r.flags & kFlagEncrypted) == 0 && r.compressedSize <= kMaxDecodedSize &&
           r.uncompressedSize <= kMaxDecodedSize;
}

// The local header the entry is decoded and saved with: the record's
// fields, no extra field, and of the flags those that describe the data
// (the implode and deflate options, the UTF-8 name); the sizes stand in it,
// so bit 3 goes.
void HeaderOf(const CentralRecord& r, uint8_t h[kLocalHeaderSize]) {
    std::memset(h, 0, kLocalHeaderSize);
    StoreLE32(h + kLhSignature, 0x04034B50);
    StoreLE16(h + kLhVersion, kVersionNeeded);
    StoreLE16(h + kLhFlags, static_cast<uint16_t>(r.flags & ~(kFlagDataDescriptor | kFlagEncrypted)));
    StoreLE16(h + kLhMethod, r.method);
    StoreLE16(h + kLhTime, r.time);
    StoreLE16(h + kLhDate, r.date);
    StoreLE32(h + kLhCrc, r.crc);
    StoreLE32(h + kLhCompressed, static_cast<uint32_t>(r.compressedSize));
    StoreLE32(h + kLhUncompressed, static_cast<uint32_t>(r.uncompressedSize));
    StoreLE16(h + kLhNameLength, r.nameLength);
}

// The starts to try for a header at `at` (see the top of this file).
Starts StartsAt(Salvage& s, uint64_t at, const CentralRecord& r) {
    RecordWindow& window = s.listed.places;
    Starts starts{{}, 0};
    uint8_t local[kLocalHeaderSize];
    if (ReadThroughWindow(window, s.run.input, at, local, kLocalHeaderSize) == kLocalHeaderSize &&
        LoadLE32(local) == 0x04034B50)
        AddStart(starts, at + kLocalHeaderSize + LoadLE16(local + kLhNameLength) + LoadLE16(local + kLhExtraLength));
    const uint64_t afterName = at + kLocalHeaderSize + r.nameLength;
    AddStart(starts, afterName + r.extraLength);
    AddStart(starts, afterName);
    uint8_t extra[kExtraWindow];
    const uint32_t got = ReadThroughWindow(window, s.run.input, afterName, extra, kExtraWindow);
    for (uint32_t next = 0; next + 4 <= got && LoadLE16(extra + next) != 0;) {
        next += 4 + LoadLE16(extra + next + 2);
        if (next > got) break;
        AddStart(starts, afterName + next);
    }
    return starts;
}

// Whether the record's name stands right after the 30 bytes at `at`. An
// empty entry proves nothing by its CRC-32 (any start decodes to nothing):
// it is found only where its name still is.
bool NameStandsAt(Salvage& s, uint64_t at, const char* name, uint16_t length) {
    auto* read = static_cast<char*>(std::malloc(length + 1u));
    const bool same = read != nullptr &&
                      ReadThroughWindow(s.listed.places, s.run.input, at + kLocalHeaderSize, read, length) == length &&
                      std::memcmp(read, name, length) == 0;
    std::free(read);
    return same;
}

// One decode from `start` that writes nothing: true when it gives exactly
// the record's size and CRC-32.
bool DataProves(Salvage& s, const uint8_t header[kLocalHeaderSize], uint64_t start, const CentralRecord& r) {
    if (start > s.run.inputSize || r.compressedSize > s.run.inputSize - start) return false;
    // Each try costs at least a header's worth, so that a directory of
    // records for empty or tiny entries is bounded too.
    if (!SpendRereadAllowance(s, r.compressedSize + kEndOfDataAllowance + kLocalHeaderSize)) return false;
    ReturnToOffset(s.reader, start);
    const char noPassword[kPasswordBufferSize] = {};
    DecodeOutcome outcome{};
    const int decoded = DecodeEntry(DecodeContextOf(s), header, kNoFile, 0, noPassword, nullptr, &outcome);
    return decoded && outcome.inOrder && outcome.produced == r.uncompressedSize && outcome.crc == r.crc;
}

// The header position the record gives, moved by `shift`; false when that
// falls outside the input.
bool PlaceOf(const Salvage& s, const CentralRecord& r, int64_t shift, uint64_t* at) {
    const uint64_t size = s.run.inputSize;
    if (r.localHeaderOffset > size) return false;
    const int64_t place = static_cast<int64_t>(r.localHeaderOffset) + shift;
    if (place < 0 || static_cast<uint64_t>(place) + kLocalHeaderSize > size) return false;
    *at = static_cast<uint64_t>(place);
    return true;
}

}  // namespace

DirectoryShifts ShiftsOf(Salvage& s) {
    DirectoryShifts shifts{{}, 0};
    const ListedNames& names = s.listed;
    uint8_t end[kEndRecordSize];
    if (names.endRecordSeen && FileReadAt(s.run.input, names.endRecord, end, kEndRecordSize) == kEndRecordSize) {
        // The end record gives the directory's size and its offset from the
        // archive's start; the directory really ends where the end record
        // stands.
        uint64_t size = LoadLE32(end + 12);
        uint64_t offset = LoadLE32(end + 16);
        uint64_t directoryEnd = names.endRecord;
        // Markers there: the values are in the ZIP64 end record, which
        // stands right before its 20-byte locator (written with no data of
        // its own after its 56 bytes, as every writer does).
        uint8_t zip64[kZip64EndSize];
        if ((size == kZip64Marker || offset == kZip64Marker) && names.endRecord >= kZip64EndSize + kLocatorSize &&
            FileReadAt(s.run.input, names.endRecord - kZip64EndSize - kLocatorSize, zip64, kZip64EndSize) ==
                kZip64EndSize &&
            LoadLE32(zip64) == 0x06064B50) {
            size = LoadLE64(zip64 + 40);
            offset = LoadLE64(zip64 + 48);
            directoryEnd = names.endRecord - kZip64EndSize - kLocatorSize;
        }
        if (size < directoryEnd && offset < s.run.inputSize)
            AddShift(shifts, static_cast<int64_t>(directoryEnd - size) - static_cast<int64_t>(offset));
    }
    const uint64_t firstFound = LowestFoundHeader(names);
    if (firstFound != UINT64_MAX && names.lowestLocalOffset <= s.run.inputSize)
        AddShift(shifts, static_cast<int64_t>(firstFound) - static_cast<int64_t>(names.lowestLocalOffset));
    AddShift(shifts, 0);
    return shifts;
}

int RecoverListedEntry(Salvage& s, uint64_t recordOffset, const DirectoryShifts& shifts) {
    CentralRecord r;
    char* name;
    // Its sizes fit the header (Decodable): none of the scan's large sizes.
    s.largeCompressed = 0;
    s.largeUncompressed = 0;
    if (!ReadCentralRecord(s.listed, s.run.input, recordOffset, &r, &name)) return kHeaderRejected;
    int result = kHeaderRejected;
    bool twice = false;
    uint8_t header[kLocalHeaderSize];
    HeaderOf(r, header);
    for (int i = 0; i < shifts.count && result == kHeaderRejected && Decodable(r); ++i) {
        uint64_t at;
        if (!PlaceOf(s, r, shifts.shift[i], &at)) continue;
        // A header the scan read there and did not save intact had its
        // salvage: its verdict stands (or the shift is wrong). One it saved
        // intact is looked at, to tell a record that describes its data
        // (saved already) from one that does not.
        const int inside = InsideSavedEntry(s.listed, at);
        if (inside < 0 || (inside == 0 && HeaderWasFound(s.listed, at)) || PlaceTaken(s.listed, at)) continue;
        if (r.uncompressedSize == 0 && !NameStandsAt(s, at, name, r.nameLength)) continue;
        const Starts starts = StartsAt(s, at, r);
        for (int k = 0; k < starts.count && !s.run.status.abortRequested; ++k) {
            if (!DataProves(s, header, starts.at[k], r)) continue;
            // Data already saved (a forged record that gives another
            // entry's CRC-32 and sizes under a new name, or a second record
            // of one entry) is not saved again.
            const int within = inside != 0 ? inside : InsideSavedEntry(s.listed, starts.at[k]);
            if (within != 0) {
                twice = twice || within > 0;
                continue;
            }
            if (!TakePlace(s.listed, at)) continue;
            ReturnToOffset(s.reader, starts.at[k]);
            result = SalvageListedEntry(s, header, name, at);
            // A decoder's bit buffer may have read a few bytes past the data.
            if (result == kEntrySaved || result == kEntrySavedHere)
                NoteSavedEntry(s.listed, at, ReaderPosition(s.reader) - (result == kEntrySaved ? kReadPastData : 0), true);
            if (result == kHeaderRejected) result = kEntryDropped;
            break;
        }
        if (s.run.status.abortRequested) break;
    }
    std::free(name);
    return result == kHeaderRejected && twice ? kListedAlreadySaved : result;
}

}  // namespace arcsalve
