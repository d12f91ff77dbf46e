// CRC-32 speed: the dispatcher, the folding and table paths, and zlib's
// crc32 (and libdeflate's, when its headers are installed) on the same
// buffers, from 64 bytes to 16 MiB, each read from a cached buffer.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <vector>

#include "common/crc32.h"
#ifdef ARCSALVE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

const std::vector<uint8_t>& Data() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d((16 << 20) + 64);
        uint32_t x = 1;
        for (auto& b : d) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
        return d;
    }();
    return data;
}

template <typename Fn>
void Run(benchmark::State& state, Fn fn) {
    const uint8_t* p = Data().data() + 1;  // one byte past the alignment, as an entry's data often is
    const size_t n = static_cast<size_t>(state.range(0));
    uint32_t crc = 0;
    for (auto _ : state) benchmark::DoNotOptimize(crc = fn(crc, p, n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc32(benchmark::State& s) { Run(s, arcsalve::Crc32Update); }
void BM_Crc32Table(benchmark::State& s) { Run(s, arcsalve::Crc32UpdateTable); }
void BM_Crc32Clmul(benchmark::State& s) {
    if (!arcsalve::Crc32HasClmul()) return s.SkipWithError("no carry-less multiplication");
    Run(s, arcsalve::Crc32UpdateClmul);
}
void BM_ZlibCrc32(benchmark::State& s) {
    Run(s, [](uint32_t c, const uint8_t* p, size_t n) { return uint32_t(crc32(c, p, uInt(n))); });
}
#define SIZES ->Arg(64)->Arg(1024)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)
BENCHMARK(BM_Crc32) SIZES;
BENCHMARK(BM_Crc32Clmul) SIZES;
BENCHMARK(BM_Crc32Table) SIZES;
BENCHMARK(BM_ZlibCrc32) SIZES;
#ifdef ARCSALVE_HAVE_LIBDEFLATE
void BM_LibdeflateCrc32(benchmark::State& s) {
    Run(s, [](uint32_t c, const uint8_t* p, size_t n) { return uint32_t(libdeflate_crc32(c, p, n)); });
}
BENCHMARK(BM_LibdeflateCrc32) SIZES;
#endif

}  // namespace

BENCHMARK_MAIN();
