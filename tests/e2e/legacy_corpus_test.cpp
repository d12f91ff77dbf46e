// Real archives made by DOS-era archivers (PKZIP 0.9x to 1.10, hwzip and
// others): every shrunk, reduced and imploded entry decodes to the bytes its
// archiver recorded the CRC-32 of.
#include <gtest/gtest.h>

#include "common/crc32.h"
#include "decode/decoders.h"
#include "support/legacy_corpus.h"
#include "support/legacy_harness.h"

namespace arcsalve::test {
namespace {

int DecodeLegacy(DecodeState* state, const CorpusEntry& e) {
    switch (e.method) {
        case 1: return Unshrink(state);
        case 2: case 3: case 4: case 5: return Unreduce(state, e.method - 1);
        case 6: return Explode(state, e.flags);
        default: return -1;
    }
}

// Decodes every unencrypted legacy entry of the archives in `directory`;
// returns how many were checked.
int CheckDirectory(const std::string& directory) {
    int checked = 0;
    for (const std::string& path : ZipFilesIn(directory)) {
        const Bytes archive = ReadFile(path);
        const std::vector<CorpusEntry> entries = ListCorpusEntries(archive);
        EXPECT_FALSE(entries.empty()) << path;
        for (const CorpusEntry& e : entries) {
            if (e.method < 1 || e.method > 6 || (e.flags & 1)) continue;
            SCOPED_TRACE(path + " : " + e.name);
            if (e.dataOffset + e.compressedSize > archive.size()) {
                ADD_FAILURE() << "entry data beyond the end of the archive";
                continue;
            }
            const auto first = archive.begin() + static_cast<long>(e.dataOffset);
            const Bytes stream(first, first + e.compressedSize);
            LegacyRunOptions options;
            options.uncompressedSize = e.uncompressedSize;
            // What follows the data in the archive: the allowance reads it.
            const size_t after = e.dataOffset + e.compressedSize;
            options.trailer.assign(archive.begin() + static_cast<long>(after),
                                   archive.begin() + static_cast<long>(std::min(after + 10, archive.size())));
            const FrameRun run =
                RunLegacy([&e](DecodeState* s) { return DecodeLegacy(s, e); }, stream, options);
            EXPECT_EQ(run.result, 1);
            EXPECT_EQ(run.output.size(), e.uncompressedSize);
            EXPECT_EQ(Crc32Update(0, run.output.data(), run.output.size()), e.crc);
            ++checked;
        }
    }
    return checked;
}

TEST(LegacyCorpus, PermissiveArchivesDecodeWithMatchingCrc) {
    EXPECT_GE(CheckDirectory(LegacyFixturesDir()), 167);
}

TEST(LegacyCorpus, CopyleftArchivesDecodeWithMatchingCrc) {
    if (ZipFilesIn(LegacyCopyleftDir()).empty()) GTEST_SKIP() << "no copyleft corpus beside the project";
    EXPECT_GE(CheckDirectory(LegacyCopyleftDir()), 57);
}

}  // namespace
}  // namespace arcsalve::test
