// Win32 backend of the platform seam: files, names and text through the ANSI
// Win32 calls. See platform.h for the contracts; the POSIX backend keeps the
// same ones.
#include "platform/platform.h"
#include "platform/write_behind.h"
#include "platform/win32/win32_module.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace arcsalve {
namespace {

// A FileHandle is the HANDLE's value: NULL (kNoFile) is never a file handle,
// INVALID_HANDLE_VALUE is kInvalidFile.
static_assert(sizeof(FileHandle) == sizeof(HANDLE), "a FileHandle holds a HANDLE");

FileHandle ToHandle(HANDLE h) {
    return h == INVALID_HANDLE_VALUE || h == nullptr ? kInvalidFile : reinterpret_cast<FileHandle>(h);
}
HANDLE ToWin(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

// ReadFile and WriteFile move at most 4 GiB - 1 per call and may stop short
// (pipes, network files): loop until done, at end of file or on failure.
uint32_t ReadAll(HANDLE h, void* buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!ReadFile(h, static_cast<char*>(buffer) + done, count - done, &n, nullptr) || n == 0)
            break;
        done += n;
    }
    return done;
}

// SetFilePointer with its high word, so offsets beyond 4 GiB work; the
// low-word result 0xFFFFFFFF is only an error when GetLastError says so.
int MovePointer(HANDLE h, int64_t distance, DWORD method, uint64_t* position) {
    LONG high = static_cast<LONG>(distance >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(h, static_cast<LONG>(distance & 0xFFFFFFFF), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
    if (position) *position = (static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low;
    return 1;
}

// WriteFile at an offset: the OVERLAPPED offset applies to a synchronous
// handle too (the call returns when done); the file pointer is not used.
uint32_t WriteAllAt(FileHandle h, const void* buffer, uint32_t count, uint64_t offset) {
    uint32_t done = 0;
    while (done < count) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>((offset + done) & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD n = 0;
        if (!WriteFile(ToWin(h), static_cast<const char*>(buffer) + done, count - done, &n, &at) || n == 0) break;
        done += n;
    }
    return done;
}

// The archive being written, buffered (FileBufferWrites); one at a time.
WriteBehind g_writeBehind = {};

WriteBehind* WriteBehindOf(FileHandle h) { return WriteBehindOf(g_writeBehind, h); }

}  // namespace

// --- Files ------------------------------------------------------------------

FileHandle FileOpenRead(const char* path) {
    // Shared with readers only: nobody may change the archive while it is
    // scanned (the verification workers read it through handles of their
    // own, FileOpenAgain).
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
    // Only files on a disk: "CON", "NUL", "COM1" or a pipe open as well, but
    // read like a keyboard or never end.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return kInvalidFile;
    }
    return ToHandle(h);
}

FileHandle FileCreate(const char* path) {
    return ToHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle FileCreatePrivate(const char* path) {
    DeleteFileA(path);
    // CREATE_NEW fails on anything left at the name (a file that could not be
    // deleted, a link planted since): the data never goes where it was not meant to.
    return ToHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle FileOpenDiscard() {
    return ToHandle(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle FileCreateNew(const char* path) {
    return ToHandle(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A new file inherits its folder's access rules, as a file the user saved
// there would: nothing to copy.
void FileCopyAccess(FileHandle, FileHandle) {}

void FileClose(FileHandle h) {
    if (WriteBehind* w = WriteBehindOf(h)) EndWriteBehind(w);
    if (IsOpenFile(h)) CloseHandle(ToWin(h));
}

uint32_t FileRead(FileHandle h, void* buffer, uint32_t count) {
    if (!IsOpenFile(h)) return 0;
    return ReadAll(ToWin(h), buffer, count);
}

uint32_t FileReadAt(FileHandle h, uint64_t offset, void* buffer, uint32_t count) {
    if (!IsOpenFile(h)) return 0;
    // A synchronous handle has one file pointer that every read moves: keep
    // the caller's position and put it back afterwards.
    uint64_t saved = 0;
    if (!MovePointer(ToWin(h), 0, FILE_CURRENT, &saved)) return 0;
    uint32_t done = 0;
    if (MovePointer(ToWin(h), static_cast<int64_t>(offset), FILE_BEGIN, nullptr))
        done = ReadAll(ToWin(h), buffer, count);
    MovePointer(ToWin(h), static_cast<int64_t>(saved), FILE_BEGIN, nullptr);
    return done;
}

FileHandle FileOpenAgain(FileHandle h) {
    if (!IsOpenFile(h)) return kInvalidFile;
    // A new file object with a file pointer of its own (a duplicate handle
    // would share the first one's, which FileReadAt moves and puts back).
    HANDLE again = ReOpenFile(ToWin(h), GENERIC_READ, FILE_SHARE_READ, 0);
    return again == INVALID_HANDLE_VALUE ? kInvalidFile : ToHandle(again);
}

uint32_t FileWrite(FileHandle h, const void* buffer, uint32_t count) {
    if (!IsOpenFile(h)) return 0;
    if (WriteBehind* w = WriteBehindOf(h)) return WriteBehindWrite(w, static_cast<const uint8_t*>(buffer), count);
    uint32_t done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!WriteFile(ToWin(h), static_cast<const char*>(buffer) + done, count - done, &n,
                       nullptr) ||
            n == 0)
            break;
        done += n;
    }
    return done;
}

uint64_t FileCopyAt(FileHandle from, uint64_t offset, FileHandle to, uint64_t count, bool* shortRead) {
    *shortRead = false;
    if (WriteBehind* w = WriteBehindOf(to)) return WriteBehindCopy(w, from, offset, count, shortRead);
    return CopyThroughMemory(from, offset, to, count, shortRead, FileWrite);
}

int FileSeek(FileHandle h, uint64_t offset) {
    if (!IsOpenFile(h)) return 0;
    if (WriteBehind* w = WriteBehindOf(h)) {
        WriteBehindSeek(w, offset);
        return 1;
    }
    return MovePointer(ToWin(h), static_cast<int64_t>(offset), FILE_BEGIN, nullptr);
}

uint64_t FileTell(FileHandle h) {
    uint64_t position = 0;
    if (const WriteBehind* w = WriteBehindOf(h)) return w->fileOffset + w->next;
    if (!IsOpenFile(h) || !MovePointer(ToWin(h), 0, FILE_CURRENT, &position)) return 0;
    return position;
}

int FileTruncateHere(FileHandle h) {
    if (!IsOpenFile(h)) return 0;
    if (WriteBehind* w = WriteBehindOf(h)) {
        if (!WriteBehindBeforeCut(w)) return 0;
        return MovePointer(ToWin(h), static_cast<int64_t>(w->fileOffset), FILE_BEGIN, nullptr) && SetEndOfFile(ToWin(h))
                   ? 1 : 0;
    }
    return SetEndOfFile(ToWin(h)) ? 1 : 0;
}

// A handle without memory for a buffer simply writes through.
void FileBufferWrites(FileHandle h) {
    uint64_t position = 0;
    if (IsOpenFile(h) && MovePointer(ToWin(h), 0, FILE_CURRENT, &position))
        StartWriteBehind(&g_writeBehind, h, position, WriteAllAt);
}

int FileFlush(FileHandle h) {
    if (!IsOpenFile(h)) return 0;
    WriteBehind* w = WriteBehindOf(h);
    if (w == nullptr) return 1;
    FlushWriteBehind(w);  // the position stays where it was
    return w->failed ? 0 : 1;
}

uint64_t FileSize(FileHandle h) {
    if (!IsOpenFile(h)) return 0;
    DWORD high = 0;
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(ToWin(h), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
    return (static_cast<uint64_t>(high) << 32) | low;
}

// --- Names ------------------------------------------------------------------

int PathDelete(const char* path) { return DeleteFileA(path) ? 1 : 0; }

int PathMove(const char* from, const char* to) {
    return MoveFileA(from, to) ? 1 : 0;  // never replaces an existing `to`
}

int PathReplace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

int PathIsRegularFile(const char* path) {
    const DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES &&
                   !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
               ? 1
               : 0;
}

int PathExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int PathsEqual(const char* a, const char* b) { return lstrcmpiA(a, b) == 0 ? 1 : 0; }

// One file is one volume and one file index, whatever the names ("a.zip" and
// ".\a.zip", a short 8.3 name, a hard link). Opening for no access at all,
// shared every way, works even while the file is open elsewhere; the backup
// flag lets directories open too.
int PathsSameFile(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const char* names[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        HANDLE h = CreateFileA(names[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 0;
        BOOL ok = GetFileInformationByHandle(h, &info[i]);
        CloseHandle(h);
        if (!ok) return 0;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
                   info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
                   info[0].nFileIndexLow == info[1].nFileIndexLow
               ? 1
               : 0;
}

// In a double-byte code page (932, 936, 949, 950) a trail byte can have the
// value of '\\', '.' or '_'; CharNextA steps over a lead byte and its trail as
// one character. It never steps past the terminator.
const char* NextChar(const char* p) { return CharNextA(p); }

size_t GetTempDirectory(char* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    buffer[0] = '\0';
    DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    DWORD n = GetTempPathA(room, buffer);
    // 0 is failure; a result not below the room given is the size needed.
    if (n == 0 || n >= room) {
        buffer[0] = '\0';
        return 0;
    }
    return n;
}

// --- Text -------------------------------------------------------------------

size_t OemToHost(const char* oem, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t len = std::strlen(oem);
    if (len > capacity - 1) len = capacity - 1;
    if (len > MAXDWORD) len = MAXDWORD;
    if (len > 0) OemToCharBuffA(oem, out, static_cast<DWORD>(len));
    out[len] = '\0';
    // OEM and ANSI code pages of one system agree on which bytes lead a
    // double-byte character; a cut may have left a lead byte without its trail.
    size_t whole = 0;
    while (whole < len) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(out[whole])) ? 2 : 1;
        if (whole + step > len) break;
        whole += step;
    }
    out[whole] = '\0';
    return whole;
}

size_t Utf8ToHost(const char* utf8, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    out[0] = '\0';
    // UTF-8 to UTF-16 to the ANSI code page; each step's size asked first.
    int wideCount = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (wideCount <= 0) return 0;
    auto* wide = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<size_t>(wideCount)));
    if (wide == nullptr) return 0;
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, wideCount);
    int ansiCount = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    char* ansi = ansiCount > 0 ? static_cast<char*>(std::malloc(static_cast<size_t>(ansiCount))) : nullptr;
    if (ansi != nullptr) WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, ansiCount, nullptr, nullptr);
    std::free(wide);
    if (ansi == nullptr) return 0;
    // Cut to fit at a whole character: a double-byte character stays whole.
    size_t len = std::strlen(ansi);
    size_t whole = 0;
    while (whole < len) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(ansi[whole])) ? 2 : 1;
        if (whole + step > len || whole + step > capacity - 1) break;
        whole += step;
    }
    std::memcpy(out, ansi, whole);
    out[whole] = '\0';
    std::free(ansi);
    return whole;
}

// --- Memory -----------------------------------------------------------------

void* MemoryAllocate(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void MemoryFree(void* block) { std::free(block); }

// --- Threads ----------------------------------------------------------------

struct Lock {
    SRWLOCK srw;
};
struct Condition {
    CONDITION_VARIABLE variable;
};

namespace {
struct ThreadStartBlock {
    ThreadMain main;
    void* argument;
    HANDLE thread;
};
DWORD WINAPI RunThread(LPVOID block) {
    auto* start = static_cast<ThreadStartBlock*>(block);
    start->main(start->argument);
    return 0;
}
}  // namespace

ThreadHandle ThreadStart(ThreadMain main, void* argument) {
    auto* block = static_cast<ThreadStartBlock*>(std::malloc(sizeof(ThreadStartBlock)));
    if (block == nullptr) return 0;
    block->main = main;
    block->argument = argument;
    block->thread = CreateThread(nullptr, 0, RunThread, block, 0, nullptr);
    if (block->thread == nullptr) {
        std::free(block);
        return 0;
    }
    return reinterpret_cast<ThreadHandle>(block);
}

void ThreadJoin(ThreadHandle thread) {
    auto* block = reinterpret_cast<ThreadStartBlock*>(thread);
    if (block == nullptr) return;
    WaitForSingleObject(block->thread, INFINITE);
    CloseHandle(block->thread);
    std::free(block);
}

Lock* LockCreate() {
    auto* lock = static_cast<Lock*>(std::malloc(sizeof(Lock)));
    if (lock != nullptr) InitializeSRWLock(&lock->srw);
    return lock;
}
void LockDestroy(Lock* lock) { std::free(lock); }
void LockAcquire(Lock* lock) { AcquireSRWLockExclusive(&lock->srw); }
void LockRelease(Lock* lock) { ReleaseSRWLockExclusive(&lock->srw); }

Condition* ConditionCreate() {
    auto* condition = static_cast<Condition*>(std::malloc(sizeof(Condition)));
    if (condition != nullptr) InitializeConditionVariable(&condition->variable);
    return condition;
}
void ConditionDestroy(Condition* condition) { std::free(condition); }
void ConditionWait(Condition* condition, Lock* lock) {
    SleepConditionVariableSRW(&condition->variable, &lock->srw, INFINITE, 0);
}
void ConditionWakeAll(Condition* condition) { WakeAllConditionVariable(&condition->variable); }

uint32_t ProcessorCount() {
    DWORD_PTR process = 0, system = 0;
    uint32_t count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process != 0; process &= process - 1) ++count;
    return count < 1 ? 1 : count;
}

}  // namespace arcsalve
