#include "support/frame_harness.h"

#include <cstring>
#include <memory>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"
#include "support/library_state.h"

namespace arcsalve::test {

FrameRun RunThroughFrame(const Bytes& archive, int64_t compressedSize,
                         const std::function<int(DecodeState*)>& decoder) {
    TempDir dir;
    WriteFile(dir.File("archive.bin"), archive);
    OpenedInput input(dir.File("archive.bin"));
    FileHandle out = FileCreate(dir.File("decoded.bin").c_str());
    FrameRun run;
    if (!IsOpenFile(out)) return run;

    auto state = std::make_unique<DecodeState>();
    std::memset(state.get(), 0, sizeof(DecodeState));
    state->outputFlag = 1;
    state->outputFile = out;
    state->compressedSize =
        static_cast<int32_t>(compressedSize < 0 ? static_cast<int64_t>(archive.size()) : compressedSize);
    run.result = decoder(state.get());
    run.consumed = state->consumed;
    run.endFlag = state->endFlag;
    run.readerPosition = ReaderPosition();
    FileClose(out);
    run.output = ReadFile(dir.File("decoded.bin"));
    return run;
}

FrameRun InflateThroughFrame(const Bytes& archive, int64_t compressedSize) {
    return RunThroughFrame(archive, compressedSize, [](DecodeState* s) { return Inflate(s); });
}

}  // namespace arcsalve::test
