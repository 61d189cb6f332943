// The sftp session's command text and its queue file.
//
// Rules a reader must not break:
// - the queue holds exactly one put line per file (and its rename line, with
//   temporary names), each ending in a line feed and read by sftp as one command;
// - sftp reads each file as /proc/self/fd/N, the file the walk found, and stores it under
//   the walked name;
// - a session succeeds only when sftp read the queue to its end and said nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/size_check.h"
#include "transfer/transfer.h"

// ssh's options (passed on by sftp) that end a session making no progress for
// `seconds`: no connection and handshake within it, or no answer from the server
// to its probes for that long. Ends in a blank.
std::string ssh_stall_options(uint32_t seconds);

// True when an sftp session ended on those probes: ssh then says only "Timeout,
// server not responding", which LogLevel=ERROR hides. Recognised by what is left: sftp
// exited 255 (its connection lost) after `session_seconds` of at least the limit
// `stall_seconds`, and its error text (`error_lines`, as read_all_lines joins it) holds
// no word of ssh's: nothing but empty lines, "Connected to ...", "Connection closed"
// and sftp's "Couldn't send packet: ..." or "Couldn't read packet: ..." about its own
// channel to the ssh that ended.
bool sftp_stalled(int status, uint64_t session_seconds, uint32_t stall_seconds,
                  const char* error_lines);

// True for URLs that begin with "sftp://", in any letter case: they select SFTP mode.
bool is_sftp_url(const char* url);

// Host and remote folder of an "sftp://" URL (is_sftp_url); false for any other URL.
bool sftp_url_parts(const char* remoteurl, std::string* host, std::string* folder);

// The shell command that runs sftp session `session` over its queue file (run_file of
// the queue, and of the error text); with
// `password_login`, through "sshpass -e", which reads the password from SSHPASS in
// its environment; with a rate cap of `rate_kib` KiB/s, sftp's "-l" in Kbit/s. With
// `echoed`, sftp's standard output (where it echoes each command it reads) is left
// to the caller instead of going to /dev/null.
std::string sftp_batch_command(const char* username, const std::string& host,
                               const std::string& folder, bool password_login,
                               uint32_t stall_seconds, uint32_t rate_kib = 0,
                               unsigned session = 0, bool echoed = false);

// `text` with a backslash before every character other than the plain ones, as
// sftp's command reader takes a name back exactly.
std::string sftp_escape(const std::string& text);

// The shell command of a size check's sftp session: its commands come on standard
// input, its answers on standard output, its errors go nowhere; otherwise as
// sftp_batch_command, without a cap.
std::string sftp_size_command(const char* username, const std::string& host,
                              const std::string& folder, bool password_login,
                              uint32_t stall_seconds);

// The queue line that sends the file linked as `name` in the links folder of session
// `session` (run_file of /var/crateFerry/sftp_files), line feed included: "put
// FOLDER/NAME", with a backslash before every character other than letters, digits
// and @%+=:,./_- ; sftp names the remote file after the link.
std::string sftp_queue_line(const std::string& name, unsigned session = 0);

// The queue lines that send the file linked as the temporary name of `name` with the
// run's `tag`: its put line, then "rename TEMPORARY NAME", each escaped alike.
std::string sftp_queue_lines_renamed(const std::string& name, const std::string& tag,
                                     unsigned session = 0);

// Deletes the queue file of session `session` and its links, and makes its links
// folder anew (mode 0700).
void sftp_queue_reset(unsigned session = 0);

// Deletes the queue file and the links folder of session `session`.
void sftp_queue_clear(unsigned session = 0);

// Appends to the queue of session `session` the put line for the open file `fd` under
// the name of `path` (with `temporary_names`, the put and rename lines of
// sftp_queue_lines_renamed with `tag`), after linking that name in the session's links
// folder to the open file, and returns true; a queue file that cannot be written is
// not reported here, the session fails on it. A name that sftp cannot read as one
// command is not queued: returns false and logs at LOG_ERR "File %s cannot be sent by
// sftp: its name holds a line feed", "File %s cannot be sent by sftp: its name is too
// long" for a line over 2047 bytes, or "File %s cannot be sent by sftp: Cannot link
// it in %s: %m".
bool sftp_queue_add(const char* path, int fd, bool temporary_names, const std::string& tag,
                    unsigned session = 0);

// Runs one sftp session per element of `queued` at once, over the queue of the same
// number, each with its open files and its share of remote.rate_kib; an empty element
// starts no session. With remote.verify, a size check follows each session
// (FollowingSizes): it asks for each file once the session has passed it, and `sizes`
// gets, per session, what the server reported of its files, in queue order. Before
// each, appends to its queue the line that proves sftp read it to its end. Returns per session true only when sftp exited 0, wrote
// no error text beyond its "Connected to" line, and ran that last line. All false for
// a URL that is no "sftp://" URL, silently; otherwise each failed session logs
// "file upload has failed(%s)" with all lines of sftp's error text, after them
// "the server did not answer within the stall limit of %u s" when sftp_stalled,
// "file upload has failed(check host or credentials)" when there is none, or
// "file upload has failed(sftp did not read the whole queue)".
std::vector<bool> sftp_sessions_upload(const Remote& remote,
                                       const std::vector<std::vector<OpenFile>>& queued,
                                       std::vector<std::vector<ReportedSize>>* sizes);
