// The POSIX backend serves reads of files opened with FileOpenRead from a
// read-ahead buffer. Whatever mix of reads, seeks and positional reads a
// caller makes, it must see exactly the file's bytes and offsets, as if every
// call went to the system: checked here against the file's contents over
// the buffer's seams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace arcsalve {
namespace {

using test::Bytes;

class ReadAheadTest : public ::testing::Test {
protected:
    void SetUp() override {
        data_ = test::PatternBytes(200000, 7);
        test::WriteFile(dir_.File("f"), data_);
        h_ = FileOpenRead(dir_.File("f").c_str());
        ASSERT_TRUE(IsOpenFile(h_));
    }
    void TearDown() override { FileClose(h_); }

    // Reads count bytes at the handle's offset and checks them against the
    // file; returns the new offset.
    uint64_t ExpectRead(uint64_t at, uint32_t count) {
        Bytes out(count, 0xEE);
        const uint32_t want = at >= data_.size() ? 0 : static_cast<uint32_t>(std::min<uint64_t>(count, data_.size() - at));
        EXPECT_EQ(FileRead(h_, out.data(), count), want);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + want, data_.begin() + static_cast<long>(at)));
        EXPECT_EQ(FileTell(h_), at + want);
        return at + want;
    }

    test::TempDir dir_;
    Bytes data_;
    FileHandle h_ = kNoFile;
};

TEST_F(ReadAheadTest, ReadsAndSeeksSeeTheFileAsItIs) {
    struct Step {
        const char* label;
        int64_t seekTo;  // -1: no seek before the read
        uint32_t count;
    };
    const Step steps[] = {
        {"small reads from the start", -1, 1000},
        {"on to the buffer's end", -1, 64 * 1024 - 1000 - 3},
        {"across the buffer's end", -1, 1024},
        {"exactly at the buffered bytes' end", 2 * 64 * 1024, 10},
        {"one byte past the buffered bytes", 3 * 64 * 1024 + 1, 10},
        {"back within the buffer", 65000, 2000},
        {"back before the buffer", 100, 1000},
        {"a read larger than the buffer", 3000, 100000},
        {"forward past everything read", 190000, 1000},
        {"across the end of the file", 199500, 1024},
        {"at the end of the file", -1, 1000},
        {"past the end of the file", 250000, 10},
        {"the very start again", 0, 1},
    };
    uint64_t at = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.label);
        if (s.seekTo >= 0) {
            ASSERT_EQ(FileSeek(h_, static_cast<uint64_t>(s.seekTo)), 1);
            at = static_cast<uint64_t>(s.seekTo);
            EXPECT_EQ(FileTell(h_), at);
        }
        at = ExpectRead(at, s.count);
        // A positional read in between neither moves the offset nor sees the
        // buffer's state.
        Bytes probe(16);
        EXPECT_EQ(FileReadAt(h_, 123456, probe.data(), 16), 16u);
        EXPECT_TRUE(std::equal(probe.begin(), probe.end(), data_.begin() + 123456));
        EXPECT_EQ(FileTell(h_), at);
    }
}

// Handles beyond the buffers' slots, and a handle reused after a close,
// read correctly too.
TEST_F(ReadAheadTest, ManyHandlesAndReusedDescriptors) {
    std::vector<FileHandle> more;
    for (int i = 0; i < 6; ++i) {
        more.push_back(FileOpenRead(dir_.File("f").c_str()));
        ASSERT_TRUE(IsOpenFile(more.back()));
        Bytes out(5000);
        ASSERT_EQ(FileSeek(more.back(), 1000u * static_cast<uint64_t>(i)), 1);
        ASSERT_EQ(FileRead(more.back(), out.data(), 5000), 5000u);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), data_.begin() + 1000 * i));
    }
    for (FileHandle h : more) FileClose(h);
    // The same descriptor, now a file written and read back.
    FileHandle w = FileCreate(dir_.File("g").c_str());
    ASSERT_TRUE(IsOpenFile(w));
    EXPECT_EQ(FileWrite(w, data_.data(), 3000), 3000u);
    ASSERT_EQ(FileSeek(w, 0), 1);
    Bytes back(3000);
    EXPECT_EQ(FileRead(w, back.data(), 3000), 3000u);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data_.begin()));
    FileClose(w);
    ExpectRead(0, 70000);
}

// UTF-8 names reach messages as they are, cut only at a whole character.
TEST(PlatformText, Utf8NamesAreCutAtAWholeCharacter) {
    char out[8];
    EXPECT_EQ(Utf8ToHost("caf\xc3\xa9", out, sizeof out), 5u);
    EXPECT_STREQ(out, "caf\xc3\xa9");
    EXPECT_EQ(Utf8ToHost("abcdef\xc3\xa9", out, sizeof out), 6u);  // 7 would split the e-acute
    EXPECT_STREQ(out, "abcdef");
    EXPECT_EQ(Utf8ToHost("abcde\xe2\x98\x83", out, sizeof out), 5u);
    EXPECT_STREQ(out, "abcde");
}

}  // namespace
}  // namespace arcsalve
