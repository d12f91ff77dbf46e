// Test-only writer of traditionally encrypted ZIP archives. The library never
// encrypts, and `zip -P` cannot make every case the tests need (an empty
// password, bytes with the high bit set, a chosen check byte), so the tests
// make those archives here. Its key schedule is written independently of
// src/crypt (a bitwise CRC step instead of the table), and its archives are
// checked by `unzip -t -P`, so it is not the library testing itself.
#ifndef ARCSALVE_TESTS_SUPPORT_ZIPCRYPTO_WRITER_H
#define ARCSALVE_TESTS_SUPPORT_ZIPCRYPTO_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace arcsalve {
namespace test_crypt {

using Bytes = std::vector<uint8_t>;

struct CryptEntry {
    std::string name;
    Bytes data;
    bool encrypted = true;
    std::string password;        // any bytes but NUL
    uint16_t method = 8;         // 0 stored, 8 deflated (raw, by zlib at level 6)
    // General-purpose bit 3: a data descriptor follows the data, and the
    // check byte is the high byte of the time, as streaming writers do.
    bool dataDescriptor = false;
    // With bit 3: write the real CRC and sizes into the local header as well
    // (as Info-ZIP does on a seekable output) instead of zeros.
    bool sizesInLocalHeader = true;
    uint16_t time = 0x7A31;      // 15:17:34
    uint16_t date = 0x5A21;      // 2025-01-01
};

// Shorthands for the two kinds of entries.
CryptEntry Encrypted(const std::string& name, const Bytes& data, const std::string& password,
                     uint16_t method = 8);
CryptEntry Plain(const std::string& name, const Bytes& data, uint16_t method = 8);

// Enciphers `plain` with the keys set from `password`: the stream that
// follows from a fresh key set (the 12 header bytes are part of it).
Bytes Encipher(const std::string& password, const Bytes& plain);

// A 12-byte encryption header: 11 filler bytes from `seed`, then `check`,
// enciphered with the password.
Bytes EncryptionHeader(const std::string& password, uint8_t check, uint32_t seed);

// A complete archive: local headers, (encrypted) data, data descriptors where
// asked, central directory and end record. `offsets`, when given, receives
// the offset of each local header.
Bytes BuildZip(const std::vector<CryptEntry>& entries, std::vector<size_t>* offsets = nullptr);

}  // namespace test_crypt
}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_SUPPORT_ZIPCRYPTO_WRITER_H
