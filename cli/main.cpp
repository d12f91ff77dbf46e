// arcsalve: the command-line host of the library. Repairs each archive named
// on the command line, answers the library's questions (asking the user on a
// terminal) and turns what the library reported into an exit status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "console.h"
#include "options.h"
#include "passwords.h"
#include "session.h"

namespace cli {
namespace {

struct Paths {
    const char* source = "";  // the archive read (the input or its backup)
    const char* output = "";  // the rebuilt archive
};

Paths LibraryPaths() {
    Paths p;
    char* source = nullptr;
    char* output = nullptr;
    GetFilePaths(&source, &output, nullptr);
    if (source != nullptr) p.source = source;
    if (output != nullptr) p.output = output;
    return p;
}

// A rebuilt archive starts with the local header of its first saved entry;
// with nothing saved it is only a central directory (or less, when the run
// was stopped).
bool HasEntries(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char head[4] = {};
    ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    return n == 4 && head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4;
}

// A finished rebuilt archive ends with its 22-byte end record (it has no
// comment); an aborted one stops after its last entry.
bool HasEndRecord(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char tail[4] = {};
    struct stat st;
    bool found = ::fstat(fd, &st) == 0 && st.st_size >= 22 &&
                 ::pread(fd, tail, sizeof tail, st.st_size - 22) == 4 && tail[0] == 'P' &&
                 tail[1] == 'K' && tail[2] == 5 && tail[3] == 6;
    ::close(fd);
    return found;
}

// The library only says "File Error"; find out which file and why.
void ExplainFileError(const std::string& archive, const Paths& paths) {
    if (*paths.source == '\0') {
        Note("%s: name too long", archive.c_str());
        return;
    }
    struct stat st;
    if (::stat(paths.source, &st) != 0) {
        Note("%s: %s", paths.source, std::strerror(errno));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        Note("%s: not a regular file", paths.source);
        return;
    }
    int fd = ::open(paths.source, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Note("%s: %s", paths.source, std::strerror(errno));
        return;
    }
    ::close(fd);
    Note("%s: cannot create the rebuilt archive %s", archive.c_str(), paths.output);
}

// One of the library's questions: the flag that answers it, what to ask on a
// terminal, and what to say without one.
struct Question {
    unsigned long answer = 0;
    std::string ask;
    std::string tell;
};

// Answering 5001 or 5002 also lets the library replace the rebuilt archive
// without asking again, so the question says so when that file exists (after
// an earlier repair it may hold newer work than the backup).
std::string ReplacesNote(const char* output) {
    struct stat st;
    return ::stat(output, &st) == 0 ? std::string(" (replaces ") + output + ")" : std::string();
}

Question QuestionFor(unsigned long result, const std::string& archive, const Paths& paths) {
    Question q;
    const std::string replaces = ReplacesNote(paths.output);
    switch (result) {
        case REPAIR_BACKUP_EXISTS:
            q.answer = REPAIR_USE_EXISTING_BACKUP;
            q.ask = std::string(paths.source) + " already exists. Salvage from it again" +
                    (replaces.empty() ? "?" : "?" + replaces);
            q.tell = archive + ": the backup " + paths.source +
                     " already exists; --use-backup salvages from it again" + replaces;
            break;
        case REPAIR_INPUT_IS_BACKUP:
            q.answer = REPAIR_ALLOW_BACKUP_INPUT;
            q.ask = archive + " is a backup. Salvage it into " + paths.output + "?" +
                    (replaces.empty() ? "" : " (replaces it)");
            q.tell = archive + ": the name marks a backup; --from-backup salvages it into " +
                     paths.output + replaces +
                     ", --no-backup-name-check treats the name as ordinary";
            break;
        default:
            q.answer = REPAIR_OVERWRITE;
            q.ask = std::string(paths.output) + " already exists. Replace it?";
            q.tell = std::string(paths.output) + " already exists; --force replaces it";
            break;
    }
    return q;
}

int OutcomeOfRun(const std::string& archive, const Paths& paths) {
    const bool inPlace = archive == paths.output;
    if (Interrupted()) {
        if (HasEndRecord(paths.output))
            Note("interrupted, but %s was completed", paths.output);
        else if (!HasEntries(paths.output))
            Note("interrupted: nothing was salvaged into %s", paths.output);
        else
            Note("interrupted: %s holds the entries salvaged so far, without a central "
                 "directory (arcsalve can salvage from it)",
                 paths.output);
        if (inPlace) Note("the damaged archive is kept as %s", paths.source);
        return kExitInterrupted;
    }
    if (inPlace) Info("Damaged archive kept as %s", paths.source);
    if (!HasEntries(paths.output)) {
        Note("%s: nothing could be salvaged", archive.c_str());
        return kExitNothing;
    }
    Tally tally = CurrentTally();
    return tally.warnings + tally.errors > 0 ? kExitLosses : kExitIntact;
}

int RepairOne(const Options& options, const std::string& archive) {
    // RepairFile takes writable strings; it never writes through them.
    std::vector<char> in(archive.begin(), archive.end());
    in.push_back('\0');
    std::vector<char> out(options.outputDir.begin(), options.outputDir.end());
    out.push_back('\0');
    unsigned long flags = options.flags;

    for (;;) {
        ResetTally();
        unsigned long result = RepairFile(in.data(), options.outputDir.empty() ? nullptr : out.data(),
                                          flags, nullptr);
        EndProgress();
        const Paths paths = LibraryPaths();
        switch (result) {
            case REPAIR_OK:
                return OutcomeOfRun(archive, paths);
            case REPAIR_ERR_FILE:
                ExplainFileError(archive, paths);
                return kExitFileError;
            case REPAIR_ERR_BACKUP:
                Note("%s: cannot move it to %s; nothing was changed (-o DIR repairs into "
                     "another directory)",
                     archive.c_str(), paths.source);
                return kExitFileError;
            case REPAIR_BACKUP_EXISTS:
            case REPAIR_INPUT_IS_BACKUP:
            case REPAIR_OUTPUT_EXISTS: {
                Question q = QuestionFor(result, archive, paths);
                if (flags & q.answer) {  // answered already: the library would ask forever
                    Note("%s: unexpected question %lu", archive.c_str(), result);
                    return kExitFileError;
                }
                if (!CanAsk()) {
                    Note("%s", q.tell.c_str());
                    return kExitUnanswered;
                }
                Answer a = Ask(q.ask);
                if (a == Answer::kInterrupted) {
                    Note("%s: not repaired (interrupted)", archive.c_str());
                    return kExitInterrupted;
                }
                if (a == Answer::kNo) {
                    Note("%s: not repaired", archive.c_str());
                    return kExitUnanswered;
                }
                flags |= q.answer;
                break;
            }
            default:
                Note("%s: unexpected result %lu", archive.c_str(), result);
                return kExitFileError;
        }
    }
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    Options options;
    switch (ParseOptions(argc, argv, &options)) {
        case ParseOutcome::kDone: return kExitIntact;
        case ParseOutcome::kUsage: return kExitUsage;
        case ParseOutcome::kRun: break;
    }
    ConsoleInit(options);
    if (!PasswordsInit(options)) return kExitUsage;
    if (!SessionBegin()) return kExitFileError;
    InstallCallbacks();
    InstallPasswordCallbacks();

    int worst = kExitIntact;
    const bool several = options.archives.size() > 1;
    for (size_t i = 0; i < options.archives.size() && !Interrupted(); ++i) {
        if (several) Info("%s==> %s <==", i == 0 ? "" : "\n", options.archives[i].c_str());
        worst = std::max(worst, RepairOne(options, options.archives[i]));
    }

    RemovePasswordCallbacks();
    RemoveCallbacks();
    SessionEnd();
    return Interrupted() ? kExitInterrupted : worst;
}
