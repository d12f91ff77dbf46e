// The feeding loop of the library decoders (see codec_pump.h).
#include "decode/codec_pump.h"

namespace arcsalve {
namespace {

// Input goes to the library in blocks of this size; output comes back in
// blocks of the other. Both are large enough that the calls cost nothing
// beside the decoding.
constexpr int32_t kPumpInput = 16 * 1024;
constexpr size_t kPumpOutput = 64 * 1024;

}  // namespace

int PumpCodec(DecodeState* state, void* codec, CodecStep step) {
    auto input = AllocBlockOf<uint8_t>(kPumpInput);
    auto output = AllocBlockOf<uint8_t>(kPumpOutput);
    if (input == nullptr || output == nullptr) return 0;
    CodecBuffers b{input.get(), 0, nullptr, 0};
    uint64_t position = 0;
    bool inputEnded = false;
    CodecStatus status = kCodecMore;
    while (status == kCodecMore && !RunStopped(state->status) && !state->inputCut) {
        if (b.inLeft == 0 && !inputEnded) {
            const int32_t got = ReadCompressedBlock(state, input.get(), kPumpInput);
            b.in = input.get();
            b.inLeft = got > 0 ? static_cast<size_t>(got) : 0;
            inputEnded = got <= 0;
        }
        const size_t inBefore = b.inLeft;
        b.out = output.get();
        b.outLeft = kPumpOutput;
        status = step(codec, &b, inputEnded);
        const size_t produced = kPumpOutput - b.outLeft;
        if (produced > 0) {
            // The offset is 64-bit: an entry with ZIP64 sizes may decode past
            // 4 GiB (WriteDecoded cuts the input off at the entry's limit).
            WriteDecoded(state, output.get(), position, static_cast<uint32_t>(produced));
            position += produced;
        }
        // With all input given and nothing more coming out, the stream was
        // cut short.
        if (status == kCodecMore && inputEnded && produced == 0 && b.inLeft == inBefore) status = kCodecError;
    }
    if (RunStopped(state->status)) return 0;
    if (status != kCodecEnd) return 0;
    state->unusedInput = static_cast<int32_t>(b.inLeft);
    return 1;
}

}  // namespace arcsalve
