// Inflate on any byte sequence, through the real decoding frame: the input
// is the archive, read through the archive reader and the byte source; the
// output goes to a file.
//
// Beyond "no crash, no hang, no out-of-bounds access", zlib decodes the same
// bytes as an independent oracle: where both have output, it must agree
// byte for byte, and a stream that zlib decodes to its end must decode here
// too, completely and with success. (The other way round is allowed to
// differ: this decoder accepts a few things zlib refuses, such as distance
// codes 30 and 31 and distances reaching before the first byte.)
//
// The first byte picks how much the frame is told about the stream's length,
// so the 10-byte allowance past the compressed size is exercised as well,
// and whether the stream is decoded as Deflate64 (method 9), which zlib
// cannot check: there only the safety of the decode is tested.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "file_decode.h"

namespace {

std::string ScratchDir() {
    static std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzz-inflate-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) == nullptr) std::abort();
        return std::string(buffer.data());
    }();
    return dir;
}

std::vector<uint8_t> ReadBack(arcsalve::FileHandle h) {
    std::vector<uint8_t> out(arcsalve::FileSize(h));
    if (!out.empty() && arcsalve::FileReadAt(h, 0, out.data(), static_cast<uint32_t>(out.size())) != out.size())
        std::abort();
    return out;
}

// zlib's raw inflate of the stream: its output and whether it reached the
// end of the stream.
bool ZlibInflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) std::abort();
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    uint8_t chunk[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
        if (out->size() > (64u << 20)) break;
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // 0: the compressed size is the stream's length; 1..10: that much too
    // small (the allowance makes up for it); 11: far too small.
    uint8_t shortBy = data[0] % 12;
    const bool deflate64 = (data[0] / 12) % 2 == 1;
    ++data;
    --size;
    const std::string inPath = ScratchDir() + "/in";
    const std::string outPath = ScratchDir() + "/out";
    FILE* f = std::fopen(inPath.c_str(), "wb");
    if (f == nullptr || (size && std::fwrite(data, 1, size, f) != size)) std::abort();
    std::fclose(f);

    arcsalve::FileDecode input(inPath.c_str());
    arcsalve::FileHandle out = arcsalve::FileCreate(outPath.c_str());
    if (!arcsalve::IsOpenFile(input.run.input) || !arcsalve::IsOpenFile(out)) std::abort();

    arcsalve::DecodeState state;
    input.Prepare(&state);
    state.outputFlag = 1;
    state.outputFile = out;
    state.compressedSize = static_cast<int32_t>(size) - (shortBy == 11 ? static_cast<int32_t>(size / 2) : shortBy);
    int result = deflate64 ? arcsalve::InflateDeflate64(&state) : arcsalve::Inflate(&state);
    std::vector<uint8_t> ours = ReadBack(out);
    arcsalve::FileClose(out);
    if (deflate64) return 0;

    std::vector<uint8_t> theirs;
    bool complete = ZlibInflate(data, size, &theirs);
    size_t common = ours.size() < theirs.size() ? ours.size() : theirs.size();
    if (common > 0 && std::memcmp(ours.data(), theirs.data(), common) != 0) std::abort();
    // With the full length known (or a shortfall the allowance covers), a
    // stream zlib completes must complete here.
    if (complete && shortBy <= 10 && (result != 1 || ours != theirs)) std::abort();
    return 0;
}
