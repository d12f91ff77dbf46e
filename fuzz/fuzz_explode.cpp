// Fuzz target: any bytes as the data of an imploded entry, with the implode
// flag bits taken from the first byte. Explode must end, stay inside its
// window and tables, and write at most one copy past the recorded size.
#include "decode/decoders.h"
#include "legacy_fuzz_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace arcsalve;
    FuzzInput in;
    if (!SplitFuzzInput(data, size, &in)) return 0;
    const uint16_t flags = in.variant & 0x06;
    uint64_t written = 0;
    const int result = RunFuzzDecoder(in, [flags](DecodeState* s) { return Explode(s, flags); }, &written);
    // The longest copy is 321 bytes; the last one is made whole.
    if (written > uint64_t(in.uncompressedSize) + 321) __builtin_trap();
    if (result == 1 && written < in.uncompressedSize) __builtin_trap();
    return 0;
}
