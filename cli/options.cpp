// Command-line parsing. To add an option: a line in kHelp, an entry in
// kLongOptions (with a short letter in kShortOptions, or an OptionId for a
// long-only option), and a case in ParseOptions.
#include "options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arcsalve/arcsalve.h"

#ifndef ARCSALVE_VERSION
#define ARCSALVE_VERSION "unknown"
#endif

namespace cli {
namespace {

const char kHelp[] =
    "Usage: arcsalve [OPTION]... ARCHIVE...\n"
    "Salvage what can be saved from damaged ZIP archives.\n"
    "\n"
    "Each ARCHIVE is scanned for its entries, whatever its central directory\n"
    "says, and rebuilt as a fresh archive. By default the repair is in place:\n"
    "the damaged file is kept as NAME_BAK.ext and the rebuilt archive takes its\n"
    "name.\n"
    "\n"
    "Options:\n"
    "  -o, --output=DIR          write the rebuilt archives into DIR (made, with its\n"
    "                            parents, if missing); the damaged files stay as\n"
    "                            they are\n"
    "  -f, --force               replace a rebuilt archive that already exists\n"
    "      --use-backup          a backup NAME_BAK.ext exists: salvage from it again\n"
    "      --from-backup         ARCHIVE is a backup (NAME_BAK.ext): rebuild it as\n"
    "                            NAME.ext\n"
    "      --no-backup-name-check\n"
    "                            treat names ending in _BAK as ordinary names\n"
    "  -p, --password=PW         try PW on encrypted entries (repeatable; other\n"
    "                            users can see it in the process list)\n"
    "      --password-file=FILE  try each line of FILE as a password ('-' reads\n"
    "                            standard input; empty lines are skipped)\n"
    "      --recompress          compress every entry anew (by default an intact\n"
    "                            stored or deflated entry keeps its data as it is)\n"
    "      --classic             the classic salvage, without the extensions: every\n"
    "                            entry compressed anew, sizes in trailing data\n"
    "                            descriptors not used, nothing taken from a\n"
    "                            surviving central directory (lost entries it\n"
    "                            lists, modes, links, comments)\n"
    "      --prefix-only         keep of a damaged deflated or bzip2 entry only what\n"
    "                            comes before its first damage (by default\n"
    "                            decoding resumes past it: see --json for the map)\n"
    "  -t, --test                salvage into nothing: read and check every entry,\n"
    "                            tell what a repair would save, write no file\n"
    "                            (-o is not used); the exit status is a repair's\n"
    "  -l, --list                --test, then one line per entry found: method,\n"
    "                            sizes, offset, verdict, name\n"
    "  -v, --verbose             that listing after a repair too\n"
    "      --json                the report (archives, counts, statuses, entries)\n"
    "                            as one JSON document on standard output; the\n"
    "                            messages go to standard error\n"
    "  -j, --jobs=N              verify intact entries on N threads (default: one\n"
    "                            per processor; -j 1 for one); the outcome is the\n"
    "                            same whatever N\n"
    "      --no-prompt           never ask; say which option answers the question\n"
    "  -q, --quiet               print only warnings and errors\n"
    "      --no-progress         no progress bar (on a terminal it is drawn on\n"
    "                            standard error; TERM=dumb: a line each quarter)\n"
    "  -h, --help                show this help and exit\n"
    "      --version             show the version and exit\n"
    "\n"
    "Questions are asked only when standard input is a terminal. Ctrl-C, SIGTERM,\n"
    "SIGHUP or a closed standard output stop the repair: the entries saved so\n"
    "far are completed into a valid archive; a second signal ends at once. A\n"
    "file from which nothing is salvaged is left as it was.\n"
    "\n"
    "An encrypted entry is tried with the passwords that opened earlier entries,\n"
    "then with those given by -p and --password-file in order; then, on a\n"
    "terminal, its password is asked for: Enter skips the entry, Ctrl-D skips\n"
    "it and every later one of the run that no known password opens, without\n"
    "asking again. Passwords longer than 39 characters are cut to their first 39.\n"
    "\n"
    "Exit status:\n"
    "    0  every entry found was saved intact\n"
    "    1  repaired, with damaged or lost entries\n"
    "    2  bad command line\n"
    "    3  an archive could not be read, written or backed up\n"
    "    4  nothing could be salvaged (no file was changed)\n"
    "    5  a question (backup, overwrite) was not answered with yes\n"
    "  130  stopped by Ctrl-C (143 SIGTERM, 129 SIGHUP, 141 closed output)\n"
    "With several archives the highest status is returned.\n";

// Long-only options get ids above the range of characters.
enum OptionId : int {
    kOptUseBackup = 256,
    kOptFromBackup,
    kOptNoBackupNameCheck,
    kOptNoPrompt,
    kOptNoProgress,
    kOptVersion,
    kOptPasswordFile,
    kOptRecompress,
    kOptClassic,
    kOptPrefixOnly,
    kOptJson,
};

// A leading ':' makes getopt report a missing argument as ':' and stay quiet.
const char kShortOptions[] = ":o:fqhp:tlvj:";

const struct option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"force", no_argument, nullptr, 'f'},
    {"use-backup", no_argument, nullptr, kOptUseBackup},
    {"from-backup", no_argument, nullptr, kOptFromBackup},
    {"no-backup-name-check", no_argument, nullptr, kOptNoBackupNameCheck},
    {"password", required_argument, nullptr, 'p'},
    {"password-file", required_argument, nullptr, kOptPasswordFile},
    {"recompress", no_argument, nullptr, kOptRecompress},
    {"classic", no_argument, nullptr, kOptClassic},
    {"prefix-only", no_argument, nullptr, kOptPrefixOnly},
    {"test", no_argument, nullptr, 't'},
    {"list", no_argument, nullptr, 'l'},
    {"verbose", no_argument, nullptr, 'v'},
    {"json", no_argument, nullptr, kOptJson},
    {"jobs", required_argument, nullptr, 'j'},
    {"no-prompt", no_argument, nullptr, kOptNoPrompt},
    {"quiet", no_argument, nullptr, 'q'},
    {"no-progress", no_argument, nullptr, kOptNoProgress},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

ParseOutcome UsageError(const char* what, const char* detail) {
    std::fprintf(stderr, "arcsalve: %s%s\nTry 'arcsalve --help' for more information.\n", what,
                 detail);
    return ParseOutcome::kUsage;
}

}  // namespace

