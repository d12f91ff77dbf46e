#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace arcsalve::test {

TempDir::TempDir(bool privateTmpdir) : privateTmpdir_(privateTmpdir) {
    const char* base = std::getenv("TMPDIR");
    if (base != nullptr) {
        hadTmpdir_ = true;
        savedTmpdir_ = base;
    }
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/arcsalve-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed for " << pattern;
        return;
    }
    path_ = buffer.data();
    if (privateTmpdir_) {
        ::mkdir(LibraryTmp().c_str(), 0700);
        ::setenv("TMPDIR", LibraryTmp().c_str(), 1);
    }
}

TempDir::~TempDir() {
    if (privateTmpdir_) {
        if (hadTmpdir_) ::setenv("TMPDIR", savedTmpdir_.c_str(), 1);
        else ::unsetenv("TMPDIR");
    }
    if (!path_.empty()) RunCommand("rm -rf " + ShellQuote(path_));
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes PatternBytes(size_t size, uint32_t seed, bool compressible) {
    static const char* const kWords[] = {"salvage ", "archive ", "entry ", "local ", "header ",
                                         "deflate ", "stored ", "central ", "\n", "record "};
    Bytes out;
    out.reserve(size);
    uint32_t x = seed * 2654435761u + 1;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        if (compressible) {
            for (const char* w = kWords[(x >> 16) % 10]; *w && out.size() < size; ++w)
                out.push_back(static_cast<uint8_t>(*w));
        } else {
            out.push_back(static_cast<uint8_t>(x >> 16));
        }
    }
    return out;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

int RunCommand(const std::string& command, std::string* output) {
    std::string full = command + " 2>&1";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) return -1;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
        if (output) output->append(chunk, n);
    int status = ::pclose(pipe);
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

}  // namespace arcsalve::test
