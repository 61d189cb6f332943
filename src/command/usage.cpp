// The text for a person who starts the program under its own name: the two names
// that do the work, where the settings and the log are, and the version.
#include <cstdio>

#include "command/command.h"
#include "paths.h"

// Set by the build from the project's version.
#ifndef CRATEFERRY_VERSION
#error "CRATEFERRY_VERSION must be defined by the build"
#endif

void print_usage() {
    // Standard output may be closed or /dev/null (cron, a timer): the text is
    // then lost, and the run goes on all the same.
    (void)printf(
        "crateFerry %s\n"
        "Started under one of two names, it performs one operation and exits:\n"
        "  /opt/crateFerry/bin/upload   send the new files of the scan folder\n"
        "  /opt/crateFerry/bin/remove   delete the scan folder's files older than the set age\n"
        "Arguments are ignored; there are no options.\n"
        "Settings: %s\n"
        "Log: syslog, identity crateFerry (journalctl -t crateFerry, logread, /var/log/syslog)\n"
        "Manual: man crateFerry\n",
        CRATEFERRY_VERSION, paths::settings);
    (void)fflush(stdout);
}
