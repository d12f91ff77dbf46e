// One decoder per compression method. Each takes the entry's DecodeState and
// returns nonzero for success, 0 for failure.
#ifndef ARCSALVE_DECODE_DECODERS_H
#define ARCSALVE_DECODE_DECODERS_H

#include <cstdint>

namespace arcsalve {

struct DecodeState;

int CopyStored(DecodeState* state);                   // method 0
int Unshrink(DecodeState* state);                     // method 1
int Unreduce(DecodeState* state, int factor);         // methods 2 to 5: factor 1 to 4
int Explode(DecodeState* state, uint16_t flags);      // method 6
int Inflate(DecodeState* state);                      // method 8
int InflateDeflate64(DecodeState* state);             // method 9
// Through outside libraries, each compiled only when its library was found.
int Bunzip2(DecodeState* state);                      // method 12, libbz2
int UnLzma(DecodeState* state, uint16_t flags);       // method 14, liblzma (LZMA1)
int UnXz(DecodeState* state);                         // method 95, liblzma (.xz stream)
int UnZstd(DecodeState* state);                       // method 93, libzstd
// Method 0 with a trailing data descriptor: copies up to the descriptor.
int CopyStoredStreamed(DecodeState* state);

}  // namespace arcsalve

#endif  // ARCSALVE_DECODE_DECODERS_H
