// Passwords of encrypted entries: those given on the command line, then the
// user at the terminal. The library tries the passwords that opened earlier
// entries by itself before it asks here.
#ifndef ARCSALVE_CLI_PASSWORDS_H
#define ARCSALVE_CLI_PASSWORDS_H

#include "options.h"

namespace cli {

// Collects the passwords of -p and --password-file in order. Prints its own
// error and returns false when a password file cannot be read.
bool PasswordsInit(const Options& options);

// Installs the password and notice callbacks in the library;
// RemovePasswordCallbacks takes them out again.
void InstallPasswordCallbacks();
void RemovePasswordCallbacks();

}  // namespace cli

#endif  // ARCSALVE_CLI_PASSWORDS_H
