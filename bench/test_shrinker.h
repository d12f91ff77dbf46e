// Test code: a small shrinker (compression method 1, dynamic LZW with 9- to
// 13-bit codes and partial clears) that makes streams for the unshrink tests.
// It keeps its dictionary exactly as a decoder does: an entry is added after
// each code but the first, so the entry made for a code is known only once the
// next code's first byte is; the encoder may send that very code (the KwKwK
// case). Code size raises are sent when a code would not fit.
#ifndef ARCSALVE_TESTS_SUPPORT_TEST_SHRINKER_H
#define ARCSALVE_TESTS_SUPPORT_TEST_SHRINKER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace arcsalve::test {

struct ShrinkOptions {
    // Order a partial clear (256, 2) whenever all 8192 codes are in use.
    bool clearWhenFull = true;
    // Order a partial clear before the first code that starts at or after each
    // of these input offsets (ascending).
    std::vector<size_t> clearBefore;
    // Send the control code with sub-code 3, which decoders ignore, before the
    // first code at or after each offset (ascending).
    std::vector<size_t> ignoredControlBefore;
};

struct ShrinkStats {
    int raises = 0;        // 256, 1 sent
    int clears = 0;        // 256, 2 sent
    int undefinedCodes = 0;// codes sent before the decoder has defined them
    int maxCodeSize = 9;
    bool dictionaryFilled = false;  // all 8192 codes were in use at some point
};

std::vector<uint8_t> ShrinkForTest(const std::vector<uint8_t>& data, const ShrinkOptions& options = {},
                                   ShrinkStats* stats = nullptr);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_TEST_SHRINKER_H
