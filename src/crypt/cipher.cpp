// The ZIP traditional cipher (application note, "Traditional PKWARE
// Decryption"): key initialisation, the password check and the start of an
// entry's decryption. The per-byte steps are inline in cipher.h.
#include "crypt/cipher.h"

#include "common/zip_format.h"

namespace arcsalve {
namespace {

constexpr uint32_t kInitialKey0 = 0x12345678u;
constexpr uint32_t kInitialKey1 = 0x23456789u;
constexpr uint32_t kInitialKey2 = 0x34567890u;

// Keys from at most `limit` password bytes, stopping early at a NUL.
void InitKeysBounded(CipherKeys* keys, const char* password, size_t limit) {
    keys->key0 = kInitialKey0;
    keys->key1 = kInitialKey1;
    keys->key2 = kInitialKey2;
    for (size_t i = 0; i < limit && password[i] != '\0'; ++i)
        UpdateKeys(keys, static_cast<uint8_t>(password[i]));
}

}  // namespace

void InitKeys(CipherKeys* keys, const char* password) {
    InitKeysBounded(keys, password, SIZE_MAX);
}

// The last byte of the decrypted header is the check byte. The application
// note has it equal the high byte of the CRC-32. Writers that stream (general
// purpose bit 3: the CRC is not known before the data is written) put the
// high byte of the MS-DOS modification time there instead, Info-ZIP zip among
// them; comparing with the CRC alone would refuse the right password for all
// their entries. With bit 3 both values are accepted, so every password the
// CRC comparison accepts still passes. Bytes 0 to 10 are random filler and
// are never looked at.
int CheckPassword(const char* password, const uint8_t header[12], uint32_t crc, uint16_t time,
                  uint16_t flags) {
    CipherKeys keys;
    InitKeys(&keys, password);
    uint8_t last = 0;
    for (int i = 0; i < kEncryptionHeaderSize; ++i) last = DecryptByte(&keys, header[i]);
    if (last == static_cast<uint8_t>(crc >> 24)) return 1;
    if ((flags & kFlagDataDescriptor) && last == static_cast<uint8_t>(time >> 8)) return 1;
    return 0;
}

// The password copy is a 40-byte block that normally holds a terminated text
// of at most 39 bytes; the bound keeps a block without a terminator from
// being read past its end.
void StartDecryption(CipherKeys* keys, const char password[40], const uint8_t header[12]) {
    InitKeysBounded(keys, password, 39);
    for (int i = 0; i < kEncryptionHeaderSize; ++i) DecryptByte(keys, header[i]);
}

}  // namespace arcsalve
