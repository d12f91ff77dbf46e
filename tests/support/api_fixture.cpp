#include "support/api_fixture.h"

#include <ftw.h>
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

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

}  // namespace

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/arcsalve-test.XXXXXX";
    if (::mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

ScratchDir::~ScratchDir() {
    if (!path_.empty()) ::nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

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
