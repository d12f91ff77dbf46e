// The fault-injecting platform backend, linked only into the tests: the
// POSIX backend with chosen calls made to fail the way real systems do,
// where the test machine (running as root, on a roomy disk) cannot make
// them fail for real. The library itself never sees this header.
#ifndef ARCSALVE_PLATFORM_TESTING_FAULT_PLATFORM_H
#define ARCSALVE_PLATFORM_TESTING_FAULT_PLATFORM_H

#include <cstdint>

namespace arcsalve {

enum class PlatformFault {
    kNone,
    kMoveFails,         // PathMove and PathReplace return 0
    kShortWrite,        // FileWrite: after `budget` more bytes, writes come up short
    kCreatePrivateFails,// FileCreatePrivate returns kInvalidFile
    kCreateFails,       // FileCreate and FileCreateNew return kInvalidFile
};

// Arms one fault; `budget` is the number of bytes (kShortWrite) that still go
// through before it strikes. PlatformClearFaults disarms everything,
// allocation failures included.
void PlatformInjectFault(PlatformFault fault, uint64_t budget = 0);
void PlatformClearFaults();

// After `allowed` more successful MemoryAllocate calls, every further call
// returns nullptr, so that every decoder's out-of-memory path can be
// exercised. A negative value disarms it (the default).
void InjectAllocFailure(int64_t allowed);

}  // namespace arcsalve

#endif  // ARCSALVE_PLATFORM_TESTING_FAULT_PLATFORM_H
