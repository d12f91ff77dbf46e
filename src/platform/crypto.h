// The cryptographic primitives the library takes from a maintained library
// rather than writing its own: PBKDF2-HMAC-SHA1, the AES block function and
// HMAC-SHA1. One backend is compiled in: libcrypto (OpenSSL) on Linux, the
// system's CNG (bcrypt.dll) in the Windows DLL, or none, when the build has
// neither; CryptoAvailable then says 0 and every call fails.
#ifndef ARCSALVE_PLATFORM_CRYPTO_H
#define ARCSALVE_PLATFORM_CRYPTO_H

#include <cstddef>
#include <cstdint>

namespace arcsalve {

constexpr size_t kAesBlockSize = 16;
constexpr size_t kSha1Size = 20;

// 1 when this build has a backend.
int CryptoAvailable();

// PBKDF2 with HMAC-SHA1: `length` bytes of key material into out. 1 on success.
int DerivePbkdf2Sha1(const uint8_t* password, size_t passwordLength, const uint8_t* salt, size_t saltLength,
                     uint32_t iterations, uint8_t* out, size_t length);

// An AES key ready to encipher blocks (128, 192 or 256 bits).
struct AesKey;
AesKey* AesKeyOpen(const uint8_t* key, size_t keyLength);
// Enciphers `length` bytes, a multiple of 16, block by block (ECB). 1 on success.
int AesEncryptBlocks(AesKey* key, const uint8_t* in, uint8_t* out, size_t length);
void AesKeyClose(AesKey* key);

// An HMAC-SHA1 computation in progress.
struct HmacSha1;
HmacSha1* HmacSha1Open(const uint8_t* key, size_t keyLength);
int HmacSha1Update(HmacSha1* mac, const uint8_t* data, size_t length);
// The 20-byte code over everything given; the computation cannot go on after.
int HmacSha1Finish(HmacSha1* mac, uint8_t code[kSha1Size]);
void HmacSha1Close(HmacSha1* mac);

}  // namespace arcsalve

#endif  // ARCSALVE_PLATFORM_CRYPTO_H
