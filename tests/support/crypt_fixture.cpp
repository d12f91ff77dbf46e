#include "support/crypt_fixture.h"
#include "support/legacy_corpus.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace arcsalve {
namespace test_crypt {
namespace {

uint32_t Get16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t Get32(const Bytes& b, size_t at) {
    return Get16(b, at) | (static_cast<uint32_t>(Get16(b, at + 2)) << 16);
}

}  // namespace

bool ReadAll(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteAll(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::vector<ZipEntry> ListZip(const Bytes& archive) {
    std::vector<ZipEntry> entries;
    if (archive.size() < 22) return entries;
    size_t end = archive.size() - 22;
    while (Get32(archive, end) != 0x06054B50) {
        if (end == 0) return entries;
        --end;
    }
    uint32_t count = Get16(archive, end + 10);
    size_t at = Get32(archive, end + 16);
    for (uint32_t i = 0; i < count; ++i) {
        if (at + 46 > archive.size() || Get32(archive, at) != 0x02014B50) return {};
        ZipEntry e;
        uint32_t nameLength = Get16(archive, at + 28);
        e.compressedSize = Get32(archive, at + 20);
        e.uncompressedSize = Get32(archive, at + 24);
        e.localOffset = Get32(archive, at + 42);
        if (at + 46 + nameLength > archive.size()) return {};
        e.name.assign(archive.begin() + at + 46, archive.begin() + at + 46 + nameLength);
        at += 46 + nameLength + Get16(archive, at + 30) + Get16(archive, at + 32);
        size_t lh = e.localOffset;
        if (lh + 30 > archive.size() || Get32(archive, lh) != 0x04034B50) return {};
        e.flags = static_cast<uint16_t>(Get16(archive, lh + 6));
        e.method = static_cast<uint16_t>(Get16(archive, lh + 8));
        e.time = static_cast<uint16_t>(Get16(archive, lh + 10));
        e.crc = Get32(archive, lh + 14);
        e.dataOffset = lh + 30 + Get16(archive, lh + 26) + Get16(archive, lh + 28);
        if (e.dataOffset + e.compressedSize > archive.size()) return {};
        entries.push_back(e);
    }
    return entries;
}

std::string LegacyArchive(const std::string& name, bool copyleft) {
    if (!copyleft) return test::LegacyFixturesDir() + "/" + name;
    std::string path = test::LegacyCopyleftDir() + "/" + name;
    return std::filesystem::exists(path) ? path : std::string();
}

}  // namespace test_crypt
}  // namespace arcsalve
