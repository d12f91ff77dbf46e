// Messages and progress: the library's only ways of telling the host what
// happens. Every text is a string-table entry loaded by id, through the
// run's text buffers, and reaches the host through the run's callbacks.
#ifndef ARCSALVE_COMMON_MESSAGES_H
#define ARCSALVE_COMMON_MESSAGES_H

#include <cstddef>
#include <cstdint>

#include "common/repair_run.h"
#include "common/string_ids.h"

namespace arcsalve {

// A formatted message holds a loaded text (under 300 bytes) and an entry name
// converted to host text (up to 270 OEM bytes, 3 UTF-8 bytes each).
constexpr size_t kMessageBufferSize = 1200;

// Calls the host's message callback, if one is installed.
void EmitMessage(const RepairRun& run, int32_t level, const char* text);
// Calls the host's progress callback; 1 (go on) when none is installed.
uint32_t EmitProgress(const RepairRun& run, uint32_t value);

// Hands one entry's report to the host's entry hook, if one is installed.
void EmitEntryReport(const RepairRun& run, const EntryReport& report);

// Loads string `id` into the next of two alternating 200-byte buffers with a
// capacity of 100 characters (at most 99 kept). A returned text stays valid
// until the second call after it, so two texts can be used at once.
const char* LoadMessageText(RepairRun& run, StringId id);
// Loads string `id` into a 300-byte buffer, emptied first.
const char* LoadLongMessageText(RepairRun& run, StringId id);

// Loads string `id` and emits it at `level`.
void EmitText(RepairRun& run, int32_t level, StringId id);
// Formats a loaded text with the arguments (wsprintfA's part that the texts
// use: %s, %d, %08X) and emits it at `level`.
void EmitFormattedText(const RepairRun& run, int32_t level, const char* format, ...);

// Loads string `id`, formats it with the arguments and emits it at `level`.
template <typename... Args>
void EmitFormatted(RepairRun& run, int32_t level, StringId id, Args... args) {
    EmitFormattedText(run, level, LoadMessageText(run, id), args...);
}

// Emits a text that prints sizes after a name: `narrow` (%d) while every size
// fits in 31 bits, else `wide` (%llu), so that a translation of either text
// never prints a size wrongly.
template <typename... Sizes>
void EmitSizes(RepairRun& run, int32_t level, StringId narrow, StringId wide, const char* name, Sizes... sizes) {
    if (((static_cast<uint64_t>(sizes) <= 0x7FFFFFFFu) && ...))
        EmitFormatted(run, level, narrow, name, static_cast<int32_t>(sizes)...);
    else
        EmitFormatted(run, level, wide, name, static_cast<unsigned long long>(sizes)...);
}

// Reports ((pos * 100) / total) * (hi - lo) / 100 + lo when that exceeds
// *last (stored there); returns the host's continue flag, 1 without a call.
// The product pos * 100 is formed in 64 bits, so every position is exact.
uint32_t ReportScaledProgress(const RepairRun& run, uint32_t lo, uint32_t hi, uint64_t pos, uint64_t total,
                              uint32_t* last);

}  // namespace arcsalve

#endif  // ARCSALVE_COMMON_MESSAGES_H
