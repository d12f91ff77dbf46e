// The salvage of one entry: read and check its local header and name, copy
// them into the new archive, get a password when it is encrypted, decode its
// data into the temporary file, report how much came out, re-compress that
// behind the header, and rewrite the header with what was really written.
//
// In the new archive an entry's bytes go out in this order: header and name,
// the re-compressed data, then the header again with the final method, sizes
// and CRC-32. A dropped entry is cut out again, so it leaves nothing behind.
#include <cstdlib>
#include <cstring>

#include "api/messages.h"
#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "common/data_descriptor.h"
#include "common/file_io.h"
#include "common/little_endian.h"
#include "common/run_flags.h"
#include "common/zip_format.h"
#include "decode/decode_frame.h"
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

// The rewritten header says "version 2.0 needed": stored or deflated data,
// no encryption. Of the flags only bit 11 (UTF-8 name) can stand: the data
// is no longer encrypted, its sizes stand in the header rather than a
// trailing descriptor, and the deflate level bits no longer describe
// anything.
constexpr uint16_t kVersionNeeded = 20;

// The header's CRC-32 does not describe the data when it is 0 and the sizes
// and CRC follow the data in a descriptor (flag bit 3): a streaming writer
// did not know them yet.
bool RecordedCrcUnknown(const uint8_t header[kLocalHeaderSize]) {
    return (LoadLE16(header + kLhFlags) & kFlagDataDescriptor) != 0 && LoadLE32(header + kLhCrc) == 0;
}

// What an entry's decoded data is judged by: its size, and the CRC-32s it
// may match (the descriptor's, and the header's when it holds one).
struct Expected {
    uint32_t size;
    bool crcKnown;
    uint32_t crc;
    bool headerCrcKnown;
    uint32_t headerCrc;
};

bool CrcFits(const Expected& e, uint32_t crc) {
    return (e.crcKnown && crc == e.crc) || (e.headerCrcKnown && crc == e.headerCrc);
}

void Write(const void* data, uint32_t count) { WriteFileBytes(g_outputFile, data, count); }

// Moves the output back to `offset` and cuts it there.
void CutOutputAt(uint64_t offset) {
    FileSeek(g_outputFile, offset);
    FileTruncateHere(g_outputFile);
}

void FreeRecord(SalvageEntry* entry, char* name) {
    std::free(name);
    std::free(entry);
}

// Whether bytes are well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n;) {
        const uint8_t b = p[i];
        size_t more;
        uint32_t lowest;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            more = 1, lowest = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            more = 2, lowest = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            more = 3, lowest = 0x10000;
        } else {
            return false;
        }
        if (n - i <= more) return false;
        uint32_t cp = b & (0x3F >> more);
        for (size_t k = 1; k <= more; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

// Whether a name reads as UTF-8: it is well-formed UTF-8, and flagged so
// (bit 11) or holding a byte above 127. The unflagged case matters because
// the rebuilt central directory says "made on MS-DOS", under which readers
// take an unflagged name as CP437: archives written on Unix and macOS store
// UTF-8 names without the flag (their host field told readers), and their
// accented names would come back garbled. A real CP437 name is almost never
// well-formed UTF-8 (a box-drawing or Greek letter would have to stand
// before accented letters, byte for byte as UTF-8 wants them). A name
// flagged as UTF-8 that is not is read, and kept, as CP437.
bool NameIsUtf8(const char* name, size_t length, uint16_t flags) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(name);
    if (!IsUtf8(bytes, length)) return false;
    if (flags & kFlagUtf8) return true;
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] >= 0x80) return true;
    return false;
}

// One decode of the entry's data into temp, from the reader's position (the
// data, after any encryption header). A streamed entry's descriptor sets
// what it is judged by; `check`, when given, follows the output.
int DecodeOnce(const uint8_t header[kLocalHeaderSize], FileHandle temp, int encrypted,
               const uint8_t encHeader[kEncryptionHeaderSize], uint64_t dataStart, bool streamed,
               Expected* expected, DecodeOutcome* check) {
    if (!streamed) return DecodeEntry(header, temp, encrypted, CurrentPassword, encHeader, check);
    StreamedOutcome outcome =
        SalvageStreamedData(header, temp, encrypted, CurrentPassword, encHeader, dataStart, check);
    if (outcome.hasDescriptor) {
        expected->size = outcome.uncompressedSize;
        expected->crc = outcome.crc;
        expected->crcKnown = true;
    }
    return outcome.decoded;
}

}  // namespace

