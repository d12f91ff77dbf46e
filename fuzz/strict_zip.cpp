#include "strict_zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace arcsalve::test {
namespace {

constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kDescriptorSignature = 0x08074B50;
constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kChunk = 65536;
constexpr uint64_t kInMemory = 256u << 20;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16; }
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

// Well-formed UTF-8 (no overlong forms, surrogates or code points above
// U+10FFFF): what bit 11 promises about a name.
bool IsUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const uint8_t b = static_cast<uint8_t>(s[i]);
        size_t more = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 4;
        if (more == 4 || i + more >= s.size()) return false;
        uint32_t cp = more == 0 ? b : b & (0x3F >> more);
        for (size_t k = 1; k <= more; ++k) {
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
            cp = cp << 6 | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        }
        static const uint32_t kLowest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLowest[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

std::string Fail(const char* format, unsigned long long a = 0, unsigned long long b = 0) {
    char line[200];
    std::snprintf(line, sizeof line, format, a, b);
    return line;
}

struct Reader {
    const StrictReadAt& readAt;
    uint64_t fileSize;

    bool Read(uint64_t offset, void* out, size_t size) const {
        if (offset > fileSize || size > fileSize - offset) return false;
        return readAt(offset, out, size) == size;
    }
};

// The end record: the last "PK", 5, 6 whose comment runs exactly to the end
// of the file.
std::string FindEnd(const Reader& in, uint64_t* endOffset, uint8_t end[kEndSize]) {
    if (in.fileSize < kEndSize) return "shorter than an end record";
    uint64_t lowest = in.fileSize - kEndSize > 0xFFFF ? in.fileSize - kEndSize - 0xFFFF : 0;
    std::vector<uint8_t> tail(static_cast<size_t>(in.fileSize - lowest));
    if (!in.Read(lowest, tail.data(), tail.size())) return "cannot read the tail";
    for (size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
        const uint8_t* p = tail.data() + at;
        if (Le32(p) != kEndSignature) continue;
        if (at + kEndSize + Le16(p + 20) != tail.size()) continue;
        std::memcpy(end, p, kEndSize);
        *endOffset = lowest + at;
        return "";
    }
    return "no end record";
}

struct Directory {
    uint64_t records = 0;
    uint64_t size = 0;
    uint64_t offset = 0;
    uint64_t end = 0;  // where the central directory must end
};

// The end record's fields, or the ZIP64 end record's where a locator stands
// right in front of it. A 16- or 32-bit field either holds the real value or
// is all ones and leaves it to the ZIP64 record.
std::string ReadDirectory(const Reader& in, Directory* dir) {
    uint64_t endOffset = 0;
    uint8_t end[kEndSize] = {};
    std::string error = FindEnd(in, &endOffset, end);
    if (!error.empty()) return error;
    if (Le16(end + 4) != 0 || Le16(end + 6) != 0) return "end record names another disk";
    if (Le16(end + 8) != Le16(end + 10)) return "end record: records on this disk differ from the total";
    dir->records = Le16(end + 10);
    dir->size = Le32(end + 12);
    dir->offset = Le32(end + 16);
    dir->end = endOffset;

    uint8_t locator[kZip64LocatorSize];
    if (endOffset < kZip64LocatorSize ||
        !in.Read(endOffset - kZip64LocatorSize, locator, sizeof locator) ||
        Le32(locator) != kZip64LocatorSignature)
        return "";
    if (Le32(locator + 4) != 0 || Le32(locator + 16) != 1) return "ZIP64 locator names another disk";
    const uint64_t zip64Offset = Le64(locator + 8);
    uint8_t record[kZip64EndSize];
    if (!in.Read(zip64Offset, record, sizeof record) || Le32(record) != kZip64EndSignature)
        return "ZIP64 locator points at no ZIP64 end record";
    if (zip64Offset + 12 + Le64(record + 4) != endOffset - kZip64LocatorSize)
        return "ZIP64 end record does not end at its locator";
    if (Le32(record + 16) != 0 || Le32(record + 20) != 0) return "ZIP64 end record names another disk";
    if (Le64(record + 24) != Le64(record + 32)) return "ZIP64 end record: disk and total counts differ";
    const uint64_t records = Le64(record + 32), size = Le64(record + 40), offset = Le64(record + 48);
    if (dir->records != 0xFFFF && dir->records != records) return "end record and ZIP64 record count differently";
    if (dir->size != 0xFFFFFFFF && dir->size != size) return "end record and ZIP64 record size differ";
    if (dir->offset != 0xFFFFFFFF && dir->offset != offset) return "end record and ZIP64 record offset differ";
    dir->records = records;
    dir->size = size;
    dir->offset = offset;
    dir->end = zip64Offset;
    return "";
}

// Streams an entry's data through zlib or the CRC alone and checks size and
// CRC-32; deflated data must end exactly at the compressed size.
std::string CheckData(const Reader& in, uint64_t dataOffset, StrictEntry* entry, bool keep) {
    if (entry->method != 0 && entry->method != 8) {  // opaque: the compressed bytes
        if (dataOffset > in.fileSize || entry->compressedSize > in.fileSize - dataOffset)
            return "opaque data runs past the end";
        if (keep) entry->data.resize(static_cast<size_t>(std::min<uint64_t>(entry->compressedSize, kInMemory)));
        return in.Read(dataOffset, entry->data.data(), entry->data.size()) ? "" : "opaque data cannot be read";
    }
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    std::unique_ptr<uint8_t[]> plain(new uint8_t[kChunk]);
    uLong crc = crc32(0, nullptr, 0);
    uint64_t produced = 0;
    auto take = [&](const uint8_t* bytes, size_t n) -> bool {
        produced += n;
        if (produced > entry->size) return false;
        crc = crc32(crc, bytes, static_cast<uInt>(n));
        if (keep) entry->data.insert(entry->data.end(), bytes, bytes + n);
        return true;
    };

    if (entry->method == 0) {
        for (uint64_t done = 0; done < entry->compressedSize;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, entry->compressedSize - done));
            if (!in.Read(dataOffset + done, chunk.get(), n)) return "stored data runs past the end";
            if (!take(chunk.get(), n)) return "stored data longer than its size";
            done += n;
        }
    } else {
        z_stream z{};
        if (inflateInit2(&z, -15) != Z_OK) return "zlib cannot start";
        std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&z, inflateEnd);
        uint64_t fed = 0;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            if (z.avail_in == 0) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, entry->compressedSize - fed));
                if (n == 0) return "deflated data ends before its stream does";
                if (!in.Read(dataOffset + fed, chunk.get(), n)) return "deflated data runs past the end";
                fed += n;
                z.next_in = chunk.get();
                z.avail_in = static_cast<uInt>(n);
            }
            z.next_out = plain.get();
            z.avail_out = kChunk;
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) return "zlib refuses the deflated data: " + std::string(z.msg ? z.msg : "?");
            if (!take(plain.get(), kChunk - z.avail_out)) return "deflated data longer than its size";
        }
        if (z.avail_in != 0 || fed != entry->compressedSize)
            return "deflate stream ends before the compressed size";
    }
    if (produced != entry->size) return Fail("data is %llu bytes, recorded %llu", produced, entry->size);
    if (crc != entry->crc) return Fail("CRC-32 %08llX, recorded %08llX", crc, entry->crc);
    return "";
}

