// What encryption costs a salvage: one 32 MiB entry decoded through the
// frame (archive reader, byte source, decoder, temporary file), deflated and
// stored, plain, traditionally encrypted and AES-256 encrypted (deciphered
// and authenticated, as the salvage does). The encrypted and plain runs read
// the same compressed bytes; the difference is the cipher's share.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "crypt/aes_zip.h"
#include "crypt/cipher.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "support/zlib_oracle.h"
#include "file_decode.h"

namespace {

using arcsalve::FileHandle;

constexpr size_t kPlainSize = 32 << 20;
const char kPassword[40] = "benchmark password";

// Text of random words: deflates to about half, like ordinary documents.
std::vector<uint8_t> MakeText() {
    std::vector<std::string> words;
    uint32_t x = 11;
    auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
    for (int i = 0; i < 4000; ++i) {
        std::string w;
        for (uint32_t n = 2 + next() % 9; n > 0; --n) w += static_cast<char>('a' + next() % 26);
        words.push_back(w);
    }
    std::vector<uint8_t> text;
    while (text.size() < kPlainSize) {
        const std::string& w = words[next() % words.size()];
        text.insert(text.end(), w.begin(), w.end());
        text.push_back(next() % 8 == 0 ? '\n' : ' ');
    }
    text.resize(kPlainSize);
    return text;
}

// Encryption header (11 filler bytes and a check byte) and data, enciphered.
std::vector<uint8_t> Encipher(const std::vector<uint8_t>& data) {
    arcsalve::CipherKeys keys;
    arcsalve::InitKeys(&keys, kPassword);
    // Sized first: GCC 12 misreads an insert that grows a 12-byte vector.
    std::vector<uint8_t> plain(12 + data.size(), 0x5A);
    std::copy(data.begin(), data.end(), plain.begin() + 12);
    std::vector<uint8_t> out;
    out.reserve(plain.size());
    for (uint8_t p : plain) {
        out.push_back(static_cast<uint8_t>(p ^ arcsalve::KeystreamByte(&keys)));
        arcsalve::UpdateKeys(&keys, p);
    }
    return out;
}

struct Input {
    std::string path;
    uint8_t header[30] = {'P', 'K', 3, 4};
    uint8_t encryptionHeader[12] = {};
    bool encrypted = false;
    uint64_t size = 0;
    bool aes = false;
    arcsalve::AesPrefix prefix = {};
};

// AES-256 data as an AE-2 writer makes it: the keys from the password and a
// fixed salt, the data enciphered in CTR mode (deciphering is the same
// operation), then the first 10 bytes of HMAC-SHA1 over the enciphered data.
std::vector<uint8_t> AesEncipher(const std::vector<uint8_t>& data, arcsalve::AesPrefix* prefix) {
    prefix->strength = 3;
    for (int i = 0; i < 16; ++i) prefix->salt[i] = static_cast<uint8_t>(i * 7 + 1);
    uint8_t derived[66];
    arcsalve::DerivePbkdf2Sha1(reinterpret_cast<const uint8_t*>(kPassword), std::strlen(kPassword), prefix->salt, 16,
                               1000, derived, sizeof derived);
    std::copy(derived + 64, derived + 66, prefix->verifier);
    std::vector<uint8_t> out = data;
    arcsalve::AesDecryptor d;
    arcsalve::AesStart(&d, kPassword, *prefix);
    arcsalve::AesDecrypt(&d, out.data(), out.size());
    arcsalve::AesEnd(&d);
    arcsalve::HmacSha1* mac = arcsalve::HmacSha1Open(derived + 32, 32);
    uint8_t code[20];
    arcsalve::HmacSha1Update(mac, out.data(), out.size());
    arcsalve::HmacSha1Finish(mac, code);
    arcsalve::HmacSha1Close(mac);
    out.insert(out.end(), code, code + 10);
    return out;
}

struct Scratch {
    std::string dir, temp;
    Input deflated, deflatedEncrypted, stored, storedEncrypted, deflatedAes, storedAes;

    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/arcsalve-bench-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        dir = ::mkdtemp(buffer.data());
        temp = dir + "/temp.bin";
        std::vector<uint8_t> text = MakeText();
        std::vector<uint8_t> packed = arcsalve::test::ZlibRawDeflate(text, 6);
        Make(&deflated, "deflated", 8, packed, false);
        Make(&deflatedEncrypted, "deflated-encrypted", 8, packed, true);
        Make(&stored, "stored", 0, text, false);
        Make(&storedEncrypted, "stored-encrypted", 0, text, true);
        MakeAes(&deflatedAes, "deflated-aes", 8, packed);
        MakeAes(&storedAes, "stored-aes", 0, text);
    }

