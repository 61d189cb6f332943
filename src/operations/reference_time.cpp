// The reference time, the timestamp file's modification time: what it says about a
// file, and whether the clock can be trusted to measure from it.
#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "paths.h"

bool read_reference_time(time_t* reference_time) {
    FileState state{};
    const bool exists = file_state(paths::timestamp, &state);
    *reference_time = exists ? state.mtime : 0;
    return exists;
}

bool clock_behind_reference(time_t reference_time, time_t now) {
    return now < reference_time;
}
