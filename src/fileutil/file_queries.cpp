// File status queries, time stamping and path joining.
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>

#include "fileutil/fileutil.h"

time_t file_mtime(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_mtime : 0;
}

off_t file_size(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_size : 0;
}

int set_file_times(const char* path, time_t t) {
    const struct timeval times[2] = {{t, 0}, {t, 0}};
    if (utimes(path, times) != 0) syslog(LOG_NOTICE, "modification of file %s failed: %m", path);
    return 0;
}

bool file_state(const char* path, FileState* state) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *state = file_state_of(st);
    return true;
}

bool is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string join_path(const char* folder, const char* name) {
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}
