// The password prompt. Passwords that produced a verified entry are
// remembered in the run's password memory, which RepairFile keeps for the
// life of the library, so an archive whose entries share a password asks
// once, and so does the next archive with the same password.
#include "ui/password_prompt.h"

#include <cstring>

#include "common/entry_name.h"
#include "common/messages.h"
#include "crypt/cipher.h"
#include "platform/platform.h"
#include "ui/host_dialogs.h"

namespace arcsalve {
namespace {

// The question the dialog asks, while a dialog runs: the dialog's handler is
// a plain function that the platform's dialog calls back, so it finds the
// entry here.
struct OpenQuestion {
    RepairRun* run = nullptr;
    PasswordSearch* search = nullptr;
    int accepted = 0;
};
OpenQuestion g_question;

const HostCallbacks kNoCallbacks;

const HostCallbacks& Host(const RepairRun& run) { return run.host != nullptr ? *run.host : kNoCallbacks; }

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
void Remember(PasswordMemory& memory, const char* password) {
    if (memory.count == kRememberedPasswordSlots) {
        std::memmove(memory.remembered[0], memory.remembered[1],
                     sizeof memory.remembered - sizeof memory.remembered[0]);
        memory.count--;
    }
    CopyPassword(memory.remembered[memory.count++], password);
}

// The notice after a wrong password. Caption first: the two texts sit in the
// two alternating buffers.
void ShowWrongPassword(RepairRun& run, HWND owner) {
    const char* caption = LoadMessageText(run, kTextWrongPasswordCaption);
    const char* message = LoadMessageText(run, kTextWrongPassword);
    ShowNotice(Host(run), owner, message, caption, NOTICE_ICON_STOP);
}

// Whether a password passes the entry's quick check: one byte of the
// traditional header, or the two bytes of the AES verification value.
// An AES check keeps the keys it derived for the decode.
bool Passes(PasswordSearch& search, const char* candidate) {
    if (search.isAes) return AesCheckPassword(candidate, &search.aes) != 0;
    return CheckPassword(candidate, search.entryHeader, search.crc, search.time, search.flags) != 0;
}

}  // namespace

int PromptForAesPassword(RepairRun& run, PasswordSearch& search, const AesPrefix& prefix, const char* name,
                         uint16_t flags) {
    search = PasswordSearch();
    search.isAes = true;
    search.aes = prefix;
    search.name = name;
    search.flags = flags;
    return NextPasswordForEntry(run, search);
}

int PromptForPassword(RepairRun& run, PasswordSearch& search, const uint8_t header[12], const char* name,
                      uint32_t crc, uint16_t time, uint16_t flags) {
    search = PasswordSearch();
    std::memcpy(search.entryHeader, header, kEncryptionHeaderSize);
    search.name = name;
    search.crc = crc;
    search.time = time;
    search.flags = flags;
    return NextPasswordForEntry(run, search);
}

int NextPasswordForEntry(RepairRun& run, PasswordSearch& search) {
    const PasswordMemory* memory = run.passwords;
    while (memory != nullptr && search.nextRemembered < memory->count) {
        const char* candidate = memory->remembered[search.nextRemembered++];
        if (Passes(search, candidate)) {
            std::memcpy(run.password, candidate, kPasswordBufferSize);
            return 1;
        }
    }
    if (search.triedCount == kTriedAnswerSlots) return 0;
    // Asked again about the same entry, the host first hears that the last
    // answer was wrong, as after a failed check (a host that gives passwords
    // from a list goes on with the next one).
    if (search.asked) ShowWrongPassword(run, run.parent);
    search.asked = true;
    g_question = OpenQuestion{&run, &search, 0};
    // The name as messages show it.
    char display[kDisplayNameSize];
    EntryDisplayName(search.name != nullptr ? search.name : "", search.flags, display, sizeof display);
    RunPasswordDialog(Host(run), run.parent, display, DecryptDialogProc);
    const int accepted = g_question.accepted;
    g_question = OpenQuestion{};
    if (!accepted) return 0;
    for (int i = 0; i < search.triedCount; ++i)
        if (std::memcmp(search.tried[i], run.password, kPasswordBufferSize) == 0) return 0;
    std::memcpy(search.tried[search.triedCount++], run.password, kPasswordBufferSize);
    return 1;
}

void RememberCurrentPassword(RepairRun& run) {
    PasswordMemory* memory = run.passwords;
    if (memory == nullptr) return;
    for (int i = 0; i < memory->count; ++i)
        if (std::memcmp(memory->remembered[i], run.password, kPasswordBufferSize) == 0) return;
    Remember(*memory, run.password);
}

int DecryptDialogProc(HWND dialog, int command, const char* text) {
    if (command == kDialogSkip) return 1;
    if (command != kDialogOk) return 0;  // Escape and the rest: the dialog stays
    if (g_question.search == nullptr) return 1;  // no entry in hand
    PasswordSearch& search = *g_question.search;
    RepairRun& run = *g_question.run;
    char typed[kPasswordBufferSize];
    CopyPassword(typed, text);
    if (Passes(search, typed)) {
        g_question.accepted = 1;
        std::memcpy(run.password, typed, kPasswordBufferSize);
        return 1;
    }
    ShowWrongPassword(run, dialog);
    return 0;
}

}  // namespace arcsalve
