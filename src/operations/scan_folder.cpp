// The scan folder as both operations meet it: opened safely, and the one line for an
// entry the walk could not examine.
#include <syslog.h>

#include <cerrno>
#include <string>

#include "fileutil/fileutil.h"
#include "operations/operations.h"

void log_unexamined(const char* folder, const char* name) {
    const int error = errno;
    const std::string path = name != nullptr ? join_path(folder, name) : folder;
    errno = error;
    syslog(LOG_ERR, "Cannot examine %s: %m", path.c_str());
}

int open_scan_folder(const char* folder, bool* unsafe) {
    std::string why;
    const int fd = open_trusted_folder(folder, &why);
    *unsafe = !why.empty();
    if (*unsafe) syslog(LOG_ERR, "the scan folder %s is not safe: %s", folder, why.c_str());
    return fd;
}
