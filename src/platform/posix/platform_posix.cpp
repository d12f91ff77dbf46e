// POSIX backend of the platform seam (Linux). See platform.h for contracts.
#include "platform/platform.h"
#include "platform/write_behind.h"

#include <fcntl.h>
#include <pthread.h>
#if defined(__linux__)
#include <sched.h>
#endif
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace arcsalve {
namespace {

// Handles are fd + 1, so that 0 stays "no file" even when descriptor 0 is
// handed out (a host may have closed its standard input).
FileHandle ToHandle(int fd) { return fd < 0 ? kInvalidFile : static_cast<FileHandle>(fd) + 1; }
int ToFd(FileHandle h) { return IsOpenFile(h) ? static_cast<int>(h - 1) : -1; }


// --- Built-in string table and the optional catalogue -------------------

struct StringRow {
    uint32_t id;
    const char* text;
};

constexpr StringRow kBuiltinStrings[] = {
#define STR(id, name, text) {id, text},
#include "strings.inc"
#undef STR
};

using CatalogueRows = std::vector<std::pair<uint32_t, std::string>>;

// The backend's process-wide state: the language catalogue (rows of a
// translation, looked up before the built-in table; null until loaded) and
// the read-ahead buffers. Every member is constant-initialized, so the
// state is valid before any constructor runs: the library's load handler may
// run before this unit's dynamic initializers, which would otherwise reset a
// catalogue loaded a moment earlier.
// Read-ahead of a file opened for reading. The library reads its input in
// small pieces (1000 bytes for the archive reader, 1024 for the
// re-compressor's source); serving them from a larger buffer spares a
// system call per piece. Only handles from FileOpenRead get one: nothing
// writes through them, so the buffered bytes never go stale. The file's own
// offset stays at fileOffset + length; the handle's offset, as FileTell and
// FileSeek see it, is fileOffset + next.
constexpr uint32_t kReadAheadSize = 64 * 1024;
constexpr int kReadAheadSlots = 4;  // the input, the temporary file, and spares

struct ReadAhead {
    FileHandle handle;  // kNoFile: the slot is free
    uint8_t* bytes;     // kReadAheadSize bytes
    uint64_t fileOffset;
    uint32_t length;
    uint32_t next;
};

struct PlatformState {
    CatalogueRows* catalogue = nullptr;
    ReadAhead readAhead[kReadAheadSlots] = {};
    WriteBehind writeBehind = {};
};
PlatformState g_platform;

ReadAhead* ReadAheadOf(FileHandle h) {
    for (ReadAhead& r : g_platform.readAhead)
        if (r.handle == h && h != kNoFile) return &r;
    return nullptr;
}

// A handle without a free slot, or without memory for one, simply reads
// without read-ahead.
void StartReadAhead(FileHandle h) {
    ReadAhead* r = nullptr;
    for (ReadAhead& slot : g_platform.readAhead)
        if (slot.handle == kNoFile) {
            r = &slot;
            break;
        }
    if (r == nullptr) return;
    r->bytes = static_cast<uint8_t*>(std::malloc(kReadAheadSize));
    if (r->bytes == nullptr) return;
    r->handle = h;
    r->fileOffset = 0;
    r->length = 0;
    r->next = 0;
}

void EndReadAhead(FileHandle h) {
    ReadAhead* r = ReadAheadOf(h);
    if (r == nullptr) return;
    std::free(r->bytes);
    *r = ReadAhead{};
}

// read() until count bytes or the end; the number read.
uint32_t ReadWhole(int fd, void* buffer, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::read(fd, static_cast<char*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

uint32_t ReadBuffered(ReadAhead* r, int fd, uint8_t* out, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        if (r->next < r->length) {
            uint32_t n = std::min(count - done, r->length - r->next);
            std::memcpy(out + done, r->bytes + r->next, n);
            r->next += n;
            done += n;
            continue;
        }
        r->fileOffset += r->length;
        r->length = 0;
        r->next = 0;
        if (count - done >= kReadAheadSize) {  // large reads need no copy
            uint32_t n = ReadWhole(fd, out + done, count - done);
            r->fileOffset += n;
            return done + n;
        }
        uint32_t n = ReadWhole(fd, r->bytes, kReadAheadSize);
        if (n == 0) break;
        r->length = n;
    }
    return done;
}

WriteBehind* WriteBehindOf(FileHandle h) { return WriteBehindOf(g_platform.writeBehind, h); }

// pwrite() until count bytes are written; the number written.
uint32_t WriteWholeAt(int fd, const void* buffer, uint32_t count, uint64_t offset) {
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::pwrite(fd, static_cast<const char*>(buffer) + done, count - done,
                             static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

uint32_t WriteHandleAt(FileHandle h, const void* buffer, uint32_t count, uint64_t offset) {
    return WriteWholeAt(ToFd(h), buffer, count, offset);
}

void DropCatalogue() {
    delete g_platform.catalogue;
    g_platform.catalogue = nullptr;
}

const char* BuiltinText(uint32_t id) {
    for (const StringRow& row : kBuiltinStrings)
        if (row.id == id) return row.text;
    return nullptr;
}

// The conversions of a format text, in order ("sd" for "%s ... %d"). A
// translated text is used only when its conversions match the built-in
// text's, so a faulty catalogue can never make the formatter read arguments
// that were not passed.
std::string Conversions(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        // Flags and widths are harmless; a length modifier is not ("%ld"
        // reads 32 bits on one system and 64 on another, "%llu" 64), so
        // modifiers are kept with the conversion and make the text differ.
        while (*p == '-' || (*p >= '0' && *p <= '9')) ++p;
        while (*p == 'l' || *p == 'h' || *p == 'L' || *p == 'q' || *p == 'j' || *p == 'z' || *p == 't' ||
               *p == 'I' || (*p >= '0' && *p <= '9'))
            out += *p++;
        if (*p == '\0') break;
        out += *p;
    }
    return out;
}

void LoadCatalogue() {
    DropCatalogue();
    g_platform.catalogue = new CatalogueRows();
    const char* path = std::getenv("ARCSALVE_LANGUAGE");
    if (path == nullptr || *path == '\0') return;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return;
    char* line = nullptr;
    size_t lineCapacity = 0;
    ssize_t length;
    while ((length = ::getline(&line, &lineCapacity, f)) > 0) {
        // An embedded NUL ends the text early; the row is kept as far as it goes.
        char* tab = std::strchr(line, '\t');
        if (tab == nullptr) continue;
        *tab = '\0';
        char* end = nullptr;
        unsigned long id = std::strtoul(line, &end, 10);
        if (end == line || *end != '\0' || id > UINT32_MAX) continue;
        std::string text(tab + 1);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const char* builtin = BuiltinText(static_cast<uint32_t>(id));
        if (builtin != nullptr && Conversions(builtin) != Conversions(text.c_str())) continue;
        if (builtin == nullptr && !Conversions(text.c_str()).empty()) continue;
        g_platform.catalogue->emplace_back(static_cast<uint32_t>(id), std::move(text));
    }
    std::free(line);
    std::fclose(f);
}

// CP437 code points of the bytes 0x80 to 0xFF (the lower half is ASCII).
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

size_t EncodeUtf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
}

}  // namespace

// --- Files ------------------------------------------------------------------

FileHandle FileOpenRead(const char* path) {
    // O_NONBLOCK so that a pipe without a writer cannot hang the open; only
    // regular files are accepted, and for them the flag changes nothing.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kInvalidFile;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return kInvalidFile;
    }
    // The archive must not change under the scan: refuse a file that another
    // process holds locked (the Win32 backend opens without sharing).
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return kInvalidFile;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    StartReadAhead(ToHandle(fd));
    return ToHandle(fd);
}

FileHandle FileCreate(const char* path) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return ToHandle(fd);
}

