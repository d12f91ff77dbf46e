#include "repair_check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "arcsalve/arcsalve.h"
#include "strict_zip.h"
#include "api/repair_file.h"

namespace arcsalve::test {
namespace {

// The classic behaviour, each extension alone, and both.
constexpr unsigned long kModes[] = {0, REPAIR_TRAILING_DESCRIPTORS, REPAIR_KEEP_INTACT, REPAIR_EXTENSIONS};

// A wrong password first, so that the notice and the second prompt run too,
// then the passwords of the encrypted test archives.
constexpr const char* kPasswords[] = {"wrong", "12345678", "test", "password", "pw"};
// Prompts answered with OK in one run before the host starts to skip: a
// run of many encrypted entries stays bounded.
constexpr int kMaxAnswers = 40;

constexpr char kSummaryHead[] = "Salvage attempt complete";
constexpr char kAborted[] = "Salvage Aborted";
constexpr char kWriteError[] = "Unable to write to output file";

struct Host {
    std::vector<std::pair<int, std::string>> messages;
    std::string badProgress;
    int answers = 0;
};
Host g_host;

void ARCSALVE_CALLBACK OnMessage(int level, const char* text) {
    g_host.messages.emplace_back(level, text != nullptr ? text : "(null)");
}

unsigned long ARCSALVE_CALLBACK OnProgress(unsigned long percent) {
    if ((percent < 1 || percent > 100) && g_host.badProgress.empty())
        g_host.badProgress = "progress value " + std::to_string(percent);
    return 1;
}

int ARCSALVE_CALLBACK OnPassword(HWND, const char*, char* password) {
    if (g_host.answers >= kMaxAnswers) return 0;
    const char* answer = kPasswords[g_host.answers++ % (sizeof kPasswords / sizeof kPasswords[0])];
    std::strcpy(password, answer);
    return 1;
}

void ARCSALVE_CALLBACK OnNotice(HWND, const char*, const char*, unsigned long) {}

bool WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool Said(const char* text) {
    for (const auto& m : g_host.messages)
        if (m.second == text) return true;
    return false;
}

long FilesFound() {
    for (const auto& m : g_host.messages) {
        long n;
        int end = 0;
        if (std::sscanf(m.second.c_str(), "  %ld files found%n", &n, &end) == 1 &&
            static_cast<size_t>(end) == m.second.size())
            return n;
    }
    return -1;
}

bool HasSignatureIn(const uint8_t* data, size_t size, uint64_t from, uint64_t to) {
    for (uint64_t at = from; at < to && at + 4 <= size; ++at)
        if (std::memcmp(data + at, "PK\3\4", 4) == 0) return true;
    return false;
}

// The entries of an input that a repair must bring back whole, in file
// order; false when the input is not such a clean archive. Clean: the strict
// reader accepts it with no byte outside its entries and central directory,
// names fit the salvage's limit, and no signature starts in the last 8 bytes
// of an entry's data (the scan looks at them again after an entry and may
// rightly take such a signature for an entry).
bool CleanEntries(const uint8_t* data, size_t size, std::vector<StrictEntry>* entries) {
    StrictOptions options;
    options.keepData = true;
    if (!CheckStrictZip(data, size, entries, options).empty()) return false;
    std::sort(entries->begin(), entries->end(),
              [](const StrictEntry& a, const StrictEntry& b) { return a.localOffset < b.localOffset; });
    for (const StrictEntry& e : *entries) {
        // An AES entry comes back decrypted, or copied unverified.
        if (e.name.size() > 270 || e.method == 99) return false;
        uint64_t from = e.dataEnd >= 8 ? e.dataEnd - 8 : 0;
        if (HasSignatureIn(data, size, from, e.dataEnd)) return false;
    }
    return true;
}

std::string CompareWithInput(const std::vector<StrictEntry>& wanted, const std::vector<StrictEntry>& got) {
    size_t at = 0;
    for (const StrictEntry& w : wanted) {
        while (at < got.size() && !(got[at].name == w.name && got[at].data == w.data)) ++at;
        if (at == got.size()) return "entry " + w.name + " of a clean input is lost or changed";
        ++at;
    }
    return "";
}

std::string Judge(const std::string& output, const uint8_t* data, size_t size, size_t* entries) {
    if (!g_host.badProgress.empty()) return g_host.badProgress;
    if (!Said(kSummaryHead)) {
        if (Said(kAborted) || Said(kWriteError)) return "";
        return "the run ended without a summary";
    }
    std::vector<StrictEntry> got;
    StrictOptions options;
    options.opaqueMethods = true;
    std::string error = CheckStrictZipFile(output, &got, options);
    if (!error.empty()) return "rebuilt archive: " + error;
    if (entries != nullptr) *entries = got.size();
    if (static_cast<long>(got.size()) > FilesFound())
        return "more entries (" + std::to_string(got.size()) + ") than files found";
    std::vector<StrictEntry> wanted;
    if (CleanEntries(data, size, &wanted)) return CompareWithInput(wanted, got);
    return "";
}

}  // namespace

std::string RepairAndCheck(const uint8_t* data, size_t size, const std::string& workDir,
                           size_t* entries) {
    if (entries != nullptr) *entries = 0;
    const std::string input = workDir + "/in/damaged.zip";
    const std::string outputDir = workDir + "/out";
    if (!WriteWhole(input, data, size)) return "cannot write " + input;

    g_host = Host();
    CallbackAddress previous[] = {
        SetMessageCallback(reinterpret_cast<CallbackAddress>(&OnMessage)),
        SetProgressCallback(reinterpret_cast<CallbackAddress>(&OnProgress)),
        SetPasswordCallback(reinterpret_cast<CallbackAddress>(&OnPassword)),
        SetNoticeCallback(reinterpret_cast<CallbackAddress>(&OnNotice)),
    };
    std::vector<char> in(input.begin(), input.end());
    in.push_back('\0');
    std::vector<char> out(outputDir.begin(), outputDir.end());
    out.push_back('\0');
    const unsigned long flags = REPAIR_OVERWRITE | kModes[size % 4];
    // Each input gets passwords of its own: none remembered from the inputs
    // before it.
    PasswordMemory passwords;
    const unsigned long result = Repair(in.data(), out.data(), flags, nullptr, RunLimits{}, &passwords);
    SetMessageCallback(previous[0]);
    SetProgressCallback(previous[1]);
    SetPasswordCallback(previous[2]);
    SetNoticeCallback(previous[3]);

    if (result != REPAIR_OK) return "RepairFile returned " + std::to_string(result);
    return Judge(outputDir + "/damaged.zip", data, size, entries);
}

}  // namespace arcsalve::test
