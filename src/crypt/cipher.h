// The ZIP traditional stream cipher, decrypting side.
//
// Three 32-bit keys start from fixed constants and are advanced by every
// password byte and then by every plain byte; each enciphered byte is the
// plain byte XOR one keystream byte drawn from key2. An encrypted entry
// starts with 12 enciphered header bytes whose last one lets a password be
// tested before the data is touched.
//
// The per-byte operations are inline: every compressed byte of an encrypted
// entry passes through DecryptByte.
#ifndef ARCSALVE_CRYPT_CIPHER_H
#define ARCSALVE_CRYPT_CIPHER_H

#include <cstddef>
#include <cstdint>

#include "common/crc32.h"

namespace arcsalve {

struct CipherKeys {
    uint32_t key0;
    uint32_t key1;
    uint32_t key2;
};

// Sets the keys from a password (NUL-terminated bytes; every byte enters as
// its unsigned value). An empty password leaves the three initial constants.
void InitKeys(CipherKeys* keys, const char* password);

// Feeds one plain byte into the key schedule: key0 takes a CRC-32 table step,
// key1 a linear congruential step (multiplier 134775813 = 0x08088405) over
// key0's low byte, key2 a CRC-32 step over key1's top byte.
inline void UpdateKeys(CipherKeys* keys, uint8_t plain) {
    keys->key0 = Crc32Step(keys->key0, plain);
    keys->key1 = (keys->key1 + (keys->key0 & 0xFF)) * 134775813u + 1;
    keys->key2 = Crc32Step(keys->key2, static_cast<uint8_t>(keys->key1 >> 24));
}

// The current keystream byte; the keys do not move. t is at most 0xFFFF, so
// the product stays within 32 bits.
inline uint8_t KeystreamByte(const CipherKeys* keys) {
    uint32_t t = (keys->key2 & 0xFFFF) | 2;
    return static_cast<uint8_t>(((t * (t ^ 1)) & 0xFFFF) >> 8);
}

// Decrypts one byte and advances the keys with the plain result.
inline uint8_t DecryptByte(CipherKeys* keys, uint8_t cipher) {
    uint8_t plain = static_cast<uint8_t>(cipher ^ KeystreamByte(keys));
    UpdateKeys(keys, plain);
    return plain;
}

// Tests a password against an entry's 12-byte encryption header: 1 when the
// decrypted byte 11 matches the check byte, else 0 (see cipher.cpp for which
// values count). crc, time and flags are the local header's fields. The
// caller's header bytes are not changed, so one header can be tried against
// many passwords and then handed to StartDecryption.
int CheckPassword(const char* password, const uint8_t header[12], uint32_t crc, uint16_t time,
                  uint16_t flags);

// Sets the keys from a 40-byte password block (at most its first 39 bytes
// count) and runs the 12 header bytes through the cipher, so that the data
// that follows decrypts. Gives no verdict: the password was accepted by
// CheckPassword before.
void StartDecryption(CipherKeys* keys, const char password[40], const uint8_t header[12]);

}  // namespace arcsalve

#endif  // ARCSALVE_CRYPT_CIPHER_H
