// The archive reader: bytes, positions, progress and abort, and the moves
// back (StepBack, MarkPosition/ReturnToMark) across its 1000-byte fills.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "common/run_flags.h"
#include "salvage/archive_reader.h"
#include "support/library_state.h"
#include "support/temp_dir.h"

namespace arcsalve {
namespace {

using test::Bytes;

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override { test::ClearRunFlags(); }
    // Writes data as the input and opens it.
    void Open(const Bytes& data) {
        data_ = data;
        test::WriteFile(dir_.File("input.bin"), data);
        input_.reset();
        input_ = std::make_unique<test::OpenedInput>(dir_.File("input.bin"));
    }
    // Reads n bytes one at a time and checks each against the data.
    void ExpectBytes(size_t from, size_t n) {
        for (size_t i = from; i < from + n; ++i) {
            uint8_t b = 0;
            ASSERT_EQ(ReadByte(&b), 1) << "offset " << i;
            ASSERT_EQ(b, data_[i]) << "offset " << i;
        }
    }

    test::TempDir dir_;
    Bytes data_;
    std::unique_ptr<test::OpenedInput> input_;
};

// An empty input ends at once and keeps ending; a closed one hands out
// nothing more.
TEST_F(ReaderTest, EmptyOrClosedInputHandsOutNothing) {
    Open({});
    uint8_t b;
    EXPECT_EQ(ReadByte(&b), 0);
    EXPECT_EQ(ReadByte(&b), 0);
    EXPECT_EQ(ReadBytes(&b, 1), 0);
    EXPECT_EQ(ReadBytes(&b, 0), 1);
    EXPECT_EQ(ReadUpTo(&b, 1), 0);
    EXPECT_EQ(SkipBytes(-3), 1);
    Open(test::PatternBytes(100, 1));
    ExpectBytes(0, 10);
    input_.reset();
    EXPECT_EQ(ReadByte(&b), 0);
    EXPECT_EQ(ReadUpTo(&b, 1), 0);
}

// One report per 10,000 bytes handed out, as a percentage of the input; an
// input under 10,000 bytes never reports.
TEST_F(ReaderTest, ReportsProgressEveryTenThousandBytes) {
    struct Case {
        size_t size;
        std::vector<unsigned long> expected;
    } cases[] = {
        {25000, {40, 80}},
        {50, {}},
        {10000, {100}},
        {9999, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Open(test::PatternBytes(c.size, 7));
        test::HostCallbacks host;
        ExpectBytes(0, c.size);
        uint8_t b;
        EXPECT_EQ(ReadByte(&b), 0);
        EXPECT_EQ(host.progress(), c.expected);
    }
}

// A repeated percentage still reaches the host: each report is the host's
// chance to stop.
TEST_F(ReaderTest, RepeatedPercentageIsReportedAgain) {
    Open(test::PatternBytes(1'500'000, 3));
    test::HostCallbacks host;
    ASSERT_EQ(SkipBytes(50000), 1);
    // 10,000 bytes are 0 % (not reported); 30,000 and 40,000 both give 2 %.
    EXPECT_EQ(host.progress(), (std::vector<unsigned long>{1, 2, 2, 3}));
}

TEST_F(ReaderTest, HostStopSetsAbortAfterTheByteAndStillDeliversIt) {
    Open(test::PatternBytes(25000, 11));
    test::HostCallbacks host(/*abortAtProgressCall=*/1);
    ExpectBytes(0, 9999);
    EXPECT_EQ(g_abortRequested, 0u);
    uint8_t b = 0;
    ASSERT_EQ(ReadByte(&b), 1);
    EXPECT_EQ(b, data_[9999]);
    EXPECT_EQ(g_abortRequested, 1u);
    // The reader goes on serving bytes; its callers stop.
    ExpectBytes(10000, 5);
    EXPECT_EQ(host.progress(), std::vector<unsigned long>{40});
}

// StepBack(8) after reading `read` bytes (all 5000: past the end, where a
// step back re-reads the tail): within the fill, across into the previous
// 1000-byte fill, and clamped at the start. Then the mark set there is
// returned to from farther on.
TEST_F(ReaderTest, StepBackAndReturnToTheMark) {
    struct Case {
        const char* label;
        size_t read;
        uint64_t position;
    } cases[] = {{"across a fill (next index 3)", 1003, 995},
                 {"within the fill", 1500, 1492},
                 {"never before the start", 3, 0},
                 {"after the end", 5000, 4992}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Open(test::PatternBytes(5000, 5));
        ExpectBytes(0, c.read);
        uint8_t b;
        if (c.read == 5000) {
            EXPECT_EQ(ReadByte(&b), 0);
        }
        StepBack(8);
        EXPECT_EQ(ReaderPosition(), c.position);
        MarkPosition();
        EXPECT_EQ(g_archiveReader.mark, c.position);
        ExpectBytes(c.position, 5000 - c.position);
        ReturnToMark();
        EXPECT_EQ(ReaderPosition(), c.position);
        ExpectBytes(c.position, 8);
    }
}

TEST_F(ReaderTest, ShortReadsReportWhatArrived) {
    Open(test::PatternBytes(2500, 17));
    Bytes out(3000, 0xEE);
    EXPECT_EQ(ReadUpTo(out.data(), 2400), 2400);
    EXPECT_EQ(ReadUpTo(out.data(), 500), 100);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, data_.begin() + 2400));
    ReturnToMark();  // mark 0
    EXPECT_EQ(ReadBytes(out.data(), 3000), 0);
    EXPECT_TRUE(std::equal(data_.begin(), data_.end(), out.begin()));
    ReturnToMark();
    EXPECT_EQ(SkipBytes(2500), 1);
    EXPECT_EQ(SkipBytes(1), 0);
}

