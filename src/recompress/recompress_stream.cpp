// The re-compressor's source and sink buffers (see recompress_stream.h).
#include "recompress/recompress_stream.h"

#include <cstring>


namespace arcsalve {
namespace {

void InitCommon(RecompressStream* stream) {
    stream->sourceFile = kNoFile;
    stream->sourceMemory = nullptr;
    stream->sourceMemoryLeft = 0;
    stream->sourceCount = 0;
    stream->sourcePosition = 0;
    stream->sourceLoaded = 0;
    stream->sinkFile = kNoFile;
    stream->sinkMemory = nullptr;
    stream->sinkCount = 0;
    stream->bytesFlushed = 0;
    stream->crcRegister = 0xFFFFFFFFu;
    stream->ownStatus = RunStatus{};
    stream->status = &stream->ownStatus;
}

// One write of the sink: to memory, or to the output archive. A short write
// raises the run's writeFailed, which every later write of the run then
// inherits.
void WriteOut(RecompressStream* stream, const uint8_t* bytes, uint32_t count) {
    uint32_t written;
    if (stream->sinkMemory != nullptr) {
        stream->sinkMemory->bytes.insert(stream->sinkMemory->bytes.end(), bytes, bytes + count);
        stream->sinkMemory->writeSizes.push_back(count);
        written = count;
    } else {
        written = FileWrite(stream->sinkFile, bytes, count);
    }
    if (written < count) stream->status->writeFailed = 1;
    stream->bytesFlushed += count;
}

// Marks `count` bytes of the source buffer, from the current position, as
// handed out and runs them through the CRC.
inline void TakeSourceBytes(RecompressStream* stream, uint32_t count) {
    const uint8_t* p = stream->sourceBuffer + stream->sourcePosition;
    stream->crcRegister = ~Crc32Update(~stream->crcRegister, p, count);
    stream->sourcePosition += static_cast<int32_t>(count);
}

}  // namespace

void InitFileStream(RecompressStream* stream, FileHandle source, FileHandle sink, RunStatus* status) {
    InitCommon(stream);
    stream->status = status;
    stream->sourceFile = source;
    stream->sinkFile = sink;
}

void InitMemoryStream(RecompressStream* stream, const uint8_t* data, size_t size,
                      MemorySink* sink) {
    InitCommon(stream);
    stream->sourceMemory = data;
    stream->sourceMemoryLeft = data != nullptr ? size : 0;
    stream->sinkMemory = sink;
}

int FillSourceBuffer(RecompressStream* stream) {
    uint32_t n;
    if (stream->sourceMemory != nullptr) {
        n = stream->sourceMemoryLeft < kStreamChunk ? static_cast<uint32_t>(stream->sourceMemoryLeft)
                                                    : static_cast<uint32_t>(kStreamChunk);
        std::memcpy(stream->sourceBuffer, stream->sourceMemory, n);
        stream->sourceMemory += n;
        stream->sourceMemoryLeft -= n;
    } else {
        n = FileRead(stream->sourceFile, stream->sourceBuffer, kStreamChunk);
    }
    if (n == 0) return 0;
    stream->sourceLoaded += n;
    stream->sourceCount = static_cast<int32_t>(n);
    stream->sourcePosition = 0;
    return 1;
}

uint32_t ReadSourceBytes(RecompressStream* stream, uint8_t* destination, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        if (stream->sourcePosition >= stream->sourceCount && !FillSourceBuffer(stream)) break;
        uint32_t available = static_cast<uint32_t>(stream->sourceCount - stream->sourcePosition);
        uint32_t n = count - done < available ? count - done : available;
        std::memcpy(destination + done, stream->sourceBuffer + stream->sourcePosition, n);
        TakeSourceBytes(stream, n);
        done += n;
    }
    return done;
}

void FlushSinkBuffer(RecompressStream* stream) {
    WriteOut(stream, stream->sinkBuffer, static_cast<uint32_t>(stream->sinkCount));
    stream->sinkCount = 0;
}

void FinishSink(RecompressStream* stream) {
    if (stream->sinkCount > 0) FlushSinkBuffer(stream);
}

void WriteSinkBytes(RecompressStream* stream, const uint8_t* bytes, uint32_t count) {
    while (count > 0) {
        if (stream->sinkCount >= kStreamChunk) FlushSinkBuffer(stream);
        uint32_t room = static_cast<uint32_t>(kStreamChunk - stream->sinkCount);
        uint32_t n = count < room ? count : room;
        std::memcpy(stream->sinkBuffer + stream->sinkCount, bytes, n);
        stream->sinkCount += static_cast<int32_t>(n);
        bytes += n;
        count -= n;
    }
}

int StoreEntry(RecompressStream* stream) {
    stream->crcRegister = 0xFFFFFFFFu;
    // Each chunk of the source goes to the sink unchanged; the flags are
    // looked at after every chunk, so a failed write stops the copy at the
    // next chunk boundary.
    while (stream->sourcePosition < stream->sourceCount || FillSourceBuffer(stream)) {
        uint32_t n = static_cast<uint32_t>(stream->sourceCount - stream->sourcePosition);
        WriteSinkBytes(stream, stream->sourceBuffer + stream->sourcePosition, n);
        TakeSourceBytes(stream, n);
        if (RunStopped(stream->status)) return 0;
    }
    return 1;
}

}  // namespace arcsalve
