// A build without a cryptographic library: nothing can be derived,
// enciphered or authenticated, and AES-encrypted entries are copied as they
// are, unverified.
#include "platform/crypto.h"

namespace arcsalve {

struct AesKey {};
struct HmacSha1 {};

int CryptoAvailable() { return 0; }
int DerivePbkdf2Sha1(const uint8_t*, size_t, const uint8_t*, size_t, uint32_t, uint8_t*, size_t) { return 0; }
AesKey* AesKeyOpen(const uint8_t*, size_t) { return nullptr; }
int AesEncryptBlocks(AesKey*, const uint8_t*, uint8_t*, size_t) { return 0; }
void AesKeyClose(AesKey*) {}
HmacSha1* HmacSha1Open(const uint8_t*, size_t) { return nullptr; }
int HmacSha1Update(HmacSha1*, const uint8_t*, size_t) { return 0; }
int HmacSha1Finish(HmacSha1*, uint8_t*) { return 0; }
void HmacSha1Close(HmacSha1*) {}

}  // namespace arcsalve
