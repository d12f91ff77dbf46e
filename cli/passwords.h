// Passwords of encrypted entries: those given on the command line, then the
// user at the terminal. The library tries the passwords that opened earlier
// entries by itself before it asks here.
#ifndef ARCSALVE_CLI_PASSWORDS_H
#define ARCSALVE_CLI_PASSWORDS_H

#include <string>
#include <vector>

#include "options.h"

namespace cli {

// Collects the passwords of -p and --password-file in order. Prints its own
// error and returns false when a password file cannot be read.
bool PasswordsInit(const Options& options);

// The password and notice callbacks of arcsalve_repair (`user` unused).
int AskPassword(void* user, const char* name, char* password);
void TellNotice(void* user, const char* text, const char* caption);

// The passwords typed at the terminal that opened an entry, oldest first:
// each repair is a call of its own to the library, which remembers them
// within it only, so the command offers them to the later archives of the
// run before any other.
const std::vector<std::string>& OpenedPasswords();

}  // namespace cli

#endif  // ARCSALVE_CLI_PASSWORDS_H
