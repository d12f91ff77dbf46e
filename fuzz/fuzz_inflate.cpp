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
// whether the stream is decoded as Deflate64 (method 9), which zlib cannot
// check, whether the output is cut off early (the decoded-size limit), and
// whether the input's last 8 bytes are no part of the stream but its
// recorded size and CRC-32 (then a stream that ends well with another CRC
// counts as damaged, and recovery may place what follows the damage by the
// size).
//
// Every input is decoded twice more: the decoder's careful loop alone (told
// so, and the byte source hands out one byte a read, so the frame's buffer
// never holds what the fast loop needs) against both loops. They must agree on
// everything the salvage goes by: the result, every output byte, and the
// input taken and left over. The next bit of the first byte has the decode
// with both loops use the code built for any processor rather than the
// variant for newer instructions, where there is one.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "decode/decode_frame.h"
#include "decode/inflate_resync.h"
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

// The archive reader's source, one byte a read.
struct OneByteReads {
    arcsalve::ByteSource inner;
};

arcsalve::ByteSource OneByteAtATime(OneByteReads* r) {
    arcsalve::ByteSource s;
    s.reader = r;
    s.readUpTo = [](void* p, uint8_t* d, int32_t n) {
        return arcsalve::SourceRead(static_cast<OneByteReads*>(p)->inner, d, n < 1 ? n : 1);
    };
    s.stepBack = [](void* p, int32_t n) { arcsalve::SourceStepBack(static_cast<OneByteReads*>(p)->inner, n); };
    s.position = [](void* p) { return arcsalve::SourcePosition(static_cast<OneByteReads*>(p)->inner); };
    s.moveTo = [](void* p, uint64_t o) { arcsalve::SourceMoveTo(static_cast<OneByteReads*>(p)->inner, o); };
    return s;
}

struct Decoded {
    int result;
    std::vector<uint8_t> output;
    int64_t consumed;
    int32_t unusedInput;
    uint64_t position;  // where the reader stands once the unread buffer went back
};

