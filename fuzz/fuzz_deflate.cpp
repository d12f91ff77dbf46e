// The compressor on any byte sequence: DeflateEntry over a memory stream
// (the same compressor and stream code the driver runs, without the files),
// then zlib's raw inflate as an independent oracle. The output must inflate
// to exactly the input, end exactly at its last byte, and the stream's
// CRC-32 must equal zlib's. Any difference aborts.
//
// Inputs are short under libFuzzer's defaults, but the compressor's seams
// (window slides every 32 KiB, blocks of 32767 items, stored blocks) need
// long ones: an input whose first byte has its top bit set is a recipe
// instead, its remaining bytes repeated with a changing twist up to
// (first byte & 0x7F) KiB, past the window's first slide at 64 KiB.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "recompress/recompress_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Expand(const uint8_t* data, size_t size) {
    if (size == 0 || (data[0] & 0x80) == 0) return Bytes(data, data + size);
    size_t target = static_cast<size_t>(data[0] & 0x7F) * 1024;
    const uint8_t* seed = data + 1;
    size_t seedSize = size - 1;
    Bytes out;
    out.reserve(target);
    if (seedSize == 0) {
        out.assign(target, 0);
        return out;
    }
    // Each round copies the seed, every byte XORed with the round number's
    // low byte where the seed byte's low bit is set, so rounds are alike but
    // not equal: long matches, near misses and literals mixed.
    for (uint32_t round = 0; out.size() < target; ++round)
        for (size_t i = 0; i < seedSize && out.size() < target; ++i)
            out.push_back(static_cast<uint8_t>(seed[i] ^ ((seed[i] & 1) ? round : 0)));
    return out;
}

bool ZlibInflate(const Bytes& compressed, Bytes* out, size_t expectedSize) {
    out->assign(expectedSize + 1, 0);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    z.next_out = out->data();
    z.avail_out = static_cast<uInt>(out->size());
    int rc = inflate(&z, Z_FINISH);
    out->resize(z.total_out);
    bool good = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return good;
}

[[noreturn]] void Mismatch(const char* what, size_t inputSize) {
    std::fprintf(stderr, "fuzz_deflate: %s (input of %zu bytes)\n", what, inputSize);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes input = Expand(data, size);
    arcsalve::RecompressStream stream;
    arcsalve::MemorySink sink;
    arcsalve::InitMemoryStream(&stream, input.data(), input.size(), &sink);
    if (!arcsalve::DeflateEntry(&stream)) Mismatch("DeflateEntry failed", input.size());
    arcsalve::FinishSink(&stream);
    for (size_t i = 0; i + 1 < sink.writeSizes.size(); ++i)
        if (sink.writeSizes[i] != 1024) Mismatch("a write other than the last is not 1024 bytes", input.size());

    Bytes inflated;
    if (!ZlibInflate(sink.bytes, &inflated, input.size())) Mismatch("zlib rejects the output", input.size());
    if (inflated != input) Mismatch("output inflates to different bytes", input.size());
    uint32_t crc = static_cast<uint32_t>(crc32(0, input.data(), static_cast<uInt>(input.size())));
    if (arcsalve::StreamCrc(&stream) != crc) Mismatch("CRC-32 differs from zlib's", input.size());
    return 0;
}
