// The remove operation: pruning the scan folder of files older than the configured
// age, then, when asked, of the oldest files until enough space is free.
//
// Rules a reader must not break:
// - entries are examined and deleted relative to the open folder, so the file acted
//   on is always the one the walk found, however long its path;
// - a file is pending only when the timestamp file exists and the file is newer:
//   without it nothing is known to be unsent;
// - one walk of the folder; the space floor sorts what the walk kept, and keeps
//   nothing in memory when it is off.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "paths.h"
#include "settings/settings.h"

namespace {

// A file the age rule left, which the space floor may take.
struct KeptFile {
    std::string name;
    FileState state;
    bool pending;
};

// Finished files first, then pending ones; oldest first within each.
bool removed_sooner(const KeptFile& a, const KeptFile& b) {
    return std::tie(a.pending, a.state.mtime, a.state.mtime_nsec, a.name) <
           std::tie(b.pending, b.state.mtime, b.state.mtime_nsec, b.name);
}

// Deletes one entry and counts it in `report`.
void remove_entry(int dir_fd, const char* name, const FileState& state, bool pending,
                  RemoveReport* report) {
    const std::string path = join_path(cfg.scanfolder, name);
    if (pending) syslog(LOG_WARNING, "File %s was never uploaded", path.c_str());
    // A failed deletion gets the same line; the summary tells it apart.
    const bool removed = unlinkat(dir_fd, name, 0) == 0;
    syslog(LOG_NOTICE, "File %s were removed", path.c_str());
    if (!removed) {
        ++report->failed;
        return;
    }
    ++report->removed;
    report->never_uploaded += pending ? 1 : 0;
    report->bytes_freed += static_cast<uint64_t>(state.size);
}

// Space available to unprivileged users on the file system of `dir_fd`; false when it
// cannot be told.
bool free_bytes(int dir_fd, uint64_t* bytes) {
    struct statvfs fs;
    if (fstatvfs(dir_fd, &fs) != 0) return false;
    *bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    return true;
}

bool below_floor(int dir_fd, uint64_t floor_bytes) {
    // A file system that cannot tell its free space is taken as above the floor:
    // nothing is deleted on a guess.
    uint64_t available = 0;
    return free_bytes(dir_fd, &available) && available < floor_bytes;
}

// The space floor: the free space is read again after each deletion.
void keep_space_free(int dir_fd, std::vector<KeptFile>* kept, RemoveReport* report) {
    const uint64_t floor_bytes = static_cast<uint64_t>(cfg.keepfree) << 20;
    if (kept->empty() || !below_floor(dir_fd, floor_bytes)) return;
    syslog(LOG_WARNING, "less than %u MiB free in %s: removing the oldest files", cfg.keepfree,
           cfg.scanfolder);
    std::sort(kept->begin(), kept->end(), removed_sooner);
    for (const KeptFile& file : *kept) {
        remove_entry(dir_fd, file.name.c_str(), file.state, file.pending, report);
        if (!below_floor(dir_fd, floor_bytes)) return;
    }
}

// True when an upload holds its lock now; nothing is waited for.
bool upload_running() {
    const UniqueFd lock(open(paths::upload_lock, O_RDONLY | O_CLOEXEC));
    return lock.get() >= 0 && flock(lock.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

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

// The operation, counting what it did.
void remove_counted(RemoveReport* report) {
    if (cfg.timecount_missing)
        syslog(LOG_WARNING,
               "MOD_CRATEFERRY_TIMECOUNT is not set: every file modified before now counts as old");
    const int64_t max_age = max_age_seconds(cfg);
    const int64_t now = time(nullptr);
    timespec reference_time{0, 0};
    const bool reference_known = read_reference_time(&reference_time);
    report->clock_behind = clock_behind_reference(reference_time.tv_sec, now);
    if (report->clock_behind)
        syslog(LOG_WARNING, "the clock is behind the reference time: no file is removed by age");
    // Nor when the age itself could not be read: the settings warned about it.
    const bool by_age = !report->clock_behind && !cfg.age_invalid;
    bool unsafe = false;
    UniqueFd folder(open_scan_folder(cfg.scanfolder, &unsafe));
    if (unsafe) return;
    UniqueDir dir(folder.get() >= 0 ? fdopendir(folder.get()) : nullptr);
    if (!dir) {
        syslog(LOG_ERR, "Cannot open dir: %s", cfg.scanfolder);
        return;
    }
    (void)folder.release();  // the folder's handle owns it now
    const int dir_fd = dirfd(dir.get());
    // An upload at work may be sending any file it sees as pending: those stay.
    const bool uploading = upload_running();
    size_t left_to_upload = 0;
    std::vector<KeptFile> kept;
    size_t pending_kept_past_age = 0;
    for_each_regular_file(dir.get(), [&](const char* name, const FileState& state) {
        if (uploading && is_pending(state, reference_time)) {
            ++left_to_upload;
            return;
        }
        const bool pending = reference_known && is_pending(state, reference_time);
        if (by_age && static_cast<int64_t>(state.mtime) + max_age < now) {
            if (!pending || cfg.keeppending == 0) {
                remove_entry(dir_fd, name, state, pending, report);
                return;
            }
            ++pending_kept_past_age;
        }
        if (cfg.keepfree != 0) kept.push_back(KeptFile{name, state, pending});
    }, [&](const char* name) {
        log_unexamined(cfg.scanfolder, name);
        ++report->failed;
    });
    if (uploading)
        syslog(LOG_NOTICE, "an upload is running: %zu pending files are left for the next remove",
               left_to_upload);
    if (pending_kept_past_age != 0)
        syslog(LOG_NOTICE, "files never uploaded and kept past their age: %zu",
               pending_kept_past_age);
    if (cfg.keepfree != 0) keep_space_free(dir_fd, &kept, report);
    (void)free_bytes(dir_fd, &report->free_bytes);  // 0 when it cannot be told
}

void remove_old_files() {
    const double start = monotonic_seconds();
    RemoveReport report;
    remove_counted(&report);
    report_remove(report, monotonic_seconds() - start, time(nullptr), cfg.metricsdir);
}
