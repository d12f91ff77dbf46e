// arcsalve: the command-line host of the library, through its C interface.
// Repairs (or only tests) each archive named on the command line, answers
// the library's questions (asking the user on a terminal), reports each
// archive's entries when asked, and exits with the status the library gives.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "arcsalve/arcsalve_c.h"
#include "console.h"
#include "options.h"
#include "passwords.h"
#include "report.h"
#include "session.h"

namespace cli {
namespace {

struct Paths {
    const char* source = "";  // the archive read (the input or its backup)
    const char* output = "";  // the rebuilt archive
};

Paths PathsOf(const arcsalve_result& result) {
    Paths p;
    p.source = result.source;
    p.output = result.output;
    return p;
}

// A file's identity, whatever name reaches it: device and inode.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId& o) const { return device == o.device && inode == o.inode; }
};

bool IdentityOf(const char* path, FileId* id) {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    id->device = st.st_dev;
    id->inode = st.st_ino;
    return true;
}

// The directory part of a name as given ("." for a bare name).
std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// -o DIR names the archive's own directory however it is spelt ("-o .",
// a link to it): the repair is then an in-place one.
bool IsOwnDirectory(const std::string& dir, const std::string& archive) {
    FileId a, b;
    return IdentityOf(dir.c_str(), &a) && IdentityOf(DirectoryOf(archive).c_str(), &b) && a == b;
}

// The archives this run has written, with the input each was rebuilt from:
// a later input must not silently replace one of them.
std::vector<std::pair<FileId, std::string>> g_written;

const std::string* RebuiltFrom(const char* output) {
    FileId id;
    if (*output == '\0' || !IdentityOf(output, &id)) return nullptr;
    for (const auto& w : g_written)
        if (w.first == id) return &w.second;
    return nullptr;
}

// Why `path` cannot be created under its name with `suffix` added, as far
// as can be seen without creating anything: a directory stands in its place,
// its directory is missing, not writable or on a read-only file system, or
// the name is too long for it. Empty when nothing is seen.
std::string WhyNotCreatable(const std::string& path, const char* suffix) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    const std::string dir = DirectoryOf(path);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return std::strerror(errno);
    const long longest = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    const size_t name = path.size() - path.rfind('/') - 1 + std::strlen(suffix);
    if (longest > 0 && name > static_cast<size_t>(longest)) return std::strerror(ENAMETOOLONG);
    return std::string();
}

