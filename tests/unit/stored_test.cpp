// The stored copy: what reaches the temporary file, in which pieces, on every
// way out (end of data, end of archive, abort, short write, no memory), and
// the copy-buffer pool behind it.
#include <gtest/gtest.h>

#include <cstring>

#include "common/run_flags.h"
#include "decode/decode_frame.h"
#include "decode/decode_testing.h"
#include "decode/decoders.h"
#include "decode/stored.h"
#include "platform/platform.h"
#include "platform/platform_testing.h"
#include "salvage/archive_reader.h"
#include "support/decode_fixture.h"
#include "support/library_state.h"
#include "support/temp_dir.h"

namespace arcsalve {
namespace {

using test::Bytes;

class StoredTest : public test::DecodeFileTest {
protected:
    int Copy(int32_t compressedSize) {
        DecodeState s = MakeState(compressedSize);
        return CopyStored(&s);
    }
    Bytes Prefix(size_t n) const { return Bytes(data_.begin(), data_.begin() + n); }
};

// Sizes around the 1000-byte pieces and the 1024-byte input chunks: the copy
// takes exactly the compressed size and never the allowance after it. When
// the archive ends inside the data, every byte read is salvaged, the pieces
// and the staged rest alike.
TEST_F(StoredTest, CopiesExactlyTheCompressedSizeOrWhatTheArchiveHolds) {
    struct Case {
        int32_t size;
        size_t available;
    } cases[] = {{0, 100},    {1, 101},    {999, 1099},  {1000, 1100}, {1001, 1101}, {1024, 1124},
                 {2500, 2600}, {3000, 3100}, {2'000'000, 2'000'100},
                 {3000, 0},   {3000, 1},   {3000, 1000}, {3000, 1700}, {3000, 2000}, {3000, 2999}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " of " << c.available);
        SetUp();
        Open(test::PatternBytes(c.available, static_cast<uint32_t>(c.size + c.available)));
        bool whole = c.available >= static_cast<size_t>(c.size);
        EXPECT_EQ(Copy(c.size), whole ? 1 : 0);
        size_t kept = whole ? static_cast<size_t>(c.size) : c.available;
        EXPECT_EQ(ReaderPosition(), kept);
        EXPECT_EQ(Output(), Prefix(kept));
    }
}

// Writes go out in pieces of 1000 bytes: a write that comes up short stops the
// copy right after it, and no piece is written once the flag is up, also
// when it was raised earlier in the run.
TEST_F(StoredTest, ShortWriteStopsTheCopy) {
    struct Case {
        const char* label;
        int32_t size;
        int64_t budget;  // -1: the flag is up before the copy
        size_t fileSize;
    } cases[] = {
        {"second piece short", 2500, 1500, 1500},
        {"last piece short", 2500, 2200, 2200},
        {"full pieces written, last piece fails", 3000, 2000, 2000},
        {"failure before the first piece", 500, 0, 0},
        {"failure earlier in the run", 800, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        Open(test::PatternBytes(4000, 2));
        if (c.budget < 0) g_writeFailed = 1;
        else PlatformInjectFault(PlatformFault::kShortWrite, static_cast<uint64_t>(c.budget));
        EXPECT_EQ(Copy(c.size), 0);
        EXPECT_EQ(g_writeFailed, 1u);
        PlatformClearFaults();
        EXPECT_EQ(Output(), Prefix(c.fileSize));
        g_writeFailed = 0;
    }
}

// The host stops the repair at the first progress report (reader byte
// 10,000, inside the tenth 1024-byte chunk): the copy stops before its next
// piece, leaving the nine full pieces and writing nothing staged.
TEST_F(StoredTest, AbortKeepsOnlyFullPieces) {
    Open(test::PatternBytes(20000, 9));
    test::HostCallbacks host(1);
    EXPECT_EQ(Copy(20000), 0);
    EXPECT_EQ(g_abortRequested, 1u);
    EXPECT_EQ(Output(), Prefix(9000));
}

TEST_F(StoredTest, AbortRaisedBeforehandCopiesNothing) {
    Open(test::PatternBytes(100, 9));
    g_abortRequested = 1;
    EXPECT_EQ(Copy(100), 0);
    EXPECT_EQ(Copy(0), 0);
    EXPECT_TRUE(Output().empty());
}

TEST_F(StoredTest, NoMemoryForACopyBuffer) {
    Open(test::PatternBytes(100, 9));
    // Hold the idle buffers earlier copies left, so a new one is needed.
    std::vector<uint8_t*> held;
    while (CountCopyBuffers().idle > 0) held.push_back(AcquireCopyBuffer());
    int nodes = CountCopyBuffers().nodes;
    InjectAllocFailure(0);
    EXPECT_EQ(Copy(100), 0);
    InjectAllocFailure(1);  // the node, but not its buffer
    EXPECT_EQ(Copy(100), 0);
    EXPECT_EQ(CountCopyBuffers().nodes, nodes);
    EXPECT_TRUE(Output().empty());
    for (uint8_t* b : held) ReleaseCopyBuffer(b);
}

// After two stored entries the pool holds one idle buffer, used by both.
TEST_F(StoredTest, TwoCopiesShareOneBuffer) {
    Open(test::PatternBytes(300, 1));
    EXPECT_EQ(Copy(100), 1);
    CopyBufferPoolCounts afterFirst = CountCopyBuffers();
    EXPECT_GE(afterFirst.nodes, 1);
    EXPECT_EQ(afterFirst.idle, afterFirst.nodes);
    EXPECT_EQ(Copy(200), 1);
    EXPECT_EQ(CountCopyBuffers().nodes, afterFirst.nodes);
    // The second copy took the next 200 bytes and wrote them from offset 0.
    EXPECT_EQ(Output(), Bytes(data_.begin() + 100, data_.end()));
}

TEST(CopyBufferPool, KeepsAtMostThreeIdleBuffers) {
    uint8_t* held[5];
    for (auto& b : held) {
        b = AcquireCopyBuffer();
        ASSERT_NE(b, nullptr);
        std::memset(b, 0xA5, kCopyBufferSize);  // each is a full 8192 bytes
    }
    EXPECT_EQ(CountCopyBuffers().nodes, 5);
    for (int i = 0; i < 3; ++i) ReleaseCopyBuffer(held[i]);
    EXPECT_EQ(CountCopyBuffers().idle, 3);
    // A fourth idle buffer is freed rather than kept.
    ReleaseCopyBuffer(held[3]);
    EXPECT_EQ(CountCopyBuffers().nodes, 4);
    EXPECT_EQ(CountCopyBuffers().idle, 3);
    ReleaseCopyBuffer(held[4]);
    EXPECT_EQ(CountCopyBuffers().nodes, 3);
    // A pointer the pool never handed out is ignored.
    uint8_t stranger[16];
    ReleaseCopyBuffer(stranger);
    EXPECT_EQ(CountCopyBuffers().nodes, 3);
}

}  // namespace
}  // namespace arcsalve
