// Inflate throughput: Inflate through the decoding frame (compressed bytes
// read from a file through the archive reader and the byte source, output
// written to a file in window-sized pieces) against zlib's inflate on the
// same raw deflate streams, in one run.
//
// Corpus (bench_corpus.h): the Python standard library's .py files (text)
// and a large shared library (machine code and tables), each compressed by
// zlib at level 6.
//
// zlib runs twice: file to file with the same I/O shape as ours (64 KB reads,
// 32 KB writes), and memory to memory, its best case. libdeflate, when its
// headers are installed, runs memory to memory, whole buffers: the fastest
// inflate there is, a reference only (the library never links it). The
// summary prints MB/s of uncompressed output and our speed as a ratio of
// each.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "file_decode.h"
#include "support/zlib_oracle.h"

#include "bench_corpus.h"

#ifdef ARCSALVE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

using bench_corpus::Bytes;
using bench_corpus::CpuSeconds;
using bench_corpus::ReadAll;

struct Corpus {
    std::string name;
    Bytes plain;
    Bytes stream;
    std::string streamPath;  // the stream in a file, read as the archive
};

std::string g_scratch;
std::vector<Corpus> g_corpora;

// Best time per run of each (benchmark, corpus), for the summary.
std::map<std::string, double> g_bestSeconds;

void Record(const std::string& key, double seconds) {
    auto it = g_bestSeconds.find(key);
    if (it == g_bestSeconds.end() || seconds < it->second) g_bestSeconds[key] = seconds;
}

void Prepare() {
    const char* base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/arcsalve-bench-XXXXXX";
    std::vector<char> buffer(dir.begin(), dir.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) std::abort();
    g_scratch = buffer.data();
    Corpus py{"python", bench_corpus::PythonCorpus(), {}, {}};
    Corpus so{"shlib", bench_corpus::SharedLibraryCorpus(), {}, {}};
    Corpus both{"both", py.plain, {}, {}};
    both.plain.insert(both.plain.end(), so.plain.begin(), so.plain.end());
    for (Corpus* c : {&py, &so, &both}) {
        c->stream = arcsalve::test::ZlibRawDeflate(c->plain, 6);
        c->streamPath = g_scratch + "/" + c->name + ".deflate";
        std::ofstream(c->streamPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(c->stream.data()), static_cast<std::streamsize>(c->stream.size()));
        std::printf("corpus %-6s %10zu bytes, deflated (zlib 6) to %10zu (%.1f%%)\n", c->name.c_str(), c->plain.size(),
                    c->stream.size(), 100.0 * static_cast<double>(c->stream.size()) / static_cast<double>(c->plain.size()));
        g_corpora.push_back(std::move(*c));
    }
}

// Inflate through the frame: archive file -> archive reader -> byte source ->
// Inflate -> FlushWindow -> output file.
int InflateToFile(const Corpus& c, const std::string& outPath) {
    arcsalve::FileDecode input(c.streamPath.c_str());
    arcsalve::FileHandle out = arcsalve::FileCreate(outPath.c_str());
    auto* ds = static_cast<arcsalve::DecodeState*>(std::calloc(1, sizeof(arcsalve::DecodeState)));
    input.Prepare(ds);
    ds->outputFlag = 1;
    ds->outputFile = out;
    ds->compressedSize = static_cast<int32_t>(c.stream.size());
    int ok = arcsalve::Inflate(ds);
    std::free(ds);
    arcsalve::FileClose(out);
    return ok;
}

