// Decryption speed of the traditional cipher: the per-byte cost every byte of
// an encrypted entry pays on top of its decoder.
#include <benchmark/benchmark.h>

#include <vector>

#include "crypt/cipher.h"

namespace {

void BM_DecryptBytes(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    uint32_t x = 1;
    for (auto& b : data) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    for (auto _ : state) {
        arcsalve::CipherKeys keys;
        arcsalve::InitKeys(&keys, "password");
        uint8_t sum = 0;
        for (uint8_t b : data) sum ^= arcsalve::DecryptByte(&keys, b);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_DecryptBytes)->Arg(1 << 20);

// One password tried against one header: the cost of each remembered
// password on every encrypted entry.
void BM_CheckPassword(benchmark::State& state) {
    const uint8_t header[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (auto _ : state)
        benchmark::DoNotOptimize(arcsalve::CheckPassword("a longer password", header, 0, 0, 1));
}
BENCHMARK(BM_CheckPassword);

}  // namespace

BENCHMARK_MAIN();
