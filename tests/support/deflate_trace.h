// A small, slow, independent decoder of raw deflate data (RFC 1951) for
// tests: besides the decoded bytes it reports every block's form, its code
// lengths and its items, so tests can check what an encoder chose and not
// only that the data round-trips.
#ifndef ARCSALVE_TESTS_SUPPORT_DEFLATE_TRACE_H
#define ARCSALVE_TESTS_SUPPORT_DEFLATE_TRACE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace arcsalve {
namespace testing_support {

// A literal (length 0) or a match.
struct DeflateItem {
    uint32_t length;    // 0 for a literal, else 3..258
    uint32_t distance;  // 1..32768 for a match
    uint8_t literal;
    bool operator==(const DeflateItem& o) const {
        return length == o.length && distance == o.distance && (length != 0 || literal == o.literal);
    }
};

inline DeflateItem Literal(uint8_t byte) { return DeflateItem{0, 0, byte}; }
inline DeflateItem Match(uint32_t length, uint32_t distance) { return DeflateItem{length, distance, 0}; }

struct DeflateBlock {
    bool final = false;
    int type = 0;                          // 0 stored, 1 fixed, 2 dynamic
    uint32_t storedLength = 0;             // stored blocks
    uint32_t inputLength = 0;              // bytes this block produced
    int literalCodes = 0;                  // dynamic: HLIT + 257
    int distanceCodes = 0;                 // dynamic: HDIST + 1
    int codeLengthCodes = 0;               // dynamic: HCLEN + 4
    std::vector<int> codeLengthLengths;    // dynamic: by code-length symbol 0..18
    std::vector<uint32_t> codeLengthUses;  // dynamic: how often each code-length symbol was sent
    std::vector<int> literalLengths;       // dynamic: by symbol
    std::vector<int> distanceLengths;      // dynamic: by symbol
    std::vector<DeflateItem> items;        // coded blocks, without end-of-block
};

struct DeflateTrace {
    std::vector<DeflateBlock> blocks;
    std::vector<uint8_t> output;
    size_t bytesUsed = 0;  // input bytes up to the end of the final block
};

// Decodes data; false with a reason in *error when it is not valid deflate
// data (incomplete or over-subscribed codes included) or ends early.
bool TraceDeflate(const uint8_t* data, size_t size, DeflateTrace* result, std::string* error);

// The longest code of an optimal (unlimited) Huffman code for the non-zero
// frequencies; 0 for fewer than two.
int UnlimitedHuffmanDepth(const std::vector<uint32_t>& frequencies);

}  // namespace testing_support
}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_SUPPORT_DEFLATE_TRACE_H
