// The three ways of sending the pending files: curl one run per file, curl in one run,
// one sftp session. Each hands back one outcome per file.
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "transfer/curl.h"
#include "transfer/sftp.h"
#include "transfer/transfer.h"

namespace {

constexpr int k_curl_attempts = 3;
constexpr unsigned k_retry_pause_seconds = 5;
// Files per curl run in batch mode: a bound on the batch file, not on the speed.
constexpr size_t k_files_per_batch = 1000;

// True, after logging, for a file whose name curl cannot send as itself: attempts
// would fail alike, or worse, send the file under another name.
bool refused_by_curl(const PendingFile& file, const Remote& remote) {
    const unsigned char byte = curl_unsendable_byte(file.path.c_str(), remote.url.c_str());
    if (byte == 0) return false;
    syslog(LOG_ERR, "File %s cannot be sent over FTP: its name holds the byte 0x%02X",
           file.path.c_str(), byte);
    return true;
}

// Sends `file` with one curl run per attempt, from attempt number `attempt` on, with
// the pause after every failure; a sent file is handed to on_sent at once. Returns
// how the last attempt ended.
Outcome send_with_attempts(const Remote& remote, const PendingFile& file, int attempt,
                           const OnSent& on_sent) {
    Outcome result = Outcome::failed;
    for (; attempt < k_curl_attempts; ++attempt) {
        result = curl_upload(file.path.c_str(), remote);
        if (result == Outcome::sent) {
            on_sent(file);
            return result;
        }
        sleep(k_retry_pause_seconds);
    }
    return result;
}

void log_stalled_run(size_t left_pending) {
    syslog(LOG_ERR, "upload stopped after a stalled transfer: %zu more files left pending",
           left_pending);
}

}  // namespace

std::vector<Outcome> send_files(const Remote& remote, const std::vector<PendingFile>& files,
                                const OnSent& on_sent) {
    if (strstr(remote.url.c_str(), "sftp") != nullptr) return send_with_sftp(remote, files, on_sent);
    if (remote.curl_batch) return send_in_curl_batch(remote, files, on_sent);
    return send_with_curl(remote, files, on_sent);
}

// Each file gets its attempts. Once a file's last attempt stalled, the link is taken
// for dead: the files after it stay pending for the next run rather than each
// stalling in turn.
std::vector<Outcome> send_with_curl(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent) {
    std::vector<Outcome> outcomes(files.size(), Outcome::not_tried);
    for (size_t i = 0; i < files.size(); ++i) {
        if (refused_by_curl(files[i], remote)) {
            outcomes[i] = Outcome::refused;
            continue;
        }
        outcomes[i] = send_with_attempts(remote, files[i], 0, on_sent);
        if (outcomes[i] == Outcome::stalled) {
            log_stalled_run(files.size() - i - 1);
            break;
        }
    }
    return outcomes;
}

// A run stops at the first file that fails: that file gets its remaining attempts one
// by one, as in per-file mode, and a new run takes the files after it.
std::vector<Outcome> send_in_curl_batch(const Remote& remote,
                                        const std::vector<PendingFile>& files,
                                        const OnSent& on_sent) {
    std::vector<Outcome> outcomes(files.size(), Outcome::not_tried);
    std::vector<size_t> sendable;
    for (size_t i = 0; i < files.size(); ++i) {
        if (refused_by_curl(files[i], remote))
            outcomes[i] = Outcome::refused;
        else
            sendable.push_back(i);
    }
    size_t next = 0;
    while (next < sendable.size()) {
        const size_t end = std::min(sendable.size(), next + k_files_per_batch);
        std::vector<std::string> batch;
        for (size_t i = next; i < end; ++i) batch.push_back(files[sendable[i]].path);
        for (const Outcome outcome : curl_batch_upload(batch, remote)) {
            const size_t file = sendable[next++];
            outcomes[file] = outcome;
            if (outcome == Outcome::sent) {
                on_sent(files[file]);
                continue;
            }
            sleep(k_retry_pause_seconds);
            outcomes[file] = send_with_attempts(remote, files[file], 1, on_sent);
            if (outcomes[file] == Outcome::stalled) {
                log_stalled_run(sendable.size() - next);
                return outcomes;
            }
        }
    }
    return outcomes;
}

std::vector<Outcome> send_with_sftp(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent) {
    std::vector<Outcome> outcomes(files.size(), Outcome::refused);
    std::vector<size_t> queued;
    sftp_queue_reset();
    for (size_t i = 0; i < files.size(); ++i)
        if (sftp_queue_add(files[i].path.c_str(), remote.temporary_names)) queued.push_back(i);
    if (queued.empty()) return outcomes;
    const bool sent = sftp_batch_upload(remote.url.c_str(), remote.user.c_str(),
                                        remote.password.c_str(), remote.stall_seconds);
    for (const size_t i : queued) {
        outcomes[i] = sent ? Outcome::sent : Outcome::failed;
        if (sent) on_sent(files[i]);
    }
    return outcomes;
}
