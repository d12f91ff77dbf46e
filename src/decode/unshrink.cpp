// Unshrink (method 1). Not written yet: shrunk entries are reported as
// failures until it is.
#include "decode/decoders.h"

namespace arcsalve {

int Unshrink(DecodeState*) { return 0; }

}  // namespace arcsalve
