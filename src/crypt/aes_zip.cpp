// AES-encrypted ZIP entries (see aes_zip.h). The primitives come from the
// platform's cryptographic backend; this unit holds only the format: the
// key derivation's layout, the counter and the authentication code.
#include "crypt/aes_zip.h"

#include <algorithm>
#include <cstring>

#include "common/little_endian.h"
#include "common/zip_format.h"

namespace arcsalve {
namespace {

constexpr uint32_t kIterations = 1000;
// Key material for the largest strength: two 32-byte keys and the verifier.
constexpr int kMaxDerived = 2 * 32 + kAesVerifierSize;

int KeySize(uint8_t strength) { return 8 + 8 * strength; }

// Passwords are at most 39 bytes; the bound keeps a block without a
// terminator from being read past its end.
size_t PasswordLength(const char* password) {
    size_t n = 0;
    while (n < 39 && password[n] != '\0') ++n;
    return n;
}

int Derive(const char* password, const AesPrefix& prefix, uint8_t out[kMaxDerived]) {
    const int keySize = KeySize(prefix.strength);
    return DerivePbkdf2Sha1(reinterpret_cast<const uint8_t*>(password), PasswordLength(password), prefix.salt,
                            static_cast<size_t>(AesSaltSize(prefix.strength)), kIterations, out,
                            static_cast<size_t>(2 * keySize + kAesVerifierSize));
}

}  // namespace

int ParseAesExtra(const uint8_t* extra, size_t length, AesEntry* out) {
    uint32_t size = 0;
    const uint8_t* block = FindExtraBlock(extra, length, kAesExtraId, &size);
    if (block == nullptr || size < static_cast<uint32_t>(kAesExtraDataSize) || block[2] != 'A' || block[3] != 'E')
        return 0;
    out->version = LoadLE16(block);
    out->strength = block[4];
    out->method = LoadLE16(block + 5);
    return (out->version == 1 || out->version == 2) && out->strength >= 1 && out->strength <= 3;
}

int AesCheckPassword(const char* password, AesPrefix* prefix) {
    uint8_t derived[kMaxDerived];
    if (!Derive(password, *prefix, derived)) return 0;
    const int at = 2 * KeySize(prefix->strength);
    if (std::memcmp(derived + at, prefix->verifier, kAesVerifierSize) != 0) return 0;
    const size_t length = PasswordLength(password);
    std::memset(prefix->derivedFor, 0, sizeof prefix->derivedFor);
    std::memcpy(prefix->derivedFor, password, length);
    std::memcpy(prefix->keys, derived, sizeof prefix->keys);
    prefix->derived = true;
    return 1;
}

namespace {

// The keys for a password: those the check kept, when it was this password.
bool KeysFor(const char* password, const AesPrefix& prefix, uint8_t out[kMaxDerived]) {
    const size_t length = PasswordLength(password);
    if (prefix.derived && std::memcmp(prefix.derivedFor, password, length) == 0 && prefix.derivedFor[length] == '\0') {
        std::memcpy(out, prefix.keys, kMaxDerived);
        return true;
    }
    return Derive(password, prefix, out) != 0;
}

}  // namespace

int AesStart(AesDecryptor* d, const char* password, const AesPrefix& prefix) {
    std::memset(d, 0, sizeof *d);
    uint8_t derived[kMaxDerived];
    if (!KeysFor(password, prefix, derived)) return 0;
    const size_t keySize = static_cast<size_t>(KeySize(prefix.strength));
    d->key = AesKeyOpen(derived, keySize);
    d->mac = HmacSha1Open(derived + keySize, keySize);
    std::memset(derived, 0, sizeof derived);
    d->counter[0] = 1;
    d->used = kAesKeystreamSize;
    if (d->key != nullptr && d->mac != nullptr) return 1;
    AesEnd(d);
    return 0;
}

int AesDecrypt(AesDecryptor* d, uint8_t* data, size_t length) {
    if (!HmacSha1Update(d->mac, data, length)) return 0;
    while (length > 0) {
        if (d->used == kAesKeystreamSize) {
            // The counter is counted in two 64-bit halves held in registers
            // and stored as whole words: narrower stores read back as a block
            // would stall the processor on every block.
            uint64_t words[kAesKeystreamSize / 8];
            uint64_t low = LoadLE64(d->counter), high = LoadLE64(d->counter + 8);
            for (size_t k = 0; k < kAesKeystreamSize / 8; k += 2) {
                words[k] = low;
                words[k + 1] = high;
                if (++low == 0) ++high;
            }
            const uint16_t one = 1;
            if (*reinterpret_cast<const uint8_t*>(&one) == 1) {
                std::memcpy(d->keystream, words, sizeof words);
            } else {
                for (size_t k = 0; k < kAesKeystreamSize / 8; ++k) StoreLE64(d->keystream + 8 * k, words[k]);
            }
            StoreLE64(d->counter, low);
            StoreLE64(d->counter + 8, high);
            if (!AesEncryptBlocks(d->key, d->keystream, d->keystream, kAesKeystreamSize)) return 0;
            d->used = 0;
        }
        // A run of bytes against the keystream made ahead, eight at a time.
        const size_t run = std::min<size_t>(length, kAesKeystreamSize - d->used);
        const uint8_t* key = d->keystream + d->used;
        size_t i = 0;
        for (; i + 8 <= run; i += 8) {
            uint64_t a, b;
            std::memcpy(&a, data + i, 8);
            std::memcpy(&b, key + i, 8);
            a ^= b;
            std::memcpy(data + i, &a, 8);
        }
        for (; i < run; ++i) data[i] ^= key[i];
        data += run;
        length -= run;
        d->used += static_cast<uint32_t>(run);
    }
    return 1;
}

int AesAuthenticateOnly(AesDecryptor* d, const uint8_t* data, size_t length) {
    return HmacSha1Update(d->mac, data, length);
}

int AesCodeMatches(AesDecryptor* d, const uint8_t stored[kAesCodeSize]) {
    uint8_t code[kSha1Size];
    return HmacSha1Finish(d->mac, code) && std::memcmp(code, stored, kAesCodeSize) == 0;
}

void AesEnd(AesDecryptor* d) {
    AesKeyClose(d->key);
    HmacSha1Close(d->mac);
    d->key = nullptr;
    d->mac = nullptr;
}

}  // namespace arcsalve
