// The operations: upload (with the download before it) and removal of old files.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "paths.h"
#include "settings/settings.h"

// The upload operation: optional download, then every pending file of the scan
// folder is sent (curl mode, or SFTP mode when the remote URL holds "sftp") and then
// deleted or stamped with the reference time.
void upload_files();

// Fetches one remote file, or every file of a remote folder (URL ending in '/'),
// into `folder`, and nowhere else. Logs "downloading %s" per list line and
// "getting file %s has failed(%s)" for a failed one; ends at once, logging
// "getting files has failed(no download URL)" for an empty URL and
// "getting files has failed(Cannot open dir: %s)" when `folder` is no directory.
void download_files(const char* folder, const char* url, const char* user, const char* passwd);

// The shell commands of the download step, exposed for their exact texts. Every
// value reaches its tool as exactly itself. `credentials` is empty (no credentials)
// or curl_credentials_prefix(), whose secret the step passes in the environment.
std::string download_listing_command(const char* url, const std::string& credentials);
// Puts `url` in front of every line of the list file.
std::string download_prefix_command(const char* url, const char* list_path = paths::download_list);
// Writes `url` as the one line of the list file.
std::string download_single_command(const char* url, const char* list_path = paths::download_list);
// Fetches `file_url` with -O: curl stores it under the last segment of the URL.
std::string download_file_command(const char* folder, const std::string& credentials,
                                  const std::string& file_url);
// Fetches `file_url` with -o, storing it as `name` in `folder`.
std::string download_named_file_command(const char* folder, const std::string& credentials,
                                        const std::string& file_url, const std::string& name);

// The name a list line is stored under in the scan folder: the name after
// `folder_url`, or, when `folder_url` is empty (the URL of one file), the URL's last
// path segment percent-decoded. False when the line must not be fetched: it holds a
// NUL byte, or the name is ".", ".." or holds a '/' (after decoding), so it would not
// be a file of that folder; or the one file's name is empty.
bool download_line_name(const char* folder_url, const std::string& line, std::string* name);

// The command that fetches one list line into `folder` under download_line_name, or
// an empty text when the line must not be fetched. A name that curl reads literally
// in a URL, and -O stores as itself, gets the -O command; any other name is
// percent-encoded in the URL (a one-file URL: only the bytes curl refuses) and stored
// with -o under itself.
std::string download_line_command(const char* folder, const std::string& credentials,
                                  const char* folder_url, const std::string& line);

// True when curl fetches `name` as the last URL segment exactly as written and -O
// stores it under that name: it holds only ASCII letters, digits and @+=:,._-
bool is_literal_url_name(const std::string& name);

// False for ".", ".." and names holding a '/': they are no file of the listed folder.
bool is_file_name(const std::string& name);

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

// True when the timestamp file exists; `reference_time` is its modification time,
// 0 without it.
bool read_reference_time(time_t* reference_time);

// True when the clock (`now`) reads earlier than the reference time: it was set
// back, or has not been set since a start without a real-time clock. Never with
// reference time 0, as without a timestamp file.
bool clock_behind_reference(time_t reference_time, time_t now);

// The configured maximum age in seconds: timecount times the unit timeunit selects
// (2 day, 3 thirty days, 4 360 days, anything else an hour), in 64 bits.
int64_t max_age_seconds(const Settings& settings);
