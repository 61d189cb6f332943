// The process entry: start-up, the FTP wait, dispatch on the program name.
#pragma once

// Runs one start of the program; the result is the process exit status: 1 when
// the settings file could not be read or the FTP wait timed out, 0 otherwise. Started under its own name, crateFerry, it
// first prints the usage, then goes on as under any other unknown name.
int crateferry_main(int argc, char** argv);

// Writes the usage and the version to standard output, flushed.
void print_usage();

// Waits until no process named ftpd is left: at most 20 probes, 60 seconds apart.
// Returns 1 when the wait ended in time, 0 when it timed out (after logging
// "waiting for disconnection all FTP client failed because of 20 minutes timeout passed").
int wait_ftp_idle();
