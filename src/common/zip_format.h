// Record layouts of the ZIP format that more than one unit reads or writes.
#ifndef ARCSALVE_COMMON_ZIP_FORMAT_H
#define ARCSALVE_COMMON_ZIP_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "common/little_endian.h"

namespace arcsalve {

// Local file header: 30 bytes, then the name and the extra field.
constexpr int kLocalHeaderSize = 30;
constexpr int kLhSignature = 0;     // "PK", 3, 4
constexpr int kLhVersion = 4;       // version needed to extract
constexpr int kLhFlags = 6;         // general-purpose flags
constexpr int kLhMethod = 8;        // compression method
constexpr int kLhTime = 10;         // MS-DOS time
constexpr int kLhDate = 12;         // MS-DOS date
constexpr int kLhCrc = 14;          // CRC-32
constexpr int kLhCompressed = 18;   // compressed size
constexpr int kLhUncompressed = 22; // uncompressed size
constexpr int kLhNameLength = 26;
constexpr int kLhExtraLength = 28;

// Compression methods this library reads; it writes only stored and
// deflated data.
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodShrunk = 1;
constexpr uint16_t kMethodReduced1 = 2;  // reduced with factors 1 to 4: methods 2 to 5
constexpr uint16_t kMethodReduced4 = 5;
constexpr uint16_t kMethodImploded = 6;
constexpr uint16_t kMethodTokenized = 7;  // never had a decoder: always a failure
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kMethodDeflate64 = 9;  // deflate with a 64 KiB window and longer matches
// Methods of later archivers, decoded by outside libraries when the build
// has them (decode/decode_frame.cpp: HasDecoder).
constexpr uint16_t kMethodBzip2 = 12;
constexpr uint16_t kMethodLzma = 14;    // LZMA1 behind a 4-byte ZIP header and its 5 property bytes
constexpr uint16_t kMethodZstd = 93;
constexpr uint16_t kMethodXz = 95;

constexpr uint16_t kFlagEncrypted = 0x0001;     // bit 0: traditional encryption
constexpr uint16_t kFlagLzmaEndMarker = 0x0002;  // bit 1 with method 14: the stream ends with an end marker
constexpr uint16_t kFlagDataDescriptor = 0x0008;// bit 3: sizes and CRC follow the data
constexpr uint16_t kFlagUtf8 = 0x0800;          // bit 11: name is UTF-8

// A size field holding all ones says "the size is in the ZIP64 extra block",
// whose header id is 0x0001.
constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;
constexpr uint16_t kZip64ExtraId = 0x0001;

// An extra field is a run of blocks: a 2-byte id, a 2-byte data size, the
// data. Returns the data of the first block with `id` among the `length`
// bytes at `extra` (its size in *size), or null when there is none. A block
// that runs past the field ends the search: nothing after it can be read in
// step.
inline const uint8_t* FindExtraBlock(const uint8_t* extra, size_t length, uint16_t id, uint32_t* size) {
    for (size_t at = 0; at + 4 <= length;) {
        const uint32_t blockSize = LoadLE16(extra + at + 2);
        if (blockSize > length - at - 4) return nullptr;
        if (LoadLE16(extra + at) == id) {
            *size = blockSize;
            return extra + at + 4;
        }
        at += 4 + blockSize;
    }
    return nullptr;
}

// The encryption header that precedes an encrypted entry's data.
constexpr int kEncryptionHeaderSize = 12;

// The longest entry name a header may announce: its 16-bit length field
// allows any length, and every length is accepted.
constexpr int kMaxNameLength = 0xFFFF;

// The most plain bytes an entry may decode to unless its ZIP64 block records
// a larger size: what a 32-bit size field can state (all ones reads as "the
// size is in a ZIP64 field"). Beyond it a stream that expands without end
// (a decompression bomb) is cut off instead of filling the disk.
constexpr uint64_t kMaxDecodedSize = 0xFFFFFFFEu;
// Sizes, offsets and counts from this value on do not fit their 32-bit (or,
// for a count, 16-bit) fields: the rebuilt archive writes them in ZIP64
// fields and leaves all ones in the classic one.
constexpr uint64_t kZip64Threshold = 0xFFFFFFFFu;

constexpr int kCentralRecordSize = 46;
constexpr int kEndRecordSize = 22;

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_ZIP_FORMAT_H
