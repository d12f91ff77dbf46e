// Write-behind of the rebuilt archive (FileBufferWrites), and the copies
// from the input into it (FileCopyAt), shared by the backends. The salvage
// writes a tiny entry in a few small pieces (its header, its name, its
// data, its header once more with the final sizes) and its central record
// later in two: gathered here, they go out in one positional write. The handle's position, as FileTell and FileSeek see it,
// is fileOffset + next; the file's own position is not used while the
// buffer exists. A write that fails is remembered (from where bytes were
// lost), so that the next write, FileFlush or the cut at FileTruncateHere
// reports it; bytes held past a cut are dropped unwritten.
//
// Internal to src/platform/ (each backend keeps one for the archive it
// writes).
#ifndef ARCSALVE_PLATFORM_WRITE_BEHIND_H
#define ARCSALVE_PLATFORM_WRITE_BEHIND_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace arcsalve {

constexpr uint32_t kWriteBehindSize = 256 * 1024;

// The backend's positional write: count bytes at offset, whatever the
// handle's own position; the number written.
using WriteAtFunction = uint32_t (*)(FileHandle h, const void* buffer, uint32_t count, uint64_t offset);

struct WriteBehind {
    FileHandle handle;    // kNoFile: none
    uint8_t* bytes;       // kWriteBehindSize bytes
    uint64_t fileOffset;  // where bytes[0] belongs in the file
    uint32_t length;      // bytes held
    uint32_t next;
    bool failed;          // bytes were lost, from lostFrom on
    uint64_t lostFrom;
    WriteAtFunction writeAt;
};

inline WriteBehind* WriteBehindOf(WriteBehind& w, FileHandle h) {
    return w.handle == h && h != kNoFile ? &w : nullptr;
}

// Starts buffering h's writes at `position`; false (writes go through) when
// the slot is taken or there is no memory.
inline bool StartWriteBehind(WriteBehind* w, FileHandle h, uint64_t position, WriteAtFunction writeAt) {
    if (w->handle != kNoFile) return false;
    w->bytes = static_cast<uint8_t*>(std::malloc(kWriteBehindSize));
    if (w->bytes == nullptr) return false;
    w->handle = h;
    w->fileOffset = position;
    w->writeAt = writeAt;
    return true;
}

inline void NoteWriteLoss(WriteBehind* w, uint64_t from) {
    if (!w->failed || from < w->lostFrom) w->lostFrom = from;
    w->failed = true;
}

// Writes out the held bytes and empties the buffer at the handle's position.
inline void FlushWriteBehind(WriteBehind* w) {
    if (w->length > 0 && w->writeAt(w->handle, w->bytes, w->length, w->fileOffset) != w->length)
        NoteWriteLoss(w, w->fileOffset);
    w->fileOffset += w->next;
    w->length = 0;
    w->next = 0;
}

inline uint32_t WriteBehindWrite(WriteBehind* w, const uint8_t* in, uint32_t count) {
    if (w->failed) return 0;
    if (count > kWriteBehindSize - w->next) {
        FlushWriteBehind(w);
        if (w->failed) return 0;
        if (count >= kWriteBehindSize) {  // large writes need no copy
            const uint32_t n = w->writeAt(w->handle, in, count, w->fileOffset);
            if (n != count) NoteWriteLoss(w, w->fileOffset + n);
            w->fileOffset += n;
            return n;
        }
    }
    std::memcpy(w->bytes + w->next, in, count);
    w->next += count;
    if (w->next > w->length) w->length = w->next;
    return count;
}

// A step back within the held bytes (to rewrite a header) costs nothing;
// anywhere else the held bytes go out first.
inline void WriteBehindSeek(WriteBehind* w, uint64_t offset) {
    if (offset < w->fileOffset || offset - w->fileOffset > w->length) {
        FlushWriteBehind(w);
        w->fileOffset = offset;
    } else {
        w->next = static_cast<uint32_t>(offset - w->fileOffset);
    }
}

// Before the file is cut at the handle's position: held bytes past it are
// dropped, the rest written; lost bytes past the cut no longer matter. True
// when nothing before the cut was lost; the cut goes at fileOffset.
inline bool WriteBehindBeforeCut(WriteBehind* w) {
    w->length = w->next;
    FlushWriteBehind(w);
    if (w->failed && w->lostFrom >= w->fileOffset) w->failed = false;
    return !w->failed;
}

// FileCopyAt into the buffer: the bytes are read straight into it.
inline uint64_t WriteBehindCopy(WriteBehind* w, FileHandle from, uint64_t offset, uint64_t count, bool* shortRead) {
    uint64_t done = 0;
    while (done < count && !w->failed) {
        const uint32_t room = kWriteBehindSize - w->next;
        if (room == 0) {
            FlushWriteBehind(w);
            continue;
        }
        const uint32_t want = count - done < room ? static_cast<uint32_t>(count - done) : room;
        const uint32_t got = FileReadAt(from, offset + done, w->bytes + w->next, want);
        w->next += got;
        if (w->next > w->length) w->length = w->next;
        done += got;
        if (got < want) {
            *shortRead = true;
            break;
        }
    }
    return done;
}

// FileCopyAt for a handle without a buffer, through one of its own, each
// piece written with `write` (the backend's FileWrite).
using WriteFunction = uint32_t (*)(FileHandle h, const void* buffer, uint32_t count);
inline uint64_t CopyThroughMemory(FileHandle from, uint64_t offset, FileHandle to, uint64_t count, bool* shortRead,
                                  WriteFunction write) {
    constexpr uint32_t kPiece = 64 * 1024;
    void* buffer = std::malloc(kPiece);
    *shortRead = buffer == nullptr;
    uint64_t done = 0;
    while (buffer != nullptr && done < count) {
        const uint32_t want = count - done < kPiece ? static_cast<uint32_t>(count - done) : kPiece;
        const uint32_t got = FileReadAt(from, offset + done, buffer, want);
        const uint32_t put = got > 0 ? write(to, buffer, got) : 0;
        done += put;
        if (put < got) break;
        if (got < want) {
            *shortRead = true;
            break;
        }
    }
    std::free(buffer);
    return done;
}

inline void EndWriteBehind(WriteBehind* w) {
    FlushWriteBehind(w);
    std::free(w->bytes);
    *w = WriteBehind{};
}

}  // namespace arcsalve

#endif  // ARCSALVE_PLATFORM_WRITE_BEHIND_H