Decoded Decode(const std::string& inPath, const std::string& outPath, int64_t compressedSize, bool deflate64,
               uint64_t limit, bool oneByteReads, uint64_t plainSize, arcsalve::ResyncReport* resync = nullptr,
               bool baseline = false) {
    arcsalve::FileDecode input(inPath.c_str());
    arcsalve::FileHandle out = arcsalve::FileCreate(outPath.c_str());
    if (!arcsalve::IsOpenFile(input.run.input) || !arcsalve::IsOpenFile(out)) std::abort();
    arcsalve::DecodeState state;
    input.Prepare(&state);
    OneByteReads slow{state.source};
    if (oneByteReads) state.source = OneByteAtATime(&slow);
    state.carefulOnly = oneByteReads ? 1 : 0;
    state.baselineCode = baseline ? 1 : 0;
    state.outputFlag = 1;
    state.outputFile = out;
    state.compressedSize = compressedSize;
    if (limit != 0) state.decodedLimit = limit;
    state.uncompressedSize = plainSize;
    state.trackOutput = 1;
    state.inOrder = 1;
    state.resync = resync;
    Decoded d;
    d.result = deflate64 ? arcsalve::InflateDeflate64(&state) : arcsalve::Inflate(&state);
    d.output = ReadBack(out);
    arcsalve::FileClose(out);
    d.consumed = state.consumed;
    d.unusedInput = state.unusedInput;
    if (state.next < state.buffered) arcsalve::SourceStepBack(state.source, state.buffered - state.next);
    d.position = arcsalve::SourcePosition(state.source);
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // 0: the compressed size is the stream's length; 1..10: that much too
    // small (the allowance makes up for it); 11: far too small.
    uint8_t shortBy = data[0] % 12;
    const bool deflate64 = (data[0] / 12) % 2 == 1;
    const bool cut = (data[0] / 24) % 2 == 1;
    const bool recorded = (data[0] / 48) % 2 == 1 && size >= 9;
    const bool baseline = (data[0] / 96) % 2 == 1;
    ++data;
    --size;
    uint64_t plainSize = 0;
    uint32_t plainCrc = 0;
    if (recorded) {
        size -= 8;
        plainSize = arcsalve::LoadLE32(data + size);
        plainCrc = arcsalve::LoadLE32(data + size + 4);
    }
    const std::string inPath = ScratchDir() + "/in";
    const std::string outPath = ScratchDir() + "/out";
    FILE* f = std::fopen(inPath.c_str(), "wb");
    if (f == nullptr || (size && std::fwrite(data, 1, size, f) != size)) std::abort();
    std::fclose(f);

    const int64_t compressedSize =
        static_cast<int64_t>(size) - (shortBy == 11 ? static_cast<int64_t>(size / 2) : shortBy);
    const uint64_t limit = cut ? size * 2 + 1 : 0;
    const Decoded fast = Decode(inPath, outPath, compressedSize, deflate64, limit, false, plainSize, nullptr, baseline);
    const Decoded careful = Decode(inPath, outPath, compressedSize, deflate64, limit, true, plainSize);
    if (fast.result != careful.result || fast.output != careful.output || fast.consumed != careful.consumed ||
        fast.unusedInput != careful.unusedInput || fast.position != careful.position)
        std::abort();
    // Recovery past damage reads hostile bits by design: it must keep the
    // plain decode's output up to the prefix it reports, leave the reader
    // where the plain decode left it, add what its map describes and nothing
    // else, and spend no more than its allowance. Left alone, the output is
    // the plain decode's.
    arcsalve::ResyncReport report{};
    // With a recorded size the search goes on to place a tail, decoding
    // to the end from each candidate: more work per byte, as in a salvage.
    report.workLeft = uint64_t{size} * (recorded ? 512 : 64) + (1u << 16);
    const uint64_t allowed = report.workLeft;
    report.crc[0] = plainCrc;
    report.crcCount = recorded ? 1 : 0;
    const Decoded resumed = Decode(inPath, outPath, compressedSize, deflate64, limit, false, plainSize, &report);
    if (resumed.position != fast.position || resumed.consumed != fast.consumed || report.workUsed > allowed ||
        report.prefix > fast.output.size() || resumed.output.size() < report.prefix ||
        (report.prefix > 0 && std::memcmp(resumed.output.data(), fast.output.data(), report.prefix) != 0))
        std::abort();
    // Nothing found past a prefix that is the whole output: that output,
    // its result kept or turned into a failure.
    const bool kept = report.rangeCount == 0 || (report.pieces == 0 && report.prefix == fast.output.size());
    if (kept ? (resumed.output != fast.output ||
                (resumed.result != fast.result && (report.rangeCount == 0 || resumed.result != 0)))
             : (resumed.result != 0 || report.unknown > report.recovered ||
                (limit == 0 && report.prefix + report.recovered != resumed.output.size())))
        std::abort();
    uint64_t mapped = 0;
    for (uint32_t i = 0; i < report.rangeCount && i < arcsalve::kResyncMapRanges; ++i)
        if (report.ranges[i].kind != arcsalve::kRangeLost) {
            if (report.ranges[i].offset != mapped) std::abort();
            mapped += report.ranges[i].length;
        }
    if (report.pieces > 0 && report.rangeCount <= arcsalve::kResyncMapRanges && limit == 0 &&
        mapped != resumed.output.size())
        std::abort();
    if (deflate64 || cut) return 0;
    const int result = fast.result;
    const std::vector<uint8_t>& ours = fast.output;

    std::vector<uint8_t> theirs;
    bool complete = ZlibInflate(data, size, &theirs);
    size_t common = ours.size() < theirs.size() ? ours.size() : theirs.size();
    if (common > 0 && std::memcmp(ours.data(), theirs.data(), common) != 0) std::abort();
    // With the full length known (or a shortfall the allowance covers), a
    // stream zlib completes must complete here.
    if (complete && shortBy <= 10 && (result != 1 || ours != theirs)) std::abort();
    return 0;
}
