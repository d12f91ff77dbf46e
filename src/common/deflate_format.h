// The code tables of the deflate format (RFC 1951, 3.2.5 and 3.2.7), shared
// by the decoder (inflate) and the compressor, so that both read the format
// from one place.
#ifndef ARCSALVE_COMMON_DEFLATE_FORMAT_H
#define ARCSALVE_COMMON_DEFLATE_FORMAT_H

#include <cstdint>

namespace arcsalve {

// Length symbols 257..285 code match lengths 3..258; symbol 257 + i stands
// for kDeflateLengthBase[i] plus kDeflateLengthExtra[i] extra bits.
constexpr int kDeflateLengthCodes = 29;
constexpr uint16_t kDeflateLengthBase[kDeflateLengthCodes] = {
    3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kDeflateLengthExtra[kDeflateLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Distance codes 0..29 code distances 1..32768 the same way.
constexpr int kDeflateDistanceCodes = 30;
constexpr uint16_t kDeflateDistanceBase[kDeflateDistanceCodes] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDeflateDistanceExtra[kDeflateDistanceCodes] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,
                                                                  4, 4, 5, 5, 6, 6, 7,  7,  8,  8,
                                                                  9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// A dynamic block sends the lengths of its code-length code in this order:
// the ones most often unused come last, so they can be left off.
constexpr int kDeflateCodeLengthCodes = 19;
constexpr uint8_t kDeflateCodeLengthOrder[kDeflateCodeLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// Each base follows from the one before and its extra bits, except the last
// length: 258 has a symbol of its own, shorter than 227 + 31.
constexpr bool DeflateBasesConsistent() {
    for (int i = 1; i < kDeflateLengthCodes - 1; ++i)
        if (kDeflateLengthBase[i] != kDeflateLengthBase[i - 1] + (1 << kDeflateLengthExtra[i - 1])) return false;
    for (int i = 1; i < kDeflateDistanceCodes; ++i)
        if (kDeflateDistanceBase[i] != kDeflateDistanceBase[i - 1] + (1 << kDeflateDistanceExtra[i - 1]))
            return false;
    return kDeflateDistanceBase[29] + (1 << 13) - 1 == 32768;
}
static_assert(DeflateBasesConsistent(), "the deflate base tables follow from their extra bits");

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_DEFLATE_FORMAT_H
