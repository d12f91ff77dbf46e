// Runs a decoder through the real decoding frame: the compressed bytes sit in
// a file opened as the damaged archive and are read through the archive
// reader; the decoder's output lands in another file.
#ifndef ARCSALVE_TESTS_SUPPORT_FRAME_HARNESS_H
#define ARCSALVE_TESTS_SUPPORT_FRAME_HARNESS_H

#include <cstdint>
#include <functional>

#include "support/temp_dir.h"

namespace arcsalve {
struct DecodeState;
}

namespace arcsalve::test {

struct FrameRun {
    int result = 0;               // the decoder's result
    Bytes output;                 // the output file's content afterwards
    int32_t consumed = 0;         // bytes the byte source delivered
    uint32_t endFlag = 0;
    uint64_t readerPosition = 0;  // archive offset of the next unread byte
};

// Puts `archive` into the input file, gives the state the compressed size
// `compressedSize` (all of `archive` when negative) and runs `decoder`.
FrameRun RunThroughFrame(const Bytes& archive, int64_t compressedSize,
                         const std::function<int(DecodeState*)>& decoder);

// The same with Inflate as the decoder.
FrameRun InflateThroughFrame(const Bytes& archive, int64_t compressedSize = -1);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_FRAME_HARNESS_H
