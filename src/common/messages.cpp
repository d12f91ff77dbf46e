#include "common/messages.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace arcsalve {
namespace {

// The loader is given a capacity of 100 characters although each short
// buffer holds 200 bytes.
constexpr int kShortTextCapacity = 100;

CallbackAddress Slot(const RepairRun& run, CallbackAddress HostCallbacks::*slot) {
    return run.host != nullptr ? run.host->*slot : 0;
}

}  // namespace

void EmitMessage(const RepairRun& run, int32_t level, const char* text) {
    if (run.host != nullptr && run.host->onMessage != nullptr) {
        run.host->onMessage(run.host->context, level, text);
        return;
    }
    CallbackAddress callback = Slot(run, &HostCallbacks::message);
    if (callback == 0) return;
    reinterpret_cast<MessageCallback>(callback)(level, text);
}

uint32_t EmitProgress(const RepairRun& run, uint32_t value) {
    if (run.host != nullptr && run.host->onProgress != nullptr) return run.host->onProgress(run.host->context, value);
    CallbackAddress callback = Slot(run, &HostCallbacks::progress);
    if (callback == 0) return 1;
    return static_cast<uint32_t>(reinterpret_cast<ProgressCallback>(callback)(value));
}

void EmitEntryReport(const RepairRun& run, const EntryReport& report) {
    if (run.host != nullptr && run.host->onEntry != nullptr) run.host->onEntry(run.host->context, report);
}

const char* LoadMessageText(RepairRun& run, StringId id) {
    MessageTexts& t = run.texts;
    char* buffer = t.shortText[t.nextShortText];
    t.nextShortText ^= 1;
    LoadStringText(id, buffer, kShortTextCapacity);
    return buffer;
}

const char* LoadLongMessageText(RepairRun& run, StringId id) {
    run.texts.longText[0] = '\0';
    LoadStringText(id, run.texts.longText, kLongTextBuffer);
    return run.texts.longText;
}

void EmitText(RepairRun& run, int32_t level, StringId id) { EmitMessage(run, level, LoadMessageText(run, id)); }

uint32_t ReportScaledProgress(const RepairRun& run, uint32_t lo, uint32_t hi, uint64_t pos, uint64_t total,
                              uint32_t* last) {
    if (total == 0) total = 1;
    uint64_t percent = pos * 100 / total;
    uint32_t value = static_cast<uint32_t>(percent * (hi - lo) / 100 + lo);
    if (value <= *last) return 1;
    *last = value;
    return EmitProgress(run, value);
}

void EmitFormattedText(const RepairRun& run, int32_t level, const char* format, ...) {
    char line[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    EmitMessage(run, level, line);
}

}  // namespace arcsalve
