// Inflate (method 8). Not written yet: deflated entries are reported as
// failures until it is.
#include "decode/decoders.h"

namespace arcsalve {

int Inflate(DecodeState*) { return 0; }

}  // namespace arcsalve
