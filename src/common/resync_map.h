// The map of an entry recovered past damage inside its compressed data:
// which output ranges were decoded, which hold fill bytes for bytes of
// unknown value, and where stretches of unknown length were lost. Made by
// the inflate decoder (decode/inflate_resync.h) and the bzip2 decoder, told
// to the host with the entry's report.
#ifndef ARCSALVE_COMMON_RESYNC_MAP_H
#define ARCSALVE_COMMON_RESYNC_MAP_H

#include <cstdint>

namespace arcsalve {

// Output bytes whose value is unknown (a copy that reaches back before the
// point where decoding resumed, or a copy of such a byte) are written as
// this byte. Zero: it stands out in text, where most salvaged content that
// people rebuild by hand is, and in binary data it is the usual value of
// padding; which bytes are fill, as opposed to real zeros, is in the map.
constexpr uint8_t kResyncFill = 0x00;

// The map lists at most this many ranges; the rest are only counted.
constexpr uint32_t kResyncMapRanges = 32;

// Compressed bytes after the damage that are searched at most: beyond them
// the entry ends with what was found (the search holds them in memory).
constexpr uint32_t kResyncInputLimit = 128u << 20;

enum ResyncRangeKind : uint8_t {
    kRangeKnown = 0,    // decoded bytes, offset and length in the output
    kRangeUnknown = 1,  // fill bytes standing for bytes of unknown value
    kRangeLost = 2,     // a stretch of unknown length was lost at offset;
                        // length: the compressed bytes skipped there
};

struct ResyncRange {
    uint64_t offset;
    uint64_t length;
    ResyncRangeKind kind;
};

// What the salvage hands the decoder to turn recovery on, and what it
// learns back. workLeft bounds the search: every candidate bit position and
// every bit decoded while a candidate is tried costs one unit.
struct ResyncReport {
    uint64_t workLeft;   // in/out: the units the entry may still spend
    // in: the CRC-32 values the entry's data may have (header, descriptor);
    // a stream that ends well with another one is damaged too.
    uint32_t crc[2];
    uint32_t crcCount;
    uint64_t workUsed;   // out: units spent
    uint32_t pieces;     // out: segments recovered after the prefix
    uint64_t prefix;     // out: bytes decoded before the first damage
    uint64_t recovered;  // out: bytes written in the segments, fill included
    uint64_t unknown;    // out: fill bytes among them
    uint32_t rangeCount; // out: ranges in the map, listed or not
    ResyncRange ranges[kResyncMapRanges];
    // Where the last range ends, so that ranges merge even once the list is
    // full.
    ResyncRangeKind lastKind;
    uint64_t lastEnd;
};

// Appends a range to the map: a known or unknown range right after one of
// its kind widens it; a lost one always stands alone.
inline void AddResyncRange(ResyncReport* r, ResyncRangeKind kind, uint64_t offset, uint64_t length) {
    if (length == 0 && kind != kRangeLost) return;
    if (r->rangeCount > 0 && kind != kRangeLost && r->lastKind == kind && r->lastEnd == offset) {
        if (r->rangeCount <= kResyncMapRanges) r->ranges[r->rangeCount - 1].length += length;
        r->lastEnd += length;
        return;
    }
    if (r->rangeCount < kResyncMapRanges) r->ranges[r->rangeCount] = ResyncRange{offset, length, kind};
    ++r->rangeCount;
    r->lastKind = kind;
    r->lastEnd = kind == kRangeLost ? offset : offset + length;
}

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_RESYNC_MAP_H
