// arcsalve_repair: the C interface. One call is one repair with a run of its
// own: its own password memory, its own hooks (which hand the host's pointer
// back to each callback), and a result in the caller's struct. Nothing of it
// outlives the call, and it neither reads nor changes the C++ interface's
// callback slots, remembered passwords or published paths.
//
// The status is the command's exit status, decided here so that the command
// and every other host of this interface agree on it.
#include "arcsalve/arcsalve_c.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "api/repair_file.h"
#include "arcsalve/arcsalve.h"
#include "common/repair_run.h"

namespace arcsalve {
namespace {

static_assert(ARCSALVE_OVERWRITE == REPAIR_OVERWRITE && ARCSALVE_KEEP_INTACT == REPAIR_KEEP_INTACT &&
                  ARCSALVE_ALLOW_BACKUP_INPUT == REPAIR_ALLOW_BACKUP_INPUT &&
                  ARCSALVE_NO_BACKUP_NAME_CHECK == REPAIR_NO_BACKUP_NAME_CHECK &&
                  ARCSALVE_USE_EXISTING_BACKUP == REPAIR_USE_EXISTING_BACKUP &&
                  ARCSALVE_TRAILING_DESCRIPTORS == REPAIR_TRAILING_DESCRIPTORS &&
                  ARCSALVE_SAFE_FILES == REPAIR_SAFE_FILES && ARCSALVE_TEST_ONLY == REPAIR_TEST_ONLY &&
                  ARCSALVE_DIRECTORY_METADATA == REPAIR_DIRECTORY_METADATA &&
                  ARCSALVE_DIRECTORY_RECOVERY == REPAIR_DIRECTORY_RECOVERY && ARCSALVE_RESYNC == REPAIR_RESYNC &&
                  ARCSALVE_DEFAULT_FLAGS == (REPAIR_EXTENSIONS | REPAIR_SAFE_FILES),
              "one flag value in both interfaces");
static_assert(ARCSALVE_CODE_DONE == REPAIR_OK && ARCSALVE_CODE_FILE_ERROR == REPAIR_ERR_FILE &&
                  ARCSALVE_CODE_NO_INPUT == REPAIR_ERR_NO_INPUT && ARCSALVE_CODE_BACKUP_EXISTS == REPAIR_BACKUP_EXISTS &&
                  ARCSALVE_CODE_INPUT_IS_BACKUP == REPAIR_INPUT_IS_BACKUP &&
                  ARCSALVE_CODE_BACKUP_FAILED == REPAIR_ERR_BACKUP && ARCSALVE_CODE_OUTPUT_EXISTS == REPAIR_OUTPUT_EXISTS,
              "one result code in both interfaces");
static_assert(ARCSALVE_PASSWORD_SIZE == kPasswordBufferSize, "one password size");
static_assert(ARCSALVE_PATH_SIZE >= kMaxPath, "every path the library takes fits the result");
static_assert(int{ARCSALVE_ENTRY_KEPT} == kVerdictKept && int{ARCSALVE_ENTRY_RECOMPRESSED} == kVerdictRecompressed &&
                  int{ARCSALVE_ENTRY_PARTIAL} == kVerdictPartial && int{ARCSALVE_ENTRY_LOST} == kVerdictLost &&
                  int{ARCSALVE_ENTRY_UNVERIFIED} == kVerdictUnverified,
              "one verdict value inside and out");

// The smallest structs a host may pass: every field of the first version.
constexpr size_t kOptionsSizeV1 = offsetof(arcsalve_options, workers);
constexpr size_t kResultSizeV1 = sizeof(arcsalve_result);

// One call's state, the `context` of every hook.
struct Call {
    arcsalve_options options;  // the host's, or the defaults
    arcsalve_result result;
    int problems = 0;          // warnings and errors told
    long written = 0;          // entries given a place in the rebuilt archive
    // The options' passwords are offered to each encrypted entry in order;
    // the library asks again for the same entry only after a wrong password,
    // which the notice tells first.
    bool retry = false;
    size_t nextGiven = 0;
    bool lastWasGiven = false;
};

void OnMessage(void* context, int32_t level, const char* text) {
    Call& call = *static_cast<Call*>(context);
    if (level == MESSAGE_WARNING || level == MESSAGE_ERROR) ++call.problems;
    if (call.options.on_message != nullptr) call.options.on_message(call.options.user, level, text);
}

uint32_t OnProgress(void* context, uint32_t percent) {
    Call& call = *static_cast<Call*>(context);
    if (call.options.on_progress == nullptr) return 1;
    return call.options.on_progress(call.options.user, percent) != 0 ? 1 : 0;
}

int OnPassword(void* context, const char* name, char* password) {
    Call& call = *static_cast<Call*>(context);
    if (!call.retry) call.nextGiven = 0;
    call.retry = false;
    call.lastWasGiven = false;
    while (call.nextGiven < call.options.password_count) {
        const char* given = call.options.passwords[call.nextGiven++];
        if (given == nullptr) continue;
        std::strncpy(password, given, kPasswordBufferSize - 1);
        call.lastWasGiven = true;
        return 1;
    }
    if (call.options.on_password == nullptr) return 0;
    return call.options.on_password(call.options.user, name, password) != 0 ? 1 : 0;
}

// A wrong password from the options is passed over quietly; the host hears
// only of its own.
void OnNotice(void* context, const char* text, const char* caption) {
    Call& call = *static_cast<Call*>(context);
    call.retry = true;
    if (call.lastWasGiven || call.options.on_notice == nullptr) return;
    call.options.on_notice(call.options.user, text, caption);
}

void OnEntry(void* context, const EntryReport& report) {
    Call& call = *static_cast<Call*>(context);
    arcsalve_result& r = call.result;
    switch (report.verdict) {
        case kVerdictKept:
        case kVerdictRecompressed: ++r.entries_intact; break;
        case kVerdictPartial: ++r.entries_partial; break;
        case kVerdictLost: ++r.entries_lost; break;
        case kVerdictUnverified: ++r.entries_unverified; break;
    }
    if (report.written) ++call.written;
    r.bytes_saved += report.savedSize;
    if (call.options.on_entry == nullptr) return;
    arcsalve_entry entry{};
    entry.size = sizeof entry;
    entry.name = report.name;
    entry.name_length = report.nameLength;
    entry.name_utf8 = (report.flags & kFlagUtf8) != 0;
    entry.display_name = report.shownName;
    entry.method = report.method;
    entry.encrypted = (report.flags & kFlagEncrypted) != 0;
    entry.offset = report.offset;
    entry.compressed_size = report.compressedSize;
    entry.uncompressed_size = report.uncompressedSize;
    entry.verdict = static_cast<arcsalve_verdict>(report.verdict);
    entry.saved_size = report.savedSize;
    entry.found_by = report.throughDirectory ? ARCSALVE_FOUND_BY_CENTRAL_DIRECTORY : ARCSALVE_FOUND_BY_LOCAL_HEADER;
    arcsalve_range ranges[kResyncMapRanges];
    if (report.resync != nullptr) {
        const ResyncReport& m = *report.resync;
        entry.pieces = m.pieces + (m.prefix > 0 ? 1 : 0);
        entry.unknown_bytes = m.unknown;
        entry.range_count = m.rangeCount;
        entry.ranges_listed = m.rangeCount < kResyncMapRanges ? m.rangeCount : kResyncMapRanges;
        for (size_t i = 0; i < entry.ranges_listed; ++i)
            ranges[i] = arcsalve_range{static_cast<int>(m.ranges[i].kind), m.ranges[i].offset, m.ranges[i].length};
        entry.ranges = ranges;
    }
    call.options.on_entry(call.options.user, &entry);
}

// The run's paths hold at most kMaxPath bytes with their NUL, which the
// result's fields take whole.
void CopyPath(char* to, const char (&from)[kMaxPath]) { std::memcpy(to, from, kMaxPath); }

// The command's exit status for what the library returned and told.
int StatusOf(unsigned long libraryResult, const Call& call) {
    switch (libraryResult) {
        case REPAIR_OK: break;
        case REPAIR_ERR_NO_INPUT: return ARCSALVE_STATUS_BAD_CALL;
        case REPAIR_BACKUP_EXISTS:
        case REPAIR_INPUT_IS_BACKUP:
        case REPAIR_OUTPUT_EXISTS: return ARCSALVE_STATUS_UNANSWERED;
        default: return ARCSALVE_STATUS_FILE_ERROR;
    }
    // With safe files an archive is left only when it holds an entry.
    const bool safeFiles = (call.options.flags & ARCSALVE_SAFE_FILES) != 0;
    const bool testOnly = (call.options.flags & ARCSALVE_TEST_ONLY) != 0;
    const bool nothing = call.written == 0 || (safeFiles && !testOnly && call.result.output[0] == '\0');
    if (nothing) return ARCSALVE_STATUS_NOTHING;
    return call.problems > 0 ? ARCSALVE_STATUS_LOSSES : ARCSALVE_STATUS_INTACT;
}

int Finish(Call& call, int status, arcsalve_result* result) {
    call.result.status = status;
    if (result != nullptr) std::memcpy(result, &call.result, kResultSizeV1);
    return status;
}

}  // namespace
}  // namespace arcsalve

