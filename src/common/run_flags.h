// The state every stage of a run consults: two run flags, cleared when a
// repair starts and, once raised, raised for the rest of that run; and the
// host's flags word of the repair.
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

// The flags word of the repair in progress, as the host passed it to
// RepairFile: the salvage reads the extension flags (REPAIR_KEEP_INTACT ...)
// from it. Set when a repair starts.
extern uint32_t g_repairFlags;

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_RUN_FLAGS_H
