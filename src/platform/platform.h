// The platform seam: everything the library asks of the operating system.
//
// Only the backends under src/platform/ include OS headers. Everything here is
// a free function over an opaque file handle; the POSIX backend serves Linux
// (and every test), the Win32 backend the Windows DLL.
#ifndef ARCSALVE_PLATFORM_PLATFORM_H
#define ARCSALVE_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "arcsalve/arcsalve.h"

namespace arcsalve {

// An open file. 0 means "no file" (closed), kInvalidFile a failed open; no
// backend ever hands out either value for a file that is open.
using FileHandle = intptr_t;
constexpr FileHandle kNoFile = 0;
constexpr FileHandle kInvalidFile = -1;

inline bool IsOpenFile(FileHandle h) { return h != kNoFile && h != kInvalidFile; }

// Path buffers. Windows paths are limited to MAX_PATH (260); POSIX paths may
// be far longer, so the POSIX build gives them room.
#if defined(_WIN32)
constexpr size_t kMaxPath = 260;
constexpr char kPathSeparator = '\\';
#else
constexpr size_t kMaxPath = 4096;
constexpr char kPathSeparator = '/';
#endif

// --- Files -----------------------------------------------------------------

// Opens an existing regular file for reading, shared with nobody else who
// writes. Directories, devices and pipes are refused (and never block).
FileHandle FileOpenRead(const char* path);
// Creates (or truncates) a file for reading and writing.
FileHandle FileCreate(const char* path);
// Creates a new private file for reading and writing after deleting any old
// file of that name; never follows a symbolic link (POSIX: O_EXCL|O_NOFOLLOW,
// mode 0600), so a planted link cannot redirect what is written.
FileHandle FileCreatePrivate(const char* path);
// Creates a file for reading and writing only where nothing exists at the
// name (a link included, which is never followed), readable by its owner
// alone until FileCopyAccess gives it other permissions.
FileHandle FileCreateNew(const char* path);
// Gives `to` the permission bits of `from` and, where the process may, its
// owner and group (POSIX). On Windows a new file already takes its folder's
// access rules, and nothing is done.
void FileCopyAccess(FileHandle from, FileHandle to);
// A handle that takes every write and keeps nothing (POSIX /dev/null,
// Windows NUL): a test-only repair writes its archive there, so that no
// file is made. Its offset says nothing.
FileHandle FileOpenDiscard();
void FileClose(FileHandle h);

// Reads up to count bytes at the current offset; returns the number read
// (0 at end of file or on failure).
uint32_t FileRead(FileHandle h, void* buffer, uint32_t count);
// Reads up to count bytes at an absolute offset without moving the current
// offset; returns the number read.
uint32_t FileReadAt(FileHandle h, uint64_t offset, void* buffer, uint32_t count);
// Writes count bytes at the current offset; returns the number written.
uint32_t FileWrite(FileHandle h, const void* buffer, uint32_t count);
// Appends to `to`, at its current offset (through its write buffer when it
// has one), `count` bytes of `from` read at `offset` (from's own offset
// stays); returns the number appended: fewer when a read came up short
// (*shortRead set: `from` ended, or no memory to read into) or a write
// failed. The bytes pass through no buffer of the caller's, and, where the
// system copies between files itself, not through the process at all.
uint64_t FileCopyAt(FileHandle from, uint64_t offset, FileHandle to, uint64_t count, bool* shortRead);
// Moves the current offset; returns 1 on success, 0 on failure.
int FileSeek(FileHandle h, uint64_t offset);
// The current offset (0 if it cannot be learned).
uint64_t FileTell(FileHandle h);
// Cuts the file at its current offset; 1 on success.
int FileTruncateHere(FileHandle h);
// The size of an open file in bytes.
uint64_t FileSize(FileHandle h);
// Buffers the writes of a file opened for writing and only written (the
// rebuilt archive): FileWrite fills a buffer, FileTell and a FileSeek
// within the buffered bytes need no system call, and the bytes go out when
// the buffer is full, before a seek outside it, and at FileTruncateHere,
// FileFlush and FileClose. A backend may write through at once instead.
void FileBufferWrites(FileHandle h);
// Writes out the buffered bytes; 1 when all of them, and every buffered
// byte before them, reached the file. After a failure, writes come up short
// until a FileTruncateHere cuts the file before the lost bytes.
int FileFlush(FileHandle h);

// A second handle to an open file, with an offset of its own, for a thread
// that reads it with FileReadAt while the first handle is read in turn
// (kInvalidFile when the system gives none). Closed with FileClose.
FileHandle FileOpenAgain(FileHandle h);

// --- Memory ----------------------------------------------------------------

// The decoders' working memory: a block of size bytes, nullptr when none is
// left. MemoryFree accepts nullptr.
void* MemoryAllocate(size_t size);
void MemoryFree(void* block);

// --- Threads ---------------------------------------------------------------

// The verification workers: plain threads, one lock and one condition. The
// lock and the condition are blocks the backend allocates (nullptr when it
// cannot); the thread handle is 0 when no thread could be started.
using ThreadHandle = intptr_t;
typedef void (*ThreadMain)(void* argument);
ThreadHandle ThreadStart(ThreadMain main, void* argument);
void ThreadJoin(ThreadHandle thread);  // waits for the thread's end and frees it
struct Lock;
struct Condition;
Lock* LockCreate();
void LockDestroy(Lock* lock);
void LockAcquire(Lock* lock);
void LockRelease(Lock* lock);
Condition* ConditionCreate();
void ConditionDestroy(Condition* condition);
// Releases the lock, sleeps until woken (or spuriously), takes the lock again.
void ConditionWait(Condition* condition, Lock* lock);
void ConditionWakeAll(Condition* condition);
// The processors the process may run on, at least 1: the online ones, fewer
// when its affinity or (on Linux) a cgroup's CPU quota allows fewer.
uint32_t ProcessorCount();
#if defined(__linux__)
// The processors the cgroup CPU quotas (v2 cpu.max, or v1's CFS quota) of
// the process's group and of the groups above it allow (the least, rounded
// up), 0 when none is set or none is found; the /proc files are read below
// procPrefix ("" normally).
uint32_t CgroupProcessorLimit(const char* procPrefix);
#endif

// --- Names -----------------------------------------------------------------

int PathDelete(const char* path);                 // 1 on success
int PathMove(const char* from, const char* to);   // 1 on success; never replaces `to`
// Renames `from` to `to`, replacing a file at `to` in one step: readers see
// the old file or the new one, never neither (both names in one directory).
int PathReplace(const char* from, const char* to);  // 1 on success
int PathExists(const char* path);                 // 1 when its attributes can be read
// 1 when the name itself is a regular file: not a directory, device or pipe,
// and not a symbolic link (or Windows reparse point), whatever it points at.
int PathIsRegularFile(const char* path);
// Path equality: byte-exact on POSIX, case-insensitive on Windows.
int PathsEqual(const char* a, const char* b);
// 1 when both names exist and reach the same file, however they are spelt
// ("a.zip" and "./a.zip", a directory reached through a link). Names that
// PathsEqual calls different can still be one file; deleting one of them
// then deletes the other.
int PathsSameFile(const char* a, const char* b);
// Double-byte awareness of path scanning: on POSIX every byte is a unit (UTF-8
// never hides '/', '.' or '_' in a trail byte), so NextChar is p + 1.
const char* NextChar(const char* p);
// The temporary directory (GetTempPathA, or $TMPDIR else /tmp on POSIX),
// written into buffer; returns its length, 0 when there is none or it does not
// fit. A trailing separator may or may not be present.
size_t GetTempDirectory(char* buffer, size_t capacity);

// --- Text ------------------------------------------------------------------

// Opens the language module (Windows: a resource DLL named by
// ARCSALVE_LANGUAGE, else the library itself; POSIX: a catalogue file of
// "id<TAB>text" lines named by ARCSALVE_LANGUAGE, else the built-in table).
void LoadLanguageModule();
void FreeLanguageModule();
// Loads string `id` into buffer, LoadStringA-style: at most capacity - 1
// characters and a terminator. Returns the characters stored; 0 and an empty
// buffer when the id is unknown.
int LoadStringText(uint32_t id, char* buffer, int capacity);
// Converts an entry name from the archive's OEM code page (CP437) to host
// text (UTF-8 on POSIX, ANSI on Windows). Output is always terminated and
// truncated at a whole character. Returns the length written.
size_t OemToHost(const char* oem, char* out, size_t capacity);
// Converts a UTF-8 entry name to host text: on POSIX a copy, on Windows the
// ANSI code page (characters it lacks become '?'). Output is always
// terminated and truncated at a whole character. Returns the length written.
size_t Utf8ToHost(const char* utf8, char* out, size_t capacity);

// --- Password dialog -------------------------------------------------------

// Commands of the password dialog, by the id of the control that sends them:
// OK (also the Enter key) with the text of the password edit, Skip. Any other
// command (2 is the Escape key) is passed on too and ignored by the handler.
constexpr int kDialogOk = 1;
constexpr int kDialogSkip = 3;

// Receives each command of the password dialog: the dialog window (owner of
// any notice), the command, and for OK the edit's text, at most 39 bytes and
// a terminator. Returns 1 to close the dialog, 0 to keep it open (focus back
// in the password edit).
typedef int (*PasswordDialogHandler)(HWND dialog, int command, const char* text);

// Shows the modal password dialog (Windows: dialog 481 of the language
// module, centred over parent, the entry's name in host text) and passes its
// commands to handler until the handler closes it. Returns 1 when the dialog
// ran, 0 when it cannot be created; the POSIX backend has no dialog and
// always returns 0 (hosts answer through the password callback instead).
int ShowPasswordDialog(HWND parent, const char* name, PasswordDialogHandler handler);

// Shows a message box over owner and returns when the user has closed it;
// the POSIX backend has none and returns at once.
void ShowMessageBox(HWND owner, const char* text, const char* caption, uint32_t flags);

}  // namespace arcsalve

#endif  // ARCSALVE_PLATFORM_PLATFORM_H
