// Deflate throughput and compressed size: DeflateEntry (the compressor the
// rebuilt archive's entries go through) against zlib at levels 1, 3 and 6 on
// the same data, memory to memory, in one run.
//
// Corpus (bench_corpus.h): the Python standard library's .py files (text)
// and a large shared library (machine code and tables).
//
// The summary prints MB/s of input and the compressed size of each, and our
// speed and size as ratios to each zlib level's. Times are process CPU time,
// best of the repetitions, since the machine may be shared.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "recompress/recompress_stream.h"
#include "support/zlib_oracle.h"

#include "bench_corpus.h"

namespace {

using bench_corpus::Bytes;
using bench_corpus::CpuSeconds;

struct Corpus {
    std::string name;
    Bytes plain;
};

std::vector<Corpus> g_corpora;
const int kZlibLevels[] = {1, 3, 6};

std::map<std::string, double> g_bestSeconds;
std::map<std::string, size_t> g_sizes;

void Record(const std::string& key, double seconds, size_t size) {
    auto it = g_bestSeconds.find(key);
    if (it == g_bestSeconds.end() || seconds < it->second) g_bestSeconds[key] = seconds;
    g_sizes[key] = size;
}

// DeflateEntry over a memory stream: the compressor alone, without the
// temporary file's reads and the archive's writes.
Bytes DeflateOurs(const Bytes& data) {
    arcsalve::RecompressStream stream;
    arcsalve::MemorySink sink;
    sink.bytes.reserve(data.size() + data.size() / 8 + 1024);
    sink.writeSizes.reserve(data.size() / 1024 + 16);
    arcsalve::InitMemoryStream(&stream, data.data(), data.size(), &sink);
    if (!arcsalve::DeflateEntry(&stream)) return Bytes();
    arcsalve::FinishSink(&stream);
    return std::move(sink.bytes);
}

Bytes DeflateZlib(const Bytes& data, int level) { return arcsalve::test::ZlibRawDeflate(data, level); }

bool InflatesTo(const Bytes& compressed, const Bytes& expected) {
    Bytes out;
    return arcsalve::test::ZlibRawInflate(compressed, &out) && out == expected;
}

void BM_DeflateEntry(benchmark::State& state) {
    const Corpus& c = g_corpora[static_cast<size_t>(state.range(0))];
    for (auto _ : state) {
        double start = CpuSeconds();
        Bytes out = DeflateOurs(c.plain);
        Record("arcsalve/" + c.name, CpuSeconds() - start, out.size());
        if (out.empty()) state.SkipWithError("DeflateEntry failed");
        state.counters["size"] = static_cast<double>(out.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.plain.size()));
    state.SetLabel(c.name);
}

void BM_Zlib(benchmark::State& state) {
    const Corpus& c = g_corpora[static_cast<size_t>(state.range(0))];
    int level = static_cast<int>(state.range(1));
    for (auto _ : state) {
        double start = CpuSeconds();
        Bytes out = DeflateZlib(c.plain, level);
        Record("zlib" + std::to_string(level) + "/" + c.name, CpuSeconds() - start, out.size());
        state.counters["size"] = static_cast<double>(out.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.plain.size()));
    state.SetLabel(c.name);
}

}  // namespace

int main(int argc, char** argv) {
    Corpus py{"python", bench_corpus::PythonCorpus()};
    Corpus so{"shlib", bench_corpus::SharedLibraryCorpus()};
    for (Corpus* c : {&py, &so}) {
        std::printf("corpus %-6s %10zu bytes\n", c->name.c_str(), c->plain.size());
        if (c->plain.empty() || !InflatesTo(DeflateOurs(c->plain), c->plain)) {
            std::fprintf(stderr, "corpus %s: %s\n", c->name.c_str(),
                         c->plain.empty() ? "empty" : "our output does not inflate back");
            return 1;
        }
        g_corpora.push_back(std::move(*c));
    }
    for (int i = 0; i < static_cast<int>(g_corpora.size()); ++i) {
        benchmark::RegisterBenchmark("DeflateEntry", BM_DeflateEntry)->Arg(i)->Unit(benchmark::kMillisecond);
        for (int level : kZlibLevels)
            benchmark::RegisterBenchmark("Zlib", BM_Zlib)->Args({i, level})->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\n%-7s %-9s %10s %12s %12s %12s\n", "corpus", "coder", "MB/s", "size", "speed ratio",
                "size ratio");
    for (const Corpus& c : g_corpora) {
        double mb = static_cast<double>(c.plain.size()) / 1e6;
        std::string oursKey = "arcsalve/" + c.name;
        if (!g_bestSeconds.count(oursKey)) continue;
        double ours = mb / g_bestSeconds[oursKey];
        std::printf("%-7s %-9s %10.1f %12zu\n", c.name.c_str(), "arcsalve", ours, g_sizes[oursKey]);
        for (int level : kZlibLevels) {
            std::string key = "zlib" + std::to_string(level) + "/" + c.name;
            if (!g_bestSeconds.count(key)) continue;
            double speed = mb / g_bestSeconds[key];
            // Ratios: ours divided by zlib's (speed above 1 is faster, size
            // below 1 is smaller).
            std::printf("%-7s zlib -%d   %10.1f %12zu %11.2fx %11.3fx\n", c.name.c_str(), level, speed, g_sizes[key],
                        ours / speed, static_cast<double>(g_sizes[oursKey]) / static_cast<double>(g_sizes[key]));
        }
    }
    return 0;
}
