#include "salvage/streamed_entry.h"

#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "common/data_descriptor.h"
#include "common/little_endian.h"
#include "common/run_flags.h"
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

struct StreamedState {
    uint64_t extraRead = 0;  // bytes read again so far in this run
};
StreamedState g_streamed;

uint64_t Allowance() {
    uint64_t total = kExtraReadFactor * g_inputSize + kExtraReadFloor;
    return total > g_streamed.extraRead ? total - g_streamed.extraRead : 0;
}

// Reads the descriptor at the reader's position, where the data measured
// from dataStart ended, and leaves the reader after it; without one that
// fits, the reader stays where the data ended.
bool ReadDescriptorAfterData(uint64_t dataStart, uint64_t expectedUncompressed, DataDescriptor* out) {
    const uint64_t dataEnd = ReaderPosition();
    uint8_t bytes[kLongestDescriptor + kRecordLookahead];
    int32_t got = ReadUpTo(bytes, kLongestDescriptor + kRecordLookahead);
    if (got < 0) got = 0;
    bool found = MatchConfirmedDescriptor(bytes, static_cast<size_t>(got), dataEnd - dataStart,
                                          expectedUncompressed, got < kLongestDescriptor + kRecordLookahead, out) != 0;
    ReturnToOffset(found ? dataEnd + static_cast<uint64_t>(out->length) : dataEnd);
    return found;
}

// A damaged deflate stream is often decoded well past the damage before an
// error (or a made-up end) shows, over the headers of the entries behind it:
// the scan looks at its input again, from the data's start, while the run's
// allowance lasts.
void RescanStream(uint64_t dataStart) {
    if (SpendRereadAllowance(ReaderPosition() - dataStart)) ReturnToOffset(dataStart);
}

}  // namespace

bool SpendRereadAllowance(uint64_t bytes) {
    if (bytes > Allowance()) return false;
    g_streamed.extraRead += bytes;
    return true;
}

bool IsStreamedEntry(const uint8_t header[kLocalHeaderSize]) {
    if ((g_repairFlags & REPAIR_TRAILING_DESCRIPTORS) == 0) return false;
    const uint16_t flags = LoadLE16(header + kLhFlags);
    const uint16_t method = LoadLE16(header + kLhMethod);
    const uint32_t compressed = LoadLE32(header + kLhCompressed);
    if ((flags & kFlagDataDescriptor) == 0 || (method != 0 && method != 8)) return false;
    if (compressed == 0) return true;
    // Info-ZIP, writing an encrypted stored entry to a pipe, puts the plain
    // size in both size fields, forgetting the 12-byte encryption header
    // (its descriptor has it right). Encrypted stored data is always 12
    // bytes longer than its plain size, so such a header contradicts itself:
    // the descriptor decides where the data ends.
    return method == 0 && (flags & kFlagEncrypted) != 0 && compressed == LoadLE32(header + kLhUncompressed);
}

StreamedOutcome SalvageStreamedData(const uint8_t header[kLocalHeaderSize], FileHandle temp, int encrypted,
                                    const char password[40], const uint8_t encHeader[12], uint64_t dataStart,
                                    DecodeOutcome* tracked) {
    StreamedOutcome outcome{};
    StreamedData search{Allowance(), 0};
    outcome.decoded = DecodeStreamedEntry(header, temp, encrypted, password, encHeader, &search, tracked);
    g_streamed.extraRead += search.searchBeyond;
    if (g_abortRequested) return outcome;

    const bool deflated = LoadLE16(header + kLhMethod) == 8;
    if (!outcome.decoded) {
        if (deflated) RescanStream(dataStart);
        return outcome;
    }
    // Stored data ends where its descriptor's size says: the plain bytes are
    // that size less the encryption header. Deflated data's plain size is
    // what came out.
    const uint64_t produced = tracked != nullptr ? tracked->produced : FileSize(temp);
    const uint64_t expected =
        deflated ? produced : ReaderPosition() - dataStart - (encrypted ? kEncryptionHeaderSize : 0);
    DataDescriptor descriptor;
    if (ReadDescriptorAfterData(dataStart, expected, &descriptor)) {
        outcome.hasDescriptor = true;
        outcome.crc = descriptor.crc;
        outcome.uncompressedSize = descriptor.uncompressedSize > 0xFFFFFFFFu
                                       ? 0xFFFFFFFFu
                                       : static_cast<uint32_t>(descriptor.uncompressedSize);
    } else if (deflated) {
        // No descriptor where the stream ended: the end may be one that
        // damage made up, somewhere past the real one.
        RescanStream(dataStart);
    }
    return outcome;
}

void ResetStreamedEntries() { g_streamed = StreamedState{}; }

}  // namespace arcsalve
