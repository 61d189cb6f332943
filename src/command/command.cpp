// Start-up and dispatch: one start performs the operation its name selects.
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "command/command.h"
#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "settings/settings.h"

int crateferry_main(int argc, char** argv) {
    // Before anything opens a file: a closed standard descriptor would otherwise be
    // taken by one of the program's own files.
    open_standard_descriptors();
    // GNU basename: the text after the last '/', argument left untouched.
    const char* name = argc > 0 ? basename(argv[0]) : nullptr;
    // A person trying the program gets the usage at once, before any FTP wait.
    if (name != nullptr && strcmp(name, "crateFerry") == 0) print_usage();

    // Fails harmlessly when the process already leads a process group.
    (void)setsid();
    // Started by a person at a terminal, every line is also written to standard error,
    // so that it is seen even where no syslog daemon listens; under cron or systemd
    // standard error is no terminal and nothing changes.
    const int to_terminal = isatty(STDERR_FILENO) != 0 ? LOG_PERROR : 0;
    openlog("crateFerry", LOG_PID | LOG_NDELAY | to_terminal, LOG_DAEMON);
    syslog(LOG_NOTICE, "started");
    if (!load_settings(&cfg)) {
        syslog(LOG_NOTICE, "exited");
        return 1;
    }

    if (cfg.checkftp != 0 && !wait_ftp_idle()) return 1;

    if (name != nullptr) {
        if (strcmp(name, "upload") == 0)
            upload_files();
        else if (strcmp(name, "remove") == 0)
            remove_old_files();
        else
            syslog(LOG_NOTICE, "unknown operation");
    }

    syslog(LOG_NOTICE, "exited");
    return 0;
}
