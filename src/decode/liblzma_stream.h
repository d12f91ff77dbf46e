// What the two liblzma decoders (LZMA, method 14, and xz, method 95) share:
// the allocator that takes memory as every decoder here does, and the step
// that runs lzma_code for the pump.
#ifndef ARCSALVE_DECODE_LIBLZMA_STREAM_H
#define ARCSALVE_DECODE_LIBLZMA_STREAM_H

#include <lzma.h>

#include "decode/codec_pump.h"

namespace arcsalve {

extern const lzma_allocator kLzmaAllocator;

// One lzma_code call; at the end of the input the stream is told to finish.
CodecStatus LzmaStep(void* codec, CodecBuffers* b, bool inputEnded);

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_LIBLZMA_STREAM_H
