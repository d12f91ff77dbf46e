// The password prompt. Passwords the user gave are remembered for the life
// of the library, so an archive whose entries share a password asks once,
// and so does the next archive with the same password.
#include "ui/password_prompt.h"

#include <cstring>

#include "api/messages.h"
#include "api/repair_state.h"
#include "common/zip_format.h"
#include "crypt/cipher.h"
#include "platform/platform.h"
#include "salvage/salvage_entry.h"
#include "ui/host_dialogs.h"

namespace arcsalve {

char CurrentPassword[kPasswordBufferSize];

static_assert(kPasswordBufferSize == PASSWORD_BUFFER_SIZE, "one password size inside and out");

namespace {

// String ids of the notice after a wrong password.
constexpr uint32_t kWrongPasswordText = 6;   // "The entered password does not appear to be correct"
constexpr uint32_t kWrongPasswordCaption = 7;  // "Incorrect Password"

struct PromptState {
    // Accepted in the dialog, oldest first; `count` slots are used.
    char remembered[kRememberedPasswordSlots][kPasswordBufferSize] = {};
    int count = 0;
    // The entry the dialog asks about, set before each dialog.
    const uint8_t* header = nullptr;
    uint32_t crc = 0;
    uint16_t time = 0;
    uint16_t flags = 0;
    int accepted = 0;
};
PromptState g_prompt;

size_t BoundedLength(const char* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}

// Copies at most 39 bytes of text and a terminator.
void CopyPassword(char* destination, const char* text) {
    std::memset(destination, 0, kPasswordBufferSize);
    if (text != nullptr) std::memcpy(destination, text, BoundedLength(text, kPasswordBufferSize - 1));
}

// Keeps a newly accepted password. With all slots taken the oldest goes.
void Remember(const char* password) {
    if (g_prompt.count == kRememberedPasswordSlots) {
        std::memmove(g_prompt.remembered[0], g_prompt.remembered[1],
                     sizeof g_prompt.remembered - sizeof g_prompt.remembered[0]);
        g_prompt.count--;
    }
    CopyPassword(g_prompt.remembered[g_prompt.count++], password);
}

}  // namespace

int PromptForPassword(const uint8_t header[12], const char* name, uint32_t crc, uint16_t time,
                      uint16_t flags) {
    for (int i = 0; i < g_prompt.count; ++i) {
        if (CheckPassword(g_prompt.remembered[i], header, crc, time, flags)) {
            std::memcpy(CurrentPassword, g_prompt.remembered[i], kPasswordBufferSize);
            return 1;
        }
    }
    g_prompt.header = header;
    g_prompt.crc = crc;
    g_prompt.time = time;
    g_prompt.flags = flags;
    g_prompt.accepted = 0;
    // The name as messages show it.
    char display[kDisplayNameSize];
    EntryDisplayName(name != nullptr ? name : "", flags, display, sizeof display);
    RunPasswordDialog(g_parentWindow, display, DecryptDialogProc);
    g_prompt.header = nullptr;
    if (!g_prompt.accepted) return 0;
    Remember(CurrentPassword);
    return 1;
}

int DecryptDialogProc(HWND dialog, int command, const char* text) {
    if (command == kDialogSkip) return 1;
    if (command != kDialogOk) return 0;  // Escape and the rest: the dialog stays
    if (g_prompt.header == nullptr) return 1;  // no entry in hand
    char typed[kPasswordBufferSize];
    CopyPassword(typed, text);
    if (CheckPassword(typed, g_prompt.header, g_prompt.crc, g_prompt.time, g_prompt.flags)) {
        g_prompt.accepted = 1;
        std::memcpy(CurrentPassword, typed, kPasswordBufferSize);
        return 1;
    }
    // Caption first: the two texts sit in the two alternating buffers.
    const char* caption = LoadMessageText(kWrongPasswordCaption);
    const char* message = LoadMessageText(kWrongPasswordText);
    ShowNotice(dialog, message, caption, NOTICE_ICON_STOP);
    return 0;
}

int RememberedPasswordCount() { return g_prompt.count; }

const char* RememberedPassword(int slot) {
    return slot >= 0 && slot < g_prompt.count ? g_prompt.remembered[slot] : nullptr;
}

void ForgetPasswords() {
    g_prompt = PromptState();
}

}  // namespace arcsalve
