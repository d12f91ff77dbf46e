// The archive reader: one buffered reader over the damaged archive.
//
// Every byte of the input passes through here: the signature scan pulls it
// byte by byte, the entry salvage pulls headers and names, and the decoders'
// byte source pulls compressed data in runs of up to 1024 bytes. That makes
// it the place where progress is measured (one report per 10,000 bytes
// handed out) and where the host's request to stop is picked up.
//
// Offsets are 64-bit throughout; the reader keeps its own record of the
// file's offset (fileOffset), so learning where a fill starts costs no
// system call. Invariant between calls: position == fillOffset + next, except
// right after the input was found exhausted.
#include "salvage/archive_reader.h"

#include <algorithm>
#include <cstring>

#include "common/messages.h"
#include "platform/platform.h"

namespace arcsalve {

namespace {

// Reads the next fill at the file's offset. A fill of 0 bytes (end of file or
// a read error, which look the same) leaves the buffer empty; the next
// ReadByte tries again.
void Fill(ArchiveReader& r) {
    r.fillOffset = r.fileOffset;
    uint32_t n = FileRead(r.input, r.buffer, kReaderBufferSize);
    r.fileOffset += n;
    r.next = 0;
    r.fillLength = static_cast<int32_t>(n);
}

// Moves the file to an absolute offset and fills from there. A failed seek is
// not detected: the fill that follows decides.
void FillFrom(ArchiveReader& r, uint64_t offset) {
    FileSeek(r.input, offset);
    r.fileOffset = offset;
    Fill(r);
    r.position = offset;
}

// Called when a byte completes a progress interval. Each report starts from a
// fresh "last value" of 0, so every report above 0 % reaches the host even
// when it repeats the previous percentage: the host gets its chance to stop
// once per interval.
void ReportProgress(ArchiveReader& r) {
    r.tick = 0;
    uint32_t last = 0;
    if (ReportScaledProgress(*r.run, 0, 100, r.position, r.run->inputSize, &last) == 0)
        r.run->status.abortRequested = 1;
}

// Hands out up to count bytes into destination (nullptr: discard them) and
// returns how many arrived. Equivalent to count ReadByte calls, but copies
// whole runs of the buffer up to the next fill or progress report.
int32_t TakeBytes(ArchiveReader& r, uint8_t* destination, int32_t count) {
    int32_t done = 0;
    while (done < count) {
        // A decoder's chunk with nothing buffered is read straight into its
        // buffer, up to the next progress report; the reader's buffer keeps
        // the last bytes, as if its last fill had read them, so that a step
        // back after the decode rarely needs a new fill.
        if (destination != nullptr && r.next >= r.fillLength && IsOpenFile(r.input)) {
            const int32_t direct = std::min(count - done, kProgressInterval - 1 - r.tick);
            if (direct >= kReaderBufferSize) {
                const int32_t n = static_cast<int32_t>(FileRead(r.input, destination + done, static_cast<uint32_t>(direct)));
                const int32_t keep = std::min(n, kReaderBufferSize);
                std::memcpy(r.buffer, destination + done + n - keep, static_cast<size_t>(keep));
                r.fileOffset += static_cast<uint64_t>(n);
                r.fillOffset = r.fileOffset - static_cast<uint64_t>(keep);
                r.fillLength = keep;
                r.next = keep;
                r.position += static_cast<uint64_t>(n);
                r.tick += n;
                done += n;
                if (n == 0) break;  // the end of the input, as a fill would find it
                continue;
            }
        }
        int32_t run = std::min({count - done, r.fillLength - r.next, kProgressInterval - 1 - r.tick});
        if (run > 0 && IsOpenFile(r.input)) {
            if (destination) std::memcpy(destination + done, r.buffer + r.next, static_cast<size_t>(run));
            r.next += run;
            r.position += static_cast<uint64_t>(run);
            r.tick += run;
            done += run;
            continue;
        }
        uint8_t byte;
        if (!ReadByteSlow(r, &byte)) break;
        if (destination) destination[done] = byte;
        ++done;
    }
    return done;
}

}  // namespace

void StartArchiveReader(ArchiveReader& r, RepairRun& run) {
    r.run = &run;
    r.input = run.input;
    r.fillLength = 0;
    r.next = 0;
    r.tick = 0;
    r.fillOffset = 0;
    r.position = 0;
    r.mark = 0;
    r.fileOffset = IsOpenFile(r.input) ? FileTell(r.input) : 0;
}

int ReadByteSlow(ArchiveReader& r, uint8_t* out) {
    if (!IsOpenFile(r.input)) return 0;
    if (r.next >= r.fillLength) {
        Fill(r);
        if (r.fillLength == 0) return 0;
    }
    *out = r.buffer[r.next++];
    ++r.position;
    // The byte is handed out even when the host asks to stop: the readers
    // above look at the abort flag themselves.
    if (++r.tick >= kProgressInterval) ReportProgress(r);
    return 1;
}

int ReadBytes(ArchiveReader& r, uint8_t* destination, int32_t count) {
    if (count <= 0) return 1;
    return TakeBytes(r, destination, count) == count ? 1 : 0;
}

int32_t ReadUpTo(ArchiveReader& r, uint8_t* destination, int32_t count) {
    if (count <= 0) return count;
    return TakeBytes(r, destination, count);
}

int SkipBytes(ArchiveReader& r, int32_t count) {
    if (count <= 0) return 1;
    return TakeBytes(r, nullptr, count) == count ? 1 : 0;
}

void SkipBufferedUntil(ArchiveReader& r, uint8_t target) {
    int32_t run = std::min(r.fillLength - r.next, kProgressInterval - 1 - r.tick);
    if (run <= 0 || !IsOpenFile(r.input)) return;
    const uint8_t* from = r.buffer + r.next;
    const void* hit = std::memchr(from, target, static_cast<size_t>(run));
    int32_t skipped = hit ? static_cast<int32_t>(static_cast<const uint8_t*>(hit) - from) : run;
    r.next += skipped;
    r.position += static_cast<uint64_t>(skipped);
    r.tick += skipped;
}

void MarkPosition(ArchiveReader& r) {
    uint64_t unread = static_cast<uint64_t>(std::max(r.fillLength - r.next, 0));
    r.mark = r.fileOffset >= unread ? r.fileOffset - unread : 0;
}

// A rejected header leaves the mark a few bytes behind the read point,
// nearly always inside the buffer: returning there then costs no seek and no
// fill (a file of nothing but signatures rejects one every 4 bytes).
void ReturnToMark(ArchiveReader& r) { ReturnToOffset(r, r.mark); }

uint64_t MarkedPosition(const ArchiveReader& r) { return r.mark; }

void StepBack(ArchiveReader& r, int32_t count) {
    if (!IsOpenFile(r.input) || count <= 0) return;
    if (r.next >= count) {
        r.next -= count;
        r.position -= static_cast<uint64_t>(count);
        return;
    }
    uint64_t here = r.fillOffset + static_cast<uint64_t>(r.next);
    FillFrom(r, here >= static_cast<uint64_t>(count) ? here - static_cast<uint64_t>(count) : 0);
}

void ReturnToOffset(ArchiveReader& r, uint64_t offset) {
    if (!IsOpenFile(r.input)) return;
    // Within the buffer, and the invariant holds: no new fill is needed.
    if (r.position == r.fillOffset + static_cast<uint64_t>(r.next) && offset >= r.fillOffset &&
        offset <= r.fillOffset + static_cast<uint64_t>(r.fillLength)) {
        r.next = static_cast<int32_t>(offset - r.fillOffset);
        r.position = offset;
        return;
    }
    FillFrom(r, offset);
}

// While passing, only the position and the progress tick move; the buffer
// keeps the bytes of its last fill, and EndPassing decides whether the
// position is still among them.
void PassBytes(ArchiveReader& r, int32_t count) {
    if (!IsOpenFile(r.input)) return;
    while (count > 0) {
        // Up to and including the byte that completes a progress interval.
        const int32_t run = std::min(count, kProgressInterval - r.tick);
        r.position += static_cast<uint64_t>(run);
        r.tick += run;
        count -= run;
        if (r.tick >= kProgressInterval) ReportProgress(r);
    }
}

void PassStepBack(ArchiveReader& r, int32_t count) {
    if (!IsOpenFile(r.input) || count <= 0) return;
    r.position = r.position >= static_cast<uint64_t>(count) ? r.position - static_cast<uint64_t>(count) : 0;
}

void PassMoveTo(ArchiveReader& r, uint64_t offset) {
    if (IsOpenFile(r.input)) r.position = offset;
}

void EndPassing(ArchiveReader& r) {
    if (!IsOpenFile(r.input)) return;
    if (r.position >= r.fillOffset && r.position <= r.fillOffset + static_cast<uint64_t>(r.fillLength)) {
        r.next = static_cast<int32_t>(r.position - r.fillOffset);
        return;
    }
    // The scan steps back over the last bytes a decode read (a bit buffer
    // may have read past the data): the fill starts that far before the
    // position, so the step back needs no second fill.
    const uint64_t at = r.position;
    const uint64_t from = at > kStepBackRoom ? at - kStepBackRoom : 0;
    FillFrom(r, from);
    if (from + static_cast<uint64_t>(r.fillLength) < at) {  // the input is shorter than it was
        FillFrom(r, at);
        return;
    }
    r.next = static_cast<int32_t>(at - from);
    r.position = at;
}

uint64_t ReaderPosition(const ArchiveReader& r) { return r.position; }

ByteSource ReaderSource(ArchiveReader& r) {
    ByteSource source;
    source.reader = &r;
    source.readUpTo = [](void* reader, uint8_t* destination, int32_t count) {
        return ReadUpTo(*static_cast<ArchiveReader*>(reader), destination, count);
    };
    source.stepBack = [](void* reader, int32_t count) { StepBack(*static_cast<ArchiveReader*>(reader), count); };
    source.position = [](void* reader) { return ReaderPosition(*static_cast<ArchiveReader*>(reader)); };
    source.moveTo = [](void* reader, uint64_t offset) {
        ReturnToOffset(*static_cast<ArchiveReader*>(reader), offset);
    };
    return source;
}

}  // namespace arcsalve
