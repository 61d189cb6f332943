// The operations: upload (with the download before it) and removal of old files.
#pragma once

#include <cstdint>
#include <ctime>

// The upload operation: optional download, then every pending file of the scan
// folder is sent (curl mode, or SFTP mode when the remote URL begins with "sftp://")
// and then deleted or stamped with the reference time.
void upload_files();

// Fetches one remote file, or every file of a remote folder (URL ending in '/'),
// into `folder`, and nowhere else; each curl run ends after `stall_seconds` without
// progress. Each file is written under a name of its own and renamed to its name once
// whole; a file of that name still pending (modified after `reference_time`) is kept
// and its download skipped. Logs "downloading %s" per list line and
// "getting file %s has failed(%s)" for a failed one; ends at once, logging
// "getting files has failed(no download URL)" for an empty URL,
// "getting files has failed(Cannot open dir: %s)" when `folder` is no directory, and
// "getting files has failed(the download list could not be prepared)".
void download_files(const char* folder, const char* url, const char* user, const char* passwd,
                    uint32_t stall_seconds, time_t reference_time);

// The removal operation. First the age rule: every regular file of the scan folder
// older than the configured age is deleted, but none while the clock is behind the
// reference time and, with keeppending, no pending one. Then, with keepfree, the
// space floor: while the folder's file system has less than keepfree MiB available
// to unprivileged users, the oldest files left go, finished ones before pending ones.
// Each deletion logs "File %s were removed" after its attempt, a pending file's
// preceded by "File %s was never uploaded" (LOG_WARNING). Also logs, at LOG_WARNING,
// "MOD_CRATEFERRY_TIMECOUNT is not set: ..." when the settings file has no line for
// it, "the clock is behind the reference time: no file is removed by age" and, once
// before the floor's first deletion,
// "less than %u MiB free in %s: removing the oldest files"; at LOG_NOTICE "files
// never uploaded and kept past their age: %zu" when keeppending kept any.
void remove_old_files();

// Shared by both operations: the reference time and the clock.

// True when the timestamp file exists; `reference_time` is its modification time,
// 0 without it.
bool read_reference_time(time_t* reference_time);

// True when the clock (`now`) reads earlier than the reference time: it was set
// back, or has not been set since a start without a real-time clock. Never with
// reference time 0, as without a timestamp file.
bool clock_behind_reference(time_t reference_time, time_t now);
