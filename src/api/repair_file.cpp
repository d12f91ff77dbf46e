// RepairFile and GetFilePaths: from the host's input path, output directory
// and flags to the archive that is read and the archive that is written,
// with the backup rules of an in-place repair.
//
// Names used below, all taken from the last component of a path (the text
// after its last separator), so that a dot or an underscore in a directory
// name never counts:
//   extension      the text from the name's last '.' to its end ("" if none)
//   backup name    the path without its extension, "_BAK", the extension:
//                  /d/a.zip -> /d/a_BAK.zip, /d/a -> /d/a_BAK
//   backup input   a name whose last '_' starts "_BAK" followed by the end
//                  or by '.': a_BAK.zip, a_BAK (but not a_bak.zip)
//
// An in-place repair (no output directory, or the input's own) moves the
// damaged file to its backup name, reads it from there and writes the rebuilt
// archive under the original name. Questions the host must answer come back
// as results (5001 backup exists, 5002 input is a backup, 5006 output exists)
// before anything is opened, moved or deleted; the host calls again with the
// flag that answers it. With REPAIR_SAFE_FILES the rebuilt archive only takes
// its name once it is complete and holds an entry.
#include "api/repair_file.h"

#include <cstring>
#include <string>

#include "api/host_callbacks.h"
#include "arcsalve/arcsalve.h"
#include "common/messages.h"
#include "common/repair_run.h"
#include "platform/platform.h"
#include "salvage/scan.h"

