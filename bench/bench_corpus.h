// The compression benchmarks' corpus and clock. Corpus: the Python standard
// library's .py files concatenated (text), and a large shared library
// (machine code and tables). Override with ARCSALVE_BENCH_PYLIB (a
// directory) and ARCSALVE_BENCH_SHLIB (a file).
#ifndef ARCSALVE_BENCH_BENCH_CORPUS_H
#define ARCSALVE_BENCH_BENCH_CORPUS_H

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench_corpus {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string PythonLibDir() {
    if (const char* env = std::getenv("ARCSALVE_BENCH_PYLIB")) return env;
    // The newest python3.X directory under /usr/lib.
    std::string best;
    for (const auto& e : fs::directory_iterator("/usr/lib")) {
        std::string name = e.path().filename().string();
        if (name.rfind("python3.", 0) == 0 && e.is_directory() && name > best) best = name;
    }
    return best.empty() ? std::string() : "/usr/lib/" + best;
}

// The .py files outside site-/dist-packages, in path order, concatenated.
inline Bytes PythonCorpus() {
    std::string dir = PythonLibDir();
    std::vector<fs::path> files;
    if (!dir.empty()) {
        for (const auto& e : fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied)) {
            std::string p = e.path().string();
            if (e.is_regular_file() && e.path().extension() == ".py" && p.find("-packages/") == std::string::npos)
                files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    Bytes all;
    for (const auto& f : files) {
        Bytes b = ReadAll(f);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

inline Bytes SharedLibraryCorpus() {
    if (const char* env = std::getenv("ARCSALVE_BENCH_SHLIB")) return ReadAll(env);
    for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/libcrypto.so.3", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6",
                                  "/usr/lib/x86_64-linux-gnu/libc.so.6"}) {
        if (fs::exists(candidate)) return ReadAll(candidate);
    }
    return Bytes();
}

// Process CPU time (user + system): the machine may be shared, and waiting
// for the processor is no part of either coder's cost.
inline double CpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace bench_corpus

#endif  // ARCSALVE_BENCH_BENCH_CORPUS_H
