#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "common/crc32.h"

namespace arcsalve {
namespace {

// The eight-bytes-at-a-time path and the byte path must agree with zlib for
// every length and alignment around the 8-byte stride, and chain like zlib.
TEST(Crc32, MatchesZlibAcrossLengthsAndChaining) {
    std::vector<uint8_t> data(4099);
    uint32_t x = 12345;
    for (auto& b : data) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    for (size_t start : {0, 1, 3, 7}) {
        for (size_t len : {0, 1, 7, 8, 9, 15, 16, 17, 1000, 4092}) {
            SCOPED_TRACE(testing::Message() << "start " << start << " len " << len);
            uint32_t expected = static_cast<uint32_t>(crc32(0, data.data() + start, len));
            EXPECT_EQ(Crc32Update(0, data.data() + start, len), expected);
        }
    }
    uint32_t chained = Crc32Update(Crc32Update(0, data.data(), 1234), data.data() + 1234, 2865);
    EXPECT_EQ(chained, static_cast<uint32_t>(crc32(0, data.data(), 4099)));
    // The check value of the CRC-32 catalogue.
    EXPECT_EQ(Crc32Update(0, "123456789", 9), 0xCBF43926u);
}

}  // namespace
}  // namespace arcsalve