// An AES-encrypted entry (method 99, encrypted) cannot be read without its
// password: only its framing is checked. Both headers carry the same extra
// field, whose 0x9901 block must be well formed (version 1 or 2, "AE",
// strength 1 to 3; any method inside, as an entry copied unverified keeps
// what it said), and the data must hold at
// least the salt, verification value and authentication code.
std::string CheckAesFraming(const Reader& in, uint64_t centralExtra, uint64_t localExtra, uint16_t extraLength,
                            uint64_t dataOffset, const StrictEntry& entry) {
    std::string central(extraLength, '\0'), local(extraLength, '\0');
    if (!in.Read(centralExtra, &central[0], extraLength) || !in.Read(localExtra, &local[0], extraLength))
        return "extra field runs past the end";
    if (central != local) return "local and central extra fields differ";
    const auto* e = reinterpret_cast<const uint8_t*>(central.data());
    for (size_t at = 0; at + 4 <= extraLength; at += 4 + Le16(e + at + 2)) {
        if (Le16(e + at) != 0x9901) continue;
        const uint8_t* b = e + at + 4;
        if (Le16(e + at + 2) != 7 || at + 11 > extraLength) return "malformed 0x9901 block";
        if (Le16(b) < 1 || Le16(b) > 2 || b[2] != 'A' || b[3] != 'E' || b[4] < 1 || b[4] > 3)
            return "malformed 0x9901 block";
        if (entry.compressedSize < 4u + 4u * b[4] + 12u) return "AES data shorter than its framing";
        uint8_t last;
        if (!in.Read(dataOffset + entry.compressedSize - 1, &last, 1)) return "AES data runs past the end";
        return "";
    }
    return "AES entry without its 0x9901 block";
}

