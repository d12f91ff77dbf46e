#include "api/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "platform/platform.h"

namespace arcsalve {
namespace {

// The host's callbacks, as the integers the host passed (0: none).
struct CallbackSlots {
    CallbackAddress message = 0;
    CallbackAddress progress = 0;
};
CallbackSlots g_slots;

// Two short buffers used in turn, so that a caption and a text can be loaded
// one after the other and used together; the loader is given a capacity of
// 100 characters although each buffer holds 200 bytes.
constexpr int kShortTextBuffer = 200;
constexpr int kShortTextCapacity = 100;
constexpr int kLongTextBuffer = 300;

struct TextBuffers {
    char shortText[2][kShortTextBuffer] = {};
    int next = 0;
    char longText[kLongTextBuffer] = {};
};
TextBuffers g_text;

}  // namespace

void EmitMessage(int32_t level, const char* text) {
    if (g_slots.message == 0) return;
    reinterpret_cast<MessageCallback>(g_slots.message)(level, text);
}

uint32_t EmitProgress(uint32_t value) {
    if (g_slots.progress == 0) return 1;
    return static_cast<uint32_t>(reinterpret_cast<ProgressCallback>(g_slots.progress)(value));
}

const char* LoadMessageText(uint32_t id) {
    char* buffer = g_text.shortText[g_text.next];
    g_text.next ^= 1;
    LoadStringText(id, buffer, kShortTextCapacity);
    return buffer;
}

const char* LoadLongMessageText(uint32_t id) {
    g_text.longText[0] = '\0';
    LoadStringText(id, g_text.longText, kLongTextBuffer);
    return g_text.longText;
}

void ResetMessageTextIndex() { g_text.next = 0; }

uint32_t ReportScaledProgress(uint32_t lo, uint32_t hi, uint64_t pos, uint64_t total,
                              uint32_t* last) {
    if (total == 0) total = 1;
    uint64_t percent = pos * 100 / total;
    uint32_t value = static_cast<uint32_t>(percent * (hi - lo) / 100 + lo);
    if (value <= *last) return 1;
    *last = value;
    return EmitProgress(value);
}

int FormatText(char* out, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(out, capacity, format, args);
    va_end(args);
    return n;
}

void EmitFormatted(int32_t level, uint32_t id, ...) {
    const char* format = LoadMessageText(id);
    char line[kMessageBufferSize];
    va_list args;
    va_start(args, id);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    EmitMessage(level, line);
}

}  // namespace arcsalve

// --- Exported ---------------------------------------------------------------

CallbackAddress SetMessageCallback(CallbackAddress callback) {
    CallbackAddress previous = arcsalve::g_slots.message;
    arcsalve::g_slots.message = callback;
    return previous;
}

CallbackAddress SetProgressCallback(CallbackAddress callback) {
    CallbackAddress previous = arcsalve::g_slots.progress;
    arcsalve::g_slots.progress = callback;
    return previous;
}
