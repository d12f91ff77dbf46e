// Method 12: bzip2 data, a whole bzip2 stream ("BZh" and its blocks), decoded
// by libbz2.
#include <bzlib.h>

#include <cstring>

#include "decode/codec_pump.h"
#include "decode/decoders.h"

namespace arcsalve {
namespace {

void* Allocate(void*, int items, int size) {
    return MemoryAllocate(static_cast<size_t>(items) * static_cast<size_t>(size));
}
void Release(void*, void* block) { MemoryFree(block); }

CodecStatus Step(void* codec, CodecBuffers* b, bool) {
    auto* z = static_cast<bz_stream*>(codec);
    // libbz2 takes its counts as unsigned int: the pump's blocks fit.
    z->next_in = const_cast<char*>(reinterpret_cast<const char*>(b->in));
    z->avail_in = static_cast<unsigned>(b->inLeft);
    z->next_out = reinterpret_cast<char*>(b->out);
    z->avail_out = static_cast<unsigned>(b->outLeft);
    const int r = BZ2_bzDecompress(z);
    b->in = reinterpret_cast<const uint8_t*>(z->next_in);
    b->inLeft = z->avail_in;
    b->out = reinterpret_cast<uint8_t*>(z->next_out);
    b->outLeft = z->avail_out;
    if (r == BZ_STREAM_END) return kCodecEnd;
    return r == BZ_OK ? kCodecMore : kCodecError;
}

}  // namespace

int Bunzip2(DecodeState* state) {
    bz_stream z;
    std::memset(&z, 0, sizeof z);
    z.bzalloc = Allocate;
    z.bzfree = Release;
    // Not the small-memory mode: the fast decoder, at most about 4 MB.
    if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return 0;
    const int ok = PumpCodec(state, &z, Step);
    BZ2_bzDecompressEnd(&z);
    return ok;
}

}  // namespace arcsalve
