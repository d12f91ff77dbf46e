// Fuzz target: any bytes as the data of a shrunk entry. Unshrink must end
// (no loop on a damaged prefix chain), stay inside its tables and stack, and
// report 1: damaged data are judged by the size of what was decoded.
#include "decode/decoders.h"
#include "legacy_fuzz_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace arcsalve;
    FuzzInput in;
    if (!SplitFuzzInput(data, size, &in)) return 0;
    uint64_t written = 0;
    const int result = RunFuzzDecoder(in, [](DecodeState* s) { return Unshrink(s); }, &written);
    if (result != 1) __builtin_trap();
    // Each 9-bit code yields at most one string of at most 8192 bytes.
    if (written > (uint64_t(in.size) * 8 / 9 + 1) * 8192) __builtin_trap();
    return 0;
}
