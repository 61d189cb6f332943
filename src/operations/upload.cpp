// The upload operation: every pending file of the scan folder is sent, then deleted
// or stamped so that it is no longer pending.
//
// Rules a reader must not break:
// - a file is pending when its modification time is later than the reference time,
//   nanoseconds included (is_pending);
// - a file is finished (deleted or stamped) only after the transfer said it went;
// - at most one upload works at a time, under an flock that the run and its
//   children hold; the kernel drops it when the last of them has ended.
#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "paths.h"
#include "settings/settings.h"
#include "transfer/transfer.h"

namespace {

// The remote side of the run, as the settings describe it.
Remote remote_from_settings(const Settings& settings) {
    Remote remote;
    remote.url = settings.remoteurl;
    remote.user = settings.username;
    remote.password = settings.password;
    remote.stall_seconds = stall_seconds(settings);
    remote.temporary_names = settings.tempupload != 0;
    remote.temporary_tag = random_tag();
    remote.curl_batch = settings.curlbatch != 0;
    remote.rate_kib = settings.ratelimit;
    remote.transfers = std::min(std::max<uint32_t>(settings.parallel, 1), k_most_transfers);
    remote.verify = settings.verify != 0;
    return remote;
}

// The pending regular files of the folder, in the order it yields them, with the
// state the walk saw. A file modified less than `min_age` seconds before `now` is
// still being written, perhaps: it is left for a later run, in `young`. The download
// step's files in the making are never pending. An entry that cannot be examined is
// logged and counted in `unexamined`: it may be pending, and is not sent.
std::vector<PendingFile> pending_files(DIR* dir, const timespec& reference_time, time_t now,
                                       uint32_t min_age, std::vector<PendingFile>* young,
                                       size_t* unexamined) {
    std::vector<PendingFile> pending;
    const int folder_fd = dirfd(dir);
    const size_t prefix_length = strlen(paths::download_temporary_prefix);
    for_each_regular_file(dir, [&](const char* name, const FileState& state) {
        if (!is_pending(state, reference_time)) return;
        if (strncmp(name, paths::download_temporary_prefix, prefix_length) == 0) return;
        const bool is_young =
            min_age != 0 && static_cast<int64_t>(now) - state.mtime < static_cast<int64_t>(min_age);
        (is_young ? young : &pending)->push_back({folder_fd, name, join_path(cfg.scanfolder, name), state});
    }, [&](const char* name) {
        log_unexamined(cfg.scanfolder, name);
        ++*unexamined;
    });
    return pending;
}

// Deletes the sent file's name, only when it still is the file that was sent. True
// when the sent file keeps its name (its deletion failed): it is stamped instead.
bool remove_sent_file(const PendingFile& file) {
    const char* path = file.path.c_str();
    struct stat st;
    if (fstatat(file.folder_fd, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // A remove run may have taken it meanwhile: the sent file is gone, as asked.
        if (errno == ENOENT)
            syslog(LOG_NOTICE, "File %s was already removed", path);
        else
            syslog(LOG_ERR, "Removing file %s has failed(%m)", path);
        return false;
    }
    if (!same_file(file_state_of(st), file.seen)) {
        syslog(LOG_ERR, "Removing file %s has failed(it was replaced after the walk)", path);
        return false;
    }
    if (unlinkat(file.folder_fd, file.name.c_str(), 0) == 0) {
        syslog(LOG_NOTICE, "File %s was removed", path);
        return false;
    }
    if (errno == ENOENT) {
        syslog(LOG_NOTICE, "File %s was already removed", path);
        return false;
    }
    syslog(LOG_ERR, "Removing file %s has failed(%m)", path);
    return true;
}

// Finishes a sent file through `fd`, the open file that was sent. A file written
// since the walk saw it (its size or time changed) was perhaps sent only in part: it
// is left pending, to go whole next time, and false comes back.
bool finish_uploaded(const PendingFile& file, int fd, const timespec& reference_time) {
    const char* path = file.path.c_str();
    struct stat st;
    if (fstat(fd, &st) == 0 && !(file_state_of(st) == file.seen)) {
        syslog(LOG_NOTICE, "File %s changed during its upload, it stays pending", path);
        return false;
    }
    syslog(LOG_NOTICE, "File %s was uploaded", path);
    // Stamped only while its name is still there: a deletion that failed must not
    // make it go again.
    if (cfg.ruploaded != 0 && !remove_sent_file(file)) return true;
    // The reference time itself, nanoseconds included: no longer pending.
    set_open_file_times(fd, path, reference_time);
    return true;
}

// Takes out of `pending` the files whose names have the form of a temporary name,
// when this run sends under such names: one of them on the server could be another
// file's upload in the making. They are left alone and counted as refused.
std::vector<PendingFile> temporary_look_alikes(const Remote& remote, std::vector<PendingFile>* pending) {
    std::vector<PendingFile> skipped;
    if (!uses_temporary_names(remote)) return skipped;
    const auto look_alike = [](const PendingFile& file) { return has_temporary_form(file.name); };
    const auto first = std::stable_partition(pending->begin(), pending->end(),
                                             [&](const PendingFile& file) { return !look_alike(file); });
    skipped.assign(first, pending->end());
    pending->erase(first, pending->end());
    if (!skipped.empty())
        syslog(LOG_WARNING,
               "%zu pending files are not sent: their names have the form of this program's "
               "temporary names",
               skipped.size());
    return skipped;
}

// Counts a file left pending.
void count_left_pending(const PendingFile& file, UploadReport* report) {
    ++report->left_pending;
    report->pending_bytes += static_cast<uint64_t>(file.seen.size);
    if (report->oldest_pending == 0 || file.seen.mtime < report->oldest_pending)
        report->oldest_pending = file.seen.mtime;
}

// Takes the upload lock without waiting. Returns the held descriptor, or -1 (after
// logging) when another upload holds it or it cannot be had.
int take_upload_lock() {
    const int fd = open(paths::upload_lock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        syslog(LOG_ERR, "Cannot open lock file %s: %m", paths::upload_lock);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno == EWOULDBLOCK)
        syslog(LOG_NOTICE, "another upload is running, this one does nothing");
    else
        syslog(LOG_ERR, "Cannot lock file %s: %m", paths::upload_lock);
    close(fd);
    return -1;
}

// The operation itself, run while the lock is held.
UploadReport upload_locked() {
    UploadReport report;
    timespec reference_time{0, 0};  // without the timestamp file every file is pending
    (void)read_reference_time(&reference_time);
    report.clock_behind = clock_behind_reference(reference_time.tv_sec, time(nullptr));
    if (report.clock_behind)
        syslog(LOG_WARNING,
               "the clock is behind the reference time: files written now are not seen as new");
    bool unsafe = false;
    UniqueFd folder(open_scan_folder(cfg.scanfolder, &unsafe));
    if (unsafe) return report;
    const int open_error = errno;
    if (cfg.download != 0)
        download_files(folder.get(), cfg.scanfolder, cfg.download_url, cfg.download_user,
                       cfg.download_passwd, stall_seconds(cfg), cfg.ratelimit, reference_time);
    // Opened after the download step, so that the walk sees what it fetched.
    UniqueDir dir(folder.get() >= 0 ? fdopendir(folder.get()) : nullptr);
    if (!dir) {
        errno = open_error;
        syslog(LOG_ERR, "Cannot open dir: %s", cfg.scanfolder);
        return report;
    }
    (void)folder.release();  // the folder's handle owns it now
    std::vector<PendingFile> young;
    std::vector<PendingFile> pending = pending_files(dir.get(), reference_time, time(nullptr),
                                                     cfg.minage, &young, &report.left_pending);
    const Remote remote = remote_from_settings(cfg);
    const std::vector<PendingFile> look_alikes = temporary_look_alikes(remote, &pending);
    std::vector<bool> finished(pending.size(), false);
    const std::vector<Outcome> outcomes =
        send_files(remote, pending, [&](size_t place, int fd) {
            const PendingFile& file = pending[place];
            finished[place] = finish_uploaded(file, fd, reference_time);
            if (!finished[place]) return;
            ++report.sent;
            report.bytes_sent += static_cast<uint64_t>(file.seen.size);
        });
    for (size_t i = 0; i < pending.size(); ++i) {
        switch (outcomes[i]) {
            case Outcome::sent: report.changed += finished[i] ? 0 : 1; break;
            case Outcome::failed:
            case Outcome::stalled:
            case Outcome::unreachable:
            case Outcome::unverified: ++report.failed; break;
            case Outcome::refused:
            case Outcome::unsafe: ++report.refused; break;
            case Outcome::not_tried: break;
        }
        if (!finished[i]) count_left_pending(pending[i], &report);
    }
    for (const PendingFile& file : young) count_left_pending(file, &report);
    for (const PendingFile& file : look_alikes) {
        ++report.refused;
        count_left_pending(file, &report);
    }
    return report;
}

}  // namespace

void upload_files() {
    const double start = monotonic_seconds();
    const UniqueFd lock(take_upload_lock());
    if (lock.get() < 0) return;
    // The transfers keep the lock too: a killed run's last transfer still holds it,
    // and no other run starts beside it.
    keep_open_in_children(lock.get());
    remove_batch_leftovers();
    const UploadReport report = upload_locked();
    keep_open_in_children(-1);
    report_upload(report, monotonic_seconds() - start, time(nullptr), cfg.metricsdir);
}
