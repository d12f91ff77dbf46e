// The cryptographic primitives from the system's CNG (bcrypt.dll): PBKDF2
// through BCryptDeriveKeyPBKDF2, AES through a symmetric key in ECB mode,
// HMAC-SHA1 through a keyed hash object.
//
// bcrypt.dll is loaded from the system folder on first use rather than
// imported, so that the DLL keeps loading where CNG is missing (before
// Windows Vista); there CryptoAvailable says 0 and AES-encrypted entries are
// copied unverified.
#include "platform/crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <climits>
#include <new>

namespace arcsalve {
namespace {

using OpenProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
using CloseProvider = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
using SetProperty = NTSTATUS(WINAPI*)(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG);
using GenerateKey = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
using DestroyKey = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE);
using Encrypt = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE, PUCHAR, ULONG, VOID*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG*,
                                  ULONG);
using CreateHash = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
using HashData = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
using FinishHash = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
using DestroyHash = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);
using DerivePbkdf2 = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, PUCHAR, ULONG, ULONGLONG, PUCHAR, ULONG,
                                       ULONG);

struct Cng {
    bool loaded = false;
    OpenProvider open = nullptr;
    CloseProvider close = nullptr;
    SetProperty setProperty = nullptr;
    GenerateKey generateKey = nullptr;
    DestroyKey destroyKey = nullptr;
    Encrypt encrypt = nullptr;
    CreateHash createHash = nullptr;
    HashData hashData = nullptr;
    FinishHash finishHash = nullptr;
    DestroyHash destroyHash = nullptr;
    DerivePbkdf2 derive = nullptr;
};

template <typename F>
bool Find(HMODULE module, const char* name, F* out) {
    *out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *out != nullptr;
}

Cng LoadCng() {
    Cng cng;
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof "\\bcrypt.dll" > MAX_PATH) return cng;
    lstrcpyA(path + length, "\\bcrypt.dll");
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) return cng;
    cng.loaded = Find(module, "BCryptOpenAlgorithmProvider", &cng.open) &&
                 Find(module, "BCryptCloseAlgorithmProvider", &cng.close) &&
                 Find(module, "BCryptSetProperty", &cng.setProperty) &&
                 Find(module, "BCryptGenerateSymmetricKey", &cng.generateKey) &&
                 Find(module, "BCryptDestroyKey", &cng.destroyKey) && Find(module, "BCryptEncrypt", &cng.encrypt) &&
                 Find(module, "BCryptCreateHash", &cng.createHash) &&
                 Find(module, "BCryptHashData", &cng.hashData) && Find(module, "BCryptFinishHash", &cng.finishHash) &&
                 Find(module, "BCryptDestroyHash", &cng.destroyHash) &&
                 Find(module, "BCryptDeriveKeyPBKDF2", &cng.derive);
    // The module stays loaded for the life of the process.
    return cng;
}

const Cng& Api() {
    static const Cng cng = LoadCng();
    return cng;
}

bool Ok(NTSTATUS status) { return status >= 0; }

// An HMAC-SHA1 provider, closed by the caller.
BCRYPT_ALG_HANDLE OpenHmacSha1() {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!Ok(Api().open(&provider, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) return nullptr;
    return provider;
}

}  // namespace

struct AesKey {
    BCRYPT_ALG_HANDLE provider;
    BCRYPT_KEY_HANDLE key;
};

struct HmacSha1 {
    BCRYPT_ALG_HANDLE provider;
    BCRYPT_HASH_HANDLE hash;
};

int CryptoAvailable() { return Api().loaded ? 1 : 0; }

int DerivePbkdf2Sha1(const uint8_t* password, size_t passwordLength, const uint8_t* salt, size_t saltLength,
                     uint32_t iterations, uint8_t* out, size_t length) {
    if (!CryptoAvailable() || passwordLength > ULONG_MAX || saltLength > ULONG_MAX || length > ULONG_MAX) return 0;
    BCRYPT_ALG_HANDLE provider = OpenHmacSha1();
    if (provider == nullptr) return 0;
    uint8_t none = 0;  // an empty password still needs a buffer to point at
    const bool ok = Ok(Api().derive(provider, passwordLength ? const_cast<uint8_t*>(password) : &none,
                                    static_cast<ULONG>(passwordLength), const_cast<uint8_t*>(salt),
                                    static_cast<ULONG>(saltLength), iterations, out, static_cast<ULONG>(length), 0));
    Api().close(provider, 0);
    return ok ? 1 : 0;
}

AesKey* AesKeyOpen(const uint8_t* key, size_t keyLength) {
    if (!CryptoAvailable() || (keyLength != 16 && keyLength != 24 && keyLength != 32)) return nullptr;
    AesKey* result = new (std::nothrow) AesKey{nullptr, nullptr};
    if (result == nullptr) return nullptr;
    const Cng& cng = Api();
    static const wchar_t kEcb[] = BCRYPT_CHAIN_MODE_ECB;
    if (!Ok(cng.open(&result->provider, BCRYPT_AES_ALGORITHM, nullptr, 0)) ||
        !Ok(cng.setProperty(result->provider, BCRYPT_CHAINING_MODE,
                            reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kEcb)), sizeof kEcb, 0)) ||
        !Ok(cng.generateKey(result->provider, &result->key, nullptr, 0, const_cast<uint8_t*>(key),
                            static_cast<ULONG>(keyLength), 0))) {
        AesKeyClose(result);
        return nullptr;
    }
    return result;
}

int AesEncryptBlocks(AesKey* key, const uint8_t* in, uint8_t* out, size_t length) {
    if (key == nullptr || length % kAesBlockSize != 0 || length > ULONG_MAX) return 0;
    ULONG written = 0;
    return Ok(Api().encrypt(key->key, const_cast<uint8_t*>(in), static_cast<ULONG>(length), nullptr, nullptr, 0,
                            out, static_cast<ULONG>(length), &written, 0)) &&
           written == length;
}

void AesKeyClose(AesKey* key) {
    if (key == nullptr) return;
    if (key->key != nullptr) Api().destroyKey(key->key);
    if (key->provider != nullptr) Api().close(key->provider, 0);
    delete key;
}

HmacSha1* HmacSha1Open(const uint8_t* key, size_t keyLength) {
    if (!CryptoAvailable() || keyLength > ULONG_MAX) return nullptr;
    HmacSha1* result = new (std::nothrow) HmacSha1{OpenHmacSha1(), nullptr};
    if (result == nullptr) return nullptr;
    if (result->provider == nullptr ||
        !Ok(Api().createHash(result->provider, &result->hash, nullptr, 0, const_cast<uint8_t*>(key),
                             static_cast<ULONG>(keyLength), 0))) {
        HmacSha1Close(result);
        return nullptr;
    }
    return result;
}

int HmacSha1Update(HmacSha1* mac, const uint8_t* data, size_t length) {
    if (mac == nullptr || length > ULONG_MAX) return 0;
    return Ok(Api().hashData(mac->hash, const_cast<uint8_t*>(data), static_cast<ULONG>(length), 0)) ? 1 : 0;
}

int HmacSha1Finish(HmacSha1* mac, uint8_t code[kSha1Size]) {
    return mac != nullptr && Ok(Api().finishHash(mac->hash, code, kSha1Size, 0)) ? 1 : 0;
}

void HmacSha1Close(HmacSha1* mac) {
    if (mac == nullptr) return;
    if (mac->hash != nullptr) Api().destroyHash(mac->hash);
    if (mac->provider != nullptr) Api().close(mac->provider, 0);
    delete mac;
}

}  // namespace arcsalve
