// The upload operation: every pending file of the scan folder is sent, then deleted
// or stamped so that it is no longer pending.
//
// Rules a reader must not break:
// - a file is pending when its modification time is later than the reference time;
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
#include <map>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "paths.h"
#include "transfer/transfer.h"

namespace {

constexpr int k_curl_attempts = 3;
constexpr unsigned k_retry_pause_seconds = 5;
// Files per curl run in batch mode: a bound on the batch file, not on the speed.
constexpr size_t k_files_per_batch = 1000;

// Calls `act(path, state)` for each pending regular file, in the order the folder
// yields them, with the state the walk saw.
template <typename Action>
void for_each_pending(DIR* dir, time_t reference_time, Action act) {
    for_each_regular_file(dir, [&](const char* name, const FileState& state) {
        if (state.mtime > reference_time) act(join_path(cfg.scanfolder, name), state);
    });
}

// Finishes a sent file. A file written since the walk saw it (its size or time
// changed) was perhaps sent only in part: it is left pending, to go whole next time.
// One that vanished meanwhile is finished as usual, which logs what fails.
void finish_uploaded(const char* path, const FileState& seen, time_t reference_time) {
    FileState now{};
    if (file_state(path, &now) && !(now == seen)) {
        syslog(LOG_NOTICE, "File %s changed during its upload, it stays pending", path);
        return;
    }
    syslog(LOG_NOTICE, "File %s was uploaded", path);
    if (cfg.ruploaded != 0) {
        if (unlink(path) == 0) {
            syslog(LOG_NOTICE, "File %s was removed", path);
            return;
        }
        syslog(LOG_ERR, "Removing file %s has failed(%m)", path);
    }
    // Not later than the reference time, so no longer pending.
    set_file_times(path, reference_time);
}

// True, after logging, for a file whose name curl cannot send as itself: attempts
// would fail alike, or worse, send the file under another name.
bool refused_by_curl(const std::string& path) {
    const unsigned char byte = curl_unsendable_byte(path.c_str(), cfg.remoteurl);
    if (byte == 0) return false;
    syslog(LOG_ERR, "File %s cannot be sent over FTP: its name holds the byte 0x%02X", path.c_str(),
           byte);
    return true;
}

// Sends `path` with one curl run per attempt, from attempt number `attempt` on, with
// the pause after every failure; a sent file is finished. Returns how the last
// attempt ended.
Transfer send_with_attempts(const std::string& path, const FileState& seen, int attempt,
                            time_t reference_time) {
    Transfer result = Transfer::failed;
    for (; attempt < k_curl_attempts; ++attempt) {
        result = curl_upload(path.c_str(), cfg.remoteurl, cfg.username, cfg.password);
        if (result == Transfer::sent) {
            finish_uploaded(path.c_str(), seen, reference_time);
            return result;
        }
        sleep(k_retry_pause_seconds);
    }
    return result;
}

void log_stalled_run(size_t left_pending) {
    syslog(LOG_ERR, "upload stopped after a stalled transfer: %zu more files left pending",
           left_pending);
}

// Each pending file gets its attempts. Once a file's last attempt stalled, the link
// is taken for dead: the files after it stay pending for the next run rather than
// each stalling in turn.
void upload_with_curl(DIR* dir, time_t reference_time) {
    bool stalled = false;
    size_t left_pending = 0;
    for_each_pending(dir, reference_time, [&](const std::string& path, const FileState& seen) {
        if (stalled) {
            ++left_pending;
            return;
        }
        if (refused_by_curl(path)) return;
        stalled = send_with_attempts(path, seen, 0, reference_time) == Transfer::stalled;
    });
    if (stalled) log_stalled_run(left_pending);
}

// The pending files go in as few curl runs as possible, each keeping one connection.
// A run stops at the first file that fails: that file gets its remaining attempts one
// by one, as in per-file mode, and a new run takes the files after it.
void upload_with_curl_batch(DIR* dir, time_t reference_time) {
    std::vector<std::string> paths;
    std::vector<FileState> seen;
    for_each_pending(dir, reference_time, [&](const std::string& path, const FileState& state) {
        if (refused_by_curl(path)) return;
        paths.push_back(path);
        seen.push_back(state);
    });
    size_t next = 0;
    while (next < paths.size()) {
        const size_t end = std::min(paths.size(), next + k_files_per_batch);
        const std::vector<std::string> batch(paths.begin() + static_cast<ptrdiff_t>(next),
                                             paths.begin() + static_cast<ptrdiff_t>(end));
        for (const Transfer outcome :
             curl_batch_upload(batch, cfg.remoteurl, cfg.username, cfg.password)) {
            const size_t file = next++;
            if (outcome == Transfer::sent) {
                finish_uploaded(paths[file].c_str(), seen[file], reference_time);
                continue;
            }
            sleep(k_retry_pause_seconds);
            if (send_with_attempts(paths[file], seen[file], 1, reference_time) == Transfer::stalled) {
                log_stalled_run(paths.size() - next);
                return;
            }
        }
    }
}

void upload_with_sftp(DIR* dir, time_t reference_time) {
    sftp_queue_reset();
    std::map<std::string, FileState> queued;
    for_each_pending(dir, reference_time, [&](const std::string& path, const FileState& seen) {
        if (sftp_queue_add(path.c_str())) queued.emplace(path, seen);
    });
    if (queued.empty()) return;
    if (!sftp_batch_upload(cfg.remoteurl, cfg.username, cfg.password)) return;
    sftp_queue_open();
    while (const char* path = sftp_queue_next()) {
        const auto seen = queued.find(path);
        if (seen != queued.end()) finish_uploaded(path, seen->second, reference_time);
    }
    sftp_queue_close();
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
void upload_locked() {
    if (cfg.download != 0)
        download_files(cfg.scanfolder, cfg.download_url, cfg.download_user, cfg.download_passwd);

    const time_t reference_time = file_mtime(paths::timestamp);
    if (clock_behind_reference(reference_time, time(nullptr)))
        syslog(LOG_WARNING,
               "the clock is behind the reference time: files written now are not seen as new");
    UniqueDir dir(opendir(cfg.scanfolder));
    if (!dir) {
        syslog(LOG_ERR, "Cannot open dir: %s", cfg.scanfolder);
        return;
    }
    if (strstr(cfg.remoteurl, "sftp") != nullptr)
        upload_with_sftp(dir.get(), reference_time);
    else if (cfg.curlbatch != 0)
        upload_with_curl_batch(dir.get(), reference_time);
    else
        upload_with_curl(dir.get(), reference_time);
}

}  // namespace

void upload_files() {
    const UniqueFd lock(take_upload_lock());
    if (lock.get() < 0) return;
    // The transfers keep the lock too: a killed run's last transfer still holds it,
    // and no other run starts beside it.
    keep_open_in_children(lock.get());
    upload_locked();
    keep_open_in_children(-1);
}
