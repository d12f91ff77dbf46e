// Recovery past damage inside a deflated (or Deflate64) entry.
//
// When the careful decoder meets its first error, the entry's remaining bits
// are searched, one bit position at a time, for the start of a block that
// proves itself; decoding goes on from there with a window whose earlier
// bytes are unknown, and the search repeats at every further error. What is
// found is appended to the entry behind the good prefix, piece by piece, and
// described by a map of known, unknown and lost ranges.
#ifndef ARCSALVE_DECODE_INFLATE_RESYNC_H
#define ARCSALVE_DECODE_INFLATE_RESYNC_H

#include <cstdint>

#include "common/resync_map.h"

namespace arcsalve {

struct DecodeState;
struct DecodeWorkspace;

// Called by the inflate decoder when its stream is over, with the output
// flushed (workspace->outputPosition bytes) and the bit reader where the
// stream ended; ok is the decoder's result. Damage is taken to be there when
// the decode failed, or when its stream ended well before the compressed
// data did and gave a size other than the recorded one (damage that decodes
// as symbols can run into a false last block). Then the rest of the entry's
// data is searched, what is recovered is written after the prefix, and
// state->resync tells of it. Returns the decoder's result: 0 once anything
// was recovered. Leaves the byte source where it stood, so the scan goes on
// after the point of failure as it would without recovery. Entries without
// a recorded size (data descriptors) are left alone: their data has no
// known end to search up to.
int ResumeAfterDamage(DecodeState* state, DecodeWorkspace* workspace, bool deflate64, int ok);

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_INFLATE_RESYNC_H
