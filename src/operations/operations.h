// The operations: upload (with the download before it) and removal of old files.
#pragma once

#include <cstdint>
#include <string>

#include "settings/settings.h"

// The upload operation: optional download, then every pending file of the scan
// folder is sent (curl mode, or SFTP mode when the remote URL holds "sftp") and then
// deleted or stamped with the reference time.
void upload_files();

// Fetches one remote file, or every file of a remote folder (URL ending in '/'),
// into `folder`. Logs "downloading %s" per file and its failures; returns nothing.
void download_files(const char* folder, const char* url, const char* user, const char* passwd);

// The shell commands of the download step, exposed for their exact texts.
std::string download_listing_command(const char* url, const std::string& credentials);
std::string download_prefix_command(const char* url);
std::string download_single_command(const char* url);
std::string download_file_command(const char* folder, const std::string& credentials,
                                  const std::string& file_url);

// The removal operation: deletes every regular file of the scan folder older than
// the configured age and logs "File %s were removed" after each attempt.
void remove_old_files();

// The configured maximum age in seconds: timecount times the unit timeunit selects
// (2 day, 3 thirty days, 4 360 days, anything else an hour), in 64 bits.
int64_t max_age_seconds(const Settings& settings);
