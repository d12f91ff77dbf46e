// The ZIP traditional stream cipher, decrypting side.
#ifndef ARCSALVE_CRYPT_CIPHER_H
#define ARCSALVE_CRYPT_CIPHER_H

#include <cstdint>

namespace arcsalve {

struct CipherKeys {
    uint32_t key0;
    uint32_t key1;
    uint32_t key2;
};

struct DecodeState;

// Sets the keys from a password (NUL-terminated bytes).
void InitKeys(CipherKeys* keys, const char* password);
// Feeds one plain byte into the key schedule.
void UpdateKeys(CipherKeys* keys, uint8_t plain);
// The next keystream byte.
uint8_t KeystreamByte(const CipherKeys* keys);
// Decrypts one byte and advances the keys with the plain result.
uint8_t DecryptByte(CipherKeys* keys, uint8_t cipher);

// Tests a password against an entry's 12-byte encryption header: 1 when the
// decrypted byte 11 matches the check byte (see cipher.cpp), else 0. The
// caller's header bytes are not changed.
int CheckPassword(const char* password, const uint8_t header[12], uint32_t crc, uint16_t time,
                  uint16_t flags);

// Sets the state's keys from its password copy and runs the 12 header bytes
// through the cipher, so that the data that follows decrypts.
void StartDecryption(DecodeState* state, const uint8_t header[12]);

}  // namespace arcsalve

#endif  // ARCSALVE_CRYPT_CIPHER_H
