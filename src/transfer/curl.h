// Every curl command text: one upload attempt, the batch, the download's listing and
// fetches; and the URL pieces, credentials and stall options they share.
//
// Rules a reader must not break:
// - every value reaches curl as exactly itself: quoted for the shell, escaped in
//   curl's config syntax, or percent-encoded in a URL;
// - no secret stands in a command text: credentials travel in the environment.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "paths.h"
#include "transfer/remote_names.h"
#include "transfer/transfer.h"

// -- stall limits, credentials, URL arguments --------------------------------

// curl's options that end an attempt making no progress for `seconds`: no
// connection, greeting and login within it, or less than 1 byte a second for that
// long. Ends in a blank.
std::string curl_stall_options(uint32_t seconds);

// The same limits in curl's config syntax, one option a line.
std::string curl_config_stall_options(uint32_t seconds);

// curl's cap on the transfer rate, `kib` KiB/s: "--limit-rate NK ", or nothing for 0.
std::string curl_rate_option(uint32_t kib);

// The cap of each of `transfers` transfers (curl runs or sftp sessions) at once under
// a run's cap of `rate_kib` KiB/s (0: none): the cap divided among them, at least 1.
// Both tools cap each transfer on its own.
uint32_t rate_per_transfer(uint32_t rate_kib, uint32_t transfers);

// The working file `path` (batch file, error text, queue, end mark) of transfer
// number `run` of several at once, counted from 0: `path` itself for the first,
// "PATH.2", "PATH.3", ... for the others.
std::string run_file(const char* path, unsigned run);

// The same cap in curl's config syntax: "limit-rate = NK" and a line feed, or nothing.
std::string curl_config_rate_option(uint32_t kib);

// curl's exit code for an attempt that timed out: the connect timeout or the low-speed
// limit.
constexpr int k_curl_timed_out = 28;

// True for the wait status of a curl command that ended on those limits.
bool curl_stalled(int status);

// How a curl transfer with exit code `code` ended: sent (0), stalled (the stall
// limits), unreachable (the host could not be resolved, the connection was refused,
// the login was denied: 6, 7, 67), else failed.
Outcome curl_outcome(int code);

// `value` for curl's configuration syntax inside double quotes: backslashes and '"' get a
// backslash, CR and LF become \r and \n; curl reads it back as exactly `value`.
std::string curl_config_escape(const std::string& value);

// One line of curl's config syntax: NAME = "VALUE", the value escaped
// (curl_config_escape), line feed included.
std::string curl_config_option(const char* name, const std::string& value);

// The credentials travel in the environment of the transfer's shell, never in an
// argument list: curl_credentials_secret is the entry (CRATEFERRY_CURL_USER=
// user="USER:PASS" in curl's config syntax), to be passed to run_shell_with_secrets,
// and curl_credentials_prefix the shell text that pipes it into the curl command
// that follows, for its "-K -": printf is built into the shell, so no process
// shows the line.
std::string curl_credentials_secret(const char* user, const char* passwd);
std::string curl_credentials_prefix();

// A URL as one curl argument: quoted for the shell when needed, after "-g" when
// curl would otherwise glob its brackets or braces, and after "--url" when it
// begins with '-'.
std::string curl_url_argument(const std::string& url);

// -- upload -------------------------------------------------------------------

// A file to send: the walked path (for its name and the log) and the open file that
// curl reads as /proc/self/fd/N.
struct OpenFile {
    std::string path;
    int fd;
};

// The shell command that uploads the open file `file` to remote.url under its name,
// reading the credentials from the environment as curl_credentials_prefix says, with
// curl's error text in run_file(curl_error, `run`). With temporary names and a URL
// curl can rename on, the file is sent under its temporary name and renamed (RNFR,
// RNTO) once the transfer succeeded; a failed rename fails the command.
std::string curl_upload_command(const OpenFile& file, const Remote& remote, unsigned run = 0);

// Logs a failed curl upload run with wait status `status`: "file upload has
// failed(%s)" at LOG_ERR with the first line of curl's error text (in `error_path`),
// or, when curl left none (a full work folder, curl missing or killed), "file upload
// has failed(curl: exit status %d, no error text)". Returns how the attempt ended
// (curl_outcome of its exit code).
Outcome log_upload_failure(int status, const char* error_path = paths::curl_error);

// As log_upload_failure, with curl's error text's first line `first_line` (empty:
// none).
Outcome log_upload_failure_text(int status, const std::string& first_line);

// Sends `files` with one curl run per file and attempt, up to remote.transfers runs at
// once, each file through its attempts in a place of its own (attempt, pause, next
// attempt), as next_step says; a sent file is handed to on_sent at once. A file is
// opened and checked when its turn comes: a name curl cannot send logs "File %s
// cannot be sent over FTP: its name holds the byte 0x%02X" (Outcome::refused).
// An attempt that shows the link dead ends the other runs at once (their files wait,
// not counted as tried) and the file's attempts go on alone; when its last one
// shows it dead too, the run stops as run_stops_after logs, counting the files not
// tried and `more_pending` others. Returns one outcome per file. `first_attempt`
// (counted from 1) is where every file's attempts begin. With remote.verify, a sent
// file is finished only when check_sizes (size_check.h, with `size_check`'s state, or
// its own) proves it whole; otherwise it is Outcome::unverified, and the run stops
// when the server cannot report sizes.
struct SizeCheck;
std::vector<Outcome> send_in_file_runs(const Remote& remote, const std::vector<PendingFile>& files,
                                       const OnSent& on_sent, int first_attempt = 1,
                                       size_t more_pending = 0, SizeCheck* size_check = nullptr);

