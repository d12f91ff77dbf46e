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

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_DECODE_TESTING_H
