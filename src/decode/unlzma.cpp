// Method 14: LZMA as ZIP stores it. The data begins with a 4-byte header of
// its own, the LZMA SDK's version (2 bytes, major and minor) and the length
// of the properties that follow (2 bytes, little-endian, always 5); then the
// properties: one byte packing lc, lp and pb as (pb * 5 + lp) * 9 + lc, and
// the dictionary size (4 bytes, little-endian); then the raw LZMA1 stream.
// General-purpose bit 1 says the stream ends with an end marker; without it
// the stream ends when the header's uncompressed size is reached. The raw
// stream is decoded by liblzma's LZMA1 decoder, told the size or the marker.
#include <cstring>

#include "common/little_endian.h"
#include "common/zip_format.h"
#include "decode/decoders.h"
#include "decode/liblzma_stream.h"

namespace arcsalve {
namespace {

constexpr int kZipLzmaHeader = 4;
constexpr int kPropertiesLength = 5;
// The properties byte's largest value: pb 4, lp 4, lc 8.
constexpr uint32_t kMaxPropertiesByte = (4 * 5 + 4) * 9 + 8;

// Reads the header and properties into options; false when they are cut
// short or malformed.
bool ReadProperties(DecodeState* state, lzma_options_lzma* options) {
    uint8_t bytes[kZipLzmaHeader + kPropertiesLength];
    int32_t got = 0;
    while (got < static_cast<int32_t>(sizeof bytes)) {
        const int32_t n = ReadCompressedBlock(state, bytes + got, static_cast<int32_t>(sizeof bytes) - got);
        if (n <= 0) return false;
        got += n;
    }
    if (LoadLE16(bytes + 2) != kPropertiesLength) return false;
    uint32_t packed = bytes[kZipLzmaHeader];
    if (packed > kMaxPropertiesByte) return false;
    std::memset(options, 0, sizeof *options);
    options->lc = packed % 9;
    packed /= 9;
    options->lp = packed % 5;
    options->pb = packed / 5;
    options->dict_size = LoadLE32(bytes + kZipLzmaHeader + 1);
    // liblzma refuses dictionaries below its minimum; a smaller one decodes
    // the same in a larger window.
    if (options->dict_size < LZMA_DICT_SIZE_MIN) options->dict_size = LZMA_DICT_SIZE_MIN;
    return true;
}

}  // namespace

int UnLzma(DecodeState* state, uint16_t flags) {
    lzma_options_lzma options;
    if (!ReadProperties(state, &options)) return 0;
    // The size ends the stream unless bit 1 announces an end marker (or the
    // header's size is a ZIP64 marker, left in place for sizes beyond 32
    // bits): then the marker must come, and the size is not given.
    const bool endMarker = (flags & kFlagLzmaEndMarker) != 0 || state->uncompressedSize == kZip64Marker;
    if (endMarker) {
        options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        options.ext_size_low = UINT32_MAX;
        options.ext_size_high = UINT32_MAX;
    } else {
        options.ext_size_low = state->uncompressedSize;
        options.ext_size_high = 0;
    }
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_raw_decoder_memusage(filters) > kCodecMemoryLimit) return 0;
    lzma_stream z = LZMA_STREAM_INIT;
    z.allocator = &kLzmaAllocator;
    if (lzma_raw_decoder(&z, filters) != LZMA_OK) return 0;
    const int ok = PumpCodec(state, &z, LzmaStep);
    lzma_end(&z);
    return ok;
}

}  // namespace arcsalve