// The library only says "File Error" (not shown); find out which file and
// why. `output` is the rebuilt archive meant, also when the library no longer
// names it (the salvage ran but its archive could not take its name).
void ExplainFileError(const std::string& archive, const Paths& paths, const std::string& output) {
    if (*paths.source == '\0') {
        Note("%s: name too long", archive.c_str());
        return;
    }
    struct stat st, own;
    if (::stat(paths.source, &st) != 0) {
        Note("%s: %s", paths.source, std::strerror(errno));
        return;
    }
    // A backup is taken only as a regular file of its own, never through a link.
    const bool linkedBackup = archive != paths.source && ::lstat(paths.source, &own) == 0 && !S_ISREG(own.st_mode);
    if (!S_ISREG(st.st_mode) || linkedBackup) {
        Note("%s: not a regular file", paths.source);
        return;
    }
    int fd = ::open(paths.source, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Note("%s: %s", paths.source, std::strerror(errno));
        return;
    }
    ::close(fd);
    // The rebuilt archive is written first as NAME.arcsalve beside its name.
    const std::string why = WhyNotCreatable(output, ".arcsalve");
    Note("%s: cannot create the rebuilt archive %s%s%s", archive.c_str(), output.c_str(), why.empty() ? "" : ": ",
         why.c_str());
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
                     paths.output +
                     (replaces.empty() ? "" : " (it exists: --force lets it be replaced)") +
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

// With nothing saved, or a stop before the first entry, the library leaves
// no archive (an empty output path) and every file as it was. A test leaves
// none ever. `status` is the library's.
int OutcomeOfRun(const std::string& archive, const Paths& paths, bool inPlace, int status) {
    const bool written = *paths.output != '\0';
    FileId id;
    if (written && IdentityOf(paths.output, &id)) g_written.emplace_back(id, archive);
    if (Interrupted()) {
        if (written)
            Note("interrupted: %s holds the entries salvaged before the stop, completed with a "
                 "central directory",
                 paths.output);
        else
            Note("interrupted before any entry was salvaged: %s was left as it was", archive.c_str());
        if (written && inPlace) Note("the damaged archive is kept as %s", paths.source);
        return StopStatus();
    }
    if (status == kExitNothing) {
        Note("%s: nothing could be salvaged; the file was left as it was", archive.c_str());
        return kExitNothing;
    }
    if (inPlace && written) Info("Damaged archive kept as %s", paths.source);
    return status;
}

// Settles one question: answered already when an option gave the answer,
// else asked on a terminal, else told with the option that answers it.
// 0 to go on, else the exit status.
int Settle(const std::string& archive, const Question& q, bool given) {
    if (given) return 0;
    if (!CanAsk()) {
        Note("%s", q.tell.c_str());
        return kExitUnanswered;
    }
    Answer a = Ask(q.ask);
    if (a == Answer::kInterrupted) {
        Note("%s: not repaired (interrupted)", archive.c_str());
        return StopStatus();
    }
    if (a == Answer::kNo) {
        Note("%s: not repaired", archive.c_str());
        return kExitUnanswered;
    }
    return 0;
}

// The flags that answer the library's questions. They are never passed up
// front: each question comes back first, so that the command can see which
// file it is about before an answer given on the command line lets the
// library replace it.
constexpr unsigned long kAnswerFlags =
    REPAIR_OVERWRITE | REPAIR_USE_EXISTING_BACKUP | REPAIR_ALLOW_BACKUP_INPUT;

// The library's options for one call: the flags, the passwords that
// opened entries of earlier archives, and the command's callbacks.
struct CallOptions {
    std::vector<const char*> passwords;
    arcsalve_options options{};
};

void Prepare(CallOptions& call, unsigned long flags, unsigned workers, ArchiveReport* report) {
    call.passwords.clear();
    for (const std::string& p : OpenedPasswords()) call.passwords.push_back(p.c_str());
    arcsalve_options& o = call.options;
    o = arcsalve_options{};
    o.size = sizeof o;
    o.flags = flags;
    o.workers = workers;
    o.passwords = call.passwords.data();
    o.password_count = call.passwords.size();
    o.user = report;
    o.on_message = &ConsoleMessage;
    o.on_progress = &ConsoleProgress;
    o.on_password = &AskPassword;
    o.on_notice = &TellNotice;
    o.on_entry = report->listed ? &CollectEntry : nullptr;
}

// Tests one archive: read from where it is, whatever its name says.
int TestOne(const Options& options, const std::string& archive, ArchiveReport* report) {
    CallOptions call;
    Prepare(call, (options.flags & ~kAnswerFlags) | ARCSALVE_TEST_ONLY, options.workers, report);
    report->result.size = sizeof report->result;
    const int status = arcsalve_repair(archive.c_str(), nullptr, &call.options, &report->result);
    EndProgress(report->result.code == ARCSALVE_CODE_DONE && !Interrupted());
    if (status == kExitFileError) {
        ExplainFileError(archive, PathsOf(report->result), std::string());
        return status;
    }
    return OutcomeOfRun(archive, PathsOf(report->result), false, status);
}

int RepairOne(const Options& options, const std::string& archive, ArchiveReport* report) {
    if (options.testOnly) return TestOne(options, archive, report);
    const unsigned long given = options.flags & kAnswerFlags;
    unsigned long flags = options.flags & ~kAnswerFlags;
    // The input's own directory given as -o is an in-place repair, said so,
    // and run as one: the library is given no output directory.
    bool inPlace = options.outputDir.empty();
    if (!inPlace && IsOwnDirectory(options.outputDir, archive)) {
        inPlace = true;
        Info("%s: %s is the archive's own directory: repairing in place", archive.c_str(),
             options.outputDir.c_str());
    }

    // The rebuilt archive's name, as the library last gave it (a question
    // names it), else as it derives it: the input's own, or in DIR.
    std::string output = inPlace ? archive : options.outputDir + "/" + archive.substr(archive.rfind('/') + 1);
    for (;;) {
        report->entries.clear();
        report->result = arcsalve_result{};
        report->result.size = sizeof report->result;
        CallOptions call;
        Prepare(call, flags, options.workers, report);
        const int status = arcsalve_repair(archive.c_str(), inPlace ? nullptr : options.outputDir.c_str(),
                                           &call.options, &report->result);
        const unsigned long code = report->result.code;
        EndProgress(code == ARCSALVE_CODE_DONE && !Interrupted());
        const Paths paths = PathsOf(report->result);
        if (*paths.output != '\0') output = paths.output;
        if (code == ARCSALVE_CODE_BACKUP_FAILED) {
            const std::string why = WhyNotCreatable(paths.source, "");
            Note("%s: cannot move it to %s%s%s; nothing was changed (-o DIR repairs into "
                 "another directory)",
                 archive.c_str(), paths.source, why.empty() ? "" : ": ", why.c_str());
            return kExitFileError;
        }
        if (status == kExitFileError) {
            ExplainFileError(archive, paths, output);
            return kExitFileError;
        }
        if (status != kExitUnanswered) return OutcomeOfRun(archive, paths, inPlace, status);

        Question q = QuestionFor(code, archive, paths);
        if (flags & q.answer) {  // answered already: the library would ask forever
            Note("%s: unexpected question %lu", archive.c_str(), code);
            return kExitFileError;
        }
        // Every answer lets the library replace the output: never
        // one that an earlier input of this run was rebuilt into.
        if (const std::string* from = RebuiltFrom(paths.output)) {
            Note("%s: not repaired: %s holds what was salvaged from %s in this run (repair "
                 "%s in a run of its own, or with -o into another directory)",
                 archive.c_str(), paths.output, from->c_str(), archive.c_str());
            return kExitUnanswered;
        }
        const bool replaces = !ReplacesNote(paths.output).empty();
        if (int settled = Settle(archive, q, (given & q.answer) != 0)) return settled;
        flags |= q.answer;
        // A backup named with --from-backup is rebuilt under a name
        // that may hold some other file: replacing it takes -f or a yes.
        if (code == REPAIR_INPUT_IS_BACKUP && (given & q.answer) && replaces) {
            const Question r = QuestionFor(REPAIR_OUTPUT_EXISTS, archive, paths);
            if (int settled = Settle(archive, r, (given & REPAIR_OVERWRITE) != 0)) return settled;
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
    // A test writes nothing: neither the -o directory nor a temporary one.
    if (!options.testOnly && !options.outputDir.empty() && !MakeOutputDir(options.outputDir))
        return kExitFileError;
    if (!SessionBegin(!options.testOnly)) return kExitFileError;

    int worst = kExitIntact;
    const bool several = options.archives.size() > 1;
    std::vector<ArchiveReport> reports;
    for (size_t i = 0; i < options.archives.size() && !Interrupted(); ++i) {
        if (several) Info("%s==> %s <==", i == 0 ? "" : "\n", options.archives[i].c_str());
        BeginArchive(options.archives[i], several);
        ArchiveReport report;
        report.input = options.archives[i];
        report.test = options.testOnly;
        report.listed = options.listing || options.json;
        report.status = RepairOne(options, options.archives[i], &report);
        worst = std::max(worst, report.status);
        if (options.listing && !options.json && report.result.entries_found > 0) PrintListing(report);
        if (options.json) reports.push_back(std::move(report));
    }

    SessionEnd();
    const int status = Interrupted() ? std::max(worst, StopStatus()) : worst;
    if (options.json) {
        std::fputs(JsonReport(reports, status).c_str(), stdout);
        std::fflush(stdout);
    }
    return status;
}
