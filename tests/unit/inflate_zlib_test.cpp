// Inflate against an independent encoder: raw deflate streams made by zlib
// at every level and strategy, over data of different character, decoded
// through the real frame.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "support/frame_harness.h"
#include "support/zlib_oracle.h"

namespace arcsalve::test {
namespace {

// zlib's stream at memLevel 8 (its default) unless a test asks for another.
std::vector<uint8_t> ZlibDeflate(const std::vector<uint8_t>& data, int level, int strategy, int memLevel = 8) {
    std::vector<uint8_t> out = ZlibRawDeflate(data, level, memLevel, strategy);
    EXPECT_FALSE(out.empty()) << "zlib failed";
    return out;
}

// Machine-code-like data: small integers, zero runs, some structure.
std::vector<uint8_t> BinaryData(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) {
        uint32_t r = rng();
        out[i] = (i % 16 < 4) ? static_cast<uint8_t>(i >> 4) : (r % 3 == 0 ? 0 : static_cast<uint8_t>(r % 40));
    }
    return out;
}

// Long runs and short periods: overlapping copies of every period 1..9.
std::vector<uint8_t> RunData(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    while (out.size() < size) {
        uint32_t period = 1 + rng() % 9;
        uint32_t repeat = 1 + rng() % 400;
        std::vector<uint8_t> unit(period);
        for (auto& b : unit) b = static_cast<uint8_t>(rng() % 4);
        for (uint32_t i = 0; i < repeat; ++i) out.insert(out.end(), unit.begin(), unit.end());
    }
    out.resize(size);
    return out;
}

struct DataSet {
    const char* name;
    std::vector<uint8_t> (*make)(size_t, uint32_t);
};
std::vector<uint8_t> TextData(size_t size, uint32_t seed) { return PatternBytes(size, seed, true); }
std::vector<uint8_t> RandomData(size_t size, uint32_t seed) { return PatternBytes(size, seed); }
const DataSet kDataSets[] = {{"text", TextData}, {"binary", BinaryData}, {"random", RandomData}, {"runs", RunData}};

struct Strategy {
    const char* name;
    int value;
};
const Strategy kStrategies[] = {{"default", Z_DEFAULT_STRATEGY}, {"filtered", Z_FILTERED},
                                {"huffman-only", Z_HUFFMAN_ONLY}, {"rle", Z_RLE}, {"fixed", Z_FIXED}};

void ExpectInflatesTo(const std::vector<uint8_t>& stream, const std::vector<uint8_t>& data) {
    FrameRun run = InflateThroughFrame(stream);
    ASSERT_EQ(run.result, 1);
    ASSERT_EQ(run.output.size(), data.size());
    ASSERT_TRUE(run.output == data);
    // The bit buffer reads ahead by at most two bytes past the last code.
    EXPECT_LE(run.readerPosition, stream.size() + 2);
}

TEST(InflateZlib, EveryLevelAndStrategyOverEveryKindOfData) {
    const size_t kSizes[] = {0, 1, 258, 32768, 32769, 100000};
    for (const DataSet& set : kDataSets) {
        for (size_t size : kSizes) {
            std::vector<uint8_t> data = set.make(size, static_cast<uint32_t>(size));
            for (const Strategy& strategy : kStrategies) {
                for (int level = 0; level <= 9; ++level) {
                    SCOPED_TRACE(testing::Message() << set.name << " size " << size << " " << strategy.name
                                                    << " level " << level);
                    ExpectInflatesTo(ZlibDeflate(data, level, strategy.value), data);
                }
            }
        }
    }
}

// Several megabytes: many blocks, the window wrapping many times, and output
// that is not a multiple of the window.
TEST(InflateZlib, LargeInputs) {
    for (const DataSet& set : kDataSets) {
        std::vector<uint8_t> data = set.make(5 * 1024 * 1024 + 123, 77);
        for (int level : {1, 6, 9}) {
            SCOPED_TRACE(testing::Message() << set.name << " level " << level);
            ExpectInflatesTo(ZlibDeflate(data, level, Z_DEFAULT_STRATEGY), data);
        }
    }
}

// Small memLevel makes zlib emit many small blocks, so block seams fall at
// every bit position and window offset.
TEST(InflateZlib, ManySmallBlocks) {
    std::vector<uint8_t> data = TextData(300000, 5);
    for (int level : {1, 6, 9}) {
        for (const Strategy& strategy : kStrategies) {
            SCOPED_TRACE(testing::Message() << strategy.name << " level " << level);
            ExpectInflatesTo(ZlibDeflate(data, level, strategy.value, 1), data);
        }
    }
}

// Full flushes put byte-aligned empty stored blocks between the pieces.
// Overwriting the block that follows the k-th flush with a block of type 3
// leaves exactly the first k pieces, and the result is a failure.
TEST(InflateZlib, DamagedBlockKeepsEveryEarlierBlock) {
    const size_t kPiece = 40000;
    std::vector<uint8_t> data = BinaryData(kPiece * 5, 9);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> stream(deflateBound(&z, data.size()) + 1000);
    std::vector<size_t> flushEnds;
    z.next_out = stream.data();
    z.avail_out = static_cast<uInt>(stream.size());
    for (int i = 0; i < 5; ++i) {
        z.next_in = data.data() + i * kPiece;
        z.avail_in = kPiece;
        ASSERT_EQ(deflate(&z, i == 4 ? Z_FINISH : Z_FULL_FLUSH), i == 4 ? Z_STREAM_END : Z_OK);
        flushEnds.push_back(z.total_out);
    }
    stream.resize(z.total_out);
    deflateEnd(&z);
    ExpectInflatesTo(stream, data);

    for (size_t k = 1; k < 4; ++k) {
        SCOPED_TRACE(testing::Message() << "damage after piece " << k);
        std::vector<uint8_t> damaged = stream;
        damaged[flushEnds[k - 1]] = 0x07;  // last-block bit, type 3
        FrameRun run = InflateThroughFrame(damaged);
        EXPECT_EQ(run.result, 0);
        ASSERT_EQ(run.output.size(), k * kPiece);
        EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), data.begin()));
    }
}

}  // namespace
}  // namespace arcsalve::test
