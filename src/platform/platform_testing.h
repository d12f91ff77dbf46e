// Fault injection for tests: makes chosen platform calls fail the way real
// systems do, where the test machine (running as root, on a roomy disk)
// cannot make them fail for real. Never used by the library itself.
#ifndef ARCSALVE_PLATFORM_PLATFORM_TESTING_H
#define ARCSALVE_PLATFORM_PLATFORM_TESTING_H

#include <cstdint>

namespace arcsalve {

enum class PlatformFault {
    kNone,
    kMoveFails,         // PathMove returns 0
    kShortWrite,        // FileWrite: after `budget` more bytes, writes come up short
    kCreatePrivateFails,// FileCreatePrivate returns kInvalidFile
    kCreateFails,       // FileCreate returns kInvalidFile
};

// Arms one fault; `budget` is the number of bytes (kShortWrite) that still go
// through before it strikes. PlatformClearFaults disarms everything.
void PlatformInjectFault(PlatformFault fault, uint64_t budget = 0);
void PlatformClearFaults();

}  // namespace arcsalve

#endif  // ARCSALVE_PLATFORM_PLATFORM_TESTING_H
