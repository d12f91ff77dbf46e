// Shared by the fuzz targets of the pre-deflate decoders: runs a decoder
// through the real decoding frame over a fuzzer input.
//
// Input layout: byte 0 selects the variant (factor or implode flags, as the
// target reads it), bytes 1-3 the recorded uncompressed size (little-endian,
// 24 bits, so a run never produces more than 16 MB), the rest is the
// compressed data. The data are the whole archive, so the byte source meets
// the end of the input as it would in a truncated archive.
#ifndef ARCSALVE_FUZZ_LEGACY_FUZZ_FRAME_H
#define ARCSALVE_FUZZ_LEGACY_FUZZ_FRAME_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "file_decode.h"

namespace arcsalve {

struct FuzzInput {
    uint8_t variant;
    uint32_t uncompressedSize;
    const uint8_t* data;
    size_t size;
};

inline bool SplitFuzzInput(const uint8_t* data, size_t size, FuzzInput* in) {
    if (size < 4) return false;
    in->variant = data[0];
    in->uncompressedSize = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16;
    in->data = data + 4;
    in->size = size - 4;
    return true;
}

// A private directory with the archive file and the decoder's output file,
// made once per fuzzing process.
struct FuzzFiles {
    std::string archive;
    FileHandle output = kNoFile;
};

inline FuzzFiles& GetFuzzFiles() {
    static FuzzFiles files = [] {
        FuzzFiles f;
        char dir[] = "/tmp/arcsalve-fuzz-XXXXXX";
        if (mkdtemp(dir) == nullptr) abort();
        f.archive = std::string(dir) + "/archive";
        f.output = FileCreate((std::string(dir) + "/output").c_str());
        if (!IsOpenFile(f.output)) abort();
        return f;
    }();
    return files;
}

// Runs decode(state) over the input; returns the decoder's result and the
// size of the output it wrote.
template <typename Decode>
int RunFuzzDecoder(const FuzzInput& in, Decode decode, uint64_t* outputSize) {
    FuzzFiles& files = GetFuzzFiles();
    FILE* f = std::fopen(files.archive.c_str(), "wb");
    if (f == nullptr) abort();
    if (in.size > 0) std::fwrite(in.data, 1, in.size, f);
    std::fclose(f);
    FileSeek(files.output, 0);
    FileTruncateHere(files.output);

    FileDecode input(files.archive.c_str());
    if (!IsOpenFile(input.run.input)) abort();
    static DecodeState state;
    input.Prepare(&state);
    state.outputFlag = 1;
    state.outputFile = files.output;
    state.uncompressedSize = in.uncompressedSize;
    state.compressedSize = static_cast<int32_t>(in.size);
    const int result = decode(&state);
    *outputSize = FileSize(files.output);
    return result;
}

}  // namespace arcsalve

#endif  // ARCSALVE_FUZZ_LEGACY_FUZZ_FRAME_H
