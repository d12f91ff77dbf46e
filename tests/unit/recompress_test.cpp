// The re-compression driver: method choice, what lands in the output archive
// and where, the CRC, the write pattern, and failures (missing temporary
// file, short writes now and earlier in the run, a stop request, entries too
// large for 32-bit sizes).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "api/repair_state.h"
#include "common/run_flags.h"
#include "platform/platform_testing.h"
#include "recompress/recompress.h"
#include "support/library_state.h"
#include "support/temp_dir.h"
#include "unit/deflate_test_util.h"

namespace arcsalve {
namespace {

using namespace testing_support;

class RecompressEntryTest : public testing::Test {
protected:
    void SetUp() override {
        test::ClearRunFlags();
        g_outputFile = FileCreate(outputPath_.c_str());
        ASSERT_TRUE(IsOpenFile(g_outputFile));
    }
    void TearDown() override {
        test::ClearRunFlags();
        FileClose(g_outputFile);
        g_outputFile = kNoFile;
    }
    // Writes data to the temporary file and re-compresses it under name.
    uint32_t Run(const char* name, const Bytes& data, uint32_t* method, uint32_t* crc) {
        test::WriteFile(tempPath_, data);
        *method = 77;
        *crc = 77;
        return RecompressEntry(name, tempPath_.c_str(), static_cast<uint32_t>(data.size()), method, crc);
    }
    // Checks that the host was told exactly this, and forgets it.
    void ExpectOneMessage(int level, const std::string& text) {
        ASSERT_EQ(host_->messages().size(), 1u);
        EXPECT_EQ(host_->messages()[0].level, level);
        EXPECT_EQ(host_->messages()[0].text, text);
        host_.reset();  // uninstalls before the next one installs
        host_ = std::make_unique<test::HostCallbacks>();
    }

    test::TempDir dir_;
    std::string outputPath_ = dir_ / "out.zip", tempPath_ = dir_ / "arcsalve.tmp";
    std::unique_ptr<test::HostCallbacks> host_ = std::make_unique<test::HostCallbacks>();
};

// Stored below 100 bytes and for names that say the data is compressed
// already (only the last four characters count); otherwise deflated, even
// where that comes out larger. The data lands at the output's current
// offset, behind what is already there.
TEST_F(RecompressEntryTest, ChoosesTheMethodAndWritesAtTheCurrentOffset) {
    struct Case {
        const char* name;
        Bytes data;
        uint32_t method;
    } cases[] = {
        {"empty.txt", Bytes(), 0},
        {"notes.txt", TextBytes(99, 1), 0},
        {"notes.txt", TextBytes(100, 2), 8},
        {"PHOTO.JPG", TextBytes(100, 3), 0},
        {"dir/Backup.Zip", TextBytes(5000, 4), 0},
        {"setup.cab", TextBytes(100, 5), 0},
        {"anim.gif", TextBytes(100, 6), 0},
        {"photo.jpeg", TextBytes(100, 7), 8},
        {"abc", TextBytes(100, 8), 8},
        {"zip", TextBytes(100, 9), 8},
        {"noise.bin", RandomBytes(5000, 10), 8},
        {"big.txt", TextBytes(300000, 11), 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " " << c.data.size());
        ASSERT_TRUE(FileSeek(g_outputFile, 0));
        ASSERT_TRUE(FileTruncateHere(g_outputFile));
        Bytes header(30, 0xAB);
        ASSERT_EQ(FileWrite(g_outputFile, header.data(), 30), 30u);
        uint32_t method, crc;
        uint32_t result = Run(c.name, c.data, &method, &crc);
        EXPECT_EQ(method, c.method);
        EXPECT_EQ(crc, test::ZlibCrc32(c.data));
        Bytes out = test::ReadFile(outputPath_);
        ASSERT_EQ(out.size(), 30u + result);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), out.begin()));
        Bytes data(out.begin() + 30, out.end());
        if (c.method == 0) {
            EXPECT_TRUE(data == c.data);
        } else {
            Bytes inflated;
            EXPECT_TRUE(test::ZlibRawInflate(data, &inflated));
            EXPECT_TRUE(inflated == c.data);
        }
    }
    EXPECT_TRUE(host_->messages().empty());
}

TEST_F(RecompressEntryTest, MissingTemporaryFileNamesThePath) {
    uint32_t method = 77, crc = 77;
    std::string missing = dir_ / "gone.tmp";
    EXPECT_EQ(RecompressEntry("a.txt", missing.c_str(), 500, &method, &crc), kRecompressFailed);
    EXPECT_EQ(method, 0u);
    EXPECT_EQ(crc, 0u);
    ExpectOneMessage(MESSAGE_ERROR, "ERROR (SKIPPING FILE): Cannot open " + missing);
}

// After a short write the entry fails, and so does every later one of the
// run, an empty one included, even once writes would succeed again.
TEST_F(RecompressEntryTest, ShortWriteFailsTheEntryAndEveryLaterOne) {
    for (const char* name : {"\xC3\xBC" "ber.txt", "\xC3\xBC" "ber.zip"}) {
        SCOPED_TRACE(name);
        g_writeFailed = 0;
        PlatformInjectFault(PlatformFault::kShortWrite, 1500);
        uint32_t method, crc;
        EXPECT_EQ(Run(name, TextBytes(200000, 1), &method, &crc), kRecompressFailed);
        EXPECT_EQ(method, 0u);
        EXPECT_EQ(crc, 0u);
        EXPECT_EQ(g_writeFailed, 1u);
        ExpectOneMessage(MESSAGE_ERROR, std::string("Unable to re-compress ") + name);

        PlatformClearFaults();
        EXPECT_EQ(Run("later.txt", TextBytes(5000, 2), &method, &crc), kRecompressFailed);
        ExpectOneMessage(MESSAGE_ERROR, "Unable to re-compress later.txt");
        EXPECT_EQ(Run("empty.txt", Bytes(), &method, &crc), kRecompressFailed);
        ExpectOneMessage(MESSAGE_ERROR, "Unable to re-compress empty.txt");
    }
}

