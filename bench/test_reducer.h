// Test code: a small reducer (compression methods 2 to 5) that makes streams
// for the unreduce tests. The inner stage is a greedy LZ77 whose copies are
// sent as DLE (144), V [, E], T and whose literal 144 is sent as 144, 0; the
// outer stage codes that byte stream with follower sets chosen from its own
// byte-pair counts.
#ifndef ARCSALVE_TESTS_SUPPORT_TEST_REDUCER_H
#define ARCSALVE_TESTS_SUPPORT_TEST_REDUCER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace arcsalve::test {

struct ReduceOptions {
    int factor = 4;            // 1 to 4 (method 2 to 5)
    bool copies = true;        // use the inner stage's copies at all
    // Copies may reach before the first byte, whose history counts as zeros.
    bool zeroHistory = false;
    // Follower sets to use for these byte values instead of the chosen ones
    // (an empty list makes the set empty).
    std::map<uint8_t, std::vector<uint8_t>> forcedSets;
    // Largest follower set to choose (0 to 63).
    int maxFollowers = 63;
};

struct ReduceStats {
    size_t copies = 0;
    size_t longCopies = 0;    // copies that needed the extra length byte E
    size_t literalDle = 0;    // literal 144 sent as 144, 0
    size_t indexed = 0;       // bytes sent as a follower index
    size_t zeroReach = 0;     // copies reaching before the first byte
    uint32_t longestCopy = 0;
};

std::vector<uint8_t> ReduceForTest(const std::vector<uint8_t>& data, const ReduceOptions& options = {},
                                   ReduceStats* stats = nullptr);

// The inner-stage byte stream alone, coded with empty follower sets (every
// byte as 8 literal bits): lets a test hand-craft the sequence of V, E and T.
std::vector<uint8_t> ReduceRawSymbols(const std::vector<uint8_t>& symbols);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_TEST_REDUCER_H
