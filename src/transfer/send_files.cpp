// The three ways of sending the pending files: curl one run per file, curl in one run,
// one sftp session. Each opens the files it sends, checks them, and hands back one
// outcome per file.
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "transfer/curl.h"
#include "transfer/sftp.h"
#include "transfer/transfer.h"

namespace {

constexpr int k_curl_attempts = 3;
constexpr unsigned k_retry_pause_seconds = 5;
// Files per curl run in batch mode: a bound on the batch file, not on the speed.
constexpr size_t k_files_per_batch = 1000;
// Descriptors left for everything but the files of one batch or session.
constexpr rlim_t k_spare_descriptors = 64;

// How many of `wanted` files one run may hold open at once: the descriptor limit less
// what the program and its tools need besides. The soft limit is raised only as far
// as the files need and the hard limit allows: every child closes the descriptors up
// to it, one by one on kernels without close_range.
size_t open_files_allowed(size_t wanted) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    const rlim_t needed = static_cast<rlim_t>(wanted) + k_spare_descriptors;
    if (limit.rlim_cur < needed && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min(needed, limit.rlim_max);
        // Not raised: the soft limit stays what it was, and is used as it is.
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) (void)getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur <= k_spare_descriptors * 2) return 1;
    return static_cast<size_t>(std::min<rlim_t>(limit.rlim_cur - k_spare_descriptors, SIZE_MAX));
}

// The walked file, opened and checked; -1, after logging why, when it is not the
// regular file the walk found any more.
int open_to_send(const PendingFile& file) {
    std::string why;
    const int fd = open_walked_file(file.folder_fd, file.name.c_str(), file.seen, &why);
    if (fd < 0) syslog(LOG_ERR, "File %s is not sent: %s", file.path.c_str(), why.c_str());
    return fd;
}

// True, after logging, for a file whose name curl cannot send as itself: attempts
// would fail alike, or worse, send the file under another name.
bool refused_by_curl(const PendingFile& file, const Remote& remote) {
    const unsigned char byte = curl_unsendable_byte(file.path.c_str(), remote.url.c_str());
    if (byte == 0) return false;
    syslog(LOG_ERR, "File %s cannot be sent over FTP: its name holds the byte 0x%02X",
           file.path.c_str(), byte);
    return true;
}

// Sends the open file `fd` with one curl run per attempt, from attempt number
// `attempt` on, with the pause after every failure; a sent file is handed to on_sent
// at once. Returns how the last attempt ended.
Outcome send_with_attempts(const Remote& remote, const PendingFile& file, int fd, int attempt,
                           const OnSent& on_sent) {
    Outcome result = Outcome::failed;
    for (; attempt < k_curl_attempts; ++attempt) {
        result = curl_upload({file.path, fd}, remote);
        if (result == Outcome::sent) {
            on_sent(file, fd);
            return result;
        }
        sleep(k_retry_pause_seconds);
    }
    return result;
}

// True, after logging, when a file's last attempt shows the link or the server
// dead: the files after it (`left_pending`) are left for the next run rather than
// each failing alike.
bool run_stops_after(Outcome last, size_t left_pending) {
    if (last == Outcome::stalled)
        syslog(LOG_ERR, "upload stopped after a stalled transfer: %zu more files left pending",
               left_pending);
    else if (last == Outcome::unreachable)
        syslog(LOG_ERR,
               "upload stopped: the server could not be reached or refused the login: %zu more "
               "files left pending",
               left_pending);
    return last == Outcome::stalled || last == Outcome::unreachable;
}

// The open files of one batch or session, closed together.
struct OpenBatch {
    std::vector<size_t> files;     // indexes into the run's files
    std::vector<UniqueFd> opened;  // one per index
};

// Opens the files `indexes[from..]` names, up to `most`; a file that fails its check
// gets Outcome::unsafe. Returns how far it got in `indexes`.
size_t open_batch(const std::vector<PendingFile>& files, const std::vector<size_t>& indexes,
                  size_t from, size_t most, std::vector<Outcome>* outcomes, OpenBatch* batch) {
    size_t next = from;
    for (; next < indexes.size() && batch->files.size() < most; ++next) {
        UniqueFd fd(open_to_send(files[indexes[next]]));
        if (fd.get() < 0) {
            (*outcomes)[indexes[next]] = Outcome::unsafe;
            continue;
        }
        batch->files.push_back(indexes[next]);
        batch->opened.push_back(std::move(fd));
    }
    return next;
}

}  // namespace

std::vector<Outcome> send_files(const Remote& remote, const std::vector<PendingFile>& files,
                                const OnSent& on_sent) {
    if (is_sftp_url(remote.url.c_str())) return send_with_sftp(remote, files, on_sent);
    if (files.size() > 1 && !url_last_segment(remote.url).empty())
        syslog(LOG_WARNING,
               "the remote URL names a file, not a folder: all %zu pending files go to that one "
               "remote name",
               files.size());
    if (remote.curl_batch) return send_in_curl_batch(remote, files, on_sent);
    return send_with_curl(remote, files, on_sent);
}

