// The remove operation: pruning the scan folder of files older than the configured age.
#include <fcntl.h>
#include <syslog.h>

#include <ctime>

#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "settings/settings.h"

namespace {

// The configured maximum age in seconds: timecount times the unit timeunit selects
// (2 day, 3 thirty days, 4 360 days, anything else an hour), in 64 bits.
int64_t max_age_seconds(const Settings& settings) {
    int64_t unit_seconds = 3600;
    switch (settings.timeunit) {
        case 2: unit_seconds = 86400; break;
        case 3: unit_seconds = 2592000; break;
        case 4: unit_seconds = 31104000; break;
        default: break;
    }
    return static_cast<int64_t>(settings.timecount) * unit_seconds;
}

}  // namespace

void remove_old_files() {
    const int64_t max_age = max_age_seconds(cfg);
    const int64_t now = time(nullptr);
    UniqueDir dir(opendir(cfg.scanfolder));
    if (!dir) {
        syslog(LOG_ERR, "Cannot open dir: %s", cfg.scanfolder);
        return;
    }
    // Entries are examined and deleted relative to the open folder, so the file acted
    // on is always the one the walk found, however long its path.
    const int dir_fd = dirfd(dir.get());
    for_each_regular_file(dir.get(), [&](const char* name, const FileState& state) {
        if (static_cast<int64_t>(state.mtime) + max_age >= now) return;
        // A failed deletion is not reported as such; the line is logged all the same.
        (void)unlinkat(dir_fd, name, 0);
        syslog(LOG_NOTICE, "File %s were removed", join_path(cfg.scanfolder, name).c_str());
    });
}
