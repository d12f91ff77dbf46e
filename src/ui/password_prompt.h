// Getting the password of an encrypted entry: remembered passwords first,
// then the user, through the host's password callback or the platform's
// dialog.
#ifndef ARCSALVE_UI_PASSWORD_PROMPT_H
#define ARCSALVE_UI_PASSWORD_PROMPT_H

#include <cstdint>

#include "arcsalve/arcsalve.h"

namespace arcsalve {

// Passwords hold at most 39 bytes and a terminator.
constexpr int kPasswordBufferSize = 40;
// Passwords accepted in the dialog that are tried before asking again.
constexpr int kRememberedPasswordSlots = 5;

// The password accepted for the entry in hand.
extern char CurrentPassword[kPasswordBufferSize];

// Finds the first candidate password for this entry that passes
// CheckPassword for its encryption header and leaves it in CurrentPassword:
// the remembered ones, oldest first, then the user's (through the dialog).
// Nonzero when one was found, 0 when there is none (the user skipped, or no
// prompt can be shown). `name` is the stored (OEM or UTF-8) entry name and
// must stay valid until the entry is done; crc, time and flags come from the
// local header. Nothing is remembered yet: see RememberCurrentPassword.
int PromptForPassword(const uint8_t header[12], const char* name, uint32_t crc, uint16_t time,
                      uint16_t flags);

// The password in CurrentPassword passed the one-byte check, but the entry
// did not decode to its CRC-32 with it: one wrong password in 256 passes that
// check. Finds the next candidate for the same entry, going on where the last
// came from (the remembered ones, then the user, who is first told that the
// last password was wrong). 0 when there is none left.
int NextPasswordForEntry();

// The password in CurrentPassword produced a verified entry: it is kept for
// the entries to come (unless it is kept already).
void RememberCurrentPassword();

// The dialog's logic, the same behind every dialog (see PasswordDialogHandler
// in platform.h): OK tests the typed text (cut to 39 bytes) and either
// accepts it, closing the dialog, or shows the "Incorrect Password" notice
// and keeps it open; Skip closes it; every other command is ignored.
int DecryptDialogProc(HWND dialog, int command, const char* text);

// The remembered passwords, oldest first (inspection for tests).
int RememberedPasswordCount();
const char* RememberedPassword(int slot);
// Empties the remembered passwords. The library never forgets them; tests
// that run several prompts in one process start clean with this.
void ForgetPasswords();

}  // namespace arcsalve

#endif  // ARCSALVE_UI_PASSWORD_PROMPT_H
