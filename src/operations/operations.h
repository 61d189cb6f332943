// The operations: upload (with the download before it) and removal of old files.
#pragma once

#include <cstdint>
#include <ctime>

#include "fileutil/fileutil.h"

// The upload operation: optional download, then every pending file of the scan
// folder is sent (curl mode, or SFTP mode when the remote URL begins with "sftp://")
// and then deleted or stamped with the reference time.
void upload_files();

// Fetches one remote file, or every file of a remote folder (URL ending in '/'),
// into the open folder `folder_fd` (named `folder` in the log), and nowhere else; each curl run ends after `stall_seconds` without
// progress, and takes at most `rate_kib` KiB/s (0: no cap). Each file is written under a name of its own and renamed to its name once
// whole; a file of that name still pending (is_pending against `reference_time`) is kept
// and its download skipped. Logs "downloading %s" per list line and
// "getting file %s has failed(%s)" for a failed one; ends at once, logging
// "getting files has failed(no download URL)" for an empty URL,
// "getting files has failed(Cannot open dir: %s)" when `folder_fd` is -1, and
// "getting files has failed(the download list could not be prepared)".
void download_files(int folder_fd, const char* folder, const char* url, const char* user, const char* passwd,
                    uint32_t stall_seconds, uint32_t rate_kib, const timespec& reference_time);

// The removal operation. First the age rule: every regular file of the scan folder
// older than the configured age is deleted, but none while the clock is behind the
// reference time and, with keeppending, no pending one. Then, with keepfree, the
// space floor: while the folder's file system has less than keepfree MiB available
// to unprivileged users, the oldest files left go, finished ones before pending ones.
// While an upload holds its lock, no file it sees as pending is touched; they are
// counted in "an upload is running: %zu pending files are left for the next remove"
// (LOG_NOTICE). Each deletion logs "File %s were removed" after its attempt, a pending file's
// preceded by "File %s was never uploaded" (LOG_WARNING). Also logs, at LOG_WARNING,
// "MOD_CRATEFERRY_TIMECOUNT is not set: ..." when the settings file has no line for
// it, "the clock is behind the reference time: no file is removed by age" and, once
// before the floor's first deletion,
// "less than %u MiB free in %s: removing the oldest files"; at LOG_NOTICE "files
// never uploaded and kept past their age: %zu" when keeppending kept any.
void remove_old_files();

// Shared by both operations: the reference time, the clock and the run's report.

// True when the timestamp file exists; `reference_time` is its modification time,
// nanoseconds included, 0 without it.
bool read_reference_time(timespec* reference_time);

// Opens the scan folder `folder` (open_trusted_folder) as a descriptor; -1 when it
// cannot be opened. When a link on its path is not root's, logs at LOG_ERR "the scan
// folder %s is not safe: %s" and sets *unsafe: the run then touches nothing.
int open_scan_folder(const char* folder, bool* unsafe);

// Logs at LOG_ERR "Cannot examine %s: %m" for the entry `name` of `folder`, or for
// the folder itself when `name` is null; call it with errno as the failure left it.
void log_unexamined(const char* folder, const char* name);

// True when a file modified at `state`'s time is pending: modified later than the
// reference time, at the finest resolution both times carry.
bool is_pending(const FileState& state, const timespec& reference_time);

// True when the clock (`now`) reads earlier than the reference time: it was set
// back, or has not been set since a start without a real-time clock. Never with
// reference time 0, as without a timestamp file.
bool clock_behind_reference(time_t reference_time, time_t now);

// What one upload run did, from its own walk and transfers.
struct UploadReport {
    size_t sent = 0;          // finished as sent
    size_t failed = 0;        // every attempt failed (or the session did)
    size_t changed = 0;       // sent, but written meanwhile: still pending
    size_t refused = 0;       // not tried: a name the way of sending cannot carry, or
                              // no longer the file the walk found
    size_t left_pending = 0;  // found pending and not finished by this run
    uint64_t bytes_sent = 0;  // sizes of the sent files, as the walk saw them
    uint64_t pending_bytes = 0;
    time_t oldest_pending = 0;  // modification time of the oldest file left; 0: none
    bool clock_behind = false;
};

// What one remove run did.
struct RemoveReport {
    size_t removed = 0;
    size_t never_uploaded = 0;  // of the removed ones, files still pending
    size_t failed = 0;          // deletions that failed
    uint64_t bytes_freed = 0;
    uint64_t free_bytes = 0;  // available to unprivileged users after the run
    bool clock_behind = false;
};

// When `metrics_folder` is not empty, writes crateferry_upload.prom there (keeping the
// last success time of the file before; "Cannot write metrics file %s: %m" at LOG_ERR
// when it cannot); then logs "upload summary: S sent, F failed, C changed, R refused,
// P left pending, B bytes sent in T s" at LOG_NOTICE. `seconds` is the run's duration,
// `end` its end.
void report_upload(const UploadReport& report, double seconds, time_t end,
                   const char* metrics_folder);

// The same for a remove run: crateferry_remove.prom, then "remove summary: N removed
// (U never uploaded), K could not be removed, B bytes freed in T s".
void report_remove(const RemoveReport& report, double seconds, time_t end,
                   const char* metrics_folder);

// Seconds on the monotonic clock, for a run's duration.
double monotonic_seconds();
