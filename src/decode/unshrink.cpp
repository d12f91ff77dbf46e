// Unshrink: the decoder of compression method 1 ("shrunk").
//
// Shrinking is LZW with a dictionary of 13-bit codes. Codes 0 to 255 stand
// for single bytes, 256 is a control code, 257 to 8191 name strings made as
// the data go by: each code after the first adds the previous code's string
// followed by the first byte of the current one. Codes start 9 bits wide and
// grow only when the encoder says so (256 followed by sub-code 1); the encoder
// may also order a partial clear (256, 2), which frees every dictionary string
// that no other string extends. Freed codes are reused from the lowest up.
//
// Strings are rebuilt backwards on a stack by following prefix links and
// copied to the window in one piece. Input ends by count: decoding goes on
// while a whole code remains in the entry's compressed data.
#include <cstring>

#include "decode/decode_frame.h"
#include "decode/decoders.h"
#include "decode/bit_reader.h"

namespace arcsalve {
namespace {

constexpr uint32_t kControlCode = 256;
constexpr uint32_t kFirstDictionaryCode = 257;
// 13-bit codes: the dictionary never holds more than 8192 codes.
constexpr uint32_t kMaxCodeSize = 13;
constexpr uint32_t kCodeLimit = 1u << kMaxCodeSize;
// The tables have two spare entries beyond the last code.
constexpr uint32_t kTableEntries = kCodeLimit + 2;
// Prefix value of a code that names no string.
constexpr uint16_t kFreeCode = 0xFFFF;
// A string is assembled backwards, ending at stack index 8191. No string of
// a sound dictionary is longer than 8192 - 257 + 1 bytes.
constexpr uint32_t kStackTop = kCodeLimit;

// 16 bytes of slack behind the top: AppendString reads whole 8-byte words.
constexpr uint32_t kStackSize = kTableEntries + 16;

static_assert(kStackTop <= kWindowSize, "a whole string always fits in the window");

// The end of the input is found by count: decoding goes on while a whole
// code remains of the entry's compressed data. The decoder never asks the
// byte source for more than those bytes, so the bits not yet taken by codes
// (the buffered ones plus 8 per byte not yet delivered) are simply 8 times
// the compressed size less the widths of the codes read so far, kept in 64
// bits (8 times a size near 2^31 does not fit in 32). A negative size leaves
// no bits at all.
int64_t DataBits(const DecodeState* state) { return 8 * int64_t(state->compressedSize); }

// 1 when fewer than n bits remain.
inline int UnshrinkAtEnd(int64_t bitsLeft, uint32_t n) { return bitsLeft < int64_t(n) ? 1 : 0; }

// Frees every dictionary code below the next free code that is not the
// prefix of another such code, then points the next free code at the lowest
// freed one (or at the limit when none was freed). Codes from 257 up to the
// next free code are all in use (it only ever moves past codes in use), so
// those are the ones looked at.
//
// A prefix at or above the next free code is not looked at either: it may
// itself be free (damaged data, or a code freed by an earlier clear and named
// as the previous code since), and marking it "kept" must not disturb its
// free marker.
void PartialClear(DecodeWorkspace* workspace) {
    uint16_t* prefix = workspace->prefixTable;
    const uint32_t end = workspace->nextFreeCode;
    uint8_t isPrefix[kCodeLimit];
    std::memset(isPrefix, 0, end);
    for (uint32_t x = kFirstDictionaryCode; x < end; ++x) {
        const uint32_t p = prefix[x];
        if (p >= kFirstDictionaryCode && p < end) isPrefix[p] = 1;
    }
    for (uint32_t x = kFirstDictionaryCode; x < end; ++x) {
        if (!isPrefix[x]) prefix[x] = kFreeCode;
    }
    uint32_t next = kFirstDictionaryCode;
    while (next < workspace->codeLimit && prefix[next] != kFreeCode) ++next;
    workspace->nextFreeCode = next;
}

void ResetDictionary(DecodeWorkspace* workspace) {
    workspace->codeSize = 9;
    workspace->codeLimit = kCodeLimit;
    workspace->nextFreeCode = kFirstDictionaryCode;
    uint16_t* prefix = workspace->prefixTable;
    uint8_t* suffix = workspace->suffixTable;
    // Suffixes of unused codes are cleared so that a damaged stream that
    // names the control code as a string reads a defined byte.
    std::memset(suffix, 0, kTableEntries);
    for (uint32_t x = 0; x < 256; ++x) {
        prefix[x] = 0;
        suffix[x] = static_cast<uint8_t>(x);
    }
    for (uint32_t x = kControlCode; x < kTableEntries; ++x) prefix[x] = kFreeCode;
}

// Pushes the string of `code` on the stack, below sp. The string of a code
// not yet defined (the KwKwK case: the encoder sends the code it is about to
// define) is the previous string followed by that string's first byte,
// finchar. Returns the new sp, or 0 when the walk would pass the bottom of
// the stack: only damaged data (a code whose prefix chain loops) gets there.
uint32_t PushString(const DecodeWorkspace* workspace, uint32_t code, uint32_t lastcode,
                    uint8_t& finchar) {
    const uint16_t* prefix = workspace->prefixTable;
    const uint8_t* suffix = workspace->suffixTable;
    uint8_t* stack = workspace->stringStack;
    uint32_t sp = kStackTop;
    if (prefix[code] == kFreeCode) {
        stack[--sp] = finchar;
        code = lastcode;
    }
    while (code >= kFirstDictionaryCode) {
        if (sp < 2) return 0;  // one slot stays for the first byte below
        if (prefix[code] == kFreeCode) {
            stack[--sp] = finchar;
            code = lastcode;
        } else {
            stack[--sp] = suffix[code];
            code = prefix[code];
        }
    }
    finchar = suffix[code];
    stack[--sp] = finchar;
    return sp;
}

// Reads the next code; false when no whole code remains (by count, or
// because the archive itself ended).
inline bool ReadCode(const DecodeWorkspace* workspace, BitReader& bits, int64_t& bitsLeft, uint32_t* code) {
    const uint32_t width = workspace->codeSize;
    if (UnshrinkAtEnd(bitsLeft, width)) return false;
    bitsLeft -= width;
    *code = bits.Take(width);
    return !bits.UsedMissingInput();
}

// Appends a string from the stack to the window; the caller has made room.
// Strings are mostly a few bytes long: those move in two fixed 8-byte copies
// (the stack and the window have slack for it) instead of a call.
inline void AppendString(DecodeWorkspace* workspace, uint32_t sp, uint32_t length) {
    uint8_t* dst = workspace->window + workspace->windowPosition;
    const uint8_t* src = workspace->stringStack + sp;
    if (length <= 16 && workspace->windowPosition + 16 <= kWindowSize) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + 8, src + 8, 8);
    } else {
        std::memcpy(dst, src, length);
    }
    workspace->windowPosition += length;
}

