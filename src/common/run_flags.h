// The two flags every stage of a run consults. Both are cleared when a repair
// starts; once raised they stay raised for the rest of that run.
#ifndef ARCSALVE_COMMON_RUN_FLAGS_H
#define ARCSALVE_COMMON_RUN_FLAGS_H

#include <cstdint>

namespace arcsalve {

// Raised when the host's progress callback answers 0: the repair stops after
// the entry in hand.
extern uint32_t g_abortRequested;
// Raised by any write to the temporary file or the output archive that
// transfers fewer bytes than asked: every later decode and re-compression of
// the run fails.
extern uint32_t g_writeFailed;

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_RUN_FLAGS_H