namespace arcsalve {

namespace {

// The paths of the last RepairFile call, for GetFilePaths: the archive read,
// the rebuilt archive, and a third that is always empty. They stay after
// RepairFile returns, and are published again as soon as a repair is about
// to start, so a host's callbacks see the paths of the repair in progress.
struct LastPaths {
    char source[kMaxPath];
    char output[kMaxPath];
    char extra[kMaxPath];
};
LastPaths g_lastPaths;

// The passwords given in the dialog, remembered for the life of the library.
PasswordMemory g_passwords;

// Only runs of the C++ interface publish their paths: a call of the C
// interface hands them back in its result and leaves nothing behind.
void PublishPaths(const RepairRun& run) {
    if (run.host != &g_hostCallbacks) return;
    std::memcpy(g_lastPaths.source, run.sourcePath, kMaxPath);
    std::memcpy(g_lastPaths.output, run.outputPath, kMaxPath);
}

constexpr size_t kNotFound = std::string::npos;

// Offset of the last `c` in `path` at or after `from`. The walk steps whole
// characters from the start, so a trail byte of a double-byte character is
// never taken for `c`.
size_t FindLastChar(const std::string& path, char c, size_t from = 0) {
    size_t found = kNotFound;
    const char* start = path.c_str();
    for (const char* p = start; *p != '\0'; p = NextChar(p)) {
        size_t at = static_cast<size_t>(p - start);
        if (*p == c && at >= from) found = at;
    }
    return found;
}

// Where the file's name starts: just after the last separator.
size_t NameStart(const std::string& path) {
    size_t sep = FindLastChar(path, kPathSeparator);
    return sep == kNotFound ? 0 : sep + 1;
}

// Where the name's extension starts (path.size() when it has none).
size_t ExtensionStart(const std::string& path) {
    size_t dot = FindLastChar(path, '.', NameStart(path));
    return dot == kNotFound ? path.size() : dot;
}

std::string Extension(const std::string& path) { return path.substr(ExtensionStart(path)); }
std::string CutExtension(const std::string& path) { return path.substr(0, ExtensionStart(path)); }

std::string BackupName(const std::string& path, const std::string& extension) {
    return CutExtension(path) + "_BAK" + extension;
}

bool EndsWithSeparator(const std::string& path) {
    return !path.empty() && FindLastChar(path, kPathSeparator) == path.size() - 1;
}

// Copies `path` into one of the 260-byte (POSIX: kMaxPath) path buffers; 0
// when it does not fit, and the buffer is then left empty. A path that does
// not fit is never cut: a cut name could reach some other file.
int StorePath(char* buffer, const std::string& path) {
    buffer[0] = '\0';
    if (path.size() >= kMaxPath) return 0;
    path.copy(buffer, path.size());
    buffer[path.size()] = '\0';
    return 1;
}

unsigned long ReportFileError(RepairRun& run) {
    EmitText(run, MESSAGE_FATAL, kTextFileError);
    return REPAIR_ERR_FILE;
}

// A name too long for the path buffers: told like any file that cannot be
// opened, with both paths empty, before anything is touched.
unsigned long ReportPathTooLong(RepairRun& run) {
    run.sourcePath[0] = '\0';
    run.outputPath[0] = '\0';
    return ReportFileError(run);
}

// With REPAIR_SAFE_FILES the rebuilt archive is written beside its final
// name, under that name with ".arcsalve" (then ".arcsalve1" ...) added: the
// same directory, so that the rename which puts it in place is one step.
constexpr int kPartNameTries = 100;

bool SafeFiles(const RepairRun& run) { return (run.flags & REPAIR_SAFE_FILES) != 0; }

// Creates the temporary archive beside the output path, never over an
// existing file (a leftover of a killed run, or a name the user chose), with
// the damaged file's permissions: a private archive stays private.
int OpenPartArchive(RepairRun& run) {
    for (int n = 0; n < kPartNameTries; ++n) {
        std::string part = std::string(run.outputPath) + ".arcsalve";
        if (n > 0) part += std::to_string(n);
        if (!StorePath(run.partPath, part)) return 0;
        FileHandle h = FileCreateNew(run.partPath);
        if (IsOpenFile(h)) {
            FileCopyAccess(run.input, h);
            run.output = h;
            return 1;
        }
        if (!PathExists(run.partPath)) break;  // not a name clash: the directory refuses
    }
    run.partPath[0] = '\0';
    return 0;
}

// Opens both archives and runs the salvage. `movedFrom` is the input's
// original name when this call has just moved it to its backup name (the
// run's source path); if the repair cannot start after all, it is moved back
// (and the source path names it again), so the move is only kept when the
// repair goes on.
unsigned long OpenAndSalvage(RepairRun& run, const char* movedFrom, unsigned long flags) {
    auto giveBack = [&run, movedFrom]() {
        if (movedFrom != nullptr && PathMove(run.sourcePath, movedFrom))
            StorePath(run.sourcePath, movedFrom);  // the damaged archive is back where it was
    };
    auto fail = [&run, giveBack]() {
        CloseArchives(run);
        giveBack();
        return ReportFileError(run);
    };
    if (!OpenInputArchive(run, run.sourcePath)) return fail();
    // Deleting the output must never delete what is about to be read: two
    // different spellings ("a.zip", "./a.zip") can name the same file.
    if (PathsSameFile(run.sourcePath, run.outputPath)) return fail();
    if (SafeFiles(run)) {
        if (!OpenPartArchive(run)) return fail();
    } else {
        PathDelete(run.outputPath);  // a failure shows in the create that follows
        if (!OpenOutputArchive(run, run.outputPath)) return fail();
    }

    run.status = RunStatus{};
    PublishPaths(run);
    // Tells its outcome through messages, never through the result.
    const int saved = ScanAndRebuild(run);
    CloseArchives(run);
    if (!SafeFiles(run)) return REPAIR_OK;

    // A complete archive with entries takes its name (replacing the old
    // rebuilt archive only when the host allowed it, and only now that the
    // new one is whole). Anything else leaves no archive behind, and the
    // damaged file gets its own name back.
    if (saved > 0) {
        const bool placed = (flags & REPAIR_OVERWRITE) ? PathReplace(run.partPath, run.outputPath)
                                                       : PathMove(run.partPath, run.outputPath);
        if (placed) return REPAIR_OK;
    }
    PathDelete(run.partPath);
    giveBack();
    const bool placeFailed = saved > 0;
    run.outputPath[0] = '\0';
    return placeFailed ? ReportFileError(run) : REPAIR_OK;
}

// An existing backup (the run's source path) salvaged again. Only a regular
// file counts: a link could lead anywhere, and the archive it would replace
// is the user's rebuilt one.
unsigned long SalvageBackup(RepairRun& run, unsigned long flags) {
    if (!PathIsRegularFile(run.sourcePath)) return ReportFileError(run);
    return OpenAndSalvage(run, nullptr, flags);
}

// The rebuilt archive's path: into outPath (a separator added unless it
// ends in one; an empty outPath is the root) or into the input's directory,
// under the input's name; a backup input is rebuilt under its name without
// "_BAK".
std::string RebuiltArchivePath(const std::string& input, const char* outPath, uint32_t state) {
    std::string output;
    if (outPath != nullptr) {
        output = outPath;
        if (!EndsWithSeparator(output)) output += kPathSeparator;
    } else {
        output = input.substr(0, NameStart(input));
    }
    std::string base = CutExtension(input.substr(NameStart(input)));
    if (state == REPAIR_INPUT_IS_BACKUP) {
        size_t underscore = FindLastChar(base, '_');
        if (underscore != kNotFound && base.compare(underscore, kNotFound, "_BAK") == 0) base.resize(underscore);
    }
    return output + base + Extension(input);
}

// The only change ever made to the input: it moves aside to its backup name
// (the run's source path). Only a file that the repair can read is moved;
// anything else (missing, a directory, locked) is a file error and stays
// put, and the source path then names the file that could not be read.
unsigned long MoveInputAsideAndSalvage(RepairRun& run, const char* inPath, unsigned long flags) {
    FileHandle probe = FileOpenRead(inPath);
    if (!IsOpenFile(probe)) {
        StorePath(run.sourcePath, inPath);
        return ReportFileError(run);
    }
    FileClose(probe);
    if (!PathMove(inPath, run.sourcePath)) {
        EmitMessage(run, MESSAGE_FATAL, LoadLongMessageText(run, kTextBackupFailed));
        return REPAIR_ERR_BACKUP;
    }
    return OpenAndSalvage(run, inPath, flags);
}

// An in-place repair reads the backup and writes the rebuilt archive under
// the input's name: a backup input or an existing backup is salvaged once
// the host has answered the question, an ordinary input is moved aside.
unsigned long RepairInPlace(RepairRun& run, const char* inPath, const std::string& outputExtension,
                            uint32_t state, unsigned long flags) {
    if (!StorePath(run.sourcePath, BackupName(inPath, outputExtension))) return ReportPathTooLong(run);
    if (state == REPAIR_INPUT_IS_BACKUP)
        return (flags & REPAIR_ALLOW_BACKUP_INPUT) ? OpenAndSalvage(run, nullptr, flags) : REPAIR_INPUT_IS_BACKUP;
    if (state == REPAIR_BACKUP_EXISTS)
        return (flags & REPAIR_USE_EXISTING_BACKUP) ? SalvageBackup(run, flags) : REPAIR_BACKUP_EXISTS;
    return MoveInputAsideAndSalvage(run, inPath, flags);
}

// A repair into another directory leaves the input where it is; when its
// backup exists, the backup is read instead of the input itself.
unsigned long RepairElsewhere(RepairRun& run, const std::string& input, uint32_t state, unsigned long flags) {
    if (state == REPAIR_BACKUP_EXISTS) {
        if (!StorePath(run.sourcePath, BackupName(input, Extension(input)))) return ReportPathTooLong(run);
        if (!(flags & REPAIR_USE_EXISTING_BACKUP)) return REPAIR_BACKUP_EXISTS;
        return SalvageBackup(run, flags);
    }
    if (state == REPAIR_INPUT_IS_BACKUP && !(flags & REPAIR_ALLOW_BACKUP_INPUT)) return REPAIR_INPUT_IS_BACKUP;
    return OpenAndSalvage(run, nullptr, flags);
}

// A test-only run reads the archive named and writes into nothing: no
// backup, no output, no question.
unsigned long TestArchive(RepairRun& run, const char* inPath) {
    if (!StorePath(run.sourcePath, inPath)) return ReportPathTooLong(run);
    run.outputPath[0] = '\0';
    if (!OpenInputArchive(run, run.sourcePath)) return ReportFileError(run);
    run.output = FileOpenDiscard();
    if (!IsOpenFile(run.output)) {
        CloseArchives(run);
        return ReportFileError(run);
    }
    run.status = RunStatus{};
    PublishPaths(run);
    ScanAndRebuild(run);
    CloseArchives(run);
    return REPAIR_OK;
}

// Questions come back before anything is touched: the input's name is
// classified, the rebuilt archive's path derived, an output that exists is
// reported, and only then is the repair made in place or elsewhere.
unsigned long RunRepair(RepairRun& run, const char* inPath, const char* outPath, unsigned long flags) {
    if (inPath == nullptr) return REPAIR_ERR_NO_INPUT;
    if (flags & REPAIR_TEST_ONLY) return TestArchive(run, inPath);
    const std::string input(inPath);
    const uint32_t state = ClassifyInputName(inPath, flags);
    // Whenever the input's name raised a question, the answer to it also
    // allows replacing the output: the user has already agreed to rebuild
    // that archive.
    if (state != 0) flags |= REPAIR_OVERWRITE;
    const std::string output = RebuiltArchivePath(input, outPath, state);
    if (!StorePath(run.sourcePath, input) || !StorePath(run.outputPath, output)) return ReportPathTooLong(run);

    const bool inPlace = PathsEqual(run.sourcePath, run.outputPath) || PathsSameFile(run.sourcePath, run.outputPath);
    if (!(flags & REPAIR_OVERWRITE) && !inPlace && PathExists(run.outputPath)) return REPAIR_OUTPUT_EXISTS;
    return inPlace ? RepairInPlace(run, inPath, Extension(output), state, flags)
                   : RepairElsewhere(run, input, state, flags);
}

}  // namespace

uint32_t ClassifyInputName(const char* path, unsigned long flags) {
    const std::string name(path);
    if (PathExists(BackupName(name, Extension(name)).c_str())) return REPAIR_BACKUP_EXISTS;
    if (flags & REPAIR_NO_BACKUP_NAME_CHECK) return 0;
    size_t underscore = FindLastChar(name, '_', NameStart(name));
    if (underscore == kNotFound || name.compare(underscore, 4, "_BAK") != 0) return 0;
    size_t after = underscore + 4;
    return (after == name.size() || name[after] == '.') ? REPAIR_INPUT_IS_BACKUP : 0;
}

int OpenInputArchive(RepairRun& run, const char* path) {
    FileHandle h = FileOpenRead(path);
    if (!IsOpenFile(h)) return 0;
    run.input = h;
    run.inputSize = FileSize(h);
    if (run.inputSize == 0) run.inputSize = 1;  // it divides the progress percentage
    return 1;
}

int OpenOutputArchive(RepairRun& run, const char* path) {
    FileHandle h = FileCreate(path);
    if (!IsOpenFile(h)) return 0;
    run.output = h;
    return 1;
}

void CloseArchives(RepairRun& run) {
    if (IsOpenFile(run.input)) FileClose(run.input);
    if (IsOpenFile(run.output)) FileClose(run.output);
    run.input = kNoFile;
    run.output = kNoFile;
}

unsigned long Repair(const char* inPath, const char* outPath, unsigned long flags, HWND parent,
                     const RunLimits& limits, PasswordMemory* passwords) {
    RepairRun run;
    run.flags = static_cast<uint32_t>(flags);
    run.parent = parent;
    run.limits = limits;
    if (flags & REPAIR_ALL_CORES) run.workers = ProcessorCount();
    run.host = &g_hostCallbacks;
    run.passwords = passwords != nullptr ? passwords : &g_passwords;
    PublishPaths(run);
    unsigned long result = RunRepair(run, inPath, outPath, flags);
    PublishPaths(run);
    return result;
}

unsigned long RepairWithRun(RepairRun& run, const char* inPath, const char* outPath) {
    if (run.flags & REPAIR_ALL_CORES) run.workers = ProcessorCount();
    return RunRepair(run, inPath, outPath, run.flags);
}

}  // namespace arcsalve

// --- Exported ---------------------------------------------------------------

unsigned long RepairFile(char* inPath, char* outPath, unsigned long flags, HWND parent) {
    return arcsalve::Repair(inPath, outPath, flags, parent);
}

void GetFilePaths(char** source, char** output, char** extra) {
    if (source != nullptr) *source = arcsalve::g_lastPaths.source;
    if (output != nullptr) *output = arcsalve::g_lastPaths.output;
    if (extra != nullptr) *extra = arcsalve::g_lastPaths.extra;
}
