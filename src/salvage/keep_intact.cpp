// Intact entries kept as they are (see keep_intact.h).
#include "salvage/keep_intact.h"

#include <cstdlib>
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "common/data_descriptor.h"
#include "common/little_endian.h"
#include "common/messages.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "salvage/salvage_entry.h"
#include "salvage/streamed_entry.h"
#include "salvage/verify_ahead.h"

namespace arcsalve {
bool WriteDescriptorOf(RepairRun& run, const SalvageEntry& entry) {
    uint8_t descriptor[kLongestDescriptor];
    StoreLE32(descriptor, 0x08074B50);  // "PK", 7, 8
    StoreLE32(descriptor + 4, LoadLE32(entry.localHeader + kLhCrc));
    const uint32_t length = entry.zip64 ? 24 : 16;
    if (entry.zip64) {
        StoreLE64(descriptor + 8, entry.compressedSize);
        StoreLE64(descriptor + 16, entry.uncompressedSize);
    } else {
        StoreLE32(descriptor + 8, static_cast<uint32_t>(entry.compressedSize));
        StoreLE32(descriptor + 12, static_cast<uint32_t>(entry.uncompressedSize));
    }
    if (FileWrite(run.output, descriptor, length) == length) return true;
    run.status.writeFailed = 1;
    return false;
}

bool MayKeepIntact(const RepairRun& run, const uint8_t header[kLocalHeaderSize]) {
    if ((run.flags & REPAIR_KEEP_INTACT) == 0) return false;
    if (LoadLE16(header + kLhFlags) & kFlagEncrypted) return false;
    const uint16_t method = LoadLE16(header + kLhMethod);
    switch (method) {
        case kMethodStored:
        case kMethodDeflated:
        case kMethodDeflate64:
        case kMethodBzip2:
        case kMethodLzma:
        case kMethodXz:
        case kMethodZstd: return HasDecoder(method);
        default: return false;
    }
}

bool ProvedIntact(const IntactCheck& check) {
    const DecodeOutcome& o = check.outcome;
    return check.decoded && check.crcKnown && o.inOrder && o.produced == check.recordedSize &&
           o.crc == check.recordedCrc && o.streamLength >= 0;
}

int CopyOriginalData(RepairRun& run, uint64_t offset, uint64_t length) {
    const uint64_t start = FileTell(run.output);
    bool shortRead = false;
    if (!run.status.writeFailed && FileCopyAt(run.input, offset, run.output, length, &shortRead) == length) return 1;
    if (!shortRead) run.status.writeFailed = 1;
    FileSeek(run.output, start);
    FileTruncateHere(run.output);
    return 0;
}

int CopyAsItWas(Salvage& s, SalvageEntry& entry, const char* shown) {
    RepairRun& run = s.run;
    uint8_t* header = entry.localHeader;
    const uint64_t dataStart = ReaderPosition(s.reader);
    const uint16_t flags = LoadLE16(header + kLhFlags);
    const uint64_t compressed = RecordedCompressed(s, header);
    // A streaming writer's zeros say nothing of where the data ends, nor
    // does a ZIP64 marker without a ZIP64 block's size.
    const bool streamedZeros = (flags & kFlagDataDescriptor) && compressed == 0;
    const bool unknown = LoadLE32(header + kLhCompressed) == kZip64Marker && s.largeCompressed == 0;
    if (streamedZeros || unknown || dataStart + compressed > run.inputSize) {
        EmitSizes(run, MESSAGE_ERROR, kTextCorrupt, kTextCorruptLarge, shown, 0, RecordedUncompressed(s, header));
        ++run.counters.unrecoverable;
        return 0;
    }
    entry.compressedSize = compressed;
    entry.uncompressedSize = RecordedUncompressed(s, header);
    DataDescriptor descriptor;
    if ((flags & kFlagDataDescriptor) && ReadTrailingDescriptor(s, header, dataStart, &descriptor)) {
        StoreLE32(header + kLhCrc, descriptor.crc);
        entry.uncompressedSize = descriptor.uncompressedSize;
        if (descriptor.uncompressedSize <= 0xFFFFFFFFu)
            StoreLE32(header + kLhUncompressed, static_cast<uint32_t>(descriptor.uncompressedSize));
    }
    if (!BeginEntryData(s, entry) || !CopyOriginalData(run, dataStart, compressed)) {
        if (run.status.writeFailed) EmitFormatted(run, MESSAGE_ERROR, kTextCannotRecompress, shown);
        else EmitSizes(run, MESSAGE_ERROR, kTextCorrupt, kTextCorruptLarge, shown, 0, entry.uncompressedSize);
        ++run.counters.unrecoverable;
        return 0;
    }
    // Encrypted data keeps flag bit 3 when it had it, as the bit tells which
    // byte checks the password; the bit then promises a data descriptor.
    if ((flags & kFlagEncrypted) && (flags & kFlagDataDescriptor) && !WriteDescriptorOf(run, entry)) {
        EmitFormatted(run, MESSAGE_ERROR, kTextCannotRecompress, shown);
        return 0;
    }
    ReturnToOffset(s.reader, dataStart + compressed);
    EmitFormatted(run, MESSAGE_WARNING, kTextCopiedAsItWas, shown, static_cast<int>(LoadLE16(header + kLhMethod)));
    ++run.counters.copiedAsTheyWere;
    return 1;
}

int KeepIfIntact(Salvage& s, SalvageEntry& entry, const char* shown) {
    RepairRun& run = s.run;
    uint8_t* header = entry.localHeader;
    const uint64_t dataStart = ReaderPosition(s.reader);
    IntactCheck check{};
    check.recordedSize = RecordedUncompressed(s, header);
    check.recordedCrc = LoadLE32(header + kLhCrc);
    // A streaming writer that did not know the CRC-32 yet left 0 in the
    // header and put the real one in a descriptor behind the data (bit 3).
    check.crcKnown = !((LoadLE16(header + kLhFlags) & kFlagDataDescriptor) && check.recordedCrc == 0);
    const char noPassword[40] = {};
    DataDescriptor descriptor;
    if (IsStreamedEntry(run, header)) {
        // The data ends at its descriptor, whose CRC-32 and size stand in for
        // the header's; a kept entry leaves the reader right after it.
        StreamedOutcome streamed =
            SalvageStreamedData(s, header, kNoFile, 0, noPassword, nullptr, dataStart, &check.outcome);
        check.decoded = streamed.decoded;
        check.crcKnown = streamed.hasDescriptor;
        check.recordedSize = streamed.uncompressedSize;
        check.recordedCrc = streamed.crc;
    } else {
        // The descriptor, when there is one, holds the CRC-32 the writer
        // computed, whatever it left in the header.
        if ((LoadLE16(header + kLhFlags) & kFlagDataDescriptor) &&
            ReadTrailingDescriptor(s, header, dataStart, &descriptor)) {
            check.crcKnown = true;
            check.recordedCrc = descriptor.crc;
        }
        if (!TakeVerifiedDecode(s, header, dataStart, &check.decoded, &check.outcome))
            check.decoded = DecodeEntry(DecodeContextOf(s), header, kNoFile, 0, noPassword, nullptr, &check.outcome);
    }
    // A stop leaves no trace of the entry in hand, as in every salvage.
    if (run.status.abortRequested) return 0;

    if (ProvedIntact(check)) {
        entry.compressedSize = static_cast<uint64_t>(check.outcome.streamLength);
        entry.uncompressedSize = check.recordedSize;
        // A test-only run keeps nothing: what it tells is that the copy
        // would be made.
        if ((run.flags & REPAIR_TEST_ONLY) ||
            (BeginEntryData(s, entry) && CopyOriginalData(run, dataStart, entry.compressedSize))) {
            StoreLE32(header + kLhCrc, check.outcome.crc);
            EmitEntryOk(s, shown, check.recordedSize);
            return 1;
        }
        // The same end as a re-compression whose write fails.
        if (run.status.writeFailed) {
            EmitFormatted(run, MESSAGE_ERROR, kTextCannotRecompress, shown);
            return 0;
        }
        // A read that came up short: the archive is not what it was a moment
        // ago. The classic salvage reads it again and keeps what it finds.
    }
    ReturnToOffset(s.reader, dataStart);
    return kNotIntact;
}

}  // namespace arcsalve
