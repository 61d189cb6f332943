// Waiting for the device's FTP server to have no client sessions left.
#include <syslog.h>
#include <unistd.h>

#include "command/command.h"
#include "exec/exec.h"

namespace {

constexpr int k_ftp_probes = 20;
constexpr unsigned k_ftp_probe_pause_seconds = 60;

}  // namespace

int wait_ftp_idle() {
    for (int probes_left = k_ftp_probes; probes_left > 0; --probes_left) {
        // Succeeds while a process named ftpd exists; any other status, including a
        // probe that could not start, ends the wait.
        if (run_command("/bin/sh", "-c", "killall -0 ftpd 2> /dev/null", nullptr) != 0) return 1;
        sleep(k_ftp_probe_pause_seconds);
    }
    syslog(LOG_NOTICE,
           "waiting for disconnection all FTP client failed because of 20 minutes timeout passed");
    return 0;
}
