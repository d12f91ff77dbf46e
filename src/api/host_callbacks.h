// The host's callbacks for the life of the library (see host_callbacks.cpp).
#ifndef ARCSALVE_API_HOST_CALLBACKS_H
#define ARCSALVE_API_HOST_CALLBACKS_H

#include "common/repair_run.h"

namespace arcsalve {

// Filled by the exported Set...Callback functions; every run points at it.
extern HostCallbacks g_hostCallbacks;

}  // namespace arcsalve

#endif  // ARCSALVE_API_HOST_CALLBACKS_H
