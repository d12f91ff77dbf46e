// Test code: a small imploder (compression method 6) that makes streams for
// the explode tests, in all four variants: 4096- or 8192-byte dictionary,
// two or three trees. Copies are found greedily; each tree's code lengths are
// optimal lengths limited to 16 bits (package-merge) for counts in which every
// symbol occurs at least once, so every code is complete, as the format needs.
// Codes are written as the format's Shannon-Fano codes: the complement of the
// canonical code of the same lengths, first bit first.
#ifndef ARCSALVE_TESTS_SUPPORT_TEST_IMPLODER_H
#define ARCSALVE_TESTS_SUPPORT_TEST_IMPLODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace arcsalve::test {

// Standalone (the benchmarks build it too): no test framework behind it.
using Bytes = std::vector<uint8_t>;

struct ImplodeOptions {
    bool largeDictionary = true;  // flag bit 1: 8192 bytes, 7 low distance bits
    bool literalTree = true;      // flag bit 2: literal tree, copies from 3 bytes
    bool copies = true;
    // Copies may reach before the first byte, whose history counts as zeros.
    bool zeroHistory = false;
};

struct ImplodeStats {
    size_t copies = 0;
    size_t longCopies = 0;     // length code 63 with its 8 extra bits
    size_t distanceOne = 0;
    size_t zeroReach = 0;      // copies reaching before the first byte
    uint32_t longestCopy = 0;
    uint32_t longestCode = 0;  // longest code length in any tree
};

struct Imploded {
    Bytes stream;
    uint16_t flags = 0;        // the general-purpose flag bits of the variant
};

Imploded ImplodeForTest(const Bytes& data, const ImplodeOptions& options = {}, ImplodeStats* stats = nullptr);

// One tree's code lengths (1 to 16 each) as the format stores them: a byte
// giving the number of run bytes less one, then runs of up to 16 equal
// lengths, (count - 1) << 4 | (length - 1).
Bytes PackCodeLengths(const std::vector<uint8_t>& lengths);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_TEST_IMPLODER_H
