#include "common/run_flags.h"

namespace arcsalve {

uint32_t g_abortRequested = 0;
uint32_t g_writeFailed = 0;
uint32_t g_repairFlags = 0;

}  // namespace arcsalve
