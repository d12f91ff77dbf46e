// The saved entries, packed (see saved_records.h).
//
// A packed entry: its local header offset (8 bytes), where it stood in the
// input (8), its local header
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
constexpr size_t kHeaderAt = 16;
constexpr size_t kSizesAt = kHeaderAt + kLocalHeaderSize;
constexpr size_t kCarriedAt = kSizesAt + 8 + 8 + 1;  // the carried blocks' length
constexpr size_t kFixedPart = kCarriedAt + 2;
// The largest packed entry: a 65,535-byte name and full carried blocks.
constexpr size_t kLargestPacked = kFixedPart + kMaxCarriedExtra + 0xFFFF;
// The file is read back in pieces of this size (at least one whole entry).
constexpr size_t kReadPiece = size_t{256} << 10;

size_t PackedSize(const uint8_t* packed) {
    return kFixedPart + LoadLE16(packed + kCarriedAt) + LoadLE16(packed + kHeaderAt + kLhNameLength);
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
    entry.inputOffset = LoadLE64(packed + 8);
    std::memcpy(entry.localHeader, packed + kHeaderAt, kLocalHeaderSize);
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

}  // namespace

bool KeepSavedRecord(SavedRecords& r, const SalvageEntry& entry, size_t budget) {
    const uint16_t nameLength = LoadLE16(entry.localHeader + kLhNameLength);
    const size_t size = kFixedPart + entry.carried.length + nameLength;
    if (r.heldBytes > 0 && r.heldBytes + size > budget) Spill(r);
    if (!Reserve(r, r.heldBytes + size)) return false;
    uint8_t* at = r.held + r.heldBytes;
    StoreLE64(at, entry.localHeaderOffset);
    StoreLE64(at + 8, entry.inputOffset);
    std::memcpy(at + kHeaderAt, entry.localHeader, kLocalHeaderSize);
    StoreLE64(at + kSizesAt, entry.compressedSize);
    StoreLE64(at + kSizesAt + 8, entry.uncompressedSize);
    at[kSizesAt + 16] = entry.zip64 ? 1 : 0;
    StoreLE16(at + kCarriedAt, entry.carried.length);
    std::memcpy(at + kFixedPart, entry.carried.bytes, entry.carried.length);
    std::memcpy(at + kFixedPart + entry.carried.length, entry.name, nameLength);
    r.heldBytes += size;
    return true;
}

uint64_t SavedRecordsEnd(const SavedRecords& r) { return r.spilled + r.heldBytes; }

bool OpenSavedCursor(SavedCursor& c, SavedRecords& r, uint64_t from, uint64_t to) {
    static_assert(kLargestPacked <= kReadPiece, "a read piece holds any packed entry");
    c = SavedCursor{};
    c.records = &r;
    c.at = from;
    c.to = to;
    c.name = static_cast<char*>(std::malloc(0x10000));
    c.entry = static_cast<SalvageEntry*>(std::malloc(sizeof(SalvageEntry)));
    if (from < r.spilled) c.piece = static_cast<uint8_t*>(std::malloc(kReadPiece));
    if (c.name != nullptr && c.entry != nullptr && (from >= r.spilled || c.piece != nullptr)) return true;
    CloseSavedCursor(c);
    return false;
}

int NextSavedRecord(SavedCursor& c) {
    const SavedRecords& r = *c.records;
    if (c.at >= c.to) return 0;
    const uint8_t* packed;
    if (c.at >= r.spilled) {
        packed = r.held + (c.at - r.spilled);
    } else {
        // The file holds whole entries: one that is not whole in the piece
        // is read again from its start.
        const uint64_t into = c.at - c.pieceAt;
        if (c.at < c.pieceAt || into + kFixedPart > c.pieceLength ||
            into + PackedSize(c.piece + into) > c.pieceLength) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadPiece, r.spilled - c.at));
            if (want < kFixedPart || FileReadAt(r.spill, c.at, c.piece, static_cast<uint32_t>(want)) != want ||
                PackedSize(c.piece) > want)
                return -1;
            c.pieceAt = c.at;
            c.pieceLength = want;
        }
        packed = c.piece + (c.at - c.pieceAt);
    }
    Unpack(packed, *c.entry, c.name);
    c.at += PackedSize(packed);
    return 1;
}

void CloseSavedCursor(SavedCursor& c) {
    std::free(c.piece);
    std::free(c.name);
    std::free(c.entry);
    c = SavedCursor{};
}

bool VisitSavedRecords(SavedRecords& r, SavedRecordVisit visit, void* context) {
    SavedCursor cursor;
    if (!OpenSavedCursor(cursor, r, 0, SavedRecordsEnd(r))) return false;
    int next;
    while ((next = NextSavedRecord(cursor)) > 0 && visit(context, *cursor.entry)) {
    }
    CloseSavedCursor(cursor);
    return next == 0;
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