// Random interleavings of every operation against a plain model of the input:
// the bulk reads, the fast path and the refills must agree on every byte,
// every position and the number of progress reports.
TEST_F(ReaderTest, RandomOperationsAgreeWithAModel) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        size_t size = 1 + rng() % 60000;
        Open(test::PatternBytes(size, static_cast<uint32_t>(round)));
        test::HostCallbacks host;
        uint64_t pos = 0, mark = 0;
        // Progress the host should have seen: a report each 10,000 bytes
        // handed out, delivered when its percentage is above 0.
        size_t tick = 0, reports = 0;
        auto handOut = [&](uint64_t n) {
            for (uint64_t i = 0; i < n; ++i) {
                ++pos;
                if (++tick == 10000) {
                    tick = 0;
                    reports += pos * 100 / size > 0;
                }
            }
        };
        for (int op = 0; op < 400; ++op) {
            switch (rng() % 7) {
                case 0: {
                    uint8_t b;
                    int ok = ReadByte(&b);
                    ASSERT_EQ(ok, pos < size ? 1 : 0);
                    if (ok) {
                        ASSERT_EQ(b, data_[pos]);
                        handOut(1);
                    }
                    break;
                }
                case 1: {
                    int32_t n = static_cast<int32_t>(rng() % 3000);
                    Bytes out(static_cast<size_t>(n));
                    int32_t got = ReadUpTo(out.data(), n);
                    int32_t expect = static_cast<int32_t>(std::min<uint64_t>(n, size - pos));
                    ASSERT_EQ(got, expect);
                    ASSERT_TRUE(std::equal(out.begin(), out.begin() + got, data_.begin() + pos));
                    handOut(static_cast<uint64_t>(got));
                    break;
                }
                case 2: {
                    int32_t n = static_cast<int32_t>(rng() % 5000);
                    int ok = SkipBytes(n);
                    uint64_t got = std::min<uint64_t>(n, size - pos);
                    ASSERT_EQ(ok, got == static_cast<uint64_t>(n) ? 1 : 0);
                    handOut(got);
                    break;
                }
                case 3: {
                    int32_t n = static_cast<int32_t>(rng() % 1200);
                    StepBack(n);
                    pos = pos >= static_cast<uint64_t>(n) ? pos - n : 0;
                    break;
                }
                case 4:
                    MarkPosition();
                    mark = pos;
                    break;
                case 5:
                    ReturnToMark();
                    pos = mark;
                    break;
                case 6: {
                    // Stops before the target, the end of the fill or the
                    // byte that completes a progress interval.
                    uint8_t target = data_[std::min<uint64_t>(pos + rng() % 700, size - 1)];
                    SkipBufferedUntil(target);
                    uint64_t skipped = ReaderPosition() - pos;
                    for (uint64_t i = 0; i < skipped; ++i) ASSERT_NE(data_[pos + i], target);
                    ASSERT_LT(tick + skipped, 10000u);
                    handOut(skipped);
                    break;
                }
            }
            ASSERT_EQ(ReaderPosition(), pos);
        }
        EXPECT_EQ(host.progress().size(), reports);
    }
}

// ReturnToOffset goes to any offset: inside the bytes of the last fill (no
// new read), before them, behind them, to the end, and on after an end.
TEST_F(ReaderTest, ReturnToOffsetGoesAnywhere) {
    Open(test::PatternBytes(5000, 8));
    struct Case {
        size_t readFirst;  // bytes read before the move
        size_t offset;
    } cases[] = {{1500, 1200}, {1500, 1000}, {1500, 2000}, {1500, 999}, {1500, 4200}, {10, 0}, {0, 1700}, {4999, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.readFirst << " then " << c.offset);
        ReturnToOffset(0);
        ExpectBytes(0, c.readFirst);
        ReturnToOffset(c.offset);
        EXPECT_EQ(ReaderPosition(), c.offset);
        ExpectBytes(c.offset, std::min<size_t>(1500, 5000 - c.offset));
    }
    uint8_t b;
    ReturnToOffset(5000);
    EXPECT_EQ(ReadByte(&b), 0);
    ReturnToOffset(4998);
    ExpectBytes(4998, 2);
    EXPECT_EQ(ReadByte(&b), 0);
}

}  // namespace
}  // namespace arcsalve
