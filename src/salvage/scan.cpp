// The salvage loop. The damaged archive's own central directory is never
// trusted: the whole input is read byte by byte for local header signatures
// ("PK", 3, 4), every hit is handed to the entry salvage, and the entries
// that were saved get a fresh central directory and end record.
//
// The rebuilt archive: for each saved entry, in input order, its 30-byte
// local header, name, the extra blocks it carries (rebuilt_headers.h) and
// its data (no encryption headers or data descriptors); then one central
// directory record, name and extra field per entry; then the end record
// (preceded by a ZIP64 end record and its locator where a count, size or
// offset needs them) and nothing after it.
#include "salvage/scan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "common/little_endian.h"
#include "common/messages.h"
#include "common/zip_format.h"
#include "salvage/archive_reader.h"
#include "salvage/directory_metadata.h"
#include "salvage/directory_recovery.h"
#include "salvage/keep_intact.h"
#include "salvage/listed_names.h"
#include "salvage/rebuilt_headers.h"
#include "salvage/salvage_entry.h"
#include "salvage/streamed_entry.h"
#include "salvage/verify_ahead.h"

namespace arcsalve {
namespace {

// After a saved entry the scan looks again at the last bytes the decoder
// consumed: a decoder's bit buffer may have read a few bytes past its data,
// and a signature may start among them.
constexpr int32_t kRescanAfterEntry = 8;


// The end record counts entries in 16 bits and gives the directory's size
// and offset in 32. Past 65,535 entries, or with a size or offset from the
// run's zip64From on (the directory's, or an entry's: a ZIP64 archive says
// so at its end too), the archive gets a ZIP64 end record (56 bytes) and
// its locator (20 bytes) in front of the end record, whose fields that do
// not fit then say all ones.
constexpr uint32_t kMaxClassicRecords = 0xFFFF;
constexpr int kZip64EndRecordSize = 56;
constexpr int kZip64LocatorSize = 20;

void ReleaseList(Salvage& s) {
    if (s.tail != nullptr) ReleaseSalvageEntry(s.tail);
    s.tail = nullptr;
    ReleaseSavedRecords(s.saved);
    s.records = 0;
}

// The state machine over "PK", 3, 4 (a local header), "PK", 1, 2 (a
// central directory record) and "PK", 5, 6 (an end record): the signature
// bytes matched. A "P" always starts a new match, whatever came before it,
// so "PPK\3\4" and "PK\3PK\3\4" are both found.
enum SignatureState { kNone, kSeenP, kSeenPK, kSeenPK3, kSeenPK1, kSeenPK5 };

inline SignatureState NextState(SignatureState state, uint8_t byte) {
    if (byte == 'P') return kSeenP;
    switch (state) {
        case kSeenP: return byte == 'K' ? kSeenPK : kNone;
        case kSeenPK: return byte == 3 ? kSeenPK3 : byte == 1 ? kSeenPK1 : byte == 5 ? kSeenPK5 : kNone;
        default: return kNone;  // the last bytes, 4, 2 and 6, are handled by the caller
    }
}

bool WriteWhole(FileHandle output, const void* data, uint32_t count) {
    return FileWrite(output, data, count) == count;
}

// Copies a comment carried over from the input (none: nothing to do).
bool CopyComment(RepairRun& run, uint64_t offset, uint16_t length) {
    return length == 0 || CopyOriginalData(run, offset, length);
}

// The ZIP64 end record and its locator, for what the end record cannot
// hold; readers that know no ZIP64 still find the directory through the end
// record where its own fields fit.
bool WriteZip64End(FileHandle output, uint32_t records, uint64_t centralSize, uint64_t centralStart) {
    const uint64_t at = FileTell(output);
    uint8_t record[kZip64EndRecordSize] = {};
    StoreLE32(record + 0, 0x06064B50);                // signature "PK", 6, 6
    StoreLE64(record + 4, kZip64EndRecordSize - 12);  // size of the rest
    StoreLE16(record + 12, 45);                       // made by version 4.5, MS-DOS
    StoreLE16(record + 14, 45);                       // version needed: 4.5 (ZIP64)
    // 16 this disk, 20 disk of the central directory: 0.
    StoreLE64(record + 24, records);                  // records on this disk
    StoreLE64(record + 32, records);                  // records in total
    StoreLE64(record + 40, centralSize);
    StoreLE64(record + 48, centralStart);

    uint8_t locator[kZip64LocatorSize] = {};
    StoreLE32(locator + 0, 0x07064B50);               // signature "PK", 6, 7
    // 4 disk of the ZIP64 end record: 0.
    StoreLE64(locator + 8, at);
    StoreLE32(locator + 16, 1);                       // disks in total
    return WriteWhole(output, record, kZip64EndRecordSize) && WriteWhole(output, locator, kZip64LocatorSize);
}

// The central directory's records, written over the saved entries in order.
struct DirectoryPass {
    Salvage& s;
    uint32_t records;   // written so far
    bool written;       // every write went out whole
    bool entryZip64;    // an entry's record has the ZIP64 block
};

bool WriteRecordOf(void* context, SalvageEntry& entry) {
    DirectoryPass& pass = *static_cast<DirectoryPass*>(context);
    const uint64_t zip64From = pass.s.run.limits.zip64From;
    DescribeSavedEntry(pass.s, entry);
    pass.written = WriteCentralRecord(pass.s.run.output, entry, zip64From) &&
                   CopyComment(pass.s.run, entry.commentOffset, entry.commentLength);
    pass.entryZip64 = pass.entryZip64 || EntryHasZip64(entry, zip64From);
    ++pass.records;
    return pass.written;
}

// The records of the scan's entries and of those found through their
// records (after them among the saved ones, from s.recoveredFrom), merged by
// where each stood in the input: two cursors over the saved records, so
// that memory stays as flat as for one. False when a record could not be
// written or read back.
bool WriteRecordsInInputOrder(DirectoryPass& pass) {
    Salvage& s = pass.s;
    if (!SettleLastEntry(s)) return false;
    SavedCursor scanned, recovered;
    if (!OpenSavedCursor(scanned, s.saved, 0, s.recoveredFrom)) return false;
    if (!OpenSavedCursor(recovered, s.saved, s.recoveredFrom, SavedRecordsEnd(s.saved))) {
        CloseSavedCursor(scanned);
        return false;
    }
    int a = NextSavedRecord(scanned), b = NextSavedRecord(recovered);
    while (a > 0 || b > 0) {
        const bool first = b <= 0 || (a > 0 && scanned.entry->inputOffset <= recovered.entry->inputOffset);
        if (!WriteRecordOf(&pass, first ? *scanned.entry : *recovered.entry)) break;
        if (first) a = NextSavedRecord(scanned);
        else b = NextSavedRecord(recovered);
    }
    CloseSavedCursor(scanned);
    CloseSavedCursor(recovered);
    return a == 0 && b == 0;
}

// Writes the central directory and the end record; 0 when a record could not
// be written whole (reported; the archive is then left without an end). Every
// write is checked, the names and the end record too: an archive that lost
// its end on a full disk must not be announced as stored.
int WriteCentralDirectory(Salvage& s) {
    const FileHandle output = s.run.output;
    const uint64_t start = FileTell(output);
    const uint64_t zip64From = s.run.limits.zip64From;
    DirectoryPass pass{s, 0, true, false};
    // Entries found through their records: saved (the last one maybe not
    // yet packed) after the scan's.
    const bool recovered = s.recoveredFrom != UINT64_MAX &&
                           (s.recoveredFrom < SavedRecordsEnd(s.saved) || s.tail != nullptr);
    const bool visited = recovered ? WriteRecordsInInputOrder(pass)
                                   : VisitSavedRecords(s.saved, WriteRecordOf, &pass) &&
                                         (s.tail == nullptr || WriteRecordOf(&pass, *s.tail));
    const uint32_t records = pass.records;
    const bool entryZip64 = pass.entryZip64;
    bool written = pass.written && visited;
    ReleaseList(s);
    const uint64_t size = FileTell(output) - start;
    const bool sizeZip64 = size >= zip64From, startZip64 = start >= zip64From;
    if (written && (records > kMaxClassicRecords || entryZip64 || sizeZip64 || startZip64))
        written = WriteZip64End(output, records, size, start);

    uint8_t end[kEndRecordSize] = {};
    const uint16_t count = records > kMaxClassicRecords ? 0xFFFF : static_cast<uint16_t>(records);
    StoreLE32(end + 0, 0x06054B50);                   // signature "PK", 5, 6
    // 4 this disk, 6 disk of the central directory: 0.
    StoreLE16(end + 8, count);
    StoreLE16(end + 10, count);
    StoreLE32(end + 12, sizeZip64 ? kZip64Marker : static_cast<uint32_t>(size));
    StoreLE32(end + 16, startZip64 ? kZip64Marker : static_cast<uint32_t>(start));
    StoreLE16(end + 20, s.archiveCommentLength);
    if (written) written = WriteWhole(output, end, kEndRecordSize) &&
                           CopyComment(s.run, s.archiveCommentOffset, s.archiveCommentLength) && FileFlush(output);
    if (!written) {
        EmitText(s.run, MESSAGE_ERROR, kTextCannotWriteOutput);
        return 0;
    }
    FileTruncateHere(output);
    return 1;
}

void EmitSummary(RepairRun& run) {
    const SalvageCounters& c = run.counters;
    EmitText(run, MESSAGE_INFO, kTextComplete);
    EmitFormatted(run, MESSAGE_INFO, kTextFilesFound, c.filesFound);
    if (c.listedRecovered > 0) EmitFormatted(run, MESSAGE_INFO, kTextListedRecoveredCount, c.listedRecovered);
    if (c.resynced > 0) EmitFormatted(run, MESSAGE_INFO, kTextSalvagedPiecesCount, c.resynced);
    if (c.unrecoverable > 0) EmitFormatted(run, MESSAGE_ERROR, kTextUnrecoverable, c.unrecoverable);
    if (c.partiallyRecoverable > 0)
        EmitFormatted(run, MESSAGE_ERROR, kTextPartiallyRecoverable, c.partiallyRecoverable);
    if (c.undecryptable > 0) EmitFormatted(run, MESSAGE_ERROR, kTextUndecryptable, c.undecryptable);
    if (c.systemErrors > 0) EmitFormatted(run, MESSAGE_ERROR, kTextSystemErrors, c.systemErrors);
    if (c.recompressFailed > 0) EmitFormatted(run, MESSAGE_ERROR, kTextRecompressFailures, c.recompressFailed);
    if (c.unverified > 0) EmitFormatted(run, MESSAGE_WARNING, kTextUnverifiedCount, c.unverified);
    if (c.listedNotFound > 0) EmitFormatted(run, MESSAGE_ERROR, kTextListedNotFoundCount, c.listedNotFound);
    if (c.listedTwice > 0) EmitFormatted(run, MESSAGE_WARNING, kTextListedTwiceCount, c.listedTwice);
    if (c.copiedEncrypted > 0) EmitFormatted(run, MESSAGE_WARNING, kTextAesUnverifiedCount, c.copiedEncrypted);
    if (c.copiedAsTheyWere > 0) EmitFormatted(run, MESSAGE_WARNING, kTextCopiedCount, c.copiedAsTheyWere);
    if (c.filesFound > 0 && !(run.flags & REPAIR_TEST_ONLY)) EmitFormatted(run, MESSAGE_INFO, kTextStoredIn, run.outputPath);
}

// After an entry that was not saved intact (dropped, damaged or unverified)
// the scan looks again from right after its signature: a damaged name
// length, extra length or size may have carried the read far past the
// headers of untouched entries, and a false signature a few bytes before a
// real header may have swallowed it. (Signatures the scan handles still come
// in increasing order, so this ends.) What it reads again comes out of the
// run's allowance for reading input twice (streamed_entry.h); once that is
// spent, the scan goes on where the entry's read stopped.
void LookBackOverEntry(Salvage& s) {
    const uint64_t from = MarkedPosition(s.reader);
    const uint64_t at = ReaderPosition(s.reader);
    if (at > from && SpendRereadAllowance(s, at - from)) ReturnToOffset(s.reader, from);
}

bool MarkSavedName(void* names, SalvageEntry& entry) {
    MarkFoundName(*static_cast<ListedNames*>(names), entry.name, LoadLE16(entry.localHeader + kLhNameLength));
    return true;
}

// Once the scan is over: every central directory record that names no
// entry the scan found is followed to its entry (with
// REPAIR_DIRECTORY_RECOVERY), and reported as listed but not found when that
// saves nothing. Returns the number reported. An entry found this way that
// would take the archive past its size limit is cut out again, and no more
// are looked for.
int32_t SettleListedRecords(Salvage& s) {
    RepairRun& run = s.run;
    ListedNames& names = s.listed;
    if (!PrepareFoundLookup(names)) return 0;
    // The names of the saved entries were not kept apart (listed_names.h).
    const bool marked = VisitSavedRecords(s.saved, MarkSavedName, &names) &&
                        (s.tail == nullptr || MarkSavedName(&names, *s.tail));
    EndFoundMarking(names);
    if (!marked) return 0;
    const bool writable = !run.status.writeFailed;
    bool recover = (run.flags & REPAIR_DIRECTORY_RECOVERY) != 0 && writable;
    // The entries found through records follow the scan's among the saved
    // ones; their directory records are put in place by input order
    // (WriteCentralDirectory). Followed in the order of the places the
    // records give, they come in that order themselves.
    if (recover && !SettleLastEntry(s)) {
        run.status.writeFailed = 1;
        recover = false;
    }
    if (recover) s.recoveredFrom = SavedRecordsEnd(s.saved);
    size_t ordered = 0;
    ListedPlace* byPlace = recover ? RecordsByPlace(names, run.input, &ordered) : nullptr;
    const DirectoryShifts shifts = recover ? ShiftsOf(s) : DirectoryShifts{};
    int32_t missing = 0;
    for (size_t n = 0; n < (byPlace != nullptr ? ordered : names.recordCount); ++n) {
        const size_t i = byPlace != nullptr ? byPlace[n].record : n;
        if (RecordNameFound(names, i)) continue;
        int result = kHeaderRejected;
        if (recover) {
            result = RecoverListedEntry(s, names.records[i].offset, shifts);
            if (run.status.abortRequested) break;
            if (run.status.writeFailed) {
                EmitText(run, MESSAGE_ERROR, kTextWriteFailed);
                break;
            }
            if (result == kEntrySaved || result == kEntryNotIntact) ++run.counters.listedRecovered;
        }
        if (result == kListedAlreadySaved &&
            ReportListedRecord(run, names, names.records[i].offset, MESSAGE_WARNING, kTextListedTwice))
            ++run.counters.listedTwice;
        if (result == kHeaderRejected &&
            ReportListedRecord(run, names, names.records[i].offset, MESSAGE_ERROR, kTextListedNotFound))
            ++missing;
    }
    std::free(byPlace);
    return missing;
}

// A stop requested while an entry was read or decoded (the entry in hand is
// already cut out again): the entries written so far stay, without a
// central directory, or with REPAIR_SAFE_FILES completed by one, so that
// what is left is an archive every reader opens.
int StopRun(Salvage& s) {
    ReleaseListedNames(s.listed);
    EmitText(s.run, MESSAGE_ERROR, kTextAborted);
    if (!(s.run.flags & REPAIR_SAFE_FILES)) {
        ReleaseList(s);
        return -1;
    }
    const int saved = static_cast<int>(s.records);
    return WriteCentralDirectory(s) ? saved : -1;
}

}  // namespace

bool SettleLastEntry(Salvage& s) {
    if (s.tail == nullptr) return true;
    if (!KeepSavedRecord(s.saved, *s.tail, s.run.limits.recordsInMemory)) return false;
    ReleaseSalvageEntry(s.tail);
    s.tail = nullptr;
    return true;
}

void AppendSalvageEntry(Salvage& s, SalvageEntry* entry) {
    s.tail = entry;
    ++s.records;
}

void ReleaseSalvageEntry(SalvageEntry* entry) {
    std::free(entry->name);
    std::free(entry);
}

DecodeContext DecodeContextOf(Salvage& s) {
    DecodeContext context;
    context.source = ReaderSource(s.reader);
    context.status = &s.run.status;
    context.largeCompressed = s.largeCompressed;
    context.largeUncompressed = s.largeUncompressed;
    context.decodedLimit = std::max(s.run.limits.decodedSize, s.largeUncompressed);
    context.wideSizes = s.wideSizes;
    return context;
}

int ScanAndRebuild(RepairRun& run) {
    Salvage s{run, {}, {}, nullptr, 0, 0, {}};
    StartArchiveReader(s.reader, run);
    // A tiny entry is written in a few pieces, its header twice: the output
    // gathers them, and each entry goes out in one write once it is saved.
    FileBufferWrites(run.output);
    // A test writes no file, not even the records' temporary one: they stay
    // in memory, packed.
    s.saved.memoryOnly = (run.flags & REPAIR_TEST_ONLY) != 0;
    VerifyAheadScope verifyAhead(s);
    run.counters = SalvageCounters{};
    run.resyncWorkLeft = run.limits.resyncWorkBase + run.inputSize * run.limits.resyncWorkPerByte;
    bool nothingFound = true;
    EmitText(run, MESSAGE_INFO, kTextBeginning);

    SignatureState state = kNone;
    uint8_t byte;
    for (;;) {
        // With nothing matched, every byte up to the next "P" leaves the
        // state as it is: cross them in one step.
        if (state == kNone) SkipBufferedUntil(s.reader, 'P');
        if (!ReadByte(s.reader, &byte)) break;
        if (state == kSeenPK1 && byte == 2) {
            NoteCentralRecord(s.listed, run.input, ReaderPosition(s.reader) - 4);
            state = kNone;
            continue;
        }
        if (state == kSeenPK5 && byte == 6) {
            NoteEndRecord(s.listed, ReaderPosition(s.reader) - 4);
            state = kNone;
            continue;
        }
        if (state != kSeenPK3 || byte != 4) {
            state = NextState(state, byte);
            continue;
        }
        nothingFound = false;
        MarkPosition(s.reader);
        int result = SalvageOneEntry(s);
        if (run.status.abortRequested) return StopRun(s);
        // A failed write (a full disk) fails every later entry too, and would
        // have them all reported as corrupt: stop here and complete the
        // archive with what was saved, if there is room for its directory.
        if (run.status.writeFailed) {
            EmitText(run, MESSAGE_ERROR, kTextWriteFailed);
            break;
        }
        // (Where a decoder's bit buffer may have read past the data, the
        // bytes it may have read are not counted as the entry's.)
        if (result == kEntrySaved || result == kEntrySavedHere)
            NoteSavedEntry(s.listed, MarkedPosition(s.reader) - 4,
                           ReaderPosition(s.reader) - (result == kEntrySaved ? kRescanAfterEntry : 0), false);
        if (result == kEntrySaved) StepBack(s.reader, kRescanAfterEntry);
        else if (result == kHeaderRejected) ReturnToMark(s.reader);
        else if (result == kEntryNotIntact || result == kEntryDropped) LookBackOverEntry(s);
        state = kNone;
    }

    // With entries to look for through the directory, "nothing found" waits
    // for what that finds.
    const bool lookThroughDirectory = (run.flags & REPAIR_DIRECTORY_RECOVERY) != 0;
    if (nothingFound && !lookThroughDirectory) EmitText(run, MESSAGE_ERROR, kTextNothingFound);
    run.counters.listedNotFound = SettleListedRecords(s);
    if (run.status.abortRequested) return StopRun(s);
    if (nothingFound && lookThroughDirectory && run.counters.listedRecovered == 0)
        EmitText(run, MESSAGE_ERROR, kTextNothingFound);
    if (!run.status.writeFailed) CarryOverDirectoryMetadata(s);
    const int saved = static_cast<int>(s.records);
    const int written = WriteCentralDirectory(s);
    ReleaseListedNames(s.listed);
    if (!written) return -1;
    EmitSummary(run);
    return saved;
}

}  // namespace arcsalve
