// The two ways of sending files: one file with curl, a queue of files in one sftp
// session; and the command texts they run.
//
// Rules a reader must not break:
// - a transfer succeeds only when the tool says every file went;
// - the queue holds exactly one put line per path, each ending in a line feed.
#pragma once

#include <string>
#include <vector>

// How one transfer attempt ended.
enum class Transfer { sent, failed, stalled };

// curl's options that end an attempt making no progress for the stall limit: no
// connection, greeting and login within it, or less than 1 byte a second for that
// long. Ends in a blank.
std::string curl_stall_options();

// curl's exit code for an attempt that timed out: the connect timeout or the low-speed
// limit.
constexpr int k_curl_timed_out = 28;

// True for the wait status of a curl command that ended on those limits.
bool curl_stalled(int status);

// ssh's options (passed on by sftp) that end a session making no progress for the
// stall limit: no connection and handshake within it, or no answer from the server
// to its probes for that long. Ends in a blank.
std::string ssh_stall_options();

// `text` with every byte other than ASCII letters, digits and -._~ written as %XX.
std::string percent_encode(const std::string& text);

// `text` with every %XX (two hex digits) turned into its byte; anything else kept.
std::string percent_decode(const std::string& text);

// The name a file is written under on the server until it is whole, when
// MOD_CRATEFERRY_TEMPUPLOAD is set: ".NAME.cfpart", in the same remote folder.
std::string temporary_name(const std::string& name);

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

// The URL curl uploads `path` to: `remoteurl` itself, except when curl would name the
// remote file after the local one (the URL's path is empty or ends in '/') and the
// file name holds a backslash, which curl would cut the name at; then the URL with
// the whole file name appended, percent-encoded.
std::string curl_target_url(const char* remoteurl, const char* path);

// Where curl sends `path` for `remoteurl`: the URL (curl_target_url), or with
// MOD_CRATEFERRY_TEMPUPLOAD set and an FTP URL, the URL of the temporary name and the
// two names of the rename after the transfer (both empty without one).
struct CurlTarget {
    std::string url;
    std::string rename_from;
    std::string rename_to;
};
CurlTarget curl_target(const char* path, const char* remoteurl);

// The shell command that uploads `path` to `remoteurl`, reading the credentials from
// the environment as curl_credentials_prefix says. With MOD_CRATEFERRY_TEMPUPLOAD
// set and a URL curl can rename on, the file is sent under its temporary name and
// renamed (RNFR, RNTO) once the transfer succeeded; a failed rename fails the command.
std::string curl_upload_command(const char* path, const char* remoteurl);

// Uploads one file: one attempt. On failure logs "file upload has failed(%s)" at
// LOG_ERR with the first line of curl's error text, or nothing when curl left none;
// Transfer::stalled when the attempt ended on the stall limit.
Transfer curl_upload(const char* path, const char* remoteurl, const char* username,
                     const char* password);

// The configuration of one curl run over `paths`, in curl's config syntax with every
// value escaped: the credentials, the stall limits, globbing off and the result line
// "crateferry-result URLNUM EXITCODE ERRORMSG" that reports every transfer on its own,
// then per file its URL (curl_target), output to /dev/null and the file. Files sent
// under a temporary name each get a group of their own (after "next"), holding their
// rename commands. All transfers share one connection.
std::string curl_batch_config(const std::vector<std::string>& paths, const char* remoteurl,
                              const char* username, const char* password);

// The shell command of that run: curl stops at the first transfer that fails.
std::string curl_batch_command();

// Sends `paths` in order with one curl run. Returns one outcome per file up to and
// including the first that failed, which is logged as "file upload has failed(%s)"
// at LOG_ERR ("curl: (CODE) MESSAGE", at most 63 characters, as in curl's own text);
// the files after it were not tried. Never returns an empty list for files given.
std::vector<Transfer> curl_batch_upload(const std::vector<std::string>& paths,
                                        const char* remoteurl, const char* username,
                                        const char* password);

// Host and remote folder of an "sftp://" URL; false when the URL has no "sftp://".
bool sftp_url_parts(const char* remoteurl, std::string* host, std::string* folder);

// The shell command that runs one sftp session over the queue file; with
// `password_login`, through "sshpass -e", which reads the password from SSHPASS in
// its environment (k_sshpass_variable).
std::string sftp_batch_command(const char* username, const std::string& host,
                               const std::string& folder, bool password_login);

// The queue line for `path`, line feed included: "put ", "-- " when the path begins
// with '-', and the path with a backslash before every character other than letters,
// digits and @%+=:,./_-
std::string sftp_queue_line(const char* path);

// The queue lines for `path` sent under its temporary name: the put line naming that
// name as the remote file, then "rename TEMPORARY NAME", each escaped alike.
std::string sftp_queue_lines_renamed(const char* path);

// The path a queue line names, undoing sftp_queue_line (a remote name after it is
// ignored); null when the line holds no "put ". Works in place: cuts `line` at its
// last line feed and returns a pointer into it.
const char* sftp_queue_line_path(char* line);

// Deletes the queue file.
void sftp_queue_reset();

// Appends one put line for `path` (with MOD_CRATEFERRY_TEMPUPLOAD set, the put and
// rename lines of sftp_queue_lines_renamed) and returns 1; a queue file that cannot be written
// is not reported here, the session fails on it. A path that sftp cannot read as one
// command is not queued and stays pending: returns 0 and logs at LOG_ERR
// "File %s cannot be sent by sftp: its name holds a line feed", or
// "File %s cannot be sent by sftp: its name is too long" for a line over 2047 bytes.
int sftp_queue_add(const char* path);

// Sends every queued file in one sftp session, after appending to the queue the line
// that proves sftp read it to its end. Returns 1 only when sftp exited 0, wrote no
// error text beyond its "Connected to" line, and ran that last line; 0 otherwise.
// Fails silently when the URL has no "sftp://"; otherwise logs
// "file upload has failed(%s)" with all lines of sftp's error text,
// "file upload has failed(check host or credentials)" when there is none, or
// "file upload has failed(sftp did not read the whole queue)".
int sftp_batch_upload(const char* remoteurl, const char* username, const char* password);

// Opens the queue file for reading, unless it is open already.
void sftp_queue_open();

// The next queued path, or null at the end, when the queue is not open, or when the
// line holds no put command; rename lines are passed over. Points into the reader's
// line, valid until the next call.
const char* sftp_queue_next();

// Closes the queue file, if open.
void sftp_queue_close();
