// Arcsalve: salvage of damaged ZIP archives.
//
// The library never trusts a damaged archive's central directory. RepairFile
// reads the whole file looking for local file headers, decodes every entry it
// finds with the entry's own method, and writes what it saved into a fresh,
// valid archive with a new central directory. What happened is told through
// the message callback; progress (and the only way to stop a repair) goes
// through the progress callback.
//
// The library is single-threaded over process-wide state: one repair at a
// time (not from inside a callback), and callbacks are called synchronously
// from inside RepairFile on the caller's thread.
//
// Files: while an entry is decoded the library keeps its data in the file
// "arcsalve.tmp" of the temporary directory (POSIX: $TMPDIR, else /tmp).
// That name is fixed, so two processes repairing at once must each have
// their own TMPDIR. Texts come from the built-in table; on POSIX the
// environment variable ARCSALVE_LANGUAGE may name a catalogue of
// "id<TAB>text" lines that replaces texts by id (read when the library is
// loaded).
#ifndef ARCSALVE_ARCSALVE_H
#define ARCSALVE_ARCSALVE_H

#if defined(_WIN32)
#  if defined(ARCSALVE_BUILDING_LIBRARY)
// The DLL's exports and their names come from resources/arcsalve.def (the
// MSVC-decorated names hosts bind to); dllexport would add the compiler's
// own names beside them.
#    define ARCSALVE_API
#  else
#    define ARCSALVE_API __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define ARCSALVE_CALLBACK __stdcall
#  else
#    define ARCSALVE_CALLBACK
#  endif
#else
#  define ARCSALVE_API __attribute__((visibility("default")))
#  define ARCSALVE_CALLBACK
#endif

#if defined(_WIN32)
// The real HWND of <windows.h>; declared the same way so the decorated export
// names match what Windows hosts bind to.
struct HWND__;
typedef HWND__* HWND;
#else
// Parent window for the password prompt. POSIX hosts have no windows: pass
// nullptr, or any token their password callback understands.
struct HWND__;
typedef HWND__* HWND;
#endif

// ---------------------------------------------------------------------------
// Flags: the third argument of RepairFile. Bits not listed are ignored.
// ---------------------------------------------------------------------------

// Replace an output archive that already exists (otherwise: REPAIR_OUTPUT_EXISTS).
constexpr unsigned long REPAIR_OVERWRITE = 0x02;
// The input is itself a backup ("NAME_BAK.ext"): read it and write NAME.ext
// (otherwise: REPAIR_INPUT_IS_BACKUP).
constexpr unsigned long REPAIR_ALLOW_BACKUP_INPUT = 0x04;
// Do not treat a name ending in "_BAK" as a backup; the test for an existing
// backup of the input still runs.
constexpr unsigned long REPAIR_NO_BACKUP_NAME_CHECK = 0x08;
// A backup of the input already exists: salvage from that backup
// (otherwise: REPAIR_BACKUP_EXISTS).
constexpr unsigned long REPAIR_USE_EXISTING_BACKUP = 0x10;

