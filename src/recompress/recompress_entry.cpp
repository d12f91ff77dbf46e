// The re-compression driver: one salvaged entry, read back from the
// temporary file, goes into the rebuilt archive stored (method 0) or
// deflated (method 8), with the CRC-32 of its data.
#include "recompress/recompress.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/messages.h"
#include "common/zip_format.h"
#include "recompress/deflate.h"
#include "recompress/recompress_stream.h"

namespace arcsalve {
namespace {

// Below this size deflate gains too little to be worth its block overhead.
constexpr uint32_t kSmallestDeflated = 100;

// Names whose data is already compressed: deflate would only add to them.
constexpr const char* kPrecompressedSuffixes[] = {".zip", ".cab", ".jpg", ".gif"};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

void ReportFailure(RepairRun& run, const char* name) {
    EmitFormatted(run, MESSAGE_ERROR, kTextCannotRecompress, name != nullptr ? name : "");
}

}  // namespace

bool IsPrecompressedName(const char* name) {
    if (name == nullptr) return false;
    size_t length = std::strlen(name);
    if (length < 4) return false;
    const char* tail = name + length - 4;
    for (const char* suffix : kPrecompressedSuffixes) {
        bool same = true;
        for (int i = 0; i < 4 && same; ++i) same = LowerAscii(tail[i]) == suffix[i];
        if (same) return true;
    }
    return false;
}

int DeflateEntry(RecompressStream* stream) {
    // The state holds the window and all tables; obtaining it zeroed clears
    // the window, so bytes past the input that a comparison may look at are
    // always the same and the output repeats exactly.
    std::unique_ptr<DeflateState, FreeDeleter> state(
        static_cast<DeflateState*>(std::calloc(1, sizeof(DeflateState))));
    if (!state) return 0;
    DeflateState* s = state.get();
    s->stream = stream;
    stream->crcRegister = 0xFFFFFFFFu;
    ResetBitWriter(s);
    StartBlock(s);  // the code maps and fixed trees are constants (kCodeMaps)
    InitMatcher(s);
    CompressGreedy(s);
    state.reset();
    return RunStopped(stream->status) ? 0 : 1;
}

uint64_t RecompressEntry(RepairRun& run, const char* name, const char* tempPath, uint64_t size, uint32_t* method,
                         uint32_t* crc) {
    uint32_t unusedMethod = 0;
    uint32_t unusedCrc = 0;
    if (method == nullptr) method = &unusedMethod;
    if (crc == nullptr) crc = &unusedCrc;
    *method = 0;
    *crc = 0;
    if (tempPath == nullptr) tempPath = "";

    FileHandle source = FileOpenRead(tempPath);
    if (!IsOpenFile(source)) {
        EmitFormatted(run, MESSAGE_ERROR, kTextCannotOpen, tempPath);
        return kRecompressFailed;
    }
    std::unique_ptr<RecompressStream> stream(new (std::nothrow) RecompressStream);
    if (!stream) {
        FileClose(source);
        return kRecompressFailed;
    }
    InitFileStream(stream.get(), source, run.output, &run.status);

    // Small data and data that is compressed already are stored; everything
    // else is deflated, and stays deflated even where that came out larger:
    // there is no second pass.
    bool deflate = size >= kSmallestDeflated && !IsPrecompressedName(name);
    int ok = deflate ? DeflateEntry(stream.get()) : StoreEntry(stream.get());
    if (ok) FinishSink(stream.get());
    FileClose(source);

    // A write that came up short, now or earlier in the run, leaves the
    // output without this entry's data (an empty entry included, as its
    // header would be lost the same way), and so does the last write of the
    // sink buffer.
    if (!ok || RunStopped(&run.status)) {
        ReportFailure(run, name);
        return kRecompressFailed;
    }
    *method = deflate ? kMethodDeflated : kMethodStored;
    *crc = StreamCrc(stream.get());
    return BytesWritten(stream.get());
}

}  // namespace arcsalve
