// Shared helpers of the compressor's tests: run the compressor in memory,
// check it against zlib, make repeatable test data.
#ifndef ARCSALVE_TESTS_UNIT_DEFLATE_TEST_UTIL_H
#define ARCSALVE_TESTS_UNIT_DEFLATE_TEST_UTIL_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/run_flags.h"
#include "recompress/deflate.h"
#include "recompress/recompress_stream.h"
#include "support/zlib_oracle.h"

namespace arcsalve {
namespace testing_support {

using Bytes = std::vector<uint8_t>;

// DeflateEntry over a memory stream. *crc receives the stream's CRC-32.
inline Bytes DeflateBytes(const Bytes& input, uint32_t* crc = nullptr, int* ok = nullptr,
                          MemorySink* sinkOut = nullptr) {
    RecompressStream stream;
    MemorySink sink;
    InitMemoryStream(&stream, input.data(), input.size(), &sink);
    int result = DeflateEntry(&stream);
    if (result) FinishSink(&stream);
    if (crc) *crc = StreamCrc(&stream);
    if (ok) *ok = result;
    if (sinkOut) *sinkOut = sink;
    return sink.bytes;
}

// Raw deflate with zlib at a level and strategy (memLevel 9: blocks of up
// to 32767 symbols, like ours).
inline Bytes ZlibDeflate(const Bytes& input, int level, int strategy = Z_DEFAULT_STRATEGY) {
    return test::ZlibRawDeflate(input, level, 9, strategy);
}

// Repeatable pseudo-random numbers (xorshift64*).
struct TestRandom {
    uint64_t state;
    explicit TestRandom(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t Next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
};

inline Bytes RandomBytes(size_t n, uint64_t seed) {
    TestRandom r(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(r.Next() >> 24);
    return b;
}

// Sentences of words with a skewed choice of words, like prose.
inline Bytes TextBytes(size_t n, uint64_t seed) {
    static const char* const kWords[] = {
        "the", "of", "and", "a", "to", "in", "is", "archive", "entry", "header", "data",
        "that", "it", "for", "was", "on", "are", "with", "as", "be", "at", "by", "this",
        "from", "damaged", "central", "directory", "local", "signature", "compressed",
        "window", "block", "length", "distance", "literal", "bytes", "salvage", "record",
        "offset", "method", "deflate", "stored", "password", "temporary", "output", "input"};
    constexpr size_t kCount = sizeof kWords / sizeof kWords[0];
    TestRandom r(seed);
    std::string s;
    while (s.size() < n) {
        size_t words = 4 + r.Below(12);
        for (size_t w = 0; w < words; ++w) {
            // Squaring the uniform pick favours the first words.
            uint32_t u = r.Below(1000);
            size_t i = (u * u / 1000) * kCount / 1000;
            std::string word = kWords[i];
            if (w == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
            s += word;
            s += w + 1 < words ? " " : (r.Below(5) == 0 ? ".\n" : ". ");
        }
        if (r.Below(7) == 0) s += std::to_string(r.Next() % 100000) + "\n";
    }
    s.resize(n);
    return Bytes(s.begin(), s.end());
}

// A fresh compressor state writing into a memory sink, for driving the
// block writer directly.
struct BlockRig {
    RecompressStream stream;
    MemorySink sink;
    DeflateState* state;
    BlockRig() {
        InitMemoryStream(&stream, nullptr, 0, &sink);
        state = static_cast<DeflateState*>(std::calloc(1, sizeof(DeflateState)));
        state->stream = &stream;
        ResetBitWriter(state);
        InitCodeTables(state);
    }
    ~BlockRig() { std::free(state); }
    BlockRig(const BlockRig&) = delete;
    BlockRig& operator=(const BlockRig&) = delete;
    // One last block of literals only, none of its bytes in the window.
    Bytes LiteralBlock(const Bytes& literals) {
        for (uint8_t b : literals) RecordItem(state, 0, b);
        EmitBlock(state, nullptr, static_cast<uint32_t>(literals.size()), 1);
        FinishSink(&stream);
        return sink.bytes;
    }
};

}  // namespace testing_support
}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_UNIT_DEFLATE_TEST_UTIL_H