// Each file gets its attempts. Once a file's last attempt stalled, found no server or
// had its login refused, the link is taken for dead: the files after it stay pending
// for the next run rather than each failing in turn.
std::vector<Outcome> send_with_curl(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent) {
    std::vector<Outcome> outcomes(files.size(), Outcome::not_tried);
    for (size_t i = 0; i < files.size(); ++i) {
        if (refused_by_curl(files[i], remote)) {
            outcomes[i] = Outcome::refused;
            continue;
        }
        const UniqueFd fd(open_to_send(files[i]));
        if (fd.get() < 0) {
            outcomes[i] = Outcome::unsafe;
            continue;
        }
        outcomes[i] = send_with_attempts(remote, files[i], fd.get(), 0, on_sent);
        if (run_stops_after(outcomes[i], files.size() - i - 1)) break;
    }
    return outcomes;
}

// A run reports each file as it ends, and a sent file is finished at once. A file
// that failed in it gets its remaining attempts alone, one by one as in per-file
// mode, and a new run takes the files it left untried.
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
    const size_t per_batch =
        std::min(k_files_per_batch, open_files_allowed(std::min(k_files_per_batch, sendable.size())));
    size_t next = 0;
    while (next < sendable.size()) {
        OpenBatch batch;
        next = open_batch(files, sendable, next, per_batch, &outcomes, &batch);
        // Places in the batch of the files the next run takes.
        std::vector<size_t> waiting(batch.files.size());
        for (size_t i = 0; i < waiting.size(); ++i) waiting[i] = i;
        while (!waiting.empty()) {
            std::vector<OpenFile> run;
            run.reserve(waiting.size());
            for (const size_t place : waiting)
                run.push_back({files[batch.files[place]].path, batch.opened[place].get()});
            std::vector<Outcome> got(waiting.size(), Outcome::not_tried);
            const bool reported = curl_batch_upload(run, remote, [&](size_t i, Outcome outcome) {
                got[i] = outcome;
                if (outcome != Outcome::sent) return;
                const size_t place = waiting[i];
                outcomes[batch.files[place]] = Outcome::sent;
                on_sent(files[batch.files[place]], batch.opened[place].get());
            });
            // Results that could not be read: nothing is sent again in this run.
            if (!reported) return outcomes;
            std::vector<size_t> untried;
            for (size_t i = 0; i < got.size(); ++i) {
                const size_t place = waiting[i];
                if (got[i] == Outcome::sent) continue;
                if (got[i] == Outcome::not_tried) {
                    untried.push_back(place);
                    continue;
                }
                const size_t file = batch.files[place];
                sleep(k_retry_pause_seconds);
                outcomes[file] =
                    send_with_attempts(remote, files[file], batch.opened[place].get(), 1, on_sent);
                size_t left_pending = untried.size() + sendable.size() - next;
                for (size_t j = i + 1; j < got.size(); ++j) left_pending += got[j] != Outcome::sent;
                if (run_stops_after(outcomes[file], left_pending)) return outcomes;
            }
            waiting = std::move(untried);
        }
    }
    return outcomes;
}

// The files opened for sessions are split among up to remote.transfers sessions at
// once, each over a contiguous part of them of about equal size.
std::vector<Outcome> send_with_sftp(const Remote& remote, const std::vector<PendingFile>& files,
                                    const OnSent& on_sent) {
    std::vector<Outcome> outcomes(files.size(), Outcome::refused);
    std::vector<size_t> all(files.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    const size_t per_round = open_files_allowed(files.size());
    size_t next = 0;
    do {
        OpenBatch batch;
        next = open_batch(files, all, next, per_round, &outcomes, &batch);
        const size_t count = batch.files.size();
        const size_t sessions = std::max<size_t>(1, std::min<size_t>(remote.transfers, count));
        // Per session: the places in the batch of the files it queued, and their files.
        std::vector<std::vector<size_t>> queued(sessions);
        std::vector<std::vector<int>> descriptors(sessions);
        for (unsigned session = 0; session < sessions; ++session) sftp_queue_reset(session);
        for (size_t i = 0; i < count; ++i) {
            const auto session = static_cast<unsigned>(i * sessions / count);
            const int fd = batch.opened[i].get();
            if (!sftp_queue_add(files[batch.files[i]].path.c_str(), fd, remote.temporary_names,
                                remote.temporary_tag, session))
                continue;
            queued[session].push_back(i);
            descriptors[session].push_back(fd);
        }
        const std::vector<bool> sent = sftp_sessions_upload(remote, descriptors);
        for (size_t session = 0; session < sessions; ++session) {
            for (const size_t i : queued[session]) {
                outcomes[batch.files[i]] = sent[session] ? Outcome::sent : Outcome::failed;
                if (sent[session]) on_sent(files[batch.files[i]], batch.opened[i].get());
            }
        }
    } while (next < files.size());
    return outcomes;
}
