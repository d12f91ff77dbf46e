// Any byte sequence as a damaged archive: the whole salvage (scan, entry
// salvage, every decoder, re-compression, central directory) must end in an
// archive or a message, never a crash, a hang or an out-of-bounds access.
// Replays files given on the command line like any libFuzzer target.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "arcsalve/arcsalve.h"
#include "common/repair_run.h"
#include "platform/platform.h"
#include "salvage/scan.h"

namespace {

// One private directory per process: the input, the output and the
// library's temporary file.
const std::string& WorkDir() {
    static std::string dir = [] {
        char pattern[] = "/tmp/arcsalve-fuzz-XXXXXX";
        std::string made = ::mkdtemp(pattern);
        ::setenv("TMPDIR", made.c_str(), 1);
        return made;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input = WorkDir() + "/input.zip";
    std::string output = WorkDir() + "/output.zip";
    FILE* f = std::fopen(input.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    arcsalve::RepairRun run;
    run.input = arcsalve::FileOpenRead(input.c_str());
    run.output = arcsalve::FileCreate(output.c_str());
    run.inputSize = size == 0 ? 1 : size;
    // Inputs of odd length run with the extensions, even ones without: both
    // salvages see every kind of input.
    run.flags = (size & 1) ? REPAIR_EXTENSIONS : 0;
    // Every other one moves the saved entries' records to the temporary
    // file as they come, and reads them back from there.
    if (size & 2) run.limits.recordsInMemory = 1;
    if (arcsalve::IsOpenFile(run.input) && arcsalve::IsOpenFile(run.output)) arcsalve::ScanAndRebuild(run);
    arcsalve::FileClose(run.input);
    arcsalve::FileClose(run.output);
    return 0;
}
