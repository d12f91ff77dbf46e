// Test code: what the tests of the pre-deflate decoders share, on top of the
// frame harness: a decoder run with the entry's recorded size, a one-entry
// archive for Info-ZIP unzip, and deterministic data.
#ifndef ARCSALVE_TESTS_SUPPORT_LEGACY_HARNESS_H
#define ARCSALVE_TESTS_SUPPORT_LEGACY_HARNESS_H

#include <cstdint>
#include <functional>
#include <string>

#include "support/frame_harness.h"
#include "support/temp_dir.h"

namespace arcsalve::test {

struct LegacyRunOptions {
    uint32_t uncompressedSize = 0;
    // The compressed size the state announces; -1: the stream's length.
    int64_t compressedSize = -1;
    // Bytes of the "archive" after the stream (what the 10-byte allowance
    // reads); none by default, so the archive ends right after the stream.
    Bytes trailer;
};

// Runs `decode` over `stream` through the decoding frame, with the state's
// uncompressed size set as the local header would.
FrameRun RunLegacy(const std::function<int(DecodeState*)>& decode, const Bytes& stream,
                   const LegacyRunOptions& options);

// A one-entry ZIP archive around a compressed stream, for independent readers.
Bytes WrapInZip(const Bytes& stream, uint16_t method, uint16_t flags, const Bytes& plain);

// Info-ZIP `unzip -tqq` on an archive in memory: "" when it accepts it, else what it
// said. HaveUnzip() tells whether it is installed.
bool HaveUnzip();
std::string UnzipComplaint(const Bytes& archive);

// Deterministic data: noise over an alphabet of the first `alphabet` byte
// values, and text of words from a small vocabulary.
Bytes NoiseBytes(size_t n, uint32_t seed, int alphabet = 256);
Bytes SampleText(size_t n, uint32_t seed);

bool IsPrefixOf(const Bytes& part, const Bytes& whole);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_LEGACY_HARNESS_H
