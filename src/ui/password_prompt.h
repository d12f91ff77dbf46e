// Getting the password of an encrypted entry: the run's remembered
// passwords first, then the user, through the host's password callback or
// the platform's dialog.
#ifndef ARCSALVE_UI_PASSWORD_PROMPT_H
#define ARCSALVE_UI_PASSWORD_PROMPT_H

#include <cstdint>

#include "arcsalve/arcsalve.h"
#include "common/repair_run.h"
#include "common/zip_format.h"
#include "crypt/aes_zip.h"

namespace arcsalve {

// The most answers that pass the check tried for one entry: past them the
// entry fares as damaged with the first.
constexpr int kTriedAnswerSlots = 32;

// The search for one entry's password, from its first candidate to its last.
struct PasswordSearch {
    // The entry: its encryption header, check fields and name.
    uint8_t entryHeader[kEncryptionHeaderSize] = {};
    const char* name = nullptr;
    uint32_t crc = 0;
    uint16_t time = 0;
    uint16_t flags = 0;
    // An AES-encrypted entry: its salt and verification value, which a
    // password is checked against instead of the header above.
    bool isAes = false;
    AesPrefix aes = {};
    int nextRemembered = 0;  // the remembered password to try next
    bool asked = false;      // the user was asked about this entry already
    // The user's answers that passed the check for this entry: one given
    // again is not tried again (a host may answer the same every time).
    char tried[kTriedAnswerSlots][kPasswordBufferSize] = {};
    int triedCount = 0;
};

// Starts the search for this entry's password and finds the first candidate
// that passes CheckPassword for its encryption header, leaving it in
// run.password: the remembered ones, oldest first, then the user's (through
// the dialog). Nonzero when one was found, 0 when there is none (the user
// skipped, or no prompt can be shown). `name` is the stored (OEM or UTF-8)
// entry name and must stay valid until the entry is done; crc, time and
// flags come from the local header. Nothing is remembered yet: see
// RememberCurrentPassword.
int PromptForPassword(RepairRun& run, PasswordSearch& search, const uint8_t header[12], const char* name,
                      uint32_t crc, uint16_t time, uint16_t flags);
// The same for an AES-encrypted entry, checked by its verification value.
int PromptForAesPassword(RepairRun& run, PasswordSearch& search, const AesPrefix& prefix, const char* name,
                         uint16_t flags);

// The password in run.password passed the one-byte check, but the entry did
// not decode to its CRC-32 with it: one wrong password in 256 passes that
// check. Finds the next candidate for the same entry, going on where the last
// came from (the remembered ones, then the user, who is first told that the
// last password was wrong). 0 when there is none left.
int NextPasswordForEntry(RepairRun& run, PasswordSearch& search);

// The password in run.password produced a verified entry: it is kept in the
// run's password memory for the entries to come (unless it is kept already).
void RememberCurrentPassword(RepairRun& run);

// The dialog's logic, the same behind every dialog (see PasswordDialogHandler
// in platform.h): OK tests the typed text (cut to 39 bytes) and either
// accepts it, closing the dialog, or shows the "Incorrect Password" notice
// and keeps it open; Skip closes it; every other command is ignored.
int DecryptDialogProc(HWND dialog, int command, const char* text);

}  // namespace arcsalve

#endif  // ARCSALVE_UI_PASSWORD_PROMPT_H