// The central record at *offset (moved past it) and its local header and data.
std::string ReadEntry(const Reader& in, uint64_t* offset, const StrictOptions& options,
                      StrictEntry* entry) {
    uint8_t c[kCentralSize];
    if (!in.Read(*offset, c, sizeof c)) return "central record runs past the end";
    if (Le32(c) != kCentralSignature) return "central record without its signature";
    const uint16_t nameLength = Le16(c + 28), extraLength = Le16(c + 30), commentLength = Le16(c + 32);
    entry->flags = Le16(c + 8);
    entry->method = Le16(c + 10);
    const bool aes = entry->method == 99 && (entry->flags & 1);
    const bool opaque = options.opaqueMethods && entry->method != 0 && entry->method != 8;
    if (Le16(c + 6) > (opaque ? 63 : aes ? 51 : 45)) return Fail("version needed %llu", Le16(c + 6));
    entry->crc = Le32(c + 16);
    entry->compressedSize = Le32(c + 20);
    entry->size = Le32(c + 24);
    entry->localOffset = Le32(c + 42);
    if (Le16(c + 34) != 0) return "entry starts on another disk";
    if (entry->compressedSize == 0xFFFFFFFF || entry->size == 0xFFFFFFFF || entry->localOffset == 0xFFFFFFFF)
        return "ZIP64 entry fields";
    if (nameLength == 0) return "empty name";
    if ((entry->flags & 1) && !aes && !opaque) return "encrypted entry";
    if ((entry->flags & 8) && !options.allowDescriptors && !(opaque && (entry->flags & 1)))
        return "data descriptor flag";
    if (entry->method != 0 && entry->method != 8 && !aes && !opaque) return Fail("method %llu", entry->method);
    if (entry->method == 0 && entry->compressedSize != entry->size) return "stored sizes differ";
    entry->name.resize(nameLength);
    if (!in.Read(*offset + kCentralSize, &entry->name[0], nameLength)) return "central name runs past the end";
    if ((entry->flags & 0x800) && !IsUtf8(entry->name)) return "name flagged UTF-8 is not UTF-8";
    const uint64_t centralExtra = *offset + kCentralSize + nameLength;
    *offset += kCentralSize + nameLength + extraLength + commentLength;

    uint8_t l[kLocalSize];
    if (!in.Read(entry->localOffset, l, sizeof l) || Le32(l) != kLocalSignature)
        return "no local header where the central record points";
    if (Le16(l + 6) != entry->flags) return "local and central flags differ";
    if (Le16(l + 8) != entry->method) return "local and central methods differ";
    if (Le16(l + 26) != nameLength) return "local and central name lengths differ";
    std::string localName(nameLength, '\0');
    if (!in.Read(entry->localOffset + kLocalSize, &localName[0], nameLength) || localName != entry->name)
        return "local and central names differ";
    const bool descriptor = (entry->flags & 8) != 0;
    const uint32_t localCrc = Le32(l + 14), localCompressed = Le32(l + 18), localSize = Le32(l + 22);
    const bool zeros = localCrc == 0 && localCompressed == 0 && localSize == 0;
    if ((localCrc != entry->crc || localCompressed != entry->compressedSize || localSize != entry->size) &&
        !(descriptor && zeros))
        return "local and central sizes or CRC-32 differ";
    const uint64_t dataOffset = entry->localOffset + kLocalSize + nameLength + Le16(l + 28);
    if (aes && Le16(l + 28) != extraLength) return "local and central extra fields differ";
    std::string error = aes ? CheckAesFraming(in, centralExtra, entry->localOffset + kLocalSize + nameLength,
                                              extraLength, dataOffset, *entry)
                            : CheckData(in, dataOffset, entry, options.keepData);
    // Method 99 without its block: copied as it was, like any method with no decoder.
    if (aes && opaque && error == "AES entry without its 0x9901 block") error = CheckData(in, dataOffset, entry, options.keepData);
    if (!error.empty()) return error;
    entry->dataEnd = dataOffset + entry->compressedSize;
    if (descriptor) {
        uint8_t d[16];
        if (!in.Read(entry->dataEnd, d, 12)) return "descriptor runs past the end";
        size_t at = 0;
        if (Le32(d) == kDescriptorSignature) {
            if (!in.Read(entry->dataEnd, d, 16)) return "descriptor runs past the end";
            at = 4;
        }
        if (Le32(d + at) != entry->crc || Le32(d + at + 4) != entry->compressedSize ||
            Le32(d + at + 8) != entry->size)
            return "descriptor differs from the central record";
        entry->dataEnd += at + 12;
    }
    return "";
}

}  // namespace

