// zlib as an independent oracle for tests and benchmarks: raw deflate
// streams (no zlib header or trailer, as ZIP stores them), raw inflate and
// CRC-32. Header-only and free of gtest, so benchmarks can use it too.
#ifndef ARCSALVE_TESTS_SUPPORT_ZLIB_ORACLE_H
#define ARCSALVE_TESTS_SUPPORT_ZLIB_ORACLE_H

#include <zlib.h>

#include <cstdint>
#include <vector>

namespace arcsalve::test {

// Raw deflate of data by zlib at a level, memLevel (8 is zlib's default; 9
// lets a block hold up to 32767 symbols) and strategy, in one Z_FINISH call.
// Empty when zlib fails: even no input deflates to two bytes.
inline std::vector<uint8_t> ZlibRawDeflate(const std::vector<uint8_t>& data, int level, int memLevel = 8,
                                           int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, strategy) != Z_OK) return {};
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) out.clear();
    return out;
}

// Raw inflate by zlib; false when zlib rejects the data or the stream is
// incomplete, and, unless trailingAllowed, when it does not end exactly at
// the last byte.
inline bool ZlibRawInflate(const std::vector<uint8_t>& compressed, std::vector<uint8_t>* out,
                           bool trailingAllowed = false) {
    out->clear();
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    uint8_t chunk[65536];
    int rc;
    do {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
    } while (rc == Z_OK);
    bool good = rc == Z_STREAM_END && (trailingAllowed || z.avail_in == 0);
    inflateEnd(&z);
    return good;
}

inline uint32_t ZlibCrc32(const std::vector<uint8_t>& data) {
    return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_ZLIB_ORACLE_H
