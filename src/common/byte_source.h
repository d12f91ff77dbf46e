// Where a decoder's compressed bytes come from. The decoders see the damaged
// archive only through this: a small struct of the reader's own calls, so
// that the decoding layer never depends on the reader behind it (the
// archive reader of the salvage, or a block of memory in the fuzz targets)
// and two decoders can run over two readers at once.
//
// The calls are made only when a decoder refills its own 8 KiB buffer,
// so going through a pointer costs nothing measurable.
#ifndef ARCSALVE_COMMON_BYTE_SOURCE_H
#define ARCSALVE_COMMON_BYTE_SOURCE_H

#include <cstdint>

namespace arcsalve {

struct ByteSource {
    void* reader;
    // Hands out up to count bytes into destination; returns how many arrived
    // before the end of the input.
    int32_t (*readUpTo)(void* reader, uint8_t* destination, int32_t count);
    // Moves the read point back by count bytes (never before offset 0).
    void (*stepBack)(void* reader, int32_t count);
    // The input offset of the next byte handed out.
    uint64_t (*position)(void* reader);
    // Moves the read point to an absolute input offset.
    void (*moveTo)(void* reader, uint64_t offset);
};

inline int32_t SourceRead(const ByteSource& s, uint8_t* destination, int32_t count) {
    return s.readUpTo(s.reader, destination, count);
}
inline void SourceStepBack(const ByteSource& s, int32_t count) { s.stepBack(s.reader, count); }
inline uint64_t SourcePosition(const ByteSource& s) { return s.position(s.reader); }
inline void SourceMoveTo(const ByteSource& s, uint64_t offset) { s.moveTo(s.reader, offset); }

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_BYTE_SOURCE_H
