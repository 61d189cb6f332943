// The ways of sending: what each is handed (the remote side and the pending files)
// and what it hands back (one outcome per file).
//
// Rules a reader must not break:
// - the tools get the file the walk found, never its name: each file is opened here
//   without following links and checked (a regular file, the same device and inode),
//   and the tool reads that open file as /proc/self/fd/N, under the walked name;
// - a file counts as sent only when the tool said it went, and on_sent is called for
//   it as soon as that is known (as its run ends, or its result line arrives);
// - every way returns exactly one outcome per file given, in the order given;
// - nothing here reads the settings record: the operation hands over all it needs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"

// Transfers at once in every mode, at most: more buys little on any link and
// costs the server a connection and a login each.
constexpr uint32_t k_most_transfers = 16;

// The remote side of one upload run, built once by the operation.
struct Remote {
    std::string url;
    std::string user;
    std::string password;
    uint32_t stall_seconds = 300;  // no progress for this long ends an attempt
    bool temporary_names = false;  // send under a hidden temporary name, rename once whole
    std::string temporary_tag;     // this run's part of every temporary name (random_tag)
    bool curl_batch = false;       // all files in one curl run
    uint32_t rate_kib = 0;         // KiB/s the run may use at most; 0: no cap
    uint32_t transfers = 1;        // curl runs or sftp sessions at once, 1 to k_most_transfers
    bool verify = false;           // finish a file only when the server holds it whole
};

// A pending file as the walk saw it.
struct PendingFile {
    int folder_fd;     // the open scan folder
    std::string name;  // the entry's name in it
    std::string path;  // folder and name, as logged
    FileState seen;
};

// How sending one file (or one attempt at it) ended.
enum class Outcome {
    sent,
    failed,     // every attempt failed
    stalled,    // the last attempt made no progress within the stall limit
    unreachable,  // the last attempt found no server, or the server refused the login
    refused,    // the way of sending cannot carry the file's name: never tried
    unsafe,     // the name no longer leads to the regular file the walk found: left alone
    not_tried,  // left for the next run after a stall, or by a failed session
    unverified,  // sent, but the server does not hold it whole under its name (or
                 // cannot tell): left pending
};

// Called for each file the server has whole (with remote.verify, as its size check
// proved; per run of the files that went), as soon as it is known, with the file's
// place in the files given and the descriptor of the open file that was sent.
using OnSent = std::function<void(size_t index, int fd)>;

// Sends `files` the way `remote` selects: sftp sessions when the URL begins with
// "sftp://" (any letter case), else curl, in batch runs when remote.curl_batch is set,
// else one run per file; up to remote.transfers runs or sessions at once. When the
// descriptor limit allows fewer, logs at LOG_NOTICE "%u transfers at once asked, %u
// possible with the open-file limit of %llu".
// A file that fails its check on opening is logged at LOG_ERR as
// "File %s is not sent: %s" with the reason, and left alone (Outcome::unsafe). In curl
// modes, a URL that names one remote file while more than one file is pending logs
// once at LOG_WARNING "the remote URL names a file, not a folder: all %zu pending
// files go to that one remote name".
std::vector<Outcome> send_files(const Remote& remote, const std::vector<PendingFile>& files,
                                const OnSent& on_sent);

// True when `remote` sends files under temporary names: asked for, and the URL an FTP
// (curl renames there) or an SFTP one.
bool uses_temporary_names(const Remote& remote);

// True when `name` has the form of this program's temporary names (temporary_name),
// whatever its tag: ".", some text, ".", 8 hex digits, ".cfpart". Such a local file
// is never sent under temporary names: it could stand for another file's upload.
bool has_temporary_form(const std::string& name);

// Deletes what killed batch runs left: their batch files, which hold the password.
// Called at the start of every upload run, under the upload lock.
void remove_batch_leftovers();

// The three ways. Per-file curl mode (send_in_file_runs, curl.h): one curl run per
// file and attempt, 3 attempts a file with a 5 s pause after each failure, up to
// remote.transfers runs at once. Once a file's last attempt stalled the rest are not
// tried, after logging "upload stopped after a stalled transfer: %zu more files left
// pending"; once it found no server or a refused login, after logging "upload
// stopped: the server could not be reached or refused the login: %zu more files left
// pending".

// As few curl runs as possible (up to 1000 files each, fewer when the descriptor limit
// is lower), each keeping one connection, up to remote.transfers of them at once;
// a file that fails in a run gets its remaining attempts alone, as in per-file mode,
// and a new run takes the files it left untried.
std::vector<Outcome> send_in_curl_batch(const Remote& remote,
                                        const std::vector<PendingFile>& files,
                                        const OnSent& on_sent);

// One sftp session over the queue of every file it can carry, or with
// remote.transfers above 1, up to that many sessions at once, each over its own part
// of the files (and as many rounds as the descriptor limit needs). A session succeeds
// or fails as a whole: on success every file it queued is sent, in queue order; on
// failure none is (Outcome::failed).
std::vector<Outcome> send_with_sftp(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent);
