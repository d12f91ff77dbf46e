// CRC-32, both paths and the dispatcher, against zlib's crc32: every length
// 0..300 at every alignment 0..15 (continuing from a nonzero register), and
// large buffers cut into two calls at points around the folding path's edges.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "common/crc32.h"

namespace arcsalve {
namespace {

uint32_t Zlib(uint32_t crc, const uint8_t* p, size_t n) { return static_cast<uint32_t>(crc32(crc, p, static_cast<uInt>(n))); }

TEST(Crc32, MatchesZlibAtEveryLengthAlignmentAndSplit) {
    std::vector<uint8_t> data((1 << 20) + 77);
    std::mt19937 rng(20);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const uint8_t* p = data.data();
    std::vector<uint32_t (*)(uint32_t, const void*, size_t)> paths = {Crc32Update, Crc32UpdateTable};
    if (Crc32HasClmul()) paths.push_back(Crc32UpdateClmul);
    struct { size_t offset, size, cut; } const splits[] = {
        {0, data.size(), 0}, {3, data.size() - 3, 1 << 19}, {5, 1 << 20, 63}, {16, 4096, 64}, {7, 100000, 99999}};
    for (auto f : paths) {
        for (size_t align = 0; align < 16; ++align)
            for (size_t n = 0; n <= 300; ++n)
                ASSERT_EQ(f(uint32_t(align * 0x9E3779B1u), p + align, n), Zlib(uint32_t(align * 0x9E3779B1u), p + align, n)) << align << " " << n;
        for (auto s : splits)
            EXPECT_EQ(f(f(0, p + s.offset, s.cut), p + s.offset + s.cut, s.size - s.cut), Zlib(0, p + s.offset, s.size)) << s.offset << " " << s.cut;
    }
}

}  // namespace
}  // namespace arcsalve
