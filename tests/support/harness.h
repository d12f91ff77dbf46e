// What the C++ tests share: a scratch directory, whole files, and a repair
// as RepairFile makes it (the run's limits may be lowered), with callbacks
// that record what it says.
#ifndef ARCSALVE_TESTS_SUPPORT_HARNESS_H
#define ARCSALVE_TESTS_SUPPORT_HARNESS_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/repair_file.h"
#include "arcsalve/arcsalve.h"

namespace arcsalve::test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
}

// A fresh directory, removed with its contents at the end; TMPDIR points
// into it meanwhile, so the library's temporary file is private to the test.
struct Scratch {
    std::string path;
    Scratch() {
        char pattern[] = "/tmp/arcsalve-test-XXXXXX";
        path = ::mkdtemp(pattern);
        ::setenv("TMPDIR", path.c_str(), 1);
    }
    ~Scratch() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// One repair: its result, every message as "level|text", and the output path.
struct Repaired {
    unsigned long result = 0;
    std::vector<std::string> messages;
    std::string output;
    size_t Count(const std::string& line) const {
        size_t n = 0;
        for (const std::string& m : messages) n += m == line;
        return n;
    }
};

inline std::vector<std::string>& RecordedMessages() {
    static std::vector<std::string> messages;
    return messages;
}

inline void ARCSALVE_CALLBACK RecordMessage(int level, const char* text) {
    RecordedMessages().push_back(std::to_string(level) + "|" + text);
}

inline Repaired Repair(const std::string& input, const char* outDir, unsigned long flags,
                       const RunLimits& limits = RunLimits{}) {
    RecordedMessages().clear();
    SetMessageCallback(reinterpret_cast<CallbackAddress>(&RecordMessage));
    std::string in = input, out = outDir != nullptr ? outDir : "";
    Repaired r;
    r.result = arcsalve::Repair(&in[0], outDir != nullptr ? &out[0] : nullptr, flags, nullptr, limits);
    SetMessageCallback(0);
    r.messages = RecordedMessages();
    char* output = nullptr;
    GetFilePaths(nullptr, &output, nullptr);
    r.output = output != nullptr ? output : "";
    return r;
}

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_HARNESS_H
