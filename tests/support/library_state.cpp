#include "support/library_state.h"

#include <gtest/gtest.h>

#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "common/run_flags.h"
#include "decode/decode_testing.h"
#include "platform/platform.h"
#include "platform/platform_testing.h"
#include "salvage/archive_reader.h"

namespace arcsalve::test {
namespace {

struct Recorded {
    std::vector<Message> messages;
    std::vector<unsigned long> progress;
    int abortAt = 0;
};
Recorded g_recorded;

void ARCSALVE_CALLBACK RecordMessage(int level, const char* text) {
    g_recorded.messages.push_back({level, text});
}

unsigned long ARCSALVE_CALLBACK RecordProgress(unsigned long percent) {
    g_recorded.progress.push_back(percent);
    if (g_recorded.abortAt > 0 && g_recorded.progress.size() >= static_cast<size_t>(g_recorded.abortAt))
        return 0;
    return 1;
}

}  // namespace

OpenedInput::OpenedInput(const std::string& path) {
    g_inputFile = FileOpenRead(path.c_str());
    if (!IsOpenFile(g_inputFile)) ADD_FAILURE() << "cannot open " << path;
    uint64_t size = FileSize(g_inputFile);
    g_inputSize = size == 0 ? 1 : size;
    ResetArchiveReader();
}

OpenedInput::~OpenedInput() {
    FileClose(g_inputFile);
    g_inputFile = kNoFile;
}

HostCallbacks::HostCallbacks(int abortAtProgressCall) {
    g_recorded = Recorded();
    g_recorded.abortAt = abortAtProgressCall;
    SetMessageCallback(reinterpret_cast<CallbackAddress>(&RecordMessage));
    SetProgressCallback(reinterpret_cast<CallbackAddress>(&RecordProgress));
}

HostCallbacks::~HostCallbacks() {
    SetMessageCallback(0);
    SetProgressCallback(0);
}

const std::vector<Message>& HostCallbacks::messages() const { return g_recorded.messages; }
const std::vector<unsigned long>& HostCallbacks::progress() const { return g_recorded.progress; }

std::vector<std::string> HostCallbacks::Texts() const {
    std::vector<std::string> texts;
    for (const Message& m : g_recorded.messages) texts.push_back(m.text);
    return texts;
}

std::string HostCallbacks::Dump() const {
    std::string out;
    for (const Message& m : g_recorded.messages) out += std::to_string(m.level) + "|" + m.text + "\n";
    return out;
}

void ClearRunFlags() {
    g_abortRequested = 0;
    g_writeFailed = 0;
    PlatformClearFaults();
    InjectAllocFailure(-1);
}

}  // namespace arcsalve::test
