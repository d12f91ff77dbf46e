// Throughput of the salvage's byte paths: the signature scan over input that
// holds no entry (every byte through ReadByte and the state machine), the
// stored copy (the byte source, the copy buffer and the 1000-byte writes),
// and, as the floor both are measured against, reading the same file in
// 64 KiB blocks.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "salvage/scan.h"
#include "file_decode.h"

namespace {

using arcsalve::FileHandle;

constexpr size_t kInputSize = 32 << 20;

// A scratch file of kInputSize noise bytes; "PK" pairs occur as in any
// random data, full signatures practically never.
struct Scratch {
    std::string input, output, temp;
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string dir = std::string(base && *base ? base : "/tmp") + "/arcsalve-bench-XXXXXX";
        std::vector<char> pattern(dir.begin(), dir.end());
        pattern.push_back('\0');
        dir = ::mkdtemp(pattern.data());
        input = dir + "/input.bin";
        output = dir + "/output.zip";
        temp = dir + "/temp.bin";
        std::vector<uint8_t> data(kInputSize);
        uint32_t x = 7;
        for (auto& b : data) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
        FILE* f = std::fopen(input.c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
};

Scratch& Files() {
    static Scratch scratch;
    return scratch;
}

void BM_ReadFileFloor(benchmark::State& state) {
    std::vector<uint8_t> block(64 << 10);
    for (auto _ : state) {
        FileHandle in = arcsalve::FileOpenRead(Files().input.c_str());
        uint64_t sum = 0;
        uint32_t n;
        while ((n = arcsalve::FileRead(in, block.data(), static_cast<uint32_t>(block.size()))) > 0)
            sum += block[n - 1];
        benchmark::DoNotOptimize(sum);
        arcsalve::FileClose(in);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kInputSize);
}
BENCHMARK(BM_ReadFileFloor)->Unit(benchmark::kMillisecond);

void BM_ScanWithoutEntries(benchmark::State& state) {
    for (auto _ : state) {
        arcsalve::RepairRun run;
        run.input = arcsalve::FileOpenRead(Files().input.c_str());
        run.output = arcsalve::FileCreate(Files().output.c_str());
        run.inputSize = kInputSize;
        arcsalve::ScanAndRebuild(run);
        arcsalve::FileClose(run.input);
        arcsalve::FileClose(run.output);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kInputSize);
}
BENCHMARK(BM_ScanWithoutEntries)->Unit(benchmark::kMillisecond);

void BM_CopyStoredEntry(benchmark::State& state) {
    uint8_t header[30] = {'P', 'K', 3, 4};
    arcsalve::StoreLE32(header + 18, kInputSize);
    arcsalve::StoreLE32(header + 22, kInputSize);
    const char password[40] = {};
    for (auto _ : state) {
        arcsalve::FileDecode input(Files().input.c_str());
        FileHandle temp = arcsalve::FileCreate(Files().temp.c_str());
        benchmark::DoNotOptimize(arcsalve::DecodeEntry(input.Context(), header, temp, 0, password, nullptr));
        arcsalve::FileClose(temp);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kInputSize);
}
BENCHMARK(BM_CopyStoredEntry)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
