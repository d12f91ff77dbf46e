// Intact entries kept as they are (see keep_intact.h).
#include "salvage/keep_intact.h"

#include <cstdlib>

#include "api/messages.h"
#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "common/data_descriptor.h"
#include "common/file_io.h"
#include "common/little_endian.h"
#include "common/run_flags.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "salvage/salvage_entry.h"
#include "salvage/streamed_entry.h"

namespace arcsalve {
namespace {

// Message ids: "    %s: size = %d:  OK", "Unable to re-compress %s".
constexpr uint32_t kMessageOk = 14;
constexpr uint32_t kMessageCannotWrite = 9;

constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;

// The copy moves the data in pieces of this size: large enough that the
// system calls cost nothing beside the disk, small enough to stay in cache.
constexpr uint32_t kCopyPieceSize = 64 * 1024;

// The largest compressed size a rebuilt header can state: its 32-bit field,
// less the value that means "failed" to the salvage.
constexpr int64_t kMaxKeptLength = 0xFFFFFFFE;

struct FreeOnExit {
    void* block;
    ~FreeOnExit() { std::free(block); }
};

}  // namespace

bool MayKeepIntact(const uint8_t header[kLocalHeaderSize]) {
    if ((g_repairFlags & REPAIR_KEEP_INTACT) == 0) return false;
    if (LoadLE16(header + kLhFlags) & kFlagEncrypted) return false;
    const uint16_t method = LoadLE16(header + kLhMethod);
    return method == kMethodStored || method == kMethodDeflated;
}

bool ProvedIntact(const IntactCheck& check) {
    const DecodeOutcome& o = check.outcome;
    return check.decoded && check.crcKnown && o.inOrder && o.produced == check.recordedSize &&
           o.crc == check.recordedCrc && o.streamLength >= 0 && o.streamLength <= kMaxKeptLength;
}

int CopyOriginalData(uint64_t offset, uint64_t length) {
    const uint64_t start = FileTell(g_outputFile);
    FreeOnExit buffer{std::malloc(kCopyPieceSize)};
    bool ok = buffer.block != nullptr && !g_writeFailed;
    while (ok && length > 0) {
        uint32_t want = length < kCopyPieceSize ? static_cast<uint32_t>(length) : kCopyPieceSize;
        uint32_t got = FileReadAt(g_inputFile, offset, buffer.block, want);
        if (got == 0) {
            ok = false;
            break;
        }
        if (WriteFileBytes(g_outputFile, buffer.block, got) != got) {
            g_writeFailed = 1;
            ok = false;
            break;
        }
        offset += got;
        length -= got;
    }
    if (ok) return 1;
    FileSeek(g_outputFile, start);
    FileTruncateHere(g_outputFile);
    return 0;
}

int KeepIfIntact(uint8_t header[kLocalHeaderSize], const char* shown) {
    const uint64_t dataStart = ReaderPosition();
    IntactCheck check{};
    check.recordedSize = LoadLE32(header + kLhUncompressed);
    check.recordedCrc = LoadLE32(header + kLhCrc);
    // A streaming writer that did not know the CRC-32 yet left 0 in the
    // header and put the real one in a descriptor behind the data (bit 3).
    check.crcKnown = !((LoadLE16(header + kLhFlags) & kFlagDataDescriptor) && check.recordedCrc == 0);
    const char noPassword[40] = {};
    DataDescriptor descriptor;
    if (IsStreamedEntry(header)) {
        // The data ends at its descriptor, whose CRC-32 and size stand in for
        // the header's; a kept entry leaves the reader right after it.
        StreamedOutcome streamed =
            SalvageStreamedData(header, kNoFile, 0, noPassword, nullptr, dataStart, &check.outcome);
        check.decoded = streamed.decoded;
        check.crcKnown = streamed.hasDescriptor;
        check.recordedSize = streamed.uncompressedSize;
        check.recordedCrc = streamed.crc;
    } else {
        // The descriptor, when there is one, holds the CRC-32 the writer
        // computed, whatever it left in the header.
        if ((LoadLE16(header + kLhFlags) & kFlagDataDescriptor) && ReadTrailingDescriptor(header, dataStart, &descriptor)) {
            check.crcKnown = true;
            check.recordedCrc = descriptor.crc;
        }
        check.decoded = DecodeEntry(header, kNoFile, 0, noPassword, nullptr, &check.outcome);
    }
    // A stop leaves no trace of the entry in hand, as in every salvage.
    if (g_abortRequested) return 0;

    if (ProvedIntact(check)) {
        const int64_t length = check.outcome.streamLength;
        if (CopyOriginalData(dataStart, static_cast<uint64_t>(length))) {
            StoreLE32(header + kLhCompressed, static_cast<uint32_t>(length));
            StoreLE32(header + kLhUncompressed, check.recordedSize);
            StoreLE32(header + kLhCrc, check.outcome.crc);
            EmitFormatted(MESSAGE_INFO, kMessageOk, shown, static_cast<int32_t>(check.recordedSize));
            return 1;
        }
        // The same end as a re-compression whose write fails.
        if (g_writeFailed) {
            EmitFormatted(MESSAGE_ERROR, kMessageCannotWrite, shown);
            return 0;
        }
        // A read that came up short: the archive is not what it was a moment
        // ago. The classic salvage reads it again and keeps what it finds.
    }
    ReturnToOffset(dataStart);
    return kNotIntact;
}

}  // namespace arcsalve
