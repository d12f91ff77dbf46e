// The salvage of one entry: read and check its local header and name, get a
// password when it is encrypted, decode its data into the temporary file,
// report how much came out, write the header and re-compress the data behind
// it, and rewrite the header with what was really written.
//
// In the new archive an entry's bytes go out in this order: header, name and
// carried extra blocks (once the entry is decoded and checked), the
// re-compressed data, then the header again over the first with the final
// method, sizes and CRC-32. A dropped entry is cut out again, so it leaves nothing behind.
#include <cstdlib>
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "common/data_descriptor.h"
#include "common/entry_name.h"
#include "common/little_endian.h"
#include "common/messages.h"
#include "common/zip_format.h"
#include "decode/decode_frame.h"
#include "platform/crypto.h"
#include "recompress/recompress.h"
#include "salvage/archive_reader.h"
#include "salvage/keep_intact.h"
#include "salvage/listed_names.h"
#include "salvage/salvage_entry.h"
#include "salvage/streamed_entry.h"
#include "ui/password_prompt.h"

namespace arcsalve {
namespace {

constexpr char kTempFileName[] = "arcsalve.tmp";

// A header rewritten over stored or deflated data says "version 2.0
// needed": no encryption. Of the flags only bit 11 (UTF-8 name) can stand: the data
// is no longer encrypted, its sizes stand in the header rather than a
// trailing descriptor, and the deflate level bits no longer describe
// anything.
constexpr uint16_t kVersionNeeded = 20;
// The newest version a method this format defines calls for (LZMA, PPMd).
constexpr uint16_t kVersionNewest = 63;

// The version a reader needs for data kept in its own method: the header's,
// unless damage left one no version of the format has (above 6.3, or a
// garbled high byte); then what the method itself calls for. Readers refuse
// entries that claim to need a newer version than they know.
uint16_t KeptVersion(uint16_t method, uint16_t recorded) {
    if (recorded <= kVersionNewest) return recorded;
    if (method >= kMethodShrunk && method <= kMethodImploded) return 10;  // shrink, reduce, implode
    return method == kMethodDeflate64 ? 21 : method == kMethodBzip2 ? 46 : kVersionNewest;
}

// The header's CRC-32 does not describe the data when it is 0 and the sizes
// and CRC follow the data in a descriptor (flag bit 3): a streaming writer
// did not know them yet.
bool RecordedCrcUnknown(const uint8_t header[kLocalHeaderSize]) {
    return (LoadLE16(header + kLhFlags) & kFlagDataDescriptor) != 0 && LoadLE32(header + kLhCrc) == 0;
}

// What an entry's decoded data is judged by: its size, and the CRC-32s it
// may match (the descriptor's, and the header's when it holds one).
struct Expected {
    uint64_t size;
    bool crcKnown;
    uint32_t crc;
    bool headerCrcKnown;
    uint32_t headerCrc;
};

bool CrcFits(const Expected& e, uint32_t crc) {
    return (e.crcKnown && crc == e.crc) || (e.headerCrcKnown && crc == e.headerCrc);
}

// Moves the output back to `offset` and cuts it there.
void CutOutputAt(FileHandle output, uint64_t offset) {
    FileSeek(output, offset);
    FileTruncateHere(output);
}

// One decode of the entry's data into temp, from the reader's position (the
// data, after any encryption header). A streamed entry's descriptor sets
// what it is judged by; `check`, when given, follows the output.
int DecodeOnce(Salvage& s, const uint8_t header[kLocalHeaderSize], FileHandle temp, int encrypted,
               const uint8_t encHeader[kEncryptionHeaderSize], const AesPrefix* aes, uint64_t dataStart,
               bool streamed, Expected* expected, DecodeOutcome* check) {
    const char* password = s.run.password;
    RepairRun& run = s.run;
    run.resync = ResyncReport{};
    if (!streamed) {
        DecodeContext context = DecodeContextOf(s);
        context.aes = aes;
        // Recovery past damage, for deflated and bzip2 data, within what is
        // left of the run's work allowance.
        const uint16_t method = aes != nullptr ? aes->method : LoadLE16(header + kLhMethod);
        if ((run.flags & REPAIR_RESYNC) &&
            (method == kMethodDeflated || method == kMethodDeflate64 || method == kMethodBzip2)) {
            const uint64_t own = run.limits.resyncWorkBase +
                                 RecordedCompressed(s, header) * run.limits.resyncWorkPerByte;
            run.resync.workLeft = own < run.resyncWorkLeft ? own : run.resyncWorkLeft;
            if (expected->crcKnown) run.resync.crc[run.resync.crcCount++] = expected->crc;
            if (expected->headerCrcKnown) run.resync.crc[run.resync.crcCount++] = expected->headerCrc;
            context.resync = &run.resync;
        }
        const int decoded = DecodeEntry(context, header, temp, encrypted, password, encHeader, check);
        run.resyncWorkLeft -= run.resync.workUsed < run.resyncWorkLeft ? run.resync.workUsed : run.resyncWorkLeft;
        return decoded;
    }
    StreamedOutcome outcome = SalvageStreamedData(s, header, temp, encrypted, password, encHeader, dataStart, check);
    if (outcome.hasDescriptor) {
        expected->size = outcome.uncompressedSize;
        expected->crc = outcome.crc;
        expected->crcKnown = true;
    }
    return outcome.decoded;
}

}  // namespace

int ReadTrailingDescriptor(Salvage& s, const uint8_t header[kLocalHeaderSize], uint64_t dataStart,
                           DataDescriptor* out) {
    const uint64_t compressed = RecordedCompressed(s, header);
    const uint64_t at = dataStart + compressed;
    uint8_t bytes[kLongestDescriptor + kRecordLookahead];
    const uint32_t got = FileReadAt(s.run.input, at, bytes, sizeof bytes);
    const int match = MatchConfirmedDescriptor(bytes, got, compressed, RecordedUncompressed(s, header),
                                               at + got >= s.run.inputSize, out);
    // Sizes of 0 in the header may be a streaming writer's unknowns: the
    // "descriptor" is then data that merely looks like one (12 zero bytes do)
    // unless a record or the end of the input follows it.
    return match == 2 || (match == 1 && compressed != 0);
}

FileHandle CreateTempFile(char path[kMaxPath], const char* name) {
    path[0] = '\0';
    size_t length = GetTempDirectory(path, kMaxPath);
    if (length == 0) return kInvalidFile;
    // The directory gains a separator unless its last character is one
    // (scanned by characters, so a double-byte trail byte never counts).
    const char* last = path;
    for (const char* p = path; *p; p = NextChar(p)) last = p;
    bool needSeparator = *last != kPathSeparator;
    const size_t nameSize = std::strlen(name) + 1;
    if (length + needSeparator + nameSize > kMaxPath) return kInvalidFile;
    if (needSeparator) path[length++] = kPathSeparator;
    std::memcpy(path + length, name, nameSize);
    // Any old file of that name is deleted and a new one created, never
    // through a link, so that salvaged data cannot be redirected.
    return FileCreatePrivate(path);
}

namespace {

// What the entry's data is judged by: the header's size and CRC-32, unless a
// streaming writer left them unknown; with bit 3 the writer put the CRC-32
// it computed in a descriptor after the data, whatever it left in the
// header, and that is read where the header's compressed size says the data
// ends. (A streamed entry's own descriptor is read after its decode.)
Expected ExpectedOf(Salvage& s, const uint8_t header[kLocalHeaderSize], bool streamed, uint64_t dataStart) {
    Expected expected{};
    expected.size = RecordedUncompressed(s, header);
    expected.headerCrc = LoadLE32(header + kLhCrc);
    // With trailing descriptors, the descriptor after the data stands in for
    // the header's zeros (a streaming writer may leave other values than 0
    // in the CRC field).
    expected.headerCrcKnown = !streamed && !RecordedCrcUnknown(header);
    DataDescriptor descriptor;
    if (!streamed && (LoadLE16(header + kLhFlags) & kFlagDataDescriptor) &&
        ReadTrailingDescriptor(s, header, dataStart, &descriptor)) {
        expected.crcKnown = true;
        expected.crc = descriptor.crc;
        if (expected.size == 0) expected.size = descriptor.uncompressedSize;
    }
    return expected;
}

// An encrypted entry's data starts with the 12-byte encryption header. If
// the archive ends inside it, the missing bytes stay 0; the password test
// then fails all but by chance, and the decode ends at once anyway. False
// (reported and counted) when no password passes the check.
bool FindPassword(Salvage& s, const uint8_t header[kLocalHeaderSize], const char* name, const char* shown,
                  uint8_t encryptionHeader[kEncryptionHeaderSize], PasswordSearch& passwords) {
    ReadUpTo(s.reader, encryptionHeader, kEncryptionHeaderSize);
    const uint16_t flags = LoadLE16(header + kLhFlags);
    if (PromptForPassword(s.run, passwords, encryptionHeader, name, LoadLE32(header + kLhCrc),
                          LoadLE16(header + kLhTime), flags))
        return true;
    EmitFormatted(s.run, MESSAGE_ERROR, kTextCannotDecrypt, shown);
    ++s.run.counters.undecryptable;
    return false;
}

// Decodes the data into temp. An encrypted entry is decoded with each
// candidate password that passes the quick check until one gives data of
// the expected CRC-32 (and, for AES, of the right authentication code);
// when none does, the first is used again and the entry fares as damaged.
// Returns the decode's result; a streamed entry's descriptor updates
// `expected`; *authenticated tells whether the AES code matched. With temp
// kNoFile nothing is written, and *checked describes the output.
int DecodeToTemp(Salvage& s, const uint8_t header[kLocalHeaderSize], FileHandle temp, int encrypted,
                 const uint8_t encryptionHeader[kEncryptionHeaderSize], const AesPrefix* aes,
                 PasswordSearch& passwords, uint64_t dataStart, bool streamed, Expected* expected,
                 uint32_t* authenticated, DecodeOutcome* checked = nullptr) {
    const bool secured = encrypted || aes != nullptr;
    RepairRun& run = s.run;
    const uint64_t afterEncryptionHeader = ReaderPosition(s.reader);
    const Expected recorded = *expected;
    char firstPassword[kPasswordBufferSize];
    std::memcpy(firstPassword, run.password, sizeof firstPassword);
    DecodeOutcome check{};
    int decoded;
    for (bool lastTry = false;;) {
        *expected = recorded;
        decoded = DecodeOnce(s, header, temp, encrypted, encryptionHeader, aes, dataStart, streamed, expected,
                             (secured || checked != nullptr) ? &check : nullptr);
        *authenticated = check.authenticated;
        if (!secured || lastTry || RunStopped(&run.status)) break;
        const bool judged = expected->crcKnown || expected->headerCrcKnown;
        if (decoded && (aes == nullptr || check.authenticated) &&
            (!judged || !check.inOrder || (check.produced == expected->size && CrcFits(*expected, check.crc))))
            break;
        if (!NextPasswordForEntry(run, passwords)) {
            std::memcpy(run.password, firstPassword, sizeof firstPassword);
            lastTry = true;
        }
        if (IsOpenFile(temp)) {
            FileSeek(temp, 0);
            FileTruncateHere(temp);
        }
        ReturnToOffset(s.reader, afterEncryptionHeader);
        check = DecodeOutcome{};
    }
    if (checked != nullptr) *checked = check;
    return decoded;
}

// The verdict on what was decoded, by its size: a failed decode is corrupt
// (unrecoverable when nothing came out), a size other than the expected one
// is a warning. Reported and counted; true when the entry is not whole.
bool JudgeSize(RepairRun& run, const char* shown, int decoded, uint64_t size, uint64_t expectedSize) {
    if (!decoded && run.resync.pieces > 0) {
        // Pieces recovered past the damage: the prefix counts as one.
        const ResyncReport& r = run.resync;
        EmitFormatted(run, MESSAGE_ERROR, kTextSalvagedPieces, shown, static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(expectedSize), static_cast<int32_t>(r.pieces + (r.prefix > 0)),
                      static_cast<unsigned long long>(r.unknown));
        ++run.counters.partiallyRecoverable;
        ++run.counters.resynced;
        return true;
    }
    if (!decoded) {
        EmitSizes(run, MESSAGE_ERROR, kTextCorrupt, kTextCorruptLarge, shown, size, expectedSize);
        if (size == 0) ++run.counters.unrecoverable;
        else ++run.counters.partiallyRecoverable;
        return true;
    }
    if (size == expectedSize) return false;
    EmitSizes(run, MESSAGE_WARNING, kTextWrongSize, kTextWrongSizeLarge, shown, size, expectedSize);
    ++run.counters.partiallyRecoverable;
    return true;
}

// The verdict on data of the expected size, by its CRC-32: data whose CRC-32
// differs from the recorded one is damaged, not intact (a stored entry with
// flipped bytes decodes to the right size); data with no CRC-32 to go by is
// kept but never called intact, unless it is AES data whose authentication
// code matched. AES data whose code does not match is damaged, whatever its
// CRC-32. Reported and counted; true when the entry is not intact.
bool JudgeCrc(RepairRun& run, const char* shown, const Expected& expected, uint32_t crc, uint64_t size,
              bool isAes, bool authenticated) {
    if (isAes && !authenticated) {
        EmitFormatted(run, MESSAGE_ERROR, kTextAesCodeMismatch, shown);
        ++run.counters.partiallyRecoverable;
        return true;
    }
    const bool judged = expected.crcKnown || expected.headerCrcKnown;
    if (judged && !CrcFits(expected, crc)) {
        EmitFormatted(run, MESSAGE_ERROR, kTextCrcMismatch, shown, static_cast<unsigned>(crc),
                      static_cast<unsigned>(expected.crcKnown ? expected.crc : expected.headerCrc));
        ++run.counters.partiallyRecoverable;
        return true;
    }
    if (judged || isAes) return false;
    EmitSizes(run, MESSAGE_WARNING, kTextUnverified, kTextUnverifiedLarge, shown, size);
    ++run.counters.unverified;
    return true;
}

// A test-only run judges the entry by a decode that writes nothing, the
// way the salvage below judges what it wrote: the size, then the CRC-32 of
// the data as decoded. Returns as SalvageEntryData does; the entry gets the
// size that would be saved.
int TestEntryData(Salvage& s, SalvageEntry& entry, const char* shown, int encrypted,
                  const uint8_t encryptionHeader[kEncryptionHeaderSize], const AesPrefix* aes,
                  PasswordSearch& passwords, uint64_t dataStart, bool streamed, Expected expected) {
    RepairRun& run = s.run;
    const uint8_t* header = entry.localHeader;
    DecodeOutcome check{};
    const uint64_t dataFrom = ReaderPosition(s.reader);
    uint32_t authenticated = 0;
    const int decoded = DecodeToTemp(s, header, kNoFile, encrypted, encryptionHeader, aes, passwords, dataStart,
                                     streamed, &expected, &authenticated, &check);
    if (run.status.abortRequested) return 0;
    // A stored streamed entry whose search handed on bytes that turned out
    // to lie past its end has no running CRC-32 left; its data is known
    // now, and a second decode of just that much gives it.
    if (!check.inOrder && streamed && LoadLE16(header + kLhMethod) == kMethodStored) {
        const uint64_t resume = ReaderPosition(s.reader);
        uint8_t plain[kLocalHeaderSize];
        std::memcpy(plain, header, kLocalHeaderSize);
        StoreLE16(plain + kLhFlags, LoadLE16(header + kLhFlags) & ~kFlagDataDescriptor);
        const uint64_t length = check.produced + (encrypted ? kEncryptionHeaderSize : 0);
        StoreLE32(plain + kLhCompressed, static_cast<uint32_t>(length));
        StoreLE32(plain + kLhUncompressed, static_cast<uint32_t>(check.produced));
        DecodeContext context = DecodeContextOf(s);
        // Data past 4 GiB (a header that declares ZIP64 sizes) takes the
        // frame's large sizes.
        if (length > kMaxDecodedSize) {
            context.largeCompressed = length;
            context.largeUncompressed = context.decodedLimit = check.produced;
        }
        ReturnToOffset(s.reader, dataFrom);
        DecodeOutcome again{};
        DecodeEntry(context, plain, kNoFile, encrypted, run.password, encryptionHeader, &again);
        ReturnToOffset(s.reader, resume);
        if (again.inOrder && again.produced == check.produced) check = again;
    }
    const uint64_t size = check.produced;
    if (streamed && decoded && !expected.crcKnown && expected.size == 0) expected.size = size;
    bool partial = JudgeSize(run, shown, decoded, size, expected.size);
    entry.uncompressedSize = size;
    if (!partial) {
        // Otherwise output taken back leaves no CRC-32 to go by: the entry
        // is told as not verified rather than called intact.
        if (!check.inOrder) expected.crcKnown = expected.headerCrcKnown = false;
        partial = JudgeCrc(run, shown, expected, check.crc, size, aes != nullptr, authenticated != 0);
    }
    if (partial) return 1;
    EmitSizes(run, MESSAGE_INFO, kTextEntryOk, kTextEntryOkLarge, shown, size);
    if (encrypted || aes != nullptr) RememberCurrentPassword(run);
    return 2;
}

// The start of an AES entry's salvage, with the reader at its salt. Reads
// the salt and verification value into *prefix and finds the password.
// Without one that opens it (or without a cryptographic library in the
// build), or when its method inside has no decoder here, the entry is
// copied as it was, unverified. With one, and when
// intact entries are kept, an intact entry is copied still encrypted.
// Otherwise the entry is decrypted and compressed anew like any other, and
// kNotIntact says so. Any other result is SalvageEntryData's.
int OpenAesEntry(Salvage& s, SalvageEntry& entry, const char* shown, const AesEntry& aes, AesPrefix* prefix,
                 PasswordSearch& passwords, uint64_t dataStart) {
    RepairRun& run = s.run;
    const uint8_t* header = entry.localHeader;
    prefix->strength = aes.strength;
    prefix->method = aes.method;
    ReadUpTo(s.reader, prefix->salt, AesSaltSize(aes.strength));
    ReadUpTo(s.reader, prefix->verifier, kAesVerifierSize);
    // Data whose method has no decoder here is kept as it was too, and no
    // password is asked for: decrypted it would only come back empty.
    const bool decodable = HasDecoder(aes.method);
    const bool opened = decodable && CryptoAvailable() &&
                        PromptForAesPassword(run, passwords, *prefix, entry.name, LoadLE16(header + kLhFlags));
    if (!opened) {
        const int copied = CopyAesUnverified(s, entry, shown, aes, dataStart, !decodable);
        if (copied >= 0) return copied;
        EmitFormatted(run, MESSAGE_ERROR, kTextCannotDecrypt, shown);
        ++run.counters.undecryptable;
        return 0;
    }
    *prefix = passwords.aes;  // with the keys the check derived
    if (run.flags & REPAIR_KEEP_INTACT) {
        const int kept = KeepAesIfIntact(s, entry, shown, aes, *prefix, dataStart);
        if (kept == 1) RememberCurrentPassword(run);
        if (kept != kNotIntact) return kept ? 3 : 0;
    }
    return kNotIntact;
}

// A size into the header copy's 32-bit field, or, when it does not fit, the
// ZIP64 marker there and the size to the scan's large sizes.
void SetRecordedSize(uint8_t* field, uint64_t value, uint64_t* large) {
    StoreLE32(field, value <= kMaxDecodedSize ? static_cast<uint32_t>(value) : kZip64Marker);
    if (value > kMaxDecodedSize) *large = value;
}

// An AES entry written to a pipe (flag bit 3, sizes 0) has its extent, sizes
// and CRC-32 only in the descriptor after its data, which the decoder cannot
// find: the data is enciphered, its authentication code behind it. Found
// (FindConfirmedDescriptor), they go into the header copy as if they had
// stood there, and the entry is salvaged as any other AES entry.
void TakeAesExtent(Salvage& s, uint8_t header[kLocalHeaderSize], const AesEntry& aes, uint64_t dataStart) {
    DataDescriptor found;
    if (!FindConfirmedDescriptor(s, dataStart, static_cast<uint64_t>(AesOverhead(aes.strength)), &found)) return;
    StoreLE32(header + kLhCrc, found.crc);
    SetRecordedSize(header + kLhCompressed, found.compressedSize, &s.largeCompressed);
    SetRecordedSize(header + kLhUncompressed, found.uncompressedSize, &s.largeUncompressed);
}

}  // namespace

bool BeginEntryData(Salvage& s, SalvageEntry& entry) {
    entry.zip64 = LocalHeaderNeedsZip64(entry, s.run.limits.zip64From);
    FileSeek(s.run.output, entry.localHeaderOffset);
    if (WriteLocalHeader(s.run.output, entry)) return true;
    s.run.status.writeFailed = 1;
    return false;
}

// An entry's data: its expectations, its password, an intact copy when it
// may be kept as it is; else its decode into the temporary file, the verdict
// on the size, the re-compression behind the header, the verdict on the
// CRC-32, and the header's final fields. The entry keeps the CRC-32 of what
// was salvaged.
int SalvageEntryData(Salvage& s, SalvageEntry& entry, const AesEntry* aes) {
    RepairRun& run = s.run;
    uint8_t* header = entry.localHeader;
    const char* name = entry.name;
    ++run.counters.filesFound;
    const uint16_t flags = LoadLE16(header + kLhFlags);
    // The data starts here, encryption header included.
    const bool streamed = IsStreamedEntry(run, header);
    const uint64_t dataStart = ReaderPosition(s.reader);
    if (aes != nullptr && (flags & kFlagDataDescriptor) && RecordedCompressed(s, header) == 0)
        TakeAesExtent(s, header, *aes, dataStart);
    Expected expected = ExpectedOf(s, header, streamed, dataStart);
    char shown[kDisplayNameSize];
    EntryDisplayName(name, flags, shown, sizeof shown);

    // Data no decoder here reads goes over as it was, still encrypted when
    // it was: no password is asked for.
    if (aes == nullptr && !HasDecoder(LoadLE16(header + kLhMethod))) return CopyAsItWas(s, entry, shown);

    const int encrypted = (flags & kFlagEncrypted) && aes == nullptr ? 1 : 0;
    uint8_t encryptionHeader[kEncryptionHeaderSize] = {};
    PasswordSearch passwords;
    if (encrypted && !FindPassword(s, header, name, shown, encryptionHeader, passwords)) return 0;
    AesPrefix prefix{};
    if (aes != nullptr) {
        // AE-2 leaves 0 in the CRC-32 field: only the authentication code
        // vouches for the data.
        if (aes->version == 2) expected.crcKnown = expected.headerCrcKnown = false;
        const int opened = OpenAesEntry(s, entry, shown, *aes, &prefix, passwords, dataStart);
        if (opened != kNotIntact) return opened;
    }

    // An entry that may be kept as it is gets a first decode that only checks
    // its output: an intact one then needs no temporary file at all. Any
    // other comes back with the reader at its data again.
    if (MayKeepIntact(run, header)) {
        int kept = KeepIfIntact(s, entry, shown);
        if (kept != kNotIntact) return kept ? 3 : 0;
    }

    if (run.flags & REPAIR_TEST_ONLY)
        return TestEntryData(s, entry, shown, encrypted, encryptionHeader, aes != nullptr ? &prefix : nullptr,
                             passwords, dataStart, streamed, expected);

    char tempPath[kMaxPath];
    FileHandle temp = CreateTempFile(tempPath, kTempFileName);
    if (!IsOpenFile(temp)) {
        EmitFormatted(run, MESSAGE_ERROR, kTextCannotCreateTemp, tempPath);
        ++run.counters.systemErrors;
        return 0;
    }
    uint32_t authenticated = 0;
    const int decoded = DecodeToTemp(s, header, temp, encrypted, encryptionHeader, aes != nullptr ? &prefix : nullptr,
                                     passwords, dataStart, streamed, &expected, &authenticated);
    // A stop requested by the host leaves no trace of the entry in hand and
    // no message about it, whatever the decoder made of it.
    if (run.status.abortRequested) {
        FileClose(temp);
        PathDelete(tempPath);
        return 0;
    }

    // The temporary file holds what was decoded, also after a failure.
    const uint64_t size = FileSize(temp);
    // A complete stream without a descriptor after it: what was decoded is
    // all there is to go by, unless the writer knew the size in advance and
    // put it in the header.
    if (streamed && decoded && !expected.crcKnown && expected.size == 0) expected.size = size;
    bool partial = JudgeSize(run, shown, decoded, size, expected.size);
    FileClose(temp);

    uint32_t method = 0;
    uint32_t crc = 0;
    entry.uncompressedSize = size;
    entry.compressedSize = RecompressedSizeBound(size);
    uint64_t compressed = kRecompressFailed;
    if (BeginEntryData(s, entry)) compressed = RecompressEntry(run, shown, tempPath, size, &method, &crc);
    PathDelete(tempPath);
    // Output past the bound the local header was laid out by could not be
    // stated there (never seen: a guard); the entry fails as any
    // re-compression does.
    if (compressed != kRecompressFailed && !entry.zip64 && compressed >= run.limits.zip64From) {
        EmitFormatted(run, MESSAGE_ERROR, kTextCannotRecompress, shown);
        compressed = kRecompressFailed;
    }
    if (compressed == kRecompressFailed) {
        ++run.counters.recompressFailed;
        return 0;
    }
    if (!partial) partial = JudgeCrc(run, shown, expected, crc, size, aes != nullptr, authenticated != 0);

    entry.compressedSize = compressed;
    StoreLE16(header + kLhMethod, static_cast<uint16_t>(method));
    StoreLE32(header + kLhCrc, crc);
    if (partial) return 1;
    EmitEntryOk(s, shown, size);
    if (encrypted || aes != nullptr) RememberCurrentPassword(run);
    return 2;
}

namespace {

// A ZIP64 local header holds 0xFFFFFFFF in a size field and the real size in
// the ZIP64 extra block (id 0x0001): 8-byte sizes, uncompressed first, only
// for the fields that hold 0xFFFFFFFF; a local header has both once either
// is there, and a block long enough for both is read that way. A real size
// the header's 32-bit field can hold replaces the marker in the header copy;
// a larger one leaves it and goes to the scan's large sizes.
void TakeZip64Sizes(Salvage& s, uint8_t header[kLocalHeaderSize], const uint8_t* extra, uint32_t length) {
    const int fields[2] = {kLhUncompressed, kLhCompressed};
    uint64_t* large[2] = {&s.largeUncompressed, &s.largeCompressed};
    uint32_t size = 0;
    const uint8_t* block = FindExtraBlock(extra, length, kZip64ExtraId, &size);
    if (block == nullptr) return;
    const bool both = size >= 16;
    uint32_t next = 0;
    for (int i = 0; i < 2; ++i) {
        uint8_t* field = header + fields[i];
        if (LoadLE32(field) != kZip64Marker && !both) continue;
        if (next + 8 > size) return;
        const uint64_t value = LoadLE64(block + next);
        next += 8;
        if (LoadLE32(field) == kZip64Marker) SetRecordedSize(field, value, large[i]);
    }
}

int WriteAndSalvage(Salvage& s, SalvageEntry* entry, const AesEntry* aes);

// A ZIP64 marker in a size field, or "version 4.5 needed": the writer
// allowed for sizes past 32 bits, as Info-ZIP does for every entry it zips
// from a pipe, not knowing its size in advance.
bool DeclaresWideSizes(const uint8_t header[kLocalHeaderSize]) {
    constexpr uint8_t kVersionZip64 = 45;
    return LoadLE32(header + kLhCompressed) == kZip64Marker || LoadLE32(header + kLhUncompressed) == kZip64Marker ||
           header[kLhVersion] >= kVersionZip64;
}

// Reads past the extra field; a header with a ZIP64 marker in a size field
// takes the real sizes from it. An encrypted entry of method 99 whose
// 0x9901 block reads well is AES-encrypted: true, and *aes filled.
bool ReadExtraField(Salvage& s, uint8_t header[kLocalHeaderSize], AesEntry* aes) {
    const uint16_t length = LoadLE16(header + kLhExtraLength);
    const bool marked =
        LoadLE32(header + kLhCompressed) == kZip64Marker || LoadLE32(header + kLhUncompressed) == kZip64Marker;
    const bool maybeAes =
        LoadLE16(header + kLhMethod) == kMethodAes && (LoadLE16(header + kLhFlags) & kFlagEncrypted) != 0;
    uint8_t* extra = marked || maybeAes ? static_cast<uint8_t*>(std::malloc(length + 1u)) : nullptr;
    if (extra == nullptr) {
        SkipBytes(s.reader, length);
        return false;
    }
    const int32_t got = ReadUpTo(s.reader, extra, length);
    TakeZip64Sizes(s, header, extra, static_cast<uint32_t>(got));
    const bool isAes = maybeAes && ParseAesExtra(extra, static_cast<size_t>(got), aes);
    std::free(extra);
    return isAes;
}

}  // namespace

uint64_t RecordedUncompressed(const Salvage& s, const uint8_t header[kLocalHeaderSize]) {
    return s.largeUncompressed > 0 ? s.largeUncompressed : LoadLE32(header + kLhUncompressed);
}

uint64_t RecordedCompressed(const Salvage& s, const uint8_t header[kLocalHeaderSize]) {
    return s.largeCompressed > 0 ? s.largeCompressed : LoadLE32(header + kLhCompressed);
}

namespace {

// The verdict on an entry, from SalvageEntryData's result (0 dropped, 1 not
// intact, 2 intact and compressed anew, 3 intact and kept) and the counter
// it raised.
EntryVerdict VerdictOf(int saved, const SalvageCounters& before, const SalvageCounters& after) {
    if (saved == 3) return kVerdictKept;
    if (saved == 2) return kVerdictRecompressed;
    if (saved == 0 || after.unrecoverable != before.unrecoverable) return kVerdictLost;
    if (after.unverified != before.unverified || after.copiedEncrypted != before.copiedEncrypted ||
        after.copiedAsTheyWere != before.copiedAsTheyWere)
        return kVerdictUnverified;
    return kVerdictPartial;
}

// Tells the host what became of the entry: `recorded` is its header as the
// damaged archive holds it (with the scan's large sizes), `entry` as
// salvaged. An entry dropped on a stop is not told of.
void ReportEntry(Salvage& s, const uint8_t recorded[kLocalHeaderSize], const SalvageEntry& entry, int saved,
                 const SalvageCounters& before) {
    const char* name = entry.name;
    if (s.run.status.abortRequested) return;
    EntryReport report{};
    report.name = name;
    report.nameLength = LoadLE16(recorded + kLhNameLength);
    report.flags = LoadLE16(recorded + kLhFlags);
    char shown[kDisplayNameSize];
    EntryDisplayName(name, report.flags, shown, sizeof shown);
    report.shownName = shown;
    report.method = LoadLE16(recorded + kLhMethod);
    report.offset = s.throughDirectory ? s.listedAt : MarkedPosition(s.reader) - 4;
    report.compressedSize = RecordedCompressed(s, recorded);
    report.uncompressedSize = RecordedUncompressed(s, recorded);
    report.verdict = VerdictOf(saved, before, s.run.counters);
    report.written = saved != 0;
    report.throughDirectory = s.throughDirectory;
    if (report.verdict != kVerdictLost) report.savedSize = entry.uncompressedSize;
    if (s.run.resync.pieces > 0 && report.verdict == kVerdictPartial) report.resync = &s.run.resync;
    EmitEntryReport(s.run, report);
}

}  // namespace

int SalvageOneEntry(Salvage& s) {
    RepairRun& run = s.run;
    s.largeCompressed = 0;
    s.largeUncompressed = 0;
    uint8_t header[kLocalHeaderSize] = {'P', 'K', 3, 4};
    if (!ReadBytes(s.reader, header + 4, kLocalHeaderSize - 4)) return kEntryDropped;
    s.wideSizes = DeclaresWideSizes(header);
    // The name length is the only field tested: no real entry has an empty
    // name, and every other length the field can hold is accepted (the name
    // is kept on the heap). Sizes, method, flags, version and dates are taken
    // as they stand.
    const uint16_t nameLength = LoadLE16(header + kLhNameLength);
    if (nameLength == 0) return kHeaderRejected;

    auto* entry = static_cast<SalvageEntry*>(std::calloc(1, sizeof(SalvageEntry)));
    char* name = static_cast<char*>(std::malloc(nameLength + 1u));
    if (entry != nullptr) entry->name = name;
    if (entry == nullptr || name == nullptr) {
        if (entry != nullptr) ReleaseSalvageEntry(entry);
        else std::free(name);
        return kHeaderRejected;
    }
    if (!ReadBytes(s.reader, reinterpret_cast<uint8_t*>(name), nameLength)) {
        EmitText(run, MESSAGE_ERROR, kTextPrematureEnd);
        ReleaseSalvageEntry(entry);
        return kEntryDropped;
    }
    name[nameLength] = '\0';
    NoteFoundName(s.listed, name, nameLength, MarkedPosition(s.reader) - 4);
    std::memcpy(entry->localHeader, header, kLocalHeaderSize);

    // The extra field is not carried over: whatever it describes (time
    // stamps, sizes of a larger archive format) may not fit the new data.
    // Only the real sizes of a ZIP64 header are taken from it first, and an
    // AES entry's 0x9901 block goes with it while it may be copied still
    // encrypted.
    AesEntry aes{};
    const bool isAes = ReadExtraField(s, entry->localHeader, &aes);
    StoreLE16(entry->localHeader + kLhExtraLength, 0);

    const int result = WriteAndSalvage(s, entry, isAes ? &aes : nullptr);
    if (result == kEntrySaved || result == kEntrySavedHere || result == kEntryNotIntact) ForgetLastFoundName(s.listed);
    return result;
}

int SalvageListedEntry(Salvage& s, const uint8_t header[kLocalHeaderSize], const char* name, uint64_t at) {
    const uint16_t nameLength = LoadLE16(header + kLhNameLength);
    auto* entry = static_cast<SalvageEntry*>(std::calloc(1, sizeof(SalvageEntry)));
    char* copy = static_cast<char*>(std::malloc(nameLength + 1u));
    if (entry != nullptr) entry->name = copy;
    if (entry == nullptr || copy == nullptr) {
        if (entry != nullptr) ReleaseSalvageEntry(entry);
        else std::free(copy);
        return kEntryDropped;
    }
    std::memcpy(copy, name, nameLength + 1u);
    std::memcpy(entry->localHeader, header, kLocalHeaderSize);
    s.wideSizes = DeclaresWideSizes(header);
    s.throughDirectory = true;
    s.listedAt = at;
    const int result = WriteAndSalvage(s, entry, nullptr);
    s.throughDirectory = false;
    return result;
}

void EmitEntryOk(Salvage& s, const char* shown, uint64_t size) {
    if (s.throughDirectory) EmitSizes(s.run, MESSAGE_INFO, kTextEntryOkListed, kTextEntryOkListedLarge, shown, size);
    else EmitSizes(s.run, MESSAGE_INFO, kTextEntryOk, kTextEntryOkLarge, shown, size);
}

namespace {

// The entry whose header copy (extra length 0) and name are read: writes them
// to the output, salvages the data behind them, rewrites the header with
// what was written, and lists the entry; or cuts it out again. `aes` is
// given for an AES-encrypted entry.
int WriteAndSalvage(Salvage& s, SalvageEntry* entry, const AesEntry* aes) {
    RepairRun& run = s.run;
    if (!SettleLastEntry(s)) {
        run.status.writeFailed = 1;  // no room to keep it: the run ends with what it saved
        ReleaseSalvageEntry(entry);
        return kEntryDropped;
    }
    char* name = entry->name;
    const uint16_t nameLength = LoadLE16(entry->localHeader + kLhNameLength);
    // Checked before the salvage rewrites the header's sizes. The local
    // header goes out right before the data (BeginEntryData).
    const bool streamed = IsStreamedEntry(run, entry->localHeader);
    const uint64_t entryStart = FileTell(run.output);
    entry->localHeaderOffset = entryStart;
    entry->inputOffset = s.throughDirectory ? s.listedAt : MarkedPosition(s.reader) - 4;

    uint8_t recorded[kLocalHeaderSize];
    std::memcpy(recorded, entry->localHeader, kLocalHeaderSize);
    const SalvageCounters before = run.counters;
    s.run.resync = ResyncReport{};
    const int saved = SalvageEntryData(s, *entry, aes);
    ReportEntry(s, recorded, *entry, saved, before);
    if (!saved) {
        CutOutputAt(run.output, entryStart);
        ReleaseSalvageEntry(entry);
        return kEntryDropped;
    }

    // Bit 11 marks exactly the names that read as UTF-8: readers that trust
    // it would refuse the whole archive over one name that is not, and an
    // unflagged UTF-8 name would read as CP437 under the new "MS-DOS" host.
    // An AES entry copied still encrypted keeps its method 99, its
    // encryption flag, its descriptor's flag and its need for version 5.1.
    uint8_t* h = entry->localHeader;
    const uint16_t oldFlags = LoadLE16(h + kLhFlags);
    uint16_t newFlags = NameIsUtf8(name, nameLength, oldFlags) ? kFlagUtf8 : 0;
    const uint16_t method = LoadLE16(h + kLhMethod);
    if (aes != nullptr && method == kMethodAes) {
        newFlags |= kFlagEncrypted | (oldFlags & kFlagDataDescriptor);
        StoreLE16(h + kLhVersion, kVersionNeededAes);
    } else if (method == kMethodStored || method == kMethodDeflated) {
        StoreLE16(h + kLhVersion, kVersionNeeded);
    } else {
        StoreLE16(h + kLhVersion, KeptVersion(method, LoadLE16(h + kLhVersion)));
        // Data kept in its own method keeps the version it needs and the
        // flags it is read by: bits 1 and 2 (LZMA's end marker), bit 0 when
        // it was copied still encrypted, and then bit 3, whose presence
        // tells a reader which byte checks the password.
        newFlags |= oldFlags & (kFlagEncrypted | 0x0006);
        if (oldFlags & kFlagEncrypted) newFlags |= oldFlags & kFlagDataDescriptor;
    }
    StoreLE16(h + kLhFlags, newFlags);
    const uint64_t entryEnd = FileTell(run.output);
    FileSeek(run.output, entryStart);
    WriteLocalHeader(run.output, *entry);
    FileSeek(run.output, entryEnd);
    // The output's writes are buffered (scan.cpp): the entry is saved once
    // its bytes reached the file. A failure ends the run as any failed write.
    if (!FileFlush(run.output)) {
        run.status.writeFailed = 1;
        CutOutputAt(run.output, entryStart);
        ReleaseSalvageEntry(entry);
        return kEntryDropped;
    }
    AppendSalvageEntry(s, entry);
    if (saved < 2) return kEntryNotIntact;
    return streamed ? kEntrySavedHere : kEntrySaved;
}

}  // namespace

}  // namespace arcsalve
