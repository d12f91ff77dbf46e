#include "support/frame_harness.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "api/repair_state.h"
#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "platform/platform.h"
#include "salvage/archive_reader.h"

namespace arcsalve {

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/arcsalve-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    if (DIR* dir = ::opendir(path_.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                ::unlink((path_ + "/" + e->d_name).c_str());
            }
        }
        ::closedir(dir);
    }
    ::rmdir(path_.c_str());
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

FrameRun RunThroughFrame(const std::vector<uint8_t>& archive, int64_t compressedSize,
                         const std::function<int(DecodeState*)>& decoder) {
    ScratchDir dir;
    std::string inPath = dir.File("archive.bin");
    std::string outPath = dir.File("decoded.bin");
    WriteWholeFile(inPath, archive);

    FrameRun run;
    g_inputFile = FileOpenRead(inPath.c_str());
    g_inputSize = archive.empty() ? 1 : archive.size();
    FileHandle out = FileCreate(outPath.c_str());
    if (!IsOpenFile(g_inputFile) || !IsOpenFile(out)) return run;
    ResetArchiveReader();

    DecodeState* state = new DecodeState();
    std::memset(state, 0, sizeof(DecodeState));
    state->outputFlag = 1;
    state->outputFile = out;
    state->compressedSize = static_cast<int32_t>(compressedSize < 0 ? static_cast<int64_t>(archive.size()) : compressedSize);
    run.result = decoder(state);
    run.consumed = state->consumed;
    run.endFlag = state->endFlag;
    run.readerPosition = ReaderPosition();
    delete state;

    FileClose(out);
    FileClose(g_inputFile);
    g_inputFile = kNoFile;
    run.output = ReadWholeFile(outPath);
    return run;
}

FrameRun InflateThroughFrame(const std::vector<uint8_t>& archive, int64_t compressedSize) {
    return RunThroughFrame(archive, compressedSize, [](DecodeState* s) { return Inflate(s); });
}

}  // namespace arcsalve
