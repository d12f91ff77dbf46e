// The saved entries, packed (see saved_records.h).
//
// A packed entry: its local header offset (8 bytes), its local header
// (30), its compressed and uncompressed sizes (8 each), whether its local
// header has the ZIP64 block (1), the length of its carried blocks (2), the
// blocks, its name (as long as the header says). Both the memory and the
// file hold whole entries only.
#include "salvage/saved_records.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/little_endian.h"
#include "common/zip_format.h"
#include "salvage/salvage_entry.h"

namespace arcsalve {
namespace {

constexpr char kSpillFileName[] = "arcsalve-records.tmp";
constexpr size_t kSizesAt = 8 + kLocalHeaderSize;
constexpr size_t kCarriedAt = kSizesAt + 8 + 8 + 1;  // the carried blocks' length
constexpr size_t kFixedPart = kCarriedAt + 2;
// The largest packed entry: a 65,535-byte name and full carried blocks.
constexpr size_t kLargestPacked = kFixedPart + kMaxCarriedExtra + 0xFFFF;
// The file is read back in pieces of this size (at least one whole entry).
constexpr size_t kReadPiece = size_t{256} << 10;

size_t PackedSize(const uint8_t* packed) {
    return kFixedPart + LoadLE16(packed + kCarriedAt) + LoadLE16(packed + 8 + kLhNameLength);
}

// Moves the packed entries in memory to the file; false when that failed
// (the entries then stay where they are).
bool Spill(SavedRecords& r) {
    if (r.memoryOnly) return false;
    if (r.spill == kNoFile) {
        r.spill = CreateTempFile(r.spillPath, kSpillFileName);
        if (!IsOpenFile(r.spill)) {
            r.spill = kNoFile;
            r.memoryOnly = true;
            return false;
        }
    }
    // Pieces of at most 1 GiB, for the 32-bit count of a write.
    for (size_t done = 0; done < r.heldBytes;) {
        const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(r.heldBytes - done, size_t{1} << 30));
        if (FileWrite(r.spill, r.held + done, piece) != piece) {
            // What did go out is cut off again: the file holds whole entries.
            FileSeek(r.spill, r.spilled);
            FileTruncateHere(r.spill);
            r.memoryOnly = true;
            return false;
        }
        done += piece;
    }
    r.spilled += r.heldBytes;
    r.heldBytes = 0;
    return true;
}

bool Reserve(SavedRecords& r, size_t need) {
    if (need <= r.heldCapacity) return true;
    const size_t grown = std::max(need, r.heldCapacity * 2 + 4096);
    void* bigger = std::realloc(r.held, grown);
    if (bigger == nullptr) return false;
    r.held = static_cast<uint8_t*>(bigger);
    r.heldCapacity = grown;
    return true;
}

// Unpacks the entry at `packed` into `entry`, its name copied to `name`
// (room for 65,536 bytes).
void Unpack(const uint8_t* packed, SalvageEntry& entry, char* name) {
    entry = SalvageEntry{};
    entry.localHeaderOffset = LoadLE64(packed);
    std::memcpy(entry.localHeader, packed + 8, kLocalHeaderSize);
    entry.compressedSize = LoadLE64(packed + kSizesAt);
    entry.uncompressedSize = LoadLE64(packed + kSizesAt + 8);
    entry.zip64 = packed[kSizesAt + 16] != 0;
    entry.carried.length = LoadLE16(packed + kCarriedAt);
    std::memcpy(entry.carried.bytes, packed + kFixedPart, entry.carried.length);
    const uint16_t nameLength = LoadLE16(entry.localHeader + kLhNameLength);
    std::memcpy(name, packed + kFixedPart + entry.carried.length, nameLength);
    name[nameLength] = '\0';
    entry.name = name;
}

// Visits the packed entries of `bytes`, all whole.
bool VisitPacked(const uint8_t* bytes, size_t length, SavedRecordVisit visit, void* context, char* name) {
    SalvageEntry entry;
    for (size_t at = 0; at < length; at += PackedSize(bytes + at)) {
        Unpack(bytes + at, entry, name);
        if (!visit(context, entry)) return false;
    }
    return true;
}

// Visits the entries in the file, read back in pieces; an entry cut by the
// end of a piece is moved to the front of the next.
bool VisitSpilled(SavedRecords& r, SavedRecordVisit visit, void* context, char* name) {
    if (r.spilled == 0) return true;
    auto* piece = static_cast<uint8_t*>(std::malloc(kReadPiece));
    if (piece == nullptr) return false;
    bool ok = true;
    size_t have = 0;  // bytes at the front of the piece not yet visited
    for (uint64_t read = 0; ok && (read < r.spilled || have > 0);) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadPiece - have, r.spilled - read));
        if (want > 0 && FileReadAt(r.spill, read, piece + have, static_cast<uint32_t>(want)) != want) {
            ok = false;
            break;
        }
        read += want;
        have += want;
        size_t at = 0;
        SalvageEntry entry;
        while (ok && have - at >= kFixedPart && have - at >= PackedSize(piece + at)) {
            Unpack(piece + at, entry, name);
            ok = visit(context, entry);
            at += PackedSize(piece + at);
        }
        if (at == 0 && want == 0) ok = false;  // a cut entry at the end of the file
        std::memmove(piece, piece + at, have - at);
        have -= at;
    }
    std::free(piece);
    return ok;
}

}  // namespace

bool KeepSavedRecord(SavedRecords& r, const SalvageEntry& entry, size_t budget) {
    const uint16_t nameLength = LoadLE16(entry.localHeader + kLhNameLength);
    const size_t size = kFixedPart + entry.carried.length + nameLength;
    if (r.heldBytes > 0 && r.heldBytes + size > budget) Spill(r);
    if (!Reserve(r, r.heldBytes + size)) return false;
    uint8_t* at = r.held + r.heldBytes;
    StoreLE64(at, entry.localHeaderOffset);
    std::memcpy(at + 8, entry.localHeader, kLocalHeaderSize);
    StoreLE64(at + kSizesAt, entry.compressedSize);
    StoreLE64(at + kSizesAt + 8, entry.uncompressedSize);
    at[kSizesAt + 16] = entry.zip64 ? 1 : 0;
    StoreLE16(at + kCarriedAt, entry.carried.length);
    std::memcpy(at + kFixedPart, entry.carried.bytes, entry.carried.length);
    std::memcpy(at + kFixedPart + entry.carried.length, entry.name, nameLength);
    r.heldBytes += size;
    return true;
}

bool VisitSavedRecords(SavedRecords& r, SavedRecordVisit visit, void* context) {
    static_assert(kLargestPacked <= kReadPiece, "a read piece holds any packed entry");
    auto* name = static_cast<char*>(std::malloc(0x10000));
    if (name == nullptr) return false;
    const bool ok = VisitSpilled(r, visit, context, name) && VisitPacked(r.held, r.heldBytes, visit, context, name);
    std::free(name);
    return ok;
}

void ReleaseSavedRecords(SavedRecords& r) {
    std::free(r.held);
    if (r.spill != kNoFile) {
        FileClose(r.spill);
        PathDelete(r.spillPath);
    }
    r = SavedRecords{};
}

}  // namespace arcsalve
