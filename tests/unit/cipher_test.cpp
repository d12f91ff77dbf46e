// The traditional cipher against archives from independent encryptors
// (Info-ZIP zip, 7-Zip, a Windows archiver) and against the test writer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/zip_format.h"
#include "crypt/cipher.h"
#include "decode/decode_frame.h"
#include "support/crypt_fixture.h"
#include "support/zipcrypto_writer.h"
#include "support/zlib_oracle.h"

namespace arcsalve {
namespace {

using test_crypt::Bytes;
using test_crypt::ZipEntry;

// Decrypts one entry's data the way the decoding frame does (password block
// copied into a DecodeState, StartDecryption over the 12 header bytes, then
// DecryptByte per byte) and decompresses it with zlib where it is deflated.
bool DecryptEntry(const Bytes& archive, const ZipEntry& e, const char* password, Bytes* plain) {
    if (e.compressedSize < 12) return false;
    DecodeState state{};
    std::strncpy(state.password, password, sizeof state.password - 1);
    StartDecryption(&state, &archive[e.dataOffset]);
    Bytes data;
    for (size_t i = e.dataOffset + 12; i < e.dataOffset + e.compressedSize; ++i)
        data.push_back(DecryptByte(&state.keys, archive[i]));
    if (e.method == 0) {
        *plain = data;
        return true;
    }
    return e.method == 8 && test::ZlibRawInflate(data, plain, true);
}

struct CorpusCase {
    bool copyleft;
    const char* file;
    const char* password;
    int entries;
};

// Every ZipCrypto archive of the corpus: the password passes the check and
// every entry decrypts to data whose CRC-32 and size are the recorded ones.
// The copyleft files are read in place when that folder is present. Info-ZIP
// 3.0 sets bit 3 on what it encrypts and puts the high byte of the file time,
// not of the CRC, in the check byte: the same header without bit 3 must not
// pass on the time byte, there only the CRC counts.
TEST(Cipher, CorpusArchivesDecryptToTheirRecordedCrc) {
    const CorpusCase cases[] = {
        {false, "zipcrypto-stored-sharpcompress.zip", "test", 8},
        {false, "zipcrypto-deflated-dd-infozip30-libarchive.zip", "12345678", 2},
        {true, "zipcrypto-deflated-7zip1900-puren-tonbo.zip", "password", 1},
        {true, "zipcrypto-deflated-p7zip1602-puren-tonbo.zip", "password", 1},
        {true, "zipcrypto-stored-7zip1900-puren-tonbo.zip", "password", 1},
    };
    int bitThree = 0;
    for (const CorpusCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = test_crypt::LegacyArchive(c.file, c.copyleft);
        if (path.empty()) continue;  // copyleft folder absent
        Bytes archive;
        ASSERT_TRUE(test_crypt::ReadAll(path, &archive));
        std::vector<ZipEntry> entries = test_crypt::ListZip(archive);
        ASSERT_EQ(static_cast<int>(entries.size()), c.entries);
        for (const ZipEntry& e : entries) {
            SCOPED_TRACE(e.name);
            ASSERT_TRUE(e.flags & kFlagEncrypted);
            const uint8_t* header = &archive[e.dataOffset];
            EXPECT_EQ(CheckPassword(c.password, header, e.crc, e.time, e.flags), 1);
            if (e.flags & kFlagDataDescriptor) {
                ++bitThree;
                EXPECT_EQ(CheckPassword(c.password, header, e.crc, e.time, kFlagEncrypted), 0);
            }
            Bytes plain;
            ASSERT_TRUE(DecryptEntry(archive, e, c.password, &plain));
            EXPECT_EQ(plain.size(), e.uncompressedSize);
            EXPECT_EQ(test::ZlibCrc32(plain), e.crc);
        }
    }
    EXPECT_GE(bitThree, 2);
}

// Archives made here by Info-ZIP zip -P, stored and deflated, decrypt to the
// very bytes that went in.
TEST(Cipher, InfoZipArchivesDecryptToTheOriginalBytes) {
    test::ScratchDir dir;
    const Bytes text = test::PatternBytes(60000, 98, true), noise = test::PatternBytes(5000, 99);
    ASSERT_TRUE(test_crypt::WriteAll(dir.File("text.txt"), text));
    ASSERT_TRUE(test_crypt::WriteAll(dir.File("noise.bin"), noise));
    std::string zip = "cd " + test_crypt::ShellQuote(dir.path()) + " && zip -q -X -P 'Pa55 w0rd!' ";
    ASSERT_EQ(test_crypt::RunCommand(zip + "deflated.zip text.txt noise.bin"), 0);
    ASSERT_EQ(test_crypt::RunCommand(zip + "-0 stored.zip text.txt noise.bin"), 0);

    for (const char* name : {"deflated.zip", "stored.zip"}) {
        SCOPED_TRACE(name);
        Bytes archive;
        ASSERT_TRUE(test_crypt::ReadAll(dir.File(name), &archive));
        std::vector<ZipEntry> entries = test_crypt::ListZip(archive);
        ASSERT_EQ(entries.size(), 2u);
        for (const ZipEntry& e : entries) {
            SCOPED_TRACE(e.name);
            EXPECT_EQ(e.flags & (kFlagEncrypted | kFlagDataDescriptor), 0x0009);
            EXPECT_EQ(CheckPassword("Pa55 w0rd!", &archive[e.dataOffset], e.crc, e.time, e.flags), 1);
            Bytes plain;
            ASSERT_TRUE(DecryptEntry(archive, e, "Pa55 w0rd!", &plain));
            EXPECT_EQ(plain, e.name == "text.txt" ? text : noise);
        }
    }
}

// Passwords as bytes: the empty one, and bytes with the high bit set, which
// enter as unsigned values. Each archive is also accepted by unzip -t with
// the same password bytes.
TEST(Cipher, EmptyAndHighBitPasswords) {
    test::ScratchDir dir;
    const std::string passwords[] = {"", "\xE4\xF6\xFC", "\x80\xFF\x7F x", "caf\xC3\xA9"};
    Bytes data = test_crypt::ToBytes("the quick brown fox jumps over the lazy dog\n");
    for (const std::string& password : passwords) {
        SCOPED_TRACE(testing::Message() << "password of " << password.size() << " bytes");
        test_crypt::CryptEntry entry;
        entry.name = "fox.txt";
        entry.data = data;
        entry.password = password;
        Bytes archive = test_crypt::BuildZip({entry});
        ZipEntry e = test_crypt::ListZip(archive).at(0);
        EXPECT_EQ(CheckPassword(password.c_str(), &archive[e.dataOffset], e.crc, e.time, e.flags), 1);
        Bytes plain;
        ASSERT_TRUE(DecryptEntry(archive, e, password.c_str(), &plain));
        EXPECT_EQ(plain, data);
        // A password that differs only in the high bit of one byte does not
        // decrypt the data (it may pass the one-byte check by chance).
        if (!password.empty()) {
            std::string flipped = password;
            flipped[0] = static_cast<char>(flipped[0] ^ 0x80);
            Bytes wrong;
            EXPECT_FALSE(DecryptEntry(archive, e, flipped.c_str(), &wrong) && wrong == data);
        }
        // unzip reads the password bytes as given; an empty -P makes it ask.
        if (password.empty()) continue;
        ASSERT_TRUE(test_crypt::WriteAll(dir.File("p.zip"), archive));
        std::string out;
        EXPECT_EQ(test_crypt::RunCommand("unzip -t -P " + test_crypt::ShellQuote(password) + " " +
                                             dir.File("p.zip") + " </dev/null",
                                         &out),
                  0)
            << out;
    }
}

// Only decrypted byte 11 decides, against the top byte of the CRC-32 (and,
// with bit 3, of the time). Byte 10, though writers often put CRC bits 16 to
// 23 there, plays no part. The caller's header is left as it was.
TEST(Cipher, OnlyByteElevenDecidesAndTheHeaderStaysUntouched) {
    const uint32_t crc = 0xA1B2C3D4;
    const uint16_t time = 0x5E00;
    struct Case {
        const char* label;
        uint8_t check;
        uint16_t flags;
        int expected;
    } cases[] = {
        {"crc top byte", 0xA1, 0x0001, 1},
        {"crc bits 16-23", 0xB2, 0x0001, 0},
        {"time high byte without bit 3", 0x5E, 0x0001, 0},
        {"time high byte with bit 3", 0x5E, 0x0009, 1},
        {"crc top byte with bit 3", 0xA1, 0x0009, 1},
        {"time low byte with bit 3", 0x00, 0x0009, 0},
        {"neither", 0x42, 0x0009, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            // Byte 10 of the plain header never equals 0xB2 here: the seed
            // picks filler bytes unrelated to the CRC.
            Bytes header = test_crypt::EncryptionHeader("pw", c.check, seed);
            Bytes copy = header;
            EXPECT_EQ(CheckPassword("pw", header.data(), crc, time, c.flags), c.expected);
            EXPECT_EQ(header, copy);
        }
    }
}

// After StartDecryption the keys have taken the password and all 12 header
// bytes, whatever byte 11 says, and the caller's header is not touched. A
// password block without a terminator is read no further than 39 bytes.
TEST(Cipher, StartDecryptionPositionsTheKeysAtTheFirstDataByte) {
    Bytes data = test_crypt::ToBytes("data after the header");
    for (uint8_t check : {0x00, 0xA5}) {
        SCOPED_TRACE(static_cast<int>(check));
        Bytes plain(11, 0x33);
        plain.push_back(check);
        plain.insert(plain.end(), data.begin(), data.end());
        Bytes stream = test_crypt::Encipher("key", plain);
        Bytes header(stream.begin(), stream.begin() + 12);
        DecodeState state{};
        std::strcpy(state.password, "key");
        StartDecryption(&state, stream.data());
        EXPECT_TRUE(std::equal(header.begin(), header.end(), stream.begin()));
        Bytes out;
        for (size_t i = 12; i < stream.size(); ++i) out.push_back(DecryptByte(&state.keys, stream[i]));
        EXPECT_EQ(out, data);
    }

    Bytes plain(12, 0x11);
    plain.push_back('z');
    Bytes stream = test_crypt::Encipher(std::string(39, 'k'), plain);
    DecodeState state{};
    std::memset(state.password, 'k', sizeof state.password);  // 40 bytes, no terminator
    StartDecryption(&state, stream.data());
    EXPECT_EQ(DecryptByte(&state.keys, stream[12]), 'z');
}

}  // namespace
}  // namespace arcsalve
