// Helpers for the library-boundary and command tests: a private scratch
// directory, whole-file access, and a recorder of the messages and progress
// values the library hands to its host.
#ifndef ARCSALVE_TESTS_SUPPORT_API_FIXTURE_H
#define ARCSALVE_TESTS_SUPPORT_API_FIXTURE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace arcsalve {
namespace test_api {

using test::FileExists;
using test::ScratchDir;

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
