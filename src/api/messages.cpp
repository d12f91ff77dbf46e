#include "api/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "arcsalve/arcsalve.h"
#include "platform/platform.h"

namespace arcsalve {
namespace {

// Two short buffers used in turn, so that a caption and a text can be loaded
// one after the other and used together; the loader is given a capacity of
// 100 characters although each buffer holds 200 bytes.
constexpr int kShortTextBuffer = 200;
constexpr int kShortTextCapacity = 100;
constexpr int kLongTextBuffer = 300;

// The unit's process-wide state: the host's callbacks, as the integers the
// host passed (0: none), kept across repairs; and the text buffers.
struct MessageState {
    CallbackAddress messageCallback = 0;
    CallbackAddress progressCallback = 0;
    char shortText[2][kShortTextBuffer] = {};
    int nextShortText = 0;
    char longText[kLongTextBuffer] = {};
};
MessageState g_messages;

}  // namespace

void EmitMessage(int32_t level, const char* text) {
    if (g_messages.messageCallback == 0) return;
    reinterpret_cast<MessageCallback>(g_messages.messageCallback)(level, text);
}

uint32_t EmitProgress(uint32_t value) {
    if (g_messages.progressCallback == 0) return 1;
    return static_cast<uint32_t>(reinterpret_cast<ProgressCallback>(g_messages.progressCallback)(value));
}

const char* LoadMessageText(uint32_t id) {
    char* buffer = g_messages.shortText[g_messages.nextShortText];
    g_messages.nextShortText ^= 1;
    LoadStringText(id, buffer, kShortTextCapacity);
    return buffer;
}

const char* LoadLongMessageText(uint32_t id) {
    g_messages.longText[0] = '\0';
    LoadStringText(id, g_messages.longText, kLongTextBuffer);
    return g_messages.longText;
}

void ResetMessageTextIndex() { g_messages.nextShortText = 0; }

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
    CallbackAddress previous = arcsalve::g_messages.messageCallback;
    arcsalve::g_messages.messageCallback = callback;
    return previous;
}

CallbackAddress SetProgressCallback(CallbackAddress callback) {
    CallbackAddress previous = arcsalve::g_messages.progressCallback;
    arcsalve::g_messages.progressCallback = callback;
    return previous;
}
