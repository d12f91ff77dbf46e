// The re-compressor's buffered source and sink: one entry's salvaged bytes
// come in from the temporary file through a 1024-byte buffer, with their
// CRC-32 kept on the way; the entry's data goes out to the rebuilt archive
// through another 1024-byte buffer.
//
// Internal to src/recompress/ (and its tests, fuzz target and benchmark).
#ifndef ARCSALVE_RECOMPRESS_RECOMPRESS_STREAM_H
#define ARCSALVE_RECOMPRESS_RECOMPRESS_STREAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/crc32.h"
#include "common/run_status.h"
#include "platform/platform.h"

namespace arcsalve {

// Both buffers move 1024 bytes at a time: the output archive sees writes of
// exactly this size, except the last write of each entry.
constexpr int32_t kStreamChunk = 1024;

// Where the sink's bytes go instead of the output archive, when a test, the
// fuzz target or a benchmark runs the compressor in memory. Each flush is
// one write and is recorded with its size.
struct MemorySink {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> writeSizes;
};

struct RecompressStream {
    // Source: the temporary file, or a block of memory when sourceMemory is
    // set (tests, fuzzing, benchmarks).
    FileHandle sourceFile;
    const uint8_t* sourceMemory;
    size_t sourceMemoryLeft;
    uint8_t sourceBuffer[kStreamChunk];
    int32_t sourceCount;     // valid bytes in sourceBuffer
    int32_t sourcePosition;  // index of the next byte to hand out
    uint64_t sourceLoaded;   // bytes loaded into sourceBuffer so far

    // Sink: the output archive (not owned), or sinkMemory when set.
    FileHandle sinkFile;
    MemorySink* sinkMemory;
    uint8_t sinkBuffer[kStreamChunk];
    int32_t sinkCount;       // bytes waiting in sinkBuffer, 0..1024
    uint64_t bytesFlushed;   // bytes already passed to the file

    // Running CRC-32 register of the bytes handed out; the checksum is its
    // complement (0 before the first byte, since the register starts at all
    // ones).
    uint32_t crcRegister;

    // The run's stop and write-failure flags; a memory stream has its own.
    RunStatus* status;
    RunStatus ownStatus;
};

// Prepares a stream over an open source file and the sink file, for a run
// with that status.
void InitFileStream(RecompressStream* stream, FileHandle source, FileHandle sink, RunStatus* status);
// Prepares a stream that reads size bytes at data and appends to sink.
void InitMemoryStream(RecompressStream* stream, const uint8_t* data, size_t size,
                      MemorySink* sink);

// Loads the next chunk of the source; 0 when nothing more can be had (the end
// of the data and a read error alike). Called only with the buffer used up.
int FillSourceBuffer(RecompressStream* stream);
// Writes the full sink buffer (1024 bytes) and empties it; a short write
// raises the run's writeFailed.
void FlushSinkBuffer(RecompressStream* stream);
// Writes whatever the sink buffer holds (the entry's last write); a short
// write raises the run's writeFailed.
void FinishSink(RecompressStream* stream);

// The CRC-32 of all bytes handed out so far.
inline uint32_t StreamCrc(const RecompressStream* stream) { return ~stream->crcRegister; }
// Bytes passed to the sink so far: the entry's compressed size.
inline uint64_t BytesWritten(const RecompressStream* stream) {
    return stream->bytesFlushed + static_cast<uint64_t>(stream->sinkCount);
}

// Hands out up to `count` source bytes, a buffer at a time, running them
// through the CRC. Returns the number of bytes stored at destination.
uint32_t ReadSourceBytes(RecompressStream* stream, uint8_t* destination, uint32_t count);

// Appends one byte to the sink. The buffer is written out lazily, when a
// byte arrives while it is full, so after the last byte it holds 1 to 1024
// bytes. A failed write shows only through the run's writeFailed.
inline int WriteSinkByte(RecompressStream* stream, uint8_t byte) {
    if (stream->sinkCount >= kStreamChunk) FlushSinkBuffer(stream);
    stream->sinkBuffer[stream->sinkCount++] = byte;
    return 1;
}

// The same as WriteSinkByte for each of `count` bytes.
void WriteSinkBytes(RecompressStream* stream, const uint8_t* bytes, uint32_t count);

// The same as WriteSinkByte for the four bytes of value, low byte first.
inline void WriteSinkWord32(RecompressStream* stream, uint32_t value) {
    int32_t n = stream->sinkCount;
    if (n <= kStreamChunk - 4) {
        uint8_t* p = stream->sinkBuffer + n;
        p[0] = static_cast<uint8_t>(value);
        p[1] = static_cast<uint8_t>(value >> 8);
        p[2] = static_cast<uint8_t>(value >> 16);
        p[3] = static_cast<uint8_t>(value >> 24);
        stream->sinkCount = n + 4;
        return;
    }
    for (int i = 0; i < 4; ++i) WriteSinkByte(stream, static_cast<uint8_t>(value >> (8 * i)));
}

// The two ways an entry's data is written; 1 on success, 0 on failure.
int StoreEntry(RecompressStream* stream);
int DeflateEntry(RecompressStream* stream);

// True when the name's last four characters are ".zip", ".cab", ".jpg" or
// ".gif", in any ASCII case: such data is already compressed and is stored.
bool IsPrecompressedName(const char* name);

}  // namespace arcsalve

#endif  // ARCSALVE_RECOMPRESS_RECOMPRESS_STREAM_H
