#include "support/api_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "arcsalve/arcsalve.h"

namespace arcsalve {
namespace test_api {
namespace {

HostRecorder* g_recorder = nullptr;

void OnMessage(int level, const char* text) {
    if (g_recorder != nullptr) g_recorder->messages.emplace_back(level, text);
}

unsigned long OnProgress(unsigned long value) {
    if (g_recorder == nullptr) return 1;
    g_recorder->progress.push_back(static_cast<uint32_t>(value));
    return g_recorder->progressAnswer;
}

}  // namespace

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void MakeDir(const std::string& path) { ::mkdir(path.c_str(), 0755); }

HostRecorder::HostRecorder() {
    g_recorder = this;
    SetMessageCallback(reinterpret_cast<CallbackAddress>(&OnMessage));
    SetProgressCallback(reinterpret_cast<CallbackAddress>(&OnProgress));
}

HostRecorder::~HostRecorder() {
    SetMessageCallback(0);
    SetProgressCallback(0);
    g_recorder = nullptr;
}

std::vector<std::string> HostRecorder::AtLevel(int level) const {
    std::vector<std::string> out;
    for (const auto& m : messages)
        if (m.first == level) out.push_back(m.second);
    return out;
}

}  // namespace test_api
}  // namespace arcsalve