// True, after logging, when a file's last attempt (`last`) shows the link or the
// server dead: "upload stopped after a stalled transfer: %zu more files left pending"
// or "upload stopped: the server could not be reached or refused the login: %zu more
// files left pending" with `left_pending`.
bool run_stops_after(Outcome last, size_t left_pending);

// The open file of `file`, checked (open_walked_file); -1, after logging "File %s is
// not sent: %s" at LOG_ERR, when it is not the regular file the walk found any more.
int open_to_send(const PendingFile& file);

// True, after logging, for a file whose name curl cannot send as itself.
bool refused_by_curl(const PendingFile& file, const Remote& remote);

// How many files one upload may hold open at once, of `wanted`: the descriptor limit
// less what the program and its tools need besides; the soft limit is raised as far
// as needed and allowed. *limit is the limit in force.
size_t open_files_allowed(size_t wanted, unsigned long long* limit);

// The transfers at once for `files` files, `asked` of them and each holding at least
// one open file (transfers_at_once); logs at LOG_NOTICE "%u transfers at once asked,
// %u possible with the open-file limit of %llu" when the limit lowers them.
unsigned transfers_for(unsigned asked, size_t files, size_t open_allowed, unsigned long long limit);

// The configuration of one curl run over `files`, in curl's config syntax with every
// value escaped: the credentials, the stall limits, the rate cap `rate_kib` (the run's
// share), globbing off and the result line "crateferry-result URLNUM EXITCODE
// ERRORMSG" that reports every transfer on its own (on the error stream with
// remote.verify), then per file its URL
// (curl_target), output to /dev/null and the open file. All files share one group of
// options; only files sent under a temporary name get a group of their own (after
// "next"), holding their rename commands. All transfers share one connection.
std::string curl_batch_config(const std::vector<OpenFile>& files, const Remote& remote,
                              uint32_t rate_kib);

// The shell command of curl run number `run` (run_file of the batch file and error
// text), writing its result lines to its standard output: curl stops at the first
// transfer that fails. With `results_on_errors` (the size check: the configuration
// sends results to the error stream, which curl writes at once), the error stream,
// results and error text, comes on standard output instead.
std::string curl_batch_command(unsigned run, bool results_on_errors = false);

// Called for each file of a batch as its result arrives: its place in the files
// given and how it ended.
using OnResult = std::function<void(size_t index, Outcome outcome)>;

// Sends `files` with up to remote.transfers curl runs at once, each over a contiguous
// part of them (split_into_runs), calling on_result for each file as its run reports
// it. A failed transfer is logged as "file upload has failed(%s)" at LOG_ERR
// (batch_error_text), and the files after it in its run are not tried. A transfer
// that stalled or found the server dead ends every run: their transfers in flight go
// unreported, and failures after it are not logged. A batch file that cannot be
// written logs "file upload has failed(Cannot write %s: %m)" and reports the first
// file of its run failed.
// Returns false when a run ended without a word on files it should have reported (no
// failure was reported and no run was ended here: curl missing or killed), after
// logging it and "file upload has failed(the batch's results could not be read)": the
// files left unreported must not be sent again in this run. With remote.verify each
// transfer also tells `on_pretransfer` how many seconds it took until its data could
// go (curl's time_pretransfer: the connection and login for a run's first transfer).
bool curl_batch_upload(const std::vector<OpenFile>& files, const Remote& remote,
                       const OnResult& on_result,
                       const std::function<void(double seconds)>& on_pretransfer = {});

// -- download -----------------------------------------------------------------
// `credentials` is empty (no credentials) or curl_credentials_prefix(), whose secret
// the step passes in the environment.

// Lists the remote folder `url` into the list file. Every download command takes the
// rate cap `rate_kib` (KiB/s, 0: none) after the stall limit.
std::string download_listing_command(const char* url, const std::string& credentials,
                                     uint32_t stall_seconds, uint32_t rate_kib = 0);
// Puts `url` in front of every line of the list file.
std::string download_prefix_command(const char* url, const char* list_path);
// Writes `url` as the one line of the list file.
std::string download_single_command(const char* url, const char* list_path);
// Fetches `file_url` into the open file `fd` (curl writes /proc/self/fd/N).
std::string download_command(const std::string& credentials, const std::string& file_url, int fd,
                             uint32_t stall_seconds, uint32_t rate_kib = 0);

// The name a list line is stored under in the scan folder: the name after
// `folder_url`, or, when `folder_url` is empty (the URL of one file), the URL's last
// path segment percent-decoded. False when the line must not be fetched: it holds a
// NUL byte, it does not begin with `folder_url`, or the name is ".", ".." or holds a
// '/' (after decoding), so it would not be a file of that folder; or the name is empty.
bool download_line_name(const char* folder_url, const std::string& line, std::string* name);

// The command that fetches `line`, whose name download_line_name gave as `name`,
// into the open file `fd`. A name that curl reads literally in a URL is fetched with
// the line as it is; any other name is percent-encoded in the URL (a one-file URL:
// only the bytes curl refuses).
std::string download_fetch_command(const std::string& credentials, const char* folder_url,
                                   const std::string& line, const std::string& name, int fd,
                                   uint32_t stall_seconds, uint32_t rate_kib = 0);

// download_fetch_command for a line whose name download_line_name gives, or an empty
// text when the line must not be fetched.
std::string download_line_command(const std::string& credentials, const char* folder_url,
                                  const std::string& line, int fd, uint32_t stall_seconds,
                                  uint32_t rate_kib = 0);

// True when curl fetches `name` as the last URL segment exactly as written: it holds
// only ASCII letters, digits and @+=:,._-
bool is_literal_url_name(const std::string& name);

// False for ".", ".." and names holding a '/': they are no file of the listed folder.
bool is_file_name(const std::string& name);