int ReadTrailingDescriptor(const uint8_t header[kLocalHeaderSize], uint64_t dataStart, DataDescriptor* out) {
    const uint32_t compressed = LoadLE32(header + kLhCompressed);
    const uint64_t at = dataStart + compressed;
    uint8_t bytes[kLongestDescriptor + kRecordLookahead];
    const uint32_t got = FileReadAt(g_inputFile, at, bytes, sizeof bytes);
    const int match = MatchConfirmedDescriptor(bytes, got, compressed, LoadLE32(header + kLhUncompressed),
                                               at + got >= g_inputSize, out);
    // Sizes of 0 in the header may be a streaming writer's unknowns: the
    // "descriptor" is then data that merely looks like one (12 zero bytes do)
    // unless a record or the end of the input follows it.
    return match == 2 || (match == 1 && compressed != 0);
}

size_t EntryDisplayName(const char* name, uint16_t flags, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t length = std::strlen(name);
    const bool utf8 = NameIsUtf8(name, length, flags);
    if (length <= kShownNameBytes) return utf8 ? Utf8ToHost(name, out, capacity) : OemToHost(name, out, capacity);
    // A long name is shown by its start, cut at a whole character.
    char start[kShownNameBytes + 1];
    length = kShownNameBytes;
    while (utf8 && length > 0 && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) --length;
    std::memcpy(start, name, length);
    start[length] = '\0';
    size_t shown = utf8 ? Utf8ToHost(start, out, capacity) : OemToHost(start, out, capacity);
    if (shown + 3 < capacity) {
        std::memcpy(out + shown, "...", 4);
        shown += 3;
    }
    return shown;
}

FileHandle CreateTempFile(char path[kMaxPath]) {
    path[0] = '\0';
    size_t length = GetTempDirectory(path, kMaxPath);
    if (length == 0) return kInvalidFile;
    // The directory gains a separator unless its last character is one
    // (scanned by characters, so a double-byte trail byte never counts).
    const char* last = path;
    for (const char* p = path; *p; p = NextChar(p)) last = p;
    bool needSeparator = *last != kPathSeparator;
    if (length + needSeparator + sizeof kTempFileName > kMaxPath) return kInvalidFile;
    if (needSeparator) path[length++] = kPathSeparator;
    std::memcpy(path + length, kTempFileName, sizeof kTempFileName);
    // Any old file of that name is deleted and a new one created, never
    // through a link, so that salvaged data cannot be redirected.
    return FileCreatePrivate(path);
}

