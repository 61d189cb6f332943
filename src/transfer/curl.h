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

// -- URL pieces and remote names ----------------------------------------------

// `text` with every byte other than ASCII letters, digits and -._~ written as %XX.
std::string percent_encode(const std::string& text);

// `text` with every %XX (two hex digits) turned into its byte; anything else kept.
std::string percent_decode(const std::string& text);

// The name a file is written under on the server until it is whole, when temporary
// names are asked for, in the same remote folder: ".NAME.TAG.cfpart" when that fits in
// 255 bytes (NAME up to 238 bytes); for a longer NAME, ".CUT.HASH.TAG.cfpart" of 255
// bytes or a few less: CUT is NAME's first 221 bytes, ended before a cut UTF-8
// sequence, and HASH 16 hex digits of a hash of the whole NAME. TAG is the run's
// temporary_tag (8 hex digits): no file of the folder, nor one an earlier run sent,
// can carry the name by chance, and a retry in the same run overwrites what an
// earlier attempt left.
std::string temporary_name(const std::string& name, const std::string& tag);

// True for ftp:// and ftps:// URLs (any letter case): the FTP command channel carries
// the names, and curl can rename a file there after sending it.
bool is_ftp_url(const char* url);

// The first byte of `name` that the FTP command channel cannot carry faithfully: a
// control character (curl refuses them) or 0xFF (Telnet's IAC, which servers read as
// the start of a command); 0 when there is none.
unsigned char ftp_unsendable_byte(const std::string& name);

// The byte that keeps curl from sending `path` to `remoteurl` as itself: one of
// ftp_unsendable_byte, when the URL is an FTP URL that names the remote file after
// the local one; else 0.
unsigned char curl_unsendable_byte(const char* path, const char* remoteurl);

// The last segment of a URL's path, as written (before any "?" or "#"); empty when
// the path is empty or ends in '/'.
std::string url_last_segment(const std::string& url);

// `url` with the bytes curl refuses in a URL (blanks, control characters, DEL)
// percent-encoded; everything else, %XX included, as written.
std::string curl_acceptable_url(const std::string& url);

// The URL curl uploads `path` to: `remoteurl` with the file's name appended,
// percent-encoded, when the URL's path is empty or ends in '/' (curl reads the file
// as /proc/self/fd/N, so the URL names the remote file); `remoteurl` itself when its path
// names a file.
std::string curl_target_url(const char* remoteurl, const char* path);

// Where curl sends `path` for `remote`: the URL (curl_target_url), or with temporary
// names and an FTP URL, the URL of the temporary name and the two names of the
// rename after the transfer (both empty without one).
struct CurlTarget {
    std::string url;
    std::string rename_from;
    std::string rename_to;
};
CurlTarget curl_target(const char* path, const Remote& remote);

// -- upload -------------------------------------------------------------------

// A file to send: the walked path (for its name and the log) and the open file that
// curl reads as /proc/self/fd/N.
struct OpenFile {
    std::string path;
    int fd;
};

// The shell command that uploads the open file `file` to remote.url under its name,
// reading the credentials from the environment as curl_credentials_prefix says. With
// temporary names and a URL curl can rename on, the file is sent under its temporary
// name and renamed (RNFR, RNTO) once the transfer succeeded; a failed rename fails
// the command.
std::string curl_upload_command(const OpenFile& file, const Remote& remote);

// Logs a failed curl upload run with wait status `status`: "file upload has
// failed(%s)" at LOG_ERR with the first line of curl's error text (in `error_path`),
// or, when curl left none (a full work folder, curl missing or killed), "file upload
// has failed(curl: exit status %d, no error text)".
void log_upload_failure(int status, const char* error_path = paths::curl_error);

// Uploads one file: one attempt. On failure logs "file upload has failed(%s)" at
// LOG_ERR with the first line of curl's error text, or, when curl left none (a full
// work folder, curl missing or killed), "curl: exit status %d, no error text";
// Outcome::stalled when the attempt ended on the stall limit.
Outcome curl_upload(const OpenFile& file, const Remote& remote);

// The configuration of one curl run over `files`, in curl's config syntax with every
// value escaped: the credentials, the stall limits, the rate cap of the run's share
// (rate_per_transfer over remote.transfers), globbing off and the result line
// "crateferry-result URLNUM EXITCODE ERRORMSG" that reports every transfer on its own,
// then per file its URL (curl_target), output to /dev/null and the open file. All
// files share one group of options; only files sent under a temporary name get a
// group of their own (after "next"), holding their rename commands. All transfers
// share one connection.
std::string curl_batch_config(const std::vector<OpenFile>& files, const Remote& remote);

// The shell command of curl run number `run` (run_file of the batch file and error
// text), writing its result lines to its standard output: curl stops at the first
// transfer that fails.
std::string curl_batch_command(unsigned run);

// Called for each file of a batch as its result arrives: its place in the files
// given and how it ended.
using OnResult = std::function<void(size_t index, Outcome outcome)>;

// Sends `files` with up to remote.transfers curl runs at once, each over a contiguous
// part of them of about equal size, in order, calling on_result for each file as
// its run reports it. A failed transfer is logged as "file upload has failed(%s)" at
// LOG_ERR ("curl: (CODE) MESSAGE", at most 63 characters, as in curl's own text), and
// the files after it in its run are not tried. A transfer that stalled or found the
// server dead ends every run: their transfers in flight go unreported, and failures
// after it are not logged. A batch file that cannot be written reports the first file
// of its run failed.
// Returns false when a run ended without a word on files it should have reported (no
// failure was reported and no run was ended here: curl missing or killed), after
// logging it and "file upload
// has failed(the batch's results could not be read)": the files left unreported must
// not be sent again in this run.
bool curl_batch_upload(const std::vector<OpenFile>& files, const Remote& remote,
                       const OnResult& on_result);

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
