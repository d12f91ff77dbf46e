// The decoders of outside libraries (bzip2, LZMA, xz, Zstandard) on any byte
// sequence, through the real decoding frame and its method table, as the
// salvage calls them: the input is the archive, read through the archive
// reader; the output is only checked, never written.
//
// Byte 0 picks the method (bits 0-1: bzip2, LZMA, xz, Zstandard), for LZMA
// bit 2 the end-marker flag, and bit 3 a streamed entry (flag bit 3, no
// recorded sizes: the stream runs to its own end through the whole input); bytes 1 to 3 are the uncompressed size the
// header claims (little-endian), which ends an LZMA stream without an end
// marker. Beyond "no crash, no hang, no out-of-bounds access", a decode that
// succeeds must describe its output in order and a stream that lies within
// the data. bzip2 data is decoded a second time with recovery past damage,
// which must keep what the first decode kept and add only what its map
// describes; and whenever libbz2 decodes the whole stream by itself, what
// the first decode kept must be a prefix of libbz2's output (all of it when
// the decode succeeded): a damaged block's output never gets in.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#ifdef ARCSALVE_WITH_BZIP2
#include <bzlib.h>
#endif

#include "common/crc32.h"
#include "common/little_endian.h"
#include "common/resync_map.h"
#include "common/zip_format.h"
#include "decode/decode_frame.h"
#include "file_decode.h"

namespace {

std::string ScratchFile() {
    static std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzz-codecs-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) == nullptr) std::abort();
        return std::string(buffer.data()) + "/in";
    }();
    return path;
}

constexpr uint16_t kMethods[4] = {arcsalve::kMethodBzip2, arcsalve::kMethodLzma, arcsalve::kMethodXz,
                                  arcsalve::kMethodZstd};

// The bzip2 checks (see the top of the file) after the first decode.
void CheckBzip2(arcsalve::FileDecode& input, arcsalve::DecodeContext context, const uint8_t* header,
                const uint8_t* data, size_t size, int result, const arcsalve::DecodeOutcome& first) {
#ifdef ARCSALVE_WITH_BZIP2
    static std::vector<char> whole(4u << 20);
    unsigned length = static_cast<unsigned>(whole.size());
    std::vector<char> in(data, data + size);
    const int r = BZ2_bzBuffToBuffDecompress(whole.data(), &length, in.data(), static_cast<unsigned>(size), 0, 0);
    if (r == BZ_OK) {
        const auto* plain = reinterpret_cast<const uint8_t*>(whole.data());
        if (first.produced > length || arcsalve::Crc32Update(0, plain, first.produced) != first.crc ||
            (result == 1 && first.produced != length))
            std::abort();
    } else if (r != BZ_OUTBUFF_FULL && result == 1) {
        std::abort();
    }
#endif
    arcsalve::ResyncReport report{};
    report.workLeft = uint64_t{size} * 8 + 1024;
    const uint64_t allowed = report.workLeft;
    context.resync = &report;
    arcsalve::ReturnToOffset(input.reader, 0);
    const char password[40] = {};
    arcsalve::DecodeOutcome again{};
    const int resumed = arcsalve::DecodeEntry(context, header, arcsalve::kNoFile, 0, password, nullptr, &again);
    if (!again.inOrder || report.workUsed > allowed) std::abort();
    if (report.pieces == 0 ? (resumed != result || again.produced != first.produced || again.crc != first.crc)
                           : (resumed != 0 || report.prefix != first.produced ||
                              report.prefix + report.recovered != again.produced))
        std::abort();
    uint64_t mapped = 0;
    for (uint32_t i = 0; i < report.rangeCount && i < arcsalve::kResyncMapRanges; ++i)
        if (report.ranges[i].kind != arcsalve::kRangeLost) {
            if (report.ranges[i].offset != mapped || report.ranges[i].kind != arcsalve::kRangeKnown) std::abort();
            mapped += report.ranges[i].length;
        }
    if (report.pieces > 0 && report.rangeCount <= arcsalve::kResyncMapRanges && mapped != again.produced) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint16_t method = kMethods[data[0] & 3];
    const uint16_t flags = (data[0] & 4) ? arcsalve::kFlagLzmaEndMarker : 0;
    const uint32_t claimed = data[1] | uint32_t{data[2]} << 8 | uint32_t{data[3]} << 16;
    data += 4;
    size -= 4;
    if (!arcsalve::HasDecoder(method)) return 0;
    const std::string path = ScratchFile();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size && std::fwrite(data, 1, size, f) != size)) std::abort();
    std::fclose(f);

    uint8_t header[arcsalve::kLocalHeaderSize] = {'P', 'K', 3, 4};
    arcsalve::StoreLE16(header + arcsalve::kLhFlags, flags);
    arcsalve::StoreLE16(header + arcsalve::kLhMethod, method);
    arcsalve::StoreLE32(header + arcsalve::kLhCompressed, static_cast<uint32_t>(size));
    arcsalve::StoreLE32(header + arcsalve::kLhUncompressed, claimed);
    arcsalve::FileDecode input(path.c_str());
    if (!arcsalve::IsOpenFile(input.run.input)) std::abort();
    arcsalve::DecodeContext context = input.Context();
    context.decodedLimit = 64u << 20;  // a bomb stops here, as at the run's limit
    const char password[40] = {};
    arcsalve::DecodeOutcome outcome{};
    const bool streamed = (data[-4] & 8) != 0;
    int result;
    if (streamed) {
        arcsalve::StoreLE16(header + arcsalve::kLhFlags, flags | arcsalve::kFlagDataDescriptor);
        arcsalve::StoreLE32(header + arcsalve::kLhCompressed, 0);
        arcsalve::StreamedData search{0, 0};
        result = arcsalve::DecodeStreamedEntry(context, header, arcsalve::kNoFile, 0, password, nullptr, &search,
                                               &outcome);
    } else {
        result = arcsalve::DecodeEntry(context, header, arcsalve::kNoFile, 0, password, nullptr, &outcome);
    }
    if (!outcome.inOrder) std::abort();
    if (result == 1 && (outcome.streamLength < 0 || outcome.streamLength > static_cast<int64_t>(size))) std::abort();
    if (outcome.produced > context.decodedLimit) std::abort();
    if (method == arcsalve::kMethodBzip2 && !streamed) CheckBzip2(input, context, header, data, size, result, outcome);
    return 0;
}
