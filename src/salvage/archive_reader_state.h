// The archive reader's state and the inline fast path of ReadByte. Included
// by archive_reader.h only: ReadByte, which the signature scan calls for
// every byte of the input, must inline into its callers. Everything else
// about the reader lives in archive_reader.cpp.
#ifndef ARCSALVE_SALVAGE_ARCHIVE_READER_STATE_H
#define ARCSALVE_SALVAGE_ARCHIVE_READER_STATE_H

#include <cstdint>

#include "common/repair_run.h"
#include "platform/platform.h"

namespace arcsalve {

// The input is read in fills of 1000 bytes: small enough that stepping back
// a few bytes after an entry rarely needs a new fill, and one platform read
// per 1000 bytes keeps the scan's system-call cost negligible.
constexpr int32_t kReaderBufferSize = 1000;
// Bytes before the position that a fill after passing keeps (EndPassing).
constexpr int32_t kStepBackRoom = 64;
// Progress is reported to the host once per 10,000 bytes handed out; the
// host's answer is also how a repair is stopped.
constexpr int32_t kProgressInterval = 10000;

struct ArchiveReader {
    RepairRun* run;       // the input file and size, progress and the stop flag
    FileHandle input;     // the damaged archive (the run's input)
    uint8_t buffer[kReaderBufferSize];
    int32_t fillLength;   // valid bytes from the last fill (0 after end of file)
    int32_t next;         // index of the next byte to hand out
    int32_t tick;         // bytes handed out since the last progress report
    uint64_t fillOffset;  // file offset of buffer[0]
    uint64_t position;    // file offset of the next byte to hand out
    uint64_t fileOffset;  // the input file's own offset (where the next fill reads)
    uint64_t mark;        // offset just after the last signature found
};

// Fills the buffer when it is exhausted, and reports progress when a byte
// completes an interval; ReadByte's rare path.
int ReadByteSlow(ArchiveReader& r, uint8_t* out);

// Fast path: a byte is buffered and handing it out does not complete a
// progress interval. The handle is tested so that no byte is handed out once
// the input is closed.
inline int ReadByte(ArchiveReader& r, uint8_t* out) {
    if (r.next < r.fillLength && r.tick < kProgressInterval - 1 && IsOpenFile(r.input)) {
        *out = r.buffer[r.next++];
        ++r.position;
        ++r.tick;
        return 1;
    }
    return ReadByteSlow(r, out);
}

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_ARCHIVE_READER_STATE_H
