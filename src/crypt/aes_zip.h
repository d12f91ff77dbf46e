// AES-encrypted ZIP entries (the WinZip AE-1 and AE-2 format), decrypting
// side.
//
// Such an entry has method 99 and an extra block 0x9901 of 7 bytes: the
// format version (1: AE-1, 2: AE-2), the vendor id "AE", the key strength
// (1, 2, 3: AES-128, -192, -256) and the real compression method. Its data
// is a random salt (8, 12 or 16 bytes), a 2-byte password verification
// value, the enciphered compressed data and a 10-byte authentication code.
//
// PBKDF2-HMAC-SHA1 over the password and salt, 1,000 iterations, gives the
// AES key, the HMAC-SHA1 key (each as long as the AES key) and the 2-byte
// verification value, in that order. The data is enciphered in CTR mode: the
// keystream is AES over a 16-byte little-endian counter that starts at 1.
// The authentication code is the first 10 bytes of HMAC-SHA1 over the
// enciphered data. AE-1 keeps the CRC-32 of the plain data in the headers;
// AE-2 writes 0 there, and the authentication code alone vouches for it.
#ifndef ARCSALVE_CRYPT_AES_ZIP_H
#define ARCSALVE_CRYPT_AES_ZIP_H

#include <cstddef>
#include <cstdint>

#include "platform/crypto.h"

namespace arcsalve {

constexpr uint16_t kMethodAes = 99;
constexpr uint16_t kAesExtraId = 0x9901;
constexpr int kAesExtraDataSize = 7;
constexpr int kAesMaxSaltSize = 16;
constexpr int kAesVerifierSize = 2;
constexpr int kAesCodeSize = 10;

// What the 0x9901 block says about an entry.
struct AesEntry {
    uint16_t version;   // 1: AE-1 (CRC-32 recorded), 2: AE-2 (CRC-32 0)
    uint8_t strength;   // 1, 2, 3
    uint16_t method;    // the compression method of the plain data
};

// Finds and reads the 0x9901 block in an extra field. 1 when one is there,
// well-formed, of a known version and strength.
int ParseAesExtra(const uint8_t* extra, size_t length, AesEntry* out);

// Salt bytes for a strength: 8, 12, 16.
inline int AesSaltSize(uint8_t strength) { return 4 + 4 * strength; }
// Bytes the format adds around the enciphered data.
inline int AesOverhead(uint8_t strength) { return AesSaltSize(strength) + kAesVerifierSize + kAesCodeSize; }

// The salt and verification value that precede an entry's data, with what
// the 0x9901 block says of it.
struct AesPrefix {
    uint8_t strength;
    uint16_t method;  // the compression method of the plain data
    uint8_t salt[kAesMaxSaltSize];
    uint8_t verifier[kAesVerifierSize];
    // The keys derived for `derivedFor` by the last check that passed, so
    // that the decode with that password need not derive them again (the
    // derivation is by far the dearest step for a small entry).
    bool derived;
    char derivedFor[40];
    uint8_t keys[2 * 32 + kAesVerifierSize];
};

// The keystream is made 64 blocks at a time: one backend call per 1 KiB.
constexpr size_t kAesKeystreamSize = 64 * kAesBlockSize;

// The keys of one entry and where its decryption stands.
struct AesDecryptor {
    AesKey* key;
    HmacSha1* mac;
    uint8_t counter[kAesBlockSize];       // the next counter block
    uint8_t keystream[kAesKeystreamSize]; // keystream blocks made ahead
    uint32_t used;                        // keystream bytes used, all when none are left
};

// 1 when the password's verification value matches the entry's. A wrong
// password passes one time in 65,536; only the authentication code is proof.
// A password that passes leaves its keys in *prefix.
int AesCheckPassword(const char* password, AesPrefix* prefix);

// Derives the keys for the password and starts the decryption at the first
// data byte. 0 when the backend fails (nothing is then held).
int AesStart(AesDecryptor* d, const char* password, const AesPrefix& prefix);
// Deciphers `length` bytes in place; the enciphered bytes enter the
// authentication code first.
int AesDecrypt(AesDecryptor* d, uint8_t* data, size_t length);
// Enciphered bytes that enter the authentication code only (the rest of the
// data, past where the decoder stopped).
int AesAuthenticateOnly(AesDecryptor* d, const uint8_t* data, size_t length);
// 1 when the code computed over the data matches the stored one.
int AesCodeMatches(AesDecryptor* d, const uint8_t stored[kAesCodeSize]);
// Releases the keys.
void AesEnd(AesDecryptor* d);

}  // namespace arcsalve

#endif  // ARCSALVE_CRYPT_AES_ZIP_H