FileHandle FileCreatePrivate(const char* path) {
    ::unlink(path);
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return ToHandle(fd);
}

FileHandle FileCreateNew(const char* path) {
    return ToHandle(::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
}

FileHandle FileOpenDiscard() { return ToHandle(::open("/dev/null", O_WRONLY | O_CLOEXEC)); }

void FileCopyAccess(FileHandle from, FileHandle to) {
    struct stat st;
    if (::fstat(ToFd(from), &st) != 0) return;
    // The owner first: a change of owner may clear mode bits. Only root may
    // give a file away; anyone may hand it to one of their own groups.
    if (::fchown(ToFd(to), st.st_uid, st.st_gid) != 0) {
        int groupOnly = ::fchown(ToFd(to), static_cast<uid_t>(-1), st.st_gid);
        (void)groupOnly;  // a group we are not in: the file keeps ours
    }
    int modeSet = ::fchmod(ToFd(to), st.st_mode & 0777);
    (void)modeSet;
}

void FileClose(FileHandle h) {
    int fd = ToFd(h);
    EndReadAhead(h);
    if (WriteBehind* w = WriteBehindOf(h)) EndWriteBehind(w);
    if (fd >= 0) ::close(fd);
}

uint32_t FileRead(FileHandle h, void* buffer, uint32_t count) {
    int fd = ToFd(h);
    if (fd < 0) return 0;
    if (ReadAhead* r = ReadAheadOf(h)) return ReadBuffered(r, fd, static_cast<uint8_t*>(buffer), count);
    return ReadWhole(fd, buffer, count);
}

uint32_t FileReadAt(FileHandle h, uint64_t offset, void* buffer, uint32_t count) {
    int fd = ToFd(h);
    if (fd < 0) return 0;
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, count - done,
                            static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

uint32_t FileWrite(FileHandle h, const void* buffer, uint32_t count) {
    int fd = ToFd(h);
    if (fd < 0) return 0;
    if (WriteBehind* w = WriteBehindOf(h)) return WriteBehindWrite(w, static_cast<const uint8_t*>(buffer), count);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, static_cast<const char*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

namespace {

// Copies from `offset` of `in` to the write buffer's position in `out`
// (the buffer empty) while whole buffers' worth remain, between the files'
// caches. Any error, or a copy of nothing (some file systems claim an end
// they do not have), stops it: the rest goes through the buffer, where a
// failed read and a failed write tell themselves apart.
uint64_t KernelCopy(int in, uint64_t offset, int out, WriteBehind* w, uint64_t count) {
    uint64_t done = 0;
    while (count - done >= kWriteBehindSize) {
        loff_t inAt = static_cast<loff_t>(offset + done), outAt = static_cast<loff_t>(w->fileOffset);
        const ssize_t n = ::copy_file_range(in, &inAt, out, &outAt, count - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        w->fileOffset += static_cast<uint64_t>(n);
        done += static_cast<uint64_t>(n);
    }
    return done;
}

}  // namespace

uint64_t FileCopyAt(FileHandle from, uint64_t offset, FileHandle to, uint64_t count, bool* shortRead) {
    *shortRead = false;
    WriteBehind* w = WriteBehindOf(to);
    if (w == nullptr) return CopyThroughMemory(from, offset, to, count, shortRead, FileWrite);
    uint64_t done = 0;
    if (count >= kWriteBehindSize && ToFd(from) >= 0 && !w->failed) {
        FlushWriteBehind(w);
        if (!w->failed) done = KernelCopy(ToFd(from), offset, ToFd(to), w, count);
    }
    return done + WriteBehindCopy(w, from, offset + done, count - done, shortRead);
}

int FileSeek(FileHandle h, uint64_t offset) {
    int fd = ToFd(h);
    if (fd < 0) return 0;
    if (WriteBehind* w = WriteBehindOf(h)) {
        WriteBehindSeek(w, offset);
        return 1;
    }
    ReadAhead* r = ReadAheadOf(h);
    if (r != nullptr) {
        // Within the buffered bytes (a step back, a return to a mark): no
        // system call, and the bytes stay.
        if (offset >= r->fileOffset && offset - r->fileOffset <= r->length) {
            r->next = static_cast<uint32_t>(offset - r->fileOffset);
            return 1;
        }
        if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return 0;
        r->fileOffset = offset;
        r->length = 0;
        r->next = 0;
        return 1;
    }
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0 ? 1 : 0;
}

uint64_t FileTell(FileHandle h) {
    int fd = ToFd(h);
    if (fd < 0) return 0;
    if (const ReadAhead* r = ReadAheadOf(h)) return r->fileOffset + r->next;
    if (const WriteBehind* w = WriteBehindOf(h)) return w->fileOffset + w->next;
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

int FileTruncateHere(FileHandle h) {
    int fd = ToFd(h);
    if (fd < 0) return 0;
    if (WriteBehind* w = WriteBehindOf(h))
        return WriteBehindBeforeCut(w) && ::ftruncate(fd, static_cast<off_t>(w->fileOffset)) == 0 ? 1 : 0;
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos < 0) return 0;
    return ::ftruncate(fd, pos) == 0 ? 1 : 0;
}

// A handle without memory for a buffer simply writes through.
void FileBufferWrites(FileHandle h) {
    if (ToFd(h) < 0) return;
    const off_t pos = ::lseek(ToFd(h), 0, SEEK_CUR);
    StartWriteBehind(&g_platform.writeBehind, h, pos < 0 ? 0 : static_cast<uint64_t>(pos), WriteHandleAt);
}

int FileFlush(FileHandle h) {
    int fd = ToFd(h);
    if (fd < 0) return 0;
    WriteBehind* w = WriteBehindOf(h);
    if (w == nullptr) return 1;
    FlushWriteBehind(w);  // the position stays where it was
    return w->failed ? 0 : 1;
}

uint64_t FileSize(FileHandle h) {
    int fd = ToFd(h);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

// --- Memory -----------------------------------------------------------------

FileHandle FileOpenAgain(FileHandle h) {
    // pread never uses the offset, so a duplicate that shares it serves.
    int fd = ToFd(h);
    if (fd < 0) return kInvalidFile;
    int again = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return again < 0 ? kInvalidFile : static_cast<FileHandle>(again) + 1;
}

void* MemoryAllocate(size_t size) { return std::malloc(size == 0 ? 1 : size); }

void MemoryFree(void* block) { std::free(block); }

// --- Names ------------------------------------------------------------------

int PathDelete(const char* path) { return ::unlink(path) == 0 ? 1 : 0; }

int PathMove(const char* from, const char* to) {
    // MoveFileA never replaces an existing file; link + unlink gives the same
    // guarantee atomically where hard links work, rename otherwise.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return 1;
    }
    if (errno == EEXIST) return 0;
    if (PathExists(to)) return 0;
    return ::rename(from, to) == 0 ? 1 : 0;
}

int PathReplace(const char* from, const char* to) {
    return ::rename(from, to) == 0 ? 1 : 0;
}

int PathIsRegularFile(const char* path) {
    struct stat st;
    return ::lstat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int PathExists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 ? 1 : 0;
}

int PathsEqual(const char* a, const char* b) { return std::strcmp(a, b) == 0 ? 1 : 0; }

int PathsSameFile(const char* a, const char* b) {
    struct stat sa, sb;
    if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
}

const char* NextChar(const char* p) { return *p ? p + 1 : p; }

size_t GetTempDirectory(char* buffer, size_t capacity) {
    if (capacity == 0) return 0;
    buffer[0] = '\0';
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = "/tmp";
    size_t n = std::strlen(dir);
    if (n + 1 > capacity) return 0;
    std::memcpy(buffer, dir, n + 1);
    return n;
}

// --- Text -------------------------------------------------------------------

void LoadLanguageModule() { LoadCatalogue(); }

void FreeLanguageModule() {
    DropCatalogue();
}

int LoadStringText(uint32_t id, char* buffer, int capacity) {
    if (capacity <= 0) return 0;
    if (g_platform.catalogue == nullptr) LoadCatalogue();
    const char* text = nullptr;
    for (const auto& row : *g_platform.catalogue)
        if (row.first == id) text = row.second.c_str();
    if (text == nullptr) text = BuiltinText(id);
    if (text == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    size_t n = std::strlen(text);
    if (n > static_cast<size_t>(capacity - 1)) n = static_cast<size_t>(capacity - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

size_t OemToHost(const char* oem, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t len = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(oem); *p; ++p) {
        char utf8[3];
        size_t n = EncodeUtf8(*p < 0x80 ? *p : kCp437High[*p - 0x80], utf8);
        if (len + n + 1 > capacity) break;
        std::memcpy(out + len, utf8, n);
        len += n;
    }
    out[len] = '\0';
    return len;
}

size_t Utf8ToHost(const char* utf8, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t len = std::strlen(utf8);
    if (len > capacity - 1) {
        len = capacity - 1;
        // Back off over continuation bytes to the start of the character cut.
        while (len > 0 && (static_cast<unsigned char>(utf8[len]) & 0xC0) == 0x80) --len;
    }
    std::memcpy(out, utf8, len);
    out[len] = '\0';
    return len;
}

// --- Password dialog ----------------------------------------------------------

// POSIX has no dialog of the library's own: the prompt reaches the user only
// through the host's password callback.
int ShowPasswordDialog(HWND, const char*, PasswordDialogHandler) { return 0; }

void ShowMessageBox(HWND, const char*, const char*, uint32_t) {}

// --- Threads ----------------------------------------------------------------

struct Lock {
    pthread_mutex_t mutex;
};
struct Condition {
    pthread_cond_t cond;
};

namespace {
struct ThreadStartBlock {
    ThreadMain main;
    void* argument;
    pthread_t thread;
};
void* RunThread(void* block) {
    auto* start = static_cast<ThreadStartBlock*>(block);
    start->main(start->argument);
    return nullptr;
}
}  // namespace

ThreadHandle ThreadStart(ThreadMain main, void* argument) {
    auto* block = static_cast<ThreadStartBlock*>(std::malloc(sizeof(ThreadStartBlock)));
    if (block == nullptr) return 0;
    block->main = main;
    block->argument = argument;
    if (pthread_create(&block->thread, nullptr, RunThread, block) != 0) {
        std::free(block);
        return 0;
    }
    return reinterpret_cast<ThreadHandle>(block);
}

void ThreadJoin(ThreadHandle thread) {
    auto* block = reinterpret_cast<ThreadStartBlock*>(thread);
    if (block == nullptr) return;
    pthread_join(block->thread, nullptr);
    std::free(block);
}

Lock* LockCreate() {
    auto* lock = static_cast<Lock*>(std::malloc(sizeof(Lock)));
    if (lock != nullptr && pthread_mutex_init(&lock->mutex, nullptr) != 0) {
        std::free(lock);
        return nullptr;
    }
    return lock;
}
void LockDestroy(Lock* lock) {
    if (lock == nullptr) return;
    pthread_mutex_destroy(&lock->mutex);
    std::free(lock);
}
void LockAcquire(Lock* lock) { pthread_mutex_lock(&lock->mutex); }
void LockRelease(Lock* lock) { pthread_mutex_unlock(&lock->mutex); }

Condition* ConditionCreate() {
    auto* condition = static_cast<Condition*>(std::malloc(sizeof(Condition)));
    if (condition != nullptr && pthread_cond_init(&condition->cond, nullptr) != 0) {
        std::free(condition);
        return nullptr;
    }
    return condition;
}
void ConditionDestroy(Condition* condition) {
    if (condition == nullptr) return;
    pthread_cond_destroy(&condition->cond);
    std::free(condition);
}
void ConditionWait(Condition* condition, Lock* lock) { pthread_cond_wait(&condition->cond, &lock->mutex); }
void ConditionWakeAll(Condition* condition) { pthread_cond_broadcast(&condition->cond); }

#if defined(__linux__)
namespace {

// The start of a small kernel file (/proc, /sys), empty when it cannot be
// read.
std::string ReadKernelFile(const std::string& path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || text.size() > 65536) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

// Processors for a quota of `quota` microseconds per `period`, rounded up;
// 0 for none.
uint32_t QuotaProcessors(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return 0;
    long long count = (quota + period - 1) / period;
    return count > 0xFFFF ? 0xFFFFu : static_cast<uint32_t>(count);
}

// A cgroup v2 "cpu.max" line: "QUOTA PERIOD", or "max PERIOD" for none.
uint32_t CpuMaxLimit(const std::string& text) {
    long long quota = 0, period = 0;
    if (std::sscanf(text.c_str(), "%lld %lld", &quota, &period) != 2) return 0;
    return QuotaProcessors(quota, period);
}

// Whether a comma-separated list names `option` exactly ("cpu", not
// "cpuacct" or "cpuset").
bool ListNames(const std::string& list, const std::string& option) {
    return ("," + list + ",").find("," + option + ",") != std::string::npos;
}

// The lines of a kernel file, one at a time, to `visit`, until it says stop.
template <typename Visit>
void EachLine(const std::string& text, Visit visit) {
    for (size_t line = 0; line < text.size();) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) end = text.size();
        if (!visit(text.substr(line, end - line))) return;
        line = end + 1;
    }
}

// The least quota of the process's group and of the groups above it in one
// hierarchy: cgroup v2's unified one (the "0::PATH" line of
// /proc/self/cgroup, a "cgroup2" mount, files cpu.max), or the cgroup v1
// hierarchy of the cpu controller ("N:CONTROLLERS:PATH" naming cpu, a
// "cgroup" mount whose options name cpu, files cpu.cfs_quota_us and
// cpu.cfs_period_us, a quota of -1 for none). 0 when none is set or found.
uint32_t HierarchyLimit(const std::string& groups, const std::string& mounts, bool v2) {
    std::string group;
    EachLine(groups, [&](const std::string& entry) {
        const size_t first = entry.find(':'), second = entry.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) return true;
        const std::string controllers = entry.substr(first + 1, second - first - 1);
        if (v2 ? entry.compare(0, 3, "0::") == 0 : ListNames(controllers, "cpu")) group = entry.substr(second + 1);
        return group.empty();
    });
    if (group.empty()) return 0;
    // mountinfo: ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS... - TYPE SOURCE SUPER-OPTIONS
    std::string root, mountPoint;
    EachLine(mounts, [&](const std::string& entry) {
        const size_t dash = entry.find(" - ");
        if (dash == std::string::npos) return true;
        char type[64], source[1024], options[1024], rootField[1024], pointField[1024];
        if (std::sscanf(entry.c_str() + dash + 3, "%63s %1023s %1023s", type, source, options) != 3) return true;
        if (v2 ? std::strcmp(type, "cgroup2") != 0 : std::strcmp(type, "cgroup") != 0 || !ListNames(options, "cpu"))
            return true;
        if (std::sscanf(entry.c_str(), "%*s %*s %*s %1023s %1023s", rootField, pointField) != 2) return true;
        root = rootField;
        mountPoint = pointField;
        return false;
    });
    if (mountPoint.empty()) return 0;
    if (root != "/" && group.rfind(root, 0) == 0) group.erase(0, root.size());
    uint32_t limit = 0;
    for (;;) {
        const std::string dir = mountPoint + group;
        long long quota = 0, period = 0;
        uint32_t here = 0;
        if (v2) {
            here = CpuMaxLimit(ReadKernelFile(dir + "/cpu.max"));
        } else if (std::sscanf(ReadKernelFile(dir + "/cpu.cfs_quota_us").c_str(), "%lld", &quota) == 1 &&
                   std::sscanf(ReadKernelFile(dir + "/cpu.cfs_period_us").c_str(), "%lld", &period) == 1) {
            here = QuotaProcessors(quota, period);
        }
        if (here != 0 && (limit == 0 || here < limit)) limit = here;
        size_t slash = group.find_last_of('/');
        if (slash == std::string::npos || group.empty() || group == "/") break;
        group.erase(slash);
    }
    return limit;
}

}  // namespace

// Either hierarchy may hold the cpu controller (a host may mount both): the
// smaller of their limits counts.
uint32_t CgroupProcessorLimit(const char* procPrefix) {
    const std::string proc = std::string(procPrefix) + "/proc/self/";
    const std::string groups = ReadKernelFile(proc + "cgroup"), mounts = ReadKernelFile(proc + "mountinfo");
    const uint32_t v2 = HierarchyLimit(groups, mounts, true), v1 = HierarchyLimit(groups, mounts, false);
    return v1 != 0 && (v2 == 0 || v1 < v2) ? v1 : v2;
}
#endif

// The online processors, fewer when the affinity mask or a cgroup quota
// allows fewer: a worker beyond those would only wait for a processor.
uint32_t ProcessorCount() {
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    uint32_t count = online < 1 ? 1 : static_cast<uint32_t>(online);
#if defined(__linux__)
    // The mask is sized for the processors the kernel knows, grown while
    // it is too small.
    for (size_t cpus = 1024; cpus <= 65536; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        size_t size = CPU_ALLOC_SIZE(cpus);
        int got = ::sched_getaffinity(0, size, set);
        int allowed = got == 0 ? CPU_COUNT_S(size, set) : 0;
        int error = errno;
        CPU_FREE(set);
        if (got == 0) {
            if (allowed >= 1 && static_cast<uint32_t>(allowed) < count) count = static_cast<uint32_t>(allowed);
            break;
        }
        if (error != EINVAL) break;
    }
    uint32_t quota = CgroupProcessorLimit("");
    if (quota != 0 && quota < count) count = quota;
#endif
    return count;
}

}  // namespace arcsalve
