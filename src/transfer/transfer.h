// The ways of sending: what each is handed (the remote side and the pending files)
// and what it hands back (one outcome per file).
//
// Rules a reader must not break:
// - a file counts as sent only when the tool said it went, and on_sent is called for
//   it at once, before the next file is tried;
// - every way returns exactly one outcome per file given, in the order given;
// - nothing here reads the settings record: the operation hands over all it needs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"

// The remote side of one upload run, built once by the operation.
struct Remote {
    std::string url;
    std::string user;
    std::string password;
    uint32_t stall_seconds = 300;  // no progress for this long ends an attempt
    bool temporary_names = false;  // send as ".NAME.cfpart", rename once whole
    bool curl_batch = false;       // all files in one curl run
};

// A pending file as the walk saw it.
struct PendingFile {
    std::string path;
    FileState seen;
};

// How sending one file (or one attempt at it) ended.
enum class Outcome {
    sent,
    failed,     // every attempt failed
    stalled,    // the last attempt made no progress within the stall limit
    refused,    // the way of sending cannot carry the file's name: never tried
    not_tried,  // left for the next run after a stall, or by a failed session
};

// Called for each file the server has whole, as soon as it is known.
using OnSent = std::function<void(const PendingFile&)>;

// Sends `files` the way `remote` selects: one sftp session when the URL holds
// "sftp", else curl, in one run when remote.curl_batch is set, else one run per file.
std::vector<Outcome> send_files(const Remote& remote, const std::vector<PendingFile>& files,
                                const OnSent& on_sent);

// One curl run per attempt, 3 attempts a file with a 5 s pause after each failure.
// Once a file's last attempt stalled the rest are not tried, after logging
// "upload stopped after a stalled transfer: %zu more files left pending".
std::vector<Outcome> send_with_curl(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent);

// As few curl runs as possible (up to 1000 files each), each keeping one connection;
// a file that fails in a run gets its remaining attempts alone, as above, and a new
// run takes the files after it.
std::vector<Outcome> send_in_curl_batch(const Remote& remote,
                                        const std::vector<PendingFile>& files,
                                        const OnSent& on_sent);

// One sftp session over the queue of every file it can carry. The session succeeds
// or fails as a whole: on success every queued file is sent, in queue order; on
// failure none is (Outcome::failed).
std::vector<Outcome> send_with_sftp(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent);
