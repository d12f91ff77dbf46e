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

// The most answers that pass the check tried for one entry: past them the
// entry fares as damaged with the first.
constexpr int kTriedAnswerSlots = 32;

// String ids of the notice after a wrong password.
constexpr uint32_t kWrongPasswordText = 6;   // "The entered password does not appear to be correct"
constexpr uint32_t kWrongPasswordCaption = 7;  // "Incorrect Password"

struct PromptState {
    // Accepted in the dialog, oldest first; `count` slots are used.
    char remembered[kRememberedPasswordSlots][kPasswordBufferSize] = {};
    int count = 0;
    // The entry in hand: its encryption header, check fields and name.
    uint8_t entryHeader[kEncryptionHeaderSize] = {};
    const char* name = nullptr;
    int nextRemembered = 0;  // the remembered password to try next
    bool asked = false;      // the user was asked about this entry already
    // The user's answers that passed the check for this entry: one given
    // again is not tried again (a host may answer the same every time).
    char tried[kTriedAnswerSlots][kPasswordBufferSize] = {};
    int triedCount = 0;
    // Set while the dialog is up: the header it checks answers against.
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
    std::memcpy(g_prompt.entryHeader, header, kEncryptionHeaderSize);
    g_prompt.name = name;
    g_prompt.crc = crc;
    g_prompt.time = time;
    g_prompt.flags = flags;
    g_prompt.nextRemembered = 0;
    g_prompt.asked = false;
    g_prompt.triedCount = 0;
    return NextPasswordForEntry();
}

int NextPasswordForEntry() {
    while (g_prompt.nextRemembered < g_prompt.count) {
        const char* candidate = g_prompt.remembered[g_prompt.nextRemembered++];
        if (CheckPassword(candidate, g_prompt.entryHeader, g_prompt.crc, g_prompt.time, g_prompt.flags)) {
            std::memcpy(CurrentPassword, candidate, kPasswordBufferSize);
            return 1;
        }
    }
    if (g_prompt.triedCount == kTriedAnswerSlots) return 0;
    // Asked again about the same entry, the host first hears that the last
    // answer was wrong, as after a failed check (a host that gives passwords
    // from a list goes on with the next one).
    if (g_prompt.asked) {
        const char* caption = LoadMessageText(kWrongPasswordCaption);
        const char* message = LoadMessageText(kWrongPasswordText);
        ShowNotice(g_parentWindow, message, caption, NOTICE_ICON_STOP);
    }
    g_prompt.asked = true;
    g_prompt.header = g_prompt.entryHeader;
    g_prompt.accepted = 0;
    // The name as messages show it.
    char display[kDisplayNameSize];
    EntryDisplayName(g_prompt.name != nullptr ? g_prompt.name : "", g_prompt.flags, display, sizeof display);
    RunPasswordDialog(g_parentWindow, display, DecryptDialogProc);
    g_prompt.header = nullptr;
    if (!g_prompt.accepted) return 0;
    for (int i = 0; i < g_prompt.triedCount; ++i)
        if (std::memcmp(g_prompt.tried[i], CurrentPassword, kPasswordBufferSize) == 0) return 0;
    std::memcpy(g_prompt.tried[g_prompt.triedCount++], CurrentPassword, kPasswordBufferSize);
    return 1;
}

void RememberCurrentPassword() {
    for (int i = 0; i < g_prompt.count; ++i)
        if (std::memcmp(g_prompt.remembered[i], CurrentPassword, kPasswordBufferSize) == 0) return;
    Remember(CurrentPassword);
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
