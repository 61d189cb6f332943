// The program's whole footprint on the device: every fixed file and folder it touches.
#pragma once

namespace paths {

// Written by another part of the device; read once at start.
constexpr const char* settings = "/opt/crateFerry/etc/settings";
// Only its modification time matters: files modified later are pending.
constexpr const char* timestamp = "/var/data/crateFerry/timestamp";

// Working files, in a folder the device provides.
constexpr const char* download_list = "/var/crateFerry/list";
constexpr const char* sftp_queue = "/var/crateFerry/sftp_list";
constexpr const char* curl_error = "/var/crateFerry/curl_error";
// One curl run over many files: its configuration (credentials included, so 0600,
// removed after the run).
constexpr const char* curl_batch = "/var/crateFerry/curl_batch";
// Where earlier versions kept the size check's curl configuration: deleted as a leftover.
constexpr const char* curl_sizes = "/var/crateFerry/curl_sizes";
// Where earlier versions kept the batch's results: deleted as a leftover.
constexpr const char* curl_batch_results = "/var/crateFerry/curl_results";
constexpr const char* sftp_error = "/var/crateFerry/sftp_error";
constexpr const char* ssh_config = "/var/crateFerry/ssh_config";
// A folder per sftp session of links named as the files it puts, each to the open file
// (/proc/self/fd/N): sftp then names the remote file after the link, and asks the
// server nothing before it writes.
constexpr const char* sftp_links = "/var/crateFerry/sftp_files";
// Made by the last line of the sftp queue: proof that sftp read the queue to its end.
constexpr const char* sftp_queue_end = "/var/crateFerry/sftp_end";
// Held with flock while an upload runs, so two runs never work at once.
constexpr const char* upload_lock = "/var/crateFerry/upload.lock";

// A file the download step is still writing, in the scan folder: this, the process
// ID, a dot and a random tag. Renamed to its name once whole; never pending.
constexpr const char* download_temporary_prefix = ".crateferry-download.";

// The SFTP tools, installed beside the program.
constexpr const char* sftp = "/opt/crateFerry/bin/sftp";
constexpr const char* ssh = "/opt/crateFerry/bin/ssh";
constexpr const char* sshpass = "/opt/crateFerry/bin/sshpass";

}  // namespace paths
