// The sizes the two stored copies share (stored.cpp, stored_streamed.cpp).
#ifndef ARCSALVE_DECODE_STORED_H
#define ARCSALVE_DECODE_STORED_H

#include <cstdint>

namespace arcsalve {

// Each copy buffer holds 8192 bytes, of which the stored copy stages 1000 at
// a time; the copy of data with a trailing descriptor fills it whole.
constexpr uint32_t kCopyBufferSize = 8192;
// Stored data reaches the temporary file in pieces of this size.
constexpr int32_t kCopyPiece = 1000;
static_assert(kCopyPiece <= static_cast<int32_t>(kCopyBufferSize), "a piece fits in a copy buffer");

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_STORED_H
