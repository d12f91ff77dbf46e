// Driving the library's process-wide state from tests: the input archive the
// reader serves, the host callbacks (collecting messages and progress), and
// the run flags.
#ifndef ARCSALVE_TESTS_SUPPORT_LIBRARY_STATE_H
#define ARCSALVE_TESTS_SUPPORT_LIBRARY_STATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace arcsalve::test {

// Opens a file as the damaged archive (g_inputFile, g_inputSize) and resets
// the archive reader; closes it again when the object goes.
class OpenedInput {
public:
    explicit OpenedInput(const std::string& path);
    ~OpenedInput();
    OpenedInput(const OpenedInput&) = delete;
    OpenedInput& operator=(const OpenedInput&) = delete;
};

struct Message {
    int level;
    std::string text;
};

// Installs a message and a progress callback that record everything the
// library reports; uninstalls them when the object goes. With
// abortAtProgressCall = n > 0, the n-th progress call answers 0 (stop) and
// every later one too.
class HostCallbacks {
public:
    explicit HostCallbacks(int abortAtProgressCall = 0);
    ~HostCallbacks();
    HostCallbacks(const HostCallbacks&) = delete;
    HostCallbacks& operator=(const HostCallbacks&) = delete;

    const std::vector<Message>& messages() const;
    const std::vector<unsigned long>& progress() const;
    // The texts alone, in order.
    std::vector<std::string> Texts() const;
    // All messages as "level|text" lines, for readable failure output.
    std::string Dump() const;
};

// Clears g_abortRequested and g_writeFailed, and any injected fault.
void ClearRunFlags();

}  // namespace arcsalve::test

#endif  // ARCSALVE_TESTS_SUPPORT_LIBRARY_STATE_H