// The decode loop. Returns when the input is used up or the data are beyond
// repair; what was decoded stays in the window for the caller to flush.
void UnshrinkCodes(DecodeWorkspace* workspace) {
    ResetDictionary(workspace);
    uint16_t* prefix = workspace->prefixTable;
    uint8_t* suffix = workspace->suffixTable;
    BitReader bits = StartBits(workspace->owner);
    int64_t bitsLeft = DataBits(workspace->owner);
    uint32_t code = 0;
    if (!ReadCode(workspace, bits, bitsLeft, &code)) return;
    workspace->window[workspace->windowPosition++] = static_cast<uint8_t>(code);
    uint8_t finchar = static_cast<uint8_t>(code);
    uint32_t lastcode = code;

    for (;;) {
        if (!ReadCode(workspace, bits, bitsLeft, &code)) return;
        while (code == kControlCode) {
            uint32_t subCode = 0;
            if (!ReadCode(workspace, bits, bitsLeft, &subCode)) return;
            if (subCode == 1) {
                // A raise past 13 bits would index beyond the tables: damaged
                // data. It is ignored and decoding goes on at 13 bits.
                if (workspace->codeSize < kMaxCodeSize) ++workspace->codeSize;
            } else if (subCode == 2) {
                PartialClear(workspace);
            }
            if (!ReadCode(workspace, bits, bitsLeft, &code)) return;
        }

        const uint32_t incode = code;
        const uint32_t sp = PushString(workspace, code, lastcode, finchar);
        if (sp == 0) return;  // a looping chain: the entry ends here
        const uint32_t length = kStackTop - sp;
        if (workspace->windowPosition + length > kWindowSize) {
            FlushWindow(workspace, workspace->windowPosition);
            workspace->windowPosition = 0;
        }
        AppendString(workspace, sp, length);

        uint32_t next = workspace->nextFreeCode;
        if (next < workspace->codeLimit) {
            prefix[next] = static_cast<uint16_t>(lastcode);
            suffix[next] = finchar;
            do {
                ++next;
            } while (next < workspace->codeLimit && prefix[next] != kFreeCode);
            workspace->nextFreeCode = next;
        }
        lastcode = incode;
    }
}

}  // namespace

int Unshrink(DecodeState* state) {
    auto workspace = AllocBlockOf<DecodeWorkspace>(sizeof(DecodeWorkspace));
    auto prefix = AllocBlockOf<uint16_t>(kTableEntries * sizeof(uint16_t));
    auto suffix = AllocBlockOf<uint8_t>(kTableEntries);
    auto stack = AllocBlockOf<uint8_t>(kStackSize);
    if (!workspace || !prefix || !suffix || !stack) return 0;

    DecodeWorkspace* ws = workspace.get();
    ws->owner = state;
    ws->prefixTable = prefix.get();
    ws->suffixTable = suffix.get();
    ws->stringStack = stack.get();
    ws->outputPosition = 0;
    ws->windowPosition = 0;

    UnshrinkCodes(ws);
    // Whatever was decoded is kept, whether the data ran out normally or
    // were damaged: the size check of the caller judges the entry.
    if (ws->windowPosition > 0) FlushWindow(ws, ws->windowPosition);
    return 1;
}

}  // namespace arcsalve
