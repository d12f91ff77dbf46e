// The one buffered reader over the damaged archive. Every input byte, the
// decoders' compressed data included, passes through it; it measures
// progress and picks up the host's request to abort.
#ifndef ARCSALVE_SALVAGE_ARCHIVE_READER_H
#define ARCSALVE_SALVAGE_ARCHIVE_READER_H

#include <cstdint>

#include "common/byte_source.h"
#include "common/repair_run.h"

namespace arcsalve {

struct ArchiveReader;

// Starts a reader over the run's input: position, progress tick, fill
// length, next index and mark at 0; the first read fills the buffer from the
// input's current offset.
void StartArchiveReader(ArchiveReader& r, RepairRun& run);

// The reader as the decoders' byte source.
ByteSource ReaderSource(ArchiveReader& r);

// Hands out the next byte; 0 at the end of the input (or when it is closed).
// Inline (archive_reader_state.h): the scan calls it for every input byte.
inline int ReadByte(ArchiveReader& r, uint8_t* out);
// ReadByte `count` times; 0 as soon as one fails. count <= 0 returns 1.
int ReadBytes(ArchiveReader& r, uint8_t* destination, int32_t count);
// Like ReadBytes, but returns how many bytes arrived before the end.
int32_t ReadUpTo(ArchiveReader& r, uint8_t* destination, int32_t count);
// Reads and discards `count` bytes; 0 if the end comes first.
int SkipBytes(ArchiveReader& r, int32_t count);

// Hands out, without looking at them one by one, the buffered bytes before
// the next `target` byte, stopping early at the end of the buffer or where the
// next progress report falls. The same as ReadByte calls that all return a
// byte other than target; the scan uses it to cross data without signatures.
void SkipBufferedUntil(ArchiveReader& r, uint8_t target);

// Remembers the offset of the next byte; ReturnToMark goes back there.
void MarkPosition(ArchiveReader& r);
void ReturnToMark(ArchiveReader& r);
// The offset MarkPosition remembered.
uint64_t MarkedPosition(const ArchiveReader& r);
// Moves the read point back by `count` bytes (never before offset 0).
void StepBack(ArchiveReader& r, int32_t count);
// Moves the read point to an absolute offset: the next byte handed out is
// the input's byte there.
void ReturnToOffset(ArchiveReader& r, uint64_t offset);

// Replaying what a decode reading the same input elsewhere (a worker's own
// handle) did to its byte source, without reading the bytes again: each
// call has the effect of ReadUpTo (of `count` bytes that all arrive),
// StepBack or ReturnToOffset on the position and the progress reports (the
// host's chance to stop included), and EndPassing leaves the reader as
// those calls would have, its buffer refilled only if the position has
// left it. Nothing else may use the reader in between.
void PassBytes(ArchiveReader& r, int32_t count);
void PassStepBack(ArchiveReader& r, int32_t count);
void PassMoveTo(ArchiveReader& r, uint64_t offset);
void EndPassing(ArchiveReader& r);

// File offset of the next byte to hand out.
uint64_t ReaderPosition(const ArchiveReader& r);

}  // namespace arcsalve

#include "salvage/archive_reader_state.h"

#endif  // ARCSALVE_SALVAGE_ARCHIVE_READER_H
