// One repair: everything a call of RepairFile knows and every stage below it
// reads or updates. RepairFile creates it and passes it down; no stage keeps
// run state of its own. What the interface keeps between calls stays
// process-wide, and the run only points at it: the host's callback slots and
// the remembered passwords.
#ifndef ARCSALVE_COMMON_REPAIR_RUN_H
#define ARCSALVE_COMMON_REPAIR_RUN_H

#include <cstdint>

#include "arcsalve/arcsalve.h"
#include "common/resync_map.h"
#include "common/run_status.h"
#include "common/zip_format.h"
#include "platform/platform.h"

namespace arcsalve {

// What became of one entry found, in the words of the C interface's
// verdicts (arcsalve_c.h): intact and kept as it was, intact and compressed
// anew, saved in part, lost, saved without a CRC-32 to check.
enum EntryVerdict : int {
    kVerdictKept = 0,
    kVerdictRecompressed = 1,
    kVerdictPartial = 2,
    kVerdictLost = 3,
    kVerdictUnverified = 4,
};

// One entry's report, made where the salvage settles its verdict: the
// fields as the damaged archive recorded them, and what was saved.
struct EntryReport {
    const char* name;          // as stored, NUL-terminated
    uint32_t nameLength;
    const char* shownName;     // as messages show it
    uint16_t flags;            // general-purpose flags as recorded
    uint16_t method;           // method as recorded
    uint64_t offset;           // of the local header in the damaged archive
    uint64_t compressedSize;   // as recorded
    uint64_t uncompressedSize; // as recorded
    EntryVerdict verdict;
    uint64_t savedSize;        // bytes of data saved
    bool written;              // it has a place in the rebuilt archive (lost ones may: empty)
    bool throughDirectory;     // found through its central directory record, its local header lost
    // Recovered past damage inside its data (REPAIR_RESYNC): the pieces and
    // the map; null otherwise.
    const ResyncReport* resync;
};

// The host's callbacks, as the integers the host passed (0: none). The
// exported setters fill the one process-wide set; each is looked up again
// for every call, as a host may change a callback from inside another.
//
// The C interface gives each call hooks of its own instead, each called
// with `context`: where one is set, the address beside it is not used.
struct HostCallbacks {
    CallbackAddress message = 0;
    CallbackAddress progress = 0;
    CallbackAddress password = 0;
    CallbackAddress notice = 0;
    void* context = nullptr;
    void (*onMessage)(void* context, int32_t level, const char* text) = nullptr;
    uint32_t (*onProgress)(void* context, uint32_t percent) = nullptr;
    int (*onPassword)(void* context, const char* name, char* password) = nullptr;
    void (*onNotice)(void* context, const char* text, const char* caption) = nullptr;
    void (*onEntry)(void* context, const EntryReport& report) = nullptr;
};

// Passwords hold at most 39 bytes and a terminator.
constexpr int kPasswordBufferSize = 40;
static_assert(kPasswordBufferSize == PASSWORD_BUFFER_SIZE, "one password size inside and out");
// Passwords accepted in the dialog that are tried before asking again.
constexpr int kRememberedPasswordSlots = 5;

// The passwords the user gave, oldest first; `count` slots are used. RepairFile
// keeps one set for the life of the library, so an archive whose entries
// share a password asks once, and so does the next archive.
struct PasswordMemory {
    char remembered[kRememberedPasswordSlots][kPasswordBufferSize] = {};
    int count = 0;
};

// The counters of the summary.
struct SalvageCounters {
    int32_t filesFound = 0;
    int32_t unrecoverable = 0;
    int32_t partiallyRecoverable = 0;
    int32_t undecryptable = 0;
    int32_t systemErrors = 0;
    int32_t recompressFailed = 0;  // entries dropped because their re-compression failed
    int32_t unverified = 0;        // saved without a CRC-32 to check them against
    int32_t listedNotFound = 0;    // named by a surviving central directory, never found
    int32_t copiedEncrypted = 0;   // AES entries copied as they were, no password opening them
    int32_t listedRecovered = 0;   // found through a central directory record (counted in filesFound too)
    int32_t copiedAsTheyWere = 0;  // in a method with no decoder here: copied unverified
    int32_t resynced = 0;          // partial entries with pieces recovered past their damage
    int32_t listedTwice = 0;       // records whose data is that of an entry already saved
};

// The run's size limits: the format's own, lowered only where what happens
// at a limit is tried without writing gigabytes. zip64From: the size or
// offset from which the rebuilt archive writes ZIP64 fields (entry counts
// keep their own 16-bit limit).
struct RunLimits {
    uint64_t decodedSize = kMaxDecodedSize;
    uint64_t zip64From = kZip64Threshold;
    // The saved entries' packed records held in memory before they move to
    // a temporary file (salvage/saved_records.h).
    uint32_t recordsInMemory = uint32_t{2} << 20;

    // Recovery past damage: units of search work (a candidate bit position,
    // or a bit decoded to prove one) the run may spend per byte of its input,
    // and per byte of an entry's compressed data, beyond a base of
    // resyncWorkBase each. Spent work comes off the run's allowance.
    uint64_t resyncWorkPerByte = 2048;
    uint64_t resyncWorkBase = uint64_t{1} << 24;
};

// Message texts are loaded into two short buffers used in turn, so that a
// caption and a text can be loaded one after the other and used together,
// and one long buffer.
constexpr int kShortTextBuffer = 200;
constexpr int kLongTextBuffer = 300;
struct MessageTexts {
    char shortText[2][kShortTextBuffer] = {};
    int nextShortText = 0;
    char longText[kLongTextBuffer] = {};
};

struct RepairRun {
    uint32_t flags = 0;        // the host's flags word (REPAIR_KEEP_INTACT ...)
    HWND parent = nullptr;     // owner of the password prompt
    // The archive actually read (the input, or its backup) and the rebuilt
    // archive.
    char sourcePath[kMaxPath] = {};
    char outputPath[kMaxPath] = {};
    // With REPAIR_SAFE_FILES, the archive being written beside the output
    // path, which takes that name once it is complete.
    char partPath[kMaxPath] = {};
    FileHandle input = kNoFile;   // the damaged archive, read
    FileHandle output = kNoFile;  // the rebuilt archive, read/write
    // Size of the damaged archive in bytes, 1 for an empty file (it divides
    // the progress percentage).
    uint64_t inputSize = 1;
    RunStatus status;
    // Threads that verify intact entries (the scan's own included): 1 does
    // everything on the caller's thread.
    uint32_t workers = 1;
    SalvageCounters counters;
    RunLimits limits;
    const HostCallbacks* host = nullptr;
    PasswordMemory* passwords = nullptr;
    // The password accepted for the entry in hand.
    char password[kPasswordBufferSize] = {};
    MessageTexts texts;
    // Recovery past damage: the run's work left, and the entry in hand's
    // report (pieces 0 when nothing was recovered).
    uint64_t resyncWorkLeft = 0;
    ResyncReport resync = {};
};

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_REPAIR_RUN_H
