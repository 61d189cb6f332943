// The reference time, the timestamp file's modification time: what it says about a
// file, and whether the clock can be trusted to measure from it.
#include <sys/stat.h>

#include "operations/operations.h"
#include "paths.h"

bool read_reference_time(timespec* reference_time) {
    struct stat st;
    const bool exists = stat(paths::timestamp, &st) == 0;
    *reference_time = exists ? st.st_mtim : timespec{0, 0};
    return exists;
}

bool is_pending(const FileState& state, const timespec& reference_time) {
    // A file system with whole (or 2-second) times gives both nanoseconds 0.
    if (state.mtime != reference_time.tv_sec) return state.mtime > reference_time.tv_sec;
    return state.mtime_nsec > reference_time.tv_nsec;
}

bool clock_behind_reference(time_t reference_time, time_t now) {
    return now < reference_time;
}
