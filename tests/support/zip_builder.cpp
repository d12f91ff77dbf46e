#include "support/zip_builder.h"

#include <zlib.h>

namespace arcsalve::test {
namespace {

void Put16(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

const Bytes& PlainOf(const EntrySpec& e) { return e.plain ? *e.plain : e.data; }
uint32_t CrcOf(const EntrySpec& e) { return e.crc ? *e.crc : ZlibCrc32(PlainOf(e)); }
uint32_t CompressedOf(const EntrySpec& e) {
    return e.compressedSize ? *e.compressedSize : static_cast<uint32_t>(e.data.size());
}
uint32_t UncompressedOf(const EntrySpec& e) {
    return e.uncompressedSize ? *e.uncompressedSize : static_cast<uint32_t>(PlainOf(e).size());
}
uint16_t NameLengthOf(const EntrySpec& e) {
    return e.nameLength ? *e.nameLength : static_cast<uint16_t>(e.name.size());
}

}  // namespace

uint32_t ZlibCrc32(const Bytes& data) {
    return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

Bytes LocalHeader(const EntrySpec& e) {
    Bytes out;
    Put32(out, 0x04034B50);            // signature "PK", 3, 4
    Put16(out, e.version);             // version needed to extract
    Put16(out, e.flags);               // general-purpose flags
    Put16(out, e.method);              // compression method
    Put16(out, e.time);                // MS-DOS time
    Put16(out, e.date);                // MS-DOS date
    Put32(out, CrcOf(e));              // CRC-32
    Put32(out, CompressedOf(e));       // compressed size
    Put32(out, UncompressedOf(e));     // uncompressed size
    Put16(out, NameLengthOf(e));       // file name length
    Put16(out, static_cast<uint32_t>(e.extra.size()));  // extra field length
    out.insert(out.end(), e.name.begin(), e.name.end());
    out.insert(out.end(), e.extra.begin(), e.extra.end());
    return out;
}

ZipBuilder& ZipBuilder::Add(const EntrySpec& entry) {
    offsets_.push_back(bytes_.size());
    entries_.push_back(entry);
    Bytes header = LocalHeader(entry);
    bytes_.insert(bytes_.end(), header.begin(), header.end());
    bytes_.insert(bytes_.end(), entry.data.begin(), entry.data.end());
    return *this;
}

ZipBuilder& ZipBuilder::Stored(const std::string& name, const Bytes& data) {
    EntrySpec e;
    e.name = name;
    e.data = data;
    return Add(e);
}

ZipBuilder& ZipBuilder::Raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

ZipBuilder& ZipBuilder::Finish() {
    size_t start = bytes_.size();
    for (size_t i = 0; i < entries_.size(); ++i) {
        const EntrySpec& e = entries_[i];
        Put32(bytes_, 0x02014B50);         // signature "PK", 1, 2
        Put16(bytes_, 20);                 // version made by
        Put16(bytes_, e.version);          // version needed
        Put16(bytes_, e.flags);
        Put16(bytes_, e.method);
        Put16(bytes_, e.time);
        Put16(bytes_, e.date);
        Put32(bytes_, CrcOf(e));
        Put32(bytes_, CompressedOf(e));
        Put32(bytes_, UncompressedOf(e));
        Put16(bytes_, static_cast<uint32_t>(e.name.size()));
        Put16(bytes_, 0);                  // extra field length
        Put16(bytes_, 0);                  // comment length
        Put16(bytes_, 0);                  // disk number start
        Put16(bytes_, 0);                  // internal attributes
        Put32(bytes_, 0);                  // external attributes
        Put32(bytes_, static_cast<uint32_t>(offsets_[i]));
        bytes_.insert(bytes_.end(), e.name.begin(), e.name.end());
    }
    size_t size = bytes_.size() - start;
    Put32(bytes_, 0x06054B50);             // signature "PK", 5, 6
    Put16(bytes_, 0);
    Put16(bytes_, 0);
    Put16(bytes_, static_cast<uint32_t>(entries_.size()));
    Put16(bytes_, static_cast<uint32_t>(entries_.size()));
    Put32(bytes_, static_cast<uint32_t>(size));
    Put32(bytes_, static_cast<uint32_t>(start));
    Put16(bytes_, 0);                      // comment length
    return *this;
}

}  // namespace arcsalve::test
