// Runs a decoder as the salvage does, outside a repair: the compressed data
// sit in a file, read through the archive reader and its byte source, under
// a run of their own. Shared by the fuzz targets of the decoders and the
// benchmarks.
#ifndef ARCSALVE_FUZZ_FILE_DECODE_H
#define ARCSALVE_FUZZ_FILE_DECODE_H

#include <cstring>

#include "common/repair_run.h"
#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"

namespace arcsalve {

struct FileDecode {
    RepairRun run;
    ArchiveReader reader;

    explicit FileDecode(const char* path) {
        run.input = FileOpenRead(path);
        if (IsOpenFile(run.input)) run.inputSize = FileSize(run.input);
        if (run.inputSize == 0) run.inputSize = 1;
        StartArchiveReader(reader, run);
    }
    ~FileDecode() {
        if (IsOpenFile(run.input)) FileClose(run.input);
    }
    FileDecode(const FileDecode&) = delete;
    FileDecode& operator=(const FileDecode&) = delete;

    DecodeContext Context() {
        DecodeContext context;
        context.source = ReaderSource(reader);
        context.status = &run.status;
        return context;
    }

    // Clears a state for a direct decoder call and connects it to the file.
    void Prepare(DecodeState* state) {
        std::memset(state, 0, sizeof *state);
        const DecodeContext context = Context();
        state->source = context.source;
        state->status = context.status;
        state->decodedLimit = context.decodedLimit;
    }
};

}  // namespace arcsalve

#endif  // ARCSALVE_FUZZ_FILE_DECODE_H