int SalvageEntryData(uint8_t header[kLocalHeaderSize], const char* name) {
    SalvageCounters& counters = Counters();
    ++counters.filesFound;
    const uint16_t flags = LoadLE16(header + kLhFlags);
    Expected expected{};
    expected.size = LoadLE32(header + kLhUncompressed);
    expected.headerCrc = LoadLE32(header + kLhCrc);
    expected.headerCrcKnown = !RecordedCrcUnknown(header);
    // With trailing descriptors, the descriptor after the data stands in for
    // the header's zeros (a streaming writer may leave other values than 0
    // in the CRC field); the data starts here, encryption header included.
    const bool streamed = IsStreamedEntry(header);
    const uint64_t dataStart = ReaderPosition();
    if (streamed) expected.headerCrcKnown = false;
    // With bit 3 the writer put the CRC-32 it computed in a descriptor after
    // the data, whatever it left in the header: it is read where the
    // header's compressed size says the data ends.
    DataDescriptor descriptor;
    if (!streamed && (flags & kFlagDataDescriptor) && ReadTrailingDescriptor(header, dataStart, &descriptor)) {
        expected.crcKnown = true;
        expected.crc = descriptor.crc;
        if (expected.size == 0 && descriptor.uncompressedSize <= 0xFFFFFFFFu)
            expected.size = static_cast<uint32_t>(descriptor.uncompressedSize);
    }
    char shown[kDisplayNameSize];
    EntryDisplayName(name, flags, shown, sizeof shown);

    // An encrypted entry's data starts with the 12-byte encryption header. If
    // the archive ends inside it, the missing bytes stay 0; the password test
    // then fails all but by chance, and the decode ends at once anyway.
    const int encrypted = (flags & kFlagEncrypted) ? 1 : 0;
    uint8_t encryptionHeader[kEncryptionHeaderSize] = {};
    if (encrypted) {
        ReadUpTo(encryptionHeader, kEncryptionHeaderSize);
        if (!PromptForPassword(encryptionHeader, name, expected.headerCrc, LoadLE16(header + kLhTime), flags)) {
            EmitFormatted(MESSAGE_ERROR, 10, shown);
            ++counters.undecryptable;
            return 0;
        }
    }
    const uint64_t afterEncryptionHeader = ReaderPosition();

    // An entry that may be kept as it is gets a first decode that only checks
    // its output: an intact one then needs no temporary file at all. Any
    // other comes back with the reader at its data again.
    if (MayKeepIntact(header)) {
        int kept = KeepIfIntact(header, shown);
        if (kept != kNotIntact) return kept ? 2 : 0;
    }

    char tempPath[kMaxPath];
    FileHandle temp = CreateTempFile(tempPath);
    if (!IsOpenFile(temp)) {
        EmitFormatted(MESSAGE_ERROR, 11, tempPath);
        ++counters.systemErrors;
        return 0;
    }

    // An encrypted entry is decoded with each candidate password that passes
    // the one-byte check until one gives data of the expected CRC-32; when
    // none does, the first is used again and the entry fares as damaged.
    const Expected recorded = expected;
    char firstPassword[kPasswordBufferSize];
    std::memcpy(firstPassword, CurrentPassword, sizeof firstPassword);
    DecodeOutcome check{};
    int decoded;
    for (bool lastTry = false;;) {
        expected = recorded;
        decoded = DecodeOnce(header, temp, encrypted, encryptionHeader, dataStart, streamed, &expected,
                             encrypted ? &check : nullptr);
        if (!encrypted || lastTry || g_abortRequested || g_writeFailed) break;
        const bool judged = expected.crcKnown || expected.headerCrcKnown;
        if (decoded && (!judged || !check.inOrder || (check.produced == expected.size && CrcFits(expected, check.crc))))
            break;
        if (!NextPasswordForEntry()) {
            std::memcpy(CurrentPassword, firstPassword, sizeof firstPassword);
            lastTry = true;
        }
        FileSeek(temp, 0);
        FileTruncateHere(temp);
        ReturnToOffset(afterEncryptionHeader);
        check = DecodeOutcome{};
    }
    // A stop requested by the host leaves no trace of the entry in hand and
    // no message about it, whatever the decoder made of it.
    if (g_abortRequested) {
        FileClose(temp);
        PathDelete(tempPath);
        return 0;
    }

    // The temporary file holds what was decoded, also after a failure.
    uint64_t tempSize = FileSize(temp);
    const uint32_t size = tempSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(tempSize);
    bool partial = false;
    // A complete stream without a descriptor after it: what was decoded is
    // all there is to go by, unless the writer knew the size in advance and
    // put it in the header.
    if (streamed && decoded && !expected.crcKnown && expected.size == 0) expected.size = size;
    if (!decoded) {
        EmitFormatted(MESSAGE_ERROR, 12, shown, static_cast<int32_t>(size), static_cast<int32_t>(expected.size));
        if (size == 0) ++counters.unrecoverable;
        else ++counters.partiallyRecoverable;
        partial = true;
    } else if (size != expected.size) {
        EmitFormatted(MESSAGE_WARNING, 13, shown, static_cast<int32_t>(size), static_cast<int32_t>(expected.size));
        ++counters.partiallyRecoverable;
        partial = true;
    }
    StoreLE32(header + kLhUncompressed, size);
    FileClose(temp);

    uint32_t method = 0;
    uint32_t crc = 0;
    uint32_t compressed = RecompressEntry(shown, tempPath, size, &method, &crc);
    PathDelete(tempPath);
    if (compressed == kRecompressFailed) {
        ++counters.recompressFailed;
        return 0;
    }

    // Data of the recorded size whose CRC-32 differs from the recorded one is
    // damaged, not intact: a stored entry with flipped bytes decodes to the
    // right size. The entry keeps the CRC-32 of what was salvaged. Data with
    // no CRC-32 to go by is kept but never called intact.
    const bool judged = expected.crcKnown || expected.headerCrcKnown;
    if (!partial && judged && !CrcFits(expected, crc)) {
        EmitFormatted(MESSAGE_ERROR, 15, shown, static_cast<unsigned>(crc),
                      static_cast<unsigned>(expected.crcKnown ? expected.crc : expected.headerCrc));
        ++counters.partiallyRecoverable;
        partial = true;
    } else if (!partial && !judged) {
        EmitFormatted(MESSAGE_WARNING, 32, shown, static_cast<int32_t>(size));
        ++counters.unverified;
        partial = true;
    }

    StoreLE32(header + kLhCompressed, compressed);
    StoreLE16(header + kLhMethod, static_cast<uint16_t>(method));
    StoreLE32(header + kLhCrc, crc);
    if (partial) return 1;
    EmitFormatted(MESSAGE_INFO, 14, shown, static_cast<int32_t>(size));
    if (encrypted) RememberCurrentPassword();
    return 2;
}

