#include "common/data_descriptor.h"

#include <cstring>
#include <initializer_list>

#include "common/little_endian.h"

namespace arcsalve {
namespace {

inline uint64_t LoadLE64(const uint8_t* p) { return LoadLE32(p) | uint64_t{LoadLE32(p + 4)} << 32; }

// The record after the optional signature: CRC-32 and two sizes of `width`
// bytes each. 0 when it does not fit in `available` or its compressed size
// is not the measured one.
int ReadShape(const uint8_t* body, size_t available, size_t prefix, int width, uint64_t compressedSize,
              DataDescriptor* out) {
    const size_t length = prefix + 4 + 2 * static_cast<size_t>(width);
    if (available < length) return 0;
    const uint8_t* p = body + prefix;
    uint64_t compressed = width == 4 ? LoadLE32(p + 4) : LoadLE64(p + 4);
    if (compressed != compressedSize) return 0;
    out->crc = LoadLE32(p);
    out->compressedSize = compressed;
    out->uncompressedSize = width == 4 ? LoadLE32(p + 8) : LoadLE64(p + 12);
    out->length = static_cast<int32_t>(length);
    return 1;
}

// Both widths after the same prefix; see the header for the tie between them.
int ReadEitherWidth(const uint8_t* bytes, size_t available, size_t prefix, uint64_t compressedSize,
                    uint64_t expectedUncompressed, DataDescriptor* out) {
    DataDescriptor narrow{}, wide{};
    int narrowFits = ReadShape(bytes, available, prefix, 4, compressedSize, &narrow);
    int wideFits = ReadShape(bytes, available, prefix, 8, compressedSize, &wide);
    if (wideFits && (!narrowFits || (wide.uncompressedSize == expectedUncompressed &&
                                     narrow.uncompressedSize != expectedUncompressed))) {
        *out = wide;
        return 1;
    }
    if (narrowFits) *out = narrow;
    return narrowFits;
}

}  // namespace

int MatchDataDescriptor(const uint8_t* bytes, size_t available, uint64_t compressedSize,
                        uint64_t expectedUncompressed, DataDescriptor* out) {
    if (available >= 4 && std::memcmp(bytes, kDescriptorSignature, 4) == 0 &&
        ReadEitherWidth(bytes, available, 4, compressedSize, expectedUncompressed, out))
        return 1;
    return ReadEitherWidth(bytes, available, 0, compressedSize, expectedUncompressed, out);
}

int MatchConfirmedDescriptor(const uint8_t* bytes, size_t available, uint64_t compressedSize,
                             uint64_t expectedUncompressed, bool inputEndsAfter, DataDescriptor* out) {
    if (!MatchDataDescriptor(bytes, available, compressedSize, expectedUncompressed, out)) return 0;
    const bool signature = available >= 4 && std::memcmp(bytes, kDescriptorSignature, 4) == 0;
    for (size_t prefix : {size_t{4}, size_t{0}}) {
        if (prefix == 4 && !signature) continue;
        for (int width : {4, 8}) {
            DataDescriptor shape{};
            if (!ReadShape(bytes, available, prefix, width, compressedSize, &shape)) continue;
            const size_t after = available - static_cast<size_t>(shape.length);
            if (RecordFollows(bytes + shape.length, after, inputEndsAfter)) {
                *out = shape;
                return 2;
            }
        }
    }
    return 1;
}

bool RecordFollows(const uint8_t* bytes, size_t available, bool inputEndsThere) {
    if (available == 0) return inputEndsThere;
    if (available < 4 || bytes[0] != 'P' || bytes[1] != 'K') return false;
    if (bytes[2] == 3 && bytes[3] == 4)
        return available >= static_cast<size_t>(kRecordLookahead) && LoadLE16(bytes + 26) != 0;
    return (bytes[2] == 1 && bytes[3] == 2) || (bytes[2] == 5 && bytes[3] == 6) || (bytes[2] == 6 && bytes[3] == 6);
}

}  // namespace arcsalve