// One entry fails: a stop request, whatever the method; the entry's last
// write (what the sink buffer holds at the end: storing 1025 bytes is a write
// of 1024 and one of 1) coming up short; a device that is really full.
TEST_F(RecompressEntryTest, FailedEntryIsReportedOnce) {
    struct Case {
        const char* label;
        const char* name;
        size_t size;
        bool stop;
        int64_t shortWriteAt;  // -1: none
        bool fullDevice;
        uint32_t result;
    } cases[] = {
        {"stop requested, deflated", "a.txt", 3000, true, -1, false, kRecompressFailed},
        {"stop requested, stored", "a.zip", 3000, true, -1, false, kRecompressFailed},
        {"last write short", "a.zip", 1025, false, 1024, false, kRecompressFailed},
        {"last write just fits", "a.zip", 1025, false, 1025, false, 1025},
        {"full device", "a.txt", 3000, false, -1, true, kRecompressFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        SetUp();
        if (c.fullDevice) {
            FileClose(g_outputFile);
            g_outputFile = FileCreate("/dev/full");
            if (!IsOpenFile(g_outputFile)) continue;  // no /dev/full here
        }
        g_abortRequested = c.stop;
        if (c.shortWriteAt >= 0) PlatformInjectFault(PlatformFault::kShortWrite, static_cast<uint64_t>(c.shortWriteAt));
        uint32_t method, crc;
        EXPECT_EQ(Run(c.name, TextBytes(c.size, 1), &method, &crc), c.result);
        if (c.result != kRecompressFailed) continue;
        EXPECT_EQ(method, 0u);
        EXPECT_EQ(g_writeFailed, c.stop ? 0u : 1u);
        ExpectOneMessage(MESSAGE_ERROR, std::string("Unable to re-compress ") + c.name);
    }
}

TEST(RecompressNames, PrecompressedNames) {
    struct Case {
        const char* name;
        bool expected;
    } cases[] = {
        {"a.zip", true},   {"A.ZIP", true},   {".zip", true},   {"x.Cab", true},
        {"p.jpg", true},   {"p.JpG", true},   {"g.gif", true},  {"x.zipx", false},
        {"p.jpeg", false}, {"zip", false},    {"", false},      {nullptr, false},
        {"a.tgz", false},  {"dir.zip/a", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(IsPrecompressedName(c.name), c.expected);
    }
}

// Writes of exactly 1024 bytes, except the entry's last, which holds 1 to
// 1024 bytes.
TEST(RecompressStream, WritesWholeChunksExceptTheLast) {
    g_writeFailed = 0;
    g_abortRequested = 0;
    struct Case {
        size_t size;
        std::vector<uint32_t> writes;
    } cases[] = {{0, {}}, {1, {1}}, {1024, {1024}}, {1025, {1024, 1}}, {2048, {1024, 1024}},
                 {3000, {1024, 1024, 952}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Bytes data = RandomBytes(c.size, 1);
        RecompressStream stream;
        MemorySink sink;
        InitMemoryStream(&stream, data.data(), data.size(), &sink);
        ASSERT_EQ(StoreEntry(&stream), 1);
        FinishSink(&stream);
        EXPECT_EQ(sink.writeSizes, c.writes);
        EXPECT_TRUE(sink.bytes == data);
        EXPECT_EQ(StreamCrc(&stream), test::ZlibCrc32(data));
    }
    MemorySink sink;
    DeflateBytes(TextBytes(500000, 2), nullptr, nullptr, &sink);
    ASSERT_GT(sink.writeSizes.size(), 2u);
    for (size_t i = 0; i + 1 < sink.writeSizes.size(); ++i) ASSERT_EQ(sink.writeSizes[i], 1024u);
    EXPECT_GE(sink.writeSizes.back(), 1u);
    EXPECT_LE(sink.writeSizes.back(), 1024u);
}

// Data beyond 4 GiB - 1 bytes cannot be described by the entry's 32-bit
// sizes: both methods fail rather than write an entry whose sizes are wrong.
TEST(RecompressStream, DataBeyond32BitSizesFails) {
    g_writeFailed = 0;
    g_abortRequested = 0;
    Bytes data = TextBytes(5000, 1);
    for (int method : {0, 8}) {
        SCOPED_TRACE(method);
        RecompressStream stream;
        MemorySink sink;
        InitMemoryStream(&stream, data.data(), data.size(), &sink);
        stream.sourceLoaded = kMaxEntryInput - 4000;
        EXPECT_EQ(method == 0 ? StoreEntry(&stream) : DeflateEntry(&stream), 0);
        EXPECT_EQ(stream.oversize, 1u);
    }
    RecompressStream stream;
    MemorySink sink;
    InitMemoryStream(&stream, data.data(), data.size(), &sink);
    stream.sourceLoaded = kMaxEntryInput - 5000;
    EXPECT_EQ(StoreEntry(&stream), 1);
}

}  // namespace
}  // namespace arcsalve
