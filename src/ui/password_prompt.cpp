// The password prompt. Not written yet: no password is ever accepted, so
// encrypted entries are skipped as when the user presses Skip.
#include "ui/password_prompt.h"

namespace arcsalve {

char CurrentPassword[kPasswordBufferSize];

int PromptForPassword(const uint8_t*, const char*, uint32_t, uint16_t, uint16_t) { return 0; }

}  // namespace arcsalve
