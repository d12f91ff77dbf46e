#include "salvage/streamed_entry.h"

#include "arcsalve/arcsalve.h"
#include "common/data_descriptor.h"
#include "common/little_endian.h"
#include "decode/decode_frame.h"
#include "salvage/archive_reader.h"

namespace arcsalve {
namespace {

// Beyond the scan's own pass over the input, a run may read input again: a
// streamed stored entry's descriptor search past the first local header
// inside its data (the header that would end it if no descriptor proves
// itself), the rescan of a damaged deflate stream's input, and the scan's
// look back over any entry not saved intact. All are bounded together by a few times the input's size, so that an input
// made of many damaged streamed entries still costs linear time; once the
// allowance is spent, stored data ends at that first header and the scan
// goes on where a damaged stream stopped.
constexpr uint64_t kExtraReadFactor = 4;
constexpr uint64_t kExtraReadFloor = uint64_t{1} << 20;

uint64_t Allowance(const Salvage& s) {
    uint64_t total = kExtraReadFactor * s.run.inputSize + kExtraReadFloor;
    return total > s.extraRead ? total - s.extraRead : 0;
}

// Reads the descriptor at the reader's position, where the data measured
// from dataStart ended, and leaves the reader after it; without one that
// fits, the reader stays where the data ended.
bool ReadDescriptorAfterData(ArchiveReader& reader, uint64_t dataStart, uint64_t expectedUncompressed,
                             DataDescriptor* out) {
    const uint64_t dataEnd = ReaderPosition(reader);
    uint8_t bytes[kLongestDescriptor + kRecordLookahead];
    int32_t got = ReadUpTo(reader, bytes, kLongestDescriptor + kRecordLookahead);
    if (got < 0) got = 0;
    bool found = MatchConfirmedDescriptor(bytes, static_cast<size_t>(got), dataEnd - dataStart,
                                          expectedUncompressed, got < kLongestDescriptor + kRecordLookahead, out) != 0;
    ReturnToOffset(reader, found ? dataEnd + static_cast<uint64_t>(out->length) : dataEnd);
    return found;
}

// A damaged deflate stream is often decoded well past the damage before an
// error (or a made-up end) shows, over the headers of the entries behind it:
// the scan looks at its input again, from the data's start, while the run's
// allowance lasts.
void RescanStream(Salvage& s, uint64_t dataStart) {
    if (SpendRereadAllowance(s, ReaderPosition(s.reader) - dataStart)) ReturnToOffset(s.reader, dataStart);
}

}  // namespace

bool SpendRereadAllowance(Salvage& s, uint64_t bytes) {
    if (bytes > Allowance(s)) return false;
    s.extraRead += bytes;
    return true;
}

bool FindConfirmedDescriptor(Salvage& s, uint64_t dataStart, uint64_t shortest, DataDescriptor* out) {
    constexpr uint32_t kRun = 65536, kView = kLongestDescriptor + kRecordLookahead;
    uint8_t bytes[kRun + kView];
    for (uint64_t at = dataStart + shortest; at < s.run.inputSize; at += kRun) {
        // Each run is read with the view that the descriptors starting in it need.
        if (!SpendRereadAllowance(s, kRun)) return false;
        const uint32_t got = FileReadAt(s.run.input, at, bytes, kRun + kView);
        const bool ends = at + got >= s.run.inputSize;
        for (uint32_t i = 0; i < got && i < kRun; ++i) {
            // The size field holds the distance's low 32 bits, after a signature or not.
            const uint32_t distance = static_cast<uint32_t>(at + i - dataStart);
            const bool fits = (got - i >= 8 && LoadLE32(bytes + i + 4) == distance) ||
                              (got - i >= 12 && LoadLE32(bytes + i + 8) == distance);
            if (fits && MatchConfirmedDescriptor(bytes + i, got - i, at + i - dataStart, 0, ends, out) == 2) return true;
        }
    }
    return false;
}

bool IsStreamedEntry(const RepairRun& run, const uint8_t header[kLocalHeaderSize]) {
    if ((run.flags & REPAIR_TRAILING_DESCRIPTORS) == 0) return false;
    const uint16_t flags = LoadLE16(header + kLhFlags);
    const uint16_t method = LoadLE16(header + kLhMethod);
    const uint32_t compressed = LoadLE32(header + kLhCompressed);
    if ((flags & kFlagDataDescriptor) == 0 || (method != kMethodStored && !EndsByItself(method, flags)))
        return false;
    if (compressed == 0) return true;
    // Info-ZIP, writing an encrypted stored entry to a pipe, puts the plain
    // size in both size fields, forgetting the 12-byte encryption header
    // (its descriptor has it right). Encrypted stored data is always 12
    // bytes longer than its plain size, so such a header contradicts itself:
    // the descriptor decides where the data ends.
    return method == kMethodStored && (flags & kFlagEncrypted) != 0 && compressed == LoadLE32(header + kLhUncompressed);
}

StreamedOutcome SalvageStreamedData(Salvage& s, const uint8_t header[kLocalHeaderSize], FileHandle temp,
                                    int encrypted, const char password[40], const uint8_t encHeader[12], uint64_t dataStart,
                                    DecodeOutcome* tracked) {
    StreamedOutcome outcome{};
    StreamedData search{Allowance(s), 0};
    outcome.decoded =
        DecodeStreamedEntry(DecodeContextOf(s), header, temp, encrypted, password, encHeader, &search, tracked);
    s.extraRead += search.searchBeyond;
    if (s.run.status.abortRequested) return outcome;

    const bool deflated = LoadLE16(header + kLhMethod) != kMethodStored;  // deflate or Deflate64
    if (!outcome.decoded) {
        if (deflated) RescanStream(s, dataStart);
        return outcome;
    }
    // Stored data ends where its descriptor's size says: the plain bytes are
    // that size less the encryption header. Deflated data's plain size is
    // what came out.
    const uint64_t produced = tracked != nullptr ? tracked->produced : FileSize(temp);
    const uint64_t expected =
        deflated ? produced : ReaderPosition(s.reader) - dataStart - (encrypted ? kEncryptionHeaderSize : 0);
    DataDescriptor descriptor;
    if (ReadDescriptorAfterData(s.reader, dataStart, expected, &descriptor)) {
        outcome.hasDescriptor = true;
        outcome.crc = descriptor.crc;
        outcome.uncompressedSize = descriptor.uncompressedSize;
    } else if (deflated) {
        // No descriptor where the stream ended: the end may be one that
        // damage made up, somewhere past the real one.
        RescanStream(s, dataStart);
    }
    return outcome;
}

}  // namespace arcsalve
