// Decoding speed of the pre-deflate methods (unshrink, unreduce, explode)
// through the decoding frame, on about 4 MB of mixed text and binary data
// made by the test encoders. Each iteration is a whole entry: the archive
// file is opened and read through the archive reader, the output written to
// a file, as in a repair. Reported as bytes of output per second.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "test_imploder.h"
#include "test_reducer.h"
#include "test_shrinker.h"
#include "file_decode.h"

namespace {

using arcsalve::test::Bytes;

Bytes SampleData() {
    static const char* const kWords[] = {"salvage ", "archive ", "entry ", "the ", "of ", "decoder ",
                                         "window ", "code ", "damaged ", "byte\n", "1989 ", "PKZIP "};
    Bytes out;
    uint32_t x = 12345;
    while (out.size() < 4u << 20) {
        x = x * 1103515245u + 12345u;
        if ((out.size() >> 16) % 4 == 3) {
            out.push_back(static_cast<uint8_t>(x >> 16));  // a binary stretch
        } else {
            const char* w = kWords[(x >> 16) % 12];
            out.insert(out.end(), w, w + std::strlen(w));
        }
    }
    return out;
}

const Bytes& Data() {
    static const Bytes data = SampleData();
    return data;
}

struct BenchFiles {
    std::string archive;
    std::string output;
};

const BenchFiles& Files() {
    static const BenchFiles files = [] {
        char dir[] = "/tmp/arcsalve-bench-XXXXXX";
        if (mkdtemp(dir) == nullptr) std::abort();
        return BenchFiles{std::string(dir) + "/archive", std::string(dir) + "/output"};
    }();
    return files;
}

void RunDecoder(benchmark::State& state, const Bytes& stream, const std::function<int(arcsalve::DecodeState*)>& decode) {
    using namespace arcsalve;
    FILE* f = std::fopen(Files().archive.c_str(), "wb");
    std::fwrite(stream.data(), 1, stream.size(), f);
    std::fclose(f);
    for (auto _ : state) {
        FileDecode input(Files().archive.c_str());
        FileHandle out = FileCreate(Files().output.c_str());
        DecodeState s;
        input.Prepare(&s);
        s.outputFlag = 1;
        s.outputFile = out;
        s.uncompressedSize = static_cast<uint32_t>(Data().size());
        s.compressedSize = static_cast<int32_t>(stream.size());
        if (decode(&s) != 1 || FileSize(out) != Data().size()) state.SkipWithError("decoding failed");
        FileClose(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Data().size()));
    state.counters["ratio"] = static_cast<double>(stream.size()) / static_cast<double>(Data().size());
}

void BM_Unshrink(benchmark::State& state) {
    static const Bytes stream = arcsalve::test::ShrinkForTest(Data());
    RunDecoder(state, stream, [](arcsalve::DecodeState* s) { return arcsalve::Unshrink(s); });
}
BENCHMARK(BM_Unshrink)->Unit(benchmark::kMillisecond);

void BM_Unreduce(benchmark::State& state) {
    const int factor = static_cast<int>(state.range(0));
    arcsalve::test::ReduceOptions options;
    options.factor = factor;
    const Bytes stream = arcsalve::test::ReduceForTest(Data(), options);
    RunDecoder(state, stream, [factor](arcsalve::DecodeState* s) { return arcsalve::Unreduce(s, factor); });
}
BENCHMARK(BM_Unreduce)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_Explode(benchmark::State& state) {
    arcsalve::test::ImplodeOptions options;
    options.largeDictionary = (state.range(0) & 2) != 0;
    options.literalTree = (state.range(0) & 4) != 0;
    const arcsalve::test::Imploded imploded = arcsalve::test::ImplodeForTest(Data(), options);
    const uint16_t flags = imploded.flags;
    RunDecoder(state, imploded.stream, [flags](arcsalve::DecodeState* s) { return arcsalve::Explode(s, flags); });
}
BENCHMARK(BM_Explode)->Arg(0)->Arg(6)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
