// One run of the command: its private temporary directory and the signals
// that stop it.
#ifndef ARCSALVE_CLI_SESSION_H
#define ARCSALVE_CLI_SESSION_H

namespace cli {

// With makeTemporary, creates a private directory (mkdtemp under $TMPDIR,
// else /tmp) and makes it the TMPDIR that the library puts its temporary
// file in, so that two runs never share that file (a test-only run, which
// writes nothing, needs none). Installs the signal handlers. Prints its own
// error and returns false when the directory cannot be made.
bool SessionBegin(bool makeTemporary);
// Removes the directory and what the library left in it.
void SessionEnd();

// True once a stop was asked for: Ctrl-C, SIGTERM, SIGHUP, or a failed
// write to standard output (its reader has gone; SIGPIPE is ignored). The
// first asks the library to stop (the progress callback answers 0); a
// second signal ends the process at once, after removing the temporary
// directory.
bool Interrupted();
// Asks for a stop as if `signal` had come (SIGPIPE for a broken standard
// output); the first cause is the one kept.
void RequestStop(int signal);
// The exit status of a stopped run: 128 + the signal (130 for Ctrl-C, 143
// SIGTERM, 129 SIGHUP, 141 a broken standard output).
int StopStatus();

}  // namespace cli

#endif  // ARCSALVE_CLI_SESSION_H
