// The reference time, the timestamp file's modification time: what it says about a
// file, and whether the clock can be trusted to measure from it.
#include <sys/stat.h>

#include "operations/operations.h"
#include "paths.h"

bool read_reference_time(time_t* reference_time) {
    struct stat st;
    const bool exists = stat(paths::timestamp, &st) == 0;
    *reference_time = exists ? st.st_mtime : 0;
    return exists;
}

bool clock_behind_reference(time_t reference_time, time_t now) {
    return now < reference_time;
}
