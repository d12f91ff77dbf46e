// Getting the password of an encrypted entry: remembered passwords first,
// then the user, through the platform's dialog or the host's callback.
#ifndef ARCSALVE_UI_PASSWORD_PROMPT_H
#define ARCSALVE_UI_PASSWORD_PROMPT_H

#include <cstdint>

namespace arcsalve {

// Passwords hold at most 39 bytes and a terminator.
constexpr int kPasswordBufferSize = 40;

// The password accepted for the entry in hand.
extern char CurrentPassword[kPasswordBufferSize];

// Finds a password that passes CheckPassword for this entry's encryption
// header and leaves it in CurrentPassword: nonzero when one was accepted, 0
// when there is none (the user skipped, or no prompt can be shown). `name` is
// the stored (OEM or UTF-8) entry name; crc, time and flags come from the
// local header.
int PromptForPassword(const uint8_t header[12], const char* name, uint32_t crc, uint16_t time,
                      uint16_t flags);

}  // namespace arcsalve

#endif  // ARCSALVE_UI_PASSWORD_PROMPT_H