// Extensions. A host that sets none of them gets the classic salvage, byte
// for byte.
//
// Salvage entries whose CRC-32 and sizes follow their data in a data
// descriptor (general-purpose bit 3), as archives written to a stream have.
constexpr unsigned long REPAIR_TRAILING_DESCRIPTORS = 0x20;
// Keep intact entries as they are: a stored or deflated entry, not
// encrypted, that decodes completely to its recorded size and CRC-32 has its
// original compressed data copied into the rebuilt archive instead of being
// compressed anew. Its header is rewritten like every other saved entry's.
// Such an entry is checked by a decode that writes nothing; one that fails
// the check is read a second time for the classic salvage, so the progress
// percentage may step back while it is.
constexpr unsigned long REPAIR_KEEP_INTACT = 0x40;
// What a surviving central directory (or the part of it the scan passes)
// records about an entry the scan saved, carried into the rebuilt one: the
// host system and external attributes (a Unix mode, a symbolic link), the
// file comment, and the end record's archive comment. A directory record
// counts for an entry only when its name, CRC-32 and uncompressed size are
// those of the salvaged data; an entry without one is written as without
// the flag (made by MS-DOS). Records are never used to find entries.
constexpr unsigned long REPAIR_DIRECTORY_METADATA = 0x200;
// Entries whose local header is lost (overwritten, zeroed) but whose central
// directory record survives: each record that names no entry the scan found
// is followed to the local header offset it gives (shifted as far as the
// archive is: a self-extractor's program before it), and the data there is
// decoded. Only data that decodes to exactly the record's CRC-32 and size
// is saved, under the record's name, and reported as found through the
// central directory; a record that leads nowhere saves nothing and its
// entry is reported as not found. Encrypted entries are not looked for.
// What this reads again is bounded by the run's allowance for reading input
// twice, so any directory costs time linear in the input.
constexpr unsigned long REPAIR_DIRECTORY_RECOVERY = 0x400;
// Recovery past damage inside deflated (and Deflate64) and bzip2 data: after
// the first error the rest of the entry's data is searched for the next block
// that proves itself (for bzip2, the next block magic; each block has its
// CRC), and decoding resumes there; what comes back is appended to
// the good prefix piece by piece, bytes of unknown value (copies from before
// the resumption point) written as zero bytes, a lost stretch of unknown
// length left out. Such an entry is reported damaged with what was salvaged
// ("... in K pieces; U bytes unknown"), never intact, and its map of known,
// unknown and lost ranges goes with its report. Without the flag a damaged
// entry keeps only the prefix before its first error.
constexpr unsigned long REPAIR_RESYNC = 0x1000;
// Every extension of the salvage itself: what a host sets to get all of them.
constexpr unsigned long REPAIR_EXTENSIONS =
    REPAIR_TRAILING_DESCRIPTORS | REPAIR_KEEP_INTACT | REPAIR_DIRECTORY_METADATA | REPAIR_DIRECTORY_RECOVERY |
    REPAIR_RESYNC;
// Safe handling of the files, beside the salvage (not part of
// REPAIR_EXTENSIONS: a completed archive is the same byte for byte; what
// changes is which files exist while and after it is written):
// - the rebuilt archive is written under a temporary name beside it (its
//   name with ".arcsalve" and maybe a number added, created anew, never over
//   an existing file) with the permission bits (and, where the process may,
//   the owner) of the damaged file, and renamed to its name only once it is
//   complete; an archive it replaces stays whole until that moment;
// - a stop (the progress callback answering 0) completes the archive with
//   the entries saved before the one in hand, which is dropped, instead of
//   leaving it without a central directory; "Salvage Aborted" is still told;
// - a run that saves no entry, or whose archive cannot be completed (a full
//   disk), leaves no archive: the temporary file is deleted, an in-place
//   repair moves the damaged file back to its own name, and GetFilePaths
//   then gives an empty output path (and the input's path as source). The
//   result and the messages stay as without the flag.
constexpr unsigned long REPAIR_SAFE_FILES = 0x80;
// Salvage into nothing: the archive named is read, every entry decoded and
// checked, and told of (messages, verdicts) as a repair would save it, but
// no file is written, moved or created, not even the temporary one; no
// question is raised and GetFilePaths gives an empty output path.
constexpr unsigned long REPAIR_TEST_ONLY = 0x100;
// With REPAIR_KEEP_INTACT: intact entries are verified on every processor
// (worker threads decode the entries ahead of the scan and their results are
// taken in scan order). The archive, the messages, the progress reports and
// the answer to a stop are the same as without the flag, which verifies on
// the caller's thread alone; only the time changes. The callbacks are still
// called on the caller's thread only.
constexpr unsigned long REPAIR_ALL_CORES = 0x800;

