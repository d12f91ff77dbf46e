// The decoding frame: the byte source and its 10-byte allowance, the method
// dispatch, decryption on delivery, the output routines and the masks.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "common/little_endian.h"
#include "common/run_flags.h"
#include "decode/decode_frame.h"
#include "decode/decode_testing.h"
#include "platform/platform.h"
#include "platform/platform_testing.h"
#include "salvage/archive_reader.h"
#include "support/decode_fixture.h"
#include "support/library_state.h"
#include "support/temp_dir.h"
#include "support/zip_builder.h"
#include "support/zipcrypto_writer.h"

namespace arcsalve {
namespace {

using test::Bytes;

// The 12-byte encryption header (11 filler bytes, then the check byte)
// followed by the data, enciphered with the password.
Bytes Encrypt(const std::string& password, const Bytes& plain, uint8_t check) {
    Bytes stream(11, 0x3C);
    stream.push_back(check);
    stream.insert(stream.end(), plain.begin(), plain.end());
    return test_crypt::Encipher(password, stream);
}

class FrameTest : public test::DecodeFileTest {
protected:
    // A 30-byte local header with the fields the frame reads.
    static Bytes Header(uint16_t method, uint32_t compressed, uint32_t uncompressed,
                        uint16_t flags = 0) {
        test::EntrySpec e;
        e.name = "";
        e.method = method;
        e.flags = flags;
        e.compressedSize = compressed;
        e.uncompressedSize = uncompressed;
        e.crc = 0;
        return test::LocalHeader(e);
    }
};

// How many bytes the source delivers for a compressed size, given how much
// archive is left: the data, then up to 10 bytes of whatever follows.
TEST_F(FrameTest, ByteSourceDeliversTheDataAndTenBytesMore) {
    struct Case {
        const char* label;
        int32_t compressedSize;
        size_t archiveBytes;
        int32_t delivered;
    } cases[] = {
        {"plain data and the whole allowance", 3000, 5000, 3010},
        {"allowance cut by the end of the archive", 3000, 3004, 3004},
        {"archive ends inside a chunk: what arrived is delivered", 3000, 2500, 2500},
        {"compressed size 0: only the allowance", 0, 100, 10},
        {"negative length (encrypted, size below 12)", -5, 100, 5},
        {"length -10: nothing", -10, 100, 0},
        {"2^31 counts as negative", INT32_MIN, 100, 0},
        {"largest positive size reads to the end", INT32_MAX, 4000, 4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Open(test::PatternBytes(c.archiveBytes, 21));
        DecodeState s = MakeState(c.compressedSize);
        uint16_t slot = 0;
        int32_t delivered = 0;
        while (ReadCompressedByte(&s, &slot) == 8) {
            ASSERT_EQ(slot, data_[delivered]);
            ++delivered;
        }
        EXPECT_EQ(delivered, c.delivered);
        EXPECT_EQ(s.consumed, c.delivered);
        EXPECT_EQ(s.endFlag, 1u);
        // Once ended, it stays ended.
        EXPECT_EQ(ReadCompressedByte(&s, &slot), 0);
        EXPECT_EQ(s.endFlag, 1u);
    }
}

// Data is read in chunks of up to 1024 bytes, never beyond the compressed
// size; the allowance bytes are read one archive byte at a time.
TEST_F(FrameTest, ChunksStopAtTheDataAndAllowanceBytesComeOneByOne) {
    Open(test::PatternBytes(4000, 3));
    DecodeState s = MakeState(1500);
    uint16_t slot = 0;
    ASSERT_EQ(ReadCompressedByte(&s, &slot), 8);
    EXPECT_EQ(ReaderPosition(), 1024u);
    for (int i = 1; i < 1500; ++i) ASSERT_EQ(ReadCompressedByte(&s, &slot), 8);
    EXPECT_EQ(ReaderPosition(), 1500u);
    for (uint64_t extra = 1; extra <= 10; ++extra) {
        ASSERT_EQ(ReadCompressedByte(&s, &slot), 8);
        EXPECT_EQ(ReaderPosition(), 1500u + extra);
        EXPECT_EQ(slot, data_[1499 + extra]);
    }
    // At the limit the slot keeps its content; the archive is not read.
    slot = 0xABCD;
    EXPECT_EQ(ReadCompressedByte(&s, &slot), 0);
    EXPECT_EQ(slot, 0xABCD);
    EXPECT_EQ(ReaderPosition(), 1510u);
}

// The input ends before the data do: the failed read clears the slot.
TEST_F(FrameTest, FailedReadClearsTheSlot) {
    Open(test::PatternBytes(5, 3));
    DecodeState s = MakeState(100);
    uint16_t slot = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(ReadCompressedByte(&s, &slot), 8);
    EXPECT_EQ(s.endFlag, 0u);
    EXPECT_EQ(ReadCompressedByte(&s, &slot), 0);
    EXPECT_EQ(slot, 0);
}

// Encrypted stored entries deliver their data decrypted as it leaves the
// buffer, and the copy never asks for the allowance. A password block
// without a terminator is cut to 39 characters (the copy's last byte is
// forced to NUL, so the key schedule never runs past it).
TEST_F(FrameTest, EncryptedStoredEntriesDecryptTheirData) {
    struct Case {
        const char* label;
        std::string key;    // what encrypted the data
        char block[40];     // the password block handed to the frame
    } cases[] = {{"terminated password", "secret", "secret"}, {"no terminator", std::string(39, 'q'), {}}};
    std::memset(cases[1].block, 'q', sizeof cases[1].block);
    for (Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        Bytes plain = test::PatternBytes(3000, 8);
        Bytes enciphered = Encrypt(c.key, plain, 0x5A);
        Bytes archive(enciphered.begin() + 12, enciphered.end());
        archive.insert(archive.end(), 50, 0x77);  // what follows the entry
        Open(archive);
        Bytes header = Header(0, static_cast<uint32_t>(enciphered.size()), 3000, 1);
        EXPECT_EQ(DecodeEntry(header.data(), output_, 1, c.block, enciphered.data()), 1);
        EXPECT_EQ(Output(), plain);
        EXPECT_EQ(ReaderPosition(), 3000u);
    }
}

// The dispatch: a stored entry is copied (its header's uncompressed size
// does not matter); a method without a decoder reads and writes nothing,
// failing only for method 7 (tokenizing, listed but never decoded); no
// memory for the state fails before anything is read.
TEST_F(FrameTest, MethodDispatch) {
    struct Case {
        const char* label;
        uint16_t method;
        bool noMemory;
        int result;
    } cases[] = {{"stored", 0, false, 1}, {"stored, no memory", 0, true, 0}, {"method 7", 7, false, 0},
                 {"method 9", 9, false, 1}, {"method 12", 12, false, 1}, {"method 99", 99, false, 1},
                 {"method 65535", 0xFFFF, false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        Open(test::PatternBytes(2500, 6));
        char password[40] = {};
        Bytes header = Header(c.method, 2500, 9999);
        if (c.noMemory) InjectAllocFailure(0);
        EXPECT_EQ(DecodeEntry(header.data(), output_, 0, password, nullptr), c.result);
        InjectAllocFailure(-1);
        bool copied = c.method == 0 && c.result == 1;
        EXPECT_EQ(ReaderPosition(), copied ? 2500u : 0u);
        EXPECT_EQ(Output(), copied ? data_ : Bytes());
    }
}

TEST_F(FrameTest, WriteDecodedWritesAtOffsetsAndFlagsShortWrites) {
    DecodeState s = MakeState(0);
    Bytes a = test::ToBytes("abcd"), b = test::ToBytes("XY");
    WriteDecoded(&s, a.data(), 0, 4);
    WriteDecoded(&s, b.data(), 1, 2);
    WriteDecoded(&s, b.data(), 4, 0);  // nothing, and no flag
    EXPECT_EQ(g_writeFailed, 0u);
    PlatformInjectFault(PlatformFault::kShortWrite, 3);
    WriteDecoded(&s, a.data(), 4, 4);
    EXPECT_EQ(g_writeFailed, 1u);
    EXPECT_EQ(Output(), test::ToBytes("aXYdabc"));
}

TEST_F(FrameTest, FlushWindowAdvancesEvenWithoutOutput) {
    DecodeState s = MakeState(0);
    auto* ws = static_cast<DecodeWorkspace*>(AllocBlock(sizeof(DecodeWorkspace)));
    ASSERT_NE(ws, nullptr);
    ws->owner = &s;
    ws->outputPosition = 0;
    std::memcpy(ws->window, "0123456789", 10);
    FlushWindow(ws, 4);
    s.outputFlag = 0;
    FlushWindow(ws, 3);
    s.outputFlag = 1;
    FlushWindow(ws, 0);
    FlushWindow(ws, 2);
    EXPECT_EQ(ws->outputPosition, 9u);
    FreeBlock(ws);
    Bytes expected = test::ToBytes("0123");
    expected.insert(expected.end(), {0, 0, 0});
    expected.insert(expected.end(), {'0', '1'});
    EXPECT_EQ(Output(), expected);
    EXPECT_EQ(g_writeFailed, 0u);
}

}  // namespace
}  // namespace arcsalve