int arcsalve_repair(const char* archive, const char* output_dir, const arcsalve_options* options,
                    arcsalve_result* result) {
    using namespace arcsalve;
    // Large (two paths of 4 KiB each, and the run): kept off the stack of a
    // host thread that may be small.
    struct Work {
        Call call;
        RepairRun run;
        PasswordMemory passwords;
        HostCallbacks hooks;
    };
    static_assert(sizeof(Work) < 64 * 1024, "one call's state stays small");
    Work* work = new (std::nothrow) Work();
    if (work == nullptr) return ARCSALVE_STATUS_FILE_ERROR;
    Call& call = work->call;
    call.result.size = kResultSizeV1;
    if (options != nullptr) {
        // A host of an earlier version passes a shorter struct: the fields
        // it lacks keep their defaults.
        call.options = arcsalve_options{};
        if (options->size >= kOptionsSizeV1)
            std::memcpy(&call.options, options, options->size < sizeof call.options ? options->size : sizeof call.options);
    } else {
        call.options = arcsalve_options{};
        call.options.flags = ARCSALVE_DEFAULT_FLAGS;
    }
    int status;
    if (archive == nullptr || (options != nullptr && options->size < kOptionsSizeV1) ||
        (result != nullptr && result->size < kResultSizeV1)) {
        status = Finish(call, ARCSALVE_STATUS_BAD_CALL, nullptr);
        if (result != nullptr && result->size >= offsetof(arcsalve_result, status) + sizeof(int))
            result->status = status;
        delete work;
        return status;
    }

    HostCallbacks& hooks = work->hooks;
    hooks.context = &call;
    hooks.onMessage = &OnMessage;
    hooks.onProgress = &OnProgress;
    hooks.onPassword = &OnPassword;
    hooks.onNotice = &OnNotice;
    hooks.onEntry = &OnEntry;
    RepairRun& run = work->run;
    run.flags = static_cast<uint32_t>(call.options.flags);
    run.workers = call.options.workers == ARCSALVE_ALL_CORES ? ProcessorCount()
                  : call.options.workers > 1                 ? call.options.workers
                                                             : 1;
    run.host = &hooks;
    run.passwords = &work->passwords;

    const unsigned long libraryResult = RepairWithRun(run, archive, output_dir);
    call.result.stopped = run.status.abortRequested != 0;
    call.result.entries_found = run.counters.filesFound;
    call.result.code = libraryResult;
    CopyPath(call.result.source, run.sourcePath);
    CopyPath(call.result.output, run.outputPath);
    status = Finish(call, StatusOf(libraryResult, call), result);
    // The passwords typed are not left in freed memory.
    std::memset(static_cast<void*>(&work->passwords), 0, sizeof work->passwords);
    std::memset(run.password, 0, sizeof run.password);
    delete work;
    return status;
}
