// AES-encrypted entries kept as they are: still encrypted, with their method
// 99 and 0x9901 block. An entry whose authentication code (and, for AE-1,
// CRC-32) checks out with a known password is intact and copied whole; one
// that no password opens is copied too, unverified, rather than lost.
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "common/little_endian.h"
#include "common/messages.h"
#include "platform/crypto.h"
#include "salvage/archive_reader.h"
#include "salvage/keep_intact.h"
#include "salvage/rebuilt_headers.h"
#include "salvage/salvage_entry.h"

namespace arcsalve {
namespace {

// The entry's data, salt to authentication code, as the header records its
// length; 0 when it does not lie wholly in the input.
uint64_t RecordedExtent(const Salvage& s, const uint8_t header[kLocalHeaderSize], uint64_t dataStart) {
    const uint64_t length = RecordedCompressed(s, header);
    return dataStart + length <= s.run.inputSize ? length : 0;
}

// Writes the entry's local header carrying its 0x9901 block and copies the
// data as it was (and its descriptor); the entry keeps the recorded sizes and CRC-32. 0
// after a failed write (reported) or a short read, the block then taken
// off again.
int CopyWhole(Salvage& s, SalvageEntry& entry, const char* shown, const AesEntry& aes, uint64_t dataStart,
              uint64_t length) {
    uint8_t block[kAesExtraDataSize] = {0, 0, 'A', 'E', aes.strength, 0, 0};
    StoreLE16(block, aes.version);
    StoreLE16(block + 5, aes.method);
    entry.compressedSize = length;
    entry.uncompressedSize = RecordedUncompressed(s, entry.localHeader);
    // A test-only run keeps nothing: what it tells is that the copy would be
    // made.
    if (s.run.flags & REPAIR_TEST_ONLY) return 1;
    const uint16_t before = entry.carried.length;
    // Flag bit 3 stays (WinZip writes it on AES entries), and with it the descriptor.
    const bool descriptor = (LoadLE16(entry.localHeader + kLhFlags) & kFlagDataDescriptor) != 0;
    if (CarryExtraBlock(entry.carried, kAesExtraId, block, kAesExtraDataSize) && BeginEntryData(s, entry) &&
        CopyOriginalData(s.run, dataStart, length) && (!descriptor || WriteDescriptorOf(s.run, entry)))
        return 1;
    entry.carried.length = before;
    if (s.run.status.writeFailed) EmitFormatted(s.run, MESSAGE_ERROR, kTextCannotRecompress, shown);
    return 0;
}

}  // namespace

int KeepAesIfIntact(Salvage& s, SalvageEntry& entry, const char* shown, const AesEntry& aes,
                    const AesPrefix& prefix, uint64_t dataStart) {
    RepairRun& run = s.run;
    const uint8_t* header = entry.localHeader;
    const uint64_t afterPrefix = ReaderPosition(s.reader);
    const uint64_t length = RecordedExtent(s, header, dataStart);
    if (length == 0) return kNotIntact;
    DecodeContext context = DecodeContextOf(s);
    context.aes = &prefix;
    IntactCheck check{};
    check.recordedSize = RecordedUncompressed(s, header);
    check.recordedCrc = LoadLE32(header + kLhCrc);
    check.decoded = DecodeEntry(context, header, kNoFile, 0, run.password, nullptr, &check.outcome);
    if (run.status.abortRequested) return 0;
    // AE-2 records no CRC-32: the authentication code stands for it.
    const DecodeOutcome& o = check.outcome;
    const bool crcFits = aes.version == 2 || o.crc == check.recordedCrc;
    if (check.decoded && o.authenticated && o.inOrder && o.produced == check.recordedSize && crcFits) {
        if (CopyWhole(s, entry, shown, aes, dataStart, length)) {
            EmitSizes(run, MESSAGE_INFO, kTextEntryOk, kTextEntryOkLarge, shown, check.recordedSize);
            return 1;
        }
        if (run.status.writeFailed) return 0;
        // A short read: the archive changed under us. The entry is read again.
    }
    ReturnToOffset(s.reader, afterPrefix);
    return kNotIntact;
}

int CopyAesUnverified(Salvage& s, SalvageEntry& entry, const char* shown, const AesEntry& aes, uint64_t dataStart,
                      bool noDecoder) {
    const uint64_t length = RecordedExtent(s, entry.localHeader, dataStart);
    if (length == 0) return -1;
    if (!CopyWhole(s, entry, shown, aes, dataStart, length)) return 0;
    if (noDecoder) EmitFormatted(s.run, MESSAGE_WARNING, kTextAesNoDecoder, shown, static_cast<int>(aes.method));
    else EmitFormatted(s.run, MESSAGE_WARNING, CryptoAvailable() ? kTextAesUnverified : kTextAesNoCrypto, shown);
    ++s.run.counters.copiedEncrypted;
    return 1;
}

}  // namespace arcsalve
