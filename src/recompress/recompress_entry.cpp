// The re-compression driver. Not written yet.
#include "recompress/recompress.h"

namespace arcsalve {

uint32_t RecompressEntry(const char*, const char*, uint32_t, uint32_t*, uint32_t*) {
    return kRecompressFailed;
}

}  // namespace arcsalve
