// Fuzz target: any bytes as the data of a reduced entry, factor 1 to 4 from
// the first byte. Unreduce must end, stay inside its buffer, and never write
// more than the recorded size.
#include "decode/decoders.h"
#include "legacy_fuzz_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace arcsalve;
    FuzzInput in;
    if (!SplitFuzzInput(data, size, &in)) return 0;
    const int factor = in.variant % 4 + 1;
    uint64_t written = 0;
    const int result = RunFuzzDecoder(in, [factor](DecodeState* s) { return Unreduce(s, factor); }, &written);
    if (written > in.uncompressedSize) __builtin_trap();
    if (result == 1 && written != in.uncompressedSize) __builtin_trap();
    return 0;
}
