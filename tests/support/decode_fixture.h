// The files a test of the decoding frame works on: an input written to a
// scratch directory and served through the archive reader, and an output
// file the frame writes what it decodes to.
#ifndef ARCSALVE_TESTS_SUPPORT_DECODE_FIXTURE_H
#define ARCSALVE_TESTS_SUPPORT_DECODE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "decode/decode_frame.h"
#include "platform/platform.h"
#include "support/library_state.h"
#include "support/temp_dir.h"

namespace arcsalve::test {

class DecodeFileTest : public ::testing::Test {
protected:
    // Clears the run flags and starts a fresh output file; a table-driven
    // test calls it again before each case.
    void SetUp() override {
        ClearRunFlags();
        if (output_ != kNoFile) FileClose(output_);
        output_ = FileCreate(dir_.File("out.bin").c_str());
        ASSERT_TRUE(IsOpenFile(output_));
    }
    void TearDown() override {
        if (output_ != kNoFile) FileClose(output_);
        ClearRunFlags();
    }
    // Writes data as the input and opens it as the archive being read.
    void Open(const Bytes& data) {
        data_ = data;
        WriteFile(dir_.File("input.bin"), data);
        input_.reset();
        input_ = std::make_unique<OpenedInput>(dir_.File("input.bin"));
    }
    // A state as DecodeEntry builds it, writing to the output file.
    DecodeState MakeState(int32_t compressedSize) {
        DecodeState s;
        std::memset(&s, 0, sizeof s);
        s.outputFlag = 1;
        s.outputFile = output_;
        s.compressedSize = compressedSize;
        return s;
    }
    // Closes the output file and returns what it holds.
    Bytes Output() {
        FileClose(output_);
        output_ = kNoFile;
        return ReadFile(dir_.File("out.bin"));
    }

    TempDir dir_;
    Bytes data_;
    FileHandle output_ = kNoFile;
    std::unique_ptr<OpenedInput> input_;
};

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_DECODE_FIXTURE_H