// Our inflate, timed.
void BM_Inflate(benchmark::State& state) {
    const Corpus& c = g_corpora[static_cast<size_t>(state.range(0))];
    std::string outPath = g_scratch + "/out-arcsalve";
    for (auto _ : state) {
        double start = CpuSeconds();
        int ok = InflateToFile(c, outPath);
        Record("arcsalve/" + c.name,
               CpuSeconds() - start);
        if (!ok) state.SkipWithError("Inflate failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.plain.size()));
    state.SetLabel(c.name);
}

// zlib with the same job: read the stream from a file in 64 KB pieces, write
// the output to a file in 32 KB pieces.
void BM_ZlibFileToFile(benchmark::State& state) {
    const Corpus& c = g_corpora[static_cast<size_t>(state.range(0))];
    std::string outPath = g_scratch + "/out-zlib";
    std::vector<uint8_t> in(65536), out(32768);
    for (auto _ : state) {
        double start = CpuSeconds();
        int fin = ::open(c.streamPath.c_str(), O_RDONLY);
        int fout = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        z_stream z{};
        inflateInit2(&z, -15);
        int rc = Z_OK;
        while (rc == Z_OK) {
            if (z.avail_in == 0) {
                ssize_t n = ::read(fin, in.data(), in.size());
                if (n <= 0) break;
                z.next_in = in.data();
                z.avail_in = static_cast<uInt>(n);
            }
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            size_t have = out.size() - z.avail_out;
            if (have > 0 && ::write(fout, out.data(), have) != static_cast<ssize_t>(have)) break;
        }
        inflateEnd(&z);
        ::close(fin);
        ::close(fout);
        Record("zlib-file/" + c.name,
               CpuSeconds() - start);
        if (rc != Z_STREAM_END) state.SkipWithError("zlib inflate failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.plain.size()));
    state.SetLabel(c.name);
}

// zlib memory to memory: its best case.
void BM_ZlibMemory(benchmark::State& state) {
    const Corpus& c = g_corpora[static_cast<size_t>(state.range(0))];
    Bytes out(c.plain.size());
    for (auto _ : state) {
        double start = CpuSeconds();
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = const_cast<Bytef*>(c.stream.data());
        z.avail_in = static_cast<uInt>(c.stream.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, Z_FINISH);
        inflateEnd(&z);
        Record("zlib-memory/" + c.name,
               CpuSeconds() - start);
        if (rc != Z_STREAM_END) state.SkipWithError("zlib inflate failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.plain.size()));
    state.SetLabel(c.name);
}

#ifdef ARCSALVE_HAVE_LIBDEFLATE
// libdeflate: the whole stream to the whole output in memory.
void BM_Libdeflate(benchmark::State& state) {
    const Corpus& c = g_corpora[static_cast<size_t>(state.range(0))];
    Bytes out(c.plain.size());
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (auto _ : state) {
        double start = CpuSeconds();
        size_t got = 0;
        libdeflate_result r = libdeflate_deflate_decompress(d, c.stream.data(), c.stream.size(), out.data(),
                                                            out.size(), &got);
        Record("libdeflate/" + c.name, CpuSeconds() - start);
        if (r != LIBDEFLATE_SUCCESS || got != c.plain.size()) state.SkipWithError("libdeflate failed");
    }
    libdeflate_free_decompressor(d);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.plain.size()));
    state.SetLabel(c.name);
}
#endif

// Checks once that our output is byte-identical to the corpus.
bool VerifyOutput(const Corpus& c) {
    std::string outPath = g_scratch + "/verify";
    int ok = InflateToFile(c, outPath);
    bool same = ok && ReadAll(outPath) == c.plain;
    std::remove(outPath.c_str());
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    Prepare();
    for (const Corpus& c : g_corpora) {
        if (c.plain.empty() || !VerifyOutput(c)) {
            std::fprintf(stderr, "corpus %s: %s\n", c.name.c_str(), c.plain.empty() ? "empty" : "output differs");
            return 1;
        }
    }
    for (int i = 0; i < static_cast<int>(g_corpora.size()); ++i) {
        benchmark::RegisterBenchmark("Inflate", BM_Inflate)->Arg(i)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("ZlibFileToFile", BM_ZlibFileToFile)->Arg(i)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("ZlibMemory", BM_ZlibMemory)->Arg(i)->Unit(benchmark::kMillisecond);
#ifdef ARCSALVE_HAVE_LIBDEFLATE
        benchmark::RegisterBenchmark("Libdeflate", BM_Libdeflate)->Arg(i)->Unit(benchmark::kMillisecond);
#endif
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\n%-8s %12s %12s %12s %12s %10s %10s %10s\n", "corpus", "arcsalve", "zlib file", "zlib mem",
                "libdeflate", "vs file", "vs mem", "vs libdefl");
    for (const Corpus& c : g_corpora) {
        double mb = static_cast<double>(c.plain.size()) / 1e6;
        double ours = mb / g_bestSeconds["arcsalve/" + c.name];
        double zfile = mb / g_bestSeconds["zlib-file/" + c.name];
        double zmem = mb / g_bestSeconds["zlib-memory/" + c.name];
        auto ld = g_bestSeconds.find("libdeflate/" + c.name);
        double libdeflate = ld == g_bestSeconds.end() ? 0 : mb / ld->second;  // 0: not built with it
        std::printf("%-8s %7.1f MB/s %7.1f MB/s %7.1f MB/s %7.1f MB/s %9.2fx %9.2fx %9.2fx\n", c.name.c_str(), ours,
                    zfile, zmem, libdeflate, ours / zfile, ours / zmem, libdeflate > 0 ? ours / libdeflate : 0.0);
    }
    for (const char* f : {"/out-arcsalve", "/out-zlib", "/python.deflate", "/shlib.deflate", "/both.deflate"})
        std::remove((g_scratch + f).c_str());
    ::rmdir(g_scratch.c_str());
    return 0;
}
