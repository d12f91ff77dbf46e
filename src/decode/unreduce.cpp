// Unreduce (methods 2 to 5). Not written yet: reduced entries are reported as
// failures until it is.
#include "decode/decoders.h"

namespace arcsalve {

int Unreduce(DecodeState*, int) { return 0; }

}  // namespace arcsalve
