// Test code: see legacy_corpus.h.
#include "support/legacy_corpus.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>

#include "common/little_endian.h"

namespace arcsalve::test {

std::vector<CorpusEntry> ListCorpusEntries(const std::vector<uint8_t>& a) {
    std::vector<CorpusEntry> entries;
    if (a.size() < 22) return entries;
    size_t end = a.size() - 22;
    while (end > 0 && LoadLE32(&a[end]) != 0x06054B50) --end;
    if (LoadLE32(&a[end]) != 0x06054B50) return entries;
    const uint16_t count = LoadLE16(&a[end + 10]);
    size_t p = LoadLE32(&a[end + 16]);
    for (uint16_t i = 0; i < count && p + 46 <= a.size() && LoadLE32(&a[p]) == 0x02014B50; ++i) {
        CorpusEntry e;
        const uint16_t nameLength = LoadLE16(&a[p + 28]);
        const uint16_t extraLength = LoadLE16(&a[p + 30]);
        const uint16_t commentLength = LoadLE16(&a[p + 32]);
        e.method = LoadLE16(&a[p + 10]);
        e.crc = LoadLE32(&a[p + 16]);
        e.compressedSize = LoadLE32(&a[p + 20]);
        e.uncompressedSize = LoadLE32(&a[p + 24]);
        e.name.assign(reinterpret_cast<const char*>(&a[p + 46]), nameLength);
        const size_t local = LoadLE32(&a[p + 42]);
        if (local + 30 <= a.size()) {
            e.flags = LoadLE16(&a[local + 6]);
            e.dataOffset = local + 30 + LoadLE16(&a[local + 26]) + LoadLE16(&a[local + 28]);
            entries.push_back(e);
        }
        p += 46 + nameLength + extraLength + commentLength;
    }
    return entries;
}

std::vector<std::string> ZipFilesIn(const std::string& directory) {
    std::vector<std::string> files;
    DIR* d = ::opendir(directory.c_str());
    if (d == nullptr) return files;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0) files.push_back(directory + "/" + name);
    }
    ::closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

std::string LegacyFixturesDir() { return std::string(ARCSALVE_FIXTURES_DIR) + "/legacy"; }
// ARCSALVE_SHARED_DIR in the environment points elsewhere (a worktree that
// does not sit beside the shared folder).
std::string LegacyCopyleftDir() {
    const char* shared = std::getenv("ARCSALVE_SHARED_DIR");
    return std::string(shared && *shared ? shared : ARCSALVE_SHARED_DIR) + "/corpus/legacy-copyleft";
}

}  // namespace arcsalve::test
