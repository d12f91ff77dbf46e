#include "support/repair_run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "api/repair_state.h"
#include "arcsalve/arcsalve.h"
#include "common/run_flags.h"
#include "platform/platform.h"
#include "salvage/scan.h"

namespace arcsalve::test {
namespace {

std::vector<std::string> TextsOf(const std::vector<Message>& messages) {
    std::vector<std::string> texts;
    for (const Message& m : messages) texts.push_back(m.text);
    return texts;
}

std::string DumpOf(const std::vector<Message>& messages) {
    std::string out;
    for (const Message& m : messages) out += std::to_string(m.level) + "|" + m.text + "\n";
    return out;
}

}  // namespace

std::vector<std::string> ScanOutcome::Texts() const { return TextsOf(messages); }
std::string ScanOutcome::Dump() const { return DumpOf(messages); }

ScanOutcome RunScan(const std::string& inputPath, const std::string& outputPath,
                    int abortAtProgressCall, unsigned long flags) {
    ScanOutcome outcome{};
    {
        HostCallbacks host(abortAtProgressCall);
        g_inputFile = FileOpenRead(inputPath.c_str());
        g_outputFile = FileCreate(outputPath.c_str());
        if (!IsOpenFile(g_inputFile) || !IsOpenFile(g_outputFile)) {
            ADD_FAILURE() << "cannot open " << inputPath << " or create " << outputPath;
        } else {
            uint64_t size = FileSize(g_inputFile);
            g_inputSize = size == 0 ? 1 : size;
            std::snprintf(OutputPath, sizeof OutputPath, "%s", outputPath.c_str());
            g_abortRequested = 0;
            g_writeFailed = 0;
            g_repairFlags = static_cast<uint32_t>(flags);
            ScanAndRebuild();
        }
        FileClose(g_inputFile);
        FileClose(g_outputFile);
        g_inputFile = kNoFile;
        g_outputFile = kNoFile;
        outcome.messages = host.messages();
        outcome.progress = host.progress();
    }
    outcome.counters = Counters();
    outcome.output = ReadFile(outputPath);
    return outcome;
}

std::vector<std::string> RepairOutcome::Texts() const { return TextsOf(messages); }
std::string RepairOutcome::Dump() const { return DumpOf(messages); }

RepairOutcome RunRepair(const std::string& inputPath, const std::string& outputDir,
                        unsigned long flags, int abortAtProgressCall) {
    RepairOutcome outcome;
    HostCallbacks host(abortAtProgressCall);
    std::vector<char> in(inputPath.begin(), inputPath.end());
    in.push_back('\0');
    std::vector<char> out(outputDir.begin(), outputDir.end());
    out.push_back('\0');
    outcome.result = RepairFile(in.data(), out.data(), flags, nullptr);
    outcome.messages = host.messages();
    outcome.counters = Counters();
    char* output = nullptr;
    GetFilePaths(nullptr, &output, nullptr);
    if (output != nullptr) outcome.outputPath = output;
    return outcome;
}

OracleListing ReadWithPython(const std::string& archive) {
    OracleListing listing;
    TempDir scratch(/*privateTmpdir=*/false);
    std::string script = std::string(ARCSALVE_SOURCE_DIR) + "/tests/support/read_zip.py";
    std::string output;
    int status = RunCommand("python3 " + ShellQuote(script) + " " + ShellQuote(archive) + " " +
                                ShellQuote(scratch.path()),
                            &output);
    if (status != 0) listing.error = "python3 exited with " + std::to_string(status) + ": " + output;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "ERROR") {
            listing.error = line;
        } else if (kind == "TESTZIP") {
            fields >> listing.testzip;
        } else if (kind == "ENTRY") {
            size_t index;
            std::string hex;
            OracleEntry entry;
            fields >> index >> hex >> entry.flags >> entry.method >> entry.externalAttributes;
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                entry.name.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            entry.data = ReadFile(scratch.File("entry" + std::to_string(index)));
            listing.entries.push_back(std::move(entry));
        }
    }
    return listing;
}

int UnzipTest(const std::string& archive, std::string* output) {
    return RunCommand("unzip -t -qq " + ShellQuote(archive), output);
}

OracleListing ExpectValidArchive(const std::string& archive) {
    OracleListing listing = ReadWithPython(archive);
    EXPECT_EQ(listing.error, "") << archive;
    EXPECT_EQ(listing.testzip, "None") << archive;
    std::string unzip;
    EXPECT_EQ(UnzipTest(archive, &unzip), listing.entries.empty() ? 1 : 0) << unzip;
    return listing;
}

}  // namespace arcsalve::test