// ---------------------------------------------------------------------------
// Results of RepairFile. Everything that happens inside the salvage itself is
// told through messages; RepairFile then still returns REPAIR_OK.
// ---------------------------------------------------------------------------

constexpr unsigned long REPAIR_OK = 0;               // the scan ran (to its end, aborted, or found nothing)
constexpr unsigned long REPAIR_ERR_FILE = 3;         // input cannot be opened, or output cannot be created
constexpr unsigned long REPAIR_ERR_NO_INPUT = 10;    // the input path is null
constexpr unsigned long REPAIR_BACKUP_EXISTS = 5001; // question: a backup exists; answer with REPAIR_USE_EXISTING_BACKUP
constexpr unsigned long REPAIR_INPUT_IS_BACKUP = 5002; // question: input is a backup; answer with REPAIR_ALLOW_BACKUP_INPUT
constexpr unsigned long REPAIR_ERR_BACKUP = 5005;    // the input could not be moved to its backup name
constexpr unsigned long REPAIR_OUTPUT_EXISTS = 5006; // question: output exists; answer with REPAIR_OVERWRITE

// ---------------------------------------------------------------------------
// Message levels passed to the message callback.
// ---------------------------------------------------------------------------

enum MessageLevel : int {
    MESSAGE_FATAL = -1,  // the call ends before any salvage (file or backup error)
    MESSAGE_INFO = 0,    // start and end of the salvage, an entry saved intact, the summary
    MESSAGE_WARNING = 1, // an entry decoded completely but its size differs from the recorded one
    MESSAGE_ERROR = 2,   // an entry skipped or damaged, premature end, write error, abort, counters
};

// ---------------------------------------------------------------------------
// Callbacks. A callback "address" is an unsigned integer as wide as a pointer
// (unsigned long on 32-bit Windows and LP64 systems; 64-bit Windows, where
// long stays 32 bits, needs a wider type): pass
// reinterpret_cast<CallbackAddress>(&MyFunction), or 0 for none.
// ---------------------------------------------------------------------------

#if defined(_WIN64)
typedef unsigned long long CallbackAddress;
#else
typedef unsigned long CallbackAddress;
#endif
static_assert(sizeof(CallbackAddress) == sizeof(void*), "a callback address holds a pointer");

// Receives one line of text at a MessageLevel (host text: UTF-8 on POSIX,
// the ANSI code page on Windows), without a line end. The text is valid only
// during the call. A repair reports "Beginning salvage operations...", one
// line per entry, and a summary ("Salvage attempt complete", "  %d files
// found", problem counters at level 2, "Salvaged data stored in ...").
typedef void(ARCSALVE_CALLBACK* MessageCallback)(int level, const char* text);

// Receives the whole percentage (1 to 100) of the input read so far, once
// per 10,000 bytes read (with REPAIR_KEEP_INTACT a damaged entry is read
// twice, and the percentage then steps back). Return nonzero to go on, 0 to
// stop: the repair then stops after the entry in hand with "Salvage Aborted"
// (the rebuilt archive keeps the entries written so far, without a central
// directory, or with REPAIR_SAFE_FILES completed by one); if no entry
// follows, the scan runs to the end and completes the archive normally.
typedef unsigned long(ARCSALVE_CALLBACK* ProgressCallback)(unsigned long percent);

// ---------------------------------------------------------------------------
// Exported functions.
// ---------------------------------------------------------------------------

