// The operations: upload (with the download before it) and removal of old files.
#pragma once

#include <cstdint>
#include <ctime>

// The upload operation: optional download, then every pending file of the scan
// folder is sent (curl mode, or SFTP mode when the remote URL holds "sftp") and then
// deleted or stamped with the reference time.
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

// The removal operation: deletes every regular file of the scan folder older than
// the configured age and logs "File %s were removed" after each attempt.
void remove_old_files();
