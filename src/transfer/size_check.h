// The size check before a sent file is finished (MOD_CRATEFERRY_VERIFY): what the
// server reports for a file's final name, read from each tool's answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/curl.h"

// What a server reported of one file.
struct ReportedSize {
    enum Kind { unknown, no_file, bytes };
    Kind kind = unknown;  // unknown: no size it can report
    uint64_t size = 0;  // with bytes
};

// The state of the check through one upload: whether the first file told that the
// server can report sizes at all.
struct SizeCheck {
    bool told = false;
    bool server_cannot = false;
};

// The command of curl run `run` that asks sizes: its configuration (credentials
// included) is run_file(/var/crateFerry/curl_sizes, run), its answers come on
// standard output.
std::string curl_size_command(unsigned run = 0);

// The sizes of `count` files from a curl run's output: per file the head answer
// (FTP SIZE as "Content-Length:", an HTTP status and Content-Length, file:// alike)
// and then "crateferry-size EXITCODE"; curl's codes 78 (FTP) and 37 (file://) and
// HTTP 404 or 410 mean no file, any other failure no size.
std::vector<ReportedSize> read_curl_sizes(const std::string& output, size_t count);

// The queue line of the sftp session that asks the size of the remote file `name`.
std::string sftp_size_line(const std::string& name);

// The sizes of `files` from that session's output, where sftp echoes each command
// after "sftp> " and lists a file as "ls -ln" does (its fifth field the size); a
// file not listed is no file.
std::vector<ReportedSize> read_sftp_sizes(const std::string& output,
                                          const std::vector<OpenFile>& files);

// The sizes the server holds under the final names of `files` (curl_target_url, or
// the name in the SFTP folder), asked by up to remote.transfers curl runs or sftp
// sessions at once, each over its part of the files (split_into_runs).
std::vector<ReportedSize> remote_sizes(const std::vector<OpenFile>& files, const Remote& remote);

// Per file of `files`, which the tool reported sent: true when the server holds every
// byte of the open file under its final name. Otherwise logs at LOG_ERR "File %s is
// not finished: the server holds %s under its name, not %llu bytes" ("no file", "N
// bytes" or "no size it can report"). When the first file checked gets no size, the
// server cannot report sizes: logs once at LOG_ERR "the server cannot report file
// sizes: sent files are left pending", and every file from then on is false.
std::vector<bool> check_sizes(const std::vector<OpenFile>& files, const Remote& remote,
                              SizeCheck* check);
