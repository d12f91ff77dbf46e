// The ZIP traditional cipher (application note, "Traditional PKWARE
// Decryption"): three 32-bit keys, initialised from the password, advanced by
// every plain byte; each byte is enciphered with one keystream byte drawn
// from key2.
#include "crypt/cipher.h"

#include "common/crc32.h"
#include "common/zip_format.h"
#include "decode/decode_frame.h"

namespace arcsalve {

void InitKeys(CipherKeys* keys, const char* password) {
    keys->key0 = 0x12345678u;
    keys->key1 = 0x23456789u;
    keys->key2 = 0x34567890u;
    for (const char* p = password; *p; ++p) UpdateKeys(keys, static_cast<uint8_t>(*p));
}

void UpdateKeys(CipherKeys* keys, uint8_t plain) {
    keys->key0 = Crc32Step(keys->key0, plain);
    keys->key1 = (keys->key1 + (keys->key0 & 0xFF)) * 134775813u + 1;
    keys->key2 = Crc32Step(keys->key2, static_cast<uint8_t>(keys->key1 >> 24));
}

uint8_t KeystreamByte(const CipherKeys* keys) {
    uint32_t t = (keys->key2 & 0xFFFF) | 2;
    return static_cast<uint8_t>(((t * (t ^ 1)) & 0xFFFF) >> 8);
}

uint8_t DecryptByte(CipherKeys* keys, uint8_t cipher) {
    uint8_t plain = cipher ^ KeystreamByte(keys);
    UpdateKeys(keys, plain);
    return plain;
}

// The last byte of the decrypted header is the check byte. The application
// note has it equal the high byte of the CRC-32; writers that stream (general
// purpose bit 3: the CRC is not known before the data) put the high byte of
// the modification time there instead, Info-ZIP zip among them. With bit 3
// both are accepted, so every password the CRC test accepts still passes.
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

void StartDecryption(DecodeState* state, const uint8_t header[12]) {
    InitKeys(&state->keys, state->password);
    for (int i = 0; i < kEncryptionHeaderSize; ++i) DecryptByte(&state->keys, header[i]);
}

}  // namespace arcsalve
