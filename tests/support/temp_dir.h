// Per-test scratch directories and whole-file helpers.
#ifndef ARCSALVE_TESTS_SUPPORT_TEMP_DIR_H
#define ARCSALVE_TESTS_SUPPORT_TEMP_DIR_H

#include <cstdint>
#include <string>
#include <vector>

namespace arcsalve::test {

using Bytes = std::vector<uint8_t>;

// A fresh directory under $TMPDIR (else /tmp), removed with everything in it
// when the object goes. With privateTmpdir, TMPDIR is pointed at a
// subdirectory "tmp" of it for the object's lifetime, so the library's
// "arcsalve.tmp" of one test never meets another test's.
class TempDir {
public:
    explicit TempDir(bool privateTmpdir = true);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name.
    std::string File(const std::string& name) const;
    std::string operator/(const std::string& name) const { return File(name); }
    // The directory the library uses for its temporary file.
    std::string LibraryTmp() const { return File("tmp"); }

private:
    std::string path_;
    std::string savedTmpdir_;
    bool hadTmpdir_ = false;
    bool privateTmpdir_ = false;
};

// A TempDir that leaves TMPDIR as it is, for tests that set it for the
// command they run or that check what the library does with the caller's.
class ScratchDir : public TempDir {
public:
    ScratchDir() : TempDir(false) {}
};

// Whole-file I/O; both fail the current test on error.
void WriteFile(const std::string& path, const Bytes& data);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Bytes of a string, without a terminator.
Bytes ToBytes(const std::string& text);
// Deterministic filler: `size` bytes from a simple generator. With
// compressible set, text-like runs that deflate well; otherwise noise.
Bytes PatternBytes(size_t size, uint32_t seed, bool compressible = false);
// a followed by b.
Bytes Concat(const Bytes& a, const Bytes& b);

// Runs a shell command; returns its exit status (-1 if it could not run) and
// puts what it wrote to stdout and stderr into *output when given.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Quotes a path for the shell.
std::string ShellQuote(const std::string& text);

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_TEMP_DIR_H
