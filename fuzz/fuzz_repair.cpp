// Any byte sequence as the damaged archive of a whole RepairFile call, with
// the host's callbacks answering password prompts. Beyond "no crash, no hang,
// no out-of-bounds access": a run that completes must leave an archive our
// strict reader accepts, every entry's CRC-32 matching its data, and a clean
// archive must come back with all its entries (see repair_check.h).
// Replays files given on the command line like any libFuzzer target; the
// inputs it once failed on live in tests/fixtures/regress/ and are replayed
// by the test program too.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "repair_check.h"

namespace {

// One private directory per process: input, output and the library's
// temporary file.
const std::string& WorkDir() {
    static std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzz-repair-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) == nullptr) std::abort();
        std::string made(buffer.data());
        for (const char* sub : {"/in", "/out", "/tmp"})
            if (::mkdir((made + sub).c_str(), 0700) != 0) std::abort();
        ::setenv("TMPDIR", (made + "/tmp").c_str(), 1);
        return made;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string verdict = arcsalve::test::RepairAndCheck(data, size, WorkDir());
    if (!verdict.empty()) {
        std::fprintf(stderr, "fuzz_repair: %s\n", verdict.c_str());
        std::abort();
    }
    return 0;
}
