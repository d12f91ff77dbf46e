// The loop shared by the decoders that come from outside libraries (bzip2,
// LZMA, xz, Zstandard): it feeds the library the entry's data in blocks
// through the frame (so decryption, progress and the run's stop work as for
// our own decoders) and hands every block of output to WriteDecoded as it
// comes, so that a stream which breaks off leaves the good part written.
#ifndef ARCSALVE_DECODE_CODEC_PUMP_H
#define ARCSALVE_DECODE_CODEC_PUMP_H

#include <cstddef>
#include <cstdint>

#include "decode/decode_frame.h"

namespace arcsalve {

// What one step of a library decoder reports.
enum CodecStatus : int {
    kCodecMore = 0,  // give me more input or room
    kCodecEnd,       // the stream ended where it should
    kCodecError,     // the data is damaged (or the library ran out of memory)
};

// The step's buffers: it takes from `in` and fills `out`, advancing both and
// lowering the counts by what it used.
struct CodecBuffers {
    const uint8_t* in;
    size_t inLeft;
    uint8_t* out;
    size_t outLeft;
};

// One call of the library. inputEnded: no more input will come (libraries
// that must be told so, liblzma, finish there).
using CodecStep = CodecStatus (*)(void* codec, CodecBuffers* buffers, bool inputEnded);

// Runs `step` over the entry's data until the stream ends, breaks, or the
// run stops; writes the output as it comes. Returns 1 when the stream ended
// well (the input left unused behind it is then the frame's unusedInput), 0
// otherwise. A stream that needs input when there is none left is damaged
// (cut short).
int PumpCodec(DecodeState* state, void* codec, CodecStep step);

// The most memory a library decoder may take for one entry: enough for the
// dictionaries and windows archivers use (7-Zip's largest LZMA presets stay
// below it), while a damaged or hostile header that asks for gigabytes
// fails as damaged data instead.
constexpr uint64_t kCodecMemoryLimit = uint64_t{512} << 20;

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_CODEC_PUMP_H