int SalvageOneEntry() {
    uint8_t header[kLocalHeaderSize] = {'P', 'K', 3, 4};
    if (!ReadBytes(header + 4, kLocalHeaderSize - 4)) return kEntryDropped;
    // The name length is the only field tested: no real entry has an empty
    // name, and every other length the field can hold is accepted (the name
    // is kept on the heap). Sizes, method, flags, version and dates are taken
    // as they stand.
    const uint16_t nameLength = LoadLE16(header + kLhNameLength);
    if (nameLength == 0) return kHeaderRejected;

    auto* entry = static_cast<SalvageEntry*>(std::calloc(1, sizeof(SalvageEntry)));
    char* name = static_cast<char*>(std::malloc(nameLength + 1u));
    if (entry == nullptr || name == nullptr) {
        FreeRecord(entry, name);
        return kHeaderRejected;
    }
    if (!ReadBytes(reinterpret_cast<uint8_t*>(name), nameLength)) {
        EmitMessage(MESSAGE_ERROR, LoadMessageText(16));
        FreeRecord(entry, name);
        return kEntryDropped;
    }
    name[nameLength] = '\0';
    entry->name = name;
    NoteFoundName(name, nameLength);
    std::memcpy(entry->localHeader, header, kLocalHeaderSize);

    // The extra field is not carried over: whatever it describes (time
    // stamps, sizes of a larger archive format) may not fit the new data.
    SkipBytes(LoadLE16(header + kLhExtraLength));
    StoreLE16(entry->localHeader + kLhExtraLength, 0);

    // Checked before the salvage rewrites the header's sizes.
    const bool streamed = IsStreamedEntry(entry->localHeader);
    const uint64_t entryStart = FileTell(g_outputFile);
    entry->localHeaderOffset = entryStart;
    Write(entry->localHeader, kLocalHeaderSize);
    Write(name, nameLength);

    const int saved = SalvageEntryData(entry->localHeader, name);
    if (!saved) {
        CutOutputAt(entryStart);
        FreeRecord(entry, name);
        return kEntryDropped;
    }

    // Bit 11 marks exactly the names that read as UTF-8: readers that trust
    // it would refuse the whole archive over one name that is not, and an
    // unflagged UTF-8 name would read as CP437 under the new "MS-DOS" host.
    uint8_t* h = entry->localHeader;
    StoreLE16(h + kLhFlags, NameIsUtf8(name, nameLength, LoadLE16(h + kLhFlags)) ? kFlagUtf8 : 0);
    StoreLE16(h + kLhVersion, kVersionNeeded);
    const uint64_t entryEnd = FileTell(g_outputFile);
    FileSeek(g_outputFile, entryStart);
    Write(h, kLocalHeaderSize);
    FileSeek(g_outputFile, entryEnd);
    AppendSalvageEntry(entry);
    if (saved != 2) return kEntryNotIntact;
    return streamed ? kEntrySavedHere : kEntrySaved;
}

}  // namespace arcsalve
