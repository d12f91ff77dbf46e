// Helpers for the library-boundary and command tests: a private scratch
// directory, whole-file access, and a recorder of the messages and progress
// values the library hands to its host.
#ifndef ARCSALVE_TESTS_SUPPORT_API_FIXTURE_H
#define ARCSALVE_TESTS_SUPPORT_API_FIXTURE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace arcsalve {
namespace test_api {

// A directory made with mkdtemp under $TMPDIR (or /tmp), removed with all it
// holds (recursively) when the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool FileExists(const std::string& path);
// The whole file; "<missing>" when it cannot be read.
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
void MakeDir(const std::string& path);

// Installs itself as the library's message and progress callback for its
// lifetime (and removes both afterwards).
class HostRecorder {
public:
    HostRecorder();
    ~HostRecorder();
    HostRecorder(const HostRecorder&) = delete;
    HostRecorder& operator=(const HostRecorder&) = delete;

    std::vector<std::pair<int, std::string>> messages;
    std::vector<uint32_t> progress;
    uint32_t progressAnswer = 1;  // what the progress callback returns
    // The messages at `level`, in order.
    std::vector<std::string> AtLevel(int level) const;
};

}  // namespace test_api
}  // namespace arcsalve

#endif  // ARCSALVE_TESTS_SUPPORT_API_FIXTURE_H
