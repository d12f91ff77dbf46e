#include "support/zipcrypto_writer.h"

#include "support/zlib_oracle.h"

namespace arcsalve {
namespace test_crypt {
namespace {

// One bit at a time, so nothing is shared with the library's CRC table.
uint32_t BitwiseCrcStep(uint32_t reg, uint8_t byte) {
    reg ^= byte;
    for (int k = 0; k < 8; ++k) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
    return reg;
}

struct Keys {
    uint32_t k[3] = {305419896u, 591751049u, 878082192u};

    void Feed(uint8_t plain) {
        k[0] = BitwiseCrcStep(k[0], plain);
        k[1] = (k[1] + (k[0] & 0xFF)) * 0x08088405u + 1;
        k[2] = BitwiseCrcStep(k[2], static_cast<uint8_t>(k[1] >> 24));
    }
    uint8_t Stream() const {
        uint32_t t = (k[2] & 0xFFFF) | 2;
        return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
    }
    uint8_t Encipher(uint8_t plain) {
        uint8_t c = plain ^ Stream();
        Feed(plain);
        return c;
    }
};

Keys KeysFor(const std::string& password) {
    Keys keys;
    for (char c : password) keys.Feed(static_cast<uint8_t>(c));
    return keys;
}

void Put16(Bytes* out, uint32_t v) {
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes* out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void PutBytes(Bytes* out, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    out->insert(out->end(), b, b + n);
}

// The decrypted form of an encryption header: 11 filler bytes, then the
// check byte.
Bytes PlainHeader(uint8_t check, uint32_t* seed) {
    Bytes plain;
    for (int i = 0; i < 11; ++i) {
        *seed = *seed * 1103515245u + 12345u;
        plain.push_back(static_cast<uint8_t>(*seed >> 16));
    }
    plain.push_back(check);
    return plain;
}

}  // namespace

CryptEntry Encrypted(const std::string& name, const Bytes& data, const std::string& password,
                     uint16_t method) {
    CryptEntry e;
    e.name = name;
    e.data = data;
    e.password = password;
    e.method = method;
    return e;
}

CryptEntry Plain(const std::string& name, const Bytes& data, uint16_t method) {
    CryptEntry e = Encrypted(name, data, "", method);
    e.encrypted = false;
    return e;
}

Bytes Encipher(const std::string& password, const Bytes& plain) {
    Keys keys = KeysFor(password);
    Bytes out;
    out.reserve(plain.size());
    for (uint8_t p : plain) out.push_back(keys.Encipher(p));
    return out;
}

Bytes EncryptionHeader(const std::string& password, uint8_t check, uint32_t seed) {
    return Encipher(password, PlainHeader(check, &seed));
}

Bytes BuildZip(const std::vector<CryptEntry>& entries, std::vector<size_t>* offsets) {
    Bytes out;
    if (offsets) offsets->clear();
    Bytes central;
    uint32_t seed = 7;
    for (const CryptEntry& e : entries) {
        uint32_t crc = test::ZlibCrc32(e.data);
        Bytes body = e.method == 8 ? test::ZlibRawDeflate(e.data, 6) : e.data;
        uint16_t flags = (e.encrypted ? 1 : 0) | (e.dataDescriptor ? 8 : 0);
        if (e.encrypted) {
            uint8_t check = e.dataDescriptor ? static_cast<uint8_t>(e.time >> 8)
                                             : static_cast<uint8_t>(crc >> 24);
            Bytes plain = PlainHeader(check, &seed);
            plain.insert(plain.end(), body.begin(), body.end());
            body = Encipher(e.password, plain);
        }
        uint32_t csize = static_cast<uint32_t>(body.size());
        uint32_t usize = static_cast<uint32_t>(e.data.size());
        bool zeros = e.dataDescriptor && !e.sizesInLocalHeader;
        uint32_t offset = static_cast<uint32_t>(out.size());
        if (offsets) offsets->push_back(offset);

        Put32(&out, 0x04034B50);
        Put16(&out, 20);
        Put16(&out, flags);
        Put16(&out, e.method);
        Put16(&out, e.time);
        Put16(&out, e.date);
        Put32(&out, zeros ? 0 : crc);
        Put32(&out, zeros ? 0 : csize);
        Put32(&out, zeros ? 0 : usize);
        Put16(&out, static_cast<uint32_t>(e.name.size()));
        Put16(&out, 0);
        PutBytes(&out, e.name.data(), e.name.size());
        PutBytes(&out, body.data(), body.size());
        if (e.dataDescriptor) {
            Put32(&out, 0x08074B50);
            Put32(&out, crc);
            Put32(&out, csize);
            Put32(&out, usize);
        }

        Put32(&central, 0x02014B50);
        Put16(&central, 0x0314);  // made by: Unix, 2.0
        Put16(&central, 20);
        Put16(&central, flags);
        Put16(&central, e.method);
        Put16(&central, e.time);
        Put16(&central, e.date);
        Put32(&central, crc);
        Put32(&central, csize);
        Put32(&central, usize);
        Put16(&central, static_cast<uint32_t>(e.name.size()));
        Put16(&central, 0);
        Put16(&central, 0);
        Put16(&central, 0);
        Put16(&central, 0);
        Put32(&central, 0x81A40000u);  // -rw-r--r--
        Put32(&central, offset);
        PutBytes(&central, e.name.data(), e.name.size());
    }
    uint32_t centralOffset = static_cast<uint32_t>(out.size());
    PutBytes(&out, central.data(), central.size());
    Put32(&out, 0x06054B50);
    Put16(&out, 0);
    Put16(&out, 0);
    Put16(&out, static_cast<uint32_t>(entries.size()));
    Put16(&out, static_cast<uint32_t>(entries.size()));
    Put32(&out, static_cast<uint32_t>(central.size()));
    Put32(&out, centralOffset);
    Put16(&out, 0);
    return out;
}

}  // namespace test_crypt
}  // namespace arcsalve
