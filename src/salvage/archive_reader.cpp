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

#include "api/messages.h"
#include "api/repair_state.h"
#include "common/run_flags.h"
#include "platform/platform.h"

namespace arcsalve {

ArchiveReaderState g_archiveReader;

namespace {

// Reads the next fill at the file's offset. A fill of 0 bytes (end of file or
// a read error, which look the same) leaves the buffer empty; the next
// ReadByte tries again.
void Fill() {
    ArchiveReaderState& r = g_archiveReader;
    r.fillOffset = r.fileOffset;
    uint32_t n = FileRead(g_inputFile, r.buffer, kReaderBufferSize);
    r.fileOffset += n;
    r.next = 0;
    r.fillLength = static_cast<int32_t>(n);
}

// Moves the file to an absolute offset and fills from there. A failed seek is
// not detected: the fill that follows decides.
void FillFrom(uint64_t offset) {
    ArchiveReaderState& r = g_archiveReader;
    FileSeek(g_inputFile, offset);
    r.fileOffset = offset;
    Fill();
    r.position = offset;
}

// Called when a byte completes a progress interval. Each report starts from a
// fresh "last value" of 0, so every report above 0 % reaches the host even
// when it repeats the previous percentage: the host gets its chance to stop
// once per interval.
void ReportProgress() {
    ArchiveReaderState& r = g_archiveReader;
    r.tick = 0;
    uint32_t last = 0;
    if (ReportScaledProgress(0, 100, r.position, g_inputSize, &last) == 0) g_abortRequested = 1;
}

// Hands out up to count bytes into destination (nullptr: discard them) and
// returns how many arrived. Equivalent to count ReadByte calls, but copies
// whole runs of the buffer up to the next fill or progress report.
int32_t TakeBytes(uint8_t* destination, int32_t count) {
    ArchiveReaderState& r = g_archiveReader;
    int32_t done = 0;
    while (done < count) {
        int32_t run = std::min({count - done, r.fillLength - r.next, kProgressInterval - 1 - r.tick});
        if (run > 0 && IsOpenFile(g_inputFile)) {
            if (destination) std::memcpy(destination + done, r.buffer + r.next, static_cast<size_t>(run));
            r.next += run;
            r.position += static_cast<uint64_t>(run);
            r.tick += run;
            done += run;
            continue;
        }
        uint8_t byte;
        if (!ReadByteSlow(&byte)) break;
        if (destination) destination[done] = byte;
        ++done;
    }
    return done;
}

}  // namespace

void ResetArchiveReader() {
    ArchiveReaderState& r = g_archiveReader;
    r.fillLength = 0;
    r.next = 0;
    r.tick = 0;
    r.fillOffset = 0;
    r.position = 0;
    r.mark = 0;
    r.fileOffset = IsOpenFile(g_inputFile) ? FileTell(g_inputFile) : 0;
}

int ReadByteSlow(uint8_t* out) {
    if (!IsOpenFile(g_inputFile)) return 0;
    ArchiveReaderState& r = g_archiveReader;
    if (r.next >= r.fillLength) {
        Fill();
        if (r.fillLength == 0) return 0;
    }
    *out = r.buffer[r.next++];
    ++r.position;
    // The byte is handed out even when the host asks to stop: the readers
    // above look at the abort flag themselves.
    if (++r.tick >= kProgressInterval) ReportProgress();
    return 1;
}

int ReadBytes(uint8_t* destination, int32_t count) {
    if (count <= 0) return 1;
    return TakeBytes(destination, count) == count ? 1 : 0;
}

int32_t ReadUpTo(uint8_t* destination, int32_t count) {
    if (count <= 0) return count;
    return TakeBytes(destination, count);
}

int SkipBytes(int32_t count) {
    if (count <= 0) return 1;
    return TakeBytes(nullptr, count) == count ? 1 : 0;
}

void SkipBufferedUntil(uint8_t target) {
    ArchiveReaderState& r = g_archiveReader;
    int32_t run = std::min(r.fillLength - r.next, kProgressInterval - 1 - r.tick);
    if (run <= 0 || !IsOpenFile(g_inputFile)) return;
    const uint8_t* from = r.buffer + r.next;
    const void* hit = std::memchr(from, target, static_cast<size_t>(run));
    int32_t skipped = hit ? static_cast<int32_t>(static_cast<const uint8_t*>(hit) - from) : run;
    r.next += skipped;
    r.position += static_cast<uint64_t>(skipped);
    r.tick += skipped;
}

void MarkPosition() {
    const ArchiveReaderState& r = g_archiveReader;
    uint64_t unread = static_cast<uint64_t>(std::max(r.fillLength - r.next, 0));
    g_archiveReader.mark = r.fileOffset >= unread ? r.fileOffset - unread : 0;
}

// A rejected header leaves the mark a few bytes behind the read point,
// nearly always inside the buffer: returning there then costs no seek and no
// fill (a file of nothing but signatures rejects one every 4 bytes).
void ReturnToMark() { ReturnToOffset(g_archiveReader.mark); }

uint64_t MarkedPosition() { return g_archiveReader.mark; }

void StepBack(int32_t count) {
    if (!IsOpenFile(g_inputFile) || count <= 0) return;
    ArchiveReaderState& r = g_archiveReader;
    if (r.next >= count) {
        r.next -= count;
        r.position -= static_cast<uint64_t>(count);
        return;
    }
    uint64_t here = r.fillOffset + static_cast<uint64_t>(r.next);
    FillFrom(here >= static_cast<uint64_t>(count) ? here - static_cast<uint64_t>(count) : 0);
}

void ReturnToOffset(uint64_t offset) {
    if (!IsOpenFile(g_inputFile)) return;
    ArchiveReaderState& r = g_archiveReader;
    // Within the buffer, and the invariant holds: no new fill is needed.
    if (r.position == r.fillOffset + static_cast<uint64_t>(r.next) && offset >= r.fillOffset &&
        offset <= r.fillOffset + static_cast<uint64_t>(r.fillLength)) {
        r.next = static_cast<int32_t>(offset - r.fillOffset);
        r.position = offset;
        return;
    }
    FillFrom(offset);
}

uint64_t ReaderPosition() { return g_archiveReader.position; }

}  // namespace arcsalve
