// The two ways of sending files: one file with curl, a queue of files in one sftp
// session; and the command texts they run.
//
// Rules a reader must not break:
// - a transfer succeeds only when the tool says every file went;
// - the queue holds exactly one put line per path, each ending in a line feed.
#pragma once

#include <string>

// The text curl reads on standard input ("-K -") to set the user option, piped
// into the command that follows: echo "user=\"USER:PASS\"" | , or a printf form that
// carries any characters intact.
std::string curl_credentials_prefix(const char* user, const char* passwd);

// A URL as one curl argument: quoted for the shell when needed, after "-g" when
// curl would otherwise glob its brackets or braces, and after "--url" when it
// begins with '-'.
std::string curl_url_argument(const std::string& url);

// The shell command that uploads `path` to `remoteurl`.
std::string curl_upload_command(const char* path, const char* remoteurl, const char* username,
                                const char* password);

// Uploads one file. Returns 1 on success, 0 on failure; on failure logs
// "file upload has failed(%s)" at LOG_ERR with the first line of curl's error text,
// or nothing when curl left none.
int curl_upload(const char* path, const char* remoteurl, const char* username,
                const char* password);

// Host and remote folder of an "sftp://" URL; false when the URL has no "sftp://".
bool sftp_url_parts(const char* remoteurl, std::string* host, std::string* folder);

// The shell command that runs one sftp session over the queue file.
std::string sftp_batch_command(const char* username, const std::string& host,
                               const std::string& folder, const char* password);

// The queue line for `path`, line feed included, quoted for sftp when needed.
std::string sftp_queue_line(const char* path);

// Deletes the queue file.
void sftp_queue_reset();

// Appends one put line for `path`. A path holding a line end cannot be queued: logs
// "File %s cannot be sent by sftp: its name holds a line end" at LOG_ERR. Returns 1
// when the line was written; a queue file that cannot be opened is not reported.
int sftp_queue_add(const char* path);

// Sends every queued file in one sftp session. Returns 1 on success, 0 on failure.
// Fails silently when the URL has no "sftp://"; otherwise logs
// "file upload has failed(%s)" with all lines of sftp's error text, or
// "file upload has failed(check host or credentials)" when there is none.
int sftp_batch_upload(const char* remoteurl, const char* username, const char* password);

// Opens the queue file for reading, unless it is open already.
void sftp_queue_open();

// The next queued path, or null at the end, when the queue is not open, or when the
// line holds no put command. Points into the reader's line, valid until the next call.
const char* sftp_queue_next();

// Closes the queue file, if open.
void sftp_queue_close();
