// The cryptographic primitives from libcrypto (OpenSSL 1.1.1 or 3): PBKDF2
// through PKCS5_PBKDF2_HMAC_SHA1, AES through an EVP cipher in ECB mode
// without padding, HMAC-SHA1 through an HMAC key and
// the digest-signing calls (neither deprecated in OpenSSL 3 nor missing from
// 1.1.1).
#include "platform/crypto.h"

#include <climits>
#include <new>

#include <openssl/evp.h>

namespace arcsalve {

struct AesKey {
    EVP_CIPHER_CTX* context;
};

struct HmacSha1 {
    EVP_MD_CTX* context;
    EVP_PKEY* key;
};

int CryptoAvailable() { return 1; }

int DerivePbkdf2Sha1(const uint8_t* password, size_t passwordLength, const uint8_t* salt, size_t saltLength,
                     uint32_t iterations, uint8_t* out, size_t length) {
    if (passwordLength > INT_MAX || saltLength > INT_MAX || length > INT_MAX || iterations > INT_MAX) return 0;
    return PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(password), static_cast<int>(passwordLength),
                                  salt, static_cast<int>(saltLength), static_cast<int>(iterations),
                                  static_cast<int>(length), out) == 1;
}

AesKey* AesKeyOpen(const uint8_t* key, size_t keyLength) {
    const EVP_CIPHER* cipher = keyLength == 16 ? EVP_aes_128_ecb()
                               : keyLength == 24 ? EVP_aes_192_ecb()
                               : keyLength == 32 ? EVP_aes_256_ecb()
                                                 : nullptr;
    if (cipher == nullptr) return nullptr;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    if (context == nullptr) return nullptr;
    if (EVP_EncryptInit_ex(context, cipher, nullptr, key, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context, 0) != 1) {
        EVP_CIPHER_CTX_free(context);
        return nullptr;
    }
    AesKey* result = new (std::nothrow) AesKey{context};
    if (result == nullptr) EVP_CIPHER_CTX_free(context);
    return result;
}

int AesEncryptBlocks(AesKey* key, const uint8_t* in, uint8_t* out, size_t length) {
    if (key == nullptr || length % kAesBlockSize != 0 || length > INT_MAX) return 0;
    int written = 0;
    return EVP_EncryptUpdate(key->context, out, &written, in, static_cast<int>(length)) == 1 &&
           static_cast<size_t>(written) == length;
}

void AesKeyClose(AesKey* key) {
    if (key == nullptr) return;
    EVP_CIPHER_CTX_free(key->context);
    delete key;
}

HmacSha1* HmacSha1Open(const uint8_t* key, size_t keyLength) {
    EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_HMAC, nullptr, key, keyLength);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    HmacSha1* result = nullptr;
    if (pkey != nullptr && context != nullptr && EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, pkey) == 1)
        result = new (std::nothrow) HmacSha1{context, pkey};
    if (result == nullptr) {
        EVP_MD_CTX_free(context);
        EVP_PKEY_free(pkey);
    }
    return result;
}

int HmacSha1Update(HmacSha1* mac, const uint8_t* data, size_t length) {
    return mac != nullptr && EVP_DigestSignUpdate(mac->context, data, length) == 1;
}

int HmacSha1Finish(HmacSha1* mac, uint8_t code[kSha1Size]) {
    size_t length = kSha1Size;
    return mac != nullptr && EVP_DigestSignFinal(mac->context, code, &length) == 1 && length == kSha1Size;
}

void HmacSha1Close(HmacSha1* mac) {
    if (mac == nullptr) return;
    EVP_MD_CTX_free(mac->context);
    EVP_PKEY_free(mac->key);
    delete mac;
}

}  // namespace arcsalve
