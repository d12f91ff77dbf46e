// Explode (method 6). Not written yet: imploded entries are reported as
// failures until it is.
#include "decode/decoders.h"

namespace arcsalve {

int Explode(DecodeState*, uint16_t) { return 0; }

}  // namespace arcsalve
