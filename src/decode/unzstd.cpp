// Method 93: Zstandard frames, decoded by libzstd's streaming decoder. An
// entry holds one frame as a rule; frames that follow it within the data
// (a parallel writer's) are decoded too, and skippable frames are passed
// over by the library.
#include <zstd.h>

#include "decode/codec_pump.h"
#include "decode/decoders.h"

namespace arcsalve {
namespace {

struct ZstdCodec {
    ZSTD_DStream* stream;
    size_t hint;    // the last call's result: 0 right at the end of a frame
    bool oneFrame;  // data of unknown length (streamed): it ends with its first frame
};

CodecStatus Step(void* codec, CodecBuffers* b, bool inputEnded) {
    auto* c = static_cast<ZstdCodec*>(codec);
    // Between frames with no input left: the data ends there.
    if (inputEnded && b->inLeft == 0 && c->hint == 0) return kCodecEnd;
    ZSTD_inBuffer in{b->in, b->inLeft, 0};
    ZSTD_outBuffer out{b->out, b->outLeft, 0};
    c->hint = ZSTD_decompressStream(c->stream, &out, &in);
    b->in += in.pos;
    b->inLeft -= in.pos;
    b->out += out.pos;
    b->outLeft -= out.pos;
    if (ZSTD_isError(c->hint)) return kCodecError;
    return c->hint == 0 && (c->oneFrame || (inputEnded && b->inLeft == 0)) ? kCodecEnd : kCodecMore;
}

}  // namespace

int UnZstd(DecodeState* state) {
    ZstdCodec codec{ZSTD_createDStream(), 1, state->streamed != 0};
    if (codec.stream == nullptr) return 0;
    // libzstd's default bound on the window a frame may ask for (128 MiB)
    // stays: a frame that asks for more fails as damaged data.
    const int ok = PumpCodec(state, &codec, Step);
    ZSTD_freeDStream(codec.stream);
    return ok;
}

}  // namespace arcsalve
