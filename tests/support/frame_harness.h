// Runs a decoder through the real decoding frame: the compressed bytes sit in
// a temporary file opened as the archive, read through the archive reader,
// and the decoder's output lands in another temporary file.
#ifndef ARCSALVE_TESTS_SUPPORT_FRAME_HARNESS_H
#define ARCSALVE_TESTS_SUPPORT_FRAME_HARNESS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace arcsalve {

struct DecodeState;

// A private directory under $TMPDIR (or /tmp), removed with its files.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct FrameRun {
    int result = 0;               // the decoder's result
    std::vector<uint8_t> output;  // the output file's content afterwards
    int32_t consumed = 0;         // bytes the byte source delivered
    uint32_t endFlag = 0;
    uint64_t readerPosition = 0;  // archive offset of the next unread byte
};

// Puts `archive` into the input file, sets the state's compressed size to
// `compressedSize` (all of `archive` when negative) and runs `decoder` on it.
FrameRun RunThroughFrame(const std::vector<uint8_t>& archive, int64_t compressedSize,
                         const std::function<int(DecodeState*)>& decoder);

// The same with Inflate as the decoder.
FrameRun InflateThroughFrame(const std::vector<uint8_t>& archive, int64_t compressedSize = -1);

std::vector<uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_SUPPORT_FRAME_HARNESS_H
