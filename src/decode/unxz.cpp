// Method 95: one .xz stream (header, blocks, index, footer), decoded by
// liblzma, which also checks the stream's own check (CRC-64 by default).
#include "decode/decoders.h"
#include "decode/liblzma_stream.h"

namespace arcsalve {
namespace {

void* Allocate(void*, size_t items, size_t size) { return MemoryAllocate(items * size); }
void Release(void*, void* block) { MemoryFree(block); }

}  // namespace

const lzma_allocator kLzmaAllocator = {Allocate, Release, nullptr};

CodecStatus LzmaStep(void* codec, CodecBuffers* b, bool inputEnded) {
    auto* z = static_cast<lzma_stream*>(codec);
    z->next_in = b->in;
    z->avail_in = b->inLeft;
    z->next_out = b->out;
    z->avail_out = b->outLeft;
    const lzma_ret r = lzma_code(z, inputEnded ? LZMA_FINISH : LZMA_RUN);
    b->in = z->next_in;
    b->inLeft = z->avail_in;
    b->out = z->next_out;
    b->outLeft = z->avail_out;
    if (r == LZMA_STREAM_END) return kCodecEnd;
    return r == LZMA_OK ? kCodecMore : kCodecError;
}

int UnXz(DecodeState* state) {
    lzma_stream z = LZMA_STREAM_INIT;
    z.allocator = &kLzmaAllocator;
    // One stream: what follows its footer is not part of the entry's data.
    if (lzma_stream_decoder(&z, kCodecMemoryLimit, 0) != LZMA_OK) return 0;
    const int ok = PumpCodec(state, &z, LzmaStep);
    lzma_end(&z);
    return ok;
}

}  // namespace arcsalve