ParseOutcome ParseOptions(int argc, char** argv, Options* options) {
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'o':
                if (*optarg == '\0') return UsageError("not a directory: ", "''");
                options->outputDir = optarg;
                break;
            case 'f': options->flags |= REPAIR_OVERWRITE; break;
            case kOptUseBackup: options->flags |= REPAIR_USE_EXISTING_BACKUP; break;
            case kOptFromBackup: options->flags |= REPAIR_ALLOW_BACKUP_INPUT; break;
            case kOptNoBackupNameCheck: options->flags |= REPAIR_NO_BACKUP_NAME_CHECK; break;
            case 'p': options->passwords.push_back({false, optarg}); break;
            case kOptPasswordFile:
                if (*optarg == '\0') return UsageError("no password file: ", "''");
                options->passwords.push_back({true, optarg});
                break;
            case kOptRecompress: options->flags &= ~REPAIR_KEEP_INTACT; break;
            case kOptClassic: options->flags &= ~REPAIR_EXTENSIONS; break;
            case kOptPrefixOnly: options->flags &= ~REPAIR_RESYNC; break;
            case 't': options->testOnly = true; break;
            case 'l': options->testOnly = options->listing = true; break;
            case 'v': options->listing = true; break;
            case kOptJson: options->json = true; break;
            case 'j': {
                char* end = nullptr;
                errno = 0;
                const unsigned long n = std::strtoul(optarg, &end, 10);
                if (*optarg < '0' || *optarg > '9' || *end != '\0' || errno != 0 || n < 1 || n > 64)
                    return UsageError("not a number of threads (1 to 64): ", optarg);
                options->workers = static_cast<unsigned>(n);
                break;
            }
            case kOptNoPrompt: options->noPrompt = true; break;
            case 'q': options->quiet = true; break;
            case kOptNoProgress: options->noProgress = true; break;
            case 'h': std::fputs(kHelp, stdout); return ParseOutcome::kDone;
            case kOptVersion: std::printf("arcsalve %s\n", ARCSALVE_VERSION); return ParseOutcome::kDone;
            case ':': return UsageError("option needs a value: ", argv[optind - 1]);
            default: {
                // optopt names an unknown short option; a long one is the
                // argument just passed.
                char letter[3] = {'-', static_cast<char>(optopt), '\0'};
                return UsageError("unknown option: ", optopt != 0 ? letter : argv[optind - 1]);
            }
        }
    }
    for (int i = optind; i < argc; ++i) options->archives.emplace_back(argv[i]);
    if (options->archives.empty()) return UsageError("no archive given", "");

    // A missing output directory is made once the command line is known to
    // be good (MakeOutputDir); anything else in its place is refused now.
    if (!options->outputDir.empty()) {
        struct stat st;
        const int found = ::stat(options->outputDir.c_str(), &st);
        if (found == 0 ? !S_ISDIR(st.st_mode) : errno != ENOENT)
            return UsageError("not a directory: ", options->outputDir.c_str());
    }
    return ParseOutcome::kRun;
}

bool MakeOutputDir(const std::string& dir) {
    // Each missing directory along the path, parents first, as `mkdir -p`
    // does; one that appears meanwhile is as good as one made.
    for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
        const std::string part = dir.substr(0, end);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "arcsalve: cannot create directory %s: %s\n", part.c_str(),
                         std::strerror(errno));
            return false;
        }
        if (end == std::string::npos) break;
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    std::fprintf(stderr, "arcsalve: cannot create directory %s: %s\n", dir.c_str(),
                 std::strerror(ENOTDIR));
    return false;
}

}  // namespace cli
