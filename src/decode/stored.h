// The stored-entry copy's buffer pool, shared by stored.cpp and its tests.
#ifndef ARCSALVE_DECODE_STORED_H
#define ARCSALVE_DECODE_STORED_H

#include <cstdint>

namespace arcsalve {

// Each copy buffer holds 8192 bytes, of which the copy stages 1000 at a time.
constexpr uint32_t kCopyBufferSize = 8192;
// Stored data reaches the temporary file in pieces of this size.
constexpr int32_t kCopyPiece = 1000;
static_assert(kCopyPiece <= static_cast<int32_t>(kCopyBufferSize), "a piece fits in a copy buffer");
// The pool keeps at most this many idle buffers once one has been given back.
constexpr int kMaxIdleCopyBuffers = 3;

// An 8192-byte buffer, idle from the pool or newly allocated; nullptr when no
// memory is left.
uint8_t* AcquireCopyBuffer();
// Gives a buffer back to the pool (a pointer the pool never handed out is
// ignored); frees it if that would leave more than three idle buffers.
void ReleaseCopyBuffer(uint8_t* buffer);

struct CopyBufferPoolCounts {
    int nodes;  // buffers in the pool, handed out or idle
    int idle;   // buffers waiting to be handed out again
};
CopyBufferPoolCounts CountCopyBuffers();

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_STORED_H
