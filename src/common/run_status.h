// The two facts about a run that every stage that reads or writes data
// consults: both are cleared when a repair starts and, once raised, stay
// raised for the rest of that run.
#ifndef ARCSALVE_COMMON_RUN_STATUS_H
#define ARCSALVE_COMMON_RUN_STATUS_H

#include <cstdint>

namespace arcsalve {

struct RunStatus {
    // Raised when the host's progress callback answers 0: the repair stops
    // after the entry in hand.
    uint32_t abortRequested = 0;
    // Raised by any write to the temporary file or the output archive that
    // transfers fewer bytes than asked: every later decode and
    // re-compression of the run fails.
    uint32_t writeFailed = 0;
};

// Whether the stage in hand must give up: the host asked to stop, or a
// write of the run came up short. The flags are or-ed, not tested one after
// the other, so that the check costs one load in the decoders' loops.
inline bool RunStopped(const RunStatus* status) { return (status->abortRequested | status->writeFailed) != 0; }

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_RUN_STATUS_H