// Repairs the archive at inPath. outPath, when not null, is the directory that
// receives the rebuilt archive (with or without a trailing separator). When
// it is null, or names the input's own directory, the repair is in place:
// the damaged file is moved to its backup name NAME_BAK.ext (taken from the
// last '.' of the file's name; "a" gives "a_BAK"), read from there, and the
// rebuilt archive takes its name. That move is the only change ever made to
// the input, and it is undone if the repair cannot start (with
// REPAIR_SAFE_FILES also when nothing was saved). An existing backup that is
// not a regular file (a directory, a symbolic link) is refused with
// REPAIR_ERR_FILE.
//
// Returns one of the REPAIR_* results above. After 5001, 5002 or 5006 nothing
// was opened, moved or deleted: ask the user and call again with the flag
// that answers the question. REPAIR_ERR_FILE and REPAIR_ERR_BACKUP come with
// a MESSAGE_FATAL message; so does a path too long for the library's buffers
// (REPAIR_ERR_FILE, both paths then empty). Whatever happens inside the
// salvage, the result is REPAIR_OK: the outcome is told by messages.
// GetFilePaths tells which files were meant. parent owns the password prompt.
ARCSALVE_API unsigned long RepairFile(char* inPath, char* outPath, unsigned long flags, HWND parent);

// Stores, through each pointer that is not null, the address of the path that
// the last RepairFile read or would read (source: the input or its backup),
// the path it wrote or would write (output), and a third path that is always
// empty. After 5001 source is the existing backup; after 5002 and 5006 output
// is the archive in question. The strings stay valid, and unchanged, until
// the next RepairFile.
ARCSALVE_API void GetFilePaths(char** source, char** output, char** extra);

// Install a callback; return the address of the one it replaces. 0 removes it.
// Callbacks stay installed across repairs: install 0 before unloading them.
ARCSALVE_API CallbackAddress SetMessageCallback(CallbackAddress callback);
ARCSALVE_API CallbackAddress SetProgressCallback(CallbackAddress callback);

// ---------------------------------------------------------------------------
// Passwords of encrypted entries, for hosts without Windows dialogs.
//
// An encrypted entry is first tried with the passwords accepted earlier in
// the life of the library (up to five, oldest first). When none fits, the
// user is asked: through the password callback when one is installed, else
// through the library's own dialog (Windows only; elsewhere the dialog
// cannot be created, which counts as Skip and the entry is reported as
// undecryptable). A typed password that does not fit brings the notice
// "Incorrect Password", and the user is asked again, as often as the host's
// callback answers OK. A password that fits is remembered for later entries
// and later repairs.
// ---------------------------------------------------------------------------

// Bytes of the buffer a password callback fills: at most 39 bytes of
// password and a terminating NUL.
constexpr int PASSWORD_BUFFER_SIZE = 40;

// Flags of the "Incorrect Password" notice: the stop icon (the value of the
// Win32 message-box flag MB_ICONHAND).
constexpr unsigned long NOTICE_ICON_STOP = 0x10;

// Asks the user for the password of the encrypted entry `name` (host text,
// converted like the names in messages). parent is the window passed to
// RepairFile. password points to PASSWORD_BUFFER_SIZE bytes, all zero on
// entry: write the password (any bytes but NUL, at most 39 of them; anything
// longer is cut to its first 39) and return 1 for OK, or return 0 for Skip.
// After a wrong password the notice callback runs and this callback is asked
// again for the same entry: a host that never answers 0 keeps the repair
// waiting.
typedef int(ARCSALVE_CALLBACK* PasswordCallback)(HWND parent, const char* name, char* password);

// Shows a text that the user must acknowledge and returns when the user has
// read it: today only "The entered password does not appear to be correct"
// with the caption "Incorrect Password" and flags NOTICE_ICON_STOP. owner is
// the window the notice belongs to (RepairFile's parent when the password
// came from the password callback). Both texts are valid only during the call.
typedef void(ARCSALVE_CALLBACK* NoticeCallback)(HWND owner, const char* text, const char* caption,
                                                unsigned long flags);

// Install the password or the notice callback; return the address of the one
// it replaces. 0 removes it. On Windows an installed password callback is
// used instead of the library's dialog, and an installed notice callback
// instead of its message box.
ARCSALVE_API CallbackAddress SetPasswordCallback(CallbackAddress callback);
ARCSALVE_API CallbackAddress SetNoticeCallback(CallbackAddress callback);

#endif  // ARCSALVE_ARCSALVE_H