    ~Scratch() {
        for (const Input* in : {&deflated, &deflatedEncrypted, &stored, &storedEncrypted, &deflatedAes, &storedAes})
            std::remove(in->path.c_str());
        std::remove(temp.c_str());
        ::rmdir(dir.c_str());
    }

    // The file holds the entry's data only (the encryption header is handed
    // over apart, as the entry salvage does after reading it).
    void Make(Input* in, const char* name, uint16_t method, const std::vector<uint8_t>& data,
              bool encrypted) {
        std::vector<uint8_t> bytes = encrypted ? Encipher(data) : data;
        if (encrypted) std::copy(bytes.begin(), bytes.begin() + 12, in->encryptionHeader);
        in->path = dir + "/" + name;
        in->encrypted = encrypted;
        in->size = bytes.size() - (encrypted ? 12 : 0);
        arcsalve::StoreLE16(in->header + 6, encrypted ? 1 : 0);
        arcsalve::StoreLE16(in->header + 8, method);
        arcsalve::StoreLE32(in->header + 18, static_cast<uint32_t>(bytes.size()));
        arcsalve::StoreLE32(in->header + 22, kPlainSize);
        FILE* f = std::fopen(in->path.c_str(), "wb");
        std::fwrite(bytes.data() + (encrypted ? 12 : 0), 1, in->size, f);
        std::fclose(f);
    }

    // The file holds the enciphered data and the authentication code (the
    // salt and verification value are handed over apart).
    void MakeAes(Input* in, const char* name, uint16_t method, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> bytes = AesEncipher(data, &in->prefix);
        in->prefix.method = method;
        in->path = dir + "/" + name;
        in->aes = true;
        in->size = bytes.size();
        arcsalve::StoreLE16(in->header + 6, 1);
        arcsalve::StoreLE16(in->header + 8, arcsalve::kMethodAes);
        arcsalve::StoreLE32(in->header + 18, static_cast<uint32_t>(bytes.size() + 18));
        arcsalve::StoreLE32(in->header + 22, kPlainSize);
        FILE* f = std::fopen(in->path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
};

Scratch& Files() {
    static Scratch scratch;
    return scratch;
}

void Decode(benchmark::State& state, const Input& in) {
    for (auto _ : state) {
        arcsalve::FileDecode input(in.path.c_str());
        FileHandle temp = arcsalve::FileCreate(Files().temp.c_str());
        arcsalve::DecodeContext context = input.Context();
        if (in.aes) context.aes = &in.prefix;
        arcsalve::DecodeOutcome outcome{};
        int ok = arcsalve::DecodeEntry(context, in.header, temp, in.encrypted ? 1 : 0, kPassword,
                                       in.encryptionHeader, &outcome);
        if (!ok || arcsalve::FileSize(temp) != kPlainSize || (in.aes && !outcome.authenticated))
            state.SkipWithError("decode failed");
        arcsalve::FileClose(temp);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPlainSize);
    state.counters["input_MB/s"] = benchmark::Counter(
        static_cast<double>(in.size) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

void BM_DeflatedPlain(benchmark::State& state) { Decode(state, Files().deflated); }
void BM_DeflatedEncrypted(benchmark::State& state) { Decode(state, Files().deflatedEncrypted); }
void BM_StoredPlain(benchmark::State& state) { Decode(state, Files().stored); }
void BM_StoredEncrypted(benchmark::State& state) { Decode(state, Files().storedEncrypted); }
BENCHMARK(BM_DeflatedPlain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflatedEncrypted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoredPlain)->Unit(benchmark::kMillisecond);
void BM_DeflatedAes256(benchmark::State& state) { Decode(state, Files().deflatedAes); }
void BM_StoredAes256(benchmark::State& state) { Decode(state, Files().storedAes); }
BENCHMARK(BM_StoredEncrypted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflatedAes256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoredAes256)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
