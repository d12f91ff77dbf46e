// Test code: see legacy_harness.h.
#include "support/legacy_harness.h"

#include <algorithm>
#include <cstring>

#include "decode/decode_frame.h"
#include "support/zip_builder.h"

namespace arcsalve::test {

FrameRun RunLegacy(const std::function<int(DecodeState*)>& decode, const Bytes& stream,
                   const LegacyRunOptions& options) {
    const int64_t compressedSize =
        options.compressedSize < 0 ? static_cast<int64_t>(stream.size()) : options.compressedSize;
    const uint32_t size = options.uncompressedSize;
    return RunThroughFrame(Concat(stream, options.trailer), compressedSize, [&](DecodeState* state) {
        state->uncompressedSize = size;
        return decode(state);
    });
}

Bytes WrapInZip(const Bytes& stream, uint16_t method, uint16_t flags, const Bytes& plain) {
    EntrySpec entry;
    entry.name = "data.bin";
    entry.data = stream;
    entry.plain = plain;
    entry.method = method;
    entry.flags = flags;
    entry.version = 10;
    ZipBuilder zip;
    zip.Add(entry).Finish();
    return zip.bytes();
}

bool HaveUnzip() { return RunCommand("unzip -v >/dev/null") == 0; }

std::string UnzipComplaint(const Bytes& archive) {
    TempDir dir(false);
    WriteFile(dir.File("test.zip"), archive);
    std::string output;
    const int status = RunCommand("unzip -tqq " + ShellQuote(dir.File("test.zip")), &output);
    if (status == 0) return "";
    return output.empty() ? "unzip exit status " + std::to_string(status) : output;
}

Bytes NoiseBytes(size_t n, uint32_t seed, int alphabet) {
    Bytes bytes(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x % static_cast<uint32_t>(alphabet));
    }
    return bytes;
}

Bytes SampleText(size_t n, uint32_t seed) {
    static const char* const kWords[] = {
        "salvage", "archive", "entry", "header", "the", "of", "a", "and", "decoder", "window",
        "dictionary", "code", "bits", "follower", "copy", "length", "distance", "table", "old",
        "disk", "sector", "damaged", "byte", "stream", "PKZIP", "1989", "shrink", "reduce"};
    Bytes out;
    out.reserve(n + 16);
    uint32_t x = seed * 2654435761u + 7;
    while (out.size() < n) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const char* w = kWords[x % (sizeof kWords / sizeof kWords[0])];
        out.insert(out.end(), w, w + std::strlen(w));
        out.push_back((x >> 8) % 11 == 0 ? '\n' : ' ');
    }
    out.resize(n);
    return out;
}

bool IsPrefixOf(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace arcsalve::test
