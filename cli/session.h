// One run of the command: its private temporary directory and Ctrl-C.
#ifndef ARCSALVE_CLI_SESSION_H
#define ARCSALVE_CLI_SESSION_H

namespace cli {

// Creates a private directory (mkdtemp under $TMPDIR, else /tmp) and makes it
// the TMPDIR that the library puts its temporary file in, so that two runs
// never share that file. Installs the signal handlers. Prints its own error
// and returns false when the directory cannot be made.
bool SessionBegin();
// Removes the directory and what the library left in it.
void SessionEnd();

// True once the user pressed Ctrl-C. The first press asks the library to stop
// (the progress callback answers 0); a second one ends the process at once,
// after removing the temporary directory.
bool Interrupted();

}  // namespace cli

#endif  // ARCSALVE_CLI_SESSION_H