std::string CheckStrictZip(const StrictReadAt& readAt, uint64_t fileSize,
                           std::vector<StrictEntry>* entries, const StrictOptions& options) {
    const Reader in{readAt, fileSize};
    Directory dir;
    std::string error = ReadDirectory(in, &dir);
    if (!error.empty()) return error;
    if (dir.offset + dir.size != dir.end) return "central directory does not end at the end record";

    std::vector<StrictEntry> found;
    uint64_t offset = dir.offset;
    for (uint64_t i = 0; i < dir.records; ++i) {
        if (offset >= dir.end) return Fail("%llu central records announced, %llu found", dir.records, i);
        StrictEntry entry;
        error = ReadEntry(in, &offset, options, &entry);
        if (!error.empty()) return Fail("entry %llu: ", i) + entry.name + ": " + error;
        found.push_back(std::move(entry));
    }
    if (offset != dir.end) return "central directory holds more than its records";

    std::vector<const StrictEntry*> byOffset;
    for (const StrictEntry& e : found) byOffset.push_back(&e);
    std::sort(byOffset.begin(), byOffset.end(),
              [](const StrictEntry* a, const StrictEntry* b) { return a->localOffset < b->localOffset; });
    uint64_t reached = 0;
    for (const StrictEntry* e : byOffset) {
        if (e->localOffset < reached) return "entries overlap: " + e->name;
        if (options.contiguous && e->localOffset != reached) return "gap before entry " + e->name;
        reached = e->dataEnd;
    }
    if (reached > dir.offset) return "entry data runs into the central directory";
    if (options.contiguous && reached != dir.offset) return "gap before the central directory";
    if (entries != nullptr) *entries = std::move(found);
    return "";
}

std::string CheckStrictZip(const uint8_t* data, size_t size, std::vector<StrictEntry>* entries,
                           const StrictOptions& options) {
    StrictReadAt readAt = [data, size](uint64_t offset, void* out, size_t n) -> size_t {
        if (offset > size) return 0;
        size_t available = std::min<size_t>(n, size - static_cast<size_t>(offset));
        if (available > 0) std::memcpy(out, data + offset, available);
        return available;
    };
    return CheckStrictZip(readAt, size, entries, options);
}

std::string CheckStrictZipFile(const std::string& path, std::vector<StrictEntry>* entries,
                               const StrictOptions& options) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) return "cannot open " + path;
    if (fseeko(f.get(), 0, SEEK_END) != 0) return "cannot seek in " + path;
    const uint64_t size = static_cast<uint64_t>(ftello(f.get()));
    // Archives of a usual size are checked in memory: far fewer system calls
    // for archives of many small entries.
    if (size <= kInMemory) {
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        if (fseeko(f.get(), 0, SEEK_SET) != 0 || std::fread(bytes.data(), 1, bytes.size(), f.get()) != size)
            return "cannot read " + path;
        return CheckStrictZip(bytes.data(), bytes.size(), entries, options);
    }
    StrictReadAt readAt = [&f](uint64_t offset, void* out, size_t n) -> size_t {
        if (fseeko(f.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
        return std::fread(out, 1, n, f.get());
    };
    return CheckStrictZip(readAt, size, entries, options);
}

}  // namespace arcsalve::test
