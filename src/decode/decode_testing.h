// Test hooks of the decoding frame: make AllocBlock fail on demand, so that
// every decoder's out-of-memory path can be exercised, and lower the decoded
// size limit. Never used by the library itself.
#ifndef ARCSALVE_DECODE_DECODE_TESTING_H
#define ARCSALVE_DECODE_DECODE_TESTING_H

#include <cstdint>

namespace arcsalve {

// After `allowed` more successful AllocBlock calls, every further call
// returns nullptr. A negative value disarms the fault (the default).
void InjectAllocFailure(int64_t allowed);

// Lowers the most plain bytes one entry may decode to (kMaxDecodedSize), so
// that what happens there can be tested without decoding 4 GiB; 0 restores
// it.
void SetDecodedSizeLimit(uint64_t limit);

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_DECODE_TESTING_H
