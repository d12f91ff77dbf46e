// Test hook of the scan: a smaller limit for the rebuilt archive than the
// 4 GiB - 1 bytes that ZIP's 32-bit offsets allow, so that what happens at
// the limit can be tested without writing gigabytes. Never used by the
// library itself.
#ifndef ARCSALVE_SALVAGE_SCAN_TESTING_H
#define ARCSALVE_SALVAGE_SCAN_TESTING_H

#include <cstdint>

namespace arcsalve {

// The largest rebuilt archive, in bytes; 0 restores the real limit.
void SetArchiveSizeLimit(uint64_t limit);

}  // namespace arcsalve

#endif  // ARCSALVE_SALVAGE_SCAN_TESTING_H
