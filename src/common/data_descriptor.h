// The data descriptor: the record that follows an entry's data when the
// writer did not know the CRC-32 and sizes while it wrote the local header
// (general-purpose bit 3, typical of archives written to a pipe or socket).
//
//   [signature "PK", 7, 8]   optional: older writers leave it out
//   CRC-32                   4 bytes
//   compressed size          4 bytes, or 8 in the Zip64 form
//   uncompressed size        4 bytes, or 8 in the Zip64 form
//
// Nothing in the record says which of the four shapes it has, so a reader
// must know where the data ended and pick the shape whose compressed size
// equals the distance it measured.
#ifndef ARCSALVE_COMMON_DATA_DESCRIPTOR_H
#define ARCSALVE_COMMON_DATA_DESCRIPTOR_H

#include <cstddef>
#include <cstdint>

namespace arcsalve {

constexpr uint8_t kDescriptorSignature[4] = {'P', 'K', 7, 8};
// The longest shape: signature, CRC-32 and two 8-byte sizes.
constexpr int32_t kLongestDescriptor = 24;
// The shortest: CRC-32 and two 4-byte sizes, no signature.
constexpr int32_t kShortestDescriptor = 12;

struct DataDescriptor {
    uint32_t crc;
    uint64_t compressedSize;
    uint64_t uncompressedSize;
    int32_t length;  // bytes the record takes: 12, 16, 20 or 24
};

// Reads the descriptor at bytes[0..available) whose compressed size equals
// `compressedSize`. Shapes are tried with the signature first, then without;
// within each, the 4-byte sizes first. Both widths fit when the 4-byte
// record's uncompressed size is 0 (the high half of an 8-byte compressed
// size): the Zip64 shape is then taken only if its uncompressed size is
// `expectedUncompressed` and the 4-byte one's is not. 1 and *out filled when
// a shape fits, else 0.
int MatchDataDescriptor(const uint8_t* bytes, size_t available, uint64_t compressedSize,
                        uint64_t expectedUncompressed, DataDescriptor* out);

// Whether the bytes after a descriptor start what may follow an entry: a
// local header whose fixed part is there and whose name is not empty, a
// central directory record, or an end record (classic or ZIP64); or nothing,
// when the input ends there. Used where a descriptor could be data that
// merely looks like one.
bool RecordFollows(const uint8_t* bytes, size_t available, bool inputEndsThere);

// MatchDataDescriptor, preferring a shape that a record (RecordFollows)
// follows: bytes[0..available) must hold the shape and kRecordLookahead bytes
// after it, unless the input ends after them (inputEndsAfter). 2 with that
// shape in *out; 1 when shapes fit but none is confirmed (*out as
// MatchDataDescriptor chooses); 0 when none fits.
int MatchConfirmedDescriptor(const uint8_t* bytes, size_t available, uint64_t compressedSize,
                             uint64_t expectedUncompressed, bool inputEndsAfter, DataDescriptor* out);

// The bytes RecordFollows needs in view: a local header's fixed part.
constexpr int32_t kRecordLookahead = 30;

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_DATA_DESCRIPTOR_H
